// A form holding all six component classes: what is stored, what is omitted, the round trip,
// and the designing state of designed, loaded and run-time-created components.
#include <gtest/gtest.h>

#include "design/IWZelkAuthReg.h"
#include "payments/IWPayPalClient.h"
#include "platform/rtl/FormFile.h"
#include "providers/IWFacebookAuthClient.h"
#include "providers/IWGAuthClient.h"
#include "providers/IWTwitterAuthClient.h"
#include "providers/IWWindowsLiveAuthClient.h"

namespace zelk {
namespace {

using IWZelkAuthBase::TZIWAuthServerController;

struct SixClasses : ::testing::Test {
  void SetUp() override {
    IWZelkAuthReg::RegisterClasses();
    IWZelkAuthBase::SetClock([] {
      return std::chrono::system_clock::time_point(std::chrono::seconds(1796601600));  // 2026-12-07
    });
  }
  void TearDown() override { IWZelkAuthBase::SetClock({}); }

  // A form as a developer would set it up at run time, every class once.
  void Populate(rtl::TComponent* Form) {
    auto* Auth = new TZIWAuthServerController(Form);
    Auth->SetName("Auth");
    auto* Live = new IWWindowsLiveAuthClient::TZIWWindowsLiveAuthClient(Form);
    Live->SetName("Live");
    Live->SetServerController(Auth);
    auto* Facebook = new IWFacebookAuthClient::TZIWFacebookAuthClient(Form);
    Facebook->SetName("Facebook");
    Facebook->App()->SetID("fb-app");
    Facebook->SetScopes({IWFacebookAuthClient::fbEmail});
    auto* Twitter = new IWTwitterAuthClient::TZIWTwitterAuthClient(Form);
    Twitter->SetName("Twitter");
    Twitter->App()->SetSecret("consumer-secret");
    auto* Google = new IWGAuthClient::TZIWGAuthClient(Form);
    Google->SetName("Google");
    auto* PayPal = new IWPayPalClient::TZIWPayPalClient(Form);
    PayPal->SetName("PayPal");
    PayPal->SetServerController(Auth);
    PayPal->Transactions()->Add()->SetName("Book");
    auto* Line = PayPal->Transactions()->Add();
    Line->SetQuantity(3);
    Line->SetNumber(7);
    Line->SetPrice(2.5);
  }
};

TEST_F(SixClasses, StoredDefaultsDecideWhatIsWritten) {
  rtl::TComponent Form(nullptr);
  Populate(&Form);
  const auto J = rtl::WriteFormJSON(&Form);
  ASSERT_EQ(J["components"].size(), 6u);
  auto Props = [&](const char* Name) {
    for (const auto& C : J["components"])
      if (C["name"] == Name) return C["properties"];
    ADD_FAILURE() << Name;
    return nlohmann::json();
  };
  // An empty App.ID is not written; Scopes always is; an unset controller is not.
  EXPECT_EQ(Props("Google"), nlohmann::json::parse(R"({"Scopes": []})"));
  EXPECT_EQ(Props("Facebook"),
            nlohmann::json::parse(R"({"App": {"ID": "fb-app"}, "Scopes": ["fbEmail"]})"));
  EXPECT_EQ(Props("Twitter"), nlohmann::json::parse(R"({"App": {"Secret": "consumer-secret"}})"));
  EXPECT_EQ(Props("Live")["ServerController"], "Auth");
  EXPECT_FALSE(Props("Live").contains("StandaloneRedirectURL"));
  // ServerType only when not stSandBox; Quantity only when not 1; Number only when not -1;
  // the card's expiry always.
  const auto P = Props("PayPal");
  EXPECT_FALSE(P.contains("ServerType"));
  EXPECT_EQ(P["CreditCard"]["ExpirationYear"], 2026);
  EXPECT_EQ(P["CreditCard"]["ExpirationMonth"], 12);
  EXPECT_FALSE(P["CreditCard"].contains("CardType"));
  ASSERT_EQ(P["Transactions"].size(), 2u);
  EXPECT_EQ(P["Transactions"][0], nlohmann::json::parse(R"({"Name": "Book"})"));
  EXPECT_EQ(P["Transactions"][1]["Quantity"], 3);
  EXPECT_EQ(P["Transactions"][1]["Number"], 7);
  EXPECT_FALSE(Props("Auth").contains("Clients"));
}

TEST_F(SixClasses, RoundTripGivesTheSameFileAndRebuildsTheRegistry) {
  rtl::TComponent Form(nullptr);
  Populate(&Form);
  const std::string First = rtl::WriteForm(&Form);
  rtl::TComponent Loaded(nullptr);
  rtl::ReadForm(&Loaded, First, "six.json");
  EXPECT_EQ(rtl::WriteForm(&Loaded), First);
  auto* Auth = dynamic_cast<TZIWAuthServerController*>(Loaded.FindComponent("Auth"));
  ASSERT_NE(Auth, nullptr);
  EXPECT_EQ(Auth->Clients()->Count(), 2);  // Live and PayPal, entered through the writer
  auto* PayPal = dynamic_cast<IWPayPalClient::TZIWPayPalClient*>(Loaded.FindComponent("PayPal"));
  ASSERT_NE(PayPal, nullptr);
  EXPECT_EQ(PayPal->Transactions()->Items(1)->Price(), 2.5);
  EXPECT_EQ(PayPal->ServerType(), IWPayPalClient::stSandBox);
}

TEST_F(SixClasses, DesignTimeForDesignedLoadedAndRunTimeComponents) {
  rtl::TComponent Designer(nullptr);
  Designer.SetDesigning(true);
  Populate(&Designer);
  for (int I = 0; I < Designer.ComponentCount(); ++I) {
    auto* C = Designer.Components(I);
    if (auto* Client = dynamic_cast<IWZelkAuthBase::TZIWCustomCloudClient*>(C))
      EXPECT_TRUE(Client->DesignTime()) << C->Name();
    else
      EXPECT_TRUE(dynamic_cast<TZIWAuthServerController*>(C)->DesignTime());
  }
  const std::string Text = rtl::WriteForm(&Designer);
  rtl::TComponent Loading(nullptr);
  Loading.SetDesigning(true);  // a designer opening a stored form
  rtl::ReadForm(&Loading, Text, "designed.json");
  rtl::TComponent RunTime(nullptr);
  rtl::ReadForm(&RunTime, Text, "designed.json");
  for (rtl::TComponent* Form : {&Loading, &RunTime})
    for (int I = 0; I < Form->ComponentCount(); ++I) {
      auto* C = Form->Components(I);
      if (auto* Client = dynamic_cast<IWZelkAuthBase::TZIWCustomCloudClient*>(C))
        EXPECT_FALSE(Client->DesignTime()) << C->Name();
      else
        EXPECT_FALSE(dynamic_cast<TZIWAuthServerController*>(C)->DesignTime());
    }
  IWGAuthClient::TZIWGAuthClient Plain(nullptr);
  EXPECT_FALSE(Plain.DesignTime());
}

}  // namespace
}  // namespace zelk
