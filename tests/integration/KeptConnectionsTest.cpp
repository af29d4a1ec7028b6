// What the transport keeps between calls, seen from the simulator's side: resumed TLS sessions
// in both kinds of call, kept connections for the current APIs' calls, and what happens when a
// kept connection dies under a call.
#include <gtest/gtest.h>

#include <thread>

#include "core/IWZelkAuthBase.h"
#include "core/TransportDetail.h"
#include "sim/Certificates.h"
#include "support/SimulatorFixture.h"

namespace zelk::IWZelkAuthBase {
namespace {

using namespace std::chrono_literals;
using sim::TFault;
using sim::TProviderId;
using sim::TSimRequest;
using sim::TSimResponse;

class KeptConnectionsTest : public testing::SimulatorFixture {
 protected:
  void SetUp() override {
    SimulatorFixture::SetUp();
    Sim.Route(TProviderId::Google, "GET", "/profile", [](const TSimRequest& R) {
      return TSimResponse::Text("{\"id\":\"" + R.Query.Values("id") + "\"}");
    });
    Sim.Route(TProviderId::Google, "POST", "/token", [](const TSimRequest& R) {
      return TSimResponse::Text("{\"access_token\":\"T-" + R.Form().Values("code") + "\"}");
    });
  }
  std::string Google() const { return Sim.HostFor(TProviderId::Google); }
  sim::TSimCounters Counters() const { return Sim.Counters(TProviderId::Google); }

  std::string Get(const std::string& Id) {
    std::string Body;
    Https_Get(Google(), "/profile?id=" + Id, Body);
    return Body;
  }
  std::string Get11(const std::string& Id) {
    std::string Body;
    Https_Get11(Google(), "/profile?id=" + Id, {"Accept: application/json"}, Body);
    return Body;
  }
  std::string Post11(const std::string& Code) {
    std::string Body;
    Https_Post11(Google(), "/token", {"Content-Type: application/x-www-form-urlencoded"},
                 "grant_type=authorization_code&code=" + Code, Body);
    return Body;
  }
  std::vector<std::size_t> ConnectionRequests() const {
    std::vector<std::size_t> R;
    for (const TSimRequest& Q : Sim.Received(TProviderId::Google))
      R.push_back(Q.ConnectionRequest);
    return R;
  }
};

TEST_F(KeptConnectionsTest, ClassicCallsResumeTheSessionOnANewConnectionEachTime) {
  EXPECT_EQ(Get("1"), "{\"id\":\"1\"}");
  EXPECT_EQ(Get("2"), "{\"id\":\"2\"}");
  EXPECT_EQ(Get("3"), "{\"id\":\"3\"}");
  const auto C = Counters();
  EXPECT_EQ(C.Connections, 3u) << "a classic call never shares its connection";
  EXPECT_EQ(C.Handshakes, 3u);
  EXPECT_EQ(C.ResumedHandshakes, 2u) << "the first handshake is full, the others resume";
  const auto Got = Sim.Received(TProviderId::Google);
  ASSERT_EQ(Got.size(), 3u);
  EXPECT_FALSE(Got[0].TlsResumed);
  EXPECT_TRUE(Got[1].TlsResumed);
  EXPECT_TRUE(Got[2].TlsResumed);
  EXPECT_EQ(ConnectionRequests(), (std::vector<std::size_t>{1, 1, 1}));
}

TEST_F(KeptConnectionsTest, ResumptionOffMakesEveryHandshakeFull) {
  ChangeTransportSettings([](TTransportSettings& S) { S.ResumeTlsSessions = false; });
  Get("1");
  Get("2");
  EXPECT_EQ(Counters().Handshakes, 2u);
  EXPECT_EQ(Counters().ResumedHandshakes, 0u);
}

TEST_F(KeptConnectionsTest, AChangedCASettingStartsAfreshAndIsVerified) {
  Get("1");
  ASSERT_EQ(Counters().Handshakes, 1u);
  // A CA that did not sign the simulator's certificate: a session made under the old trust
  // must not let the call through.
  const sim::TCertificateSet Other = sim::MakeCertificates({"localhost"}, {"127.0.0.1"}, "Other");
  ChangeTransportSettings([&](TTransportSettings& S) { S.ExtraCACertificates = Other.CAPem; });
  try {
    Get("2");
    ADD_FAILURE() << "a server the CA setting does not trust was called";
  } catch (const rtl::Exception& E) {
    EXPECT_EQ(E.Message().rfind("HttpSendRequest Error 60 ", 0), 0u) << E.Message();
  }
  // The simulator's CA again, as a different setting text: a full handshake, then resumption
  // within the new setting.
  ChangeTransportSettings(
      [&](TTransportSettings& S) { S.ExtraCACertificates = Sim.CACertificatePEM() + "\n"; });
  const std::uint64_t Resumed = Counters().ResumedHandshakes;
  Get("3");
  EXPECT_EQ(Counters().ResumedHandshakes, Resumed) << "a new CA setting resumed an old session";
  Get("4");
  EXPECT_EQ(Counters().ResumedHandshakes, Resumed + 1);
  EXPECT_TRUE(Sim.Received(TProviderId::Google).back().TlsResumed);
}

TEST_F(KeptConnectionsTest, CurrentCallsShareOneKeptConnection) {
  const auto Before = TransportCounters();
  EXPECT_EQ(Post11("c1"), "{\"access_token\":\"T-c1\"}");
  EXPECT_EQ(Get11("1"), "{\"id\":\"1\"}");
  EXPECT_EQ(Get11("2"), "{\"id\":\"2\"}");
  EXPECT_EQ(Counters().Connections, 1u);
  EXPECT_EQ(Counters().Handshakes, 1u);
  EXPECT_EQ(ConnectionRequests(), (std::vector<std::size_t>{1, 2, 3}));
  const auto After = TransportCounters();
  EXPECT_EQ(After.ReusedConnections - Before.ReusedConnections, 2u);
  EXPECT_EQ(After.IdleConnections, 1u);
}

TEST_F(KeptConnectionsTest, KeepingOffOpensAConnectionPerCall) {
  ChangeTransportSettings([](TTransportSettings& S) { S.KeepConnections = false; });
  Get11("1");
  Get11("2");
  EXPECT_EQ(Counters().Connections, 2u);
  EXPECT_EQ(Counters().ResumedHandshakes, 1u);
  EXPECT_EQ(ConnectionRequests(), (std::vector<std::size_t>{1, 1}));
}

TEST_F(KeptConnectionsTest, AnIdleKeptConnectionExpires) {
  ChangeTransportSettings([](TTransportSettings& S) { S.KeptConnectionIdle = 20ms; });
  const auto Before = TransportCounters();
  Get11("1");
  std::this_thread::sleep_for(60ms);  // past the idle time, well within the server's own
  Get11("2");
  EXPECT_EQ(Counters().Connections, 2u);
  EXPECT_EQ(Counters().ResumedHandshakes, 1u) << "the new connection resumes the session";
  EXPECT_EQ(ConnectionRequests(), (std::vector<std::size_t>{1, 1}));
  EXPECT_EQ(TransportCounters().ExpiredConnections - Before.ExpiredConnections, 1u);
}

TEST_F(KeptConnectionsTest, AGetOnADroppedKeptConnectionIsSentOnceMore) {
  Get11("1");
  Sim.SetFault(TProviderId::Google, "/profile", TFault::DropKeptConnection());
  const auto Before = TransportCounters();
  EXPECT_EQ(Get11("2"), "{\"id\":\"2\"}");
  EXPECT_EQ(TransportCounters().Retries - Before.Retries, 1u);
  // The second went out on the kept connection and was dropped, then on a new one.
  EXPECT_EQ(ConnectionRequests(), (std::vector<std::size_t>{1, 2, 1}));
  EXPECT_EQ(Counters().Connections, 2u);
}

TEST_F(KeptConnectionsTest, ATokenExchangeOnADroppedKeptConnectionIsNeverSentAgain) {
  Post11("c1");
  Sim.SetFault(TProviderId::Google, "/token", TFault::DropKeptConnection());
  std::string Body = "stale";
  try {
    Https_Post11(Google(), "/token", {"Content-Type: application/x-www-form-urlencoded"},
                 "grant_type=authorization_code&code=c2", Body);
    ADD_FAILURE() << "no exception; body " << Body;
  } catch (const rtl::Exception& E) {
    EXPECT_EQ(E.Message(),
              "HttpReceiveResponse Error 56 Description Recv failure: Connection reset by peer "
              "(on a kept connection; the request is not sent again, since the server may have "
              "acted on it)");
  }
  EXPECT_EQ(Body, "");
  const auto Got = Sim.Received(TProviderId::Google);
  ASSERT_EQ(Got.size(), 2u) << "the token exchange was sent again";
  EXPECT_EQ(Got[1].Body, "grant_type=authorization_code&code=c2");
  EXPECT_EQ(Got[1].ConnectionRequest, 2u);
  // The failed call kept nothing: the next one opens a new connection and goes through.
  Sim.ClearFaults();
  EXPECT_EQ(Post11("c3"), "{\"access_token\":\"T-c3\"}");
  EXPECT_EQ(Sim.Received(TProviderId::Google).back().ConnectionRequest, 1u);
}

TEST_F(KeptConnectionsTest, TheFirstRequestOnANewConnectionIsNotRetriedEither) {
  // No kept connection yet: the drop fault does not apply, a reset does, and the GET fails
  // as any call does, sent once.
  Sim.SetFault(TProviderId::Google, "/profile", TFault::ResetConnection());
  std::string Body;
  EXPECT_THROW(Https_Get11(Google(), "/profile?id=1", {}, Body), rtl::Exception);
  EXPECT_EQ(Sim.Received(TProviderId::Google).size(), 1u);
}

TEST_F(KeptConnectionsTest, SettingsAreChecked) {
  auto S = TransportSettings();
  S.KeptConnectionIdle = 0ms;
  EXPECT_THROW(SetTransportSettings(S), rtl::Exception);
  S = TransportSettings();
  S.MaxKeptConnectionsPerHost = 0;
  EXPECT_THROW(SetTransportSettings(S), rtl::Exception);
}

// The bound per destination, through the bookkeeping itself.
TEST(KeptConnectionBookkeeping, KeepsAtMostTheBoundPerDestinationAndTakesTheNewest) {
  detail::DropKeptConnections();
  std::vector<CURLM*> Made;
  for (int I = 0; I < 3; ++I) {
    detail::TMultiPtr M(curl_multi_init());
    ASSERT_TRUE(M);
    Made.push_back(M.get());
    detail::KeepConnection("a\n\n", std::move(M), 2);
  }
  detail::KeepConnection("b\n\n", detail::TMultiPtr(curl_multi_init()), 2);
  EXPECT_EQ(TransportCounters().IdleConnections, 3u);
  auto First = detail::TakeKeptConnection("a\n\n", 1h);
  EXPECT_EQ(First.get(), Made[2]);
  auto Second = detail::TakeKeptConnection("a\n\n", 1h);
  EXPECT_EQ(Second.get(), Made[1]);
  EXPECT_FALSE(detail::TakeKeptConnection("a\n\n", 1h)) << "the oldest was over the bound";
  EXPECT_FALSE(detail::TakeKeptConnection("c\n\n", 1h));
  detail::DropKeptConnections();
  EXPECT_EQ(TransportCounters().IdleConnections, 0u);
}

TEST(KeptConnectionBookkeeping, DestinationsDifferByHostProxyAndCA) {
  TTransportSettings S;
  const std::string Base = detail::DestinationKey("h:1", S);
  EXPECT_NE(detail::DestinationKey("h:2", S), Base);
  TTransportSettings Proxy = S;
  Proxy.ProxyURL = "http://p:3128";
  EXPECT_NE(detail::DestinationKey("h:1", Proxy), Base);
  TTransportSettings CA = S;
  CA.ExtraCACertificates = "x";
  EXPECT_NE(detail::DestinationKey("h:1", CA), Base);
  EXPECT_EQ(detail::DestinationKey("h:1", TTransportSettings(S)), Base);
}

}  // namespace
}  // namespace zelk::IWZelkAuthBase
