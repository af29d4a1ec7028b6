// The trace of real flows against the simulator: every secret a flow used (found in what the
// simulated providers received) is searched for in the sink's text and must not be there; every
// value of a secret parameter or member in the text is the marker. Classic and current mode,
// Twitter's OAuth 1.0a, PayPal's NVP calls; then the counters after a mix of outcomes.
#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <regex>
#include <sstream>

#include <nlohmann/json.hpp>

#include "core/IWZelkAuthBase.h"
#include "core/Trace.h"
#include "providers/IWFacebookAuthClient.h"
#include "providers/IWGAuthClient.h"
#include "providers/IWTwitterAuthClient.h"
#include "providers/IWWindowsLiveAuthClient.h"
#include "sim/FacebookSim.h"
#include "sim/GoogleSim.h"
#include "sim/PayPalSim.h"
#include "sim/TwitterSim.h"
#include "sim/WindowsLiveSim.h"
#include "support/FakeApplication.h"
#include "support/HtmlForm.h"
#include "support/PayPalTestClient.h"
#include "support/SimBrowser.h"
#include "support/SimulatorFixture.h"
#include "support/TraceLine.h"

namespace zelk {
namespace {

using IWZelkAuthBase::TIWResult;
using IWZelkAuthBase::TZIWAuthServerController;
using sim::TProviderId;

// Collects the trace for the life of the object.
class TTraceCapture {
 public:
  TTraceCapture() {
    IWZelkAuthBase::SetTraceSink([this](const std::string& Line) {
      std::lock_guard L(FMutex);
      FText += Line + "\n";
    });
  }
  ~TTraceCapture() { IWZelkAuthBase::SetTraceSink({}); }
  TTraceCapture(const TTraceCapture&) = delete;
  TTraceCapture& operator=(const TTraceCapture&) = delete;
  std::string Text() const {
    std::lock_guard L(FMutex);
    return FText;
  }

 private:
  mutable std::mutex FMutex;
  std::string FText;
};

// Parameter names whose values are secrets, as the providers spell them.
const std::vector<std::string> kSecretParams{"client_secret",
                                             "code",
                                             "access_token",
                                             "refresh_token",
                                             "id_token",
                                             "oauth_token",
                                             "oauth_verifier",
                                             "oauth_signature",
                                             "oauth_token_secret",
                                             "code_verifier",
                                             "appsecret_proof",
                                             "PWD",
                                             "SIGNATURE",
                                             "ACCT",
                                             "CVV2",
                                             "TOKEN",
                                             "denied"};

// The secrets in what a provider received: secret parameters of the query and form body, and
// the credentials of an Authorization header (OAuth 1.0a's signature and token one by one).
std::vector<std::string> SecretsReceived(const sim::Simulator& Sim, TProviderId Provider) {
  std::vector<std::string> Found;
  for (const sim::TSimRequest& R : Sim.Received(Provider)) {
    for (const rtl::TStringList& List : {R.Query, R.Form()})
      for (const std::string& Name : kSecretParams)
        if (const std::string V = List.Values(Name); !V.empty()) Found.push_back(V);
    const std::string Auth = R.Header("Authorization");
    if (Auth.starts_with("OAuth ")) {
      static const std::regex kParam(R"re((oauth_signature|oauth_token)="([^"]+)")re");
      for (std::sregex_iterator It(Auth.begin(), Auth.end(), kParam), End; It != End; ++It)
        Found.push_back(web::DecodeQueryComponent((*It)[2].str()));
    } else if (const auto Blank = Auth.find(' '); Blank != std::string::npos) {
      Found.push_back(Auth.substr(Blank + 1));
    }
  }
  return Found;
}

// No secret of Secrets appears in Text, as it is or percent-encoded. Short values (a security
// code) would match unrelated digits: the structural check covers them.
void ExpectNoSecret(const std::string& Text, const std::vector<std::string>& Secrets) {
  for (const std::string& S : Secrets) {
    if (S.size() < 6) continue;
    EXPECT_EQ(Text.find(S), std::string::npos) << "secret \"" << S << "\" in the trace:\n" << Text;
    const std::string Encoded = IWZelkAuthBase::URLEncode(S);
    EXPECT_EQ(Text.find(Encoded), std::string::npos)
        << "secret \"" << Encoded << "\" in the trace:\n"
        << Text;
  }
}

// Every value of a secret parameter ("name=value", quoted or not) or JSON member in Text is the
// marker (a card number's followed by its last four digits). Quotes inside a trace value come
// escaped (\").
void ExpectOnlyMarkers(const std::string& Text) {
  for (const std::string& Name : kSecretParams) {
    const std::regex Param("(^|[^A-Za-z0-9_-])" + Name +
                           R"re((=|\\?":\s*)(?:\\?")?([^&"\\\s,;}]*))re");
    for (std::sregex_iterator It(Text.begin(), Text.end(), Param), End; It != End; ++It) {
      const std::string Value = (*It)[3].str();
      if (Value.empty()) continue;
      EXPECT_TRUE(Value.starts_with(IWZelkAuthBase::kRedacted))
          << Name << " has the value \"" << Value << "\" in the trace:\n"
          << Text;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// The OAuth 2.0 sign-ins, each provider in both modes

template <class C, class S, TProviderId P, IWZelkAuthBase::TIWApi A>
struct TFlowTraits {
  using TClient = C;
  using TSim = S;
  static constexpr TProviderId Listener = P;
  static constexpr IWZelkAuthBase::TIWApi Api = A;
};
using GoogleClassic = TFlowTraits<IWGAuthClient::TZIWGAuthClient, sim::GoogleSim,
                                  TProviderId::Google, IWZelkAuthBase::apClassic>;
using GoogleCurrent = TFlowTraits<IWGAuthClient::TZIWGAuthClient, sim::GoogleSim,
                                  TProviderId::Google, IWZelkAuthBase::apCurrent>;
using FacebookClassic = TFlowTraits<IWFacebookAuthClient::TZIWFacebookAuthClient, sim::FacebookSim,
                                    TProviderId::Facebook, IWZelkAuthBase::apClassic>;
using FacebookCurrent = TFlowTraits<IWFacebookAuthClient::TZIWFacebookAuthClient, sim::FacebookSim,
                                    TProviderId::Facebook, IWZelkAuthBase::apCurrent>;
using LiveClassic =
    TFlowTraits<IWWindowsLiveAuthClient::TZIWWindowsLiveAuthClient, sim::WindowsLiveSim,
                TProviderId::WindowsLive, IWZelkAuthBase::apClassic>;
using LiveCurrent =
    TFlowTraits<IWWindowsLiveAuthClient::TZIWWindowsLiveAuthClient, sim::WindowsLiveSim,
                TProviderId::WindowsLive, IWZelkAuthBase::apCurrent>;

template <class TTraits>
class TracedSignIn : public testing::SimulatorFixture {
 protected:
  void SetUp() override {
    SimulatorFixture::SetUp();
    IWZelkAuthBase::ResetProviderCounters();
    Provider = std::make_unique<typename TTraits::TSim>(Sim);
    Controller = new TZIWAuthServerController(&Owner);
    Client = new typename TTraits::TClient(&Owner);
    Client->SetServerController(Controller);
    Client->SetApi(TTraits::Api);
    Client->App()->SetID(TTraits::TSim::DefaultApp().ClientId);
    Client->App()->SetSecret(TTraits::TSim::DefaultApp().Secret);
    Browser = std::make_unique<testing::SimBrowser>(Sim);
  }

  // Login, the consent page, Label pressed; returns where the provider sends the browser.
  std::string LoginAndPress(const std::string& Label,
                            const std::function<std::string(std::string)>& Tamper = {}) {
    Client->Login(App.get());
    std::string Dialog = App->RedirectURL();
    if (Tamper) Dialog = Tamper(Dialog);
    const auto Page = Browser->Get(Dialog);
    EXPECT_EQ(Page.Status, 200) << Page.Body;
    const auto Form = testing::ReadHtmlForm(Page.Body);
    const auto Answer =
        Browser->PostForm(testing::ResolveURL(Dialog, Form.Action), Form.Press(Label));
    EXPECT_EQ(Answer.Status, 302) << Answer.Body;
    return Answer.Location;
  }

  void ReturnTo(const std::string& Location) {
    Controller->ProcessRequest(web::THttpRequest::FromTarget(testing::TargetOf(Location)));
  }

  std::vector<std::string> Secrets() const {
    std::vector<std::string> S = SecretsReceived(Sim, TTraits::Listener);
    S.push_back(TTraits::TSim::DefaultApp().Secret);
    return S;
  }

  std::unique_ptr<typename TTraits::TSim> Provider;
  rtl::TComponent Owner{nullptr};
  TZIWAuthServerController* Controller = nullptr;  // owned by Owner
  typename TTraits::TClient* Client = nullptr;     // owned by Owner
  std::unique_ptr<web::TIWApplication> App = testing::MakeApplication("http://127.0.0.1:8080/app");
  std::unique_ptr<testing::SimBrowser> Browser;
};

using TFlows = ::testing::Types<GoogleClassic, GoogleCurrent, FacebookClassic, FacebookCurrent,
                                LiveClassic, LiveCurrent>;
class TFlowNames {
 public:
  template <typename T>
  static std::string GetName(int) {
    const std::string Mode = T::Api == IWZelkAuthBase::apClassic ? "Classic" : "Current";
    if (T::Listener == TProviderId::Google) return "Google" + Mode;
    if (T::Listener == TProviderId::Facebook) return "Facebook" + Mode;
    return "WindowsLive" + Mode;
  }
};
TYPED_TEST_SUITE(TracedSignIn, TFlows, TFlowNames);

TYPED_TEST(TracedSignIn, ASignInLeavesNoSecretInTheTrace) {
  const TTraceCapture Capture;
  this->ReturnTo(this->LoginAndPress("Allow"));
  ASSERT_EQ(this->Client->LoginResult(), TIWResult::resOK) << this->Client->LoginError();
  const std::string Text = Capture.Text();

  // The trace shows the flow: its start, the provider's return, a token exchange with its
  // status and a profile read, and the outcome, all under the flow's identifier.
  const std::string Provider = IWZelkAuthBase::ProviderNameOfClass(this->Client->ClassName());
  for (const std::string Part :
       {"step=\"flow started\"", "step=\"provider return\"", "step=\"token exchange\"",
        "step=profile", "status=200", "outcome=ok", "elapsed_ms="})
    EXPECT_NE(Text.find(Part), std::string::npos) << Part << " missing from:\n" << Text;
  EXPECT_NE(Text.find("provider=" + Provider + " step=\"token exchange\" method="),
            std::string::npos)
      << Text;
  EXPECT_NE(Text.find("host=" + this->Sim.HostFor(TypeParam::Listener)), std::string::npos) << Text;

  const auto Secrets = this->Secrets();
  // The flow really used secrets: a code, the client secret or its proof, a token.
  EXPECT_GE(Secrets.size(), 3u);
  ExpectNoSecret(Text, Secrets);
  ExpectOnlyMarkers(Text);

  const auto Counters = IWZelkAuthBase::ProviderCounters();
  ASSERT_TRUE(Counters.contains(Provider));
  EXPECT_EQ(Counters.at(Provider).FlowsStarted, 1u);
  EXPECT_EQ(Counters.at(Provider).FlowsSucceeded, 1u);
  EXPECT_EQ(Counters.at(Provider).FlowsFailed, 0u);
}

// The case the trace exists for: the browser came back to another address than the one the
// token exchange names. The trace shows the address sent and the provider's answer.
using GoogleCurrentTrace = TracedSignIn<GoogleCurrent>;

TEST_F(GoogleCurrentTrace, AWrongReturnAddressShowsTheAddressSentAndTheAnswer) {
  const TTraceCapture Capture;
  const std::string Other = "http://127.0.0.1:8080/other/";
  const std::string Location = LoginAndPress("Allow", [&](std::string URL) {
    const std::string Sent =
        "redirect_uri=" + IWZelkAuthBase::URLEncode("http://127.0.0.1:8080/app/");
    const auto At = URL.find(Sent);
    EXPECT_NE(At, std::string::npos) << URL;
    if (At != std::string::npos)
      URL.replace(At, Sent.size(), "redirect_uri=" + IWZelkAuthBase::URLEncode(Other));
    return URL;
  });
  ASSERT_TRUE(Location.starts_with(Other)) << Location;
  ReturnTo(Location);
  EXPECT_EQ(Client->LoginResult(), TIWResult::resFailed);
  const std::string Text = Capture.Text();

  std::string Exchange;
  std::istringstream Lines(Text);
  for (std::string Line; std::getline(Lines, Line);)
    if (Line.find("step=\"token exchange\"") != std::string::npos) Exchange = Line;
  ASSERT_FALSE(Exchange.empty()) << Text;
  EXPECT_NE(Exchange.find("redirect_uri=http://127.0.0.1:8080/app/ "), std::string::npos)
      << Exchange;
  EXPECT_NE(Exchange.find("status=400"), std::string::npos) << Exchange;
  EXPECT_NE(Exchange.find("redirect_uri_mismatch"), std::string::npos) << Exchange;
  EXPECT_NE(Text.find("outcome=failed"), std::string::npos) << Text;
  ExpectNoSecret(Text, Secrets());
  ExpectOnlyMarkers(Text);
}

// A provider's error text made to look like the end of the event and a successful outcome, with
// terminal control sequences: it stays inside the outcome's error field, byte for byte.
TEST_F(GoogleCurrentTrace, AProvidersErrorTextCannotForgeATraceField) {
  const TTraceCapture Capture;
  const std::string Location = LoginAndPress("Allow");
  const std::string Hostile = "\x1b[32mfine\x1b[0m\r\n\" outcome=ok error=\"none\\";
  Sim.SetFault(
      TProviderId::Google, "/token",
      sim::TFault::Reply(
          400, nlohmann::json{{"error", "invalid_grant"}, {"error_description", Hostile}}.dump()));
  ReturnTo(Location);
  ASSERT_EQ(Client->LoginResult(), TIWResult::resFailed);
  ASSERT_EQ(Client->LoginError(), Hostile);

  const std::string Text = Capture.Text();
  EXPECT_EQ(Text.find('\x1b'), std::string::npos) << Text;
  EXPECT_EQ(Text.find('\r'), std::string::npos) << Text;
  std::vector<testing::TTraceFields> Events;
  std::istringstream Lines(Text);
  for (std::string Line; std::getline(Lines, Line);) {
    const auto Fields = testing::ParseTraceLine(Line);
    ASSERT_TRUE(Fields) << "not a well-formed trace line: " << Line;
    Events.push_back(*Fields);
  }
  // The flow's events, one line each, and one outcome: the failure, with the provider's text.
  ASSERT_EQ(Events.size(), 5u) << Text;
  std::vector<std::string> Outcomes;
  for (const auto& E : Events)
    for (const std::string& V : testing::FieldValues(E, "outcome"))
      Outcomes.push_back(V);
  EXPECT_EQ(Outcomes, std::vector<std::string>{"failed"});
  EXPECT_EQ(testing::FieldValues(Events.back(), "step"), std::vector<std::string>{"outcome"});
  EXPECT_EQ(testing::FieldValues(Events.back(), "error"), std::vector<std::string>{Hostile});
  EXPECT_EQ(testing::FieldValues(Events[3], "step"), std::vector<std::string>{"token exchange"});
  EXPECT_EQ(testing::FieldValues(Events[3], "status"), std::vector<std::string>{"400"});
}

// The client reads the return's names decoded, so "c%6Fde" is its code and "st%61te" its flow:
// the trace redacts the code under that spelling too.
TEST_F(GoogleCurrentTrace, ACodeUnderAnEncodedNameIsRedacted) {
  const TTraceCapture Capture;
  std::string Location = LoginAndPress("Allow");
  for (const auto& [From, To] :
       {std::pair<std::string, std::string>{"state=", "st%61te="}, {"code=", "c%6Fde="}}) {
    const auto At = Location.find(From);
    ASSERT_NE(At, std::string::npos) << Location;
    Location.replace(At, From.size(), To);
  }
  ReturnTo(Location);
  ASSERT_EQ(Client->LoginResult(), TIWResult::resOK) << Client->LoginError();
  const std::string Text = Capture.Text();
  EXPECT_NE(Text.find("c%6Fde=[redacted]"), std::string::npos) << Text;
  ExpectNoSecret(Text, Secrets());
  ExpectOnlyMarkers(Text);
}

TEST_F(GoogleCurrentTrace, CountersAfterAMixOfOutcomes) {
  ReturnTo(LoginAndPress("Allow"));
  ReturnTo(LoginAndPress("Deny"));
  Client->App()->SetSecret("not-the-secret");
  ReturnTo(LoginAndPress("Allow"));
  // A transport failure at the token exchange: no outcome, one transport error.
  const std::string Location = LoginAndPress("Allow");
  IWZelkAuthBase::SetProviderHost(IWZelkAuthBase::phGoogleOAuth2, "127.0.0.1:1");
  EXPECT_THROW(ReturnTo(Location), rtl::Exception);

  const auto All = IWZelkAuthBase::ProviderCounters();
  ASSERT_TRUE(All.contains("Google"));
  const auto& C = All.at("Google");
  EXPECT_EQ(C.FlowsStarted, 4u);
  EXPECT_EQ(C.FlowsSucceeded, 1u);
  EXPECT_EQ(C.FlowsDenied, 1u);
  EXPECT_EQ(C.FlowsFailed, 1u);
  EXPECT_EQ(C.TransportErrors, 1u);
  // Token exchange and profile of the success, the refused exchange of the wrong secret.
  EXPECT_EQ(C.Calls, 3u);
  std::uint64_t Bucketed = 0;
  for (const auto N : C.LatencyBuckets)
    Bucketed += N;
  EXPECT_EQ(Bucketed, C.Calls);
  EXPECT_EQ(All.size(), 1u);
}

// ---------------------------------------------------------------------------------------------
// Twitter: request token, consent, access token, a post; all signed with OAuth 1.0a

class TracedTwitter : public testing::SimulatorFixture {
 protected:
  void SetUp() override {
    SimulatorFixture::SetUp();
    Twitter = std::make_unique<sim::TwitterSim>(Sim);
    Browser = std::make_unique<testing::SimBrowser>(Sim);
    Client->App()->SetID(sim::TwitterSim::kDefaultConsumerKey);
    Client->App()->SetSecret(sim::TwitterSim::kDefaultConsumerSecret);
    Client->SetServerController(Controller.get());
  }
  void TearDown() override {
    Client.reset();
    Controller.reset();
    SimulatorFixture::TearDown();
  }

  std::unique_ptr<sim::TwitterSim> Twitter;
  std::unique_ptr<testing::SimBrowser> Browser;
  std::unique_ptr<web::TIWApplication> App = testing::MakeApplication("http://127.0.0.1:9/app");
  std::unique_ptr<TZIWAuthServerController> Controller =
      std::make_unique<TZIWAuthServerController>(nullptr);
  std::unique_ptr<IWTwitterAuthClient::TZIWTwitterAuthClient> Client =
      std::make_unique<IWTwitterAuthClient::TZIWTwitterAuthClient>(nullptr);
};

TEST_F(TracedTwitter, SignInAndPostLeaveNoSecretInTheTrace) {
  const TTraceCapture Capture;
  Client->Login(App.get());
  const std::string Authorize = App->RedirectURL();
  const std::string Token = Authorize.substr(Authorize.find("oauth_token=") + 12);
  const auto Back =
      Browser->PostForm(Sim.BaseURL(TProviderId::Twitter) + "/oauth/authorize",
                        {{"oauth_token", Token}, {"user_id", "1001"}, {"decision", "allow"}});
  ASSERT_EQ(Back.Status, 302) << Back.Body;
  Controller->ProcessRequest(web::THttpRequest::FromTarget(testing::TargetOf(Back.Location)));
  ASSERT_EQ(Client->LoginResult(), TIWResult::resOK) << Client->LoginError();
  Client->Post("Traced status");
  const std::string Text = Capture.Text();

  EXPECT_NE(Text.find("provider=Twitter"), std::string::npos) << Text;
  EXPECT_NE(Text.find("outcome=ok"), std::string::npos) << Text;
  EXPECT_NE(Text.find(R"(oauth_signature=\"[redacted]\")"), std::string::npos) << Text;
  EXPECT_NE(Text.find("oauth_token_secret=[redacted]"), std::string::npos) << Text;
  std::vector<std::string> Secrets = SecretsReceived(Sim, TProviderId::Twitter);
  Secrets.push_back(sim::TwitterSim::kDefaultConsumerSecret);
  EXPECT_GE(Secrets.size(), 5u);
  ExpectNoSecret(Text, Secrets);
  ExpectOnlyMarkers(Text);
}

// ---------------------------------------------------------------------------------------------
// PayPal: the seller's password and signature, the card number and security code

class TracedPayPal : public testing::SimulatorFixture {
 protected:
  void SetUp() override {
    SimulatorFixture::SetUp();
    IWZelkAuthBase::ResetProviderCounters();
    PayPal = std::make_unique<sim::TPayPalSim>(Sim);
    C->Seller()->SetUserName(PayPal->Account().UserName);
    C->Seller()->SetPassword(PayPal->Account().Password);
    C->Seller()->SetSignature(PayPal->Account().Signature);
    C->Buyer()->SetEmail("ann@example.com");
    testing::SetTestBuyer(*C);
    testing::SetTestCard(*C);
    C->CreditCard()->SetVerificationCode("987");
    auto* Book = C->Transactions()->Add();
    Book->SetName("Book");
    Book->SetPrice(10.5);
    Book->SetQuantity(1);
  }
  std::unique_ptr<sim::TPayPalSim> PayPal;
  testing::TPayPalWiring W;
  testing::TTestPayPalClient* C = W.Client;
};

TEST_F(TracedPayPal, ADirectPaymentLeavesNoSecretInTheTrace) {
  const TTraceCapture Capture;
  ASSERT_EQ(C->PayDirect(), IWZelkAuthBase::resOK) << C->LoginError();
  const std::string Text = Capture.Text();
  EXPECT_NE(Text.find("provider=PayPal step=\"NVP call\" method=POST"), std::string::npos) << Text;
  EXPECT_NE(Text.find("ACCT=[redacted]1111"), std::string::npos) << Text;
  EXPECT_NE(Text.find("CVV2=[redacted]"), std::string::npos) << Text;
  EXPECT_EQ(Text.find("4111111111111111"), std::string::npos) << Text;
  ExpectNoSecret(Text, {PayPal->Account().Password, PayPal->Account().Signature});
  ExpectNoSecret(Text, SecretsReceived(Sim, TProviderId::PayPal));
  ExpectOnlyMarkers(Text);
  const auto Counters = IWZelkAuthBase::ProviderCounters();
  ASSERT_TRUE(Counters.contains("PayPal"));
  EXPECT_EQ(Counters.at("PayPal").Calls, 1u);
}

}  // namespace
}  // namespace zelk
