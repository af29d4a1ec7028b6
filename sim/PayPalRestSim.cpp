// The simulated PayPal REST API: OAuth client credentials, orders, the approval page, capture.
#include <chrono>
#include <ctime>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>

#include "core/IWZelkAuthBase.h"
#include "platform/web/HttpResponse.h"
#include "sim/ConsentPage.h"
#include "sim/OAuth2Grants.h"
#include "sim/PayPalSim.h"

namespace zelk::sim {

namespace {

using nlohmann::json;

TSimResponse Json(const json& Body, int Status) {
  TSimResponse R;
  R.Status = Status;
  R.Body = Body.dump();
  return R;
}

// PayPal's error document.
TSimResponse Error(int Status, const std::string& Name, const std::string& Message,
                   const std::string& Issue = "", const std::string& Description = "") {
  json Doc = {
      {"name", Name}, {"message", Message}, {"debug_id", RandomText(13, kUpperAlphaNumeric)}};
  if (!Issue.empty())
    Doc["details"] = json::array({{{"issue", Issue}, {"description", Description}}});
  return Json(Doc, Status);
}

TSimResponse Unprocessable(const std::string& Issue, const std::string& Description) {
  return Error(422, "UNPROCESSABLE_ENTITY",
               "The requested action could not be performed, semantically incorrect, or failed "
               "business validation.",
               Issue, Description);
}

int Decimals(const std::string& Currency) {
  return Currency == "JPY" || Currency == "HUF" || Currency == "TWD" ? 0 : 2;
}

// A money object's value in minor units, when it has the currency and exactly its decimals.
std::optional<std::int64_t> Units(const json& Money, const std::string& Currency) {
  if (!Money.is_object() || !Money.contains("value") || !Money["value"].is_string() ||
      Money.value("currency_code", "") != Currency)
    return std::nullopt;
  const std::string V = Money["value"].get<std::string>();
  const int D = Decimals(Currency);
  const auto Dot = V.find('.');
  const std::size_t Whole = Dot == std::string::npos ? V.size() : Dot;
  if (Whole == 0 || Whole > 10) return std::nullopt;
  if (D == 0 ? Dot != std::string::npos
             : Dot == std::string::npos || V.size() - Dot - 1 != static_cast<std::size_t>(D))
    return std::nullopt;
  std::int64_t R = 0;
  for (const char C : V) {
    if (C == '.') continue;
    if (C < '0' || C > '9') return std::nullopt;
    R = R * 10 + (C - '0');
  }
  return R;
}

bool Absolute(const std::string& URL) {
  return URL.starts_with("http://") || URL.starts_with("https://");
}

std::string WithQuery(const std::string& URL, const std::string& Query) {
  return URL + (URL.find('?') == std::string::npos ? "?" : "&") + Query;
}

enum class TOrderState { PayerActionRequired, Approved, Cancelled, Completed };

struct TOrder {
  TOrderState State = TOrderState::PayerActionRequired;
  std::string Rows;  // the items as rows of the approval page's table
  std::string Currency;
  std::string Amount;
  std::int64_t Cents = 0;
  std::string ReturnURL;
  std::string CancelURL;
  std::string PayerID;
};

}  // namespace

struct TPayPalSim::TRestState {
  std::mutex Mutex;
  TPayPalSimAccount Account;
  std::map<std::string, std::chrono::steady_clock::time_point> Tokens;
  std::map<std::string, TOrder> Orders;
  std::map<std::string, TSimResponse> Replayed;  // path + request id -> first reply
  std::vector<TPayPalSimPayment> Payments;

  TSimResponse Token(const TSimRequest& R);
  TSimResponse Create(const TSimRequest& R);
  TSimResponse CreateChecked(const TSimRequest& R);
  TSimResponse Capture(const TSimRequest& R);
  TSimResponse Page(const TSimRequest& R);
  TSimResponse Decide(const TSimRequest& R);

  // The bearer token's check, then Handler once per PayPal-Request-Id. Mutex held.
  template <typename F>
  TSimResponse Authorized(const TSimRequest& R, F Handler) {
    std::lock_guard L(Mutex);
    const std::string Auth = R.Header("Authorization");
    const auto It = Auth.starts_with("Bearer ") ? Tokens.find(Auth.substr(7)) : Tokens.end();
    if (It == Tokens.end() || It->second < std::chrono::steady_clock::now())
      return Json({{"error", "invalid_token"},
                   {"error_description", "Token signature verification failed"}},
                  401);
    const std::string RequestId = R.Header("PayPal-Request-Id");
    if (!RequestId.empty()) {
      const auto Seen = Replayed.find(R.Path + "\n" + RequestId);
      if (Seen != Replayed.end()) return Seen->second;
    }
    TSimResponse Reply = Handler();
    if (!RequestId.empty()) Replayed[R.Path + "\n" + RequestId] = Reply;
    return Reply;
  }

  json OrderDocument(const std::string& Id, const TOrder& O, const std::string& Host) const {
    json Doc = {{"id", Id}};
    switch (O.State) {
      case TOrderState::PayerActionRequired:
      case TOrderState::Cancelled:
        Doc["status"] = "PAYER_ACTION_REQUIRED";
        break;
      case TOrderState::Approved:
        Doc["status"] = "APPROVED";
        break;
      case TOrderState::Completed:
        Doc["status"] = "COMPLETED";
        break;
    }
    Doc["links"] = json::array(
        {{{"href", "https://" + Host + "/v2/checkout/orders/" + Id}, {"rel", "self"}},
         {{"href", "https://" + Host + "/checkoutnow?token=" + Id}, {"rel", "payer-action"}}});
    return Doc;
  }
};

TSimResponse TPayPalSim::TRestState::Token(const TSimRequest& R) {
  const std::string Pair = Account.ClientID + ":" + Account.ClientSecret;
  const std::string Expected =
      "Basic " + IWZelkAuthBase::Base64Encode(IWZelkAuthBase::TBytes(Pair.begin(), Pair.end()));
  if (R.Header("Authorization") != Expected)
    return Json(
        {{"error", "invalid_client"}, {"error_description", "Client Authentication failed"}}, 401);
  if (R.Form().Values("grant_type") != "client_credentials")
    return Json({{"error", "unsupported_grant_type"},
                 {"error_description", "Grant Type is NULL or not client_credentials"}},
                400);
  const std::string Token = "A21AA" + RandomText(40, kUpperAlphaNumeric);
  std::lock_guard L(Mutex);
  Tokens[Token] = std::chrono::steady_clock::now() + std::chrono::hours(9);
  return Json({{"scope", "https://uri.paypal.com/services/payments/payment"},
               {"access_token", Token},
               {"token_type", "Bearer"},
               {"app_id", "APP-ZELKSIM"},
               {"expires_in", 32400}},
              200);
}

TSimResponse TPayPalSim::TRestState::Create(const TSimRequest& R) {
  try {
    return CreateChecked(R);
  } catch (const json::exception&) {
    // A member of the wrong type somewhere in the order.
    return Error(400, "INVALID_REQUEST", "Request is not well-formed.", "INVALID_PARAMETER_SYNTAX",
                 "A field of the order has the wrong type.");
  }
}

TSimResponse TPayPalSim::TRestState::CreateChecked(const TSimRequest& R) {
  return Authorized(R, [&]() -> TSimResponse {
    const json Body = json::parse(R.Body, nullptr, false);
    if (!Body.is_object())
      return Error(400, "INVALID_REQUEST", "Request is not well-formed.", "MALFORMED_REQUEST_JSON",
                   "The request JSON is not well formed.");
    if (Body.value("intent", "") != "CAPTURE")
      return Error(400, "INVALID_REQUEST", "Request is not well-formed.", "INVALID_PARAMETER_VALUE",
                   "intent must be CAPTURE.");
    const json Units0 = Body.value("purchase_units", json());
    if (!Units0.is_array() || Units0.size() != 1 || !Units0[0].is_object())
      return Error(400, "INVALID_REQUEST", "Request is not well-formed.",
                   "MISSING_REQUIRED_PARAMETER", "Exactly one purchase unit is required.");
    const json& Unit = Units0[0];
    const json Amount = Unit.value("amount", json());
    const std::string Currency = Amount.is_object() ? Amount.value("currency_code", "") : "";
    const auto Total = Units(Amount, Currency);
    if (Currency.empty() || !Total)
      return Unprocessable("DECIMAL_PRECISION",
                           "The amount must carry exactly the currency's decimals.");
    const json Breakdown = Amount.value("breakdown", json::object());
    std::int64_t ItemSum = 0;
    const json Items = Unit.value("items", json::array());
    for (const json& Item : Items) {
      const auto Price = Units(Item.value("unit_amount", json()), Currency);
      const std::string Qty = Item.is_object() ? Item.value("quantity", "") : "";
      if (!Price || Qty.empty() || Qty.size() > 9 ||
          Qty.find_first_not_of("0123456789") != std::string::npos)
        return Unprocessable("DECIMAL_PRECISION",
                             "Each item needs a unit amount in the order's currency with exactly "
                             "its decimals and a whole quantity.");
      ItemSum += *Price * std::stoll(Qty);
    }
    std::int64_t Parts = 0;
    for (const char* Name : {"item_total", "shipping", "tax_total", "insurance", "handling"}) {
      if (!Breakdown.contains(Name)) continue;
      const auto V = Units(Breakdown[Name], Currency);
      if (!V)
        return Unprocessable("DECIMAL_PRECISION",
                             std::string(Name) + " must carry exactly the currency's decimals.");
      if (std::string(Name) == "item_total" && *V != ItemSum)
        return Unprocessable("ITEM_TOTAL_MISMATCH",
                             "Should equal sum of (unit_amount * quantity) across all items.");
      Parts += *V;
    }
    if (!Items.empty() && !Breakdown.contains("item_total"))
      return Unprocessable("ITEM_TOTAL_REQUIRED",
                           "If item details are specified, "
                           "amount.breakdown.item_total is required.");
    if (Breakdown.size() > 0 && Parts != *Total)
      return Unprocessable("AMOUNT_MISMATCH",
                           "Should equal item_total + tax_total + shipping + handling + "
                           "insurance.");
    if (*Total <= 0)
      return Unprocessable("CANNOT_BE_ZERO_OR_NEGATIVE", "Must be greater than zero.");

    TOrder O;
    for (const json& Item : Items)
      O.Rows += "<tr><td>" + web::HTMLEncode(Item.value("name", "")) + "</td><td>" +
                web::HTMLEncode(Item.value("quantity", "")) + "</td><td>" +
                web::HTMLEncode(Item["unit_amount"].value("value", "")) + "</td></tr>";
    O.Currency = Currency;
    O.Amount = Amount["value"].get<std::string>();
    O.Cents = *Total;
    const std::string Id = RandomText(17, kUpperAlphaNumeric);
    const json Source = Body.value("payment_source", json::object());
    if (Source.contains("card") && Source["card"].is_object()) {
      const json& Card = Source["card"];
      const std::string Number = Card.value("number", "");
      const bool Accepted = Number == "4111111111111111" || Number == "5555555555554444";
      if (!Accepted && Number != "4000000000000002")
        return Unprocessable("CARD_NUMBER_INVALID", "The card number is not valid.");
      const std::string Expiry = Card.value("expiry", "");
      const std::time_t T = std::time(nullptr);
      std::tm U{};
      gmtime_r(&T, &U);
      char Now[32];
      std::snprintf(Now, sizeof Now, "%04d-%02d", U.tm_year + 1900, U.tm_mon + 1);
      if (Expiry.size() != 7 || Expiry[4] != '-' || Expiry < std::string(Now))
        return Unprocessable("CARD_EXPIRED", "The card is expired.");
      const std::string Code = Card.value("security_code", "");
      if (Code.size() < 3 || Code.size() > 4)
        return Unprocessable("INVALID_SECURITY_CODE_LENGTH",
                             "The security code length is invalid.");
      O.State = TOrderState::Completed;
      const std::string CaptureId = RandomText(17, kUpperAlphaNumeric);
      if (Accepted) {
        TPayPalSimPayment P;
        P.Method = "card";
        P.TransactionID = CaptureId;
        P.Amount = O.Amount;
        P.AmountCents = O.Cents;
        P.Currency = Currency;
        P.CardLastFour = Number.substr(Number.size() - 4);
        Payments.push_back(P);
      }
      Orders[Id] = O;
      return Json(
          {{"id", Id},
           {"status", "COMPLETED"},
           {"purchase_units",
            json::array(
                {{{"payments",
                   {{"captures", json::array({{{"id", CaptureId},
                                               {"status", Accepted ? "COMPLETED" : "DECLINED"},
                                               {"amount", Amount}}})}}}}})}},
          201);
    }
    const json Context = Source.value("paypal", json::object()).value("experience_context", json());
    if (!Context.is_object() || !Absolute(Context.value("return_url", "")) ||
        !Absolute(Context.value("cancel_url", "")))
      return Error(400, "INVALID_REQUEST", "Request is not well-formed.",
                   "MISSING_REQUIRED_PARAMETER",
                   "return_url and cancel_url must be absolute http or https addresses.");
    O.ReturnURL = Context["return_url"].get<std::string>();
    O.CancelURL = Context["cancel_url"].get<std::string>();
    Orders[Id] = O;
    return Json(OrderDocument(Id, O, R.Header("Host")), 200);
  });
}

TSimResponse TPayPalSim::TRestState::Capture(const TSimRequest& R) {
  return Authorized(R, [&]() -> TSimResponse {
    // "/v2/checkout/orders/<id>/capture"
    const std::string Prefix = "/v2/checkout/orders/";
    const std::string Id = R.Path.substr(
        Prefix.size(), R.Path.size() - Prefix.size() - std::string("/capture").size());
    const auto It = Orders.find(Id);
    if (It == Orders.end())
      return Error(404, "RESOURCE_NOT_FOUND", "The specified resource does not exist.",
                   "INVALID_RESOURCE_ID", "Specified resource ID does not exist.");
    TOrder& O = It->second;
    if (O.State == TOrderState::Completed)
      return Unprocessable("ORDER_ALREADY_CAPTURED", "Order already captured.");
    if (O.State != TOrderState::Approved)
      return Unprocessable("ORDER_NOT_APPROVED",
                           "Payer has not yet approved the Order for payment.");
    O.State = TOrderState::Completed;
    const std::string CaptureId = RandomText(17, kUpperAlphaNumeric);
    TPayPalSimPayment P;
    P.Method = "capture";
    P.TransactionID = CaptureId;
    P.Amount = O.Amount;
    P.AmountCents = O.Cents;
    P.Currency = O.Currency;
    P.Token = Id;
    P.PayerID = O.PayerID;
    Payments.push_back(P);
    return Json({{"id", Id},
                 {"status", "COMPLETED"},
                 {"purchase_units",
                  json::array({{{"payments",
                                 {{"captures", json::array({{{"id", CaptureId},
                                                             {"status", "COMPLETED"},
                                                             {"amount",
                                                              {{"currency_code", O.Currency},
                                                               {"value", O.Amount}}}}})}}}}})}},
                201);
  });
}

TSimResponse TPayPalSim::TRestState::Page(const TSimRequest& R) {
  const std::string Id = R.Query.Values("token");
  std::lock_guard L(Mutex);
  const auto It = Orders.find(Id);
  if (It == Orders.end() || It->second.State != TOrderState::PayerActionRequired)
    return TSimResponse::Html(
        "<!DOCTYPE html><html><head><title>PayPal Checkout</title></head><body><p "
        "class=\"error\">This order is unknown or no longer waits for the buyer.</p></body></html>",
        404);
  const TOrder& O = It->second;
  return TSimResponse::Html(RenderCheckoutPage(
      "<table id=\"order\">" + O.Rows + "<tr><th colspan=\"2\">Total</th><td id=\"total\">" +
          web::HTMLEncode(O.Amount) + " " + web::HTMLEncode(O.Currency) + "</td></tr></table>",
      "/checkoutnow", {{"token", Id}}));
}

TSimResponse TPayPalSim::TRestState::Decide(const TSimRequest& R) {
  const rtl::TStringList F = R.Form();
  const std::string Id = F.Values("token");
  const std::string Action = F.Values("action");
  std::lock_guard L(Mutex);
  const auto It = Orders.find(Id);
  if (It == Orders.end() || It->second.State != TOrderState::PayerActionRequired)
    return TSimResponse::Html("<p class=\"error\">This order no longer waits for the buyer.</p>",
                              409);
  TOrder& O = It->second;
  if (Action == "pay") {
    O.State = TOrderState::Approved;
    O.PayerID = RandomText(13, kUpperAlphaNumeric);
    return TSimResponse::Redirect(WithQuery(O.ReturnURL, "token=" + Id + "&PayerID=" + O.PayerID));
  }
  if (Action == "cancel") {
    O.State = TOrderState::Cancelled;
    return TSimResponse::Redirect(WithQuery(O.CancelURL, "token=" + Id));
  }
  return TSimResponse::Html("<p class=\"error\">Choose Pay or Cancel.</p>", 400);
}

void TPayPalSim::InstallRest(Simulator& Sim, const TPayPalSimAccount& Account) {
  FRest = std::make_shared<TRestState>();
  FRest->Account = Account;
  const std::shared_ptr<TRestState> S = FRest;
  Sim.Route(TProviderId::PayPal, "POST", "/v1/oauth2/token",
            [S](const TSimRequest& R) { return S->Token(R); });
  Sim.Route(TProviderId::PayPal, "POST", "/v2/checkout/orders",
            [S](const TSimRequest& R) { return S->Create(R); });
  Sim.Route(TProviderId::PayPal, "POST", "/v2/checkout/orders/*/capture",
            [S](const TSimRequest& R) { return S->Capture(R); });
  Sim.Route(TProviderId::PayPal, "GET", "/checkoutnow",
            [S](const TSimRequest& R) { return S->Page(R); });
  Sim.Route(TProviderId::PayPal, "POST", "/checkoutnow",
            [S](const TSimRequest& R) { return S->Decide(R); });
}

std::vector<TPayPalSimPayment> TPayPalSim::RestPayments() const {
  std::lock_guard L(FRest->Mutex);
  return FRest->Payments;
}

}  // namespace zelk::sim
