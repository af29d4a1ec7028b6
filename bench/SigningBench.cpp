// The OAuth 1.0a signed request of the widely published status-update example, beside its
// floor: one bare OpenSSL HMAC-SHA1 and Base64 over the same base string with the same key.
#include <benchmark/benchmark.h>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "providers/IWTwitterAuthClient.h"

namespace {

using namespace zelk;
using zelk::IWTwitterAuthClient::SignPost;

const rtl::TStringList& OAuthEntries() {
  static const rtl::TStringList L{"oauth_consumer_key=xvz1evFS4wEEPTGEFPHBog",
                                  "oauth_nonce=kYjzVBB8Y0ZFabxSWbWovY3uYSQ2pTgmZeNu2VS4cg",
                                  "oauth_signature_method=HMAC-SHA1",
                                  "oauth_timestamp=1318622958",
                                  "oauth_token=370773112-GmHxMAgYyLbNEtIKZeRNFsMKPR9EyMZeS9weJAEb",
                                  "oauth_version=1.0"};
  return L;
}

const rtl::TStringList& RequestEntries() {
  static const rtl::TStringList L{"status=Hello Ladies + Gentlemen, a signed OAuth request!",
                                  "include_entities=true"};
  return L;
}

const std::string kConsumerSecret = "kAcSOqF21Fu85e7zjz7ZN2U4ZRhfV3WpwPAoE3Z7kBw";
const std::string kTokenSecret = "LswwdoUaIvS8ltyTt5jkRh4J50vUPVVHtR2YPi5kE";

// The whole procedure: parameter string, base string, key, signature, header and body.
void BM_SignPost(benchmark::State& State) {
  for (auto _ : State)
    benchmark::DoNotOptimize(SignPost("api.twitter.com", "/1/statuses/update.json", OAuthEntries(),
                                      RequestEntries(), kConsumerSecret, kTokenSecret));
}
BENCHMARK(BM_SignPost);

// The floor: the digest and its Base64 over the base string SignPost builds, nothing else.
void BM_SignPost_Floor(benchmark::State& State) {
  const auto P = SignPost("api.twitter.com", "/1/statuses/update.json", OAuthEntries(),
                          RequestEntries(), kConsumerSecret, kTokenSecret);
  unsigned char Digest[EVP_MAX_MD_SIZE];
  unsigned char Out[64];
  for (auto _ : State) {
    unsigned int Len = 0;
    HMAC(EVP_sha1(), P.SigningKey.data(), static_cast<int>(P.SigningKey.size()),
         reinterpret_cast<const unsigned char*>(P.BaseString.data()), P.BaseString.size(), Digest,
         &Len);
    benchmark::DoNotOptimize(EVP_EncodeBlock(Out, Digest, static_cast<int>(Len)));
  }
}
BENCHMARK(BM_SignPost_Floor);

}  // namespace
