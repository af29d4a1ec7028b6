// TZIWPayPalClient's Express Checkout: PayOnline sends the buyer to PayPal, LoginResponse
// completes or cancels the payment when the buyer returns.
#include <initializer_list>

#include "payments/IWPayPalClient.h"

namespace zelk::IWPayPalClient {

namespace {

using IWZelkAuthBase::ETransportError;
using IWZelkAuthBase::resFailed;
using IWZelkAuthBase::resOK;
using IWZelkAuthBase::resUnknown;

// The id PayPal gave a payment, from the first of Names the reply carries.
std::string TransactionIdOf(std::string_view Reply, std::initializer_list<std::string_view> Names) {
  for (const std::string_view Name : Names)
    if (std::string Id = detail::NVPField(Reply, Name); !Id.empty()) return Id;
  return {};
}

// A value of PayPal's reply fit for a message: control characters shown as "?", a runaway
// value cut short.
std::string Printable(std::string Value) {
  if (Value.size() > 64) Value.resize(64);
  for (char& C : Value)
    if (static_cast<unsigned char>(C) < 32 || C == 127) C = '?';
  return Value;
}

// The application's server controller that owns Controller; raises when there is none, since
// the buyer's return could then never be routed back to the client.
web::TIWServerControllerBase* FrameworkController(
    const IWZelkAuthBase::TZIWAuthServerController* Controller) {
  rtl::TComponent* Owner = Controller->Owner();
  if (Owner == nullptr)
    throw rtl::Exception(
        "TZIWPayPalClient.PayOnline: the ServerController has no owner; it must be owned by the "
        "application's TIWServerControllerBase so that the buyer's return from PayPal can be "
        "routed");
  auto* Framework = dynamic_cast<web::TIWServerControllerBase*>(Owner);
  if (Framework == nullptr)
    throw rtl::EInvalidCast(
        "Invalid class typecast: TZIWPayPalClient.PayOnline needs the ServerController to be "
        "owned by a TIWServerControllerBase, but its owner is a " +
        Owner->ClassName());
  return Framework;
}

}  // namespace

TIWResult TZIWPayPalClient::PayOnline(TIWApplication* WebApplication) {
  auto L = Lock();
  CheckServerController("PayOnline");
  if (WebApplication == nullptr)
    throw rtl::Exception("TZIWPayPalClient.PayOnline: no application object was passed");
  // Validate the wiring before anything changes: a misconfigured call leaves the registry and
  // PayPal untouched.
  const web::TIWServerControllerBase* Framework = FrameworkController(ServerController());
  // Every amount is checked here too (an impossible one raises), so that nothing after this
  // point can fail before the order is sent.
  const std::int64_t ItemUnits = ItemTotalUnits();
  const std::int64_t TotalUnits = OrderTotalUnits();
  const std::string ClientId = NewFlowIdentifier();
  FCheckoutToken.clear();
  FTransactionID.clear();

  std::string Base = WebApplication->GetApplicationURL();
  if (Framework->URLSessionTracking()) Base += "/" + WebApplication->SessionID();
  Base += "/?clientid=" + ClientId;
  const std::string ReturnURL = Base + "&paypalcallback=1";
  const std::string CancelURL = Base + "&paypalcancel=1";
  if (Api() == IWZelkAuthBase::apCurrent)
    return PayOnlineCurrent(WebApplication, ReturnURL, CancelURL);

  std::string Items;
  for (int I = 0; I < FTransactions->Count(); ++I) {
    const TPayPalTransaction* Item = FTransactions->Items(I);
    const std::string N = std::to_string(I);
    Items += "&L_NAME" + N + "=" + EncodeNVPValue(Item->Name());
    Items += "&L_AMT" + N + "=" + Amount(Item->Price());
    Items += "&L_QTY" + N + "=" + std::to_string(Item->Quantity());
    Items += "&L_NUMBER" + N + "=" + std::to_string(Item->Number());
    Items += "&L_DESC" + N + "=" + EncodeNVPValue(Item->Description());
  }

  std::string F;
  F += "&EMAIL=" + EncodeNVPValue(FBuyer->Email());
  F += Items;
  F += "&SHIPPINGAMT=" + Amount(FTransaction->Shipping());
  F += "&INSURANCEAMT=" + Amount(FTransaction->Insurance());
  F += "&TAXAMT=" + Amount(FTransaction->Tax());
  F += "&ITEMAMT=" + UnitsAmount(ItemUnits);
  F += "&AMT=" + UnitsAmount(TotalUnits);
  F += "&NAME=" + EncodeNVPValue(FBuyer->FirstName()) + " " + EncodeNVPValue(FBuyer->Name());
  F += "&SHIPTOSTREET=" + EncodeNVPValue(FBuyer->Street());
  F += "&SHIPTOCITY=" + EncodeNVPValue(FBuyer->City());
  F += "&SHIPTOCOUNTRYCODE=" + EncodeNVPValue(FBuyer->CountryCode());
  F += "&SHIPTOZIP=" + EncodeNVPValue(FBuyer->Zip());
  F += "&RETURNURL=" + IWZelkAuthBase::URLEncode(ReturnURL);
  F += "&CANCELURL=" + IWZelkAuthBase::URLEncode(CancelURL);
  F += "&CURRENCYCODE=" + GetCurrency();
  const std::string Reply = NVPCall("SetExpressCheckout", F);

  const std::string Token = detail::NVPToken(Reply);
  if (detail::NVPSucceeded(Reply) && !Token.empty()) {
    FCheckoutToken = detail::DecodeReplyValue(Token);
    // The token goes to the checkout page as PayPal spelled it (its reply values are already
    // encoded); only bytes no URL may hold are escaped, so a malformed reply cannot break the
    // redirect's header line or add a parameter.
    WebApplication->GoToURL(
        "https://" + GetCheckoutHost() +
        "/webscr?cmd=_express-checkout&token=" + IWZelkAuthBase::EncodeURLUnsafe(Token));
    return resOK;
  }
  std::string Error = detail::NVPFailureMessage(Reply);
  if (Error.empty() && detail::NVPSucceeded(Reply))
    Error =
        "PayPal accepted SetExpressCheckout but sent no token, so the buyer cannot be sent to "
        "the checkout page. ";
  SetLoginError(std::move(Error));
  return resFailed;
}

void TZIWPayPalClient::LoginResponse(const THttpRequest& Request) {
  auto L = Lock();
  if (Api() == IWZelkAuthBase::apCurrent) {
    LoginResponseCurrent(Request);
    return;
  }
  const std::string Token = Request.Query("token");
  const std::string PayerId = Request.Query("payerid");

  // A cancellation wins over anything else the return carries.
  if (Request.Query("paypalcancel") == "1") {
    Finish(resFailed, "Payment canceled", FOnPayPalCancel);
    return;
  }
  // Not a return from the checkout page (or a truncated one): nothing to complete.
  if (Token.empty() || PayerId.empty()) return;
  // Only the checkout this flow started may be completed: a return with another token (a
  // replayed or forged link) is refused before anything reaches PayPal.
  if (FCheckoutToken.empty() || Token != FCheckoutToken) {
    Finish(resFailed,
           "Payment failed: the checkout token of the return is not the one PayPal issued for "
           "this payment",
           FOnPayPalFailed);
    return;
  }

  const std::string Details = NVPCall("GetExpressCheckoutDetails",
                                      "&TOKEN=" + EncodeNVPValue(Token) + "&PAYMENTACTION=Sale");
  if (!detail::NVPSucceeded(Details)) {
    Finish(resFailed, "Payment failed", FOnPayPalFailed);
    return;
  }
  if (FinishIfPaidAlready(Details)) return;

  // Charge what the buyer approved on PayPal's page: the same total SetExpressCheckout sent.
  std::string F;
  F += "&TOKEN=" + EncodeNVPValue(Token);
  F += "&PAYERID=" + EncodeNVPValue(PayerId);
  F += "&AMT=" + UnitsAmount(OrderTotalUnits());
  F += "&CURRENCYCODE=" + GetCurrency();
  F += "&PAYMENTACTION=Sale";
  std::string Reply;
  try {
    Reply = NVPCall("DoExpressCheckoutPayment", F);
  } catch (const ETransportError& E) {
    // Not sent: nothing happened at PayPal, and the identifier stays for another try.
    if (!E.RequestMayHaveArrived()) throw;
    FinishAfterLostAnswer(Token, E.Message());
    return;
  }
  if (detail::NVPSucceeded(Reply)) {
    FTransactionID = TransactionIdOf(Reply, {"PAYMENTINFO_0_TRANSACTIONID", "TRANSACTIONID"});
    Finish(resOK, std::nullopt, FOnPayPalPaymentOK);
  } else {
    Finish(resFailed, "Payment failed", FOnPayPalFailed);
  }
}

bool TZIWPayPalClient::FinishIfPaidAlready(const std::string& Details) {
  // Paid already: this return was completed once by a request that never got to tell (an
  // instance that stopped after charging, before it could save the outcome). PayPal would
  // refuse a second charge for the token; the payment it holds is the outcome.
  if (detail::NVPField(Details, "CHECKOUTSTATUS") != "PaymentActionCompleted") return false;
  FTransactionID = TransactionIdOf(Details, {"PAYMENTREQUEST_0_TRANSACTIONID", "TRANSACTIONID"});
  Finish(resOK, std::nullopt, FOnPayPalPaymentOK);
  return true;
}

void TZIWPayPalClient::FinishAfterLostAnswer(const std::string& Token, const std::string& Lost) {
  std::string Details;
  try {
    Details = NVPCall("GetExpressCheckoutDetails", "&TOKEN=" + EncodeNVPValue(Token));
  } catch (const rtl::Exception& E) {
    Finish(resUnknown,
           detail::UnknownOutcomeText(
               Lost + "; asking PayPal how the checkout stands failed too: " + E.Message()),
           FOnPayPalUnknown);
    return;
  }
  if (!detail::NVPSucceeded(Details)) {
    std::string Reason = detail::NVPFailureMessage(Details);
    while (!Reason.empty() && Reason.back() == ' ')
      Reason.pop_back();
    Finish(resUnknown,
           detail::UnknownOutcomeText(Lost + "; PayPal refused to say how the checkout stands" +
                                      (Reason.empty() ? "" : ": " + Reason)),
           FOnPayPalUnknown);
    return;
  }
  const std::string Status = detail::NVPField(Details, "CHECKOUTSTATUS");
  if (Status == "PaymentActionCompleted") {
    FTransactionID = TransactionIdOf(Details, {"PAYMENTREQUEST_0_TRANSACTIONID", "TRANSACTIONID"});
    Finish(resOK, std::nullopt, FOnPayPalPaymentOK);
  } else if (Status == "PaymentActionNotInitiated" || Status == "PaymentActionFailed") {
    Finish(resFailed, "Payment failed", FOnPayPalFailed);
  } else {
    Finish(resUnknown,
           detail::UnknownOutcomeText(
               Lost + "; PayPal reports the checkout as " +
               (Status.empty() ? std::string("nothing (no CHECKOUTSTATUS)") : Printable(Status))),
           FOnPayPalUnknown);
  }
}

void TZIWPayPalClient::Finish(TIWResult Result, std::optional<std::string> Error,
                              const TNotifyEvent& Event) {
  SetLoginResult(Result);
  if (Error) SetLoginError(std::move(*Error));
  ReachOutcome();
  FCheckoutToken.clear();
  // A copy: the handler may replace the event it runs in.
  if (TNotifyEvent Handler = Event) Handler(this);
}

void TZIWPayPalClient::SignOut() {
  auto L = Lock();
  FCheckoutToken.clear();
  FTransactionID.clear();
  TZIWCustomCloudClient::SignOut();
}

}  // namespace zelk::IWPayPalClient
