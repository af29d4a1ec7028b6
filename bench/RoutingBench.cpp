// ProcessRequest with 1, 1,000 and 100,000 registered entries, from one and two threads: the
// cost of routing a provider's return must not grow with the registry.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "core/IWZelkAuthBase.h"

namespace {

using namespace zelk::IWZelkAuthBase;

// A client whose LoginResponse does nothing: the benchmark measures the routing alone.
class TIdleClient : public TZIWCustomCloudClient {
 public:
  using TZIWCustomCloudClient::TZIWCustomCloudClient;
  ~TIdleClient() override { Detach(); }
  void LoginResponse(const THttpRequest&) override {}
};

// Entries alternate between two clients, and each benchmark thread routes only to the entries
// of its own client: two threads contend for the registry, never for one client's lock.
struct TRegistry {
  static constexpr std::size_t kClients = 2;
  TZIWAuthServerController Controller{nullptr};
  std::vector<std::unique_ptr<TIdleClient>> Clients;
  std::vector<zelk::web::THttpRequest> Requests[kClients];

  explicit TRegistry(int Entries) {
    auto Lock = Controller.LockClients();
    for (std::size_t C = 0; C < kClients; ++C)
      Clients.push_back(std::make_unique<TIdleClient>(nullptr));
    // With one entry there is one client to route to; the second thread gets its own registry
    // entry all the same, so the 1-entry case has two entries when run from two threads.
    const int Total = Entries == 1 ? 2 : Entries;
    for (int I = 0; I < Total; ++I) {
      const std::size_t C = static_cast<std::size_t>(I) % kClients;
      TAuthClient* E = Controller.Clients()->Add();
      E->SetClient(Clients[C].get());
      E->SetID(CreateGuid().substr(1, 36));
      if (I % (Total / 16 + 1) <= 1)
        Requests[C].push_back(
            zelk::web::THttpRequest::FromTarget("/app/?state=" + E->ID() + "&code=x"));
    }
  }
};

TRegistry& Registry(int Entries) {
  static TRegistry R1(1);
  static TRegistry R1000(1000);
  static TRegistry R100000(100000);
  return Entries == 1 ? R1 : Entries == 1000 ? R1000 : R100000;
}

void BM_ProcessRequest(benchmark::State& State) {
  TRegistry& R = Registry(static_cast<int>(State.range(0)));
  const auto& Requests =
      R.Requests[static_cast<std::size_t>(State.thread_index()) % TRegistry::kClients];
  std::size_t I = 0;
  for (auto _ : State)
    R.Controller.ProcessRequest(Requests[I++ % Requests.size()]);
  State.SetItemsProcessed(State.iterations());
}
BENCHMARK(BM_ProcessRequest)->Arg(1)->Arg(1000)->Arg(100000)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace
