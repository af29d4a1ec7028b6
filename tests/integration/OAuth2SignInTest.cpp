// The three OAuth 2.0 sign-in flows end to end: the real transport against the simulator over
// TLS, with the test playing the browser. Login sends the browser to the provider's consent
// page, the test presses Allow or Deny, takes the redirect back to the application and hands it
// to the controller, as the application's request hook would.
#include <gtest/gtest.h>

#include "providers/IWFacebookAuthClient.h"
#include "providers/IWGAuthClient.h"
#include "providers/IWWindowsLiveAuthClient.h"
#include "sim/FacebookSim.h"
#include "sim/GoogleSim.h"
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

// The application's side of a flow: a form owning the controller and the client, the session's
// application object, and the login events counted.
template <class TClient>
class SignInFlow : public testing::SimulatorFixture {
 protected:
  void SetUp() override {
    SimulatorFixture::SetUp();
    Controller = new TZIWAuthServerController(&Owner);
    Client = new TClient(&Owner);
    Client->SetServerController(Controller);
    Client->SetOnLoginOK([this](rtl::TObject*) { ++OK; });
    Client->SetOnLoginFailed([this](rtl::TObject*) { ++Failed; });
    Browser = std::make_unique<testing::SimBrowser>(Sim);
  }

  std::string Identifier() const { return Controller->Clients()->Items(0)->ID(); }

  // Login, then the browser opens the provider's page and presses Label on it. Returns where
  // the provider sends the browser next.
  std::string LoginAndPress(TProviderId Provider, const std::string& Label) {
    Client->Login(App.get());
    const std::string Dialog = App->RedirectURL();
    EXPECT_TRUE(Dialog.starts_with(Sim.BaseURL(Provider) + "/")) << Dialog;
    const auto Page = Browser->Get(Dialog);
    EXPECT_EQ(Page.Status, 200) << Page.Body;
    ConsentPage = Page.Body;
    const auto Form = testing::ReadHtmlForm(Page.Body);
    EXPECT_EQ(Form.Method, "post");
    const auto Answer =
        Browser->PostForm(testing::ResolveURL(Dialog, Form.Action), Form.Press(Label));
    EXPECT_EQ(Answer.Status, 302) << Answer.Body;
    return Answer.Location;
  }

  // The browser arrives back at the application.
  void ReturnTo(const std::string& Location) {
    Controller->ProcessRequest(web::THttpRequest::FromTarget(testing::TargetOf(Location)));
  }

  std::size_t Calls(TProviderId Provider, const std::string& Path) const {
    std::size_t N = 0;
    for (const auto& R : Sim.Received(Provider))
      if (R.Path == Path) ++N;
    return N;
  }

  rtl::TComponent Owner{nullptr};
  TZIWAuthServerController* Controller = nullptr;  // owned by Owner
  TClient* Client = nullptr;                       // owned by Owner
  std::unique_ptr<web::TIWApplication> App = testing::MakeApplication("http://127.0.0.1:8080/app");
  std::unique_ptr<testing::SimBrowser> Browser;
  std::string ConsentPage;
  int OK = 0;
  int Failed = 0;
};

// ---------------------------------------------------------------------------------------------
// Google

class GoogleSignIn : public SignInFlow<IWGAuthClient::TZIWGAuthClient> {
 protected:
  void SetUp() override {
    SignInFlow::SetUp();
    Google = std::make_unique<sim::GoogleSim>(Sim);
    Client->App()->SetID(sim::GoogleSim::DefaultApp().ClientId);
    Client->App()->SetSecret(sim::GoogleSim::DefaultApp().Secret);
  }
  std::unique_ptr<sim::GoogleSim> Google;
};

TEST_F(GoogleSignIn, AllowSignsTheUserIn) {
  Client->SetScopes({IWGAuthClient::gEmail});
  const std::string Location = LoginAndPress(TProviderId::Google, "Allow");
  EXPECT_NE(ConsentPage.find(sim::GoogleSim::DefaultApp().ClientId), std::string::npos);
  EXPECT_NE(ConsentPage.find("View your email address"), std::string::npos);
  EXPECT_NE(ConsentPage.find("Zoë Ünal"), std::string::npos);
  EXPECT_TRUE(Location.starts_with("http://127.0.0.1:8080/app/?state=" + Identifier() + "&code="))
      << Location;
  // Google's codes hold a "/": the client must encode it when it sends the code on.
  EXPECT_TRUE(
      web::THttpRequest::FromTarget(testing::TargetOf(Location)).Query("code").starts_with("4/"));

  ReturnTo(Location);
  const sim::TSimUser User = sim::GoogleSim::DefaultUser();
  EXPECT_EQ(Client->LoginResult(), TIWResult::resOK);
  EXPECT_EQ(Client->LoginID(), User.Id);
  EXPECT_EQ(Client->LoginUsername(), "Zoë Ünal");
  EXPECT_EQ(Client->LoginError(), "");
  EXPECT_EQ(Client->User()->Email(), User.Email);
  EXPECT_EQ(Client->User()->Gender(), "female");
  EXPECT_EQ(OK, 1);
  EXPECT_EQ(Failed, 0);

  // The token request as the provider received it.
  for (const auto& R : Sim.Received(TProviderId::Google))
    if (R.Path == "/o/oauth2/token") {
      EXPECT_EQ(R.Method, "POST");
      EXPECT_EQ(R.Header("Content-Type"), "application/x-www-form-urlencoded");
      EXPECT_EQ(R.Form().Values("redirect_uri"), "http://127.0.0.1:8080/app/");
    }
  EXPECT_EQ(Google->OutstandingCodes(), 0u);
}

TEST_F(GoogleSignIn, WithoutTheEmailScopeNoAddressIsAskedOrStored) {
  const std::string Location = LoginAndPress(TProviderId::Google, "Allow");
  EXPECT_EQ(ConsentPage.find("View your email address"), std::string::npos);
  ReturnTo(Location);
  EXPECT_EQ(Client->LoginResult(), TIWResult::resOK);
  EXPECT_EQ(Client->User()->Email(), "");
  EXPECT_EQ(Client->User()->Gender(), "female");
}

TEST_F(GoogleSignIn, DenyFailsWithTheProvidersError) {
  const std::string Location = LoginAndPress(TProviderId::Google, "Deny");
  EXPECT_EQ(Location, "http://127.0.0.1:8080/app/?error=access_denied&state=" + Identifier());
  ReturnTo(Location);
  EXPECT_EQ(Client->LoginResult(), TIWResult::resFailed);
  EXPECT_EQ(Client->LoginError(), "access_denied");
  EXPECT_EQ(Client->LoginID(), "");
  EXPECT_EQ(Failed, 1);
  EXPECT_EQ(OK, 0);
  EXPECT_EQ(Calls(TProviderId::Google, "/o/oauth2/token"), 0u);
}

TEST_F(GoogleSignIn, WrongSecretFailsAtTheTokenEndpoint) {
  Client->App()->SetSecret("not-the-secret");
  ReturnTo(LoginAndPress(TProviderId::Google, "Allow"));
  EXPECT_EQ(Client->LoginResult(), TIWResult::resFailed);
  EXPECT_EQ(Client->LoginError(), "");
  EXPECT_EQ(Client->LoginID(), "");
  EXPECT_EQ(Failed, 1);
  EXPECT_EQ(Calls(TProviderId::Google, "/o/oauth2/token"), 1u);
  EXPECT_EQ(Calls(TProviderId::Google, "/oauth2/v1/userinfo"), 0u);
}

TEST_F(GoogleSignIn, ReloadingTheReturnPageChangesNothing) {
  const std::string Location = LoginAndPress(TProviderId::Google, "Allow");
  ReturnTo(Location);
  ASSERT_EQ(OK, 1);
  ReturnTo(Location);
  EXPECT_EQ(Calls(TProviderId::Google, "/o/oauth2/token"), 1u);
  EXPECT_EQ(Client->LoginResult(), TIWResult::resOK);
  EXPECT_EQ(OK, 1);
  EXPECT_EQ(Failed, 0);
}

TEST_F(GoogleSignIn, ForgedIdentifierReachesNoClient) {
  std::string Location = LoginAndPress(TProviderId::Google, "Allow");
  const std::string Id = Identifier();
  Location.replace(Location.find(Id), Id.size(), "00000000-0000-4000-8000-000000000000");
  ReturnTo(Location);
  EXPECT_EQ(Client->LoginResult(), TIWResult::resNone);
  EXPECT_EQ(OK + Failed, 0);
  EXPECT_EQ(Calls(TProviderId::Google, "/o/oauth2/token"), 0u);
}

TEST_F(GoogleSignIn, TransportFailureRaisesAndLeavesTheOutcome) {
  const std::string Location = LoginAndPress(TProviderId::Google, "Allow");
  Sim.SetFault(TProviderId::Google, "/o/oauth2/token", sim::TFault::CutAfter(5));
  EXPECT_THROW(ReturnTo(Location), rtl::Exception);
  EXPECT_EQ(Client->LoginResult(), TIWResult::resNone);
  EXPECT_EQ(Client->LoginError(), "");
  EXPECT_EQ(OK + Failed, 0);
}

// ---------------------------------------------------------------------------------------------
// Facebook

class FacebookSignIn : public SignInFlow<IWFacebookAuthClient::TZIWFacebookAuthClient> {
 protected:
  void SetUp() override {
    SignInFlow::SetUp();
    Facebook = std::make_unique<sim::FacebookSim>(Sim);
    Client->App()->SetID(sim::FacebookSim::DefaultApp().ClientId);
    Client->App()->SetSecret(sim::FacebookSim::DefaultApp().Secret);
    Client->SetOnPostOK([this](rtl::TObject*, std::string Id) { PostOK.push_back(Id); });
    Client->SetOnPostFailed(
        [this](rtl::TObject*, std::string Message) { PostFailed.push_back(Message); });
  }
  std::unique_ptr<sim::FacebookSim> Facebook;
  std::vector<std::string> PostOK;
  std::vector<std::string> PostFailed;
};

TEST_F(FacebookSignIn, AllowSignsTheUserInAndPostsToTheWall) {
  Client->SetScopes({IWFacebookAuthClient::fbEmail, IWFacebookAuthClient::fbBirthDay});
  const std::string Location = LoginAndPress(TProviderId::Facebook, "Allow");
  EXPECT_NE(ConsentPage.find(sim::FacebookSim::DefaultApp().ClientId), std::string::npos);
  EXPECT_NE(ConsentPage.find("Post on your behalf"), std::string::npos);
  // 127.0.0.1 became localhost; Facebook appends its fragment, which the browser keeps.
  EXPECT_TRUE(
      Location.starts_with("http://localhost:8080/app/?clientid=" + Identifier() + "&code=AQ"))
      << Location;
  EXPECT_TRUE(Location.ends_with("#_=_")) << Location;

  ReturnTo(Location);
  const sim::TSimUser User = sim::FacebookSim::DefaultUser();
  EXPECT_EQ(Client->LoginResult(), TIWResult::resOK);
  EXPECT_EQ(Client->LoginID(), User.Id);
  EXPECT_EQ(Client->LoginUsername(), "Renée 山田");  // sent as \u escapes
  EXPECT_EQ(Client->User()->Email(), User.Email);
  EXPECT_EQ(Client->User()->Birthday(), "07/21/1984");
  EXPECT_NE(Client->User()->Picture().find(User.Picture), std::string::npos);
  EXPECT_EQ(OK, 1);

  Client->Post("Grüße & 100% from the simulator?");
  const auto Posts = Facebook->Posts();
  ASSERT_EQ(Posts.size(), 1u);
  EXPECT_EQ(Posts[0].Message, "Grüße & 100% from the simulator?");
  EXPECT_EQ(Posts[0].UserId, User.Id);
  EXPECT_EQ(PostOK, std::vector<std::string>{Posts[0].PostId});
  EXPECT_TRUE(PostFailed.empty());
}

TEST_F(FacebookSignIn, LegacyFormEncodedTokenReply) {
  Facebook->SetLegacyTokenReply(true);
  ReturnTo(LoginAndPress(TProviderId::Facebook, "Allow"));
  EXPECT_EQ(Client->LoginResult(), TIWResult::resOK);
  EXPECT_EQ(Client->User()->Email(), "");  // not selected
  Client->Post("hello");
  EXPECT_EQ(PostOK.size(), 1u);
}

TEST_F(FacebookSignIn, DenyFailsAndLeavesTheError) {
  Client->SetLoginError("earlier");
  const std::string Location = LoginAndPress(TProviderId::Facebook, "Deny");
  EXPECT_NE(Location.find("error=access_denied"), std::string::npos) << Location;
  EXPECT_NE(Location.find("error_reason=user_denied"), std::string::npos) << Location;
  ReturnTo(Location);
  EXPECT_EQ(Client->LoginResult(), TIWResult::resFailed);
  EXPECT_EQ(Client->LoginError(), "earlier");
  EXPECT_EQ(Failed, 1);
  EXPECT_EQ(Calls(TProviderId::Facebook, "/oauth/access_token"), 0u);

  Client->Post("no token yet");
  EXPECT_EQ(Calls(TProviderId::Facebook, "/method/stream.publish"), 0u);
}

TEST_F(FacebookSignIn, WrongSecretShowsTheGraphError) {
  Client->App()->SetSecret("wrong");
  ReturnTo(LoginAndPress(TProviderId::Facebook, "Allow"));
  EXPECT_EQ(Client->LoginResult(), TIWResult::resFailed);
  EXPECT_EQ(Client->LoginError(), "Error validating client secret.");
  EXPECT_EQ(Failed, 1);
  EXPECT_EQ(Calls(TProviderId::Facebook, "/me"), 0u);
}

TEST_F(FacebookSignIn, RefusedPostReportsTheProvidersMessage) {
  ReturnTo(LoginAndPress(TProviderId::Facebook, "Allow"));
  ASSERT_EQ(Client->LoginResult(), TIWResult::resOK);
  Facebook->RevokeTokens();
  Client->Post("after the session ended");
  EXPECT_TRUE(PostOK.empty());
  EXPECT_EQ(PostFailed, std::vector<std::string>{"Invalid OAuth 2.0 Access Token"});
  EXPECT_TRUE(Facebook->Posts().empty());
}

TEST_F(FacebookSignIn, UnknownAppGetsAnEscapedErrorPage) {
  Client->App()->SetID("<script>alert(1)</script>");
  Client->Login(App.get());
  const auto Page = Browser->Get(App->RedirectURL());
  EXPECT_EQ(Page.Status, 400);
  EXPECT_EQ(Page.Body.find("<script>"), std::string::npos);
  EXPECT_NE(Page.Body.find("&lt;script&gt;"), std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// Windows Live

class WindowsLiveSignIn : public SignInFlow<IWWindowsLiveAuthClient::TZIWWindowsLiveAuthClient> {
 protected:
  void SetUp() override {
    SignInFlow::SetUp();
    Live = std::make_unique<sim::WindowsLiveSim>(Sim);
    Client->App()->SetID(sim::WindowsLiveSim::DefaultApp().ClientId);
    Client->App()->SetSecret(sim::WindowsLiveSim::DefaultApp().Secret);
  }
  std::unique_ptr<sim::WindowsLiveSim> Live;
};

TEST_F(WindowsLiveSignIn, AllowWithAStandaloneReturnAddress) {
  Client->SetScopes({IWWindowsLiveAuthClient::wlEmail, IWWindowsLiveAuthClient::wlBirthDay});
  Client->SetStandaloneRedirectURL("https://www.example.test/signin/live");
  const std::string Location = LoginAndPress(TProviderId::WindowsLive, "Allow");
  EXPECT_NE(ConsentPage.find("Access your birthday"), std::string::npos);
  EXPECT_NE(ConsentPage.find("Access your email addresses"), std::string::npos);
  EXPECT_TRUE(Location.starts_with("https://www.example.test/signin/live?clientid=" + Identifier() +
                                   "&code=M"))
      << Location;

  // The token has "+", "/" and "=" in it: only encoded does it reach the profile call intact.
  ReturnTo(Location);
  const sim::TSimUser User = sim::WindowsLiveSim::DefaultUser();
  EXPECT_EQ(Client->LoginResult(), TIWResult::resOK);
  EXPECT_EQ(Client->LoginID(), User.Id);
  EXPECT_EQ(Client->LoginUsername(), "Łukasz Żółć");
  EXPECT_EQ(Client->User()->Gender(), "male");
  EXPECT_EQ(Client->User()->Birthday(), "1979\\11\\3");
  EXPECT_EQ(Client->User()->Email(), User.Email);
  EXPECT_EQ(OK, 1);
}

TEST_F(WindowsLiveSignIn, AllowWithTheApplicationsAddress) {
  const std::string Location = LoginAndPress(TProviderId::WindowsLive, "Allow");
  EXPECT_TRUE(Location.starts_with("http://127.0.0.1:8080/app?clientid=" + Identifier() + "&code="))
      << Location;
  ReturnTo(Location);
  EXPECT_EQ(Client->LoginResult(), TIWResult::resOK);
  EXPECT_EQ(Client->User()->Birthday(), "");
  EXPECT_EQ(Client->User()->Email(), "");
}

TEST_F(WindowsLiveSignIn, DenyFailsWithAnEmptyError) {
  Client->SetLoginError("earlier");
  const std::string Location = LoginAndPress(TProviderId::WindowsLive, "Deny");
  EXPECT_TRUE(Location.starts_with("http://127.0.0.1:8080/app?clientid=" + Identifier() +
                                   "&error=access_denied&error_description="))
      << Location;
  ReturnTo(Location);
  EXPECT_EQ(Client->LoginResult(), TIWResult::resFailed);
  EXPECT_EQ(Client->LoginError(), "");
  EXPECT_EQ(Failed, 1);
  EXPECT_EQ(Calls(TProviderId::WindowsLive, "/oauth20_token.srf"), 0u);
}

TEST_F(WindowsLiveSignIn, WrongSecretFails) {
  Client->App()->SetSecret("wrong");
  ReturnTo(LoginAndPress(TProviderId::WindowsLive, "Allow"));
  EXPECT_EQ(Client->LoginResult(), TIWResult::resFailed);
  EXPECT_EQ(Client->LoginError(), "");
  EXPECT_EQ(Calls(TProviderId::WindowsLive, "/v5.0/me"), 0u);
  EXPECT_EQ(Failed, 1);
}

TEST_F(WindowsLiveSignIn, ReloadingTheReturnPageChangesNothing) {
  const std::string Location = LoginAndPress(TProviderId::WindowsLive, "Allow");
  ReturnTo(Location);
  ReturnTo(Location);
  EXPECT_EQ(Calls(TProviderId::WindowsLive, "/oauth20_token.srf"), 1u);
  EXPECT_EQ(Client->LoginResult(), TIWResult::resOK);
  EXPECT_EQ(OK, 1);
  EXPECT_EQ(Failed, 0);
}

}  // namespace
}  // namespace zelk
