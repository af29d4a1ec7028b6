// The transport's error texts, step classification and the checks it makes before sending.
#include <gtest/gtest.h>

#include "core/IWZelkAuthBase.h"
#include "core/TransportDetail.h"
#include "support/RecordingTransport.h"

namespace zelk::IWZelkAuthBase {
namespace {

using namespace detail;

TEST(TransportMessage, FormatsStepCodeAndCleanedDescription) {
  struct TCase {
    TTransportStep Step;
    long Code;
    const char* Description;
    const char* Message;
  };
  const TCase Cases[] = {
      {tsHttpSendRequest, 6, "Could not resolve host: nowhere.invalid",
       "HttpSendRequest Error 6 Description Could not resolve host: nowhere.invalid"},
      // Trailing full stops, blanks and line ends go; inner ones stay or become blanks.
      {tsInternetOpen, 2, "Failed initialization.\r\n",
       "InternetOpen Error 2 Description Failed initialization"},
      {tsHttpReceiveResponse, 52, "Empty reply. . \n\t",
       "HttpReceiveResponse Error 52 Description Empty reply"},
      {tsInternetQueryDataAvailable, 18, "first line\nsecond v1.2",
       "InternetQueryDataAvailable Error 18 Description first line second v1.2"},
      {tsInternetConnect, 3, "", "InternetConnect Error 3 Description "},
      {tsHttpOpenRequest, -1, "...", "HttpOpenRequest Error -1 Description "},
  };
  for (const auto& C : Cases)
    EXPECT_EQ(TransportMessage(C.Step, C.Code, C.Description), C.Message);
}

TEST(TransportMessage, RaiseThrowsRuntimeException) {
  try {
    RaiseTransportError(tsHttpSendRequest, 7, "Couldn't connect to server.");
    FAIL() << "no exception";
  } catch (const rtl::Exception& E) {
    EXPECT_EQ(E.Message(), "HttpSendRequest Error 7 Description Couldn't connect to server");
  }
}

TEST(StepForCurlFailure, FollowsHowFarTheTransferGot) {
  struct TCase {
    long Code;
    bool Connected, Sent, Head;
    TTransportStep Step;
  };
  const TCase Cases[] = {
      {6, false, false, false, tsHttpSendRequest},            // name resolution
      {7, false, false, false, tsHttpSendRequest},            // refused
      {60, false, false, false, tsHttpSendRequest},           // untrusted certificate
      {35, false, false, false, tsHttpSendRequest},           // TLS handshake
      {28, false, false, false, tsHttpSendRequest},           // connect time-out
      {56, false, true, false, tsHttpSendRequest},            // proxy refused the tunnel
      {28, true, false, false, tsHttpSendRequest},            // stalled while sending the body
      {55, true, true, false, tsHttpSendRequest},             // send error
      {28, true, true, false, tsHttpReceiveResponse},         // server never answered
      {52, true, true, false, tsHttpReceiveResponse},         // closed without a reply
      {8, true, true, false, tsHttpReceiveResponse},          // garbled head
      {18, true, true, true, tsInternetQueryDataAvailable},   // body cut short
      {56, true, true, true, tsInternetQueryDataAvailable},   // receive error in the body
      {28, true, true, true, tsInternetQueryDataAvailable},   // stall after the head
      {63, true, true, false, tsInternetQueryDataAvailable},  // announced length over the cap
      {3, false, false, false, tsInternetConnect},            // malformed host
  };
  for (const auto& C : Cases)
    EXPECT_EQ(StepForCurlFailure(C.Code, C.Connected, C.Sent, C.Head), C.Step)
        << "code " << C.Code << " connected " << C.Connected << " sent " << C.Sent << " head "
        << C.Head;
}

TEST(RequestTargetProblem, RefusesControlCharactersAndBlanks) {
  for (const char* Good : {"/", "/o/oauth2/token", "/me?access_token=a%20b&fields=x,y",
                           "/a/../b#frag", "/caf\xC3\xA9", ""})
    EXPECT_EQ(RequestTargetProblem(Good), "") << Good;
  for (const std::string& Bad :
       {std::string("/a\r\nX-Evil: 1"), std::string("/a\nb"), std::string("/a\rb"),
        std::string("/a\tb"), std::string("/a\0b", 4), std::string("/a\x7f"),
        std::string("/a HTTP/1.1")})
    EXPECT_NE(RequestTargetProblem(Bad), "") << Bad;
}

TEST(HeaderLineProblem, AcceptsOneNameValueLineOnly) {
  for (const char* Good : {"", "Content-Type: application/x-www-form-urlencoded",
                           "Authorization: OAuth oauth_nonce=\"A1\", oauth_signature=\"x%2By\"",
                           "X-Empty:", "Accept: application/json"})
    EXPECT_EQ(HeaderLineProblem(Good), "") << Good;
  const std::pair<std::string, const char*> Bad[] = {
      {"Content-Type: a\r\nX-Evil: 1", "Header line contains a control character"},
      {"Content-Type: a\nb", "Header line contains a control character"},
      {"X-A: b\tc", "Header line contains a control character"},
      {std::string("X-A: b\0c", 8), "Header line contains a control character"},
      {"no colon here", "Header line is not of the form \"Name: value\""},
      {": value", "Header line is not of the form \"Name: value\""},
      {"Bad Name: value", "Header line is not of the form \"Name: value\""},
      {"Content-Length: 5",
       "Header line sets Content-Length, which the transport sets from the data"},
      {"transfer-encoding: chunked",
       "Header line sets transfer-encoding, which the transport sets from the data"},
  };
  for (const auto& [Line, Problem] : Bad)
    EXPECT_EQ(HeaderLineProblem(Line), Problem) << Line;
}

// The checks run before the hook, as they run before the network: a refused call reaches
// neither, and the caller's Body is left empty.
class TransportRefusal : public ::testing::Test {
 protected:
  testing::RecordingTransport Fake;
};

TEST_F(TransportRefusal, MalformedHostsRaiseInternetConnect) {
  for (const std::string& Host :
       {std::string("a b"), std::string("host/path"), std::string("user@host"),
        std::string("host?x"), std::string("host#f"), std::string("host:0"),
        std::string("host:99999"), std::string(""), std::string("ho\tst"), std::string("[::1"),
        std::string("host:")}) {
    std::string Body = "stale";
    try {
      Https_Get(Host, "/x", Body);
      ADD_FAILURE() << "no exception for " << Host;
    } catch (const rtl::Exception& E) {
      EXPECT_TRUE(E.Message().starts_with("InternetConnect Error 3 Description Host \""))
          << E.Message();
      EXPECT_TRUE(E.Message().ends_with("\" is not a host name or address with an optional port"))
          << E.Message();
    }
    EXPECT_EQ(Body, "");
  }
  EXPECT_EQ(Fake.Count(), 0u);
}

TEST_F(TransportRefusal, InjectionInTargetOrHeaderRaisesHttpOpenRequestWithoutTheSecret) {
  struct TCase {
    std::string Path, Headers, Message;
  };
  const TCase Cases[] = {
      {"/token?secret=S3CR3T\r\nX-Evil: 1", "",
       "HttpOpenRequest Error 3 Description Request target contains a control character"},
      {"/token?secret=S3CR3T HTTP/1.1", "",
       "HttpOpenRequest Error 3 Description Request target contains a blank"},
      {"/token?secret=S3CR3T", "Authorization: OAuth S3CR3T\r\nX-Evil: 1",
       "HttpOpenRequest Error 43 Description Header line contains a control character"},
      {"/token?secret=S3CR3T", "Content-Length: 0",
       "HttpOpenRequest Error 43 Description Header line sets Content-Length, which the "
       "transport sets from the data"},
  };
  for (const auto& C : Cases) {
    std::string Body = "stale";
    try {
      Https_Post("api.example.test", C.Path, C.Headers, "a=1", Body);
      ADD_FAILURE() << "no exception for " << C.Path;
    } catch (const rtl::Exception& E) {
      EXPECT_EQ(E.Message(), C.Message);
      EXPECT_EQ(E.Message().find("S3CR3T"), std::string::npos);
    }
    EXPECT_EQ(Body, "");
  }
  EXPECT_EQ(Fake.Count(), 0u);
}

TEST_F(TransportRefusal, AcceptedCallReachesTheHookWithBodyReplaced) {
  Fake.Reply("{\"ok\":true}");
  std::string Body = "stale";
  Https_Post("127.0.0.1:8443", "/o/oauth2/token", "", "", Body);
  EXPECT_EQ(Body, "{\"ok\":true}");
  ASSERT_EQ(Fake.Count(), 1u);
  EXPECT_EQ(Fake.Last().Method, "POST");
  EXPECT_EQ(Fake.Last().Host, "127.0.0.1:8443");
}

}  // namespace
}  // namespace zelk::IWZelkAuthBase
