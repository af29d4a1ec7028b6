// The payment model: defaults, enumeration texts, hosts, the item total, the order lines and
// the class metadata.
#include <gtest/gtest.h>

#include <chrono>

#include "design/IWZelkAuthReg.h"
#include "platform/rtl/ClassRegistry.h"
#include "platform/rtl/FormFile.h"
#include "support/PayPalTestClient.h"

namespace zelk::IWPayPalClient {
namespace {

using testing::TTestPayPalClient;

// Fixes the clock seam for the lifetime of the object.
class TFixedClock {
 public:
  explicit TFixedClock(std::chrono::sys_days Day) {
    // Noon UTC: the same calendar day in every time zone the tests may run in.
    const auto At = std::chrono::system_clock::time_point(Day) + std::chrono::hours(12);
    IWZelkAuthBase::SetClock([At] { return At; });
  }
  ~TFixedClock() { IWZelkAuthBase::SetClock({}); }
};

TEST(PayPalModel, NewClientDefaults) {
  TTestPayPalClient C(nullptr);
  EXPECT_EQ(C.ServerType(), stSandBox);
  EXPECT_EQ(C.GetCurrency(), "USD");
  EXPECT_EQ(C.GetCreditCardType(), "Visa");
  EXPECT_EQ(C.Transactions()->Count(), 0);
  EXPECT_EQ(C.GetTotalPaymentAmount(), 0);
  EXPECT_EQ(C.LoginResult(), IWZelkAuthBase::resNone);
  EXPECT_EQ(C.LoginError(), "");
  EXPECT_EQ(C.ServerController(), nullptr);
  EXPECT_FALSE(C.OnPayPalPaymentOK());
  EXPECT_FALSE(C.OnPayPalCancel());
  EXPECT_FALSE(C.OnPayPalFailed());
  EXPECT_FALSE(C.OnPayPalUnknown());
  EXPECT_EQ(C.TransactionID(), "");
  EXPECT_EQ(C.Buyer()->Email() + C.Buyer()->FirstName() + C.Buyer()->Name() + C.Buyer()->Street() +
                C.Buyer()->Zip() + C.Buyer()->City() + C.Buyer()->CountryCode(),
            "");
  EXPECT_EQ(C.Seller()->UserName() + C.Seller()->Password() + C.Seller()->Signature(), "");
  EXPECT_EQ(C.CreditCard()->CardType(), ctVisa);
  EXPECT_EQ(C.CreditCard()->Number() + C.CreditCard()->VerificationCode(), "");
  EXPECT_EQ(C.Transaction()->Currency(), crUSD);
  EXPECT_EQ(C.Transaction()->Shipping() + C.Transaction()->Insurance() + C.Transaction()->Tax(), 0);
  EXPECT_EQ(C.Transactions()->GetOwner(), &C);
}

TEST(PayPalModel, CardExpiryDefaultsToTheLocalMonthAndYear) {
  using namespace std::chrono;
  {
    TFixedClock Clock(sys_days(year(2026) / December / 7));
    TIWPayPalCreditCard Card;
    EXPECT_EQ(Card.ExpirationMonth(), 12);
    EXPECT_EQ(Card.ExpirationYear(), 2026);
  }
  {
    TFixedClock Clock(sys_days(year(2031) / March / 15));
    TTestPayPalClient C(nullptr);
    EXPECT_EQ(C.CreditCard()->ExpirationMonth(), 3);
    EXPECT_EQ(C.CreditCard()->ExpirationYear(), 2031);
  }
}

TEST(PayPalModel, EnumerationTexts) {
  const std::pair<TIWCreditCardType, const char*> Cards[] = {{ctVisa, "Visa"},
                                                             {ctMasterCard, "MasterCard"},
                                                             {ctDiscover, "Discover"},
                                                             {ctAmericanExpress, "Amex"}};
  const std::pair<TIWCurrency, const char*> Currencies[] = {
      {crEUR, "EUR"}, {crUSD, "USD"}, {crAUD, "AUD"}, {crCAD, "CAD"}, {crGBP, "GBP"}};
  TTestPayPalClient C(nullptr);
  for (const auto& [Type, Text] : Cards) {
    C.CreditCard()->SetCardType(Type);
    EXPECT_EQ(C.GetCreditCardType(), Text);
    EXPECT_EQ(CreditCardTypeText(Type), Text);
  }
  for (const auto& [Currency, Text] : Currencies) {
    C.Transaction()->SetCurrency(Currency);
    EXPECT_EQ(C.GetCurrency(), Text);
    EXPECT_EQ(CurrencyText(Currency), Text);
  }
}

TEST(PayPalModel, GetServerFollowsServerTypeAndTheEndpointTable) {
  TTestPayPalClient C(nullptr);
  EXPECT_EQ(C.GetServer(), "api-3t.sandbox.paypal.com");
  C.SetServerType(stLive);
  EXPECT_EQ(C.GetServer(), "api-3t.paypal.com");
  IWZelkAuthBase::SetProviderHost(IWZelkAuthBase::phPayPalLiveNvp, "127.0.0.1:9443");
  EXPECT_EQ(C.GetServer(), "127.0.0.1:9443");
  C.SetServerType(stSandBox);
  EXPECT_EQ(C.GetServer(), "api-3t.sandbox.paypal.com");
  IWZelkAuthBase::ResetProviderHosts();
}

TEST(PayPalModel, ItemTotalIsQuantityTimesPriceSummedInOrder) {
  TTestPayPalClient C(nullptr);
  auto* A = C.Transactions()->Add();
  A->SetQuantity(2);
  A->SetPrice(10.5);
  auto* B = C.Transactions()->Add();
  B->SetPrice(4);
  C.Transaction()->SetShipping(5);  // not part of the item total
  C.Transaction()->SetTax(1);
  EXPECT_EQ(C.GetTotalPaymentAmount(), 25);
  B->SetQuantity(0);
  EXPECT_EQ(C.GetTotalPaymentAmount(), 21);
  A->SetQuantity(-1);  // no range checks: a negative line subtracts
  EXPECT_EQ(C.GetTotalPaymentAmount(), -10.5);
}

TEST(PayPalOrderLines, NewLineDefaultsAndDisplayNames) {
  TTestPayPalClient C(nullptr);
  TPayPalTransactions* L = C.Transactions();
  for (int I = 0; I < 3; ++I)
    L->Add();
  const TPayPalTransaction* First = L->Items(0);
  EXPECT_EQ(First->Quantity(), 1);
  EXPECT_EQ(First->Number(), -1);
  EXPECT_EQ(First->Price(), 0);
  EXPECT_EQ(First->Tag(), 0);
  EXPECT_EQ(First->Name(), "");
  EXPECT_EQ(First->Description(), "");
  EXPECT_EQ(L->Items(2)->DisplayName(), "Transaction 2");
  L->Delete(0);
  EXPECT_EQ(L->Items(0)->DisplayName(), "Transaction 0");
  EXPECT_EQ(L->Items(1)->DisplayName(), "Transaction 1");
  L->Items(1)->SetName("Book");
  EXPECT_EQ(L->Items(1)->DisplayName(), "Book");
  L->Insert(0);
  EXPECT_EQ(L->Items(2)->DisplayName(), "Book");
  EXPECT_EQ(L->Items(1)->DisplayName(), "Transaction 1");
  EXPECT_EQ(L->Items(0)->GetOwner(), L);
  EXPECT_THROW(L->Items(3), rtl::EListError);
  EXPECT_THROW(L->Insert(5), rtl::EListError);
}

TEST(PayPalOrderLines, AssignCopiesEveryFieldFromALineOnly) {
  TTestPayPalClient C(nullptr);
  auto* Source = C.Transactions()->Add();
  Source->SetDescription("Blue");
  Source->SetNumber(7);
  Source->SetPrice(10.5);
  Source->SetQuantity(3);
  Source->SetName("Book");
  Source->SetTag(42);
  auto* Target = C.Transactions()->Add();
  Target->Assign(Source);
  EXPECT_EQ(Target->Description(), "Blue");
  EXPECT_EQ(Target->Number(), 7);
  EXPECT_EQ(Target->Price(), 10.5);
  EXPECT_EQ(Target->Quantity(), 3);
  EXPECT_EQ(Target->Name(), "Book");
  EXPECT_EQ(Target->Tag(), 42);
  EXPECT_EQ(Target->Index(), 1);  // still its own line

  // Any other source, none included, leaves the line as it was and raises nothing.
  auto* Other = C.Transactions()->Add();
  Other->SetName("Pen");
  EXPECT_NO_THROW(Other->Assign(C.Buyer()));
  EXPECT_NO_THROW(Other->Assign(nullptr));
  EXPECT_EQ(Other->Name(), "Pen");
  EXPECT_EQ(Other->Quantity(), 1);

  // The indexed writer copies through Assign; a whole collection copies line by line.
  C.Transactions()->SetItems(2, Source);
  EXPECT_EQ(C.Transactions()->Items(2)->Name(), "Book");
  TTestPayPalClient D(nullptr);
  D.Transactions()->Add();
  D.Transactions()->Assign(C.Transactions());
  ASSERT_EQ(D.Transactions()->Count(), 3);
  EXPECT_EQ(D.Transactions()->Items(1)->Description(), "Blue");
  EXPECT_EQ(D.Transactions()->Items(1)->Tag(), 42);
  EXPECT_EQ(D.GetTotalPaymentAmount(), C.GetTotalPaymentAmount());
}

TEST(PayPalMetadata, PublishedPropertiesInDesignerOrderWithDefaults) {
  IWZelkAuthReg::RegisterClasses();
  // FindClass returns a copy: keep it alive while walking its properties.
  auto Props = [](const std::string& Class) {
    auto Info = rtl::TClassRegistry::FindClass(Class);
    EXPECT_TRUE(Info.has_value()) << Class;
    return Info ? Info->Properties : std::vector<rtl::TPropertyInfo>{};
  };
  auto Names = [&](const std::string& Class) {
    std::vector<std::string> R;
    for (const auto& P : Props(Class))
      R.push_back(P.Name);
    return R;
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(Names("TZIWPayPalClient"),
            (V{"Buyer", "CreditCard", "Seller", "ServerType", "Api", "Transaction", "Transactions",
               "OnPayPalCancel", "OnPayPalFailed", "OnPayPalPaymentOK", "OnPayPalUnknown"}));
  EXPECT_EQ(Names("TIWPayPalSeller"),
            (V{"UserName", "Password", "Signature", "ClientID", "ClientSecret"}));
  EXPECT_EQ(Names("TIWPayPalCreditCard"),
            (V{"Number", "CardType", "VerificationCode", "ExpirationMonth", "ExpirationYear"}));
  EXPECT_EQ(Names("TIWPayPalTransaction"), (V{"Currency", "Shipping", "Insurance", "Tax"}));
  EXPECT_EQ(Names("TPayPalTransaction"),
            (V{"Description", "Price", "Number", "Quantity", "Name", "Tag"}));

  // Defaults as stored, and the accessors reach the live object.
  TTestPayPalClient C(nullptr);
  for (const auto& P : Props("TZIWPayPalClient")) {
    if (P.Name == "ServerType") {
      EXPECT_EQ(*P.Default, "stSandBox");
      P.Set(&C, "stLive");
      EXPECT_EQ(C.ServerType(), stLive);
      EXPECT_EQ(P.Get(&C), "stLive");
      EXPECT_THROW(P.Set(&C, "stMoon"), rtl::Exception);
    } else if (P.Name == "Transactions") {
      EXPECT_EQ(P.Object(&C), C.Transactions());
    }
  }
  for (const auto& P : Props("TIWPayPalCreditCard")) {
    if (P.Name.starts_with("Expiration")) {
      EXPECT_FALSE(P.Default.has_value()) << P.Name;
    }
  }
  for (const auto& P : Props("TPayPalTransaction")) {
    if (P.Name == "Quantity") {
      EXPECT_EQ(*P.Default, 1);
    } else if (P.Name == "Number") {
      EXPECT_EQ(*P.Default, -1);
    }
  }
  auto* Made = rtl::TClassRegistry::CreateComponent("TZIWPayPalClient", nullptr);
  EXPECT_EQ(Made->ClassName(), "TZIWPayPalClient");
  delete Made;
}

TEST(PayPalMetadata, FormFileStoresWhatDiffersFromTheDefaultsAndLoadsItBack) {
  IWZelkAuthReg::RegisterClasses();
  using namespace std::chrono;
  TFixedClock Clock(sys_days(year(2026) / December / 7));
  rtl::TComponent Form(nullptr);
  auto* Controller = new IWZelkAuthBase::TZIWAuthServerController(&Form);
  Controller->SetName("Auth");
  auto* Pay = new TZIWPayPalClient(&Form);
  Pay->SetName("Pay");
  Pay->SetServerController(Controller);
  Pay->Seller()->SetUserName("shop_api1.example.com");
  Pay->CreditCard()->SetCardType(ctAmericanExpress);
  Pay->Transaction()->SetCurrency(crEUR);
  Pay->Transaction()->SetShipping(4.5);
  auto* Line = Pay->Transactions()->Add();
  Line->SetName("Book");
  Line->SetPrice(10.5);
  Line->SetQuantity(2);
  Pay->Transactions()->Add();

  const nlohmann::json Stored = rtl::WriteFormJSON(&Form);
  const nlohmann::json* Props = nullptr;
  for (const auto& C : Stored["components"])
    if (C["name"] == "Pay") Props = &C["properties"];
  ASSERT_NE(Props, nullptr) << Stored.dump();
  // Defaults are left out (sandbox, Visa, empty texts, quantity 1, number -1, an untouched
  // buyer); the expiry is always stored.
  EXPECT_EQ(*Props, nlohmann::json::parse(R"({
    "CreditCard": {"CardType": "ctAmericanExpress", "ExpirationMonth": 12,
                   "ExpirationYear": 2026},
    "Seller": {"UserName": "shop_api1.example.com"},
    "Transaction": {"Currency": "crEUR", "Shipping": 4.5},
    "Transactions": [{"Price": 10.5, "Quantity": 2, "Name": "Book"}, {}],
    "ServerController": "Auth"})"))
      << Props->dump();

  rtl::TComponent Loaded(nullptr);
  rtl::ReadForm(&Loaded, rtl::WriteForm(&Form));
  auto* Copy = dynamic_cast<TZIWPayPalClient*>(Loaded.FindComponent("Pay"));
  ASSERT_NE(Copy, nullptr);
  EXPECT_EQ(Copy->ServerController(), Loaded.FindComponent("Auth"));
  EXPECT_EQ(Copy->ServerType(), stSandBox);
  EXPECT_EQ(Copy->Seller()->UserName(), "shop_api1.example.com");
  EXPECT_EQ(Copy->CreditCard()->CardType(), ctAmericanExpress);
  EXPECT_EQ(Copy->Transaction()->Currency(), crEUR);
  EXPECT_EQ(Copy->Transaction()->Shipping(), 4.5);
  ASSERT_EQ(Copy->Transactions()->Count(), 2);
  EXPECT_EQ(Copy->Transactions()->Items(0)->DisplayName(), "Book");
  EXPECT_EQ(Copy->Transactions()->Items(0)->Quantity(), 2);
  EXPECT_EQ(Copy->Transactions()->Items(1)->DisplayName(), "Transaction 1");
  EXPECT_EQ(Copy->Transactions()->Items(1)->Number(), -1);
}

}  // namespace
}  // namespace zelk::IWPayPalClient
