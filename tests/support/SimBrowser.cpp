#include "support/SimBrowser.h"

#include <httplib.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "core/IWZelkAuthBase.h"
#include "platform/rtl/StringList.h"
#include "platform/rtl/SysUtils.h"
#include "sim/Simulator.h"

namespace zelk::testing {

namespace {

struct TBioFree {
  void operator()(BIO* B) const noexcept { BIO_free(B); }
};
struct TX509Free {
  void operator()(X509* C) const noexcept { X509_free(C); }
};
struct TStoreFree {
  void operator()(X509_STORE* S) const noexcept { X509_STORE_free(S); }
};

struct TURL {
  bool Https = true;
  std::string Host;
  int Port = 443;
  std::string Target = "/";
};

TURL ParseURL(const std::string& URL) {
  TURL U;
  std::string_view Rest = URL;
  if (Rest.starts_with("https://")) {
    Rest.remove_prefix(8);
  } else if (Rest.starts_with("http://")) {
    Rest.remove_prefix(7);
    U.Https = false;
    U.Port = 80;
  } else {
    throw rtl::Exception("SimBrowser: \"" + URL + "\" is not an http or https URL");
  }
  const auto End = Rest.find_first_of("/?");
  std::string_view Authority = Rest.substr(0, End);
  if (End != std::string_view::npos) {
    U.Target = std::string(Rest.substr(End));
    if (U.Target.front() == '?') U.Target.insert(0, "/");
  }
  const auto Colon = Authority.rfind(':');
  if (Colon != std::string_view::npos && Authority.find(']', Colon) == std::string_view::npos) {
    U.Port = std::stoi(std::string(Authority.substr(Colon + 1)));
    Authority = Authority.substr(0, Colon);
  }
  if (Authority.size() > 1 && Authority.front() == '[')
    Authority = Authority.substr(1, Authority.size() - 2);
  U.Host = std::string(Authority);
  if (U.Host.empty()) throw rtl::Exception("SimBrowser: \"" + URL + "\" names no host");
  return U;
}

// A store holding the given CA certificates; the client that receives it owns it.
X509_STORE* NewStore(const std::string& Pem) {
  std::unique_ptr<X509_STORE, TStoreFree> Store(X509_STORE_new());
  std::unique_ptr<BIO, TBioFree> Bio(BIO_new_mem_buf(Pem.data(), static_cast<int>(Pem.size())));
  if (!Store || !Bio) throw rtl::Exception("SimBrowser: out of memory");
  while (true) {
    std::unique_ptr<X509, TX509Free> Cert(PEM_read_bio_X509(Bio.get(), nullptr, nullptr, nullptr));
    if (!Cert) break;
    X509_STORE_add_cert(Store.get(), Cert.get());
  }
  return Store.release();
}

}  // namespace

std::string TBrowserResponse::Header(const std::string& Name) const {
  for (const auto& [N, V] : Headers)
    if (rtl::SameText(N, Name)) return V;
  return {};
}

SimBrowser::SimBrowser(std::string CACertificatePEM)
    : FCACertificatePEM(std::move(CACertificatePEM)) {}

SimBrowser::SimBrowser(const sim::Simulator& Sim) : SimBrowser(Sim.CACertificatePEM()) {}

TBrowserResponse SimBrowser::Get(const std::string& URL) {
  return Send("GET", URL, {});
}

TBrowserResponse SimBrowser::PostForm(
    const std::string& URL, const std::vector<std::pair<std::string, std::string>>& Fields) {
  std::string Body;
  for (const auto& [Name, Value] : Fields) {
    if (!Body.empty()) Body += '&';
    Body += IWZelkAuthBase::URLEncode(Name) + "=" + IWZelkAuthBase::URLEncode(Value);
  }
  return Send("POST", URL, Body);
}

TBrowserResponse SimBrowser::Send(const std::string& Method, const std::string& URL,
                                  const std::string& Body) {
  const TURL U = ParseURL(URL);
  std::unique_ptr<httplib::ClientImpl> Client;
  if (U.Https) {
    auto Ssl = std::make_unique<httplib::SSLClient>(U.Host, U.Port);
    Ssl->enable_server_certificate_verification(true);
    Ssl->set_ca_cert_store(NewStore(FCACertificatePEM));
    Client = std::move(Ssl);
  } else {
    Client = std::make_unique<httplib::ClientImpl>(U.Host, U.Port);
  }
  Client->set_follow_location(false);
  Client->set_connection_timeout(5, 0);
  Client->set_read_timeout(10, 0);
  httplib::Result R = Method == "GET"
                          ? Client->Get(U.Target)
                          : Client->Post(U.Target, Body, "application/x-www-form-urlencoded");
  if (!R)
    throw rtl::Exception("SimBrowser: " + Method + " " + URL +
                         " failed: " + httplib::to_string(R.error()));
  TBrowserResponse Response;
  Response.Status = R->status;
  Response.Body = R->body;
  Response.Location = R->get_header_value("Location");
  for (const auto& [Name, Value] : R->headers)
    Response.Headers.emplace_back(Name, Value);
  return Response;
}

}  // namespace zelk::testing
