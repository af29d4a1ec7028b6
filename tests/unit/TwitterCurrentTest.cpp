// TZIWTwitterAuthClient with Api = apCurrent against the recording transport: the three calls
// byte for byte with the clock and the random source fixed (signatures computed independently
// from base strings written out here), routing by the request token, and the post's outcomes.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "platform/rtl/ClassRegistry.h"
#include "platform/rtl/FormFile.h"
#include "providers/IWTwitterAuthClient.h"
#include "support/FakeApplication.h"
#include "support/RecordingTransport.h"

namespace zelk::IWTwitterAuthClient {
namespace {

using IWZelkAuthBase::TTransportRequest;
using testing::RecordingTransport;

constexpr const char* kKey = "xvz1evFS4wEEPTGEFPHBog";
constexpr const char* kSecret = "kAcSOqF21Fu85e7zjz7ZN2U4ZRhfV3WpwPAoE3Z7kBw";
constexpr const char* kAccessToken = "370773112-GmHxMAgYyLbNEtIKZeRNFsMKPR9EyMZeS9weJAEb";
constexpr const char* kAccessSecret = "LswwdoUaIvS8ltyTt5jkRh4J50vUPVVHtR2YPi5kE";
// MD5 of "1318622958" and 16 bytes of the random source's call number (2, 3, 4); call 1 makes
// the flow identifier.
constexpr const char* kNonce2 = "8D26DA5D459A007043FBB72A937CEAB2";
constexpr const char* kNonce3 = "FD7C24AFB6067EF04CBC0BE0BEE53367";
constexpr const char* kNonce4 = "85EBCBDFABE7FEEAE09F02B6437DE7BD";

std::string AccessReply() {
  return std::string("oauth_token=") + kAccessToken + "&oauth_token_secret=" + kAccessSecret +
         "&user_id=370773112&screen_name=zelk_demo";
}

class TwitterCurrentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    using namespace std::chrono;
    IWZelkAuthBase::SetClock([] { return system_clock::time_point(seconds(1318622958)); });
    IWZelkAuthBase::SetRandomSource([this](std::uint8_t* B, std::size_t N) {
      ++FRandomCalls;
      for (std::size_t I = 0; I < N; ++I)
        B[I] = static_cast<std::uint8_t>(FRandomCalls);
      return true;
    });
    Controller = std::make_unique<TZIWAuthServerController>(nullptr);
    A = MakeClient();
  }

  void TearDown() override {
    A.reset();
    B.reset();
    Controller.reset();
    IWZelkAuthBase::SetClock({});
    IWZelkAuthBase::SetRandomSource({});
  }

  std::unique_ptr<TZIWTwitterAuthClient> MakeClient() {
    auto C = std::make_unique<TZIWTwitterAuthClient>(nullptr);
    C->App()->SetID(kKey);
    C->App()->SetSecret(kSecret);
    C->SetApi(IWZelkAuthBase::apCurrent);
    C->SetServerController(Controller.get());
    C->SetOnLoginOK([this](rtl::TObject* S) { Events.push_back("ok:" + Name(S)); });
    C->SetOnLoginFailed([this](rtl::TObject* S) { Events.push_back("failed:" + Name(S)); });
    C->SetOnPostOK([this](rtl::TObject*, std::string Id) { Events.push_back("post:" + Id); });
    C->SetOnPostFailed([this](rtl::TObject*, std::string M) { Events.push_back("refused:" + M); });
    return C;
  }

  std::string Name(rtl::TObject* S) const { return S == A.get() ? "A" : "B"; }

  // Login of Client with the request-token reply Reply; gives the redirect.
  std::string Login(TZIWTwitterAuthClient& Client, const std::string& Token) {
    Transport.Reply("oauth_token=" + Token + "&oauth_token_secret=S" + Token +
                    "&oauth_callback_confirmed=true");
    auto App = testing::MakeApplication("http://localhost/app");
    Client.Login(App.get());
    return App->RedirectURL();
  }

  void Return(const std::string& Query) {
    Controller->ProcessRequest(testing::RequestWithQuery(Query));
  }

  std::string FlowToken(int Index) const {
    auto L = Controller->LockClients();
    return Controller->Clients()->Items(Index)->FlowToken();
  }

  RecordingTransport Transport;
  std::unique_ptr<TZIWAuthServerController> Controller;
  std::unique_ptr<TZIWTwitterAuthClient> A;
  std::unique_ptr<TZIWTwitterAuthClient> B;
  std::vector<std::string> Events;
  int FRandomCalls = 0;
};

TEST(TwitterCurrentSigning, JsonPostIsSignedOverMethodUrlAndOAuthParametersOnly) {
  // Written out by hand: the body {"text":"a&b"} has no part in it.
  const std::string Base =
      "POST&https%3A%2F%2Fapi.x.com%2F2%2Ftweets&oauth_consumer_key%3Dxvz1evFS4wEEPTGEFPHBog%26"
      "oauth_nonce%3D85EBCBDFABE7FEEAE09F02B6437DE7BD%26oauth_signature_method%3DHMAC-SHA1%26"
      "oauth_timestamp%3D1318622958%26oauth_token%3D370773112-"
      "GmHxMAgYyLbNEtIKZeRNFsMKPR9EyMZeS9weJAEb%26oauth_version%3D1.0";
  const TSignedCall C = SignCall("POST", "api.x.com", "/2/tweets",
                                 {{"oauth_consumer_key", kKey},
                                  {"oauth_nonce", kNonce4},
                                  {"oauth_signature_method", "HMAC-SHA1"},
                                  {"oauth_timestamp", "1318622958"},
                                  {"oauth_token", kAccessToken},
                                  {"oauth_version", "1.0"}},
                                 {}, kSecret, kAccessSecret);
  EXPECT_EQ(C.BaseString, Base);
  // printf %s "$Base" | openssl dgst -sha1 -hmac "$kSecret&$kAccessSecret" -binary | base64
  EXPECT_EQ(C.Signature, "O/cFV/E9o48VWXflPuYbQFzu1hA=");
  EXPECT_EQ(
      C.Header,
      std::string("Authorization: OAuth oauth_consumer_key=\"") + kKey + "\", oauth_nonce=\"" +
          kNonce4 +
          "\", oauth_signature_method=\"HMAC-SHA1\", oauth_timestamp=\"1318622958\", "
          "oauth_token=\"" +
          kAccessToken +
          "\", oauth_version=\"1.0\", oauth_signature=\"O%2FcFV%2FE9o48VWXflPuYbQFzu1hA%3D\"");
}

TEST(TwitterCurrentSigning, FormParametersAreEncodedOnceAndSortedByEncodedName) {
  const TSignedCall C =
      SignCall("POST", "h", "/p", {{"oauth_b", "x y"}}, {{"a", "1+2~"}, {"c", ""}}, "s", "");
  EXPECT_EQ(C.ParameterString, "a=1%2B2~&c=&oauth_b=x%20y");
  EXPECT_EQ(C.BaseString, "POST&https%3A%2F%2Fh%2Fp&a%3D1%252B2~%26c%3D%26oauth_b%3Dx%2520y");
  EXPECT_EQ(C.Header.substr(0, 35), "Authorization: OAuth oauth_b=\"x%20y");
}

TEST(TwitterCurrentSigning, ReplyDecodingAndErrorTexts) {
  const auto Pairs = DecodeFormReply("a=1%2F2&b=x+y&&c&d=%zz");
  ASSERT_EQ(Pairs.size(), 4u);
  EXPECT_EQ(Pairs[0], (std::pair<std::string, std::string>{"a", "1/2"}));
  EXPECT_EQ(Pairs[1].second, "x y");
  EXPECT_EQ(Pairs[2], (std::pair<std::string, std::string>{"c", ""}));
  EXPECT_EQ(Pairs[3].second, "%zz");

  const std::pair<const char*, const char*> Cases[] = {
      {R"({"title":"Forbidden","detail":"duplicate content","status":403})", "duplicate content"},
      {R"({"title":"Unauthorized","status":401})", "Unauthorized"},
      {R"({"errors":[{"code":32,"message":"Could not authenticate you."}]})",
       "Could not authenticate you."},
      {R"({"errors":[{"code":32}],"detail":7})", ""},
      {R"({"data":{"id":"1"}})", ""},
  };
  for (const auto& [Reply, Text] : Cases) {
    IWZelkAuthBase::TJSONObject JSON;
    IWZelkAuthBase::ParseJSON(Reply, JSON);
    EXPECT_EQ(XErrorText(JSON), Text) << Reply;
  }
}

TEST_F(TwitterCurrentTest, LoginAsksForARequestTokenWithTheFixedCallbackAndSendsToAuthenticate) {
  const std::string Redirect = Login(*A, "RT1");
  ASSERT_EQ(Transport.Count(), 1u);
  const TTransportRequest R = Transport.Last();
  EXPECT_EQ(R.Method, "POST");
  EXPECT_EQ(R.Host, "api.x.com");
  EXPECT_EQ(R.Path, "/oauth/request_token");
  EXPECT_TRUE(R.Http11);
  EXPECT_EQ(R.Data, "oauth_callback=http%3A%2F%2Flocalhost%2Fapp%2F");
  // Base string: POST&https%3A%2F%2Fapi.x.com%2Foauth%2Frequest_token&oauth_callback%3Dhttp
  // %253A%252F%252Flocalhost%252Fapp%252F%26oauth_consumer_key%3D...%26oauth_version%3D1.0
  const std::vector<std::string> Headers{
      std::string("Authorization: OAuth oauth_consumer_key=\"") + kKey + "\", oauth_nonce=\"" +
          kNonce2 +
          "\", oauth_signature_method=\"HMAC-SHA1\", oauth_timestamp=\"1318622958\", "
          "oauth_version=\"1.0\", oauth_signature=\"gTx1yuMgBLfG29nuJwc7Mkc9vb4%3D\"",
      "Content-Type: application/x-www-form-urlencoded"};
  EXPECT_EQ(R.HeaderLines, Headers);
  EXPECT_EQ(Redirect, "https://api.x.com/oauth/authenticate?oauth_token=RT1");
  EXPECT_EQ(FlowToken(0), "RT1");
  EXPECT_EQ(A->LoginResult(), IWZelkAuthBase::resNone);
}

TEST_F(TwitterCurrentTest, ReturnRoutedByTokenTradesItSignedAndSpendsTheFlow) {
  Login(*A, "RT1");
  Transport.Reply(AccessReply());
  Return("oauth_token=RT1&oauth_verifier=V1");
  ASSERT_EQ(Transport.Count(), 2u);
  const TTransportRequest R = Transport.Last();
  EXPECT_EQ(R.Method, "POST");
  EXPECT_EQ(R.Path, "/oauth/access_token");
  EXPECT_TRUE(R.Http11);
  EXPECT_EQ(R.Data, "");
  // Signed with the request-token secret "SRT1" over the base string POST&https%3A%2F%2Fapi.x
  // .com%2Foauth%2Faccess_token&...%26oauth_token%3DRT1%26oauth_verifier%3DV1%26...
  const std::vector<std::string> Headers{
      std::string("Authorization: OAuth oauth_consumer_key=\"") + kKey + "\", oauth_nonce=\"" +
      kNonce3 +
      "\", oauth_signature_method=\"HMAC-SHA1\", oauth_timestamp=\"1318622958\", "
      "oauth_token=\"RT1\", oauth_verifier=\"V1\", oauth_version=\"1.0\", "
      "oauth_signature=\"EeTm14UAkma8SLQ4lAvFvhZJNR4%3D\""};
  EXPECT_EQ(R.HeaderLines, Headers);
  EXPECT_EQ(A->LoginResult(), IWZelkAuthBase::resOK);
  EXPECT_EQ(A->LoginID(), "370773112");
  EXPECT_EQ(A->LoginUsername(), "zelk_demo");
  EXPECT_EQ(Events, std::vector<std::string>{"ok:A"});
  EXPECT_EQ(FlowToken(0), "");

  // A reload of the return page reaches nobody and sends nothing.
  Return("oauth_token=RT1&oauth_verifier=V1");
  EXPECT_EQ(Transport.Count(), 2u);
  EXPECT_EQ(Events.size(), 1u);
}

TEST_F(TwitterCurrentTest, TwoFlowsInFlightAForgedTokenAndASupersededOne) {
  B = MakeClient();
  Login(*A, "RTA");
  Login(*B, "RTB");
  Return("oauth_token=FORGED&oauth_verifier=V");
  Return("denied=FORGED");
  EXPECT_EQ(Transport.Count(), 2u);
  EXPECT_TRUE(Events.empty());

  Transport.Reply(AccessReply());
  Return("oauth_token=RTB&oauth_verifier=V");
  EXPECT_EQ(Events, std::vector<std::string>{"ok:B"});
  EXPECT_EQ(A->LoginResult(), IWZelkAuthBase::resNone);
  EXPECT_EQ(FlowToken(0), "RTA");

  // A new sign-in of A replaces its token: the first flow's return no longer routes.
  Login(*A, "RTA2");
  Return("oauth_token=RTA&oauth_verifier=V");
  EXPECT_EQ(Transport.Count(), 4u);
  Return("denied=RTA2");
  EXPECT_EQ(Events, (std::vector<std::string>{"ok:B", "failed:A"}));
  EXPECT_EQ(A->LoginError(), "Access denied");
  EXPECT_EQ(Transport.Count(), 4u);
}

TEST_F(TwitterCurrentTest, FailuresCarryTheProvidersText) {
  // The callback is not on the application's allow list: no redirect, no event.
  Transport.Reply(R"({"errors":[{"code":415,"message":"Callback URL not approved"}]})");
  auto App = testing::MakeApplication("http://localhost/app");
  A->Login(App.get());
  EXPECT_EQ(App->RedirectURL(), "");
  EXPECT_EQ(A->LoginResult(), IWZelkAuthBase::resFailed);
  EXPECT_EQ(A->LoginError(), "Callback URL not approved");
  EXPECT_EQ(FlowToken(0), "");

  const std::pair<const char*, const char*> Replies[] = {
      {"Invalid request token.\n", "Invalid request token."},
      {R"({"errors":[{"code":89,"message":"Invalid or expired token."}]})",
       "Invalid or expired token."},
      {"oauth_token=T&oauth_token_secret=S&user_id=&screen_name=x",
       "Twitter sign-in failed: the access-token reply carries no \"user_id\" or \"screen_name\""},
      {"", "Twitter sign-in failed: the access-token reply carries no token"},
  };
  for (const auto& [Reply, Error] : Replies) {
    Events.clear();
    Login(*A, "RT");
    Transport.Reply(Reply);
    Return("oauth_token=RT&oauth_verifier=V");
    EXPECT_EQ(A->LoginResult(), IWZelkAuthBase::resFailed) << Reply;
    EXPECT_EQ(A->LoginError(), Error);
    EXPECT_EQ(Events, std::vector<std::string>{"failed:A"});
  }
  // A return without a verifier fails without a call.
  Login(*A, "RT");
  const std::size_t Before = Transport.Count();
  Return("oauth_token=RT");
  EXPECT_EQ(Transport.Count(), Before);
  EXPECT_EQ(A->LoginError(), "Twitter sign-in failed: the return carries no \"oauth_verifier\"");
}

TEST_F(TwitterCurrentTest, PostSendsJsonSignedWithoutTheBodyAndReportsTheOutcome) {
  Login(*A, "RT1");
  Transport.Reply(AccessReply());
  Return("oauth_token=RT1&oauth_verifier=V1");
  Events.clear();

  Transport.Reply(R"({"data":{"id":"1445880548472328192","text":"x"}})");
  A->Post("a b&c=d+e~f\"g\\h Caf\xC3\xA9");
  const TTransportRequest R = Transport.Last();
  EXPECT_EQ(R.Path, "/2/tweets");
  EXPECT_EQ(R.Data, "{\"text\":\"a b&c=d+e~f\\\"g\\\\h Caf\xC3\xA9\"}");
  ASSERT_EQ(R.HeaderLines.size(), 2u);
  EXPECT_EQ(R.HeaderLines[1], "Content-Type: application/json");
  EXPECT_EQ(R.HeaderLines[0], std::string("Authorization: OAuth oauth_consumer_key=\"") + kKey +
                                  "\", oauth_nonce=\"" + kNonce4 +
                                  "\", oauth_signature_method=\"HMAC-SHA1\", "
                                  "oauth_timestamp=\"1318622958\", oauth_token=\"" +
                                  kAccessToken +
                                  "\", oauth_version=\"1.0\", "
                                  "oauth_signature=\"O%2FcFV%2FE9o48VWXflPuYbQFzu1hA%3D\"");
  EXPECT_EQ(Events, std::vector<std::string>{"post:1445880548472328192"});

  const std::pair<const char*, const char*> Refusals[] = {
      {R"({"detail":"You are not allowed to create a Tweet with duplicate content.",
          "title":"Forbidden","status":403})",
       "refused:You are not allowed to create a Tweet with duplicate content."},
      {R"({"title":"Unauthorized","status":401})", "refused:Unauthorized"},
      {R"({"errors":[{"message":"Your text is too long."}]})", "refused:Your text is too long."},
      {R"({"data":{"id":17}})",
       "refused:Twitter post failed: the reply carries neither a post id nor an error text: "
       "{\"data\":{\"id\":17}}"},
      {"", "refused:Twitter post failed: the reply is empty"},
  };
  for (const auto& [Reply, Event] : Refusals) {
    Events.clear();
    Transport.Reply(Reply);
    A->Post("again");
    EXPECT_EQ(Events, std::vector<std::string>{Event}) << Reply;
  }

  // Not UTF-8: refused before anything is sent.
  Events.clear();
  const std::size_t Before = Transport.Count();
  A->Post("bad \xC3");
  EXPECT_EQ(Transport.Count(), Before);
  EXPECT_EQ(Events,
            std::vector<std::string>{"refused:Twitter post failed: the text is not valid UTF-8"});
}

TEST(TwitterCurrentClass, ApiIsStoredOnlyWhenCurrentAndLoadsBack) {
  RegisterTwitterAuthClientClass();
  rtl::TComponent Root(nullptr);
  auto* Client = new TZIWTwitterAuthClient(&Root);
  Client->SetName("Twitter");
  EXPECT_FALSE(rtl::WriteFormJSON(&Root).at("components").at(0).at("properties").contains("Api"));
  Client->SetApi(IWZelkAuthBase::apCurrent);
  const nlohmann::json Form = rtl::WriteFormJSON(&Root);
  EXPECT_EQ(Form.at("components").at(0).at("properties").at("Api"), "apCurrent");
  rtl::TComponent Loaded(nullptr);
  rtl::ReadForm(&Loaded, Form.dump());
  auto* Copy = dynamic_cast<TZIWTwitterAuthClient*>(Loaded.FindComponent("Twitter"));
  ASSERT_NE(Copy, nullptr);
  EXPECT_EQ(Copy->Api(), IWZelkAuthBase::apCurrent);
}

}  // namespace
}  // namespace zelk::IWTwitterAuthClient
