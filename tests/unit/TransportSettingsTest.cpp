// Process-wide transport settings and the shared trust store behind them.
#include <gtest/gtest.h>

#include <openssl/x509.h>

#include <cstdio>
#include <fstream>

#include "core/IWZelkAuthBase.h"
#include "core/TransportDetail.h"
#include "sim/Certificates.h"

namespace zelk::IWZelkAuthBase {
namespace {

using namespace std::chrono_literals;

class TransportSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { FSaved = TransportSettings(); }
  void TearDown() override {
    SetTransportSettings(FSaved);
    for (const auto& F : FFiles)
      std::remove(F.c_str());
  }
  std::string TempFile(const std::string& Text) {
    std::string Name = ::testing::TempDir() + "zelk-ca-" +
                       ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                       std::to_string(FFiles.size()) + ".pem";
    std::ofstream(Name, std::ios::binary) << Text;
    FFiles.push_back(Name);
    return Name;
  }
  static std::string MessageOf(const std::function<void()>& F) {
    try {
      F();
    } catch (const rtl::Exception& E) {
      return E.Message();
    }
    return "no exception";
  }

  TTransportSettings FSaved;
  std::vector<std::string> FFiles;
};

TEST_F(TransportSettingsTest, DefaultsMatchTheServiceTheyReplace) {
  const TTransportSettings D;
  EXPECT_EQ(D.ConnectTimeout, 60000ms);
  EXPECT_EQ(D.StallTimeout, 30000ms);
  EXPECT_EQ(D.TotalTimeout, 60000ms);
  EXPECT_EQ(D.MaxBodyBytes, 1024u * 1024);
  EXPECT_EQ(D.ProxyURL, "");
  EXPECT_EQ(D.ExtraCACertificates, "");
}

TEST_F(TransportSettingsTest, ChangedSettingsAreReadBack) {
  const auto Certs = sim::MakeCertificates({"localhost"}, {});
  TTransportSettings S;
  S.ConnectTimeout = 1500ms;
  S.StallTimeout = 250ms;
  S.TotalTimeout = 900ms;
  S.MaxBodyBytes = 1024;
  S.ProxyURL = "http://user:pw@127.0.0.1:3128";
  S.ExtraCACertificates = Certs.CAPem;
  SetTransportSettings(S);
  const TTransportSettings R = TransportSettings();
  EXPECT_EQ(R.ConnectTimeout, 1500ms);
  EXPECT_EQ(R.StallTimeout, 250ms);
  EXPECT_EQ(R.TotalTimeout, 900ms);
  EXPECT_EQ(R.MaxBodyBytes, 1024u);
  EXPECT_EQ(R.ProxyURL, "http://user:pw@127.0.0.1:3128");
  EXPECT_EQ(R.ExtraCACertificates, Certs.CAPem);
}

TEST_F(TransportSettingsTest, RefusedSettingsLeaveTheCurrentOnesInPlace) {
  TTransportSettings Good;
  Good.StallTimeout = 700ms;
  SetTransportSettings(Good);
  const std::string Missing = ::testing::TempDir() + "zelk-no-such-ca.pem";

  struct TCase {
    std::function<void(TTransportSettings&)> Change;
    std::string Message;
  };
  const TCase Cases[] = {
      {[](TTransportSettings& S) { S.ConnectTimeout = 0ms; },
       "Transport setting ConnectTimeout must be a positive number of milliseconds"},
      {[](TTransportSettings& S) { S.StallTimeout = -5ms; },
       "Transport setting StallTimeout must be a positive number of milliseconds"},
      {[](TTransportSettings& S) { S.TotalTimeout = 0ms; },
       "Transport setting TotalTimeout must be a positive number of milliseconds"},
      {[](TTransportSettings& S) { S.ProxyURL = "http://proxy\r\n:3128"; },
       "Transport setting ProxyURL contains a control character"},
      {[&](TTransportSettings& S) { S.ExtraCACertificates = Missing; },
       "Extra CA certificates: cannot open file \"" + Missing + "\""},
  };
  for (const auto& C : Cases) {
    TTransportSettings S = Good;
    C.Change(S);
    EXPECT_EQ(MessageOf([&] { SetTransportSettings(S); }), C.Message);
    EXPECT_EQ(TransportSettings().StallTimeout, 700ms);
    EXPECT_EQ(TransportSettings().ExtraCACertificates, "");
  }
}

TEST_F(TransportSettingsTest, ExtraCertificatesComeAsPemTextOrFile) {
  const auto Certs = sim::MakeCertificates({"localhost"}, {});
  const auto Other = sim::MakeCertificates({"localhost"}, {});
  TTransportSettings S;
  S.ExtraCACertificates = Certs.CAPem + Other.CAPem;  // a bundle of two
  EXPECT_NO_THROW(SetTransportSettings(S));
  S.ExtraCACertificates = TempFile(Certs.CAPem);
  EXPECT_NO_THROW(SetTransportSettings(S));
  EXPECT_EQ(TransportSettings().ExtraCACertificates, S.ExtraCACertificates);
}

TEST_F(TransportSettingsTest, UnusableExtraCertificatesAreRefusedWithTheReason) {
  const auto Certs = sim::MakeCertificates({"localhost"}, {});
  std::string Damaged = Certs.CAPem;
  Damaged.replace(Damaged.find('\n') + 10, 8, "!!!!!!!!");
  const std::string NoCertificate = TempFile("just some text\n");

  TTransportSettings S;
  S.ExtraCACertificates = NoCertificate;
  EXPECT_TRUE(MessageOf([&] { SetTransportSettings(S); })
                  .starts_with("Extra CA certificates from file \"" + NoCertificate +
                               "\" hold no PEM certificate"));
  S.ExtraCACertificates = Damaged;
  EXPECT_TRUE(MessageOf([&] { SetTransportSettings(S); })
                  .starts_with("Extra CA certificates from the setting's PEM text hold no PEM "
                               "certificate"));
  // A good certificate followed by a damaged one is refused as a whole, not cut short.
  S.ExtraCACertificates = Certs.CAPem + Damaged;
  EXPECT_TRUE(MessageOf([&] { SetTransportSettings(S); })
                  .starts_with("Extra CA certificates from the setting's PEM text hold a damaged "
                               "certificate"));
  EXPECT_EQ(TransportSettings().ExtraCACertificates, FSaved.ExtraCACertificates);
}

TEST_F(TransportSettingsTest, TrustStoreIsBuiltOnlyWhenTheExtraCertificatesChange) {
  const auto Certs = sim::MakeCertificates({"localhost"}, {});
  TTransportSettings S;
  S.ExtraCACertificates = Certs.CAPem;
  SetTransportSettings(S);
  const auto Builds = detail::TrustStoreBuilds();
  S.StallTimeout = 1234ms;  // other settings do not touch the store
  SetTransportSettings(S);
  auto A = detail::AcquireTrustStore(Certs.CAPem);
  auto B = detail::AcquireTrustStore(Certs.CAPem);
  EXPECT_EQ(A.get(), B.get());
  EXPECT_EQ(detail::TrustStoreBuilds(), Builds);

  S.ExtraCACertificates = "";
  SetTransportSettings(S);
  EXPECT_EQ(detail::TrustStoreBuilds(), Builds + 1);
  // A store handed out earlier stays valid after the cache moved on.
  EXPECT_NE(detail::AcquireTrustStore("").get(), A.get());
  EXPECT_NE(X509_STORE_get0_objects(A.get()), nullptr);
}

}  // namespace
}  // namespace zelk::IWZelkAuthBase
