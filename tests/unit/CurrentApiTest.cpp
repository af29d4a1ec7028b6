// Current mode (Api = apCurrent) of the Google, Facebook and Microsoft clients against the
// recording transport: the authorization addresses, token and profile requests byte for byte,
// the PKCE and HMAC helpers against independently computed values, provider error texts in
// LoginError, and the flow identifier spent after every outcome.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "core/OAuth2Flow.h"
#include "providers/IWFacebookAuthClient.h"
#include "providers/IWGAuthClient.h"
#include "providers/IWWindowsLiveAuthClient.h"
#include "support/FakeApplication.h"
#include "support/RecordingTransport.h"

namespace zelk {
namespace {

using namespace IWZelkAuthBase;
using testing::RecordingTransport;

// ---------------------------------------------------------------------------------------------
// Helpers

TEST(CurrentApiHelpers, CodeChallengeMatchesTheKnownAnswerOfRfc7636) {
  // RFC 7636 Appendix B; confirmed with
  //   printf %s dBjf... | openssl dgst -sha256 -binary | basenc --base64url
  EXPECT_EQ(CodeChallenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),
            "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
}

TEST(CurrentApiHelpers, Base64URLHasNoPaddingAndTheUrlAlphabet) {
  const std::pair<std::string, std::string> Cases[] = {
      {"", ""},        {"f", "Zg"},         {"fo", "Zm8"},
      {"foo", "Zm9v"}, {"foob", "Zm9vYg"},  {"\xfb\xff\xbf", "-_-_"},
      {"\xff", "_w"},  {"\xfb\xef", "--8"}, {std::string(1, '\0'), "AA"}};
  for (const auto& [In, Out] : Cases)
    EXPECT_EQ(Base64URLEncode(In), Out) << In;
}

TEST(CurrentApiHelpers, HmacSha256HexMatchesOpenSslCommandLine) {
  // printf %s EAAGm0PX4ZCpsBA | openssl dgst -sha256 -hmac f1b2c3d4e5
  EXPECT_EQ(HMACSha256Hex("f1b2c3d4e5", "EAAGm0PX4ZCpsBA"),
            "5755c0aff77803acbb7d4e468064b729b8fabf71ac809bd2b4c622718bb7cacc");
  // printf '' | openssl dgst -sha256 -hmac ''
  EXPECT_EQ(HMACSha256Hex("", ""),
            "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad");
}

TEST(CurrentApiHelpers, VerifiersAreFreshUnreservedAndOfValidLength) {
  std::set<std::string> Seen;
  for (int I = 0; I < 20; ++I) {
    const std::string V = NewCodeVerifier();
    EXPECT_GE(V.size(), 43u);
    EXPECT_LE(V.size(), 128u);
    EXPECT_EQ(
        V.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~"),
        std::string::npos)
        << V;
    Seen.insert(V);
  }
  EXPECT_EQ(Seen.size(), 20u);
  SetRandomSource([](std::uint8_t*, std::size_t) { return false; });
  EXPECT_THROW(NewCodeVerifier(), rtl::Exception);
  SetRandomSource({});
}

TEST(CurrentApiHelpers, ErrorTextOfEachProvidersFormat) {
  const std::pair<const char*, const char*> Cases[] = {
      {R"({"error":"invalid_grant","error_description":"Bad Request"})", "Bad Request"},
      {R"({"error":"invalid_client"})", "invalid_client"},
      {R"({"error":"invalid_grant","error_description":""})", "invalid_grant"},
      {R"({"error":{"message":"Invalid verification code format.","type":"OAuthException",
           "code":100,"fbtrace_id":"A1"}})",
       "Invalid verification code format."},
      {R"({"error":{"code":"InvalidAuthenticationToken"}})", "InvalidAuthenticationToken"},
      {R"({"access_token":"x"})", ""},
      {R"({"error":null,"error_description":null})", ""},
      {R"({"error":{"code":190}})", ""},
      {"not json", ""}};
  for (const auto& [Reply, Text] : Cases) {
    TJSONObject J;
    ParseJSON(Reply, J);
    EXPECT_EQ(OAuth2ErrorText(J), Text) << Reply;
  }
}

// ---------------------------------------------------------------------------------------------
// Transport of current-mode calls

TEST(CurrentApiTransport, RecordsHttp11AndTheHeaderBlock) {
  RecordingTransport T;
  std::string Body;
  Https_Get11("graph.example.test", "/v1.0/me", {"Authorization: Bearer t", "Accept: a/b"}, Body);
  Https_Post11("login.example.test:8443", "/t", {"Content-Type: x/y"}, "a=1", Body);
  Https_Get("apis.example.test", "/classic", Body);
  ASSERT_EQ(T.Count(), 3u);
  EXPECT_TRUE(T.At(0).Http11);
  EXPECT_EQ(T.At(0).Method, "GET");
  EXPECT_EQ(T.At(0).HeaderLines,
            (std::vector<std::string>{"Authorization: Bearer t", "Accept: a/b"}));
  EXPECT_TRUE(T.At(0).Headers.empty());
  EXPECT_TRUE(T.At(1).Http11);
  EXPECT_EQ(T.At(1).Method, "POST");
  EXPECT_EQ(T.At(1).Data, "a=1");
  EXPECT_EQ(T.At(1).HeaderLines, (std::vector<std::string>{"Content-Type: x/y"}));
  EXPECT_FALSE(T.At(2).Http11);
  EXPECT_TRUE(T.At(2).HeaderLines.empty());
}

TEST(CurrentApiTransport, RefusesAMalformedLineOfTheBlockBeforeSending) {
  RecordingTransport T;
  const std::vector<std::string> Bad[] = {{"Accept: a", "Evil: x\r\nInjected: y"},
                                          {"Accept: a", ""},
                                          {"NoColon"},
                                          {"Content-Length: 5"},
                                          {"Transfer-Encoding: chunked"}};
  for (const auto& Lines : Bad) {
    std::string Body = "kept?";
    EXPECT_THROW(Https_Get11("h.example.test", "/", Lines, Body), rtl::Exception);
    EXPECT_THROW(Https_Post11("h.example.test", "/", Lines, "", Body), rtl::Exception);
  }
  EXPECT_EQ(T.Count(), 0u);
}

// ---------------------------------------------------------------------------------------------
// The clients

// Every random byte is its position in the request: the verifier is then Base64url of the
// bytes 0..47, "AAECAwQF...LS4v", whose challenge was computed with
//   python3 -c "import sys; sys.stdout.buffer.write(bytes(range(48)))" | basenc --base64url -w0
//   | tr -d '\n' | openssl dgst -sha256 -binary | basenc --base64url
constexpr const char* kVerifier =
    "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4v";
constexpr const char* kChallenge = "kLfxiTSrox_ke7yPyjvQYBZ97Vxt2KfwU9deyoPONcI";

template <typename TClient>
class CurrentClient : public ::testing::Test {
 protected:
  CurrentClient()
      : Owner(nullptr),
        Controller(new TZIWAuthServerController(&Owner)),
        Client(new TClient(&Owner)),
        App(testing::MakeApplication("http://localhost:8080/app")) {
    SetRandomSource([](std::uint8_t* Buffer, std::size_t Count) {
      for (std::size_t I = 0; I < Count; ++I)
        Buffer[I] = static_cast<std::uint8_t>(I);
      return true;
    });
    SetProviderHost(phGoogleAccounts, "accounts.example.test");
    SetProviderHost(phGoogleOAuth2, "oauth2.example.test");
    SetProviderHost(phGoogleOpenId, "openid.example.test:8443");
    SetProviderHost(phFacebookWeb, "www.fb.example.test");
    SetProviderHost(phFacebookGraph, "graph.fb.example.test");
    SetProviderHost(phMicrosoftLogin, "login.ms.example.test");
    SetProviderHost(phMicrosoftGraph, "graph.ms.example.test");
    Client->SetServerController(Controller);
    Client->SetApi(apCurrent);
    Client->App()->SetID("id+1/x");
    Client->App()->SetSecret("s&cret");
    Client->SetOnLoginOK([this](rtl::TObject*) { ++OK; });
    Client->SetOnLoginFailed([this](rtl::TObject*) { ++Failed; });
  }
  ~CurrentClient() override {
    ResetProviderHosts();
    SetRandomSource({});
  }

  std::string Login() {
    Client->Login(App.get());
    return Controller->Clients()->Items(0)->ID();
  }
  void Return(const std::string& Query) {
    Controller->ProcessRequest(testing::RequestWithQuery(Query, "/app/"));
  }
  // The outcome leaves the identifier spent: a reload of the return page reaches nobody.
  void ExpectSpentAfterOneOutcome(const std::string& Query) {
    EXPECT_EQ(OK + Failed, 1);
    EXPECT_TRUE(Controller->Clients()->Items(0)->ID().empty());
    const std::size_t Calls = T.Count();
    Return(Query);
    EXPECT_EQ(OK + Failed, 1);
    EXPECT_EQ(T.Count(), Calls);
  }

  RecordingTransport T;
  rtl::TComponent Owner;
  TZIWAuthServerController* Controller;
  TClient* Client;
  std::unique_ptr<web::TIWApplication> App;
  int OK = 0;
  int Failed = 0;
};

using GoogleCurrent = CurrentClient<IWGAuthClient::TZIWGAuthClient>;
using FacebookCurrent = CurrentClient<IWFacebookAuthClient::TZIWFacebookAuthClient>;
using MicrosoftCurrent = CurrentClient<IWWindowsLiveAuthClient::TZIWWindowsLiveAuthClient>;

const std::vector<std::string> kBearerLines(const std::string& Token) {
  return {"Authorization: Bearer " + Token, "Accept: application/json"};
}
const std::vector<std::string> kFormLines = {"Content-Type: application/x-www-form-urlencoded",
                                             "Accept: application/json"};

TEST_F(GoogleCurrent, AuthorizationAddressForEachScopeSelection) {
  const std::pair<IWGAuthClient::TIWScopes, std::string> Cases[] = {
      {{}, "openid%20profile"}, {{IWGAuthClient::gEmail}, "openid%20profile%20email"}};
  for (const auto& [Scopes, Scope] : Cases) {
    Client->SetScopes(Scopes);
    const std::string Id = Login();
    EXPECT_EQ(App->RedirectURL(),
              "https://accounts.example.test/o/oauth2/v2/auth?client_id=id%2B1%2Fx"
              "&redirect_uri=http%3A%2F%2Flocalhost%3A8080%2Fapp%2F&response_type=code&scope=" +
                  Scope + "&state=" + Id + "&code_challenge=" + kChallenge +
                  "&code_challenge_method=S256");
  }
  EXPECT_EQ(T.Count(), 0u);
}

TEST_F(GoogleCurrent, SignInSendsExactRequestsAndMapsTheProfile) {
  Client->SetScopes({IWGAuthClient::gEmail});
  const std::string Id = Login();
  T.Reply(R"({"access_token":"ya29.a0-b_c","token_type":"Bearer","expires_in":3599})");
  T.Reply(R"({"sub":"1089","name":"Zoë Ünal","email":"zoe@example.test","email_verified":true,
              "picture":"https://lh3.example.test/a/pic","gender":"female"})");
  Return("state=" + Id + "&code=4/P7q7W91a-oMsCeLvIaQm6bTrgtp7&scope=openid");

  ASSERT_EQ(T.Count(), 2u);
  const auto Token = T.At(0);
  EXPECT_EQ(Token.Method, "POST");
  EXPECT_TRUE(Token.Http11);
  EXPECT_EQ(Token.Host, "oauth2.example.test");
  EXPECT_EQ(Token.Path, "/token");
  EXPECT_EQ(Token.HeaderLines, kFormLines);
  EXPECT_EQ(Token.Data, std::string("code=4%2FP7q7W91a-oMsCeLvIaQm6bTrgtp7&client_id=id%2B1%2Fx"
                                    "&client_secret=s%26cret"
                                    "&redirect_uri=http%3A%2F%2Flocalhost%3A8080%2Fapp%2F"
                                    "&grant_type=authorization_code&code_verifier=") +
                            kVerifier);
  const auto Profile = T.At(1);
  EXPECT_EQ(Profile.Method, "GET");
  EXPECT_TRUE(Profile.Http11);
  EXPECT_EQ(Profile.Host, "openid.example.test:8443");
  EXPECT_EQ(Profile.Path, "/v1/userinfo");
  EXPECT_EQ(Profile.HeaderLines, kBearerLines("ya29.a0-b_c"));

  EXPECT_EQ(Client->LoginResult(), TIWResult::resOK);
  EXPECT_EQ(Client->LoginError(), "");
  EXPECT_EQ(Client->LoginID(), "1089");
  EXPECT_EQ(Client->LoginUsername(), "Zoë Ünal");
  EXPECT_EQ(Client->User()->Email(), "zoe@example.test");
  EXPECT_EQ(Client->User()->Picture(), "https://lh3.example.test/a/pic");
  EXPECT_EQ(Client->User()->Gender(), "");
  EXPECT_EQ(OK, 1);
  ExpectSpentAfterOneOutcome("state=" + Id + "&code=4/P7q7W91a-oMsCeLvIaQm6bTrgtp7");
}

TEST_F(GoogleCurrent, EmailOnlyWhenVerifiedAndRequested) {
  const std::tuple<IWGAuthClient::TIWScopes, const char*, const char*> Cases[] = {
      {{IWGAuthClient::gEmail}, R"("email_verified":true)", "a@example.test"},
      {{IWGAuthClient::gEmail}, R"("email_verified":"true")", "a@example.test"},
      {{IWGAuthClient::gEmail}, R"("email_verified":false)", ""},
      {{IWGAuthClient::gEmail}, R"("email_verified":null)", ""},
      {{}, R"("email_verified":true)", ""}};
  for (const auto& [Scopes, Verified, Email] : Cases) {
    Client->SetUser(std::make_unique<IWGAuthClient::TGUser>());
    Client->SetScopes(Scopes);
    const std::string Id = Login();
    T.Reply(R"({"access_token":"t"})");
    T.Reply(std::string(R"({"sub":"1","name":"A","email":"a@example.test",)") + Verified + "}");
    Return("state=" + Id + "&code=c");
    EXPECT_EQ(Client->LoginResult(), TIWResult::resOK) << Verified;
    EXPECT_EQ(Client->User()->Email(), Email) << Verified;
  }
}

// Every failure: the reason in LoginError, OnLoginFailed once, the identifier spent, and only
// the calls the failure allowed.
TEST_F(GoogleCurrent, FailuresCarryTheProvidersTextAndSpendTheIdentifier) {
  struct TCase {
    const char* Return;  // after "state=<id>&"
    std::vector<std::string> Replies;
    std::size_t Calls;
    const char* Error;
  };
  const TCase Cases[] = {
      {"error=access_denied&error_description=The+user+denied+access",
       {},
       0,
       "The user denied access"},
      {"error=access_denied", {}, 0, "access_denied"},
      {"code=", {}, 0, "The provider's return carries no authorization code"},
      {"code=c",
       {R"({"error":"invalid_grant","error_description":"Bad code verifier."})"},
       1,
       "Bad code verifier."},
      {"code=c", {R"({"error":"invalid_client"})"}, 1, "invalid_client"},
      {"code=c", {"<html>busy</html>"}, 1, "The provider's token reply carries no access token"},
      {"code=c",
       {R"({"access_token":42})"},
       1,
       "The provider's token reply carries no access token"},
      {"code=c",
       {R"({"access_token":"a b"})"},
       1,
       "The provider's token reply carries a malformed access token"},
      {"code=c",
       {R"({"access_token":"a\r\nX: y"})"},
       1,
       "The provider's token reply carries a malformed access token"},
      {"code=c",
       {R"({"access_token":"t"})",
        R"({"error":"invalid_token","error_description":"Invalid Credentials"})"},
       2,
       "Invalid Credentials"},
      {"code=c",
       {R"({"access_token":"t"})", R"({"name":"No Sub"})"},
       2,
       "The provider's profile reply does not identify a user"},
      {"code=c",
       {R"({"access_token":"t"})", R"({"sub":17})"},
       2,
       "The provider's profile reply does not identify a user"}};
  for (const TCase& C : Cases) {
    OK = Failed = 0;
    T.Clear();
    Client->SetLoginID("before");
    const std::string Id = Login();
    for (const auto& R : C.Replies)
      T.Reply(R);
    Return("state=" + Id + "&" + C.Return);
    EXPECT_EQ(T.Count(), C.Calls) << C.Return;
    EXPECT_EQ(Client->LoginResult(), TIWResult::resFailed) << C.Return;
    EXPECT_EQ(Client->LoginError(), C.Error) << C.Return;
    EXPECT_EQ(Client->LoginID(), "before") << C.Return;
    EXPECT_EQ(Failed, 1) << C.Return;
    ExpectSpentAfterOneOutcome("state=" + Id + "&code=again");
  }
}

TEST_F(GoogleCurrent, TransportFailureRaisesNoEventAndKeepsTheFlow) {
  const std::string Id = Login();
  T.Fail("HttpSendRequest Error 7 Description Could not connect");
  EXPECT_THROW(Return("state=" + Id + "&code=c"), rtl::Exception);
  EXPECT_EQ(OK + Failed, 0);
  EXPECT_EQ(Client->LoginResult(), TIWResult::resNone);
  // Not spent: the same return can be tried again, with the same verifier.
  T.Reply(R"({"access_token":"t"})");
  T.Reply(R"({"sub":"9","name":"N"})");
  Return("state=" + Id + "&code=c");
  EXPECT_EQ(OK, 1);
  ASSERT_EQ(T.Count(), 3u);
  EXPECT_EQ(T.At(1).Data, T.At(0).Data);
}

TEST_F(GoogleCurrent, EachFlowHasItsOwnVerifierAndTheTokenRequestProvesIt) {
  SetRandomSource({});  // the CSPRNG
  std::set<std::string> Challenges;
  for (int I = 0; I < 3; ++I) {
    T.Clear();
    const std::string Id = Login();
    const std::string Url = App->RedirectURL();
    const auto At = Url.find("&code_challenge=");
    ASSERT_NE(At, std::string::npos);
    const std::string Challenge = Url.substr(At + 16, 43);
    Challenges.insert(Challenge);
    T.Reply(R"({"access_token":"t"})");
    T.Reply(R"({"sub":"1"})");
    Return("state=" + Id + "&code=c");
    ASSERT_EQ(T.Count(), 2u);
    const std::string Body = T.At(0).Data;
    const std::string Verifier = Body.substr(Body.find("&code_verifier=") + 15);
    EXPECT_EQ(CodeChallenge(Verifier), Challenge);
  }
  EXPECT_EQ(Challenges.size(), 3u);
}

TEST_F(GoogleCurrent, ClassicModeIsUnchangedBySwitchingBack) {
  Client->SetApi(apClassic);
  const std::string Id = Login();
  EXPECT_EQ(App->RedirectURL().rfind("https://accounts.example.test/o/oauth2/auth?scope=", 0), 0u);
  T.Reply(R"({"access_token":"t"})");
  T.Reply(R"({"id":"5","name":"C"})");
  Return("state=" + Id + "&code=c");
  ASSERT_EQ(T.Count(), 2u);
  EXPECT_FALSE(T.At(0).Http11);
  EXPECT_EQ(T.At(0).Path, "/o/oauth2/token");
  EXPECT_EQ(Client->LoginID(), "5");
}

TEST_F(FacebookCurrent, DialogTokenAndProfileRequestsByteForByte) {
  Client->SetScopes({IWFacebookAuthClient::fbEmail, IWFacebookAuthClient::fbBirthDay});
  Client->App()->SetSecret("f1b2c3d4e5");
  const std::string Id = Login();
  EXPECT_EQ(App->RedirectURL(),
            "https://www.fb.example.test/v25.0/dialog/oauth?client_id=id%2B1%2Fx"
            "&redirect_uri=http%3A%2F%2Flocalhost%3A8080%2Fapp%2F&state=" +
                Id + "&response_type=code&scope=public_profile%2Cemail%2Cuser_birthday" +
                "&code_challenge=" + kChallenge + "&code_challenge_method=S256");

  T.Reply(R"({"access_token":"EAAGm0PX4ZCpsBA","token_type":"bearer","expires_in":5183944})");
  T.Reply(R"({"id":"10158","name":"Ana Lima","email":"ana@example.test","birthday":"07/21/1984",
              "picture":{"data":{"height":50,"is_silhouette":false,
                                 "url":"https://fb.example.test/p.jpg","width":50}}})");
  Return("code=AQD-x_y&state=" + Id);

  ASSERT_EQ(T.Count(), 2u);
  const auto Token = T.At(0);
  EXPECT_EQ(Token.Method, "GET");
  EXPECT_TRUE(Token.Http11);
  EXPECT_EQ(Token.Host, "graph.fb.example.test");
  EXPECT_EQ(Token.Path, std::string("/v25.0/oauth/access_token?client_id=id%2B1%2Fx"
                                    "&redirect_uri=http%3A%2F%2Flocalhost%3A8080%2Fapp%2F"
                                    "&client_secret=f1b2c3d4e5&code_verifier=") +
                            kVerifier + "&code=AQD-x_y");
  EXPECT_EQ(Token.HeaderLines, (std::vector<std::string>{"Accept: application/json"}));
  const auto Profile = T.At(1);
  EXPECT_EQ(Profile.Method, "GET");
  EXPECT_EQ(Profile.Host, "graph.fb.example.test");
  // appsecret_proof: printf %s EAAGm0PX4ZCpsBA | openssl dgst -sha256 -hmac f1b2c3d4e5
  EXPECT_EQ(Profile.Path,
            "/v25.0/me?fields=id,name,picture,email,birthday&access_token=EAAGm0PX4ZCpsBA"
            "&appsecret_proof=5755c0aff77803acbb7d4e468064b729b8fabf71ac809bd2b4c622718bb7cacc");
  EXPECT_EQ(Client->LoginResult(), TIWResult::resOK);
  EXPECT_EQ(Client->LoginID(), "10158");
  EXPECT_EQ(Client->LoginUsername(), "Ana Lima");
  EXPECT_EQ(Client->User()->Email(), "ana@example.test");
  EXPECT_EQ(Client->User()->Birthday(), "07/21/1984");
  EXPECT_EQ(Client->User()->Picture(), "https://fb.example.test/p.jpg");
  ExpectSpentAfterOneOutcome("code=AQD-x_y&state=" + Id);
}

TEST_F(FacebookCurrent, ScopesVersionAndFieldsFollowTheSettings) {
  Client->SetGraphVersion("v19.0");
  const std::string Id = Login();
  EXPECT_EQ(App->RedirectURL(),
            "https://www.fb.example.test/v19.0/dialog/oauth?client_id=id%2B1%2Fx"
            "&redirect_uri=http%3A%2F%2Flocalhost%3A8080%2Fapp%2F&state=" +
                Id + "&response_type=code&scope=public_profile&code_challenge=" + kChallenge +
                "&code_challenge_method=S256");
  T.Reply(R"({"access_token":"tok"})");
  T.Reply(R"({"id":"1","name":"N","email":"not@asked.test"})");
  Return("code=c&state=" + Id);
  ASSERT_EQ(T.Count(), 2u);
  EXPECT_EQ(T.At(1).Path.rfind("/v19.0/me?fields=id,name,picture&access_token=tok&", 0), 0u);
  EXPECT_EQ(Client->User()->Email(), "");
}

TEST_F(FacebookCurrent, DenyAndGraphErrorsGoIntoLoginError) {
  std::string Id = Login();
  Return(
      "error=access_denied&error_reason=user_denied&error_description=Permissions+error"
      "&state=" +
      Id);
  EXPECT_EQ(T.Count(), 0u);
  EXPECT_EQ(Client->LoginError(), "Permissions error");
  EXPECT_EQ(Failed, 1);

  Id = Login();
  T.Reply(R"({"error":{"message":"This authorization code has been used.",
              "type":"OAuthException","code":100,"fbtrace_id":"AbC"}})");
  Return("code=c&state=" + Id);
  EXPECT_EQ(Client->LoginError(), "This authorization code has been used.");
  EXPECT_EQ(Failed, 2);
  EXPECT_EQ(T.Count(), 1u);
}

TEST_F(FacebookCurrent, PostSendsNothingAndExplainsWhy) {
  std::vector<std::string> Messages;
  Client->SetOnPostFailed([&](rtl::TObject*, std::string M) { Messages.push_back(M); });
  Client->SetOnPostOK([&](rtl::TObject*, std::string) { ADD_FAILURE() << "no post can succeed"; });
  Client->Post("Hello");
  const std::string Id = Login();
  T.Reply(R"({"access_token":"tok"})");
  T.Reply(R"({"id":"1","name":"N"})");
  Return("code=c&state=" + Id);
  T.Clear();
  Client->Post("Hello again");
  EXPECT_EQ(T.Count(), 0u);
  ASSERT_EQ(Messages.size(), 2u);
  EXPECT_EQ(Messages[0], IWFacebookAuthClient::kNoTimelinePosting);
  EXPECT_NE(Messages[1].find("no API for posting to a user's timeline"), std::string::npos);
}

TEST_F(FacebookCurrent, GraphVersionMustBeAVersion) {
  for (const char* Bad : {"", "25.0", "v25", "v.0", "v25.", "v25.0/../x", "v25.0?a=b", "V25.0"}) {
    EXPECT_THROW(Client->SetGraphVersion(Bad), rtl::Exception) << Bad;
  }
  EXPECT_EQ(Client->GraphVersion(), "v25.0");
  Client->SetGraphVersion("v3.2");
  EXPECT_EQ(Client->GraphVersion(), "v3.2");
}

TEST_F(MicrosoftCurrent, AuthorizeTokenAndGraphRequestsByteForByte) {
  Client->SetTenant("consumers");
  const std::string Id = Login();
  EXPECT_EQ(App->RedirectURL(),
            "https://login.ms.example.test/consumers/oauth2/v2.0/authorize?client_id=id%2B1%2Fx"
            "&response_type=code&redirect_uri=http%3A%2F%2Flocalhost%3A8080%2Fapp%2F"
            "&response_mode=query&scope=openid%20profile%20email%20User.Read&state=" +
                Id + "&code_challenge=" + kChallenge + "&code_challenge_method=S256");

  T.Reply(R"({"token_type":"Bearer","scope":"User.Read profile openid email",
              "expires_in":3599,"access_token":"EwB4A8l6.BAA"})");
  T.Reply(R"({"id":"8b3f1b2e9c4d","displayName":"Kai Berg","mail":null,
              "userPrincipalName":"kai@example.test"})");
  Return("code=M.C5_BAY.2.U.abc&state=" + Id);

  ASSERT_EQ(T.Count(), 2u);
  const auto Token = T.At(0);
  EXPECT_EQ(Token.Method, "POST");
  EXPECT_TRUE(Token.Http11);
  EXPECT_EQ(Token.Host, "login.ms.example.test");
  EXPECT_EQ(Token.Path, "/consumers/oauth2/v2.0/token");
  EXPECT_EQ(Token.HeaderLines, kFormLines);
  EXPECT_EQ(Token.Data,
            std::string("client_id=id%2B1%2Fx&scope=openid%20profile%20email%20User.Read"
                        "&code=M.C5_BAY.2.U.abc&redirect_uri=http%3A%2F%2Flocalhost%3A8080%2Fapp%2F"
                        "&grant_type=authorization_code&client_secret=s%26cret&code_verifier=") +
                kVerifier);
  const auto Profile = T.At(1);
  EXPECT_EQ(Profile.Method, "GET");
  EXPECT_EQ(Profile.Host, "graph.ms.example.test");
  EXPECT_EQ(Profile.Path, "/v1.0/me");
  EXPECT_EQ(Profile.HeaderLines, kBearerLines("EwB4A8l6.BAA"));
  EXPECT_EQ(Client->LoginResult(), TIWResult::resOK);
  EXPECT_EQ(Client->LoginID(), "8b3f1b2e9c4d");
  EXPECT_EQ(Client->LoginUsername(), "Kai Berg");
  EXPECT_EQ(Client->User()->Email(), "kai@example.test");
  EXPECT_EQ(Client->User()->Gender(), "");
  EXPECT_EQ(Client->User()->Birthday(), "");
  ExpectSpentAfterOneOutcome("code=M.C5_BAY.2.U.abc&state=" + Id);
}

TEST_F(MicrosoftCurrent, StandaloneRedirectAndMailPreferred) {
  Client->SetStandaloneRedirectURL("https://www.example.test/signin");
  const std::string Id = Login();
  EXPECT_NE(App->RedirectURL().find("/common/oauth2/v2.0/authorize?client_id=id%2B1%2Fx"
                                    "&response_type=code&redirect_uri=https%3A%2F%2Fwww.example."
                                    "test%2Fsignin&response_mode=query"),
            std::string::npos);
  T.Reply(R"({"access_token":"t"})");
  T.Reply(R"({"id":"1","displayName":"K","mail":"k@mail.test","userPrincipalName":"k@upn.test"})");
  Return("code=c&state=" + Id);
  ASSERT_EQ(T.Count(), 2u);
  EXPECT_NE(T.At(0).Data.find("&redirect_uri=https%3A%2F%2Fwww.example.test%2Fsignin&"),
            std::string::npos);
  EXPECT_EQ(Client->User()->Email(), "k@mail.test");
}

TEST_F(MicrosoftCurrent, ProviderErrorDescriptionsInLoginError) {
  std::string Id = Login();
  Return("error=access_denied&error_description=AADSTS65004%3A+User+declined&state=" + Id);
  EXPECT_EQ(Client->LoginError(), "AADSTS65004: User declined");
  Id = Login();
  T.Reply(
      R"({"error":"invalid_grant","error_description":"AADSTS501481: The Code_Verifier does not match.","error_codes":[501481]})");
  Return("code=c&state=" + Id);
  EXPECT_EQ(Client->LoginError(), "AADSTS501481: The Code_Verifier does not match.");
  Id = Login();
  T.Reply(R"({"access_token":"t"})");
  T.Reply(R"({"error":{"code":"InvalidAuthenticationToken","message":"Access token is empty."}})");
  Return("code=c&state=" + Id);
  EXPECT_EQ(Client->LoginError(), "Access token is empty.");
  EXPECT_EQ(Failed, 3);
  EXPECT_EQ(OK, 0);
}

TEST_F(MicrosoftCurrent, TenantMustBeANameOrId) {
  for (const char* Bad : {"", "a/b", "..", "common?x=1", "ten ant", "x#y"})
    EXPECT_THROW(Client->SetTenant(Bad), rtl::Exception) << Bad;
  EXPECT_EQ(Client->Tenant(), "common");
  Client->SetTenant("9188040d-6c67-4c5b-b112-36a304b66dad");
  EXPECT_EQ(Client->Tenant(), "9188040d-6c67-4c5b-b112-36a304b66dad");
}

}  // namespace
}  // namespace zelk
