// The current-mode sign-in flows of Google, Facebook and Microsoft end to end: the real clients
// and transport against the simulator's current endpoints over TLS, with the test playing the
// browser. Each case runs for the three providers; what differs between them (paths, error
// texts, the profile) comes from a traits struct.
#include <gtest/gtest.h>

#include "core/IWZelkAuthBase.h"
#include "providers/IWFacebookAuthClient.h"
#include "providers/IWGAuthClient.h"
#include "providers/IWWindowsLiveAuthClient.h"
#include "sim/FacebookSim.h"
#include "sim/GoogleSim.h"
#include "sim/OAuth2Current.h"
#include "sim/WindowsLiveSim.h"
#include "support/FakeApplication.h"
#include "support/HtmlForm.h"
#include "support/SimBrowser.h"
#include "support/SimulatorFixture.h"

namespace zelk {
namespace {

using IWZelkAuthBase::TIWResult;
using IWZelkAuthBase::TZIWAuthServerController;
using sim::TProviderId;

constexpr const char* kAppURL = "http://127.0.0.1:8080/app";
constexpr const char* kReturn = "http://127.0.0.1:8080/app/";

struct GoogleTraits {
  using TClient = IWGAuthClient::TZIWGAuthClient;
  using TSim = sim::GoogleSim;
  static constexpr TProviderId Listener = TProviderId::Google;
  static constexpr bool Bearer = true;  // the token in an Authorization header, form POSTs
  static constexpr const char* AuthorizePath = "/o/oauth2/v2/auth";
  static constexpr const char* TokenPath = "/token";
  static constexpr const char* ProfilePath = "/v1/userinfo";
  static constexpr const char* DenyError = "access_denied";
  static constexpr const char* SecretError = "Unauthorized";
  static constexpr const char* ReplayError = "Code was already redeemed.";
  static constexpr const char* VerifierError = "Invalid code verifier.";
  static void Configure(TClient& C) { C.SetScopes({IWGAuthClient::gEmail}); }
  static void CheckUser(const TClient& C) {
    const sim::TSimUser U = sim::GoogleSim::DefaultUser();
    EXPECT_EQ(C.LoginID(), U.Id);
    EXPECT_EQ(C.LoginUsername(), "Zoë Ünal");
    EXPECT_EQ(C.User()->Email(), U.Email);
    EXPECT_EQ(C.User()->Picture(), U.Picture);
    EXPECT_EQ(C.User()->Gender(), "");  // no longer in the profile
  }
};

struct FacebookTraits {
  using TClient = IWFacebookAuthClient::TZIWFacebookAuthClient;
  using TSim = sim::FacebookSim;
  static constexpr TProviderId Listener = TProviderId::Facebook;
  static constexpr bool Bearer = false;  // the token in the query, GETs
  static constexpr const char* AuthorizePath = "/v25.0/dialog/oauth";
  static constexpr const char* TokenPath = "/v25.0/oauth/access_token";
  static constexpr const char* ProfilePath = "/v25.0/me";
  static constexpr const char* DenyError = "Permissions error";
  static constexpr const char* SecretError = "Error validating client secret.";
  static constexpr const char* ReplayError = "This authorization code has been used.";
  static constexpr const char* VerifierError =
      "Error validating verification code. The code_verifier does not match the code_challenge";
  static void Configure(TClient& C) {
    C.SetScopes({IWFacebookAuthClient::fbEmail, IWFacebookAuthClient::fbBirthDay});
  }
  static void CheckUser(const TClient& C) {
    const sim::TSimUser U = sim::FacebookSim::DefaultUser();
    EXPECT_EQ(C.LoginID(), U.Id);
    EXPECT_EQ(C.LoginUsername(), "Renée 山田");
    EXPECT_EQ(C.User()->Email(), U.Email);
    EXPECT_EQ(C.User()->Birthday(), "07/21/1984");
    EXPECT_EQ(C.User()->Picture(), U.Picture);
  }
};

struct MicrosoftTraits {
  using TClient = IWWindowsLiveAuthClient::TZIWWindowsLiveAuthClient;
  using TSim = sim::WindowsLiveSim;
  static constexpr TProviderId Listener = TProviderId::WindowsLive;
  static constexpr bool Bearer = true;
  static constexpr const char* AuthorizePath = "/common/oauth2/v2.0/authorize";
  static constexpr const char* TokenPath = "/common/oauth2/v2.0/token";
  static constexpr const char* ProfilePath = "/v1.0/me";
  static constexpr const char* DenyError =
      "AADSTS65004: User declined to consent to access the app.";
  static constexpr const char* SecretError = "AADSTS7000215: Invalid client secret provided.";
  static constexpr const char* ReplayError =
      "AADSTS54005: OAuth2 Authorization code was already redeemed";
  static constexpr const char* VerifierError =
      "AADSTS501481: The Code_Verifier does not match the code_challenge";
  static void Configure(TClient&) {}
  static void CheckUser(const TClient& C) {
    const sim::TSimUser U = sim::WindowsLiveSim::DefaultUser();
    EXPECT_EQ(C.LoginID(), U.Id);
    EXPECT_EQ(C.LoginUsername(), "Łukasz Żółć");
    EXPECT_EQ(C.User()->Email(), U.Email);
    EXPECT_EQ(C.User()->Gender(), "");
    EXPECT_EQ(C.User()->Birthday(), "");
  }
};

// Replaces the value of query parameter Name in URL (which must carry it) by Value, encoded.
std::string WithParam(std::string URL, const std::string& Name, const std::string& Value) {
  const std::size_t At = URL.find("&" + Name + "=") != std::string::npos
                             ? URL.find("&" + Name + "=") + 1
                             : URL.find("?" + Name + "=") + 1;
  EXPECT_NE(At, 0u) << Name << " not in " << URL;
  const std::size_t Start = At + Name.size() + 1;
  const std::size_t End = URL.find('&', Start);
  URL.replace(Start, End == std::string::npos ? std::string::npos : End - Start,
              IWZelkAuthBase::URLEncode(Value));
  return URL;
}

template <class TTraits>
class CurrentSignIn : public testing::SimulatorFixture {
 protected:
  using TClient = typename TTraits::TClient;

  void SetUp() override {
    SimulatorFixture::SetUp();
    Provider = std::make_unique<typename TTraits::TSim>(Sim);
    Controller = new TZIWAuthServerController(&Owner);
    Client = new TClient(&Owner);
    Client->SetServerController(Controller);
    Client->SetApi(IWZelkAuthBase::apCurrent);
    Client->App()->SetID(TTraits::TSim::DefaultApp().ClientId);
    Client->App()->SetSecret(TTraits::TSim::DefaultApp().Secret);
    TTraits::Configure(*Client);
    Client->SetOnLoginOK([this](rtl::TObject*) { ++OK; });
    Client->SetOnLoginFailed([this](rtl::TObject*) { ++Failed; });
    Browser = std::make_unique<testing::SimBrowser>(Sim);
  }

  std::string Identifier() const { return Controller->Clients()->Items(0)->ID(); }

  // Login; returns the address the browser is sent to.
  std::string StartLogin() {
    Client->Login(App.get());
    const std::string Authorize = App->RedirectURL();
    EXPECT_TRUE(
        Authorize.starts_with(Sim.BaseURL(TTraits::Listener) + TTraits::AuthorizePath + "?"))
        << Authorize;
    return Authorize;
  }

  // The browser opens the provider's page at URL and presses Label; returns the redirect.
  std::string Press(const std::string& URL, const std::string& Label) {
    const auto Page = Browser->Get(URL);
    EXPECT_EQ(Page.Status, 200) << Page.Body;
    const auto Form = testing::ReadHtmlForm(Page.Body);
    const auto Answer = Browser->PostForm(testing::ResolveURL(URL, Form.Action), Form.Press(Label));
    EXPECT_EQ(Answer.Status, 302) << Answer.Body;
    return Answer.Location;
  }

  void ReturnTo(const std::string& Location) {
    Controller->ProcessRequest(web::THttpRequest::FromTarget(testing::TargetOf(Location)));
  }

  // The requests for Path the provider received (with Method only, when given).
  std::vector<sim::TSimRequest> Requests(const std::string& Path,
                                         const std::string& Method = "") const {
    std::vector<sim::TSimRequest> Found;
    for (const auto& R : Sim.Received(TTraits::Listener))
      if (R.Path == Path && (Method.empty() || R.Method == Method)) Found.push_back(R);
    return Found;
  }

  // The outcome of a failed flow: LoginError starting with Error, one failure event, no
  // profile read.
  void ExpectFailure(const std::string& Error) {
    EXPECT_EQ(Client->LoginResult(), TIWResult::resFailed);
    EXPECT_TRUE(Client->LoginError().starts_with(Error)) << Client->LoginError();
    EXPECT_FALSE(Error.empty());
    EXPECT_EQ(Client->LoginID(), "");
    EXPECT_EQ(Failed, 1);
    EXPECT_EQ(OK, 0);
    EXPECT_TRUE(Requests(TTraits::ProfilePath).empty());
  }

  std::unique_ptr<typename TTraits::TSim> Provider;
  rtl::TComponent Owner{nullptr};
  TZIWAuthServerController* Controller = nullptr;  // owned by Owner
  TClient* Client = nullptr;                       // owned by Owner
  std::unique_ptr<web::TIWApplication> App = testing::MakeApplication(kAppURL);
  std::unique_ptr<testing::SimBrowser> Browser;
  int OK = 0;
  int Failed = 0;
};

using TProviders = ::testing::Types<GoogleTraits, FacebookTraits, MicrosoftTraits>;
class TProviderNames {
 public:
  template <typename T>
  static std::string GetName(int) {
    if (std::is_same_v<T, GoogleTraits>) return "Google";
    if (std::is_same_v<T, FacebookTraits>) return "Facebook";
    return "Microsoft";
  }
};
TYPED_TEST_SUITE(CurrentSignIn, TProviders, TProviderNames);

TYPED_TEST(CurrentSignIn, AllowSignsTheUserIn) {
  const std::string Location = this->Press(this->StartLogin(), "Allow");
  EXPECT_TRUE(Location.starts_with(std::string(kReturn) + "?")) << Location;
  const auto Back = web::THttpRequest::FromTarget(testing::TargetOf(Location));
  EXPECT_EQ(Back.Query("state"), this->Identifier());

  this->ReturnTo(Location);
  EXPECT_EQ(this->Client->LoginResult(), TIWResult::resOK);
  EXPECT_EQ(this->Client->LoginError(), "");
  TypeParam::CheckUser(*this->Client);
  EXPECT_EQ(this->OK, 1);
  EXPECT_EQ(this->Failed, 0);
  EXPECT_EQ(this->Provider->OutstandingCodes(), 0u);

  // The calls as the provider received them: HTTP/1.1, the fixed return address, the PKCE
  // verifier that answers the challenge of the authorization request, the token on the profile
  // call as the provider wants it.
  const auto Authorize = this->Requests(TypeParam::AuthorizePath, "GET");
  const auto Token = this->Requests(TypeParam::TokenPath);
  const auto Profile = this->Requests(TypeParam::ProfilePath);
  ASSERT_EQ(Authorize.size(), 1u);
  ASSERT_EQ(Token.size(), 1u);
  ASSERT_EQ(Profile.size(), 1u);
  EXPECT_EQ(Authorize[0].Query.Values("redirect_uri"), kReturn);
  EXPECT_EQ(Token[0].Version, "HTTP/1.1");
  EXPECT_EQ(Profile[0].Version, "HTTP/1.1");
  EXPECT_EQ(Authorize[0].Query.Values("code_challenge_method"), "S256");
  const rtl::TStringList TokenFields = TypeParam::Bearer ? Token[0].Form() : Token[0].Query;
  const std::string Verifier = TokenFields.Values("code_verifier");
  EXPECT_TRUE(sim::ValidPkceText(Verifier)) << Verifier;
  EXPECT_EQ(sim::PkceS256Challenge(Verifier), Authorize[0].Query.Values("code_challenge"));
  EXPECT_EQ(TokenFields.Values("redirect_uri"), kReturn);
  if constexpr (TypeParam::Bearer) {
    EXPECT_TRUE(Profile[0].Header("Authorization").starts_with("Bearer ")) << Profile[0].Target;
    EXPECT_EQ(Profile[0].Query.IndexOfName("access_token"), -1);
  } else {
    const std::string AccessToken = Profile[0].Query.Values("access_token");
    EXPECT_EQ(Profile[0].Query.Values("appsecret_proof"),
              sim::AppSecretProof(AccessToken, TypeParam::TSim::DefaultApp().Secret));
  }
}

TYPED_TEST(CurrentSignIn, DenyFailsWithTheProvidersText) {
  const std::string Location = this->Press(this->StartLogin(), "Deny");
  EXPECT_NE(Location.find("error=access_denied"), std::string::npos) << Location;
  this->ReturnTo(Location);
  this->ExpectFailure(TypeParam::DenyError);
  EXPECT_TRUE(this->Requests(TypeParam::TokenPath).empty());
}

TYPED_TEST(CurrentSignIn, WrongSecretFailsAtTheTokenEndpoint) {
  this->Client->App()->SetSecret("not-the-secret");
  this->ReturnTo(this->Press(this->StartLogin(), "Allow"));
  this->ExpectFailure(TypeParam::SecretError);
  EXPECT_EQ(this->Requests(TypeParam::TokenPath).size(), 1u);
  // The refusal did not use the code up.
  EXPECT_EQ(this->Provider->OutstandingCodes(), 1u);
}

// Every current flow binds the code to a PKCE challenge.
template <class TTraits>
class CurrentPkceSignIn : public CurrentSignIn<TTraits> {};
using TPkceProviders = ::testing::Types<GoogleTraits, FacebookTraits, MicrosoftTraits>;
TYPED_TEST_SUITE(CurrentPkceSignIn, TPkceProviders, TProviderNames);

TYPED_TEST(CurrentPkceSignIn, WrongVerifierFails) {
  // Somebody swapped the challenge on the way to the provider: the client's verifier no longer
  // answers it.
  const std::string Authorize =
      WithParam(this->StartLogin(), "code_challenge",
                sim::PkceS256Challenge("a-verifier-the-client-never-made-0123456789"));
  this->ReturnTo(this->Press(Authorize, "Allow"));
  this->ExpectFailure(TypeParam::VerifierError);
  // The refused exchange left the code unused.
  EXPECT_EQ(this->Provider->OutstandingCodes(), 1u);
}

// Code injection across two sessions, each with its own client and flow at the same app: a
// victim's code stolen and injected into the attacker's own flow would sign the attacker in as
// the victim; the attacker's code under the victim's leaked state would sign the victim in as
// the attacker. The provider issued each code to its own flow's challenge, so each fails at the
// token endpoint and no profile is read.
TYPED_TEST(CurrentPkceSignIn, ACodeInjectedIntoAnotherFlowIsRefused) {
  rtl::TComponent AttackerSession(nullptr);
  auto* AttackerController = new TZIWAuthServerController(&AttackerSession);
  auto* Attacker = new typename TypeParam::TClient(&AttackerSession);
  Attacker->SetServerController(AttackerController);
  Attacker->SetApi(IWZelkAuthBase::apCurrent);
  Attacker->App()->SetID(TypeParam::TSim::DefaultApp().ClientId);
  Attacker->App()->SetSecret(TypeParam::TSim::DefaultApp().Secret);
  TypeParam::Configure(*Attacker);
  int AttackerOK = 0;
  Attacker->SetOnLoginOK([&](rtl::TObject*) { ++AttackerOK; });
  const auto AttackerApp = testing::MakeApplication(kAppURL);

  const std::string VictimBack = this->Press(this->StartLogin(), "Allow");
  Attacker->Login(AttackerApp.get());
  const std::string AttackerBack = this->Press(AttackerApp->RedirectURL(), "Allow");
  const auto CodeOf = [](const std::string& Location) {
    return web::THttpRequest::FromTarget(testing::TargetOf(Location)).Query("code");
  };
  ASSERT_NE(CodeOf(VictimBack), CodeOf(AttackerBack));
  EXPECT_EQ(this->Provider->OutstandingCodes(), 2u);

  // The victim's code in the attacker's return.
  AttackerController->ProcessRequest(web::THttpRequest::FromTarget(
      testing::TargetOf(WithParam(AttackerBack, "code", CodeOf(VictimBack)))));
  EXPECT_EQ(Attacker->LoginResult(), TIWResult::resFailed);
  EXPECT_TRUE(Attacker->LoginError().starts_with(TypeParam::VerifierError))
      << Attacker->LoginError();
  EXPECT_EQ(Attacker->LoginID(), "");
  EXPECT_EQ(AttackerOK, 0);

  // The attacker's code under the victim's state, in the victim's session.
  this->ReturnTo(WithParam(VictimBack, "code", CodeOf(AttackerBack)));
  this->ExpectFailure(TypeParam::VerifierError);

  // Both refusals left the codes unused; no profile was read.
  EXPECT_EQ(this->Requests(TypeParam::TokenPath).size(), 2u);
  EXPECT_EQ(this->Provider->OutstandingCodes(), 2u);
}

TYPED_TEST(CurrentSignIn, ReturnAddressWithAQueryIsRefusedByTheProvider) {
  const std::string Authorize =
      WithParam(this->StartLogin(), "redirect_uri", std::string(kReturn) + "?clientid=x");
  const auto Page = this->Browser->Get(Authorize);
  EXPECT_EQ(Page.Status, 400);
  EXPECT_TRUE(Page.Location.empty()) << Page.Location;
  // The browser never comes back: nothing happened at the client.
  EXPECT_EQ(this->Client->LoginResult(), TIWResult::resNone);
  EXPECT_EQ(this->OK + this->Failed, 0);
}

TYPED_TEST(CurrentSignIn, ReplayedCodeIsRefused) {
  const std::string First = this->Press(this->StartLogin(), "Allow");
  this->ReturnTo(First);
  ASSERT_EQ(this->OK, 1);
  // A second flow; the browser comes back with the first flow's code under the new state.
  this->StartLogin();
  this->ReturnTo(WithParam(First, "state", this->Identifier()));
  EXPECT_EQ(this->Client->LoginResult(), TIWResult::resFailed);
  EXPECT_TRUE(this->Client->LoginError().starts_with(TypeParam::ReplayError))
      << this->Client->LoginError();
  EXPECT_EQ(this->Failed, 1);
  EXPECT_EQ(this->OK, 1);
  EXPECT_EQ(this->Requests(TypeParam::TokenPath).size(), 2u);
  EXPECT_EQ(this->Requests(TypeParam::ProfilePath).size(), 1u);
}

TYPED_TEST(CurrentSignIn, ReloadingTheReturnPageChangesNothing) {
  const std::string Location = this->Press(this->StartLogin(), "Allow");
  this->ReturnTo(Location);
  ASSERT_EQ(this->OK, 1);
  this->ReturnTo(Location);
  EXPECT_EQ(this->Requests(TypeParam::TokenPath).size(), 1u);
  EXPECT_EQ(this->Client->LoginResult(), TIWResult::resOK);
  TypeParam::CheckUser(*this->Client);
  EXPECT_EQ(this->OK, 1);
  EXPECT_EQ(this->Failed, 0);
}

// ---------------------------------------------------------------------------------------------
// What only one provider does

using GoogleCurrentSignIn = CurrentSignIn<GoogleTraits>;

TEST_F(GoogleCurrentSignIn, AnUnverifiedAddressIsNotTaken) {
  sim::TSimUser U = sim::GoogleSim::DefaultUser();
  U.EmailVerified = false;
  Provider->SetUser(U);
  ReturnTo(Press(StartLogin(), "Allow"));
  EXPECT_EQ(Client->LoginResult(), TIWResult::resOK);
  EXPECT_EQ(Client->LoginID(), U.Id);
  EXPECT_EQ(Client->User()->Email(), "");
}

using FacebookCurrentSignIn = CurrentSignIn<FacebookTraits>;

TEST_F(FacebookCurrentSignIn, PostSendsNothingAndSaysWhy) {
  std::vector<std::string> PostOK;
  std::vector<std::string> PostFailed;
  Client->SetOnPostOK([&](rtl::TObject*, std::string Id) { PostOK.push_back(Id); });
  Client->SetOnPostFailed([&](rtl::TObject*, std::string M) { PostFailed.push_back(M); });
  ReturnTo(Press(StartLogin(), "Allow"));
  ASSERT_EQ(Client->LoginResult(), TIWResult::resOK);
  const std::size_t Before = Sim.Received(TProviderId::Facebook).size();
  Client->Post("hello");
  EXPECT_EQ(Sim.Received(TProviderId::Facebook).size(), Before);
  EXPECT_TRUE(PostOK.empty());
  EXPECT_EQ(PostFailed, std::vector<std::string>{IWFacebookAuthClient::kNoTimelinePosting});
  EXPECT_TRUE(Provider->Posts().empty());
}

TEST_F(FacebookCurrentSignIn, AppsWithoutTheSecretRequirementSignInToo) {
  Provider->SetRequireAppSecretProof(false);
  ReturnTo(Press(StartLogin(), "Allow"));
  EXPECT_EQ(Client->LoginResult(), TIWResult::resOK);
  // The client sends the proof anyway (and the provider checks one that is sent).
  EXPECT_FALSE(
      Requests(FacebookTraits::ProfilePath).front().Query.Values("appsecret_proof").empty());
}

using MicrosoftCurrentSignIn = CurrentSignIn<MicrosoftTraits>;

TEST_F(MicrosoftCurrentSignIn, TenantAndStandaloneReturnAddress) {
  Client->SetTenant("consumers");
  Client->SetStandaloneRedirectURL("https://www.example.test/signin/live");
  Client->Login(App.get());
  const std::string Authorize = App->RedirectURL();
  EXPECT_TRUE(Authorize.starts_with(Sim.BaseURL(TProviderId::WindowsLive) +
                                    "/consumers/oauth2/v2.0/authorize?"))
      << Authorize;
  const std::string Location = Press(Authorize, "Allow");
  EXPECT_TRUE(Location.starts_with("https://www.example.test/signin/live?")) << Location;
  ReturnTo(Location);
  EXPECT_EQ(Client->LoginResult(), TIWResult::resOK);
  ASSERT_EQ(Requests("/consumers/oauth2/v2.0/token").size(), 1u);
  EXPECT_EQ(Requests("/consumers/oauth2/v2.0/token")[0].Form().Values("redirect_uri"),
            "https://www.example.test/signin/live");

  // A standalone address with a query is one the provider never sends the browser back to.
  Client->SetStandaloneRedirectURL("https://www.example.test/signin/live?flow=1");
  Client->Login(App.get());
  const auto Refused = Browser->Get(App->RedirectURL());
  EXPECT_EQ(Refused.Status, 400);
  EXPECT_NE(Refused.Body.find("AADSTS50011"), std::string::npos);
}

}  // namespace
}  // namespace zelk
