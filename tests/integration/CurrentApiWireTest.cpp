// What the calls of the current APIs put on the wire, byte for byte: HTTP/1.1, the header
// block in order, and a provider's error reply returned whole whatever its status.
#include <gtest/gtest.h>

#include "core/IWZelkAuthBase.h"
#include "support/RawCaptureServer.h"

namespace zelk::IWZelkAuthBase {
namespace {

using namespace std::chrono_literals;
using testing::RawCaptureServer;

const std::string kUserAgentLine =
    "User-Agent: Mozilla/5.001 (windows; U; NT4.0; en-US; rv:1.0) Gecko/25250101\r\n";

class CurrentApiWireTest : public ::testing::Test {
 protected:
  void SetUp() override { FSaved = TransportSettings(); }
  void TearDown() override { SetTransportSettings(FSaved); }
  void Trust(const RawCaptureServer& Server) {
    TTransportSettings S = TransportSettings();
    S.ExtraCACertificates = Server.CACertificatePEM();
    S.ConnectTimeout = 5s;
    S.StallTimeout = 5s;
    SetTransportSettings(S);
  }
  TTransportSettings FSaved;
};

TEST_F(CurrentApiWireTest, GetSendsHttp11AndTheHeaderBlockInOrder) {
  RawCaptureServer Server;
  Trust(Server);
  std::string Body;
  Https_Get11(Server.Host(), "/v1.0/me",
              {"Authorization: Bearer EwB4A.8l/6+x=", "Accept: application/json"}, Body);
  EXPECT_EQ(Body, "ok");
  ASSERT_EQ(Server.Requests().size(), 1u);
  EXPECT_EQ(Server.Requests()[0], "GET /v1.0/me HTTP/1.1\r\nHost: " + Server.Host() + "\r\n" +
                                      kUserAgentLine +
                                      "Authorization: Bearer EwB4A.8l/6+x=\r\n"
                                      "Accept: application/json\r\n\r\n");
}

TEST_F(CurrentApiWireTest, PostSendsHttp11TheBlockAndTheBodyExactly) {
  RawCaptureServer Server;
  Trust(Server);
  std::string Body;
  const std::string Data = "code=c&grant_type=authorization_code&code_verifier=abc";
  Https_Post11(Server.Host(), "/common/oauth2/v2.0/token",
               {"Content-Type: application/x-www-form-urlencoded", "Accept: application/json"},
               Data, Body);
  ASSERT_EQ(Server.Requests().size(), 1u);
  EXPECT_EQ(Server.Requests()[0], "POST /common/oauth2/v2.0/token HTTP/1.1\r\nHost: " +
                                      Server.Host() + "\r\n" + kUserAgentLine +
                                      "Content-Type: application/x-www-form-urlencoded\r\n"
                                      "Accept: application/json\r\nContent-Length: " +
                                      std::to_string(Data.size()) + "\r\n\r\n" + Data);
}

TEST_F(CurrentApiWireTest, ErrorStatusRepliesComeBackWhole) {
  const std::string Json = R"({"error":"invalid_grant","error_description":"Bad verifier"})";
  for (const char* Status : {"400 Bad Request", "401 Unauthorized", "200 OK"}) {
    RawCaptureServer::TOptions O;
    O.Reply =
        std::string("HTTP/1.1 ") + Status +
        "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(Json.size()) +
        "\r\n\r\n" + Json;
    RawCaptureServer Server(O);
    Trust(Server);
    std::string Body;
    Https_Post11(Server.Host(), "/token", {"Accept: application/json"}, "a=b", Body);
    EXPECT_EQ(Body, Json) << Status;
  }
}

}  // namespace
}  // namespace zelk::IWZelkAuthBase
