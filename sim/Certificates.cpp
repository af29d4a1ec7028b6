// Run-time certificates for the simulator and test servers.
#include "sim/Certificates.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include "platform/rtl/SysUtils.h"

namespace zelk::sim {

namespace {

struct TBioFree {
  void operator()(BIO* B) const noexcept { BIO_free(B); }
};
struct TBnFree {
  void operator()(BIGNUM* B) const noexcept { BN_free(B); }
};
struct TNameFree {
  void operator()(X509_NAME* N) const noexcept { X509_NAME_free(N); }
};
struct TExtensionFree {
  void operator()(X509_EXTENSION* E) const noexcept { X509_EXTENSION_free(E); }
};

[[noreturn]] void Fail(const std::string& What) {
  std::string Reason;
  while (const unsigned long E = ERR_get_error()) {
    char Buffer[256];
    ERR_error_string_n(E, Buffer, sizeof Buffer);
    Reason = Buffer;
  }
  throw rtl::Exception("Cannot make the test certificates: " + What +
                       (Reason.empty() ? "" : " (" + Reason + ")"));
}

void Check(int Result, const char* What) {
  if (Result != 1) Fail(What);
}

TPKeyPtr NewKey() {
  TPKeyPtr Key(EVP_EC_gen("P-256"));
  if (!Key) Fail("EC key generation");
  return Key;
}

std::unique_ptr<X509_NAME, TNameFree> NewName(const std::string& CommonName) {
  std::unique_ptr<X509_NAME, TNameFree> Name(X509_NAME_new());
  if (!Name) Fail("name");
  Check(X509_NAME_add_entry_by_txt(Name.get(), "O", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>("Zelk test"), -1, -1, 0),
        "name");
  Check(X509_NAME_add_entry_by_txt(Name.get(), "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(CommonName.c_str()), -1,
                                   -1, 0),
        "name");
  return Name;
}

void AddExtension(X509* Subject, X509* Issuer, int Nid, const std::string& Value) {
  X509V3_CTX Context;
  X509V3_set_ctx_nodb(&Context);
  X509V3_set_ctx(&Context, Issuer, Subject, nullptr, nullptr, 0);
  std::unique_ptr<X509_EXTENSION, TExtensionFree> Extension(
      X509V3_EXT_conf_nid(nullptr, &Context, Nid, Value.c_str()));
  if (!Extension) Fail("extension " + Value);
  Check(X509_add_ext(Subject, Extension.get(), -1), "extension");
}

// A certificate for Key named CommonName, not yet extended or signed.
TX509Ptr NewCertificate(EVP_PKEY* Key, const std::string& CommonName, X509_NAME* IssuerName,
                        int ValidDays) {
  TX509Ptr Cert(X509_new());
  if (!Cert) Fail("certificate");
  Check(X509_set_version(Cert.get(), X509_VERSION_3), "version");
  std::unique_ptr<BIGNUM, TBnFree> Serial(BN_new());
  if (!Serial) Fail("serial number");
  Check(BN_rand(Serial.get(), 63, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY), "serial number");
  if (!BN_to_ASN1_INTEGER(Serial.get(), X509_get_serialNumber(Cert.get()))) Fail("serial number");
  if (!X509_gmtime_adj(X509_getm_notBefore(Cert.get()), -3600) ||
      !X509_gmtime_adj(X509_getm_notAfter(Cert.get()), 86400L * ValidDays))
    Fail("validity");
  Check(X509_set_pubkey(Cert.get(), Key), "public key");
  auto Name = NewName(CommonName);
  Check(X509_set_subject_name(Cert.get(), Name.get()), "subject");
  Check(X509_set_issuer_name(Cert.get(), IssuerName != nullptr ? IssuerName : Name.get()),
        "issuer");
  return Cert;
}

std::string KeyPem(EVP_PKEY* Key) {
  std::unique_ptr<BIO, TBioFree> Bio(BIO_new(BIO_s_mem()));
  if (!Bio) Fail("PEM");
  Check(PEM_write_bio_PrivateKey(Bio.get(), Key, nullptr, nullptr, 0, nullptr, nullptr), "PEM");
  char* Data = nullptr;
  const long Size = BIO_get_mem_data(Bio.get(), &Data);
  return std::string(Data, static_cast<std::size_t>(Size));
}

}  // namespace

std::string CertificatePem(X509* Certificate) {
  std::unique_ptr<BIO, TBioFree> Bio(BIO_new(BIO_s_mem()));
  if (!Bio) Fail("PEM");
  Check(PEM_write_bio_X509(Bio.get(), Certificate), "PEM");
  char* Data = nullptr;
  const long Size = BIO_get_mem_data(Bio.get(), &Data);
  return std::string(Data, static_cast<std::size_t>(Size));
}

TCertificateSet MakeCertificates(const std::vector<std::string>& DnsNames,
                                 const std::vector<std::string>& IpAddresses,
                                 const std::string& CAName, int ValidDays) {
  TCertificateSet Set;
  Set.CAKey = NewKey();
  Set.CA = NewCertificate(Set.CAKey.get(), CAName, nullptr, ValidDays);
  AddExtension(Set.CA.get(), Set.CA.get(), NID_basic_constraints, "critical,CA:TRUE");
  AddExtension(Set.CA.get(), Set.CA.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
  AddExtension(Set.CA.get(), Set.CA.get(), NID_subject_key_identifier, "hash");
  if (X509_sign(Set.CA.get(), Set.CAKey.get(), EVP_sha256()) <= 0) Fail("signing the CA");

  std::string AltNames;
  for (const auto& N : DnsNames)
    AltNames += (AltNames.empty() ? "DNS:" : ",DNS:") + N;
  for (const auto& A : IpAddresses)
    AltNames += (AltNames.empty() ? "IP:" : ",IP:") + A;
  const std::string CommonName = !DnsNames.empty()      ? DnsNames.front()
                                 : !IpAddresses.empty() ? IpAddresses.front()
                                                        : std::string("zelk test server");
  Set.ServerKey = NewKey();
  Set.Server = NewCertificate(Set.ServerKey.get(), CommonName, X509_get_subject_name(Set.CA.get()),
                              ValidDays);
  AddExtension(Set.Server.get(), Set.CA.get(), NID_basic_constraints, "critical,CA:FALSE");
  AddExtension(Set.Server.get(), Set.CA.get(), NID_key_usage, "critical,digitalSignature");
  AddExtension(Set.Server.get(), Set.CA.get(), NID_ext_key_usage, "serverAuth");
  if (!AltNames.empty())
    AddExtension(Set.Server.get(), Set.CA.get(), NID_subject_alt_name, AltNames);
  AddExtension(Set.Server.get(), Set.CA.get(), NID_subject_key_identifier, "hash");
  AddExtension(Set.Server.get(), Set.CA.get(), NID_authority_key_identifier, "keyid:always");
  if (X509_sign(Set.Server.get(), Set.CAKey.get(), EVP_sha256()) <= 0)
    Fail("signing the server certificate");

  Set.CAPem = CertificatePem(Set.CA.get());
  Set.ServerPem = CertificatePem(Set.Server.get());
  Set.ServerKeyPem = KeyPem(Set.ServerKey.get());
  return Set;
}

}  // namespace zelk::sim
