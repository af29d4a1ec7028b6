// The classic checkout: Express Checkout and the direct card payment over the NVP API, as a
// description of the client's generic checkout (PayPalCheckoutDetail.h).
#include <initializer_list>

#include "payments/PayPalCheckoutDetail.h"

namespace zelk::IWPayPalClient {

namespace {

using detail::TCheckoutEnd;
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

// "03" for March: PayPal reads the expiry month as two digits followed by the year.
std::string TwoDigitMonth(std::int32_t Month) {
  if (Month >= 0 && Month < 10) return "0" + std::to_string(Month);
  return std::to_string(Month);
}

}  // namespace

// Express Checkout: SetExpressCheckout, the buyer's approval on the web checkout page, then
// GetExpressCheckoutDetails and DoExpressCheckoutPayment; doDirectPayment for a card.
class detail::TNvpCheckout final : public detail::TCheckoutGeneration {
 public:
  TCheckoutStart Start(TZIWPayPalClient& Client, const TCheckoutOrder& Order) const override;
  // The checkout page sends the buyer back with the token and the payer's id.
  bool IsApproval(const THttpRequest& Request) const override {
    return !Request.Query("token").empty() && !Request.Query("payerid").empty();
  }
  TCheckoutEnd Complete(TZIWPayPalClient& Client, const std::string& Token,
                        const THttpRequest& Request) const override;
  TCheckoutEnd Recheck(TZIWPayPalClient& Client, const std::string& Token,
                       const std::string& Lost) const override;
  TIWResult PayDirect(TZIWPayPalClient& Client) const override;

 private:
  static std::string OrderFields(const TZIWPayPalClient& Client, const TCheckoutOrder& Order);
};

std::string detail::TNvpCheckout::OrderFields(const TZIWPayPalClient& Client,
                                              const TCheckoutOrder& Order) {
  std::string Items;
  for (int I = 0; I < Client.FTransactions->Count(); ++I) {
    const TPayPalTransaction* Item = Client.FTransactions->Items(I);
    const std::string N = std::to_string(I);
    Items += "&L_NAME" + N + "=" + EncodeNVPValue(Item->Name());
    Items += "&L_AMT" + N + "=" + Client.Amount(Item->Price());
    Items += "&L_QTY" + N + "=" + std::to_string(Item->Quantity());
    Items += "&L_NUMBER" + N + "=" + std::to_string(Item->Number());
    Items += "&L_DESC" + N + "=" + EncodeNVPValue(Item->Description());
  }
  const TIWPayPalBuyer& Buyer = *Client.FBuyer;
  const TIWPayPalTransaction& Transaction = *Client.FTransaction;
  std::string F;
  F += "&EMAIL=" + EncodeNVPValue(Buyer.Email());
  F += Items;
  F += "&SHIPPINGAMT=" + Client.Amount(Transaction.Shipping());
  F += "&INSURANCEAMT=" + Client.Amount(Transaction.Insurance());
  F += "&TAXAMT=" + Client.Amount(Transaction.Tax());
  F += "&ITEMAMT=" + Client.UnitsAmount(Order.ItemUnits);
  F += "&AMT=" + Client.UnitsAmount(Order.TotalUnits);
  F += "&NAME=" + EncodeNVPValue(Buyer.FirstName()) + " " + EncodeNVPValue(Buyer.Name());
  F += "&SHIPTOSTREET=" + EncodeNVPValue(Buyer.Street());
  F += "&SHIPTOCITY=" + EncodeNVPValue(Buyer.City());
  F += "&SHIPTOCOUNTRYCODE=" + EncodeNVPValue(Buyer.CountryCode());
  F += "&SHIPTOZIP=" + EncodeNVPValue(Buyer.Zip());
  F += "&RETURNURL=" + IWZelkAuthBase::URLEncode(Order.ReturnURL);
  F += "&CANCELURL=" + IWZelkAuthBase::URLEncode(Order.CancelURL);
  F += "&CURRENCYCODE=" + Client.GetCurrency();
  return F;
}

detail::TCheckoutStart detail::TNvpCheckout::Start(TZIWPayPalClient& Client,
                                                   const TCheckoutOrder& Order) const {
  const std::string Reply = Client.NVPCall("SetExpressCheckout", OrderFields(Client, Order));
  TCheckoutStart S;
  const std::string Token = NVPToken(Reply);
  if (NVPSucceeded(Reply) && !Token.empty()) {
    S.Token = DecodeReplyValue(Token);
    // The token goes to the checkout page as PayPal spelled it (its reply values are already
    // encoded); only bytes no URL may hold are escaped, so a malformed reply cannot break the
    // redirect's header line or add a parameter.
    S.ApprovalURL = "https://" + Client.GetCheckoutHost() +
                    "/webscr?cmd=_express-checkout&token=" + IWZelkAuthBase::EncodeURLUnsafe(Token);
    return S;
  }
  S.Error = NVPFailureMessage(Reply);
  if (S.Error.empty() && NVPSucceeded(Reply))
    S.Error =
        "PayPal accepted SetExpressCheckout but sent no token, so the buyer cannot be sent to "
        "the checkout page. ";
  return S;
}

TCheckoutEnd detail::TNvpCheckout::Complete(TZIWPayPalClient& Client, const std::string& Token,
                                            const THttpRequest& Request) const {
  const std::string Details = Client.NVPCall(
      "GetExpressCheckoutDetails", "&TOKEN=" + EncodeNVPValue(Token) + "&PAYMENTACTION=Sale");
  if (!NVPSucceeded(Details)) return TCheckoutEnd::Failed("Payment failed");
  if (Client.FinishIfPaidAlready(Details)) return {TCheckoutEnd::TKind::Done, {}, {}};

  // Charge what the buyer approved on PayPal's page: the same total SetExpressCheckout sent.
  std::string F;
  F += "&TOKEN=" + EncodeNVPValue(Token);
  F += "&PAYERID=" + EncodeNVPValue(Request.Query("payerid"));
  F += "&AMT=" + Client.UnitsAmount(Client.OrderTotalUnits());
  F += "&CURRENCYCODE=" + Client.GetCurrency();
  F += "&PAYMENTACTION=Sale";
  std::string Reply;
  try {
    Reply = Client.NVPCall("DoExpressCheckoutPayment", F);
  } catch (const ETransportError& E) {
    // Not sent: nothing happened at PayPal, and the identifier stays for another try.
    if (!E.RequestMayHaveArrived()) throw;
    return TCheckoutEnd::Lost(E.Message());
  }
  if (!NVPSucceeded(Reply)) return TCheckoutEnd::Failed("Payment failed");
  return TCheckoutEnd::Paid(
      TransactionIdOf(Reply, {"PAYMENTINFO_0_TRANSACTIONID", "TRANSACTIONID"}));
}

TCheckoutEnd detail::TNvpCheckout::Recheck(TZIWPayPalClient& Client, const std::string& Token,
                                           const std::string& Lost) const {
  std::string Details;
  try {
    Details = Client.NVPCall("GetExpressCheckoutDetails", "&TOKEN=" + EncodeNVPValue(Token));
  } catch (const rtl::Exception& E) {
    return TCheckoutEnd::Unknown(UnknownOutcomeText(
        Lost + "; asking PayPal how the checkout stands failed too: " + E.Message()));
  }
  if (!NVPSucceeded(Details)) {
    std::string Reason = NVPFailureMessage(Details);
    while (!Reason.empty() && Reason.back() == ' ')
      Reason.pop_back();
    return TCheckoutEnd::Unknown(
        UnknownOutcomeText(Lost + "; PayPal refused to say how the checkout stands" +
                           (Reason.empty() ? "" : ": " + Reason)));
  }
  const std::string Status = NVPField(Details, "CHECKOUTSTATUS");
  if (Status == "PaymentActionCompleted")
    return TCheckoutEnd::Paid(
        TransactionIdOf(Details, {"PAYMENTREQUEST_0_TRANSACTIONID", "TRANSACTIONID"}));
  if (Status == "PaymentActionNotInitiated" || Status == "PaymentActionFailed")
    return TCheckoutEnd::Failed("Payment failed");
  return TCheckoutEnd::Unknown(UnknownOutcomeText(
      Lost + "; PayPal reports the checkout as " +
      (Status.empty() ? std::string("nothing (no CHECKOUTSTATUS)") : Printable(Status))));
}

TIWResult detail::TNvpCheckout::PayDirect(TZIWPayPalClient& Client) const {
  const TIWPayPalCreditCard& Card = *Client.FCreditCard;
  const TIWPayPalBuyer& Buyer = *Client.FBuyer;
  // Shipping, insurance and tax belong to Express Checkout; a direct payment charges the items.
  const std::string Total = Client.UnitsAmount(Client.ItemTotalUnits());
  std::string F;
  F += "&PAYMENTACTION=" + EncodeNVPValue(Client.FPaymentAction);
  F += "&AMT=" + Total;
  F += "&CREDITCARDTYPE=" + Client.GetCreditCardType();
  F += "&ACCT=" + EncodeNVPValue(Card.Number());
  F += "&EXPDATE=" + TwoDigitMonth(Card.ExpirationMonth()) + std::to_string(Card.ExpirationYear());
  F += "&CVV2=" + EncodeNVPValue(Card.VerificationCode());
  F += "&EMAIL=" + EncodeNVPValue(Buyer.Email());
  F += "&FIRSTNAME=" + EncodeNVPValue(Buyer.FirstName());
  F += "&LASTNAME=" + EncodeNVPValue(Buyer.Name());
  F += "&STREET=" + EncodeNVPValue(Buyer.Street());
  F += "&CITY=" + EncodeNVPValue(Buyer.City());
  F += "&ZIP=" + EncodeNVPValue(Buyer.Zip());
  F += "&COUNTRYCODE=" + EncodeNVPValue(Buyer.CountryCode());
  F += "&CURRENCYCODE=" + Client.GetCurrency();
  std::string Reply;
  try {
    Reply = Client.NVPCall("doDirectPayment", F);
  } catch (const ETransportError& E) {
    // Sent and unanswered: the card may have been charged, so this is no failure to retry.
    if (!E.RequestMayHaveArrived()) throw;
    Client.SetLoginError(UnknownOutcomeText(E.Message()));
    return resUnknown;
  }
  if (!NVPSucceeded(Reply)) return resFailed;
  Client.FTransactionID = NVPField(Reply, "TRANSACTIONID");
  return resOK;
}

const detail::TCheckoutGeneration& detail::NvpCheckout() {
  static const TNvpCheckout Nvp;
  return Nvp;
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

}  // namespace zelk::IWPayPalClient
