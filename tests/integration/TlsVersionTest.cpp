// The transport speaks TLS 1.2 or newer only: a provider that offers nothing newer than TLS 1.1
// or 1.0 fails the call at its first step, the one that connects. A plain OpenSSL client that
// accepts the old versions completes a handshake with the same listener, so the failure comes
// from the transport's minimum and not from a listener that cannot talk at all.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <memory>

#include "support/SimulatorFixture.h"
#include "support/UniqueFd.h"

namespace zelk {
namespace {

using sim::TProviderId;
using sim::TTlsVersion;

struct TSslCtxFree {
  void operator()(SSL_CTX* C) const noexcept { SSL_CTX_free(C); }
};
struct TSslFree {
  void operator()(SSL* S) const noexcept { SSL_free(S); }
};

// Completes a handshake with 127.0.0.1:Port as a client that accepts TLS 1.0 to 1.3 at the
// lowest security level, and gives the version agreed on (0 when the handshake failed).
int HandshakeVersion(int Port) {
  testing::TUniqueFd Socket(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in Address{};
  Address.sin_family = AF_INET;
  Address.sin_port = htons(static_cast<std::uint16_t>(Port));
  Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(Socket.Get(), reinterpret_cast<sockaddr*>(&Address), sizeof Address) != 0) return 0;
  std::unique_ptr<SSL_CTX, TSslCtxFree> Context(SSL_CTX_new(TLS_client_method()));
  if (!Context || SSL_CTX_set_min_proto_version(Context.get(), TLS1_VERSION) != 1 ||
      SSL_CTX_set_cipher_list(Context.get(), "DEFAULT:@SECLEVEL=0") != 1)
    return 0;
  std::unique_ptr<SSL, TSslFree> Ssl(SSL_new(Context.get()));
  if (!Ssl || SSL_set_fd(Ssl.get(), Socket.Get()) != 1 || SSL_connect(Ssl.get()) != 1) return 0;
  const int Version = SSL_version(Ssl.get());
  SSL_shutdown(Ssl.get());
  return Version;
}

class TlsVersion : public testing::SimulatorFixture {
 protected:
  // Restarts the simulator with the Google listener limited to Min..Max.
  void RestartGoogle(TTlsVersion Min, TTlsVersion Max) {
    Sim.Stop();
    Sim.SetTlsVersions(TProviderId::Google, Min, Max);
    Sim.Start();
    Sim.UseForThisProcess();
  }
};

TEST_F(TlsVersion, CallsFailAtTheHandshakeBelowTls12) {
  struct TCase {
    const char* Name;
    TTlsVersion Min, Max;
    int Agreed;  // what a client accepting every version gets
    bool CallSucceeds;
  };
  const TCase Cases[] = {
      {"TLS 1.1 only", TTlsVersion::Tls1_1, TTlsVersion::Tls1_1, TLS1_1_VERSION, false},
      {"TLS 1.0 only", TTlsVersion::Tls1_0, TTlsVersion::Tls1_0, TLS1_VERSION, false},
      {"TLS 1.0 to 1.2", TTlsVersion::Tls1_0, TTlsVersion::Tls1_2, TLS1_2_VERSION, true},
      {"TLS 1.2 only", TTlsVersion::Tls1_2, TTlsVersion::Tls1_2, TLS1_2_VERSION, true},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    RestartGoogle(C.Min, C.Max);
    EXPECT_EQ(HandshakeVersion(Sim.Port(TProviderId::Google)), C.Agreed);

    std::string Body = "untouched";
    try {
      IWZelkAuthBase::Https_Get(Sim.HostFor(TProviderId::Google), "/o/oauth2/auth", Body);
      EXPECT_TRUE(C.CallSucceeds) << "the call succeeded";
      EXPECT_NE(Body, "untouched");
    } catch (const rtl::Exception& E) {
      EXPECT_FALSE(C.CallSucceeds) << E.Message();
      // The TLS handshake belongs to the first step that reaches the provider.
      EXPECT_TRUE(E.Message().starts_with("HttpSendRequest Error 35 Description ")) << E.Message();
      EXPECT_GT(E.Message().size(), std::string("HttpSendRequest Error 35 Description ").size());
      EXPECT_EQ(Body, "");
    }
  }
  // The other listeners kept the usual versions.
  EXPECT_EQ(HandshakeVersion(Sim.Port(TProviderId::Facebook)), TLS1_3_VERSION);
}

TEST_F(TlsVersion, AnInvertedRangeIsRefused) {
  EXPECT_THROW(Sim.SetTlsVersions(TProviderId::Twitter, TTlsVersion::Tls1_3, TTlsVersion::Tls1_1),
               rtl::Exception);
}

}  // namespace
}  // namespace zelk
