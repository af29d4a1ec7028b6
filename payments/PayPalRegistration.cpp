// Class metadata of the unit: the published properties, in the order the designer lists them,
// with their stored defaults, so that form files can store and load the payment component.
#include <mutex>

#include "payments/IWPayPalClient.h"
#include "platform/rtl/ClassRegistry.h"

namespace zelk::IWPayPalClient {

namespace {

using rtl::TPropertyInfo;
using rtl::TPropertyKind;
using Json = nlohmann::json;

template <typename C>
C* As(rtl::TObject* Object) {
  auto* Typed = dynamic_cast<C*>(Object);
  if (Typed == nullptr)
    throw rtl::EInvalidCast("Invalid class typecast: " +
                            (Object != nullptr ? "a " + Object->ClassName() : std::string("nil")) +
                            " does not have this property");
  return Typed;
}

template <typename C>
TPropertyInfo StringProp(std::string Name, std::string (C::*Get)() const,
                         void (C::*Set)(std::string)) {
  TPropertyInfo P;
  P.Name = std::move(Name);
  P.Kind = TPropertyKind::pkString;
  P.Default = Json("");
  P.Get = [Get](rtl::TObject* O) { return Json((As<C>(O)->*Get)()); };
  P.Set = [Set](rtl::TObject* O, const Json& V) { (As<C>(O)->*Set)(V.get<std::string>()); };
  return P;
}

// Order lines hand out references to their strings.
template <typename C>
TPropertyInfo StringRefProp(std::string Name, const std::string& (C::*Get)() const,
                            void (C::*Set)(std::string)) {
  TPropertyInfo P;
  P.Name = std::move(Name);
  P.Kind = TPropertyKind::pkString;
  P.Default = Json("");
  P.Get = [Get](rtl::TObject* O) { return Json((As<C>(O)->*Get)()); };
  P.Set = [Set](rtl::TObject* O, const Json& V) { (As<C>(O)->*Set)(V.get<std::string>()); };
  return P;
}

template <typename C>
TPropertyInfo IntegerProp(std::string Name, std::int32_t (C::*Get)() const,
                          void (C::*Set)(std::int32_t), std::optional<std::int32_t> Default) {
  TPropertyInfo P;
  P.Name = std::move(Name);
  P.Kind = TPropertyKind::pkInteger;
  if (Default) P.Default = Json(*Default);
  P.Get = [Get](rtl::TObject* O) { return Json((As<C>(O)->*Get)()); };
  P.Set = [Set](rtl::TObject* O, const Json& V) { (As<C>(O)->*Set)(V.get<std::int32_t>()); };
  return P;
}

template <typename C>
TPropertyInfo FloatProp(std::string Name, double (C::*Get)() const, void (C::*Set)(double)) {
  TPropertyInfo P;
  P.Name = std::move(Name);
  P.Kind = TPropertyKind::pkFloat;
  P.Default = Json(0.0);
  P.Get = [Get](rtl::TObject* O) { return Json((As<C>(O)->*Get)()); };
  P.Set = [Set](rtl::TObject* O, const Json& V) { (As<C>(O)->*Set)(V.get<double>()); };
  return P;
}

// Enumerations are stored by the names of their values.
template <typename C, typename E>
TPropertyInfo EnumProp(std::string Name, E (C::*Get)() const, void (C::*Set)(E),
                       std::vector<std::string> Names, E Default) {
  TPropertyInfo P;
  P.Name = std::move(Name);
  P.Kind = TPropertyKind::pkEnumeration;
  P.Default = Json(Names.at(static_cast<std::size_t>(Default)));
  P.EnumNames = Names;
  P.Get = [Get, Names](rtl::TObject* O) {
    return Json(Names.at(static_cast<std::size_t>((As<C>(O)->*Get)())));
  };
  P.Set = [Set, Names, Prop = P.Name](rtl::TObject* O, const Json& V) {
    const std::string Text = V.get<std::string>();
    for (std::size_t I = 0; I < Names.size(); ++I)
      if (Names[I] == Text) {
        (As<C>(O)->*Set)(static_cast<E>(I));
        return;
      }
    throw rtl::Exception("Invalid property value \"" + Text + "\" for " + Prop);
  };
  return P;
}

TPropertyInfo ObjectProp(std::string Name, std::string ClassName, TPropertyKind Kind,
                         std::function<rtl::TPersistent*(TZIWPayPalClient*)> Object) {
  TPropertyInfo P;
  P.Name = std::move(Name);
  P.Kind = Kind;
  P.ClassName = std::move(ClassName);
  P.Object = [Object](rtl::TObject* O) { return Object(As<TZIWPayPalClient>(O)); };
  return P;
}

TPropertyInfo EventProp(std::string Name) {
  TPropertyInfo P;
  P.Name = std::move(Name);
  P.Kind = TPropertyKind::pkEvent;
  return P;
}

const std::vector<std::string> kCardTypeNames{"ctVisa", "ctMasterCard", "ctDiscover",
                                              "ctAmericanExpress"};
const std::vector<std::string> kCurrencyNames{"crEUR", "crUSD", "crAUD", "crCAD", "crGBP"};
const std::vector<std::string> kServerTypeNames{"stLive", "stSandBox"};

void RegisterAll() {
  using B = TIWPayPalBuyer;
  rtl::TClassRegistry::RegisterClass(
      {"TIWPayPalBuyer",
       "TPersistent",
       {},
       {StringProp<B>("Email", &B::Email, &B::SetEmail),
        StringProp<B>("FirstName", &B::FirstName, &B::SetFirstName),
        StringProp<B>("Name", &B::Name, &B::SetName),
        StringProp<B>("Street", &B::Street, &B::SetStreet),
        StringProp<B>("Zip", &B::Zip, &B::SetZip), StringProp<B>("City", &B::City, &B::SetCity),
        StringProp<B>("CountryCode", &B::CountryCode, &B::SetCountryCode)}});

  using S = TIWPayPalSeller;
  rtl::TClassRegistry::RegisterClass(
      {"TIWPayPalSeller",
       "TPersistent",
       {},
       {StringProp<S>("UserName", &S::UserName, &S::SetUserName),
        StringProp<S>("Password", &S::Password, &S::SetPassword),
        StringProp<S>("Signature", &S::Signature, &S::SetSignature)}});

  using CC = TIWPayPalCreditCard;
  rtl::TClassRegistry::RegisterClass(
      {"TIWPayPalCreditCard",
       "TPersistent",
       {},
       {StringProp<CC>("Number", &CC::Number, &CC::SetNumber),
        EnumProp<CC>("CardType", &CC::CardType, &CC::SetCardType, kCardTypeNames, ctVisa),
        StringProp<CC>("VerificationCode", &CC::VerificationCode, &CC::SetVerificationCode),
        // The expiry defaults to the date of construction, so it is always stored.
        IntegerProp<CC>("ExpirationMonth", &CC::ExpirationMonth, &CC::SetExpirationMonth,
                        std::nullopt),
        IntegerProp<CC>("ExpirationYear", &CC::ExpirationYear, &CC::SetExpirationYear,
                        std::nullopt)}});

  using T = TIWPayPalTransaction;
  rtl::TClassRegistry::RegisterClass(
      {"TIWPayPalTransaction",
       "TPersistent",
       {},
       {EnumProp<T>("Currency", &T::Currency, &T::SetCurrency, kCurrencyNames, crUSD),
        FloatProp<T>("Shipping", &T::Shipping, &T::SetShipping),
        FloatProp<T>("Insurance", &T::Insurance, &T::SetInsurance),
        FloatProp<T>("Tax", &T::Tax, &T::SetTax)}});

  using I = TPayPalTransaction;
  rtl::TClassRegistry::RegisterClass(
      {"TPayPalTransaction",
       "TCollectionItem",
       {},
       {StringRefProp<I>("Description", &I::Description, &I::SetDescription),
        FloatProp<I>("Price", &I::Price, &I::SetPrice),
        IntegerProp<I>("Number", &I::Number, &I::SetNumber, -1),
        IntegerProp<I>("Quantity", &I::Quantity, &I::SetQuantity, 1),
        StringRefProp<I>("Name", &I::Name, &I::SetName),
        IntegerProp<I>("Tag", &I::Tag, &I::SetTag, 0)}});

  using P = TZIWPayPalClient;
  rtl::TClassRegistry::RegisterClass(
      {"TZIWPayPalClient",
       "TZIWCustomCloudClient",
       [](rtl::TComponent* Owner) -> rtl::TComponent* { return new TZIWPayPalClient(Owner); },
       {ObjectProp("Buyer", "TIWPayPalBuyer", TPropertyKind::pkObject,
                   [](P* C) { return C->Buyer(); }),
        ObjectProp("CreditCard", "TIWPayPalCreditCard", TPropertyKind::pkObject,
                   [](P* C) { return C->CreditCard(); }),
        ObjectProp("Seller", "TIWPayPalSeller", TPropertyKind::pkObject,
                   [](P* C) { return C->Seller(); }),
        EnumProp<P>("ServerType", &P::ServerType, &P::SetServerType, kServerTypeNames, stSandBox),
        ObjectProp("Transaction", "TIWPayPalTransaction", TPropertyKind::pkObject,
                   [](P* C) { return C->Transaction(); }),
        ObjectProp("Transactions", "TPayPalTransaction", TPropertyKind::pkCollection,
                   [](P* C) { return C->Transactions(); }),
        EventProp("OnPayPalCancel"), EventProp("OnPayPalFailed"), EventProp("OnPayPalPaymentOK")}});
}

// Linking the unit makes its classes known by name.
[[maybe_unused]] const bool kRegistered = (RegisterClasses(), true);

}  // namespace

void RegisterClasses() {
  static std::once_flag Once;
  std::call_once(Once, RegisterAll);
}

}  // namespace zelk::IWPayPalClient
