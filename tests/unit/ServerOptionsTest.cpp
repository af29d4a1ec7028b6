// The server's options are the engine's plus its own: the server's defaults where they differ,
// and every check of the constructor, the in-memory certificate's included.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

#include "platform/web/server/IWServer.h"

namespace zelk::web {
namespace {

TEST(ServerOptions, TheServersDefaultsOverTheEngines) {
  const TIWServerOptions O;
  EXPECT_EQ(O.Port, 8080);  // the engine's own default is a free port
  EXPECT_EQ(engine::TEngineOptions().Port, 0);
  EXPECT_EQ(O.BindAddress, "127.0.0.1");
  EXPECT_EQ(O.MaxBodyBytes, std::size_t{1} << 20);
  EXPECT_EQ(O.MaxHeaderBytes, 16384u);
  EXPECT_EQ(O.WorkerCount, 256);
}

TEST(ServerOptions, AnInMemoryCertificateNeedsItsKey) {
  TIWServerControllerBase Controller(nullptr);
  const std::unique_ptr<X509, decltype(&X509_free)> Certificate(X509_new(), X509_free);
  const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> Key(EVP_PKEY_new(), EVP_PKEY_free);
  const auto Message = [&](X509* C, EVP_PKEY* K) -> std::string {
    TIWServerOptions O;
    O.Port = 0;
    O.Certificate = C;
    O.PrivateKey = K;
    try {
      TIWServer Server(Controller, O);
    } catch (const rtl::Exception& X) {
      return X.Message();
    }
    return "accepted";
  };
  EXPECT_EQ(Message(Certificate.get(), nullptr),
            "TIWServer: invalid option: Certificate and PrivateKey go together");
  EXPECT_EQ(Message(nullptr, Key.get()),
            "TIWServer: invalid option: Certificate and PrivateKey go together");
  EXPECT_EQ(Message(Certificate.get(), Key.get()), "accepted");
  EXPECT_EQ(Message(nullptr, nullptr), "accepted");
}

}  // namespace
}  // namespace zelk::web
