// TZIWTwitterAuthClient against the recording transport: every request byte for byte with the
// clock and the random source fixed, the reply checks, state and events after each outcome.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "platform/rtl/ClassRegistry.h"
#include "platform/rtl/FormFile.h"
#include "providers/IWTwitterAuthClient.h"
#include "support/FakeApplication.h"
#include "support/RecordingTransport.h"
#include "core/HelpersDetail.h"

namespace zelk::IWTwitterAuthClient {
namespace {

using IWZelkAuthBase::TTransportRequest;

constexpr const char* kKey = "xvz1evFS4wEEPTGEFPHBog";
constexpr const char* kSecret = "kAcSOqF21Fu85e7zjz7ZN2U4ZRhfV3WpwPAoE3Z7kBw";
constexpr const char* kAccessToken = "370773112-GmHxMAgYyLbNEtIKZeRNFsMKPR9EyMZeS9weJAEb";
constexpr const char* kAccessSecret = "LswwdoUaIvS8ltyTt5jkRh4J50vUPVVHtR2YPi5kE";
// With the random source below the first GUID is all 0x01 bytes (version and variant set),
// and the nonces of the following calls are MD5("1318622958" and 16 bytes of the call number).
constexpr const char* kIdentifier = "01010101-0101-4101-8101-010101010101";
constexpr const char* kNonce2 = "8D26DA5D459A007043FBB72A937CEAB2";
constexpr const char* kNonce3 = "FD7C24AFB6067EF04CBC0BE0BEE53367";
constexpr const char* kNonce4 = "85EBCBDFABE7FEEAE09F02B6437DE7BD";
constexpr const char* kRequestTokenReply =
    "oauth_token=RT1&oauth_token_secret=RTS1&oauth_callback_confirmed=true";

std::string AccessTokenReply(const std::string& Token = kAccessToken,
                             const std::string& Secret = kAccessSecret) {
  return "oauth_token=" + Token + "&oauth_token_secret=" + Secret +
         "&user_id=370773112&screen_name=zelkdemo";
}

std::string SignatureOf(const std::string& BaseString, const std::string& Key) {
  using namespace IWZelkAuthBase;
  return URLEncode(Base64Encode(EncryptHMACSha1(BaseString, Key)));
}

class TwitterClientTest : public ::testing::Test {
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
    IWZelkAuthBase::SetProviderHost(IWZelkAuthBase::phTwitterApi, "api.twitter.com");
    Controller = std::make_unique<TZIWAuthServerController>(nullptr);
    Client = std::make_unique<TZIWTwitterAuthClient>(nullptr);
    Client->App()->SetID(kKey);
    Client->App()->SetSecret(kSecret);
    Client->SetServerController(Controller.get());
    Client->SetOnLoginOK([this](rtl::TObject* Sender) {
      EXPECT_EQ(Sender, Client.get());
      ++LoginOK;
    });
    Client->SetOnLoginFailed([this](rtl::TObject* Sender) {
      EXPECT_EQ(Sender, Client.get());
      ++LoginFailed;
    });
    Client->SetOnPostOK([this](rtl::TObject* Sender, std::string PostID) {
      EXPECT_EQ(Sender, Client.get());
      PostOK.push_back(std::move(PostID));
    });
    Client->SetOnPostFailed([this](rtl::TObject* Sender, std::string Message) {
      EXPECT_EQ(Sender, Client.get());
      PostFailed.push_back(std::move(Message));
    });
  }

  void TearDown() override {
    Client.reset();
    Controller.reset();
    IWZelkAuthBase::SetClock({});
    IWZelkAuthBase::SetRandomSource({});
    IWZelkAuthBase::ResetProviderHosts();
  }

  std::string EntryID() const {
    auto L = Controller->LockClients();
    return Controller->Clients()->Items(0)->ID();
  }

  // Twitter's return as the browser brings it, through the controller.
  void Return(const std::string& Query) {
    Controller->ProcessRequest(testing::RequestWithQuery("clientid=" + EntryID() + Query));
  }

  // Login with the request-token reply RT1/RTS1, then a return with verifier V1 that the
  // access-token reply completes.
  void SignIn(const std::string& AccessReply = AccessTokenReply()) {
    Transport.Reply(kRequestTokenReply);
    Client->Login(App.get());
    Transport.Reply(AccessReply);
    Return("&oauth_token=RT1&oauth_verifier=V1");
  }

  testing::RecordingTransport Transport;
  std::unique_ptr<web::TIWApplication> App = testing::MakeApplication();
  std::unique_ptr<TZIWAuthServerController> Controller;
  std::unique_ptr<TZIWTwitterAuthClient> Client;
  int FRandomCalls = 0;
  int LoginOK = 0;
  int LoginFailed = 0;
  std::vector<std::string> PostOK;
  std::vector<std::string> PostFailed;
};

// ---------------------------------------------------------------------------------------------
// Login: the request-token POST and the authorize redirect

TEST_F(TwitterClientTest, LoginSendsTheSignedRequestTokenPostByteForByte) {
  Transport.Reply(kRequestTokenReply);
  Client->Login(App.get());

  ASSERT_EQ(Transport.Count(), 1u);
  const TTransportRequest R = Transport.Last();
  EXPECT_EQ(R.Method, "POST");
  EXPECT_EQ(R.Host, "api.twitter.com");
  EXPECT_EQ(R.Path, "/oauth/request_token");
  EXPECT_EQ(R.Data,
            "oauth_callback=http%3A%2F%2Flocalhost%2Fapp%2F%3Fclientid%3D01010101-0101-4101-8101-"
            "010101010101");
  // The callback is encoded twice inside the base string: once into the parameter string, once
  // by the base string's own pass.
  const std::string BaseString =
      std::string(
          "POST&https%3A%2F%2Fapi.twitter.com%2Foauth%2Frequest_token&oauth_callback%"
          "3Dhttp%253A%252F%252Flocalhost%252Fapp%252F%253Fclientid%253D01010101-0101-"
          "4101-8101-010101010101%26oauth_consumer_key%3Dxvz1evFS4wEEPTGEFPHBog%"
          "26oauth_nonce%3D") +
      kNonce2 +
      "%26oauth_signature_method%3DHMAC-SHA1%26oauth_timestamp%3D1318622958%26oauth_version%"
      "3D1.0";
  // No token yet: the key is the consumer secret and "&".
  EXPECT_EQ(SignatureOf(BaseString, std::string(kSecret) + "&"),
            "rU4S%2FSWt73QsUNmsPe4CvKPNdBU%3D");
  EXPECT_EQ(R.Headers, std::string("Authorization: OAuth oauth_consumer_key=\"") + kKey +
                           "\",oauth_signature_method=\"HMAC-SHA1\",oauth_timestamp="
                           "\"1318622958\",oauth_nonce=\"" +
                           kNonce2 +
                           "\",oauth_version=\"1.0\",oauth_signature="
                           "\"rU4S%2FSWt73QsUNmsPe4CvKPNdBU%3D\"");

  // The browser goes to the authorize page with the token alone.
  EXPECT_EQ(App->RedirectURL(), "https://api.twitter.com/oauth/authorize?oauth_token=RT1");
  EXPECT_EQ(EntryID(), kIdentifier);
  EXPECT_EQ(Client->LoginResult(), resNone);
  EXPECT_EQ(LoginOK + LoginFailed, 0);
}

TEST_F(TwitterClientTest, LoginEncodesAConsumerKeyTwiceForSigningAndOnceForTheHeader) {
  Client->App()->SetID("k y");
  Transport.Reply(kRequestTokenReply);
  Client->Login(App.get());
  const TTransportRequest R = Transport.Last();
  EXPECT_NE(R.Headers.find("oauth_consumer_key=\"k%20y\""), std::string::npos) << R.Headers;
  const TSignedPost Expected = SignPost(
      "api.twitter.com", "/oauth/request_token",
      rtl::TStringList{"oauth_consumer_key=k%20y", "oauth_signature_method=HMAC-SHA1",
                       "oauth_timestamp=1318622958", std::string("oauth_nonce=") + kNonce2,
                       "oauth_version=1.0"},
      rtl::TStringList{std::string("oauth_callback=http://localhost/app/?clientid=") + kIdentifier},
      kSecret, "");
  EXPECT_NE(Expected.ParameterString.find("oauth_consumer_key=k%2520y"), std::string::npos);
  EXPECT_EQ(R.Headers, Expected.Header);
}

TEST_F(TwitterClientTest, LoginWithoutServerControllerRaisesBeforeSendingAnything) {
  Client->SetServerController(nullptr);
  try {
    Client->Login(App.get());
    FAIL() << "no exception";
  } catch (const rtl::Exception& E) {
    EXPECT_NE(std::string(E.Message()).find("ServerController is not assigned"), std::string::npos)
        << E.Message();
  }
  EXPECT_EQ(Transport.Count(), 0u);
  EXPECT_EQ(App->RedirectURL(), "");
}

TEST_F(TwitterClientTest, LoginWithoutApplicationRaisesBeforeSendingAnything) {
  EXPECT_THROW(Client->Login(nullptr), rtl::Exception);
  EXPECT_EQ(Transport.Count(), 0u);
}

TEST_F(TwitterClientTest, RefusedRequestTokenFailsWithTheReplyAndNoEventOrRedirect) {
  const char* Replies[] = {
      // The confirmation counts only after an "&".
      "oauth_callback_confirmed=true&oauth_token=RT1&oauth_token_secret=RTS1",
      "{\"errors\":[{\"code\":32,\"message\":\"Could not authenticate you.\"}]}",
      "<html><body>Service unavailable</body></html>",
      "",
  };
  for (const char* Reply : Replies) {
    Client->SetLoginResult(resNone);
    App->ClearRedirect();
    Transport.Reply(Reply);
    Client->Login(App.get());
    EXPECT_EQ(Client->LoginResult(), resFailed) << Reply;
    EXPECT_EQ(Client->LoginError(), Reply);
    EXPECT_EQ(App->RedirectURL(), "") << Reply;
  }
  EXPECT_EQ(LoginOK + LoginFailed, 0);
}

TEST_F(TwitterClientTest, ConfirmedReplyWithoutTokenOrSecretChangesNothing) {
  for (const char* Reply : {"oauth_token=RT1&oauth_callback_confirmed=true",
                            "oauth_token_secret=RTS1&oauth_callback_confirmed=true",
                            "oauth_token=&oauth_token_secret=RTS1&oauth_callback_confirmed=true"}) {
    Client->SetLoginResult(resOK);
    Client->SetLoginError("old");
    Transport.Reply(Reply);
    Client->Login(App.get());
    EXPECT_EQ(Client->LoginResult(), resOK) << Reply;
    EXPECT_EQ(Client->LoginError(), "old");
    EXPECT_EQ(App->RedirectURL(), "");
  }
  EXPECT_EQ(LoginOK + LoginFailed, 0);
}

TEST_F(TwitterClientTest, TransportFailureInLoginLeavesTheOutcomeAlone) {
  Transport.Fail("HttpSendRequest Error 7 Description Couldn't connect to server");
  try {
    Client->Login(App.get());
    FAIL() << "no exception";
  } catch (const rtl::Exception& E) {
    EXPECT_EQ(E.Message(), "HttpSendRequest Error 7 Description Couldn't connect to server");
  }
  EXPECT_EQ(Client->LoginResult(), resNone);
  EXPECT_EQ(App->RedirectURL(), "");
  EXPECT_EQ(EntryID(), kIdentifier);
}

TEST_F(TwitterClientTest, NoncesDifferWithinTheSameSecond) {
  IWZelkAuthBase::SetRandomSource({});
  Transport.Reply(kRequestTokenReply);
  Transport.Reply(kRequestTokenReply);
  Client->Login(App.get());
  Client->Login(App.get());
  auto NonceOf = [](const std::string& Header) {
    const auto P = Header.find("oauth_nonce=\"") + 13;
    return Header.substr(P, Header.find('"', P) - P);
  };
  const std::string A = NonceOf(Transport.At(0).Headers);
  const std::string B = NonceOf(Transport.At(1).Headers);
  EXPECT_EQ(A.size(), 32u);
  EXPECT_NE(A, B);
}

// ---------------------------------------------------------------------------------------------
// LoginResponse: the access-token GET and its reply

TEST_F(TwitterClientTest, AccessTokenGetIsSignedWithTheRequestTokenSecretAndVerifier) {
  SignIn();
  ASSERT_EQ(Transport.Count(), 2u);
  const TTransportRequest R = Transport.At(1);
  EXPECT_EQ(R.Method, "GET");
  EXPECT_EQ(R.Host, "api.twitter.com");
  const std::string Params = std::string("oauth_consumer_key=") + kKey + "&oauth_nonce=" + kNonce3 +
                             "&oauth_signature_method=HMAC-SHA1&oauth_timestamp=1318622958&"
                             "oauth_token=RT1&oauth_verifier=V1&oauth_version=1.0";
  const std::string BaseString = "GET&https%3A%2F%2Fapi.twitter.com%2Foauth%2Faccess_token&" +
                                 IWZelkAuthBase::URLEncode(Params);
  EXPECT_EQ(SignatureOf(BaseString, std::string(kSecret) + "&RTS1"),
            "ELmbCskjNTSPkULYLQ42Bh3WjCU%3D");
  EXPECT_EQ(R.Path,
            "/oauth/access_token?" + Params + "&oauth_signature=ELmbCskjNTSPkULYLQ42Bh3WjCU%3D");
  EXPECT_EQ(R.Headers, "");
  EXPECT_EQ(R.Data, "");

  EXPECT_EQ(Client->LoginResult(), resOK);
  EXPECT_EQ(Client->LoginID(), "370773112");
  EXPECT_EQ(Client->LoginUsername(), "zelkdemo");
  EXPECT_EQ(LoginOK, 1);
  EXPECT_EQ(LoginFailed, 0);
  // The identifier is spent: a reload of the return page is not routed again.
  EXPECT_EQ(EntryID(), "");
}

TEST_F(TwitterClientTest, AccessTokenGetWithoutVerifierIsExactlyTheOldRequest) {
  Transport.Reply(kRequestTokenReply);
  Client->Login(App.get());
  Transport.Reply(AccessTokenReply());
  Return("&oauth_token=RT1");
  EXPECT_EQ(Transport.At(1).Path,
            std::string("/oauth/access_token?oauth_consumer_key=") + kKey +
                "&oauth_nonce=" + kNonce3 +
                "&oauth_signature_method=HMAC-SHA1&oauth_timestamp=1318622958&oauth_token=RT1&"
                "oauth_version=1.0&oauth_signature=oRjZDtc9VbaFleVOiyBDBFjAHR8%3D");
}

TEST_F(TwitterClientTest, TokenAndVerifierFromTheBrowserAreEncoded) {
  Transport.Reply(kRequestTokenReply);
  Client->Login(App.get());
  Transport.Reply(AccessTokenReply());
  // A forged token tries to smuggle a parameter into the signed request.
  Return("&oauth_token=RT1%26oauth_callback%3Devil&oauth_verifier=v%2Bw%20x");
  const std::string Path = Transport.At(1).Path;
  EXPECT_NE(Path.find("&oauth_token=RT1%26oauth_callback%3Devil&oauth_verifier=v%2Bw%20x&"),
            std::string::npos)
      << Path;
  EXPECT_EQ(Path.find("&oauth_callback="), std::string::npos);
}

TEST_F(TwitterClientTest, AccessTokenReplyChecks) {
  struct TCase {
    std::string Reply;
    TIWResult Result;
  };
  const TCase Cases[] = {
      {AccessTokenReply(), resOK},
      // "user_id" or "screen_name" as the first pair is not preceded by "&".
      {"user_id=1&oauth_token=A&oauth_token_secret=S&screen_name=n", resFailed},
      {"screen_name=n&oauth_token=A&oauth_token_secret=S&user_id=1", resFailed},
      {"oauth_token=A&oauth_token_secret=S&user_id=1", resFailed},
      {"oauth_token=A&oauth_token_secret=S&user_id=&screen_name=n", resFailed},
      {"oauth_token=A&oauth_token_secret=S&user_id=1&screen_name=", resFailed},
      {"Invalid request token", resFailed},
      {"", resFailed},
  };
  for (const auto& C : Cases) {
    Client->SetLoginID("previous id");
    Client->SetLoginUsername("previous name");
    Client->SetLoginError("previous error");
    LoginOK = LoginFailed = 0;
    SignIn(C.Reply);
    EXPECT_EQ(Client->LoginResult(), C.Result) << C.Reply;
    if (C.Result == resOK) {
      EXPECT_EQ(LoginOK, 1);
      EXPECT_EQ(Client->LoginID(), "370773112");
      continue;
    }
    EXPECT_EQ(LoginFailed, 1) << C.Reply;
    EXPECT_EQ(LoginOK, 0) << C.Reply;
    EXPECT_EQ(Client->LoginError(), "") << C.Reply;
    EXPECT_EQ(Client->LoginID(), "previous id") << C.Reply;
    EXPECT_EQ(Client->LoginUsername(), "previous name") << C.Reply;
    EXPECT_EQ(EntryID(), "") << C.Reply;
  }
}

TEST_F(TwitterClientTest, DeniedCountsAsRefusedEvenWithAToken) {
  for (const char* Query : {"&denied=RT1", "&denied=RT1&oauth_token=RT1&oauth_verifier=V1"}) {
    Transport.Clear();
    LoginOK = LoginFailed = 0;
    Transport.Reply(kRequestTokenReply);
    Client->Login(App.get());
    Return(Query);
    EXPECT_EQ(Transport.Count(), 1u) << Query;  // no access-token call
    EXPECT_EQ(Client->LoginResult(), resFailed);
    EXPECT_EQ(Client->LoginError(), "Access denied");
    EXPECT_EQ(LoginFailed, 1);
    EXPECT_EQ(LoginOK, 0);
    EXPECT_EQ(EntryID(), "");
  }
}

// A return without "oauth_token" and "denied" (empty values count as missing) did not come
// from Twitter: it fails, forgets the previous user, and cannot be replayed.
TEST_F(TwitterClientTest, ReturnWithNeitherKeyFailsClearsTheUserAndSpendsTheIdentifier) {
  for (const char* Query : {"&something=else", "", "&oauth_token=", "&denied=&oauth_token="}) {
    SCOPED_TRACE(Query);
    LoginOK = LoginFailed = 0;
    SignIn();
    ASSERT_EQ(LoginOK, 1);
    ASSERT_EQ(Client->LoginID(), "370773112");
    Transport.Reply(kRequestTokenReply);
    Client->Login(App.get());
    const std::string Identifier = EntryID();
    ASSERT_FALSE(Identifier.empty());
    const std::size_t Sent = Transport.Count();

    const std::string Return = "clientid=" + Identifier + Query;
    Controller->ProcessRequest(testing::RequestWithQuery(Return));
    EXPECT_EQ(Transport.Count(), Sent);  // no access-token call
    EXPECT_EQ(Client->LoginResult(), resFailed);
    EXPECT_EQ(Client->LoginError(),
              "Twitter sign-in failed: the return carried neither \"oauth_token\" nor \"denied\"");
    EXPECT_EQ(Client->LoginID(), "");
    EXPECT_EQ(Client->LoginUsername(), "");
    EXPECT_EQ(LoginOK, 1);
    EXPECT_EQ(LoginFailed, 1);
    EXPECT_EQ(EntryID(), "");

    // Replayed, the same return reaches no client.
    Controller->ProcessRequest(testing::RequestWithQuery(Return));
    EXPECT_EQ(LoginOK + LoginFailed, 2);
  }
}

TEST_F(TwitterClientTest, TransportFailureInLoginResponseRaisesNoEventAndKeepsTheIdentifier) {
  Transport.Reply(kRequestTokenReply);
  Client->Login(App.get());
  Transport.Fail("HttpSendRequest Error 28 Description Timeout was reached");
  EXPECT_THROW(Return("&oauth_token=RT1&oauth_verifier=V1"), rtl::Exception);
  EXPECT_EQ(Client->LoginResult(), resNone);
  EXPECT_EQ(LoginOK + LoginFailed, 0);
  EXPECT_EQ(EntryID(), kIdentifier);
}

TEST_F(TwitterClientTest, ASecondLoginMakesTheFirstReturnUnroutable) {
  Transport.Reply(kRequestTokenReply);
  Client->Login(App.get());
  const std::string First = EntryID();
  Transport.Reply("oauth_token=RT2&oauth_token_secret=RTS2&oauth_callback_confirmed=true");
  Client->Login(App.get());
  ASSERT_NE(EntryID(), First);
  Controller->ProcessRequest(
      testing::RequestWithQuery("clientid=" + First + "&oauth_token=RT1&oauth_verifier=V1"));
  EXPECT_EQ(Transport.Count(), 2u);
  EXPECT_EQ(LoginOK + LoginFailed, 0);

  // The second flow signs with the second request-token secret.
  Transport.Reply(AccessTokenReply());
  Return("&oauth_token=RT2&oauth_verifier=V2");
  const std::string Path = Transport.At(2).Path;
  const std::string Params = Path.substr(20, Path.find("&oauth_signature=") - 20);
  const std::string BaseString = "GET&https%3A%2F%2Fapi.twitter.com%2Foauth%2Faccess_token&" +
                                 IWZelkAuthBase::URLEncode(Params);
  EXPECT_EQ(Path.substr(Path.find("&oauth_signature=") + 17),
            SignatureOf(BaseString, std::string(kSecret) + "&RTS2"));
}

// ---------------------------------------------------------------------------------------------
// Post

TEST_F(TwitterClientTest, PostSendsTheSignedStatusUpdateByteForByte) {
  SignIn();
  Transport.Reply(R"({"id":240558470661799936,"id_str":"240558470661799936"})");
  Client->Post("Hello Ladies + Gentlemen, a signed OAuth request!");

  ASSERT_EQ(Transport.Count(), 3u);
  const TTransportRequest R = Transport.Last();
  EXPECT_EQ(R.Method, "POST");
  EXPECT_EQ(R.Host, "api.twitter.com");
  EXPECT_EQ(R.Path, "/1/statuses/update.json");
  EXPECT_EQ(R.Data,
            "include_entities=true&status=Hello%20Ladies%20%2B%20Gentlemen%2C%20a%20signed%"
            "20OAuth%20request%21&trim_user=true");
  const std::string BaseString =
      std::string(
          "POST&https%3A%2F%2Fapi.twitter.com%2F1%2Fstatuses%2Fupdate.json&include_"
          "entities%3Dtrue%26oauth_consumer_key%3Dxvz1evFS4wEEPTGEFPHBog%26oauth_nonce%"
          "3D") +
      kNonce4 +
      "%26oauth_signature_method%3DHMAC-SHA1%26oauth_timestamp%3D1318622958%26oauth_token%"
      "3D370773112-GmHxMAgYyLbNEtIKZeRNFsMKPR9EyMZeS9weJAEb%26oauth_version%3D1.0%26status%"
      "3DHello%2520Ladies%2520%252B%2520Gentlemen%252C%2520a%2520signed%2520OAuth%2520request%"
      "2521%26trim_user%3Dtrue";
  EXPECT_EQ(SignatureOf(BaseString, std::string(kSecret) + "&" + kAccessSecret),
            "Nuq%2FXt927AsOVjXtXXf8nsMPW4Y%3D");
  EXPECT_EQ(R.Headers, std::string("Authorization: OAuth oauth_consumer_key=\"") + kKey +
                           "\",oauth_signature_method=\"HMAC-SHA1\",oauth_timestamp="
                           "\"1318622958\",oauth_nonce=\"" +
                           kNonce4 + "\",oauth_version=\"1.0\",oauth_token=\"" + kAccessToken +
                           "\",oauth_signature=\"Nuq%2FXt927AsOVjXtXXf8nsMPW4Y%3D\"");
  EXPECT_EQ(PostOK, std::vector<std::string>{"240558470661799936"});
  EXPECT_TRUE(PostFailed.empty());
}

TEST_F(TwitterClientTest, PostEncodesTheStatusOnceInTheBodyAndTwiceInTheBaseString) {
  SignIn();
  const std::string Status = "a b&c=d+e~f \xC3\xA9\xE2\x82\xAC";
  Transport.Reply("{}");
  Client->Post(Status);
  const TTransportRequest R = Transport.Last();
  EXPECT_EQ(R.Data,
            "include_entities=true&status=a%20b%26c%3Dd%2Be~f%20%C3%A9%E2%82%AC&trim_user=true");
  const TSignedPost Expected =
      SignPost("api.twitter.com", "/1/statuses/update.json",
               rtl::TStringList{std::string("oauth_consumer_key=") + kKey,
                                "oauth_signature_method=HMAC-SHA1", "oauth_timestamp=1318622958",
                                std::string("oauth_nonce=") + kNonce4, "oauth_version=1.0",
                                std::string("oauth_token=") + kAccessToken},
               rtl::TStringList{"include_entities=true", "status=" + Status, "trim_user=true"},
               kSecret, kAccessSecret);
  EXPECT_NE(Expected.BaseString.find("status%3Da%2520b%2526c%253Dd%252Be~f%2520%25C3%25A9"),
            std::string::npos)
      << Expected.BaseString;
  EXPECT_EQ(R.Headers, Expected.Header);
}

TEST_F(TwitterClientTest, PostBeforeSignInSendsAnEmptyTokenAndAKeyEndingInAmpersand) {
  Transport.Reply("{\"errors\":[{\"code\":89,\"message\":\"Invalid or expired token.\"}]}");
  Client->Post("");
  const TTransportRequest R = Transport.Last();
  EXPECT_EQ(R.Data, "include_entities=true&status=&trim_user=true");
  const TSignedPost Expected =
      SignPost("api.twitter.com", "/1/statuses/update.json",
               rtl::TStringList{std::string("oauth_consumer_key=") + kKey,
                                "oauth_signature_method=HMAC-SHA1", "oauth_timestamp=1318622958",
                                // The first random call of this test made the nonce.
                                "oauth_nonce=" + IWZelkAuthBase::detail::NonceDigest(
                                                     "1318622958" + std::string(16, '\x01')),
                                "oauth_version=1.0", "oauth_token="},
               rtl::TStringList{"include_entities=true", "status=", "trim_user=true"}, kSecret, "");
  EXPECT_EQ(Expected.SigningKey, std::string(kSecret) + "&");
  EXPECT_EQ(R.Headers, Expected.Header);
  EXPECT_EQ(PostFailed,
            std::vector<std::string>{
                "{\"errors\":[{\"code\":89,\"message\":\"Invalid or expired token.\"}]}"});
}

TEST_F(TwitterClientTest, AnAbandonedNewLoginDoesNotTakeAwayTheAccessTokenSecret) {
  SignIn();
  Transport.Reply("oauth_token=RT2&oauth_token_secret=RTS2&oauth_callback_confirmed=true");
  Client->Login(App.get());  // the user never comes back
  Transport.Reply(R"({"id_str":"1"})");
  Client->Post("still signed in");
  const TTransportRequest R = Transport.Last();
  // Call 4 was the second Login's GUID, call 5 its nonce, call 6 this post's nonce.
  const TSignedPost Expected = SignPost(
      "api.twitter.com", "/1/statuses/update.json",
      rtl::TStringList{std::string("oauth_consumer_key=") + kKey,
                       "oauth_signature_method=HMAC-SHA1", "oauth_timestamp=1318622958",
                       "oauth_nonce=" + IWZelkAuthBase::detail::NonceDigest(
                                            "1318622958" + std::string(16, '\x06')),
                       "oauth_version=1.0", std::string("oauth_token=") + kAccessToken},
      rtl::TStringList{"include_entities=true", "status=still signed in", "trim_user=true"},
      kSecret, kAccessSecret);
  EXPECT_EQ(R.Headers, Expected.Header);
  EXPECT_EQ(PostOK, std::vector<std::string>{"1"});
}

TEST_F(TwitterClientTest, SignOutForgetsTheUserTheTokensAndTheFlowInProgress) {
  SignIn();
  ASSERT_EQ(Client->LoginResult(), IWZelkAuthBase::resOK);
  Transport.Reply(kRequestTokenReply);
  Client->Login(App.get());  // a second sign-in in progress
  const std::string Pending = EntryID();
  Client->SignOut();
  EXPECT_EQ(Client->LoginResult(), IWZelkAuthBase::resNone);
  EXPECT_EQ(Client->LoginID(), "");
  EXPECT_EQ(Client->LoginUsername(), "");
  EXPECT_EQ(EntryID(), "");
  // The pending flow's return reaches nobody.
  const std::size_t Sent = Transport.Requests().size();
  Controller->ProcessRequest(
      testing::RequestWithQuery("clientid=" + Pending + "&oauth_token=RT1&oauth_verifier=V1"));
  EXPECT_EQ(Transport.Requests().size(), Sent);
  // A post is signed with no token and no token secret: the user's are gone.
  Transport.Reply("{\"errors\":[{\"code\":89,\"message\":\"Invalid or expired token.\"}]}");
  Client->Post("after");
  const std::string Header = Transport.Last().Headers;
  EXPECT_NE(Header.find("oauth_token=\"\""), std::string::npos) << Header;
  EXPECT_EQ(Header.find(kAccessToken), std::string::npos) << Header;
}

TEST_F(TwitterClientTest, PostReplyHandling) {
  struct TCase {
    std::string Reply;
    std::vector<std::string> OK;
    std::vector<std::string> Failed;
  };
  const std::string Error = R"({"errors":[{"code":187,"message":"Status is a duplicate."}]})";
  const TCase Cases[] = {
      {R"({"id_str":"123","text":"x"})", {"123"}, {}},
      {R"({"id_str":123})", {"123"}, {}},
      {Error, {}, {Error}},
      {"<html>Over capacity</html>", {}, {"<html>Over capacity</html>"}},
      {"", {}, {""}},
      // "id_str" only inside a nested object, or in text that is not JSON: neither event.
      {R"({"user":{"id_str":"9"}})", {}, {}},
      {"id_str=5", {}, {}},
      {R"(["id_str"])", {}, {}},
  };
  for (const auto& C : Cases) {
    PostOK.clear();
    PostFailed.clear();
    Transport.Reply(C.Reply);
    Client->Post("status");
    EXPECT_EQ(PostOK, C.OK) << C.Reply;
    EXPECT_EQ(PostFailed, C.Failed) << C.Reply;
  }
}

TEST_F(TwitterClientTest, PostWithoutHandlersOrWithAFailingTransportRaisesNoEvent) {
  Client->SetOnPostOK({});
  Client->SetOnPostFailed({});
  Transport.Reply("");
  EXPECT_NO_THROW(Client->Post("x"));
  Transport.Reply(R"({"id_str":"1"})");
  EXPECT_NO_THROW(Client->Post("x"));

  Client->SetOnPostFailed([this](rtl::TObject*, std::string M) { PostFailed.push_back(M); });
  Transport.Fail("HttpSendRequest Error 35 Description SSL connect error");
  EXPECT_THROW(Client->Post("x"), rtl::Exception);
  EXPECT_TRUE(PostFailed.empty());
}

TEST_F(TwitterClientTest, AHandlerMayPostFromOnLoginOK) {
  Client->SetOnLoginOK([this](rtl::TObject*) {
    Transport.Reply(R"({"id_str":"77"})");
    Client->Post("signed in");
  });
  SignIn();
  EXPECT_EQ(Client->LoginResult(), resOK);
  EXPECT_EQ(PostOK, std::vector<std::string>{"77"});
  EXPECT_EQ(Transport.Last().Path, "/1/statuses/update.json");
}

// ---------------------------------------------------------------------------------------------
// Class metadata

TEST(TwitterClientClass, PublishedPropertiesInOrder) {
  RegisterTwitterAuthClientClass();
  const auto Props = rtl::TClassRegistry::PublishedProperties("TZIWTwitterAuthClient");
  std::vector<std::string> Names;
  for (const auto& P : Props)
    if (P.Name != "Tag") Names.push_back(P.Name);
  const std::vector<std::string> Expected{
      "ServerController", "App", "Api", "OnLoginOK", "OnLoginFailed", "OnPostFailed", "OnPostOK"};
  EXPECT_EQ(Names, Expected);

  std::unique_ptr<rtl::TComponent> Created(
      rtl::TClassRegistry::CreateComponent("TZIWTwitterAuthClient", nullptr));
  auto* Client = dynamic_cast<TZIWTwitterAuthClient*>(Created.get());
  ASSERT_NE(Client, nullptr);
  for (const auto& P : Props) {
    if (P.Name == "App") {
      EXPECT_EQ(P.Kind, rtl::TPropertyKind::pkObject);
      EXPECT_EQ(P.ClassName, "TIWApp");
      EXPECT_EQ(P.Object(Client), Client->App());
    } else if (P.Name.rfind("On", 0) == 0) {
      EXPECT_EQ(P.Kind, rtl::TPropertyKind::pkEvent) << P.Name;
    }
  }
}

TEST(TwitterClientClass, FormFileRoundTrip) {
  RegisterTwitterAuthClientClass();
  rtl::TComponent Root(nullptr);
  auto* Controller = new TZIWAuthServerController(&Root);
  Controller->SetName("AuthController");
  auto* Client = new TZIWTwitterAuthClient(&Root);
  Client->SetName("Twitter");
  Client->App()->SetID("key");
  Client->SetServerController(Controller);
  Client->SetOnPostOK([](rtl::TObject*, std::string) {});
  const nlohmann::json Form = rtl::WriteFormJSON(&Root);
  const auto& Stored = Form.at("components").at(1);
  EXPECT_EQ(Stored.at("class"), "TZIWTwitterAuthClient");
  // Only what differs from its default, and never an event.
  EXPECT_EQ(Stored.at("properties"),
            (nlohmann::json{{"App", {{"ID", "key"}}}, {"ServerController", "AuthController"}}));

  rtl::TComponent Loaded(nullptr);
  rtl::ReadForm(&Loaded, Form.dump());
  auto* Copy = dynamic_cast<TZIWTwitterAuthClient*>(Loaded.FindComponent("Twitter"));
  ASSERT_NE(Copy, nullptr);
  EXPECT_EQ(Copy->App()->ID(), "key");
  EXPECT_EQ(Copy->App()->Secret(), "");
  EXPECT_EQ(Copy->ServerController(), Loaded.FindComponent("AuthController"));
  EXPECT_FALSE(Copy->DesignTime());
}

}  // namespace
}  // namespace zelk::IWTwitterAuthClient
