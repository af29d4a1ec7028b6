// The test browser speaks HTTP/1.1 over its own socket (and OpenSSL for https) instead of an
// HTTP client library: cpp-httplib's client percent-decodes header values, and a consent page's
// Location ("...?code=4%2Fab&state=...") must reach the test exactly as the server sent it.
#include "support/SimBrowser.h"

#include <netdb.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <memory>

#include "core/IWZelkAuthBase.h"
#include "platform/rtl/SysUtils.h"
#include "sim/Simulator.h"
#include "support/UniqueFd.h"

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
struct TCtxFree {
  void operator()(SSL_CTX* C) const noexcept { SSL_CTX_free(C); }
};
struct TSslFree {
  void operator()(SSL* S) const noexcept { SSL_free(S); }
};
struct TAddrFree {
  void operator()(addrinfo* A) const noexcept { freeaddrinfo(A); }
};

struct TURL {
  bool Https = true;
  std::string Host;
  int Port = 443;
  std::string Authority;  // as written in the URL: the Host header
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
  const auto End = Rest.find_first_of("/?#");
  std::string_view Authority = Rest.substr(0, End);
  U.Authority = std::string(Authority);
  if (End != std::string_view::npos) {
    U.Target = std::string(Rest.substr(End));
    U.Target = U.Target.substr(0, U.Target.find('#'));
    if (U.Target.empty() || U.Target.front() != '/') U.Target.insert(0, "/");
  }
  const auto Colon = Authority.rfind(':');
  if (Colon != std::string_view::npos && Authority.find(']', Colon) == std::string_view::npos) {
    const std::string Port(Authority.substr(Colon + 1));
    if (Port.empty() || Port.find_first_not_of("0123456789") != std::string::npos)
      throw rtl::Exception("SimBrowser: \"" + URL + "\" has a malformed port");
    U.Port = std::stoi(Port);
    Authority = Authority.substr(0, Colon);
  }
  if (Authority.size() > 2 && Authority.front() == '[')
    Authority = Authority.substr(1, Authority.size() - 2);
  U.Host = std::string(Authority);
  if (U.Host.empty()) throw rtl::Exception("SimBrowser: \"" + URL + "\" names no host");
  return U;
}

// Connects to a loopback address of Host: the browser talks to local servers only.
TUniqueFd Connect(const TURL& U) {
  addrinfo Hints{};
  Hints.ai_family = AF_UNSPEC;
  Hints.ai_socktype = SOCK_STREAM;
  Hints.ai_flags = AI_NUMERICSERV;
  addrinfo* Found = nullptr;
  if (U.Host != "localhost" &&
      U.Host.find_first_not_of("0123456789.:abcdefABCDEF") != std::string::npos)
    throw std::runtime_error("only loopback hosts are served");
  if (::getaddrinfo(U.Host.c_str(), std::to_string(U.Port).c_str(), &Hints, &Found) != 0)
    throw std::runtime_error("cannot resolve " + U.Host);
  const std::unique_ptr<addrinfo, TAddrFree> List(Found);
  for (const addrinfo* A = Found; A != nullptr; A = A->ai_next) {
    const bool Loopback =
        (A->ai_family == AF_INET &&
         (ntohl(reinterpret_cast<const sockaddr_in*>(A->ai_addr)->sin_addr.s_addr) >> 24) == 127) ||
        (A->ai_family == AF_INET6 &&
         IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6*>(A->ai_addr)->sin6_addr));
    if (!Loopback) continue;
    TUniqueFd S(::socket(A->ai_family, A->ai_socktype | SOCK_CLOEXEC, A->ai_protocol));
    if (S.Get() < 0) continue;
    // Generous: under the sanitizers, on a loaded machine, fifty flows at once may each wait
    // for their turn at the simulator's TLS listeners; a server that never answers still fails.
    const timeval Limit{30, 0};
    ::setsockopt(S.Get(), SOL_SOCKET, SO_RCVTIMEO, &Limit, sizeof Limit);
    ::setsockopt(S.Get(), SOL_SOCKET, SO_SNDTIMEO, &Limit, sizeof Limit);
    if (::connect(S.Get(), A->ai_addr, A->ai_addrlen) == 0) return S;
  }
  throw std::runtime_error("cannot connect to " + U.Host + " port " + std::to_string(U.Port));
}

std::string OpenSSLError() {
  std::string Text;
  while (const unsigned long E = ERR_get_error()) {
    char Buffer[256];
    ERR_error_string_n(E, Buffer, sizeof Buffer);
    Text = Buffer;
  }
  return Text;
}

// A TLS client context trusting exactly the certificates of Pem.
std::unique_ptr<SSL_CTX, TCtxFree> ClientContext(const std::string& Pem) {
  std::unique_ptr<SSL_CTX, TCtxFree> Ctx(SSL_CTX_new(TLS_client_method()));
  std::unique_ptr<X509_STORE, TStoreFree> Store(X509_STORE_new());
  std::unique_ptr<BIO, TBioFree> Bio(BIO_new_mem_buf(Pem.data(), static_cast<int>(Pem.size())));
  if (!Ctx || !Store || !Bio) throw std::runtime_error("out of memory");
  while (std::unique_ptr<X509, TX509Free> Cert{
      PEM_read_bio_X509(Bio.get(), nullptr, nullptr, nullptr)})
    X509_STORE_add_cert(Store.get(), Cert.get());
  ERR_clear_error();
  SSL_CTX_set_cert_store(Ctx.get(), Store.release());
  SSL_CTX_set_verify(Ctx.get(), SSL_VERIFY_PEER, nullptr);
  SSL_CTX_set_min_proto_version(Ctx.get(), TLS1_2_VERSION);
  return Ctx;
}

std::string Dechunk(std::string_view Data) {
  std::string Body;
  for (;;) {
    const auto LineEnd = Data.find("\r\n");
    if (LineEnd == std::string_view::npos) throw std::runtime_error("chunked body cut short");
    const std::size_t Size = std::stoul(std::string(Data.substr(0, LineEnd)), nullptr, 16);
    Data.remove_prefix(LineEnd + 2);
    if (Size == 0) return Body;
    if (Data.size() < Size + 2) throw std::runtime_error("chunked body cut short");
    Body.append(Data.substr(0, Size));
    Data.remove_prefix(Size + 2);
  }
}

TBrowserResponse ParseResponse(const std::string& Raw) {
  const auto HeadEnd = Raw.find("\r\n\r\n");
  if (HeadEnd == std::string::npos) throw std::runtime_error("no complete response head");
  const std::string_view Head(Raw.data(), HeadEnd + 2);
  TBrowserResponse R;
  const auto FirstBlank = Head.find(' ');
  if (!Head.starts_with("HTTP/") || FirstBlank == std::string_view::npos)
    throw std::runtime_error("malformed status line");
  R.Status = std::atoi(std::string(Head.substr(FirstBlank + 1, 3)).c_str());
  for (auto Pos = Head.find("\r\n") + 2; Pos < Head.size();) {
    const auto End = Head.find("\r\n", Pos);
    const std::string_view Line = Head.substr(Pos, End - Pos);
    Pos = End + 2;
    const auto Colon = Line.find(':');
    if (Colon == std::string_view::npos) continue;
    std::string_view Value = Line.substr(Colon + 1);
    while (!Value.empty() && (Value.front() == ' ' || Value.front() == '\t'))
      Value.remove_prefix(1);
    while (!Value.empty() && (Value.back() == ' ' || Value.back() == '\t'))
      Value.remove_suffix(1);
    R.Headers.emplace_back(std::string(Line.substr(0, Colon)), std::string(Value));
  }
  R.Location = R.Header("Location");
  const std::string_view Rest = std::string_view(Raw).substr(HeadEnd + 4);
  if (R.Header("Transfer-Encoding").find("chunked") != std::string::npos) {
    R.Body = Dechunk(Rest);
  } else if (const std::string Length = R.Header("Content-Length"); !Length.empty()) {
    const std::size_t N = std::stoul(Length);
    if (Rest.size() < N) throw std::runtime_error("body cut short");
    R.Body = std::string(Rest.substr(0, N));
  } else {
    R.Body = std::string(Rest);
  }
  return R;
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

void SimBrowser::SetHeader(const std::string& Name, const std::string& Value) {
  std::erase_if(FHeaders, [&](const auto& H) { return rtl::SameText(H.first, Name); });
  if (!Value.empty()) FHeaders.emplace_back(Name, Value);
}

TBrowserResponse SimBrowser::Send(const std::string& Method, const std::string& URL,
                                  const std::string& Body) {
  const TURL U = ParseURL(URL);
  try {
    std::string Request = Method + " " + U.Target + " HTTP/1.1\r\nHost: " + U.Authority +
                          "\r\nUser-Agent: zelk-test-browser\r\nAccept: */*\r\n"
                          "Connection: close\r\n";
    for (const auto& [Name, Value] : FHeaders)
      Request += Name + ": " + Value + "\r\n";
    if (Method == "POST")
      Request += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                 std::to_string(Body.size()) + "\r\n";
    Request += "\r\n" + Body;

    TUniqueFd Socket = Connect(U);
    std::unique_ptr<SSL_CTX, TCtxFree> Ctx;
    std::unique_ptr<SSL, TSslFree> Ssl;
    if (U.Https) {
      Ctx = ClientContext(FCACertificatePEM);
      Ssl.reset(SSL_new(Ctx.get()));
      if (!Ssl || SSL_set_fd(Ssl.get(), Socket.Get()) != 1)
        throw std::runtime_error("cannot set up TLS");
      // The certificate must name the host as the URL does: an address or a DNS name.
      X509_VERIFY_PARAM* Param = SSL_get0_param(Ssl.get());
      if (X509_VERIFY_PARAM_set1_ip_asc(Param, U.Host.c_str()) != 1) {
        ERR_clear_error();
        SSL_set_tlsext_host_name(Ssl.get(), U.Host.c_str());
        X509_VERIFY_PARAM_set1_host(Param, U.Host.c_str(), 0);
      }
      if (SSL_connect(Ssl.get()) != 1) {
        const long Verify = SSL_get_verify_result(Ssl.get());
        const std::string Detail = OpenSSLError();
        throw std::runtime_error(Verify != X509_V_OK ? std::string("certificate refused: ") +
                                                           X509_verify_cert_error_string(Verify)
                                                     : "TLS handshake failed: " + Detail);
      }
    }
    auto Write = [&](const char* Data, std::size_t Size) {
      return Ssl ? SSL_write(Ssl.get(), Data, static_cast<int>(Size))
                 : static_cast<int>(::send(Socket.Get(), Data, Size, MSG_NOSIGNAL));
    };
    for (std::size_t Done = 0; Done < Request.size();) {
      const int N = Write(Request.data() + Done, Request.size() - Done);
      if (N <= 0) throw std::runtime_error("sending the request failed");
      Done += static_cast<std::size_t>(N);
    }
    std::string Raw;
    char Buffer[16384];
    for (;;) {
      const int N = Ssl ? SSL_read(Ssl.get(), Buffer, sizeof Buffer)
                        : static_cast<int>(::recv(Socket.Get(), Buffer, sizeof Buffer, 0));
      if (N <= 0) break;  // the end of the reply, or a cut that parsing will notice
      Raw.append(Buffer, static_cast<std::size_t>(N));
    }
    ERR_clear_error();
    return ParseResponse(Raw);
  } catch (const std::exception& E) {
    throw rtl::Exception("SimBrowser: " + Method + " " + URL + " failed: " + E.what());
  }
}

}  // namespace zelk::testing
