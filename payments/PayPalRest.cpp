// The current checkout: PayPal's REST API (OAuth client credentials, Orders v2) as a description
// of the client's generic checkout (PayPalCheckoutDetail.h), and the REST calls it makes.
#include <nlohmann/json.hpp>

#include "core/HelpersDetail.h"
#include "core/OAuth2Flow.h"
#include "payments/PayPalCheckoutDetail.h"

namespace zelk::IWPayPalClient {

namespace {

using IWZelkAuthBase::ETransportError;
using IWZelkAuthBase::resFailed;
using IWZelkAuthBase::resOK;
using IWZelkAuthBase::resUnknown;
using nlohmann::json;

// A token is given up this long before PayPal says it expires, so that no call starts with a
// token that dies on the way.
constexpr std::chrono::seconds kTokenMargin{60};

// A PayPal-Request-Id: a new GUID without braces.
std::string NewRequestId() {
  std::string Guid = IWZelkAuthBase::CreateGuid();
  if (Guid.size() < 2)
    throw rtl::Exception("TZIWPayPalClient: no PayPal-Request-Id could be made (no randomness)");
  return Guid.substr(1, Guid.size() - 2);
}

// The PayPal-Request-Id of an order's capture, the same for every capture of that order (in
// GUID form): PayPal answers a capture sent again, after its answer was lost or by another
// instance that took the return over, with the first one's answer instead of refusing it as
// captured already.
std::string CaptureRequestId(const std::string& OrderId) {
  const std::string H = IWZelkAuthBase::HMACSha256Hex("zelk capture", OrderId);
  return H.substr(0, 8) + "-" + H.substr(8, 4) + "-4" + H.substr(13, 3) + "-a" + H.substr(17, 3) +
         "-" + H.substr(20, 12);
}

// The reply as a JSON object; an empty object when it is none.
json ParseReply(const std::string& Reply) {
  json Value = json::parse(Reply, nullptr, false);
  return Value.is_object() ? Value : json::object();
}

// A string member of Object, empty when absent or of another type.
std::string StringAt(const json& Object, const char* Name) {
  const auto It = Object.find(Name);
  return It != Object.end() && It->is_string() ? It->get<std::string>() : std::string();
}

// The first capture of the first purchase unit; null when there is none.
const json* FirstCapture(const json& Order) {
  const auto Units = Order.find("purchase_units");
  if (Units != Order.end() && Units->is_array() && !Units->empty() && (*Units)[0].is_object()) {
    const auto Payments = (*Units)[0].find("payments");
    if (Payments != (*Units)[0].end() && Payments->is_object()) {
      const auto Captures = Payments->find("captures");
      if (Captures != Payments->end() && Captures->is_array() && !Captures->empty() &&
          (*Captures)[0].is_object())
        return &(*Captures)[0];
    }
  }
  return nullptr;
}

// The status of the first capture of the first purchase unit, else the order's status.
std::string CaptureStatus(const json& Order) {
  if (const json* Capture = FirstCapture(Order)) return StringAt(*Capture, "status");
  return StringAt(Order, "status");
}

// The id of a completed capture, which is the payment's transaction id; empty when none.
std::string CaptureId(const json& Order) {
  const json* Capture = FirstCapture(Order);
  return Capture != nullptr ? StringAt(*Capture, "id") : std::string();
}

json Money(std::int64_t Units, TIWCurrency Currency) {
  return {{"currency_code", CurrencyText(Currency)},
          {"value", MinorUnitsFixedText(Units, Currency)}};
}

}  // namespace

namespace detail {

std::string RestFailureMessage(const std::string& Reply) {
  const json Doc = ParseReply(Reply);
  const auto Details = Doc.find("details");
  if (Details != Doc.end() && Details->is_array() && !Details->empty() &&
      (*Details)[0].is_object()) {
    std::string Description = StringAt((*Details)[0], "description");
    if (!Description.empty()) return Description;
  }
  for (const char* Name : {"message", "error_description"}) {
    std::string Text = StringAt(Doc, Name);
    if (!Text.empty()) return Text;
  }
  const std::string Status = CaptureStatus(Doc);
  if (!Status.empty()) return "PayPal reported the payment as " + Status;
  return "PayPal's reply could not be read";
}

}  // namespace detail

std::string TZIWPayPalClient::GetRestServer() const {
  auto L = Lock();
  return Host(FServerType == stLive ? IWZelkAuthBase::phPayPalLiveRest
                                    : IWZelkAuthBase::phPayPalSandboxRest);
}

std::string TZIWPayPalClient::AccessToken(std::string& Error) {
  const std::string Host = GetRestServer();
  const std::string Id = FSeller->ClientID();
  const std::string Secret = FSeller->ClientSecret();
  const std::string Key = Host + '\n' + Id + '\n' + Secret;
  std::lock_guard Guard(FTokenCache->Mutex);
  const auto Now = IWZelkAuthBase::detail::Now();
  if (FTokenCache->Key == Key && !FTokenCache->Token.empty() && Now < FTokenCache->RenewAt)
    return FTokenCache->Token;

  const std::string Pair = Id + ":" + Secret;
  const std::vector<std::string> Headers = {
      "Authorization: Basic " +
          IWZelkAuthBase::Base64Encode(IWZelkAuthBase::TBytes(Pair.begin(), Pair.end())),
      "Content-Type: application/x-www-form-urlencoded", "Accept: application/json"};
  const std::string Reply =
      Transport().Post11(Host, "/v1/oauth2/token", Headers, "grant_type=client_credentials").Body;
  const json Doc = ParseReply(Reply);
  std::string Token = StringAt(Doc, "access_token");
  const auto Expires = Doc.find("expires_in");
  if (Token.empty() || Expires == Doc.end() || !Expires->is_number_integer()) {
    Error = detail::RestFailureMessage(Reply);
    return {};
  }
  FTokenCache->Key = Key;
  FTokenCache->Token = Token;
  // A lifetime shorter than the margin is used for this operation only.
  FTokenCache->RenewAt = Now + std::chrono::seconds(Expires->get<std::int64_t>()) - kTokenMargin;
  return Token;
}

std::string TZIWPayPalClient::RestCall(const std::string& Path, const std::string& Body,
                                       const std::string& Token,
                                       const std::string& RequestId) const {
  const std::vector<std::string> Headers = {
      "Authorization: Bearer " + Token, "Content-Type: application/json",
      "Accept: application/json", "PayPal-Request-Id: " + RequestId};
  const std::string Host = GetRestServer();
  bool FirstMayHaveArrived = false;
  try {
    return Transport().Post11(Host, Path, Headers, Body).Body;
  } catch (const rtl::Exception& E) {
    // The first attempt may have reached PayPal: the same request id makes the second one
    // answer with its result instead of charging again.
    const auto* Transport = dynamic_cast<const ETransportError*>(&E);
    FirstMayHaveArrived = Transport != nullptr && Transport->RequestMayHaveArrived();
  }
  try {
    return Transport().Post11(Host, Path, Headers, Body).Body;
  } catch (const ETransportError& E) {
    // A second attempt that never left does not undo a first that may have arrived.
    if (FirstMayHaveArrived && !E.RequestMayHaveArrived())
      throw ETransportError(E.Message(), E.Step(), true);
    throw;
  }
}

std::string TZIWPayPalClient::OrderBody(bool Card, const std::string& ReturnURL,
                                        const std::string& CancelURL) const {
  const TIWCurrency Currency = FTransaction->Currency();
  json Items = json::array();
  for (int I = 0; I < FTransactions->Count(); ++I) {
    const TPayPalTransaction* Item = FTransactions->Items(I);
    json Line = {{"name", Item->Name()},
                 {"description", Item->Description()},
                 {"sku", std::to_string(Item->Number())},
                 {"unit_amount", Money(MinorUnits(Item->Price(), Currency), Currency)},
                 {"quantity", std::to_string(Item->Quantity())}};
    Items.push_back(std::move(Line));
  }
  const std::int64_t ItemTotal = ItemTotalUnits();
  const json Amount = {
      {"currency_code", CurrencyText(Currency)},
      {"value", MinorUnitsFixedText(OrderTotalUnits(), Currency)},
      {"breakdown",
       {{"item_total", Money(ItemTotal, Currency)},
        {"shipping", Money(MinorUnits(FTransaction->Shipping(), Currency), Currency)},
        {"tax_total", Money(MinorUnits(FTransaction->Tax(), Currency), Currency)},
        {"insurance", Money(MinorUnits(FTransaction->Insurance(), Currency), Currency)}}}};
  const json Address = {{"address_line_1", FBuyer->Street()},
                        {"admin_area_2", FBuyer->City()},
                        {"postal_code", FBuyer->Zip()},
                        {"country_code", FBuyer->CountryCode()}};
  const std::string FullName = FBuyer->FirstName() + " " + FBuyer->Name();
  json Unit = {{"items", std::move(Items)},
               {"amount", Amount},
               {"shipping", {{"name", {{"full_name", FullName}}}, {"address", Address}}}};
  json Order = {{"intent", "CAPTURE"}, {"purchase_units", json::array({std::move(Unit)})}};
  if (Card) {
    const std::int32_t Month = FCreditCard->ExpirationMonth();
    std::string Expiry = std::to_string(FCreditCard->ExpirationYear()) + "-";
    if (Month >= 0 && Month < 10) Expiry += "0";
    Expiry += std::to_string(Month);
    Order["payment_source"] = {{"card",
                                {{"number", FCreditCard->Number()},
                                 {"expiry", Expiry},
                                 {"security_code", FCreditCard->VerificationCode()},
                                 {"name", FullName},
                                 {"billing_address", Address}}}};
  } else {
    Order["payment_source"] = {
        {"paypal",
         {{"email_address", FBuyer->Email()},
          {"experience_context", {{"return_url", ReturnURL}, {"cancel_url", CancelURL}}}}}};
  }
  // Invalid UTF-8 in a name or address is replaced rather than failing the payment.
  return Order.dump(-1, ' ', false, json::error_handler_t::replace);
}

TIWResult TZIWPayPalClient::CreateOrder(const std::string& Body, bool ReportLostAnswer,
                                        std::string& Reply, std::string& Error) {
  const std::string RequestId = NewRequestId();
  std::string Refusal;
  const std::string Token = AccessToken(Refusal);
  if (Token.empty()) {
    Error = "Payment failed: " + Refusal;
    return resFailed;
  }
  try {
    Reply = RestCall("/v2/checkout/orders", Body, Token, RequestId);
  } catch (const ETransportError& E) {
    if (!ReportLostAnswer || !E.RequestMayHaveArrived()) throw;
    Error = detail::UnknownOutcomeText(E.Message());
    return resUnknown;
  }
  return resOK;
}

// The REST Orders API: an order created with the buyer's return and cancel addresses, approved
// on PayPal's page and captured on return; a card order captured at once.
class detail::TRestCheckout final : public detail::TCheckoutGeneration {
 public:
  TCheckoutStart Start(TZIWPayPalClient& Client, const TCheckoutOrder& Order) const override;
  TCheckoutEnd Complete(TZIWPayPalClient& Client, const std::string& Token,
                        const THttpRequest& Request) const override;
  TIWResult PayDirect(TZIWPayPalClient& Client) const override;
};

detail::TCheckoutStart detail::TRestCheckout::Start(TZIWPayPalClient& Client,
                                                    const TCheckoutOrder& Order) const {
  TCheckoutStart S;
  std::string Reply;
  // No money moves here: an answer lost on the way raises like any transport failure.
  if (Client.CreateOrder(Client.OrderBody(false, Order.ReturnURL, Order.CancelURL), false, Reply,
                         S.Error) != resOK)
    return S;
  const json Doc = ParseReply(Reply);
  const std::string Id = StringAt(Doc, "id");
  std::string Approve;
  if (const auto Links = Doc.find("links"); Links != Doc.end() && Links->is_array()) {
    for (const char* Rel : {"payer-action", "approve"}) {
      for (const json& Link : *Links)
        if (Link.is_object() && StringAt(Link, "rel") == Rel && Approve.empty())
          Approve = StringAt(Link, "href");
    }
  }
  // Only an https address goes to the browser: a hostile reply cannot send the buyer to a
  // script or break the redirect's header line.
  if (Id.empty() || !Approve.starts_with("https://")) {
    std::string Reason = RestFailureMessage(Reply);
    if (!Id.empty()) Reason = "PayPal created the order but sent no approval address";
    S.Error = "Payment failed: " + Reason;
    return S;
  }
  S.Token = Id;
  S.ApprovalURL = IWZelkAuthBase::EncodeURLUnsafe(Approve);
  return S;
}

detail::TCheckoutEnd detail::TRestCheckout::Complete(TZIWPayPalClient& Client,
                                                     const std::string& Token,
                                                     const THttpRequest& /*Request*/) const {
  const std::string RequestId = CaptureRequestId(Token);
  std::string Error;
  const std::string AccessTokenText = Client.AccessToken(Error);
  if (AccessTokenText.empty()) return TCheckoutEnd::Failed("Payment failed: " + Error);
  // The order id came from PayPal's reply; it is escaped so that it stays one path segment.
  std::string Reply;
  try {
    Reply = Client.RestCall("/v2/checkout/orders/" + IWZelkAuthBase::URLEncode(Token) + "/capture",
                            "", AccessTokenText, RequestId);
  } catch (const ETransportError& E) {
    // Not sent either time: nothing was captured, and the return may be tried again.
    if (!E.RequestMayHaveArrived()) throw;
    return TCheckoutEnd::Lost(E.Message());
  }
  const json Order = ParseReply(Reply);
  if (CaptureStatus(Order) == "COMPLETED") return TCheckoutEnd::Paid(CaptureId(Order));
  return TCheckoutEnd::Failed("Payment failed: " + RestFailureMessage(Reply));
}

TIWResult detail::TRestCheckout::PayDirect(TZIWPayPalClient& Client) const {
  std::string Reply;
  std::string Error;
  // The body checks every amount first.
  if (const TIWResult Sent = Client.CreateOrder(Client.OrderBody(true, "", ""), true, Reply, Error);
      Sent != resOK) {
    Client.SetLoginError(std::move(Error));
    return Sent;
  }
  const json Order = ParseReply(Reply);
  if (CaptureStatus(Order) == "COMPLETED") {
    Client.FTransactionID = CaptureId(Order);
    return resOK;
  }
  Client.SetLoginError("Payment failed: " + RestFailureMessage(Reply));
  return resFailed;
}

const detail::TCheckoutGeneration& detail::RestCheckout() {
  static const TRestCheckout Rest;
  return Rest;
}

}  // namespace zelk::IWPayPalClient
