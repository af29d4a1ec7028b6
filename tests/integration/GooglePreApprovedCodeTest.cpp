// Load tests exchange codes nobody fetched from the consent page: the simulated Google takes
// a code with the configured prefix once, for the client and return address the token request
// names, and checks everything else as for a code it issued. Off unless switched on. The
// tests talk to the token endpoint over TLS as a client would, and play a whole sign-in of the
// Google client with such a code.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <nlohmann/json.hpp>

#include "core/IWZelkAuthBase.h"
#include "providers/IWGAuthClient.h"
#include "sim/GoogleSim.h"
#include "support/FakeApplication.h"
#include "support/HtmlForm.h"
#include "support/SimBrowser.h"
#include "support/SimulatorFixture.h"

namespace zelk {
namespace {

using nlohmann::json;
using sim::TProviderId;
using TFields = std::vector<std::pair<std::string, std::string>>;

const std::string kReturn = "http://127.0.0.1:8080/";

class GooglePreApprovedCode : public testing::SimulatorFixture {
 protected:
  void SetUp() override {
    SimulatorFixture::SetUp();
    Google = std::make_unique<sim::GoogleSim>(Sim);
    Browser = std::make_unique<testing::SimBrowser>(Sim);
  }

  static TFields Exchange(const std::string& Code, const std::string& Redirect = kReturn,
                          const sim::TSimApp& App = sim::GoogleSim::DefaultApp()) {
    return {{"code", Code},
            {"client_id", App.ClientId},
            {"client_secret", App.Secret},
            {"redirect_uri", Redirect},
            {"grant_type", "authorization_code"}};
  }
  testing::TBrowserResponse Token(const TFields& Fields) {
    return Browser->PostForm(Sim.BaseURL(TProviderId::Google) + "/o/oauth2/token", Fields);
  }
  // The error and its description from a refusal of the token endpoint.
  std::pair<std::string, std::string> Refusal(const TFields& Fields, int Status) {
    const auto R = Token(Fields);
    EXPECT_EQ(R.Status, Status) << R.Body;
    const json J = json::parse(R.Body);
    EXPECT_FALSE(J.contains("access_token")) << R.Body;
    return {J.value("error", ""), J.value("error_description", "")};
  }

  std::unique_ptr<sim::GoogleSim> Google;
  std::unique_ptr<testing::SimBrowser> Browser;
};

TEST_F(GooglePreApprovedCode, OffByDefault) {
  EXPECT_EQ(Google->PreApprovedCodePrefix(), "");
  EXPECT_EQ(Refusal(Exchange("bench-1"), 400),
            (std::pair<std::string, std::string>{"invalid_grant", "Malformed auth code."}));
  // Switched off again after being on, it refuses them again.
  Google->SetPreApprovedCodePrefix("bench-");
  Google->SetPreApprovedCodePrefix("");
  EXPECT_EQ(Refusal(Exchange("bench-2"), 400).first, "invalid_grant");
}

TEST_F(GooglePreApprovedCode, AcceptedOnceForTheSignedInUser) {
  Google->SetPreApprovedCodePrefix("bench-");
  const auto OK = Token(Exchange("bench-t1-42"));
  ASSERT_EQ(OK.Status, 200) << OK.Body;
  const json T = json::parse(OK.Body);
  EXPECT_EQ(T["token_type"], "Bearer");
  EXPECT_EQ(T["scope"], "profile email");
  const std::string AccessToken = T["access_token"];
  EXPECT_TRUE(AccessToken.starts_with("ya29.")) << AccessToken;

  // The token stands for the signed-in user with both scopes.
  const auto Profile =
      Browser->Get(Sim.BaseURL(TProviderId::Google) +
                   "/oauth2/v1/userinfo?access_token=" + IWZelkAuthBase::URLEncode(AccessToken));
  ASSERT_EQ(Profile.Status, 200) << Profile.Body;
  const json P = json::parse(Profile.Body);
  EXPECT_EQ(P["id"], sim::GoogleSim::DefaultUser().Id);
  EXPECT_EQ(P["name"], sim::GoogleSim::DefaultUser().Name);
  EXPECT_EQ(P["email"], sim::GoogleSim::DefaultUser().Email);

  // A second use is refused as for a spent code, even with another return address.
  EXPECT_EQ(Refusal(Exchange("bench-t1-42"), 400),
            (std::pair<std::string, std::string>{"invalid_grant", "Code was already redeemed."}));
  EXPECT_EQ(Refusal(Exchange("bench-t1-42", "http://127.0.0.1:9/"), 400).second,
            "Code was already redeemed.");
  // Another code with the prefix is good in its turn.
  EXPECT_EQ(Token(Exchange("bench-t1-43")).Status, 200);
}

TEST_F(GooglePreApprovedCode, EverythingButTheConsentIsStillChecked) {
  Google->SetPreApprovedCodePrefix("bench-");
  Google->AddApp({"strict-client", "strict-secret", {"http://127.0.0.1:8080/cb/"}});
  const sim::TSimApp Strict{"strict-client", "strict-secret", {}};
  struct TCase {
    const char* Name;
    TFields Fields;
    int Status;
    const char* Error;
  };
  const TCase Refused[] = {
      {"wrong secret",
       {{"code", "bench-a"},
        {"client_id", sim::GoogleSim::DefaultApp().ClientId},
        {"client_secret", "google-secret-x"},
        {"redirect_uri", kReturn},
        {"grant_type", "authorization_code"}},
       401,
       "invalid_client"},
      {"unknown client", Exchange("bench-a", kReturn, {"nobody", "google-secret", {}}), 401,
       "invalid_client"},
      {"return address the client did not register",
       Exchange("bench-a", "http://127.0.0.1:8080/cb", Strict), 400, "redirect_uri_mismatch"},
      {"no return address", Exchange("bench-a", ""), 400, "redirect_uri_mismatch"},
      {"the prefix alone", Exchange("bench-"), 400, "invalid_grant"},
      {"prefix in another letter case", Exchange("Bench-a"), 400, "invalid_grant"},
      {"prefix not at the start", Exchange("x-bench-a"), 400, "invalid_grant"},
  };
  for (const auto& C : Refused) {
    SCOPED_TRACE(C.Name);
    EXPECT_EQ(Refusal(C.Fields, C.Status).first, C.Error);
  }
  // None of the refusals spent the code: the client's registered address takes it once.
  EXPECT_EQ(Token(Exchange("bench-a", "http://127.0.0.1:8080/cb/", Strict)).Status, 200);
  EXPECT_EQ(Refusal(Exchange("bench-a"), 400).second, "Code was already redeemed.");
}

TEST(PreApprovedCodes, IssuedCodesKeepTheirOwnChecks) {
  // A code the consent page issued is checked against its own authorization request, even
  // when it happens to carry the prefix.
  auto Grants = std::make_unique<sim::TOAuth2Grants>();
  sim::TAuthorizationRequest Request;
  Request.ClientId = sim::GoogleSim::DefaultApp().ClientId;
  Request.RedirectURI = "http://127.0.0.1:8080/a/";
  Grants->AddApp(sim::GoogleSim::DefaultApp());
  Grants->SetPreApprovedCodes("4/", {"profile"});
  Grants->IssueCode(Request, "4/issued");
  sim::TGrant Grant;
  EXPECT_EQ(Grants->RedeemCode("4/issued", Request.ClientId, "http://127.0.0.1:8080/b/", Grant),
            sim::TCodeRefusal::OtherRedirect);
  EXPECT_EQ(Grants->RedeemCode("4/issued", Request.ClientId, Request.RedirectURI, Grant),
            sim::TCodeRefusal::None);
  EXPECT_EQ(Grant.Request.RedirectURI, Request.RedirectURI);
  EXPECT_EQ(Grants->RedeemCode("4/other", Request.ClientId, "http://127.0.0.1:8080/b/", Grant),
            sim::TCodeRefusal::None);
  EXPECT_EQ(Grant.Request.RedirectURI, "http://127.0.0.1:8080/b/");
  EXPECT_EQ(Grant.Request.Scopes, std::vector<std::string>{"profile"});
}

TEST_F(GooglePreApprovedCode, OneWinnerWhenThreadsRaceForACode) {
  Google->SetPreApprovedCodePrefix("bench-");
  constexpr int kThreads = 4;
  std::atomic<int> Accepted{0};
  std::atomic<int> Spent{0};
  std::vector<std::thread> Threads;
  for (int I = 0; I < kThreads; ++I)
    Threads.emplace_back([&] {
      testing::SimBrowser B(Sim);
      const auto R =
          B.PostForm(Sim.BaseURL(TProviderId::Google) + "/o/oauth2/token", Exchange("bench-race"));
      if (R.Status == 200) ++Accepted;
      if (R.Status == 400 && R.Body.find("already redeemed") != std::string::npos) ++Spent;
    });
  for (auto& T : Threads)
    T.join();
  EXPECT_EQ(Accepted, 1);
  EXPECT_EQ(Spent, kThreads - 1);
}

TEST_F(GooglePreApprovedCode, GoogleClientSignsInWithACodeNobodyFetched) {
  Google->SetPreApprovedCodePrefix("bench-");
  rtl::TComponent Owner(nullptr);
  auto* Controller = new IWZelkAuthBase::TZIWAuthServerController(&Owner);
  auto* Client = new IWGAuthClient::TZIWGAuthClient(&Owner);
  Client->SetServerController(Controller);
  Client->App()->SetID(sim::GoogleSim::DefaultApp().ClientId);
  Client->App()->SetSecret(sim::GoogleSim::DefaultApp().Secret);
  Client->SetScopes({IWGAuthClient::gEmail});
  int OK = 0;
  Client->SetOnLoginOK([&](rtl::TObject*) { ++OK; });
  const auto App = testing::MakeApplication("http://127.0.0.1:8080");

  // The browser never visits the consent page: it comes back with the state and a code of
  // its own making, as the load script does.
  Client->Login(App.get());
  const std::string State =
      web::THttpRequest::FromTarget(testing::TargetOf(App->RedirectURL())).Query("state");
  ASSERT_FALSE(State.empty()) << App->RedirectURL();
  Controller->ProcessRequest(
      web::THttpRequest::FromTarget("/?state=" + State + "&code=bench-client-1"));
  EXPECT_EQ(OK, 1);
  EXPECT_EQ(Client->LoginResult(), IWZelkAuthBase::resOK);
  EXPECT_EQ(Client->LoginID(), sim::GoogleSim::DefaultUser().Id);
  EXPECT_EQ(Client->User()->Email(), sim::GoogleSim::DefaultUser().Email);

  // The token request carried the return address the client sent at Login.
  const auto Received = Sim.Received(TProviderId::Google);
  ASSERT_EQ(Received.size(), 2u);
  EXPECT_EQ(Received[0].Path, "/o/oauth2/token");
  EXPECT_EQ(Received[0].Form().Values("redirect_uri"), "http://127.0.0.1:8080/");
  EXPECT_EQ(Received[1].Path, "/oauth2/v1/userinfo");
}

}  // namespace
}  // namespace zelk
