// The Windows Live client against the recording transport: the authorization URL for every
// scope selection and return-address base, the token body and profile path byte for byte, the
// profile rules and the failure table.
#include <gtest/gtest.h>

#include "providers/IWWindowsLiveAuthClient.h"
#include "support/FakeApplication.h"
#include "support/RecordingTransport.h"

namespace zelk::IWWindowsLiveAuthClient {
namespace {

using IWZelkAuthBase::TIWResult;
using IWZelkAuthBase::TZIWAuthServerController;

class WindowsLiveAuthClient : public ::testing::Test {
 protected:
  WindowsLiveAuthClient()
      : Owner(nullptr),
        Controller(new TZIWAuthServerController(&Owner)),
        Client(new TZIWWindowsLiveAuthClient(&Owner)),
        App(testing::MakeApplication("http://localhost/app")) {
    IWZelkAuthBase::SetProviderHost(IWZelkAuthBase::phWindowsLiveLogin, "login.live.test");
    IWZelkAuthBase::SetProviderHost(IWZelkAuthBase::phWindowsLiveApis, "apis.live.test:444");
    Client->SetServerController(Controller);
    Client->App()->SetID("0000000040+1");
    Client->App()->SetSecret("s/cr=t");
    Client->SetOnLoginOK([this](rtl::TObject*) { ++OK; });
    Client->SetOnLoginFailed([this](rtl::TObject*) { ++Failed; });
  }
  ~WindowsLiveAuthClient() override { IWZelkAuthBase::ResetProviderHosts(); }

  std::string Login() {
    Client->Login(App.get());
    return Controller->Clients()->Items(0)->ID();
  }
  void Return(const std::string& Query) {
    Controller->ProcessRequest(testing::RequestWithQuery(Query));
  }
  void SignIn(const std::string& Profile) {
    const std::string Id = Login();
    T.Reply(R"({"token_type":"bearer","access_token":"EwB"})");
    T.Reply(Profile);
    Return("clientid=" + Id + "&code=M1");
  }

  testing::RecordingTransport T;
  rtl::TComponent Owner;
  TZIWAuthServerController* Controller;
  TZIWWindowsLiveAuthClient* Client;
  std::unique_ptr<web::TIWApplication> App;
  int OK = 0;
  int Failed = 0;
};

TEST_F(WindowsLiveAuthClient, AuthorizationURLForEveryScopeSelection) {
  const std::pair<TIWScopes, const char*> Cases[] = {
      {{}, "wl.basic"},
      {{wlBirthDay}, "wl.basic,wl.birthday"},
      {{wlEmail}, "wl.basic,wl.emails"},
      {{wlEmail, wlBirthDay}, "wl.basic,wl.birthday,wl.emails"},
  };
  for (const auto& [Scopes, List] : Cases) {
    Client->SetScopes(Scopes);
    const std::string Id = Login();
    EXPECT_EQ(App->RedirectURL(),
              std::string("https://login.live.test/oauth20_authorize.srf?client_id=0000000040+1"
                          "&scope=") +
                  List + "&response_type=code&redirect_uri=http://localhost/app?clientid=" + Id);
  }
  EXPECT_EQ(T.Count(), 0u);
}

TEST_F(WindowsLiveAuthClient, StandaloneRedirectURLReplacesTheApplicationURL) {
  EXPECT_EQ(Client->StandaloneRedirectURL(), "");
  Client->SetStandaloneRedirectURL("https://www.example.test/signin/live");
  App->SetApplicationURL("http://must-not-appear.test");
  std::string Id = Login();
  EXPECT_EQ(App->RedirectURL(),
            "https://login.live.test/oauth20_authorize.srf?client_id=0000000040+1&scope=wl.basic"
            "&response_type=code&redirect_uri=https://www.example.test/signin/live?clientid=" +
                Id);
  T.Reply("");
  Return("clientid=" + Id + "&code=M1");
  EXPECT_EQ(T.At(0).Data.substr(0, T.At(0).Data.find("&client_secret=")),
            "client_id=0000000040%2B1&redirect_uri=https%3A%2F%2Fwww.example.test%2Fsignin%2Flive"
            "%3Fclientid%3D" +
                Id);

  // Read at each Login: cleared, the application's URL is back.
  Client->SetStandaloneRedirectURL("");
  Id = Login();
  EXPECT_NE(App->RedirectURL().find("&redirect_uri=http://must-not-appear.test?clientid=" + Id),
            std::string::npos);
}

TEST_F(WindowsLiveAuthClient, SuccessfulSignInSendsExactRequests) {
  Client->SetScopes({wlEmail, wlBirthDay});
  const std::string Id = Login();
  T.Reply(
      R"({"token_type":"bearer","expires_in":3600,"scope":"wl.basic","access_token":"EwB+a/b="})");
  T.Reply(R"({"id":"8c8ce076ca27823f","name":"Łukasz Żółć","gender":"male","birth_day":21,)"
          R"("birth_month":7,"birth_year":1984,"emails":{"preferred":"p@live.test",)"
          R"("account":"a@live.test","personal":null}})");
  Return("clientid=" + Id + "&code=M6a0e1e5b-9b3c-4d2f");

  ASSERT_EQ(T.Count(), 2u);
  EXPECT_EQ(T.At(0).Method, "POST");
  EXPECT_EQ(T.At(0).Host, "login.live.test");
  EXPECT_EQ(T.At(0).Path, "/oauth20_token.srf");
  EXPECT_EQ(T.At(0).Headers, "Content-Type: application/x-www-form-urlencoded");
  EXPECT_EQ(T.At(0).Data,
            "client_id=0000000040%2B1&redirect_uri=http%3A%2F%2Flocalhost%2Fapp%3F"
            "clientid%3D" +
                Id +
                "&client_secret=s%2Fcr%3Dt&code=M6a0e1e5b-9b3c-4d2f"
                "&grant_type=authorization_code");
  EXPECT_EQ(T.At(1).Method, "GET");
  EXPECT_EQ(T.At(1).Host, "apis.live.test:444");
  EXPECT_EQ(T.At(1).Path, "/v5.0/me?access_token=EwB%2Ba%2Fb%3D");

  EXPECT_EQ(Client->LoginResult(), TIWResult::resOK);
  EXPECT_EQ(Client->LoginID(), "8c8ce076ca27823f");
  EXPECT_EQ(Client->LoginUsername(), "Łukasz Żółć");
  EXPECT_EQ(Client->User()->Gender(), "male");
  EXPECT_EQ(Client->User()->Birthday(), "1984\\7\\21");
  EXPECT_EQ(Client->User()->Email(), "p@live.test");
  EXPECT_EQ(OK, 1);
}

TEST_F(WindowsLiveAuthClient, ProfileRules) {
  struct TCase {
    const char* Name;
    TIWScopes Scopes;
    std::string Profile;
    const char* Birthday;
    const char* Email;
    const char* Gender;
  };
  const TCase Cases[] = {
      {"all asked",
       {wlEmail, wlBirthDay},
       R"({"id":"1","name":"A","gender":"female","birth_day":"D","birth_month":"M",)"
       R"("birth_year":"Y","emails":{"account":"acc@x"}})",
       "Y\\M\\D",
       "acc@x",
       "female"},
      {"nothing asked: gender still read",
       {},
       R"({"id":"1","name":"A","gender":"male","birth_day":1,"birth_month":2,"birth_year":3,)"
       R"("emails":{"preferred":"p@x"}})",
       "",
       "",
       "male"},
      {"a birthday part missing",
       {wlBirthDay},
       R"({"id":"1","name":"A","birth_day":1,"birth_year":3})",
       "",
       "",
       ""},
      {"emails not an object", {wlEmail}, R"({"id":"1","name":"A","emails":"p@x"})", "", "", ""},
      {"emails without addresses",
       {wlEmail},
       R"({"id":"1","name":"A","emails":{"business":"b"}})",
       "",
       "",
       ""},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    Client->SetUser(std::make_unique<TWindowsLiveUser>());
    Client->SetScopes(C.Scopes);
    SignIn(C.Profile);
    EXPECT_EQ(Client->LoginResult(), TIWResult::resOK);
    EXPECT_EQ(Client->User()->Birthday(), C.Birthday);
    EXPECT_EQ(Client->User()->Email(), C.Email);
    EXPECT_EQ(Client->User()->Gender(), C.Gender);
  }
}

// Windows Live writes null for what the account does not have: read as absent, never as the
// text "null" (which would also hide the account address behind a null preferred one).
TEST_F(WindowsLiveAuthClient, NullProfileValuesAreAbsent) {
  struct TCase {
    const char* Name;
    std::string Profile;
    const char* Birthday;
    const char* Email;
    const char* Gender;
  };
  const TCase Cases[] = {
      {"everything null",
       R"({"id":"1","name":"A","gender":null,"birth_day":null,"birth_month":null,)"
       R"("birth_year":null,"emails":{"preferred":null,"account":null,"personal":null}})",
       "", "", ""},
      {"null preferred address: the account address",
       R"({"id":"1","name":"A","gender":"female","birth_day":21,"birth_month":7,)"
       R"("birth_year":null,"emails":{"preferred":null,"account":"acc@live.test"}})",
       "", "acc@live.test", "female"},
      {"null emails object", R"({"id":"1","name":"A","emails":null})", "", "", ""},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    Client->SetUser(std::make_unique<TWindowsLiveUser>());
    Client->SetScopes({wlEmail, wlBirthDay});
    SignIn(C.Profile);
    EXPECT_EQ(Client->LoginResult(), TIWResult::resOK);
    EXPECT_EQ(Client->User()->Birthday(), C.Birthday);
    EXPECT_EQ(Client->User()->Email(), C.Email);
    EXPECT_EQ(Client->User()->Gender(), C.Gender);
  }
  // A null id or name is a profile without them: the sign-in fails.
  SignIn(R"({"id":null,"name":"A"})");
  EXPECT_EQ(Client->LoginResult(), TIWResult::resFailed);
}

TEST_F(WindowsLiveAuthClient, SuccessKeepsLoginError) {
  Client->SetLoginError("left over");
  SignIn(R"({"id":"1","name":"A"})");
  EXPECT_EQ(Client->LoginResult(), TIWResult::resOK);
  EXPECT_EQ(Client->LoginError(), "left over");
}

TEST_F(WindowsLiveAuthClient, FailuresClearLoginErrorAndKeepTheEarlierUser) {
  struct TCase {
    const char* Name;
    std::string Query;  // "%s" stands for the identifier
    std::vector<std::string> Replies;
    std::size_t Requests;
  };
  const TCase Cases[] = {
      {"no code", "clientid=%s&error=access_denied&error_description=denied", {}, 0},
      {"routed by state, no clientid", "state=%s&code=M1", {}, 0},
      {"token reply empty", "clientid=%s&code=M1", {""}, 1},
      {"token error",
       "clientid=%s&code=M1",
       {R"({"error":"invalid_grant","error_description":"The provided value for the 'code' )"
        R"(parameter is not valid."})"},
       1},
      {"token reply not JSON", "clientid=%s&code=M1", {"<html/>"}, 1},
      {"profile reply empty", "clientid=%s&code=M1", {R"({"access_token":"t"})", ""}, 2},
      {"profile without id",
       "clientid=%s&code=M1",
       {R"({"access_token":"t"})", R"({"name":"N"})"},
       2},
      {"profile error",
       "clientid=%s&code=M1",
       {R"({"access_token":"t"})",
        R"({"error":{"code":"request_token_invalid","message":"The access token isn't valid."}})"},
       2},
  };
  Client->SetScopes({wlEmail, wlBirthDay});
  SignIn(R"({"id":"old","name":"Old","gender":"g","birth_day":1,"birth_month":2,"birth_year":3,)"
         R"("emails":{"preferred":"old@x"}})");
  ASSERT_EQ(Client->LoginResult(), TIWResult::resOK);
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    T.Clear();
    OK = Failed = 0;
    Client->SetLoginError("earlier");
    const std::string Id = Login();
    std::string Query = C.Query;
    Query.replace(Query.find("%s"), 2, Id);
    for (const auto& R : C.Replies)
      T.Reply(R);
    Return(Query);
    EXPECT_EQ(T.Count(), C.Requests);
    EXPECT_EQ(Client->LoginResult(), TIWResult::resFailed);
    EXPECT_EQ(Client->LoginError(), "");
    EXPECT_EQ(Client->LoginID(), "old");
    EXPECT_EQ(Client->LoginUsername(), "Old");
    EXPECT_EQ(Client->User()->Email(), "old@x");
    EXPECT_EQ(Client->User()->Birthday(), "3\\2\\1");
    EXPECT_EQ(Client->User()->Gender(), "g");
    EXPECT_EQ(OK, 0);
    EXPECT_EQ(Failed, 1);
  }
}

TEST_F(WindowsLiveAuthClient, HostileCodeCannotAddParameters) {
  const std::string Id = Login();
  T.Reply("");
  Return("clientid=" + Id + "&code=" + IWZelkAuthBase::URLEncode("M1&grant_type=x y\n"));
  const std::string Body = T.At(0).Data;
  EXPECT_EQ(Body.substr(Body.find("&code=")),
            "&code=M1%26grant_type%3Dx%20y%0A&grant_type=authorization_code");
}

}  // namespace
}  // namespace zelk::IWWindowsLiveAuthClient
