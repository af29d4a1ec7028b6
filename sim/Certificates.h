// Certificates made at run time for the simulator and test servers: a throw-away CA and a
// server certificate it signs, with EC P-256 keys (fast to make). Nothing is ever written to the
// repository; the CA's key lives only in memory.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

namespace zelk::sim {

struct TX509Free {
  void operator()(X509* C) const noexcept { X509_free(C); }
};
struct TPKeyFree {
  void operator()(EVP_PKEY* K) const noexcept { EVP_PKEY_free(K); }
};
using TX509Ptr = std::unique_ptr<X509, TX509Free>;
using TPKeyPtr = std::unique_ptr<EVP_PKEY, TPKeyFree>;

// A CA and one server certificate signed by it.
struct TCertificateSet {
  TX509Ptr CA;
  TPKeyPtr CAKey;
  TX509Ptr Server;
  TPKeyPtr ServerKey;
  std::string CAPem;
  std::string ServerPem;
  std::string ServerKeyPem;
};

// Makes a CA named CAName and a server certificate whose subject alternative names are
// DnsNames and IpAddresses, valid from an hour ago for ValidDays days. Raises rtl::Exception
// with OpenSSL's reason when any step fails.
TCertificateSet MakeCertificates(const std::vector<std::string>& DnsNames,
                                 const std::vector<std::string>& IpAddresses,
                                 const std::string& CAName = "Zelk Simulator Test CA",
                                 int ValidDays = 30);

// The PEM text of a certificate.
std::string CertificatePem(X509* Certificate);

}  // namespace zelk::sim
