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

struct TRegistry {
  TZIWAuthServerController Controller{nullptr};
  std::vector<std::unique_ptr<TIdleClient>> Clients;
  std::vector<zelk::web::THttpRequest> Requests;

  explicit TRegistry(int Entries) {
    auto Lock = Controller.LockClients();
    auto Client = std::make_unique<TIdleClient>(nullptr);
    for (int I = 0; I < Entries; ++I) {
      TAuthClient* E = Controller.Clients()->Add();
      E->SetClient(Client.get());
      E->SetID(CreateGuid().substr(1, 36));
      if (I % (Entries / 16 + 1) == 0)
        Requests.push_back(
            zelk::web::THttpRequest::FromTarget("/app/?state=" + E->ID() + "&code=x"));
    }
    Clients.push_back(std::move(Client));
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
  std::size_t I = static_cast<std::size_t>(State.thread_index());
  for (auto _ : State)
    R.Controller.ProcessRequest(R.Requests[I++ % R.Requests.size()]);
  State.SetItemsProcessed(State.iterations());
}
BENCHMARK(BM_ProcessRequest)->Arg(1)->Arg(1000)->Arg(100000)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace
