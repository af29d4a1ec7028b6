// The Facebook client against the recording transport: dialog URL, token and profile paths
// byte for byte, both token reply formats, the failure table, and posting.
#include <gtest/gtest.h>

#include "providers/IWFacebookAuthClient.h"
#include "support/FakeApplication.h"
#include "support/RecordingTransport.h"

namespace zelk::IWFacebookAuthClient {
namespace {

using IWZelkAuthBase::TIWResult;
using IWZelkAuthBase::TZIWAuthServerController;

class FacebookAuthClient : public ::testing::Test {
 protected:
  FacebookAuthClient()
      : Owner(nullptr),
        Controller(new TZIWAuthServerController(&Owner)),
        Client(new TZIWFacebookAuthClient(&Owner)),
        App(testing::MakeApplication("http://localhost:8080/app")) {
    IWZelkAuthBase::SetProviderHost(IWZelkAuthBase::phFacebookWeb, "web.fb.test");
    IWZelkAuthBase::SetProviderHost(IWZelkAuthBase::phFacebookGraph, "graph.fb.test:8443");
    IWZelkAuthBase::SetProviderHost(IWZelkAuthBase::phFacebookRest, "rest.fb.test");
    Client->SetServerController(Controller);
    Client->App()->SetID("1234567890");
    Client->App()->SetSecret("f00dfeed");
    Client->SetOnLoginOK([this](rtl::TObject*) { ++OK; });
    Client->SetOnLoginFailed([this](rtl::TObject*) { ++Failed; });
    Client->SetOnPostOK([this](rtl::TObject* Sender, std::string PostID) {
      EXPECT_EQ(Sender, Client);
      PostOK.push_back(std::move(PostID));
    });
    Client->SetOnPostFailed([this](rtl::TObject* Sender, std::string Message) {
      EXPECT_EQ(Sender, Client);
      PostFailed.push_back(std::move(Message));
    });
  }
  ~FacebookAuthClient() override { IWZelkAuthBase::ResetProviderHosts(); }

  std::string Login() {
    Client->Login(App.get());
    return Controller->Clients()->Items(0)->ID();
  }
  void Return(const std::string& Query) {
    Controller->ProcessRequest(testing::RequestWithQuery(Query));
  }
  // A complete sign-in whose token reply is TokenReply.
  void SignIn(const std::string& TokenReply,
              const std::string& Profile = R"({"id":"100001","name":"Ada"})") {
    const std::string Id = Login();
    T.Reply(TokenReply);
    T.Reply(Profile);
    Return("clientid=" + Id + "&code=AQB");
  }

  testing::RecordingTransport T;
  rtl::TComponent Owner;
  TZIWAuthServerController* Controller;
  TZIWFacebookAuthClient* Client;
  std::unique_ptr<web::TIWApplication> App;
  int OK = 0;
  int Failed = 0;
  std::vector<std::string> PostOK;
  std::vector<std::string> PostFailed;
};

TEST_F(FacebookAuthClient, DialogURLAlwaysAsksForTheFixedPermissions) {
  for (const TIWScopes Scopes : {TIWScopes{}, TIWScopes{fbEmail, fbBirthDay}}) {
    Client->SetScopes(Scopes);
    const std::string Id = Login();
    EXPECT_EQ(App->RedirectURL(),
              "https://web.fb.test/dialog/oauth?client_id=1234567890"
              "&redirect_uri=http://localhost:8080/app/?clientid=" +
                  Id + "&scope=publish_stream,email,user_birthday");
  }
}

TEST_F(FacebookAuthClient, LoopbackAddressBecomesLocalhostEverywhere) {
  App->SetApplicationURL("http://127.0.0.1:8080/127.0.0.1/app");
  const std::string Id = Login();
  EXPECT_EQ(App->RedirectURL(),
            "https://web.fb.test/dialog/oauth?client_id=1234567890"
            "&redirect_uri=http://localhost:8080/localhost/app/?clientid=" +
                Id + "&scope=publish_stream,email,user_birthday");
  T.Reply("{}");
  Return("clientid=" + Id + "&code=c");
  EXPECT_EQ(T.At(0).Path,
            "/oauth/access_token?client_id=1234567890&redirect_uri=http://"
            "localhost:8080/localhost/app/?clientid=" +
                Id + "&client_secret=f00dfeed&code=c");
}

TEST_F(FacebookAuthClient, TokenAndProfileRequestsForEveryScopeSelection) {
  const std::pair<TIWScopes, const char*> Cases[] = {
      {{}, "id,name,picture"},
      {{fbEmail}, "id,name,picture,email"},
      {{fbBirthDay}, "id,name,picture,birthday"},
      {{fbBirthDay, fbEmail}, "id,name,picture,email,birthday"},
  };
  for (const auto& [Scopes, Fields] : Cases) {
    T.Clear();
    Client->SetScopes(Scopes);
    const std::string Id = Login();
    T.Reply("access_token=AAAC.x-y_z~&expires=5108");
    T.Reply(R"({"id":"100001","name":"Ada"})");
    Return("clientid=" + Id + "&code=AQB/x%2By");
    ASSERT_EQ(T.Count(), 2u);
    EXPECT_EQ(T.At(0).Method, "GET");
    EXPECT_EQ(T.At(0).Host, "graph.fb.test:8443");
    EXPECT_EQ(T.At(0).Path,
              "/oauth/access_token?client_id=1234567890&redirect_uri=http://"
              "localhost:8080/app/?clientid=" +
                  Id + "&client_secret=f00dfeed&code=AQB%2Fx%2By");
    EXPECT_EQ(T.At(1).Method, "GET");
    EXPECT_EQ(T.At(1).Host, "graph.fb.test:8443");
    EXPECT_EQ(T.At(1).Path, std::string("/me?access_token=AAAC.x-y_z~&fields=") + Fields);
  }
}

// Where the token comes from and how it enters the profile path. A token read from JSON is
// plain text and is encoded; one cut from a form reply is used as it stands.
TEST_F(FacebookAuthClient, TokenReplyFormats) {
  struct TCase {
    const char* Reply;
    const char* TokenInPath;  // empty: the sign-in fails without a profile call
  };
  const TCase Cases[] = {
      {R"({"access_token":"EAAB/c+d=","token_type":"bearer","expires_in":5183944})",
       "EAAB%2Fc%2Bd%3D"},
      {R"({"token_type":"bearer","access_token":"EAAC"})", "EAAC"},
      {"access_token=AAAB%2Fx&expires=5108", "AAAB%2Fx"},
      {"access_token=AAAB&expires=5108&x=1", "AAAB"},
      {"expires=5108&access_token=AAAB", "5108"},  // the first "=" to the first "&"
      {"access_token=AAAB", ""},                   // no "&"
      {"&access_token=AAAB", ""},                  // "&" before "="
      {"access_token=&expires=1", ""},
      {R"({"access_token":""})", ""},
      {R"({"access_token":12345})", ""},  // not a string: the form rule finds no "="
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Reply);
    T.Clear();
    OK = Failed = 0;
    SignIn(C.Reply);
    if (*C.TokenInPath != '\0') {
      ASSERT_EQ(T.Count(), 2u);
      EXPECT_EQ(T.At(1).Path,
                std::string("/me?access_token=") + C.TokenInPath + "&fields=id,name,picture");
      EXPECT_EQ(OK, 1);
    } else {
      EXPECT_EQ(T.Count(), 1u);
      EXPECT_EQ(Client->LoginResult(), TIWResult::resFailed);
      EXPECT_EQ(Failed, 1);
    }
  }
}

TEST_F(FacebookAuthClient, FailuresSetTheResultAndRaiseOnLoginFailed) {
  struct TCase {
    const char* Name;
    std::string Query;
    std::vector<std::string> Replies;
    std::string LoginError;
    std::size_t Requests;
  };
  const TCase Cases[] = {
      {"no code", "&error=access_denied&error_reason=user_denied", {}, "earlier", 0},
      {"error object with message",
       "&code=c",
       {R"({"error":{"message":"Invalid verification code format.","type":"OAuthException",)"
        R"("code":100}})"},
       "Invalid verification code format.",
       1},
      {"error object without message", "&code=c", {R"({"error":{"code":100}})"}, "earlier", 1},
      {"error text, not an object", "&code=c", {R"({"error":"bad"})"}, "earlier", 1},
      {"reply not JSON", "&code=c", {"Service Unavailable"}, "earlier", 1},
      {"access_token without a token", "&code=c", {"access_token"}, "earlier", 1},
      {"profile without name",
       "&code=c",
       {R"({"access_token":"t"})", R"({"id":"1"})"},
       "earlier",
       2},
      {"profile error",
       "&code=c",
       {R"({"access_token":"t"})",
        R"({"error":{"message":"Invalid OAuth access token.","code":190}})"},
       "earlier",
       2},
  };
  Client->SetScopes({fbEmail, fbBirthDay});
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
    Return("clientid=" + Id + C.Query);
    EXPECT_EQ(T.Count(), C.Requests);
    EXPECT_EQ(Client->LoginResult(), TIWResult::resFailed);
    EXPECT_EQ(Client->LoginError(), C.LoginError);
    EXPECT_EQ(Client->LoginID(), "earlier id");
    EXPECT_EQ(Client->LoginUsername(), "earlier name");
    EXPECT_EQ(Client->User()->Picture(), "");
    EXPECT_EQ(OK, 0);
    EXPECT_EQ(Failed, 1);
  }
}

TEST_F(FacebookAuthClient, ProfileFillsTheUserAsScopesSelect) {
  const std::string Profile =
      R"({"id":"100001","name":"Ren\u00e9e \u5c71\u7530","email":"renee@example.test",)"
      R"("birthday":"07/21/1984","picture":{"data":{"url":"https://pic.test/1.jpg"}}})";
  SignIn(R"({"access_token":"t"})", Profile);
  EXPECT_EQ(Client->LoginResult(), TIWResult::resOK);
  EXPECT_EQ(Client->LoginID(), "100001");
  EXPECT_EQ(Client->LoginUsername(), "Renée 山田");
  EXPECT_EQ(Client->User()->Picture(), R"({"data":{"url":"https://pic.test/1.jpg"}})");
  EXPECT_EQ(Client->User()->Email(), "");  // not asked for
  EXPECT_EQ(Client->User()->Birthday(), "");

  Client->SetScopes({fbEmail, fbBirthDay});
  SignIn(R"({"access_token":"t"})", Profile);
  EXPECT_EQ(Client->User()->Email(), "renee@example.test");
  EXPECT_EQ(Client->User()->Birthday(), "07/21/1984");

  // Members that are missing keep the values of the earlier sign-in.
  SignIn(R"({"access_token":"t"})", R"({"id":"100002","name":"B"})");
  EXPECT_EQ(Client->LoginID(), "100002");
  EXPECT_EQ(Client->User()->Email(), "renee@example.test");
  EXPECT_EQ(Client->User()->Birthday(), "07/21/1984");
  EXPECT_EQ(Client->User()->Picture(), R"({"data":{"url":"https://pic.test/1.jpg"}})");
  EXPECT_EQ(OK, 3);
}

TEST_F(FacebookAuthClient, PostBeforeSignInDoesNothing) {
  Client->Post("hello");
  EXPECT_EQ(T.Count(), 0u);
  EXPECT_TRUE(PostOK.empty());
  EXPECT_TRUE(PostFailed.empty());
}

TEST_F(FacebookAuthClient, PostSendsTheEncodedMessageWithTheToken) {
  SignIn("access_token=AAAB%2Fx&expires=5108");
  T.Clear();
  T.Reply(R"("100001_5555")");
  Client->Post("Hello world & ünïcode?");
  ASSERT_EQ(T.Count(), 1u);
  EXPECT_EQ(T.At(0).Method, "GET");
  EXPECT_EQ(T.At(0).Host, "rest.fb.test");
  EXPECT_EQ(T.At(0).Path,
            "/method/stream.publish?message=Hello%20world%20%26%20%C3%BCn%C3%AFcode%3F"
            "&access_token=AAAB%2Fx&format=json");
  EXPECT_EQ(PostOK, std::vector<std::string>{"5555"});

  // A token read from JSON is encoded in the post path too.
  SignIn(R"({"access_token":"EAA/B"})");
  T.Clear();
  Client->Post("x");
  EXPECT_EQ(T.At(0).Path, "/method/stream.publish?message=x&access_token=EAA%2FB&format=json");
}

// Only a post id succeeds; everything else fails with the provider's message or the start of
// the reply, never silently.
TEST_F(FacebookAuthClient, PostReplies) {
  struct TCase {
    std::string Reply;
    std::vector<std::string> OK;
    std::vector<std::string> Failed;
  };
  const std::string Html = "<html><head><title>Error_page</title></head><body>" +
                           std::string(300, 'x') + "</body></html>";
  // 200 characters, the last one of two bytes, and the first byte of the next character.
  const std::string Long = std::string(199, 'a') + "\xC3\xA9" + "\xC3\xA9tail_1";
  const TCase Cases[] = {
      {R"("111_222")", {"222"}, {}},
      {"111_222", {"222"}, {}},
      {" \"100001_5555\"\n", {"5555"}, {}},
      {R"("111_222_333")", {}, {R"("111_222_333")"}},
      {R"("a1_222")", {}, {R"("a1_222")"}},
      {R"("111_")", {}, {R"("111_")"}},
      {R"({"error_code":200,"error_msg":"The user hasn't authorized the application"})",
       {},
       {"The user hasn't authorized the application"}},
      {R"({"error_code":1,"error_msg_missing":true, "error_msg" : 5})", {}, {"5"}},
      {R"({"error":{"message":"(#200) Permissions error","type":"OAuthException",)"
       R"("code":200,"fbtrace_id":"AbC_dEf"}})",
       {},
       {"(#200) Permissions error"}},
      {R"({"error":{"type":"OAuthException","fbtrace_id":"AbC_dEf"}})",
       {},
       {R"({"error":{"type":"OAuthException","fbtrace_id":"AbC_dEf"}})"}},
      {"error_msg", {}, {"error_msg"}},
      {Html, {}, {Html.substr(0, 200)}},
      {Long, {}, {std::string(199, 'a') + "\xC3\xA9"}},
      {"true", {}, {"true"}},
      {"", {}, {"Facebook answered the post with an empty reply"}},
  };
  SignIn(R"({"access_token":"t"})");
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Reply);
    PostOK.clear();
    PostFailed.clear();
    T.Reply(C.Reply);
    Client->Post("m");
    EXPECT_EQ(PostOK, C.OK);
    EXPECT_EQ(PostFailed, C.Failed);
  }
}

TEST_F(FacebookAuthClient, PostWithoutHandlersRaisesNothing) {
  SignIn(R"({"access_token":"t"})");
  Client->SetOnPostOK({});
  Client->SetOnPostFailed({});
  T.Reply(R"("1_2")");
  T.Reply(R"({"error_msg":"no"})");
  EXPECT_NO_THROW(Client->Post("a"));
  EXPECT_NO_THROW(Client->Post("b"));
  EXPECT_EQ(T.Count(), 4u);
}

TEST_F(FacebookAuthClient, PostKeepsTheLastTokenAfterAFailedSignIn) {
  SignIn(R"({"access_token":"first"})");
  SignIn(R"({"error":{"message":"expired"}})");
  ASSERT_EQ(Client->LoginResult(), TIWResult::resFailed);
  T.Clear();
  Client->Post("still here");
  EXPECT_EQ(T.At(0).Path,
            "/method/stream.publish?message=still%20here&access_token=first&format=json");
}

TEST_F(FacebookAuthClient, PostTransportFailureRaisesNoEvent) {
  SignIn(R"({"access_token":"t"})");
  T.Fail("HttpSendRequest Error 28 Description Timeout was reached");
  EXPECT_THROW(Client->Post("m"), rtl::Exception);
  EXPECT_TRUE(PostOK.empty());
  EXPECT_TRUE(PostFailed.empty());
}

TEST_F(FacebookAuthClient, HostileCodeCannotAddParameters) {
  const std::string Id = Login();
  T.Reply("{}");
  Return("clientid=" + Id + "&code=" + IWZelkAuthBase::URLEncode("x&client_id=evil#\r\n"));
  const std::string Path = T.At(0).Path;
  EXPECT_EQ(Path.substr(Path.find("&code=")), "&code=x%26client_id%3Devil%23%0D%0A");
}

}  // namespace
}  // namespace zelk::IWFacebookAuthClient
