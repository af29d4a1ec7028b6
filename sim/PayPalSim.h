// The simulator's PayPal: the NVP API and the Express Checkout page, on the simulator's PayPal
// listener (which serves the live and the sandbox hosts alike).
//
// "/nvp" (POST) takes the body as a form and answers in PayPal's NVP reply format:
//   success  "[TOKEN=...&]TIMESTAMP=...&CORRELATIONID=...&ACK=Success&VERSION=...&BUILD=...[&...]"
//   failure  "ACK=Failure&L_ERRORCODE0=...&L_SHORTMESSAGE0=...&L_LONGMESSAGE0=...
//             &L_SEVERITYCODE0=Error&TIMESTAMP=...&CORRELATIONID=...&VERSION=...&BUILD=..."
// Reply values are form-encoded with "%20" for a blank: letters, digits and "-._~" stay, every
// other byte is "%xx".
//
// Methods and what they check, after the credentials (USER, PWD, SIGNATURE of the merchant
// account), a numeric VERSION and that no field appears twice:
//  - doDirectPayment: PAYMENTACTION, AMT (positive, at most two decimals, "." only),
//    CREDITCARDTYPE matching the number, ACCT with a valid Luhn check digit, EXPDATE (MMYYYY, not
//    before the current month), CVV2, FIRSTNAME, LASTNAME, CURRENCYCODE. Records the payment.
//  - SetExpressCheckout: AMT, CURRENCYCODE, RETURNURL and CANCELURL (absolute http or https),
//    every L_AMTn times L_QTYn adding up to ITEMAMT, and ITEMAMT plus SHIPPINGAMT, INSURANCEAMT,
//    TAXAMT and HANDLINGAMT adding up to AMT. Answers a new token.
//  - GetExpressCheckoutDetails: TOKEN known. Answers the order, PAYERID once approved, and
//    CHECKOUTSTATUS: PaymentActionCompleted with PAYMENTREQUEST_0_TRANSACTIONID once paid,
//    PaymentActionFailed after a refused DoExpressCheckoutPayment, else
//    PaymentActionNotInitiated.
//  - DoExpressCheckoutPayment: TOKEN known, approved by the buyer and not yet paid, PAYERID that
//    of the buyer who approved, AMT not above the approved amount, CURRENCYCODE that of the
//    order. Records the payment.
//
// "/webscr?cmd=_express-checkout&token=<token>" (GET) shows the order with a Pay and a Cancel
// button: one form posting to "/webscr" the fields "cmd" (_express-checkout), "token" and
// "action" ("pay" or "cancel"). Pay approves the checkout and redirects (302) to the return
// address with "token" and "PayerID" added; Cancel redirects to the cancel address with "token".
//
// The REST API on the same listener:
//  - "/v1/oauth2/token" (POST): Basic authentication with ClientID and ClientSecret and
//    "grant_type=client_credentials"; answers a bearer token valid for nine hours.
//  - "/v2/checkout/orders" (POST, bearer token): intent CAPTURE, one purchase unit whose amounts
//    carry exactly the currency's decimals (0 for JPY, HUF, TWD, else 2), items adding up to
//    item_total and the breakdown to the amount. With payment_source.paypal (return_url and
//    cancel_url absolute) the order waits for the buyer at "/checkoutnow?token=<id>"; with
//    payment_source.card it is captured at once: 4111111111111111 and 5555555555554444 are
//    accepted, 4000000000000002 is declined (capture status DECLINED), any other number is
//    refused.
//  - "/checkoutnow" (GET shows the order with Pay and Cancel; POST "token" and "action") sends the
//    browser back to return_url with "token" and "PayerID", or to cancel_url with "token".
//  - "/v2/checkout/orders/<id>/capture" (POST): only once, and only after the buyer's approval.
// A request repeated with the same PayPal-Request-Id gets the first reply again and changes
// nothing. Refusals are PayPal's JSON error documents ("name", "message", "debug_id",
// "details" with "issue" and "description").
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/Simulator.h"

namespace zelk::sim {

// The merchant API account the simulated PayPal accepts.
struct TPayPalSimAccount {
  std::string UserName = "merchant_api1.zelk.test";
  std::string Password = "ZELKSIMPW2026";
  std::string Signature = "ZelkSim.Signature-0123456789abcdef";
  // The REST app's credentials.
  std::string ClientID = "ZelkSimRestClient-0123456789";
  std::string ClientSecret = "ZelkSimRestSecret-abcdef0123456789";
};

// A payment the simulator accepted.
struct TPayPalSimPayment {
  std::string Method;         // "doDirectPayment" or "DoExpressCheckoutPayment"
  std::string TransactionID;  // as answered in TRANSACTIONID
  std::string Amount;         // AMT as charged, e.g. "26.00" or "26"
  std::int64_t AmountCents = 0;
  std::string Currency;
  // Express Checkout only: the checkout's token, the buyer's payer id and the AMT the buyer
  // approved on the checkout page (as SetExpressCheckout sent it).
  std::string Token;
  std::string PayerID;
  std::string ApprovedAmount;
  std::int64_t ApprovedCents = 0;
  // Direct payment only: the last four digits of the card.
  std::string CardLastFour;
};

// Installs the PayPal routes on a simulator and keeps their state. The routes share the state,
// so they keep working if this object goes before the simulator. Thread-safe.
class TPayPalSim {
 public:
  explicit TPayPalSim(Simulator& Sim, TPayPalSimAccount Account = {});

  const TPayPalSimAccount& Account() const;
  // Every payment accepted so far, in order.
  std::vector<TPayPalSimPayment> Payments() const;
  void ClearPayments();
  // The next call of Method (e.g. "DoExpressCheckoutPayment") is refused with this error
  // instead of being processed, as PayPal refuses a payment it declines.
  void FailNext(std::string Method, std::string ErrorCode = "10417",
                std::string ShortMessage = "Transaction cannot complete.",
                std::string LongMessage =
                    "The transaction cannot complete successfully. "
                    "Instruct the customer to use an alternative payment "
                    "method.");

  // Payments of the REST API so far, in order: Method "capture" (an approved order) or "card".
  std::vector<TPayPalSimPayment> RestPayments() const;

  struct TState;
  struct TRestState;

 private:
  std::shared_ptr<TState> FState;
  std::shared_ptr<TRestState> FRest;
  void InstallRest(Simulator& Sim, const TPayPalSimAccount& Account);
};

}  // namespace zelk::sim
