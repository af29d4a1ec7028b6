// Several request threads calling one provider host at once through the kept connections and
// the shared TLS session cache: every reply reaches its own caller, no request goes out twice,
// and no more connections stay kept than the bound.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/IWZelkAuthBase.h"
#include "support/SimulatorFixture.h"

namespace zelk::IWZelkAuthBase {
namespace {

using sim::TProviderId;
using sim::TSimRequest;
using sim::TSimResponse;

class KeptConnectionsStress : public testing::SimulatorFixture {};

TEST_F(KeptConnectionsStress, ThreadsShareKeptConnectionsAndSessions) {
  Sim.Route(TProviderId::Google, "GET", "/profile",
            [](const TSimRequest& R) { return TSimResponse::Text("id=" + R.Query.Values("id")); });
  Sim.Route(TProviderId::Google, "POST", "/token", [](const TSimRequest& R) {
    return TSimResponse::Text("code=" + R.Form().Values("code"));
  });
  ChangeTransportSettings([](TTransportSettings& S) { S.MaxKeptConnectionsPerHost = 2; });
  const std::string Host = Sim.HostFor(TProviderId::Google);

  constexpr int kThreads = 4;
  constexpr int kCalls = 20;
  std::atomic<int> Wrong{0};
  std::atomic<int> Failed{0};
  std::vector<std::thread> Threads;
  for (int T = 0; T < kThreads; ++T)
    Threads.emplace_back([&, T] {
      for (int I = 0; I < kCalls; ++I) {
        const std::string Id = std::to_string(T) + "-" + std::to_string(I);
        std::string Body;
        try {
          if (I % 2 == 0) {
            Https_Post11(Host, "/token", {"Content-Type: application/x-www-form-urlencoded"},
                         "code=" + Id, Body);
            if (Body != "code=" + Id) ++Wrong;
          } else {
            Https_Get11(Host, "/profile?id=" + Id, {}, Body);
            if (Body != "id=" + Id) ++Wrong;
          }
          // Now and then a classic call in between, on a connection of its own.
          if (I % 5 == 0) {
            Https_Get(Host, "/profile?id=c" + Id, Body);
            if (Body != "id=c" + Id) ++Wrong;
          }
        } catch (const rtl::Exception&) {
          ++Failed;
        }
      }
    });
  for (auto& T : Threads)
    T.join();

  EXPECT_EQ(Wrong, 0);
  EXPECT_EQ(Failed, 0);
  constexpr int kClassic = kThreads * (kCalls / 5);
  const auto Got = Sim.Received(TProviderId::Google);
  EXPECT_EQ(Got.size(), static_cast<std::size_t>(kThreads * kCalls + kClassic))
      << "a request went out twice or not at all";
  const sim::TSimCounters C = Sim.Counters(TProviderId::Google);
  EXPECT_LT(C.Connections, static_cast<std::uint64_t>(kThreads * kCalls / 2))
      << "the current calls hardly shared connections";
  // Threads that connect while no session is cached yet make full handshakes; most resume.
  EXPECT_GT(C.ResumedHandshakes * 2, C.Handshakes) << C.Connections;
  EXPECT_LE(TransportCounters().IdleConnections, 2u);
}

}  // namespace
}  // namespace zelk::IWZelkAuthBase
