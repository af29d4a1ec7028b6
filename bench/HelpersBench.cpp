// Micro-benchmarks of the helpers on the request path, each beside its floor: a bare OpenSSL or
// nlohmann/json call doing the same work.
#include <benchmark/benchmark.h>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "core/IWZelkAuthBase.h"

namespace {

using namespace zelk::IWZelkAuthBase;

const std::string kCallback =
    "http://localhost:8080/app/?clientid=3F2504E0-4F89-41D3-9A0C-0305E82C3301";

void BM_URLEncode(benchmark::State& State) {
  for (auto _ : State)
    benchmark::DoNotOptimize(URLEncode(kCallback));
  State.SetBytesProcessed(static_cast<std::int64_t>(State.iterations() * kCallback.size()));
}
BENCHMARK(BM_URLEncode);

void BM_EncodeParams(benchmark::State& State) {
  const zelk::rtl::TStringList Params{
      "oauth_consumer_key=xvz1evFS4wEEPTGEFPHBog",
      "oauth_signature_method=HMAC-SHA1",
      "oauth_timestamp=1318622958",
      "oauth_nonce=kYjzVBB8Y0ZFabxSWbWovY3uYSQ2pTgmZeNu2VS4cg",
      "oauth_version=1.0",
      "oauth_token=370773112-GmHxMAgYyLbNEtIKZeRNFsMKPR9EyMZeS9weJAEb",
      "include_entities=true",
      "status=Hello Ladies + Gentlemen, a signed OAuth request!"};
  for (auto _ : State)
    benchmark::DoNotOptimize(EncodeParams(Params, "&", false, false));
}
BENCHMARK(BM_EncodeParams);

const std::string kProfile =
    R"({"id":"108204268033311374519","name":"Jos\u00e9 Example","given_name":"Jos\u00e9",)"
    R"("family_name":"Example","email":"jose@example.com","verified_email":true,)"
    R"("gender":"male","locale":"en","picture":"https://example.com/photo.jpg"})";

void BM_ParseJSONProfile(benchmark::State& State) {
  for (auto _ : State) {
    TJSONObject J;
    ParseJSON(kProfile, J);
    benchmark::DoNotOptimize(J.Text("name"));
  }
}
BENCHMARK(BM_ParseJSONProfile);

// The floor of ParseJSON: nlohmann/json parsing the same text without our wrapper.
void BM_ParseJSONProfile_Floor(benchmark::State& State) {
  for (auto _ : State) {
    auto J = nlohmann::json::parse(kProfile, nullptr, false);
    benchmark::DoNotOptimize(J["name"].get_ref<const std::string&>());
  }
}
BENCHMARK(BM_ParseJSONProfile_Floor);

void BM_HMACSha1Base64(benchmark::State& State) {
  const std::string Base(300, 'x');
  for (auto _ : State)
    benchmark::DoNotOptimize(Base64Encode(EncryptHMACSha1(Base, "key&secret")));
}
BENCHMARK(BM_HMACSha1Base64);

// The floor of signing: one bare OpenSSL HMAC-SHA1 and Base64 over the same text.
void BM_HMACSha1Base64_Floor(benchmark::State& State) {
  const std::string Base(300, 'x');
  const std::string Key = "key&secret";
  unsigned char Digest[EVP_MAX_MD_SIZE];
  unsigned char Out[64];
  for (auto _ : State) {
    unsigned int Len = 0;
    HMAC(EVP_sha1(), Key.data(), static_cast<int>(Key.size()),
         reinterpret_cast<const unsigned char*>(Base.data()), Base.size(), Digest, &Len);
    benchmark::DoNotOptimize(EVP_EncodeBlock(Out, Digest, static_cast<int>(Len)));
  }
}
BENCHMARK(BM_HMACSha1Base64_Floor);

}  // namespace
