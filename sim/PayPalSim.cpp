// The simulated PayPal NVP API and Express Checkout page.
#include "sim/PayPalSim.h"

#include <array>
#include <charconv>
#include <chrono>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>

#include "platform/web/HttpResponse.h"
#include "sim/ConsentPage.h"
#include "sim/OAuth2Grants.h"

namespace zelk::sim {

namespace {

constexpr const char* kBuild = "ZS2026";

// ---------------------------------------------------------------------------------------------
// Texts

// Reply values are form-encoded with "%20" for a blank: letters, digits and "-._~" stay, any
// other byte is "%xx". Messages therefore read as text once "%20" is turned back.
std::string ReplyValue(std::string_view V) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string R;
  for (const char Ch : V) {
    const auto C = static_cast<unsigned char>(Ch);
    if ((C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') || (C >= '0' && C <= '9') || C == '-' ||
        C == '.' || C == '_' || C == '~') {
      R += Ch;
    } else {
      R += '%';
      R += kHex[C >> 4];
      R += kHex[C & 15];
    }
  }
  return R;
}

std::tm UtcNow() {
  const std::time_t T = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm U{};
  gmtime_r(&T, &U);
  return U;
}

std::string TimeStamp() {
  const std::tm U = UtcNow();
  char Buffer[32];
  std::strftime(Buffer, sizeof Buffer, "%Y-%m-%dT%H:%M:%SZ", &U);
  return Buffer;
}

// "12", "12.5", "12.50", optionally "-12.50": an amount in cents. No other separator, no
// exponent, at most two decimals, as PayPal reads amounts.
std::optional<std::int64_t> ParseCents(std::string_view S, bool AllowNegative) {
  bool Negative = false;
  if (AllowNegative && !S.empty() && S.front() == '-') {
    Negative = true;
    S.remove_prefix(1);
  }
  const auto Dot = S.find('.');
  const std::string_view Whole = S.substr(0, Dot);
  const std::string_view Fraction = Dot == std::string_view::npos ? "" : S.substr(Dot + 1);
  auto Digits = [](std::string_view D) {
    return D.find_first_not_of("0123456789") == std::string_view::npos;
  };
  if (Whole.empty() || Whole.size() > 9 || !Digits(Whole)) return std::nullopt;
  if (Dot != std::string_view::npos &&
      (Fraction.empty() || Fraction.size() > 2 || !Digits(Fraction)))
    return std::nullopt;
  std::int64_t Cents = 0;
  std::from_chars(Whole.data(), Whole.data() + Whole.size(), Cents);
  Cents *= 100;
  if (!Fraction.empty()) {
    int F = 0;
    std::from_chars(Fraction.data(), Fraction.data() + Fraction.size(), F);
    Cents += Fraction.size() == 1 ? F * 10 : F;
  }
  return Negative ? -Cents : Cents;
}

std::string CentsText(std::int64_t Cents) {
  const bool Negative = Cents < 0;
  if (Negative) Cents = -Cents;
  std::string Fraction = std::to_string(Cents % 100);
  if (Fraction.size() < 2) Fraction.insert(0, "0");
  return (Negative ? "-" : "") + std::to_string(Cents / 100) + "." + Fraction;
}

bool LuhnValid(std::string_view Number) {
  int Sum = 0;
  bool Double = false;
  for (auto It = Number.rbegin(); It != Number.rend(); ++It) {
    int D = *It - '0';
    if (Double) {
      D *= 2;
      if (D > 9) D -= 9;
    }
    Sum += D;
    Double = !Double;
  }
  return Sum % 10 == 0;
}

bool BrandMatches(std::string_view Type, std::string_view Number) {
  auto Prefix = [&](int Digits) {
    int V = 0;
    std::from_chars(Number.data(), Number.data() + Digits, V);
    return V;
  };
  if (Type == "Visa") return Number.front() == '4';
  if (Type == "MasterCard") {
    const int P2 = Prefix(2), P4 = Prefix(4);
    return (P2 >= 51 && P2 <= 55) || (P4 >= 2221 && P4 <= 2720);
  }
  if (Type == "Discover") {
    const int P3 = Prefix(3);
    return Number.starts_with("6011") || Number.starts_with("65") || (P3 >= 644 && P3 <= 649);
  }
  if (Type == "Amex") return Number.starts_with("34") || Number.starts_with("37");
  return false;
}

bool IsCurrency(std::string_view C) {
  for (const char* Known : {"USD", "EUR", "GBP", "AUD", "CAD", "JPY", "CHF"})
    if (C == Known) return true;
  return false;
}

bool IsAbsoluteWebAddress(std::string_view U) {
  return (U.starts_with("http://") && U.size() > 7) || (U.starts_with("https://") && U.size() > 8);
}

// ---------------------------------------------------------------------------------------------
// Replies

struct TNVPError {
  std::string Code;
  std::string Short;
  std::string Long;
};

TNVPError InvalidArgument(std::string Long, std::string Code = "10004") {
  return {std::move(Code),
          "Transaction refused because of an invalid argument. See additional error messages for "
          "details.",
          std::move(Long)};
}

TNVPError Missing(const std::string& Field) {
  return {"81100", "Missing Parameter", Field + " : Required parameter missing"};
}

using TFields = std::vector<std::pair<std::string, std::string>>;

std::string Tail(std::string_view Version) {
  return "&TIMESTAMP=" + ReplyValue(TimeStamp()) +
         "&CORRELATIONID=" + ReplyValue(RandomText(13, kUpperAlphaNumeric)) +
         "&VERSION=" + ReplyValue(Version) + "&BUILD=" + kBuild;
}

TSimResponse Success(std::string_view Token, std::string_view Version, const TFields& Fields) {
  std::string Body;
  if (!Token.empty()) Body = "TOKEN=" + ReplyValue(Token) + "&";
  Body += "TIMESTAMP=" + ReplyValue(TimeStamp()) +
          "&CORRELATIONID=" + ReplyValue(RandomText(13, kUpperAlphaNumeric)) +
          "&ACK=Success&VERSION=" + ReplyValue(Version) + "&BUILD=" + kBuild;
  for (const auto& [Name, Value] : Fields)
    Body += "&" + Name + "=" + ReplyValue(Value);
  return TSimResponse::Text(std::move(Body));
}

TSimResponse Failure(const TNVPError& E, std::string_view Version) {
  return TSimResponse::Text(
      "ACK=Failure&L_ERRORCODE0=" + ReplyValue(E.Code) + "&L_SHORTMESSAGE0=" + ReplyValue(E.Short) +
      "&L_LONGMESSAGE0=" + ReplyValue(E.Long) + "&L_SEVERITYCODE0=Error" + Tail(Version));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// State

struct TPayPalSim::TState {
  enum class TCheckoutState { Created, Approved, Cancelled, Paid };
  struct TCheckout {
    rtl::TStringList Order;  // the SetExpressCheckout fields
    std::string Amount;      // AMT as sent
    std::int64_t AmountCents = 0;
    std::string Currency;
    std::string ReturnURL;
    std::string CancelURL;
    TCheckoutState State = TCheckoutState::Created;
    std::string PayerID;
    // The last DoExpressCheckoutPayment for it was refused (and none has paid it since).
    bool PaymentFailed = false;
    std::string TransactionID;  // once paid
  };

  TPayPalSimAccount Account;
  mutable std::mutex Mutex;
  std::map<std::string, TCheckout> Checkouts;  // by token
  std::vector<TPayPalSimPayment> Payments;
  std::map<std::string, TNVPError> FailNext;  // by method

  TSimResponse Nvp(const TSimRequest& R);
  TSimResponse DirectPayment(const rtl::TStringList& F, const std::string& Version);
  TSimResponse SetExpressCheckout(const rtl::TStringList& F, const std::string& Version);
  TSimResponse GetDetails(const rtl::TStringList& F, const std::string& Version);
  TSimResponse DoPayment(const rtl::TStringList& F, const std::string& Version);
  TSimResponse Page(const TSimRequest& R);
  TSimResponse Decide(const TSimRequest& R);
};

TSimResponse TPayPalSim::TState::Nvp(const TSimRequest& R) {
  const rtl::TStringList F = R.Form();
  const std::string Version = F.Values("VERSION");
  // A field sent twice means the body was put together wrongly (or a value escaped its field):
  // refuse rather than guess which one counts.
  for (int I = 0; I < F.Count(); ++I)
    for (int J = 0; J < I; ++J)
      if (rtl::SameText(F.Names(I), F.Names(J)))
        return Failure(InvalidArgument("The field " + F.Names(I) + " appears more than once."),
                       Version);
  if (F.Values("USER") != Account.UserName || F.Values("PWD") != Account.Password ||
      F.Values("SIGNATURE") != Account.Signature)
    return Failure({"10002", "Security error", "Security header is not valid"}, Version);
  double V = 0;
  const auto Parsed = std::from_chars(Version.data(), Version.data() + Version.size(), V);
  if (Version.empty() || Parsed.ec != std::errc() ||
      Parsed.ptr != Version.data() + Version.size() || V <= 0)
    return Failure({"10006", "Version error", "Version is not supported"}, Version);

  const std::string Method = F.Values("METHOD");
  {
    std::lock_guard L(Mutex);
    if (const auto It = FailNext.find(Method); It != FailNext.end()) {
      const TNVPError E = It->second;
      FailNext.erase(It);
      // A declined payment is what the checkout's status reports from then on.
      if (Method == "DoExpressCheckoutPayment")
        if (const auto C = Checkouts.find(F.Values("TOKEN"));
            C != Checkouts.end() && C->second.State != TCheckoutState::Paid)
          C->second.PaymentFailed = true;
      return Failure(E, Version);
    }
  }
  if (Method == "doDirectPayment" || Method == "DoDirectPayment") return DirectPayment(F, Version);
  if (Method == "SetExpressCheckout") return SetExpressCheckout(F, Version);
  if (Method == "GetExpressCheckoutDetails") return GetDetails(F, Version);
  if (Method == "DoExpressCheckoutPayment") return DoPayment(F, Version);
  return Failure({"81002", "Unspecified Method", "Method Specified is not Supported"}, Version);
}

TSimResponse TPayPalSim::TState::DirectPayment(const rtl::TStringList& F,
                                               const std::string& Version) {
  for (const char* Required : {"PAYMENTACTION", "AMT", "CREDITCARDTYPE", "ACCT", "EXPDATE", "CVV2",
                               "FIRSTNAME", "LASTNAME", "CURRENCYCODE"})
    if (F.Values(Required).empty()) return Failure(Missing(Required), Version);
  const std::string Action = F.Values("PAYMENTACTION");
  if (!rtl::SameText(Action, "Sale") && !rtl::SameText(Action, "Authorization"))
    return Failure(InvalidArgument("PaymentAction : Invalid parameter", "81251"), Version);
  const auto Cents = ParseCents(F.Values("AMT"), false);
  if (!Cents) return Failure(InvalidArgument("Order total is invalid.", "10401"), Version);
  if (*Cents == 0)
    return Failure({"10525", "Invalid Data",
                    "This transaction cannot be processed. The amount to be charged is zero."},
                   Version);
  const std::string Currency = F.Values("CURRENCYCODE");
  if (!IsCurrency(Currency))
    return Failure(InvalidArgument("Currency is not supported", "10605"), Version);

  const std::string Number = F.Values("ACCT");
  const std::string Type = F.Values("CREDITCARDTYPE");
  if (Number.size() < 12 || Number.size() > 19 ||
      Number.find_first_not_of("0123456789") != std::string::npos || !LuhnValid(Number) ||
      !BrandMatches(Type, Number))
    return Failure({"10527", "Invalid Data",
                    "This transaction cannot be processed. Please enter a valid credit card number "
                    "and type."},
                   Version);
  const std::string Exp = F.Values("EXPDATE");
  int Month = 0, Year = 0;
  if (Exp.size() != 6 || Exp.find_first_not_of("0123456789") != std::string::npos ||
      (std::from_chars(Exp.data(), Exp.data() + 2, Month), Month < 1 || Month > 12))
    return Failure({"10508", "Invalid Data",
                    "This transaction cannot be processed. Please enter a valid credit card "
                    "expiration date."},
                   Version);
  std::from_chars(Exp.data() + 2, Exp.data() + 6, Year);
  // A card is good through the last day of its expiry month.
  const std::tm Now = UtcNow();
  if (Year * 12 + Month < (Now.tm_year + 1900) * 12 + Now.tm_mon + 1)
    return Failure({"10502", "Invalid Data",
                    "This transaction cannot be processed. Please use a valid credit card."},
                   Version);
  const std::string Cvv = F.Values("CVV2");
  if (Cvv.size() != (Type == "Amex" ? 4u : 3u) ||
      Cvv.find_first_not_of("0123456789") != std::string::npos)
    return Failure({"10504", "Invalid Data",
                    "This transaction cannot be processed. Please enter a valid Credit Card "
                    "Verification Number."},
                   Version);

  TPayPalSimPayment P;
  P.Method = "doDirectPayment";
  P.TransactionID = RandomText(17, kUpperAlphaNumeric);
  P.Amount = F.Values("AMT");
  P.AmountCents = *Cents;
  P.Currency = Currency;
  P.CardLastFour = Number.substr(Number.size() - 4);
  {
    std::lock_guard L(Mutex);
    Payments.push_back(P);
  }
  return Success("", Version,
                 {{"AMT", CentsText(*Cents)},
                  {"CURRENCYCODE", Currency},
                  {"AVSCODE", "X"},
                  {"CVV2MATCH", "M"},
                  {"TRANSACTIONID", P.TransactionID}});
}

TSimResponse TPayPalSim::TState::SetExpressCheckout(const rtl::TStringList& F,
                                                    const std::string& Version) {
  if (F.Values("AMT").empty())
    return Failure(InvalidArgument("Order total is missing.", "10400"), Version);
  const auto Total = ParseCents(F.Values("AMT"), false);
  if (!Total || *Total == 0)
    return Failure(InvalidArgument("Order total is invalid.", "10401"), Version);
  const std::string Currency = F.Values("CURRENCYCODE");
  if (Currency.empty()) return Failure(Missing("CURRENCYCODE"), Version);
  if (!IsCurrency(Currency))
    return Failure(InvalidArgument("Currency is not supported", "10605"), Version);
  const std::string ReturnURL = F.Values("RETURNURL");
  const std::string CancelURL = F.Values("CANCELURL");
  if (ReturnURL.empty()) return Failure(InvalidArgument("ReturnURL is missing.", "10471"), Version);
  if (CancelURL.empty()) return Failure(InvalidArgument("CancelURL is missing.", "10472"), Version);
  if (!IsAbsoluteWebAddress(ReturnURL))
    return Failure(InvalidArgument("ReturnURL is invalid.", "10471"), Version);
  if (!IsAbsoluteWebAddress(CancelURL))
    return Failure(InvalidArgument("CancelURL is invalid.", "10472"), Version);

  // The lines must add up to the item total, and the parts to the order total.
  std::int64_t Lines = 0;
  for (int N = 0;; ++N) {
    const std::string I = std::to_string(N);
    if (F.IndexOfName("L_AMT" + I) < 0 && F.IndexOfName("L_NAME" + I) < 0) break;
    const auto Price = ParseCents(F.Values("L_AMT" + I), true);
    if (!Price) return Failure(InvalidArgument("Item amount is invalid.", "10431"), Version);
    const std::string QtyText = F.Values("L_QTY" + I).empty() ? "1" : F.Values("L_QTY" + I);
    int Qty = 0;
    const auto Q = std::from_chars(QtyText.data(), QtyText.data() + QtyText.size(), Qty);
    if (Q.ec != std::errc() || Q.ptr != QtyText.data() + QtyText.size() || Qty <= 0)
      return Failure(InvalidArgument("Item quantity is invalid.", "10432"), Version);
    Lines += *Price * Qty;
  }
  std::int64_t Parts = 0;
  for (const char* Part : {"ITEMAMT", "SHIPPINGAMT", "INSURANCEAMT", "TAXAMT", "HANDLINGAMT"}) {
    const std::string Text = F.Values(Part);
    if (Text.empty()) continue;
    const auto Cents = ParseCents(Text, false);
    if (!Cents)
      return Failure(InvalidArgument(std::string(Part) + " is invalid.", "10401"), Version);
    Parts += *Cents;
  }
  const auto ItemTotal = ParseCents(F.Values("ITEMAMT").empty() ? "0" : F.Values("ITEMAMT"), false);
  if ((F.IndexOfName("L_AMT0") >= 0 && Lines != *ItemTotal) || Parts != *Total)
    return Failure(
        InvalidArgument("The totals of the cart item amounts do not match order amounts.", "10413"),
        Version);

  TCheckout C;
  C.Order = F;
  C.Amount = F.Values("AMT");
  C.AmountCents = *Total;
  C.Currency = Currency;
  C.ReturnURL = ReturnURL;
  C.CancelURL = CancelURL;
  const std::string Token = "EC-" + RandomText(17, kUpperAlphaNumeric);
  {
    std::lock_guard L(Mutex);
    Checkouts.emplace(Token, std::move(C));
  }
  return Success(Token, Version, {});
}

TSimResponse TPayPalSim::TState::GetDetails(const rtl::TStringList& F, const std::string& Version) {
  const std::string Token = F.Values("TOKEN");
  if (Token.empty()) return Failure(Missing("TOKEN"), Version);
  std::lock_guard L(Mutex);
  const auto It = Checkouts.find(Token);
  if (It == Checkouts.end()) return Failure({"10410", "Invalid token", "Invalid token."}, Version);
  const TCheckout& C = It->second;
  TFields Fields;
  Fields.emplace_back("EMAIL", C.Order.Values("EMAIL"));
  if (!C.PayerID.empty()) {
    Fields.emplace_back("PAYERID", C.PayerID);
    Fields.emplace_back("PAYERSTATUS", "verified");
  }
  Fields.emplace_back("SHIPTONAME", C.Order.Values("NAME"));
  Fields.emplace_back("SHIPTOSTREET", C.Order.Values("SHIPTOSTREET"));
  Fields.emplace_back("SHIPTOCITY", C.Order.Values("SHIPTOCITY"));
  Fields.emplace_back("SHIPTOZIP", C.Order.Values("SHIPTOZIP"));
  Fields.emplace_back("SHIPTOCOUNTRYCODE", C.Order.Values("SHIPTOCOUNTRYCODE"));
  Fields.emplace_back("CURRENCYCODE", C.Currency);
  Fields.emplace_back("AMT", CentsText(C.AmountCents));
  Fields.emplace_back("CHECKOUTSTATUS", C.State == TCheckoutState::Paid ? "PaymentActionCompleted"
                                        : C.PaymentFailed               ? "PaymentActionFailed"
                                                          : "PaymentActionNotInitiated");
  if (C.State == TCheckoutState::Paid)
    Fields.emplace_back("PAYMENTREQUEST_0_TRANSACTIONID", C.TransactionID);
  return Success(Token, Version, Fields);
}

TSimResponse TPayPalSim::TState::DoPayment(const rtl::TStringList& F, const std::string& Version) {
  for (const char* Required : {"TOKEN", "PAYERID", "AMT", "PAYMENTACTION"})
    if (F.Values(Required).empty()) return Failure(Missing(Required), Version);
  const std::string Token = F.Values("TOKEN");
  const auto Cents = ParseCents(F.Values("AMT"), false);
  if (!Cents || *Cents == 0)
    return Failure(InvalidArgument("Order total is invalid.", "10401"), Version);

  std::lock_guard L(Mutex);
  const auto It = Checkouts.find(Token);
  if (It == Checkouts.end()) return Failure({"10410", "Invalid token", "Invalid token."}, Version);
  TCheckout& C = It->second;
  if (C.State == TCheckoutState::Paid)
    return Failure(InvalidArgument("A successful transaction has already been completed for this "
                                   "token.",
                                   "10415"),
                   Version);
  if (C.State != TCheckoutState::Approved)
    return Failure(
        {"10485", "Payment not authorized", "Payment has not been authorized by the user."},
        Version);
  // A refusal of an approved checkout's payment is what its status reports from then on.
  const auto Refuse = [&](const TNVPError& E) {
    C.PaymentFailed = true;
    return Failure(E, Version);
  };
  if (F.Values("PAYERID") != C.PayerID)
    return Refuse(InvalidArgument("The PayerID value is invalid.", "10406"));
  const std::string Currency = F.Values("CURRENCYCODE").empty() ? "USD" : F.Values("CURRENCYCODE");
  if (Currency != C.Currency)
    return Refuse(InvalidArgument(
        "The transaction currency specified must be the same as previously specified.", "10444"));
  if (*Cents > C.AmountCents)
    return Refuse(
        {"10610", "Amount limit exceeded", "The amount exceeds the amount the buyer approved."});

  C.State = TCheckoutState::Paid;
  C.PaymentFailed = false;
  TPayPalSimPayment P;
  P.Method = "DoExpressCheckoutPayment";
  P.TransactionID = RandomText(17, kUpperAlphaNumeric);
  P.Amount = F.Values("AMT");
  P.AmountCents = *Cents;
  P.Currency = Currency;
  P.Token = Token;
  P.PayerID = C.PayerID;
  P.ApprovedAmount = C.Amount;
  P.ApprovedCents = C.AmountCents;
  C.TransactionID = P.TransactionID;
  Payments.push_back(P);
  return Success(Token, Version,
                 {{"TRANSACTIONID", P.TransactionID},
                  {"TRANSACTIONTYPE", "expresscheckout"},
                  {"PAYMENTTYPE", "instant"},
                  {"AMT", CentsText(*Cents)},
                  {"CURRENCYCODE", Currency},
                  {"PAYMENTSTATUS", "Completed"}});
}

// ---------------------------------------------------------------------------------------------
// The checkout page

namespace {

TSimResponse PageError(int Status, const std::string& Message) {
  return TSimResponse::Html(
      "<!DOCTYPE html><html><head><title>PayPal Checkout</title></head>"
      "<body><h1>PayPal Checkout</h1><p class=\"error\">" +
          web::HTMLEncode(Message) + "</p></body></html>",
      Status);
}

// Adds name=value pairs to an address's query.
std::string WithQuery(std::string URL,
                      const std::vector<std::pair<std::string, std::string>>& Add) {
  char Sep = URL.find('?') == std::string::npos ? '?' : '&';
  for (const auto& [Name, Value] : Add) {
    URL += Sep + Name + "=" + ReplyValue(Value);
    Sep = '&';
  }
  return URL;
}

}  // namespace

TSimResponse TPayPalSim::TState::Page(const TSimRequest& R) {
  if (R.Query.Values("cmd") != "_express-checkout")
    return PageError(400, "Unknown command \"" + R.Query.Values("cmd") + "\".");
  const std::string Token = R.Query.Values("token");
  std::lock_guard L(Mutex);
  const auto It = Checkouts.find(Token);
  if (Token.empty() || It == Checkouts.end())
    return PageError(404, "This checkout session has expired or its token is unknown.");
  const TCheckout& C = It->second;
  if (C.State == TCheckoutState::Paid) return PageError(409, "This order has already been paid.");
  if (C.State == TCheckoutState::Cancelled) return PageError(409, "This checkout was cancelled.");

  std::string Rows;
  for (int N = 0; C.Order.IndexOfName("L_AMT" + std::to_string(N)) >= 0; ++N) {
    const std::string I = std::to_string(N);
    Rows += "<tr><td>" + web::HTMLEncode(C.Order.Values("L_NAME" + I)) + "</td><td>" +
            web::HTMLEncode(C.Order.Values("L_DESC" + I)) + "</td><td>" +
            web::HTMLEncode(C.Order.Values("L_QTY" + I)) + "</td><td>" +
            web::HTMLEncode(C.Order.Values("L_AMT" + I)) + "</td></tr>";
  }
  auto Line = [&](const char* Label, const char* Field) {
    const std::string V = C.Order.Values(Field);
    return V.empty() ? std::string()
                     : "<tr><th colspan=\"3\">" + std::string(Label) + "</th><td>" +
                           web::HTMLEncode(V) + "</td></tr>";
  };
  const std::string Order =
      "<table id=\"order\"><tr><th>Item</th><th>Description</th>"
      "<th>Quantity</th><th>Price</th></tr>" +
      Rows + Line("Items", "ITEMAMT") + Line("Shipping", "SHIPPINGAMT") +
      Line("Insurance", "INSURANCEAMT") + Line("Tax", "TAXAMT") +
      "<tr><th colspan=\"3\">Total</th><td id=\"total\">" + web::HTMLEncode(C.Amount) + " " +
      web::HTMLEncode(C.Currency) +
      "</td></tr></table><p id=\"shipto\">Ship to: " + web::HTMLEncode(C.Order.Values("NAME")) +
      ", " + web::HTMLEncode(C.Order.Values("SHIPTOSTREET")) + ", " +
      web::HTMLEncode(C.Order.Values("SHIPTOZIP")) + " " +
      web::HTMLEncode(C.Order.Values("SHIPTOCITY")) + ", " +
      web::HTMLEncode(C.Order.Values("SHIPTOCOUNTRYCODE")) + "</p>";
  return TSimResponse::Html(
      RenderCheckoutPage(Order, "/webscr", {{"cmd", "_express-checkout"}, {"token", Token}}));
}

TSimResponse TPayPalSim::TState::Decide(const TSimRequest& R) {
  const rtl::TStringList F = R.Form();
  if (F.Values("cmd") != "_express-checkout")
    return PageError(400, "Unknown command \"" + F.Values("cmd") + "\".");
  const std::string Token = F.Values("token");
  const std::string Action = F.Values("action");
  std::lock_guard L(Mutex);
  const auto It = Checkouts.find(Token);
  if (Token.empty() || It == Checkouts.end())
    return PageError(404, "This checkout session has expired or its token is unknown.");
  TCheckout& C = It->second;
  if (C.State == TCheckoutState::Paid) return PageError(409, "This order has already been paid.");
  if (C.State == TCheckoutState::Cancelled) return PageError(409, "This checkout was cancelled.");
  if (Action == "pay") {
    if (C.PayerID.empty()) C.PayerID = RandomText(13, kUpperAlphaNumeric);
    C.State = TCheckoutState::Approved;
    return TSimResponse::Redirect(
        WithQuery(C.ReturnURL, {{"token", Token}, {"PayerID", C.PayerID}}));
  }
  if (Action == "cancel") {
    C.State = TCheckoutState::Cancelled;
    return TSimResponse::Redirect(WithQuery(C.CancelURL, {{"token", Token}}));
  }
  return PageError(400, "Choose Pay or Cancel.");
}

// ---------------------------------------------------------------------------------------------
// TPayPalSim

TPayPalSim::TPayPalSim(Simulator& Sim, TPayPalSimAccount Account)
    : FState(std::make_shared<TState>()) {
  FState->Account = std::move(Account);
  const std::shared_ptr<TState> S = FState;
  Sim.Route(TProviderId::PayPal, "POST", "/nvp", [S](const TSimRequest& R) { return S->Nvp(R); });
  Sim.Route(TProviderId::PayPal, "GET", "/webscr",
            [S](const TSimRequest& R) { return S->Page(R); });
  Sim.Route(TProviderId::PayPal, "POST", "/webscr",
            [S](const TSimRequest& R) { return S->Decide(R); });
  InstallRest(Sim, FState->Account);
}

const TPayPalSimAccount& TPayPalSim::Account() const {
  return FState->Account;
}

std::vector<TPayPalSimPayment> TPayPalSim::Payments() const {
  std::lock_guard L(FState->Mutex);
  return FState->Payments;
}

void TPayPalSim::ClearPayments() {
  std::lock_guard L(FState->Mutex);
  FState->Payments.clear();
}

void TPayPalSim::FailNext(std::string Method, std::string ErrorCode, std::string ShortMessage,
                          std::string LongMessage) {
  std::lock_guard L(FState->Mutex);
  FState->FailNext[std::move(Method)] = {std::move(ErrorCode), std::move(ShortMessage),
                                         std::move(LongMessage)};
}

}  // namespace zelk::sim
