// What the benchmarks' bare libcurl floors share: handles and trust stores freed by RAII, and
// the options of a call that opens a new connection and verifies the peer against one trust
// store built once by the caller (no TLS session resumed, no connection kept).
#pragma once

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace zelk::bench {

struct TStoreFree {
  void operator()(X509_STORE* S) const noexcept { X509_STORE_free(S); }
};
struct TEasyFree {
  void operator()(CURL* C) const noexcept { curl_easy_cleanup(C); }
};
using TStore = std::unique_ptr<X509_STORE, TStoreFree>;
using TEasy = std::unique_ptr<CURL, TEasyFree>;

// Hands the caller's store to the TLS context libcurl makes for the connection.
inline CURLcode UseStore(CURL*, void* SslContext, void* Store) noexcept {
  SSL_CTX_set1_cert_store(static_cast<SSL_CTX*>(SslContext), static_cast<X509_STORE*>(Store));
  return CURLE_OK;
}

// A call to URL over a new, verified connection that trusts exactly Store.
inline void SetFreshVerifiedCall(CURL* E, const std::string& URL, X509_STORE* Store) {
  curl_easy_setopt(E, CURLOPT_URL, URL.c_str());
  curl_easy_setopt(E, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0);
  curl_easy_setopt(E, CURLOPT_FORBID_REUSE, 1L);
  curl_easy_setopt(E, CURLOPT_FRESH_CONNECT, 1L);
  curl_easy_setopt(E, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(E, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(E, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(E, CURLOPT_CAINFO, nullptr);
  curl_easy_setopt(E, CURLOPT_CAPATH, nullptr);
  curl_easy_setopt(E, CURLOPT_SSL_CTX_FUNCTION, &UseStore);
  curl_easy_setopt(E, CURLOPT_SSL_CTX_DATA, Store);
}

}  // namespace zelk::bench
