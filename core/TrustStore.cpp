// The process-wide trust store of the transport.
//
// Reading the system CA bundle costs tens of milliseconds with OpenSSL 3, many times a whole TLS
// request on a fast network, so it is read once and the same X509_STORE is handed to the TLS
// context of every call (OpenSSL reference-counts and locks it for shared use). Each call still
// opens its own connection and verifies the server's certificate against this store.
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "core/IWZelkAuthBase.h"
#include "core/TransportDetail.h"

namespace zelk::IWZelkAuthBase::detail {

void TX509StoreRelease::operator()(X509_STORE* Store) const noexcept {
  X509_STORE_free(Store);
}

namespace {

struct TBioRelease {
  void operator()(BIO* B) const noexcept { BIO_free(B); }
};
struct TX509Release {
  void operator()(X509* C) const noexcept { X509_free(C); }
};

// OpenSSL's text for its most recent error, and the error queue emptied.
std::string OpenSSLErrorText() {
  std::string Text;
  while (const unsigned long E = ERR_get_error()) {
    char Buffer[256];
    ERR_error_string_n(E, Buffer, sizeof Buffer);
    Text = Buffer;
  }
  return Text;
}

const char* EnvOr(const char* Name, const char* Default) {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): getenv races only with setenv, which nothing calls.
  const char* V = std::getenv(Name);
  return V != nullptr && *V != '\0' ? V : Default;
}

// The system's trusted CAs where OpenSSL's configuration puts them: the bundle file, or when
// there is none, the hashed certificate directory (searched lazily during verification).
void AddSystemCertificates(X509_STORE* Store) {
  const char* File = EnvOr(X509_get_default_cert_file_env(), X509_get_default_cert_file());
  if (X509_STORE_load_file(Store, File) != 1) {
    ERR_clear_error();
    const char* Dir = EnvOr(X509_get_default_cert_dir_env(), X509_get_default_cert_dir());
    if (X509_STORE_load_path(Store, Dir) != 1) ERR_clear_error();
  }
}

// Adds every certificate of the PEM text; Origin names it in errors.
void AddPemCertificates(X509_STORE* Store, const std::string& Pem, const std::string& Origin) {
  std::unique_ptr<BIO, TBioRelease> Bio(BIO_new_mem_buf(Pem.data(), static_cast<int>(Pem.size())));
  if (!Bio) throw rtl::Exception("Extra CA certificates: out of memory");
  ERR_clear_error();
  int Added = 0;
  for (;;) {
    std::unique_ptr<X509, TX509Release> Cert(
        PEM_read_bio_X509(Bio.get(), nullptr, nullptr, nullptr));
    if (!Cert) break;
    if (X509_STORE_add_cert(Store, Cert.get()) != 1)
      throw rtl::Exception("Extra CA certificates from " + Origin +
                           " could not be added: " + OpenSSLErrorText());
    ++Added;
  }
  // The loop ends at the first block that is not a certificate: the end of the text, or a
  // damaged certificate that must not be skipped silently.
  const unsigned long Last = ERR_peek_last_error();
  if (Added > 0 && ERR_GET_REASON(Last) == PEM_R_NO_START_LINE) {
    ERR_clear_error();
    return;
  }
  const std::string Detail = OpenSSLErrorText();
  if (Added == 0)
    throw rtl::Exception("Extra CA certificates from " + Origin + " hold no PEM certificate" +
                         (Detail.empty() ? "" : ": " + Detail));
  throw rtl::Exception("Extra CA certificates from " + Origin +
                       " hold a damaged certificate: " + Detail);
}

void AddExtraCertificates(X509_STORE* Store, const std::string& Extra) {
  if (Extra.empty()) return;
  if (Extra.find("-----BEGIN") != std::string::npos) {
    AddPemCertificates(Store, Extra, "the setting's PEM text");
    return;
  }
  std::ifstream In(Extra, std::ios::binary);
  if (!In) throw rtl::Exception("Extra CA certificates: cannot open file \"" + Extra + "\"");
  std::ostringstream Content;
  Content << In.rdbuf();
  if (In.bad()) throw rtl::Exception("Extra CA certificates: cannot read file \"" + Extra + "\"");
  AddPemCertificates(Store, Content.str(), "file \"" + Extra + "\"");
}

struct TStoreCache {
  std::mutex Mutex;
  TX509StorePtr Store;  // null until the first call
  std::string Extra;    // the setting Store was built for
  std::uint64_t Builds = 0;
};

TStoreCache& Cache() {
  static TStoreCache C;
  return C;
}

}  // namespace

TX509StorePtr AcquireTrustStore(const std::string& ExtraCACertificates) {
  TStoreCache& C = Cache();
  // Held while building: a second thread waits for the one store instead of building its own.
  std::lock_guard L(C.Mutex);
  if (!C.Store || C.Extra != ExtraCACertificates) {
    TX509StorePtr Fresh(X509_STORE_new());
    if (!Fresh) throw rtl::Exception("Cannot create the trust store: out of memory");
    AddSystemCertificates(Fresh.get());
    AddExtraCertificates(Fresh.get(), ExtraCACertificates);  // may throw: the old store stays
    C.Store = std::move(Fresh);
    C.Extra = ExtraCACertificates;
    ++C.Builds;
  }
  X509_STORE_up_ref(C.Store.get());
  return TX509StorePtr(C.Store.get());
}

std::uint64_t TrustStoreBuilds() {
  TStoreCache& C = Cache();
  std::lock_guard L(C.Mutex);
  return C.Builds;
}

}  // namespace zelk::IWZelkAuthBase::detail
