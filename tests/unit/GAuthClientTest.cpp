// The Google client against the recording transport: the authorization URL, the token request
// and the profile request byte for byte, and the state and event after every outcome.
#include <gtest/gtest.h>

#include "providers/IWGAuthClient.h"
#include "support/FakeApplication.h"
#include "support/RecordingTransport.h"

namespace zelk::IWGAuthClient {
namespace {

using IWZelkAuthBase::TIWResult;
using IWZelkAuthBase::TZIWAuthServerController;

class GAuthClient : public ::testing::Test {
 protected:
  GAuthClient()
      : Owner(nullptr),
        Controller(new TZIWAuthServerController(&Owner)),
        Client(new TZIWGAuthClient(&Owner)),
        App(testing::MakeApplication("http://localhost/app")) {
    IWZelkAuthBase::SetProviderHost(IWZelkAuthBase::phGoogleAccounts, "accounts.example.test");
    IWZelkAuthBase::SetProviderHost(IWZelkAuthBase::phGoogleApis, "apis.example.test:8443");
    Client->SetServerController(Controller);
    Client->App()->SetID("id+1/x");
    Client->App()->SetSecret("s&cret");
    Client->SetOnLoginOK([this](rtl::TObject*) { ++OK; });
    Client->SetOnLoginFailed([this](rtl::TObject*) { ++Failed; });
  }
  ~GAuthClient() override { IWZelkAuthBase::ResetProviderHosts(); }

  std::string Login() {
    Client->Login(App.get());
    return Controller->Clients()->Items(0)->ID();
  }
  void Return(const std::string& Query) {
    Controller->ProcessRequest(testing::RequestWithQuery(Query));
  }

  testing::RecordingTransport T;
  rtl::TComponent Owner;
  TZIWAuthServerController* Controller;
  TZIWGAuthClient* Client;
  std::unique_ptr<web::TIWApplication> App;
  int OK = 0;
  int Failed = 0;
};

// The scope identifiers are Google's own names whatever host the endpoint table gives the APIs
// (here one with a port), and in the default configuration too.
TEST_F(GAuthClient, AuthorizationURLForEachScopeSelection) {
  const std::string Profile = "https%3A%2F%2Fwww.googleapis.com%2Fauth%2Fuserinfo.profile";
  const std::string Email = "https%3A%2F%2Fwww.googleapis.com%2Fauth%2Fuserinfo.email";
  const std::pair<TIWScopes, std::string> Cases[] = {{{}, Profile},
                                                     {{gEmail}, Profile + "+" + Email}};
  for (const char* Accounts : {"accounts.example.test", ""}) {
    if (*Accounts == '\0') IWZelkAuthBase::ResetProviderHosts();
    const std::string AuthPage =
        *Accounts == '\0' ? "https://accounts.google.com" : std::string("https://") + Accounts;
    for (const auto& [Scopes, ScopeText] : Cases) {
      Client->SetScopes(Scopes);
      const std::string Id = Login();
      EXPECT_EQ(App->RedirectURL(),
                AuthPage + "/o/oauth2/auth?scope=" + ScopeText + "&state=" + Id +
                    "&redirect_uri=http%3A%2F%2Flocalhost%2Fapp%2F"
                    "&response_type=code&client_id=id+1/x&approval_prompt=force");
    }
  }
  EXPECT_EQ(T.Count(), 0u);
}

TEST_F(GAuthClient, SuccessfulSignInSendsExactRequestsAndFillsTheUser) {
  Client->SetScopes({gEmail});
  const std::string Id = Login();
  T.Reply(R"({"access_token":"ya29.a/b+c","token_type":"Bearer","expires_in":3599})");
  T.Reply(R"({"id":"1089","name":"Zoë Ünal","email":"zoe@example.test","gender":"female"})");
  Return("state=" + Id + "&code=4/P7q7W91a-oMsCeLvIaQm6bTrgtp7");

  ASSERT_EQ(T.Count(), 2u);
  const auto Token = T.At(0);
  EXPECT_EQ(Token.Method, "POST");
  EXPECT_EQ(Token.Host, "accounts.example.test");
  EXPECT_EQ(Token.Path, "/o/oauth2/token");
  EXPECT_EQ(Token.Headers, "Content-Type: application/x-www-form-urlencoded");
  EXPECT_EQ(Token.Data,
            "code=4%2FP7q7W91a-oMsCeLvIaQm6bTrgtp7&client_id=id%2B1%2Fx&client_secret=s%26cret"
            "&redirect_uri=http%3A%2F%2Flocalhost%2Fapp%2F&grant_type=authorization_code");
  const auto Profile = T.At(1);
  EXPECT_EQ(Profile.Method, "GET");
  EXPECT_EQ(Profile.Host, "apis.example.test:8443");
  EXPECT_EQ(Profile.Path, "/oauth2/v1/userinfo?access_token=ya29.a%2Fb%2Bc");

  EXPECT_EQ(Client->LoginResult(), TIWResult::resOK);
  EXPECT_EQ(Client->LoginID(), "1089");
  EXPECT_EQ(Client->LoginUsername(), "Zoë Ünal");
  EXPECT_EQ(Client->LoginError(), "");
  EXPECT_EQ(Client->User()->Email(), "zoe@example.test");
  EXPECT_EQ(Client->User()->Gender(), "female");
  EXPECT_EQ(OK, 1);
  EXPECT_EQ(Failed, 0);
}

// The return address goes into the token request exactly as it went into the authorization
// URL, also for an application URL that needs encoding.
TEST_F(GAuthClient, RedirectAddressIsIdenticalInBothRequests) {
  App->SetApplicationURL("https://host.test:8443/my app/ä");
  const std::string Id = Login();
  T.Reply(R"({"access_token":"t"})");
  T.Reply(R"({"id":"1","name":"n"})");
  Return("state=" + Id + "&code=c");
  const std::string Encoded = "https%3A%2F%2Fhost.test%3A8443%2Fmy%20app%2F%C3%A4%2F";
  EXPECT_NE(App->RedirectURL().find("&redirect_uri=" + Encoded + "&"), std::string::npos);
  EXPECT_NE(T.At(0).Data.find("&redirect_uri=" + Encoded + "&"), std::string::npos);
}

// A code from the browser cannot add parameters to the token request.
TEST_F(GAuthClient, HostileCodesAreEncoded) {
  const std::pair<std::string, std::string> Cases[] = {
      {"abc&grant_type=password", "abc%26grant_type%3Dpassword"},
      {"a#b c", "a%23b%20c"},
      {"x\r\nHost: evil", "x%0D%0AHost%3A%20evil"},
      {"4/Az-._~", "4%2FAz-._~"},
  };
  for (const auto& [Code, Encoded] : Cases) {
    T.Clear();
    const std::string Id = Login();
    T.Reply(R"({"error":"invalid_grant"})");
    Return("state=" + Id + "&code=" + IWZelkAuthBase::URLEncode(Code));
    ASSERT_EQ(T.Count(), 1u) << Code;
    EXPECT_EQ(T.At(0).Data.substr(0, T.At(0).Data.find("&client_id=")), "code=" + Encoded);
  }
}

struct TFailureCase {
  const char* Name;
  std::string Query;  // after "state=<id>"
  std::vector<std::string> Replies;
  std::string LoginError;
  std::size_t Requests;
};

TEST_F(GAuthClient, FailuresSetTheResultAndRaiseOnLoginFailed) {
  const TFailureCase Cases[] = {
      {"error and code", "&error=access_denied&code=c", {}, "access_denied", 0},
      {"error only", "&error=access_denied", {}, "access_denied", 0},
      {"neither error nor code", "", {}, "", 0},
      {"empty code", "&code=", {}, "", 0},
      {"token error reply", "&code=c", {R"({"error":"invalid_grant"})"}, "earlier", 1},
      {"token reply not JSON", "&code=c", {"<html>502</html>"}, "earlier", 1},
      {"token reply empty token", "&code=c", {R"({"access_token":""})"}, "earlier", 1},
      {"profile without name",
       "&code=c",
       {R"({"access_token":"t"})", R"({"id":"7","email":"x@y"})"},
       "earlier",
       2},
      {"profile without id",
       "&code=c",
       {R"({"access_token":"t"})", R"({"name":"N"})"},
       "earlier",
       2},
      {"profile error",
       "&code=c",
       {R"({"access_token":"t"})", R"({"error":{"code":401}})"},
       "earlier",
       2},
  };
  Client->SetScopes({gEmail});
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    T.Clear();
    OK = Failed = 0;
    Client->SetLoginResult(TIWResult::resOK);
    Client->SetLoginError("earlier");
    Client->SetLoginID("earlier id");
    Client->SetLoginUsername("earlier name");
    const std::string Id = Login();
    for (const auto& R : C.Replies)
      T.Reply(R);
    Return("state=" + Id + C.Query);
    EXPECT_EQ(T.Count(), C.Requests);
    EXPECT_EQ(Client->LoginResult(), TIWResult::resFailed);
    EXPECT_EQ(Client->LoginError(), C.LoginError);
    EXPECT_EQ(Client->LoginID(), "earlier id");
    EXPECT_EQ(Client->LoginUsername(), "earlier name");
    EXPECT_EQ(Client->User()->Email(), "");
    EXPECT_EQ(OK, 0);
    EXPECT_EQ(Failed, 1);
  }
}

TEST_F(GAuthClient, ProfileMembersAreStoredOnlyWhenPresentAndAskedFor) {
  auto SignIn = [&](const std::string& Profile) {
    const std::string Id = Login();
    T.Reply(R"({"access_token":"t"})");
    T.Reply(Profile);
    Return("state=" + Id + "&code=c");
    EXPECT_EQ(Client->LoginResult(), TIWResult::resOK);
  };
  // Without gEmail the address is never stored; the gender always is.
  SignIn(R"({"id":"1","name":"A","email":"a@x","gender":"male"})");
  EXPECT_EQ(Client->User()->Email(), "");
  EXPECT_EQ(Client->User()->Gender(), "male");

  Client->SetScopes({gEmail});
  SignIn(R"({"id":"2","name":"B","email":"b@x"})");
  EXPECT_EQ(Client->User()->Email(), "b@x");
  EXPECT_EQ(Client->User()->Gender(), "male");  // missing: kept from before

  SignIn(R"({"id":3,"name":"C"})");  // a numeric id is taken as its literal
  EXPECT_EQ(Client->LoginID(), "3");
  EXPECT_EQ(Client->User()->Email(), "b@x");
  EXPECT_EQ(OK, 3);
}

TEST_F(GAuthClient, LoginResetsNothing) {
  const std::string Id = Login();
  T.Reply(R"({"access_token":"t"})");
  T.Reply(R"({"id":"1","name":"A","gender":"g"})");
  Return("state=" + Id + "&code=c");
  Login();
  EXPECT_EQ(Client->LoginResult(), TIWResult::resOK);
  EXPECT_EQ(Client->LoginID(), "1");
  EXPECT_EQ(Client->User()->Gender(), "g");
}

TEST_F(GAuthClient, UserCanBeReplacedButNotCleared) {
  auto Replacement = std::make_unique<TGUser>();
  TGUser* Raw = Replacement.get();
  Client->SetUser(std::move(Replacement));
  EXPECT_EQ(Client->User(), Raw);
  EXPECT_THROW(Client->SetUser(nullptr), rtl::Exception);
  EXPECT_EQ(Client->User(), Raw);
}

}  // namespace
}  // namespace zelk::IWGAuthClient
