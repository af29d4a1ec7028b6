// The session store's calls on a request's path against a redis-server on loopback that the
// benchmark starts itself (tests/support/RedisServer.h), beside their floor, a PING round trip
// on the same pooled connection; and sealing and opening a 4 KiB record. Without a
// redis-server that can start, the store's benchmarks are skipped with the reason.
#include <benchmark/benchmark.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "platform/web/store/RecordCipher.h"
#include "platform/web/store/SessionStore.h"
#include "support/RedisServer.h"

namespace {

using namespace zelk::web::store;
using namespace std::chrono_literals;

// One server for the whole run, or the reason there is none.
struct TBenchRedis {
  std::unique_ptr<zelk::testing::TRedisServer> Server;
  std::string Failure;
  TBenchRedis() {
    try {
      Server = std::make_unique<zelk::testing::TRedisServer>();
    } catch (const std::exception& E) {
      Failure = std::string("no redis-server could start: ") + E.what();
    }
  }
};

// The store, or none after SkipWithError.
std::unique_ptr<TSessionStore> OpenBenchStore(benchmark::State& State) {
  static TBenchRedis Redis;
  if (!Redis.Server) {
    State.SkipWithError(Redis.Failure.c_str());
    return nullptr;
  }
  return OpenSessionStore(Redis.Server->URL(), {250ms, "bench", 8});
}

const std::string kSession(64, 'a');

std::string Record4KiB() {
  std::string R(4096, '\0');
  for (std::size_t I = 0; I < R.size(); ++I)
    R[I] = static_cast<char>(I * 131);
  return R;
}

TKeyRing BenchKeys() {
  return TKeyRing::FromText("k1 " + std::string(64, '7') + "\nk0 " + std::string(64, '3'),
                            "bench keys");
}

// The floor: one round trip that does nothing.
void BM_Store_PingFloor(benchmark::State& State) {
  auto Store = OpenBenchStore(State);
  if (!Store) return;
  for (auto _ : State)
    benchmark::DoNotOptimize(Store->Reachable());
}
BENCHMARK(BM_Store_PingFloor)->UseRealTime();

// A request whose in-memory copy is current: the lease renewed, the version compared, nothing
// loaded.
void BM_Store_LeaseCopyCurrent(benchmark::State& State) {
  auto Store = OpenBenchStore(State);
  if (!Store) return;
  std::uint64_t Version = 0;
  Store->Lease(kSession, 5s);
  Store->Save(kSession, 0, Record4KiB(), 60s, {}, Version);
  for (auto _ : State) {
    const auto L = Store->Lease(kSession, 5s);
    if (!L.Granted || L.Version != Version) State.SkipWithError("the lease or version changed");
  }
  Store->Delete(kSession);
}
BENCHMARK(BM_Store_LeaseCopyCurrent)->UseRealTime();

// A changed session saved: compare-and-set of a 4 KiB record, its expiry and two flow keys.
void BM_Store_Save4KiB(benchmark::State& State) {
  auto Store = OpenBenchStore(State);
  if (!Store) return;
  const auto Record = Record4KiB();
  std::uint64_t Version = 0;
  Store->Lease(kSession, 60s);
  for (auto _ : State)
    if (Store->Save(kSession, Version, Record, 60s, {"state-1", "token-1"}, Version) !=
        TSaveResult::srSaved)
      State.SkipWithError("a save was not written");
  Store->Delete(kSession);
  State.SetBytesProcessed(static_cast<std::int64_t>(State.iterations() * Record.size()));
}
BENCHMARK(BM_Store_Save4KiB)->UseRealTime();

void BM_Record_Seal4KiB(benchmark::State& State) {
  const auto Keys = BenchKeys();
  const auto Plain = Record4KiB();
  for (auto _ : State)
    benchmark::DoNotOptimize(SealRecord(Keys, kSession, Plain));
  State.SetBytesProcessed(static_cast<std::int64_t>(State.iterations() * Plain.size()));
}
BENCHMARK(BM_Record_Seal4KiB);

void BM_Record_Open4KiB(benchmark::State& State) {
  const auto Keys = BenchKeys();
  const auto Sealed = SealRecord(Keys, kSession, Record4KiB());
  for (auto _ : State)
    benchmark::DoNotOptimize(OpenRecord(Keys, kSession, Sealed));
  State.SetBytesProcessed(static_cast<std::int64_t>(State.iterations() * Sealed.size()));
}
BENCHMARK(BM_Record_Open4KiB);

}  // namespace
