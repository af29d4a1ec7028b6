// The payment model: enumeration texts, buyer, seller, card, order options and order lines.
#include <chrono>
#include <ctime>
#include <utility>

#include "payments/IWPayPalClient.h"
#include "core/HelpersDetail.h"

namespace zelk::IWPayPalClient {

std::string CreditCardTypeText(TIWCreditCardType Value) {
  switch (Value) {
    case ctVisa:
      return "Visa";
    case ctMasterCard:
      return "MasterCard";
    case ctDiscover:
      return "Discover";
    case ctAmericanExpress:
      return "Amex";
  }
  throw rtl::Exception("Unknown credit card type " + std::to_string(static_cast<int>(Value)));
}

int CurrencyDecimals(TIWCurrency Value) {
  switch (Value) {
    case crJPY:
    case crHUF:
    case crTWD:
      return 0;
    case crEUR:
    case crUSD:
    case crAUD:
    case crCAD:
    case crGBP:
      return 2;
  }
  throw rtl::Exception("Unknown currency " + std::to_string(static_cast<int>(Value)));
}

std::string CurrencyText(TIWCurrency Value) {
  switch (Value) {
    case crEUR:
      return "EUR";
    case crUSD:
      return "USD";
    case crAUD:
      return "AUD";
    case crCAD:
      return "CAD";
    case crGBP:
      return "GBP";
    case crJPY:
      return "JPY";
    case crHUF:
      return "HUF";
    case crTWD:
      return "TWD";
  }
  throw rtl::Exception("Unknown currency " + std::to_string(static_cast<int>(Value)));
}

// ---------------------------------------------------------------------------------------------
// TIWPayPalBuyer, TIWPayPalSeller

#define ZELK_LOCKED_PROPERTY(Class, Type, Prop) \
  Type Class::Prop() const {                    \
    std::lock_guard L(FMutex);                  \
    return F##Prop;                             \
  }                                             \
  void Class::Set##Prop(Type Value) {           \
    std::lock_guard L(FMutex);                  \
    F##Prop = std::move(Value);                 \
  }

ZELK_LOCKED_PROPERTY(TIWPayPalBuyer, std::string, Email)
ZELK_LOCKED_PROPERTY(TIWPayPalBuyer, std::string, FirstName)
ZELK_LOCKED_PROPERTY(TIWPayPalBuyer, std::string, Name)
ZELK_LOCKED_PROPERTY(TIWPayPalBuyer, std::string, Street)
ZELK_LOCKED_PROPERTY(TIWPayPalBuyer, std::string, Zip)
ZELK_LOCKED_PROPERTY(TIWPayPalBuyer, std::string, City)
ZELK_LOCKED_PROPERTY(TIWPayPalBuyer, std::string, CountryCode)

ZELK_LOCKED_PROPERTY(TIWPayPalSeller, std::string, UserName)
ZELK_LOCKED_PROPERTY(TIWPayPalSeller, std::string, Password)
ZELK_LOCKED_PROPERTY(TIWPayPalSeller, std::string, Signature)
ZELK_LOCKED_PROPERTY(TIWPayPalSeller, std::string, ClientID)
ZELK_LOCKED_PROPERTY(TIWPayPalSeller, std::string, ClientSecret)

// ---------------------------------------------------------------------------------------------
// TIWPayPalCreditCard

TIWPayPalCreditCard::TIWPayPalCreditCard() {
  // One reading of the clock for both fields, so a card made at midnight on New Year's Eve
  // cannot get December of the new year.
  const std::time_t Now = std::chrono::system_clock::to_time_t(IWZelkAuthBase::detail::Now());
  std::tm Local{};
  localtime_r(&Now, &Local);
  FExpirationYear = Local.tm_year + 1900;
  FExpirationMonth = Local.tm_mon + 1;
}

ZELK_LOCKED_PROPERTY(TIWPayPalCreditCard, std::int32_t, ExpirationYear)
ZELK_LOCKED_PROPERTY(TIWPayPalCreditCard, std::int32_t, ExpirationMonth)
ZELK_LOCKED_PROPERTY(TIWPayPalCreditCard, TIWCreditCardType, CardType)
ZELK_LOCKED_PROPERTY(TIWPayPalCreditCard, std::string, VerificationCode)
ZELK_LOCKED_PROPERTY(TIWPayPalCreditCard, std::string, Number)

// ---------------------------------------------------------------------------------------------
// TIWPayPalTransaction

ZELK_LOCKED_PROPERTY(TIWPayPalTransaction, double, Insurance)
ZELK_LOCKED_PROPERTY(TIWPayPalTransaction, double, Tax)
ZELK_LOCKED_PROPERTY(TIWPayPalTransaction, double, Shipping)
ZELK_LOCKED_PROPERTY(TIWPayPalTransaction, TIWCurrency, Currency)

#undef ZELK_LOCKED_PROPERTY

// ---------------------------------------------------------------------------------------------
// TPayPalTransaction, TPayPalTransactions

TPayPalTransaction::TPayPalTransaction(rtl::TCollection* Collection)
    : TCollectionItem(Collection), FOwner(Collection) {}

void TPayPalTransaction::Assign(rtl::TPersistent* Source) {
  auto* Other = dynamic_cast<TPayPalTransaction*>(Source);
  if (Other == nullptr || Other == this) return;
  FDescription = Other->FDescription;
  FNumber = Other->FNumber;
  FPrice = Other->FPrice;
  FQuantity = Other->FQuantity;
  FName = Other->FName;
  FTag = Other->FTag;
}

std::string TPayPalTransaction::GetDisplayName() const {
  if (!FName.empty()) return FName;
  return "Transaction " + std::to_string(Index());
}

rtl::TPersistent* TPayPalTransactions::GetOwner() {
  return FOwner;
}

}  // namespace zelk::IWPayPalClient
