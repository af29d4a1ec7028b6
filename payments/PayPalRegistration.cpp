// Class metadata of the unit: the published properties, in the order the designer lists them,
// with their stored defaults, so that form files can store and load the payment component.
#include <mutex>

#include "core/OAuth2Flow.h"
#include "payments/IWPayPalClient.h"
#include "platform/rtl/ClassRegistry.h"

namespace zelk::IWPayPalClient {

namespace {

using namespace rtl;

// The enumerations' value names in ordinal order; made when registering, so that nothing can
// throw while the program starts.
std::vector<std::string> CardTypeNames() {
  return {"ctVisa", "ctMasterCard", "ctDiscover", "ctAmericanExpress"};
}
std::vector<std::string> CurrencyNames() {
  return {"crEUR", "crUSD", "crAUD", "crCAD", "crGBP", "crJPY", "crHUF", "crTWD"};
}
std::vector<std::string> ServerTypeNames() {
  return {"stLive", "stSandBox"};
}

// A string property read and written through a pair of member functions.
template <typename T, typename R>
TPropertyInfo Text(std::string Name, R (T::*Get)() const, void (T::*Set)(std::string)) {
  return props::String<T>(
      std::move(Name), [Get](T* O) { return std::string((O->*Get)()); },
      [Set](T* O, std::string V) { (O->*Set)(std::move(V)); });
}

template <typename T>
TPropertyInfo Int(std::string Name, std::int32_t (T::*Get)() const, void (T::*Set)(std::int32_t),
                  std::optional<std::int32_t> Default) {
  return props::Integer<T>(
      std::move(Name), [Get](T* O) { return (O->*Get)(); },
      [Set](T* O, std::int32_t V) { (O->*Set)(V); }, Default);
}

template <typename T>
TPropertyInfo Real(std::string Name, double (T::*Get)() const, void (T::*Set)(double)) {
  return props::Float<T>(
      std::move(Name), [Get](T* O) { return (O->*Get)(); }, [Set](T* O, double V) { (O->*Set)(V); },
      0.0);
}

template <typename T, typename E>
TPropertyInfo Enum(std::string Name, const std::vector<std::string>& Names, E (T::*Get)() const,
                   void (T::*Set)(E), E Default) {
  return props::Enumeration<T, E>(
      std::move(Name), Names, [Get](T* O) { return (O->*Get)(); },
      [Set](T* O, E V) { (O->*Set)(V); }, std::optional<E>(Default));
}

// The buyer, the seller and the card.
void RegisterPartyClasses() {
  using B = TIWPayPalBuyer;
  TClassRegistry::RegisterClass(
      {"TIWPayPalBuyer",
       "",
       {},
       {Text("Email", &B::Email, &B::SetEmail), Text("FirstName", &B::FirstName, &B::SetFirstName),
        Text("Name", &B::Name, &B::SetName), Text("Street", &B::Street, &B::SetStreet),
        Text("Zip", &B::Zip, &B::SetZip), Text("City", &B::City, &B::SetCity),
        Text("CountryCode", &B::CountryCode, &B::SetCountryCode)},
       {}});

  using S = TIWPayPalSeller;
  TClassRegistry::RegisterClass(
      {"TIWPayPalSeller",
       "",
       {},
       // The secrets are configuration: every session gets them from
       // its form, never from a record.
       {Text("UserName", &S::UserName, &S::SetUserName),
        KeptOutOfState(Text("Password", &S::Password, &S::SetPassword)),
        KeptOutOfState(Text("Signature", &S::Signature, &S::SetSignature)),
        Text("ClientID", &S::ClientID, &S::SetClientID),
        KeptOutOfState(Text("ClientSecret", &S::ClientSecret, &S::SetClientSecret))},
       {}});

  using CC = TIWPayPalCreditCard;
  TClassRegistry::RegisterClass(
      {"TIWPayPalCreditCard",
       "",
       {},
       // The number and CVV serve one payment call and never go into a session's state.
       {KeptOutOfState(Text("Number", &CC::Number, &CC::SetNumber)),
        Enum("CardType", CardTypeNames(), &CC::CardType, &CC::SetCardType, ctVisa),
        KeptOutOfState(Text("VerificationCode", &CC::VerificationCode, &CC::SetVerificationCode)),
        // The expiry defaults to the date of construction, so it is always stored.
        Int("ExpirationMonth", &CC::ExpirationMonth, &CC::SetExpirationMonth, std::nullopt),
        Int("ExpirationYear", &CC::ExpirationYear, &CC::SetExpirationYear, std::nullopt)},
       {}});
}

// The client's run-time state; made by RegisterClasses, which reaches the client's private
// members.
void RegisterAll(std::vector<TPropertyInfo> ClientState) {
  RegisterPartyClasses();
  using T = TIWPayPalTransaction;
  TClassRegistry::RegisterClass(
      {"TIWPayPalTransaction",
       "",
       {},
       {Enum("Currency", CurrencyNames(), &T::Currency, &T::SetCurrency, crUSD),
        Real("Shipping", &T::Shipping, &T::SetShipping),
        Real("Insurance", &T::Insurance, &T::SetInsurance), Real("Tax", &T::Tax, &T::SetTax)},
       {}});

  using I = TPayPalTransaction;
  TClassRegistry::RegisterClass(
      {"TPayPalTransaction",
       "",
       {},
       {Text("Description", &I::Description, &I::SetDescription),
        Real("Price", &I::Price, &I::SetPrice), Int("Number", &I::Number, &I::SetNumber, -1),
        Int("Quantity", &I::Quantity, &I::SetQuantity, 1), Text("Name", &I::Name, &I::SetName),
        Int("Tag", &I::Tag, &I::SetTag, 0)},
       {}});

  using P = TZIWPayPalClient;
  TClassRegistry::RegisterClass(
      {"TZIWPayPalClient",
       "TZIWCustomCloudClient",
       [](TComponent* Owner) -> TComponent* { return new TZIWPayPalClient(Owner); },
       {props::Object<P>("Buyer", "TIWPayPalBuyer", [](P* C) { return C->Buyer(); }),
        props::Object<P>("CreditCard", "TIWPayPalCreditCard", [](P* C) { return C->CreditCard(); }),
        props::Object<P>("Seller", "TIWPayPalSeller", [](P* C) { return C->Seller(); }),
        Enum("ServerType", ServerTypeNames(), &P::ServerType, &P::SetServerType, stSandBox),
        IWZelkAuthBase::ApiProperty<P>(),
        props::Object<P>("Transaction", "TIWPayPalTransaction",
                         [](P* C) { return C->Transaction(); }),
        props::Collection<P>("Transactions", "TPayPalTransaction",
                             [](P* C) { return C->Transactions(); }),
        props::Event("OnPayPalCancel"), props::Event("OnPayPalFailed"),
        props::Event("OnPayPalPaymentOK"), props::Event("OnPayPalUnknown")},
       std::move(ClientState)});
}

}  // namespace

void RegisterClasses() {
  // The client's published ServerController, Name and Tag come from the base classes.
  IWZelkAuthBase::RegisterAuthBaseClasses();
  static std::once_flag Once;
  std::call_once(Once, [] {
    using C = TZIWPayPalClient;
    RegisterAll({// The checkout in progress: its token (Express Checkout) or order id (REST).
                 C::StateField("CheckoutToken", &C::FCheckoutToken),
                 C::StateField("TransactionID", &C::FTransactionID)});
  });
}

}  // namespace zelk::IWPayPalClient
