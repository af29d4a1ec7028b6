// A fresh-connection Https_Get against the in-process simulator, beside its floor: a bare
// libcurl loop over the same URL that builds its trust store (the system bundle plus the
// simulator's CA) once and hands it to every new handle. Both open a new TLS connection per
// call and verify the peer; neither resumes a TLS session.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "bench/support/BareCurl.h"
#include "core/IWZelkAuthBase.h"
#include "sim/Simulator.h"

namespace {

using zelk::sim::Simulator;
using zelk::sim::TProviderId;
using zelk::sim::TSimRequest;
using zelk::sim::TSimResponse;

const std::string kPath = "/bench/ping";

// One simulator for the whole benchmark run, answering kPath with a short body.
Simulator& Sim() {
  static Simulator* S = [] {
    static Simulator Instance;
    Instance.Start();
    Instance.Route(TProviderId::Google, "GET", kPath,
                   [](const TSimRequest&) { return TSimResponse::Text("pong"); });
    Instance.UseForThisProcess();
    return &Instance;
  }();
  return *S;
}

void BM_HttpsGet_FreshConnection(benchmark::State& State) {
  const std::string Host = Sim().HostFor(TProviderId::Google);
  std::string Body;
  for (auto _ : State) {
    Body.clear();
    zelk::IWZelkAuthBase::Https_Get(Host, kPath, Body);
    if (Body != "pong") State.SkipWithError("unexpected reply");
  }
  Sim().ClearReceived();
}
BENCHMARK(BM_HttpsGet_FreshConnection)->Unit(benchmark::kMillisecond)->UseRealTime();

struct TBioFree {
  void operator()(BIO* B) const noexcept { BIO_free(B); }
};
struct TX509Free {
  void operator()(X509* X) const noexcept { X509_free(X); }
};

std::size_t Discard(char*, std::size_t Size, std::size_t Count, void*) noexcept {
  return Size * Count;
}

// The system bundle and the simulator's CA, read once.
zelk::bench::TStore FloorStore() {
  zelk::bench::TStore Store(X509_STORE_new());
  if (!Store || X509_STORE_load_file(Store.get(), X509_get_default_cert_file()) != 1)
    throw std::runtime_error("cannot load the system CA bundle");
  const std::string Pem = Sim().CACertificatePEM();
  std::unique_ptr<BIO, TBioFree> In(BIO_new_mem_buf(Pem.data(), static_cast<int>(Pem.size())));
  std::unique_ptr<X509, TX509Free> Ca(PEM_read_bio_X509(In.get(), nullptr, nullptr, nullptr));
  if (!Ca || X509_STORE_add_cert(Store.get(), Ca.get()) != 1)
    throw std::runtime_error("cannot add the simulator's CA");
  return Store;
}

void BM_HttpsGet_FreshConnection_Floor(benchmark::State& State) {
  const std::string URL = "https://" + Sim().HostFor(TProviderId::Google) + kPath;
  const auto Store = FloorStore();
  for (auto _ : State) {
    const zelk::bench::TEasy Easy(curl_easy_init());
    CURL* E = Easy.get();
    zelk::bench::SetFreshVerifiedCall(E, URL, Store.get());
    curl_easy_setopt(E, CURLOPT_WRITEFUNCTION, &Discard);
    if (curl_easy_perform(E) != CURLE_OK) State.SkipWithError("transfer failed");
  }
  Sim().ClearReceived();
}
BENCHMARK(BM_HttpsGet_FreshConnection_Floor)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
