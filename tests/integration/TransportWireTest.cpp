// What the transport puts on the wire, byte for byte, and how it reads replies of unusual
// shape: a raw TLS server records the request exactly as it arrived and answers with a canned
// reply.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

#include "core/IWZelkAuthBase.h"
#include "support/RawCaptureServer.h"

namespace zelk::IWZelkAuthBase {
namespace {

using namespace std::chrono_literals;
using testing::RawCaptureServer;

// A host name the resolver refuses without asking any server (a label over 63 characters):
// should a proxy be bypassed by mistake, nothing leaves this machine.
const std::string kUnresolvable = std::string(64, 'a') + ".invalid";

RawCaptureServer::TOptions Replying(std::string Reply, bool Tls = true) {
  RawCaptureServer::TOptions O;
  O.Reply = std::move(Reply);
  O.Tls = Tls;
  return O;
}

const std::string kUserAgentLine =
    "User-Agent: Mozilla/5.001 (windows; U; NT4.0; en-US; rv:1.0) Gecko/25250101\r\n";

class TransportWireTest : public ::testing::Test {
 protected:
  void SetUp() override { FSaved = TransportSettings(); }
  void TearDown() override { SetTransportSettings(FSaved); }

  // Trusts the server's CA, with time-outs short enough for fault tests.
  void Trust(const RawCaptureServer& Server) {
    TTransportSettings S = TransportSettings();
    S.ExtraCACertificates = Server.CACertificatePEM();
    S.ConnectTimeout = 5s;
    S.StallTimeout = 5s;
    SetTransportSettings(S);
  }

  static std::string Reply(const std::string& Head, const std::string& Body) {
    return Head + "\r\n\r\n" + Body;
  }

  static std::string MessageOf(const std::function<void()>& Call) {
    try {
      Call();
    } catch (const rtl::Exception& E) {
      return E.Message();
    }
    return "no exception";
  }

  TTransportSettings FSaved;
};

TEST_F(TransportWireTest, GetSendsRequestLineHostAndUserAgentOnly) {
  RawCaptureServer Server;
  Trust(Server);
  std::string Body;
  Https_Get(Server.Host(), "/oauth2/v1/userinfo?access_token=ya29.a0Af%2Fx", Body);
  EXPECT_EQ(Body, "ok");
  ASSERT_EQ(Server.Requests().size(), 1u);
  EXPECT_EQ(Server.Requests()[0],
            "GET /oauth2/v1/userinfo?access_token=ya29.a0Af%2Fx HTTP/1.0\r\n"
            "Host: " +
                Server.Host() + "\r\n" + kUserAgentLine + "\r\n");
}

TEST_F(TransportWireTest, PostSendsTheCallersHeaderLineAndBodyExactly) {
  struct TCase {
    std::string Path, Headers, Data, Sent;  // Sent: after the Host and User-Agent lines
  };
  const TCase Cases[] = {
      {"/o/oauth2/token", "Content-Type: application/x-www-form-urlencoded",
       "code=4%2FP7q&grant_type=authorization_code",
       "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 42\r\n\r\n"
       "code=4%2FP7q&grant_type=authorization_code"},
      // No data and no header: a zero length and nothing else of ours.
      {"/nvp", "", "", "Content-Length: 0\r\n\r\n"},
      // NVP values go as they are, bytes above 127 and NUL included.
      {"/nvp", "", std::string("DESC=Caf\xC3\xA9 & co&X=\0!", 19),
       "Content-Length: 19\r\n\r\n" + std::string("DESC=Caf\xC3\xA9 & co&X=\0!", 19)},
      {"/1/statuses/update.json",
       "Authorization: OAuth oauth_consumer_key=\"k\", oauth_signature=\"s%3D\"", "status=Hi",
       "Authorization: OAuth oauth_consumer_key=\"k\", oauth_signature=\"s%3D\"\r\n"
       "Content-Length: 9\r\n\r\nstatus=Hi"},
      // The caller's Accept replaces the one removed; an empty value is still sent.
      {"/x", "Accept: application/json", "a",
       "Accept: application/json\r\nContent-Length: 1\r\n\r\na"},
      {"/x", "X-Empty:", "a", "X-Empty:\r\nContent-Length: 1\r\n\r\na"},
      // The target goes out untouched: no dot-segment removal, no fragment cut.
      {"/a/../b?x=%2f#frag", "", "", "Content-Length: 0\r\n\r\n"},
  };
  for (const auto& C : Cases) {
    RawCaptureServer Server;
    Trust(Server);
    std::string Body;
    Https_Post(Server.Host(), C.Path, C.Headers, C.Data, Body);
    EXPECT_EQ(Body, "ok");
    ASSERT_EQ(Server.Requests().size(), 1u) << C.Path;
    EXPECT_EQ(Server.Requests()[0], "POST " + C.Path + " HTTP/1.0\r\nHost: " + Server.Host() +
                                        "\r\n" + kUserAgentLine + C.Sent)
        << C.Headers;
  }
}

TEST_F(TransportWireTest, RefusedInputNeverReachesTheServer) {
  RawCaptureServer Server;
  Trust(Server);
  std::string Body;
  EXPECT_EQ(MessageOf([&] { Https_Get(Server.Host(), "/a\r\nX-Evil: 1", Body); }),
            "HttpOpenRequest Error 3 Description Request target contains a control character");
  EXPECT_EQ(MessageOf([&] { Https_Post(Server.Host(), "/a", "X-A: 1\r\nX-Evil: 1", "", Body); }),
            "HttpOpenRequest Error 43 Description Header line contains a control character");
  EXPECT_TRUE(MessageOf([&] {
                Https_Get(Server.Host() + "/evil", "/a", Body);
              }).starts_with("InternetConnect Error 3 Description Host \""));
  EXPECT_TRUE(MessageOf([&] {
                Https_Get("user@" + Server.Host(), "/a", Body);
              }).starts_with("InternetConnect Error 3 Description Host \""));
  EXPECT_EQ(Server.Connections(), 0);
}

TEST_F(TransportWireTest, RepliesOfEveryFramingComeBackWhole) {
  const std::pair<std::string, std::string> Cases[] = {
      // Ended by the close, as HTTP/1.0 allows.
      {Reply("HTTP/1.0 200 OK\r\nContent-Type: text/plain", "closed-delimited body"),
       "closed-delimited body"},
      {Reply("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked",
             "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n"),
       "hello world"},
      // A redirect is a reply like any other.
      {Reply("HTTP/1.0 302 Found\r\nLocation: https://127.0.0.1:1/next\r\nContent-Length: 5",
             "moved"),
       "moved"},
      {Reply("HTTP/1.0 500 Internal Server Error\r\nContent-Length: 0", ""), ""},
  };
  for (const auto& [Canned, Expected] : Cases) {
    RawCaptureServer Server(Replying(Canned));
    Trust(Server);
    std::string Body;
    EXPECT_NO_THROW(Https_Get(Server.Host(), "/", Body)) << Canned;
    EXPECT_EQ(Body, Expected);
    EXPECT_EQ(Server.Connections(), 1);
  }
}

TEST_F(TransportWireTest, BrokenRepliesRaiseTheStepTheyBrokeIn) {
  struct TCase {
    std::string Canned, Message, Body;
  };
  const TCase Cases[] = {
      {"", "HttpReceiveResponse Error 52 Description Empty reply from server", ""},
      {"garbage\r\n\r\n",
       "HttpReceiveResponse Error 1 Description Received HTTP/0.9 when not allowed", ""},
      {Reply("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked", "5\r\nhello\r\n"),
       "InternetQueryDataAvailable Error 18 Description transfer closed with outstanding read "
       "data remaining",
       "hello"},
  };
  for (const auto& C : Cases) {
    RawCaptureServer Server(Replying(C.Canned));
    Trust(Server);
    std::string Body = "stale";
    EXPECT_EQ(MessageOf([&] { Https_Get(Server.Host(), "/", Body); }), C.Message);
    EXPECT_EQ(Body, C.Body);
  }
}

TEST_F(TransportWireTest, UnannouncedBodyOverTheCapRaises) {
  RawCaptureServer Server(Replying(Reply("HTTP/1.0 200 OK", std::string(300 * 1024, 'x'))));
  Trust(Server);
  TTransportSettings S = TransportSettings();
  S.MaxBodyBytes = 64 * 1024;
  SetTransportSettings(S);
  std::string Body;
  EXPECT_EQ(MessageOf([&] { Https_Get(Server.Host(), "/", Body); }),
            "InternetQueryDataAvailable Error 63 Description Reply body exceeds the limit of "
            "65536 bytes");
  EXPECT_LE(Body.size(), 64u * 1024);
}

TEST_F(TransportWireTest, CertificateForAnotherNameIsRefused) {
  RawCaptureServer::TOptions Options;
  Options.DnsNames = {"other.test"};
  Options.IpAddresses = {};
  RawCaptureServer Server(Options);
  Trust(Server);
  std::string Body;
  EXPECT_EQ(MessageOf([&] { Https_Get(Server.Host(), "/", Body); }),
            "HttpSendRequest Error 60 Description SSL: no alternative certificate subject name "
            "matches target host name '127.0.0.1'");
  EXPECT_TRUE(Server.Requests().empty());
}

// Sets environment variables for one test and puts the old values back.
class TEnvironment {
 public:
  void Set(const char* Name, const char* Value) {
    if (!FOld.contains(Name)) {
      const char* Old = std::getenv(Name);
      FOld[Name] = Old ? std::optional<std::string>(Old) : std::nullopt;
    }
    if (Value)
      ::setenv(Name, Value, 1);
    else
      ::unsetenv(Name);
  }
  ~TEnvironment() {
    for (const auto& [Name, Value] : FOld)
      if (Value)
        ::setenv(Name.c_str(), Value->c_str(), 1);
      else
        ::unsetenv(Name.c_str());
  }

 private:
  std::map<std::string, std::optional<std::string>> FOld;
};

class TransportProxyTest : public TransportWireTest {
 protected:
  void SetUp() override {
    TransportWireTest::SetUp();
    for (const char* Name :
         {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"})
      Env.Set(Name, nullptr);
  }
  TEnvironment Env;
  // A proxy that refuses every tunnel.
  RawCaptureServer Proxy{
      Replying("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n", /*Tls=*/false)};
};

TEST_F(TransportProxyTest, ExplicitProxyGetsTheTunnelRequestWithCredentials) {
  // The environment names a dead proxy: the explicit setting wins.
  Env.Set("https_proxy", "http://127.0.0.1:1");
  TTransportSettings S = TransportSettings();
  S.ProxyURL = "http://user:p%40ss@" + Proxy.Host();
  SetTransportSettings(S);
  std::string Body;
  const std::string Message = MessageOf([&] { Https_Get(kUnresolvable, "/x?t=S3CR3T", Body); });
  EXPECT_EQ(Message, "HttpSendRequest Error 56 Description CONNECT tunnel failed, response 403");
  ASSERT_EQ(Proxy.Requests().size(), 1u);
  const std::string Sent = Proxy.Requests()[0];
  EXPECT_TRUE(Sent.starts_with("CONNECT " + kUnresolvable + ":443 HTTP/1.1\r\n")) << Sent;
  // "user:p@ss" in Base64.
  EXPECT_NE(Sent.find("\r\nProxy-Authorization: Basic dXNlcjpwQHNz\r\n"), std::string::npos)
      << Sent;
  EXPECT_EQ(Sent.find("S3CR3T"), std::string::npos) << "the tunnel request carries no path";
}

TEST_F(TransportProxyTest, EmptySettingTakesTheProxyFromTheEnvironment) {
  Env.Set("https_proxy", ("http://" + Proxy.Host()).c_str());
  std::string Body;
  EXPECT_EQ(MessageOf([&] { Https_Get(kUnresolvable, "/x", Body); }),
            "HttpSendRequest Error 56 Description CONNECT tunnel failed, response 403");
  ASSERT_EQ(Proxy.Requests().size(), 1u);
  EXPECT_TRUE(Proxy.Requests()[0].starts_with("CONNECT " + kUnresolvable + ":443 HTTP/1.1\r\n"));
  EXPECT_EQ(Proxy.Requests()[0].find("Proxy-Authorization"), std::string::npos);
}

}  // namespace
}  // namespace zelk::IWZelkAuthBase
