// Unit IWPayPalClient: payments through PayPal's Name-Value-Pair (NVP) API.
//
// TZIWPayPalClient takes a payment in one of two ways.
//
// Direct card payment (PayDirect), one server-to-server call:
//  1. The application fills Seller (API credentials), Buyer, CreditCard, Transaction.Currency
//     and the order lines in Transactions, then calls PayDirect().
//  2. The client posts "METHOD=doDirectPayment&..." to the NVP host's "/nvp" for the item total
//     and returns resOK when PayPal's reply acknowledges it ("ACK=Success..."), else resFailed.
//     Nothing else of the client changes but TransactionID (the reply's TRANSACTIONID).
//  3. When the connection breaks after the request went out, PayPal may have charged the card
//     although no answer came: PayDirect then returns resUnknown with LoginError starting
//     "Payment outcome unknown" instead of raising. The application must not offer to pay
//     again as if the payment had failed; the buyer checks the card's statement first. A
//     failure before the request could reach PayPal (name resolution, connection, TLS) raises
//     the transport's exception, and paying again is safe.
//
// Express Checkout (PayOnline and LoginResponse), three calls around a browser round trip:
//  1. The application calls PayOnline(WebApplication) while serving the buyer's request. The
//     client makes a fresh client identifier, writes it into its entry of the ServerController's
//     registry and builds a return address ("<app>/?clientid=<id>&paypalcallback=1") and a
//     cancel address ("...&paypalcancel=1").
//  2. "SetExpressCheckout" registers the order (lines, shipping, insurance, tax, total, ship-to
//     address, both addresses). PayPal answers with a token; the client sends the browser to the
//     checkout page "https://<web host>/webscr?cmd=_express-checkout&token=<token>" and
//     PayOnline returns resOK. A refusal returns resFailed with PayPal's messages in LoginError.
//  3. The buyer approves or cancels on PayPal's page; PayPal sends the browser back to the return
//     address with "token" and "PayerID", or to the cancel address.
//  4. The application hands the returning request to TZIWAuthServerController::ProcessRequest,
//     which finds this client by "clientid" and calls LoginResponse.
//  5. A cancellation ends as resFailed, "Payment canceled" and OnPayPalCancel. Otherwise
//     "GetExpressCheckoutDetails" checks the token and "DoExpressCheckoutPayment" charges the
//     amount the buyer approved; success ends as resOK and OnPayPalPaymentOK, a refusal of either
//     call as resFailed, "Payment failed" and OnPayPalFailed. A checkout the details report paid
//     already (CHECKOUTSTATUS PaymentActionCompleted: another instance charged it and stopped
//     before it could save the outcome) ends as resOK and OnPayPalPaymentOK with its transaction
//     id, charged nothing again. Reaching an outcome spends the identifier, so reloading the
//     return page does not charge again.
//  6. When DoExpressCheckoutPayment's request went out and its answer was lost (the connection
//     broke after sending), the client asks PayPal how the checkout stands:
//     "METHOD=GetExpressCheckoutDetails&TOKEN=<token>" and its CHECKOUTSTATUS.
//     PaymentActionCompleted: the payment was taken, resOK and OnPayPalPaymentOK as in step 5;
//     PaymentActionNotInitiated or PaymentActionFailed: resFailed, "Payment failed" and
//     OnPayPalFailed. Any other status, a refused reply or a second transport failure leaves
//     the outcome unknown: resUnknown, LoginError starting "Payment outcome unknown" (PayPal
//     may have taken the payment; check the PayPal account before paying again) and
//     OnPayPalUnknown. Each of these is an outcome and spends the identifier. A failure before
//     DoExpressCheckoutPayment's request could reach PayPal raises the transport's exception
//     and spends nothing, so the buyer's return can be tried again. TransactionID holds the id
//     PayPal gave the payment (PAYMENTINFO_0_TRANSACTIONID or TRANSACTIONID of the payment's
//     reply, PAYMENTREQUEST_0_TRANSACTIONID or TRANSACTIONID of the details) when it is known.
//
// With Api = apCurrent the same operations use PayPal's REST API on "api-m.[sandbox.]paypal.com":
//  - An access token comes from "POST /v1/oauth2/token" (Basic authentication with the seller's
//    ClientID and ClientSecret, "grant_type=client_credentials") and is reused by the client
//    until a minute before it expires.
//  - PayOnline creates an order ("POST /v2/checkout/orders", intent CAPTURE, one purchase unit
//    with the items, the amount and its breakdown, the ship-to address, and the return and
//    cancel addresses above) and sends the browser to the order's "payer-action" (or
//    "approve") link. The order id is the flow's token.
//  - On return the cancel address ends as in the NVP mode; the return address captures the
//    order ("POST /v2/checkout/orders/<id>/capture"): a COMPLETED capture ends as resOK and
//    OnPayPalPaymentOK, anything else as resFailed, OnPayPalFailed and "Payment failed: " with
//    PayPal's reason.
//  - PayDirect creates the order with payment_source.card and answers resOK when the capture
//    is COMPLETED, else resFailed with PayPal's reason in LoginError.
//  - Every operation sends one new PayPal-Request-Id with its requests; a create or capture
//    whose transport fails is sent once more with the same id, which PayPal answers from the
//    first attempt instead of charging twice.
//  - When the second attempt fails too and either attempt may have reached PayPal, the card
//    order (PayDirect) returns resUnknown and the capture ends as resUnknown with
//    OnPayPalUnknown, both with LoginError starting "Payment outcome unknown". Creating the
//    order of a checkout (PayOnline) moves no money and raises the transport's exception.
//
// How it is built: the steps every checkout shares (the wiring checks, the addresses, the
// cancellation, the token check, the outcome and its event) run once in the client; the two APIs
// are two descriptions of the checkout (payments/PayPalCheckoutDetail.h: start, the buyer's return,
// finish or capture, the recheck after a lost answer, and the direct card payment). PayOnline
// chooses one from Api for the whole checkout; PayDirect uses the one Api names.
//
// Every amount is first rounded half away from zero to the currency's minor unit (0 decimals for
// JPY, HUF and TWD, 2 otherwise); totals are sums of the rounded values. The checkout token
// SetExpressCheckout returned is kept with the flow: a return carrying another token fails
// ("Payment failed" and PayPal's reason) without any call to PayPal.
//
// Every NVP value the client builds itself is sent as it is except for the bytes that would
// change the body's structure ("%", "&", "=", "+" and control characters), which are
// percent-encoded; amounts are written with "." whatever the process's locale.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "core/IWZelkAuthBase.h"
#include "payments/PayPalHosts.h"
#include "platform/rtl/Collection.h"

namespace zelk::IWPayPalClient {

using IWZelkAuthBase::THttpRequest;
using IWZelkAuthBase::TIWApplication;
using IWZelkAuthBase::TIWResult;
using rtl::TNotifyEvent;

class TZIWPayPalClient;

namespace detail {
class TCheckoutGeneration;
class TNvpCheckout;
class TRestCheckout;
struct TCheckoutEnd;
struct TCheckoutOrder;
}  // namespace detail

enum class TIWCreditCardType { ctVisa, ctMasterCard, ctDiscover, ctAmericanExpress };
using enum TIWCreditCardType;
enum class TIWCurrency { crEUR, crUSD, crAUD, crCAD, crGBP, crJPY, crHUF, crTWD };
using enum TIWCurrency;
// Selects PayPal's live or sandbox hosts (NVP API and web checkout).
enum class TIWServerType { stLive, stSandBox };
using enum TIWServerType;

// The texts PayPal reads: "Visa", "MasterCard", "Discover", "Amex".
std::string CreditCardTypeText(TIWCreditCardType Value);
// "EUR", "USD", "AUD", "CAD", "GBP", "JPY", "HUF", "TWD".
std::string CurrencyText(TIWCurrency Value);
// The decimals of the currency's minor unit PayPal takes: 0 for JPY, HUF and TWD, 2 otherwise.
int CurrencyDecimals(TIWCurrency Value);
// Value in the currency's minor unit (cents, or yen for JPY), rounded half away from zero from
// its 15-significant-digit decimal text, so 1.005 gives 101 and -2.5 yen gives -3. Raises
// Exception for NaN, infinities and values of 10^13 or more, which PayPal could never take.
std::int64_t MinorUnits(double Value, TIWCurrency Currency);
// An amount of Units minor units as PayPal reads it, in AmountText's style: "." as the
// separator, no trailing zeros, none when no fraction remains (2050 cents give "20.5").
std::string MinorUnitsText(std::int64_t Units, TIWCurrency Currency);
// Value rounded to the currency's minor unit and written as above; a value that already fits
// comes out as AmountText writes it (19.999 USD gives "20", 19.99 gives "19.99").
std::string CurrencyAmountText(double Value, TIWCurrency Currency);

// Units minor units with exactly the currency's decimals, as the REST API reads an amount
// ("20.50", "1500" for JPY).
std::string MinorUnitsFixedText(std::int64_t Units, TIWCurrency Currency);
// An amount as PayPal reads it: rounded to 15 significant digits, fixed notation, no trailing
// zeros, no separator when no fraction remains, "-" before a negative value, and always "." as
// the decimal separator whatever the locale (25, 10.5, 0.3 for 0.1 + 0.2, 0.333333333333333).
std::string AmountText(double Value);
// A value for an NVP body: "%", "&", "=", "+" and control characters (bytes 0-31 and 127)
// become "%XX" so that a value can neither add a field nor be decoded into something else;
// every other byte, the blank and UTF-8 included, stays as it is.
std::string EncodeNVPValue(std::string_view Value);

// The buyer's contact and shipping address. Thread-safe accessors.
class TIWPayPalBuyer : public rtl::TPersistent {
 public:
  std::string ClassName() const override { return "TIWPayPalBuyer"; }
  std::string Email() const;
  void SetEmail(std::string Value);
  std::string FirstName() const;
  void SetFirstName(std::string Value);
  // The family name.
  std::string Name() const;
  void SetName(std::string Value);
  std::string Street() const;
  void SetStreet(std::string Value);
  std::string Zip() const;
  void SetZip(std::string Value);
  std::string City() const;
  void SetCity(std::string Value);
  std::string CountryCode() const;
  void SetCountryCode(std::string Value);

 private:
  mutable std::mutex FMutex;
  std::string FEmail;
  std::string FFirstName;
  std::string FName;
  std::string FStreet;
  std::string FZip;
  std::string FCity;
  std::string FCountryCode;
};

// The merchant's credentials: user name, password and signature for the NVP API; the REST app's
// ClientID and ClientSecret when the client's Api is apCurrent. Thread-safe accessors.
class TIWPayPalSeller : public rtl::TPersistent {
 public:
  std::string ClassName() const override { return "TIWPayPalSeller"; }
  std::string ClientID() const;
  void SetClientID(std::string Value);
  std::string ClientSecret() const;
  void SetClientSecret(std::string Value);
  std::string UserName() const;
  void SetUserName(std::string Value);
  std::string Password() const;
  void SetPassword(std::string Value);
  std::string Signature() const;
  void SetSignature(std::string Value);

 private:
  mutable std::mutex FMutex;
  std::string FClientID;
  std::string FClientSecret;
  std::string FSignature;
  std::string FPassword;
  std::string FUserName;
};

// The card PayDirect charges. Expiry defaults to the current month and year of the local clock
// (the clock seam of IWZelkAuthBase) at construction; nothing is validated here, PayPal judges.
class TIWPayPalCreditCard : public rtl::TPersistent {
 public:
  TIWPayPalCreditCard();
  std::string ClassName() const override { return "TIWPayPalCreditCard"; }
  std::int32_t ExpirationYear() const;
  void SetExpirationYear(std::int32_t Value);
  std::int32_t ExpirationMonth() const;
  void SetExpirationMonth(std::int32_t Value);
  TIWCreditCardType CardType() const;
  void SetCardType(TIWCreditCardType Value);
  std::string VerificationCode() const;
  void SetVerificationCode(std::string Value);
  std::string Number() const;
  void SetNumber(std::string Value);

 private:
  mutable std::mutex FMutex;
  std::int32_t FExpirationYear = 0;
  std::int32_t FExpirationMonth = 0;
  TIWCreditCardType FCardType = ctVisa;
  std::string FVerificationCode;
  std::string FNumber;
};

// Order-level options: currency, and the shipping, insurance and tax that Express Checkout adds
// to the item total. Thread-safe accessors.
class TIWPayPalTransaction : public rtl::TPersistent {
 public:
  std::string ClassName() const override { return "TIWPayPalTransaction"; }
  double Insurance() const;
  void SetInsurance(double Value);
  double Tax() const;
  void SetTax(double Value);
  double Shipping() const;
  void SetShipping(double Value);
  TIWCurrency Currency() const;
  void SetCurrency(TIWCurrency Value);

 private:
  mutable std::mutex FMutex;
  double FInsurance = 0;
  double FTax = 0;
  double FShipping = 0;
  TIWCurrency FCurrency = crUSD;
};

// One order line. Quantity times Price adds to the item total; Tag is never sent.
class TPayPalTransaction : public rtl::TCollectionItem {
 public:
  explicit TPayPalTransaction(rtl::TCollection* Collection);
  std::string ClassName() const override { return "TPayPalTransaction"; }

  const std::string& Name() const { return FName; }
  void SetName(std::string Value) { FName = std::move(Value); }
  double Price() const { return FPrice; }
  void SetPrice(double Value) { FPrice = Value; }
  std::int32_t Tag() const { return FTag; }
  void SetTag(std::int32_t Value) { FTag = Value; }
  std::int32_t Quantity() const { return FQuantity; }
  void SetQuantity(std::int32_t Value) { FQuantity = Value; }
  std::int32_t Number() const { return FNumber; }
  void SetNumber(std::int32_t Value) { FNumber = Value; }
  const std::string& Description() const { return FDescription; }
  void SetDescription(std::string Value) { FDescription = std::move(Value); }

  // Copies Description, Number, Price, Quantity, Name and Tag from another order line; any
  // other source is ignored without error.
  void Assign(rtl::TPersistent* Source) override;
  // Name, or "Transaction " and the line's current position.
  std::string GetDisplayName() const override;
  rtl::TPersistent* GetOwner() override { return FOwner; }

 private:
  rtl::TCollection* FOwner;
  std::string FName;
  double FPrice = 0;
  std::int32_t FTag = 0;
  std::int32_t FQuantity = 1;
  std::int32_t FNumber = -1;
  std::string FDescription;
};

// The order lines of a client, which the designer sees as the client's property. The order is
// configuration: the application edits it between payments; a payment reads it under the
// client's lock, so an application that edits one client's order from several threads at once
// serialises those edits itself.
class TPayPalTransactions : public rtl::TOwnedCollectionOf<TPayPalTransaction> {
 public:
  explicit TPayPalTransactions(TZIWPayPalClient* AOwner) : FOwner(AOwner) {}
  std::string ClassName() const override { return "TPayPalTransactions"; }
  rtl::TPersistent* GetOwner() override;
  TZIWPayPalClient* Owner() const { return FOwner; }
  void Update(rtl::TCollectionItem* Item) override { TOwnedCollectionOf::Update(Item); }

 private:
  TZIWPayPalClient* FOwner;
};

// The PayPal payment component (see the walkthrough above).
//
// Contract: every public operation holds the client's lock, so one client serves one payment
// operation at a time; NVP calls block the calling thread. Transport failures raise the
// transport's ETransportError and change no outcome, except where a payment's request may have
// reached PayPal and its answer was lost: that is reported as the unknown outcome (resUnknown)
// described above, never raised. PayPal's refusals are reported as data (results, LoginResult,
// LoginError, events). PayOnline needs a ServerController owned by the application's
// TIWServerControllerBase and raises before sending anything otherwise.
class TZIWPayPalClient : public IWZelkAuthBase::TZIWCustomCloudClient {
  friend void RegisterClasses();
  // The two descriptions of the checkout build their calls from the client's order.
  friend class detail::TNvpCheckout;
  friend class detail::TRestCheckout;

 public:
  explicit TZIWPayPalClient(rtl::TComponent* AOwner);
  ~TZIWPayPalClient() override;
  std::string ClassName() const override { return "TZIWPayPalClient"; }

  // The sub-objects live as long as the client; the application edits them in place.
  TIWPayPalBuyer* Buyer() const { return FBuyer.get(); }
  TIWPayPalSeller* Seller() const { return FSeller.get(); }
  TIWPayPalCreditCard* CreditCard() const { return FCreditCard.get(); }
  TIWPayPalTransaction* Transaction() const { return FTransaction.get(); }
  TPayPalTransactions* Transactions() const { return FTransactions.get(); }

  TIWServerType ServerType() const;
  void SetServerType(TIWServerType Value);
  // apClassic (the default): the NVP API. apCurrent: the REST Orders API with the seller's
  // ClientID and ClientSecret (see the walkthrough of that mode above).
  using TZIWCustomCloudClient::Api;
  using TZIWCustomCloudClient::SetApi;

  TNotifyEvent OnPayPalPaymentOK() const;
  void SetOnPayPalPaymentOK(TNotifyEvent Value);
  TNotifyEvent OnPayPalCancel() const;
  void SetOnPayPalCancel(TNotifyEvent Value);
  TNotifyEvent OnPayPalFailed() const;
  void SetOnPayPalFailed(TNotifyEvent Value);
  // A returning checkout whose payment may or may not have been taken (resUnknown, step 6).
  TNotifyEvent OnPayPalUnknown() const;
  void SetOnPayPalUnknown(TNotifyEvent Value);

  // Run time only: the id PayPal gave the last payment taken, when known; cleared when
  // PayDirect or PayOnline starts.
  std::string TransactionID() const;

  // The NVP API host of the current ServerType.
  std::string GetServer() const;

  // Charges CreditCard for the item total ("doDirectPayment"): resOK when PayPal acknowledges
  // the payment, resFailed otherwise. Leaves LoginResult and LoginError alone, raises no event.
  // One deviation: when the request may have reached PayPal and its answer was lost, it returns
  // resUnknown with the unknown outcome's text in LoginError instead of raising (the card may
  // have been charged: the application must not present it as a failure). A failure before
  // sending raises the transport's ETransportError as any other.
  TIWResult PayDirect();
  // Starts an Express Checkout (steps 1 and 2 above): resOK when the browser has been sent to
  // PayPal's checkout page, resFailed with PayPal's messages in LoginError when PayPal refused
  // the order. Never sets LoginResult and raises no event.
  TIWResult PayOnline(TIWApplication* WebApplication);
  // Completes or cancels the checkout when the buyer returns (step 5 above).
  void LoginResponse(const THttpRequest& Request) override;
  // Forgets the outcome, the checkout in progress (its return then reaches nobody) and the
  // last transaction id.
  void SignOut() override;

 protected:
  // The texts of CreditCard.CardType and Transaction.Currency.
  std::string GetCreditCardType() const;
  std::string GetCurrency() const;
  // Sum over the order lines, in position order, of Quantity times Price, each price rounded to
  // the currency's minor unit first.
  double GetTotalPaymentAmount() const;

 private:
  // The web checkout host of the current ServerType.
  std::string GetCheckoutHost() const;
  // The item total in minor units (see GetTotalPaymentAmount); raises Exception when it
  // overflows.
  std::int64_t ItemTotalUnits() const;
  // Item total plus shipping, insurance and tax, each rounded first, in minor units: what Express
  // Checkout asks the buyer to approve and then charges.
  std::int64_t OrderTotalUnits() const;
  // An amount of the order's currency as sent.
  std::string Amount(double Value) const;
  std::string UnitsAmount(std::int64_t Units) const;
  // One NVP call: posts "METHOD=<Method>" + Fields + the credentials tail to the NVP host's
  // "/nvp" without headers and returns the reply.
  std::string NVPCall(std::string_view Method, const std::string& Fields) const;
  // The REST API host of the current ServerType.
  std::string GetRestServer() const;
  // The OAuth access token for the seller's ClientID and ClientSecret, from the cache or a new
  // token request; empty with PayPal's reason in Error when PayPal refused.
  std::string AccessToken(std::string& Error);
  // One REST call: posts Body to Path with the bearer token and RequestId; sent once more
  // with the same id when the transport fails. When the second attempt fails too, its
  // ETransportError is raised, saying the request may have arrived when either attempt may
  // have reached PayPal.
  std::string RestCall(const std::string& Path, const std::string& Body, const std::string& Token,
                       const std::string& RequestId) const;
  // The order's JSON body: the purchase unit, and the card (Card) or the buyer's return and
  // cancel addresses.
  std::string OrderBody(bool Card, const std::string& ReturnURL,
                        const std::string& CancelURL) const;
  // Creates the order Body describes, PayPal's reply in Reply: resOK when PayPal answered;
  // resFailed with the reason in Error when no access token came. With ReportLostAnswer, an
  // order whose answer was lost after it may have reached PayPal gives resUnknown with the
  // unknown outcome's text in Error; without, that failure raises as any other.
  TIWResult CreateOrder(const std::string& Body, bool ReportLostAnswer, std::string& Reply,
                        std::string& Error);
  // The description of the checkout in progress: the one PayOnline chose, else (a restored
  // session) the one Api names, chosen now.
  const detail::TCheckoutGeneration& Checkout();
  // PayOnline's checks, a fresh identifier and the order with its return and cancel addresses.
  detail::TCheckoutOrder CheckoutOrder(TIWApplication* WebApplication);
  // Reports what completing the checkout came to (Finish with the outcome's event).
  void Conclude(const detail::TCheckoutEnd& End);
  // Sets the outcome of a returning checkout, spends the identifier and raises Event.
  void Finish(TIWResult Result, std::optional<std::string> Error, const TNotifyEvent& Event);
  // Finishes as paid when GetExpressCheckoutDetails' reply Details says the checkout was paid
  // already; false otherwise.
  bool FinishIfPaidAlready(const std::string& Details);

  std::string FPaymentAction;
  const detail::TCheckoutGeneration* FCheckout = nullptr;
  // The cached access token, the credentials and host it belongs to, and when to stop using it.
  struct TTokenCache {
    std::mutex Mutex;
    std::string Key;
    std::string Token;
    std::chrono::system_clock::time_point RenewAt;
  };
  std::unique_ptr<TTokenCache> FTokenCache = std::make_unique<TTokenCache>();
  // The checkout token of the flow in progress, decoded; empty before PayPal issued one.
  std::string FCheckoutToken;
  std::unique_ptr<TIWPayPalBuyer> FBuyer;
  std::unique_ptr<TIWPayPalSeller> FSeller;
  std::unique_ptr<TIWPayPalCreditCard> FCreditCard;
  std::unique_ptr<TPayPalTransactions> FTransactions;
  TNotifyEvent FOnPayPalPaymentOK;
  TNotifyEvent FOnPayPalCancel;
  TNotifyEvent FOnPayPalFailed;
  TNotifyEvent FOnPayPalUnknown;
  std::string FTransactionID;
  TIWServerType FServerType = stSandBox;
  std::unique_ptr<TIWPayPalTransaction> FTransaction;
};

// Registers the metadata of the unit's classes (published properties in their designer order,
// with stored defaults) with rtl::TClassRegistry, so form files can store and load them, and the
// client's run-time state for sessions' states: the checkout token (or REST order id) of the
// checkout in progress and TransactionID, besides the base's outcome. The seller's secrets and
// the card's number and CVV are never part of a session's state. Idempotent and thread-safe;
// IWZelkAuthReg::RegisterClasses calls it.
void RegisterClasses();

namespace detail {
// PayPal's reply acknowledges the call: its lower-cased copy contains "ack=success" (so
// "SuccessWithWarning" counts too).
bool NVPSucceeded(std::string_view Reply);
// The token of a "SetExpressCheckout" reply: the text after the first "TOKEN=" up to the next
// "&" or the end, as PayPal spells it; empty when there is none.
std::string NVPToken(std::string_view Reply);
// PayPal's first short and long message ("L_SHORTMESSAGE0", "L_LONGMESSAGE0", in the order of
// the reply), each with "%20" turned into a blank and followed by ". "; empty when neither is
// there.
std::string NVPFailureMessage(const std::string& Reply);
// PayPal's reason in a REST error document: details[0].description, else message, else
// error_description (the OAuth endpoint's), else the status of a refused capture; a generic
// text when the reply is no JSON object.
std::string RestFailureMessage(const std::string& Reply);
// A reply value with "%XX" turned back into its byte; anything that is no valid escape stays.
std::string DecodeReplyValue(std::string_view Value);
// The decoded value of the first field of an NVP reply named exactly Name; empty when none.
std::string NVPField(std::string_view Reply, std::string_view Name);
// LoginError of an unknown outcome: "Payment outcome unknown: PayPal may have taken the payment,
// but its answer was lost. Check the PayPal account or the card's statement before paying
// again. Details: " and Details (what failed).
std::string UnknownOutcomeText(std::string_view Details);
}  // namespace detail

}  // namespace zelk::IWPayPalClient
