// The generic checkout of TZIWPayPalClient and its two descriptions: Express Checkout over the
// NVP API (classic) and the REST Orders API (current). The client runs the steps every
// checkout shares (the wiring checks, the return and cancel addresses, the cancellation, the
// check that a return carries the checkout's own token, the outcome and its event); a
// description says how each step talks to PayPal:
//  - Start registers the order and names the page the buyer approves it on;
//  - IsApproval tells a return from the approval page from anything else;
//  - Complete charges (NVP) or captures (REST) the approved checkout; an answer lost after the
//    request may have reached PayPal comes back as Lost;
//  - Recheck asks PayPal how a checkout whose answer was lost stands (default: unknown);
//  - PayDirect charges the card.
// PayOnline chooses the description from Api once for the checkout; the buyer's return is
// completed by the same one. Internal to the unit; not installed.
#pragma once

#include <cstdint>
#include <string>

#include "payments/IWPayPalClient.h"

namespace zelk::IWPayPalClient::detail {

// What completing a checkout came to.
struct TCheckoutEnd {
  enum class TKind : std::uint8_t {
    Paid,     // taken: TransactionID is PayPal's id for it (empty when PayPal named none)
    Failed,   // refused: Text is LoginError
    Unknown,  // the payment may or may not have been taken: Text is LoginError
    Lost,     // the completing call's answer was lost after sending: Text says how
    Done      // the description reported the outcome itself
  };
  TKind Kind = TKind::Failed;
  std::string Text;
  std::string TransactionID;

  static TCheckoutEnd Paid(std::string Id) { return {TKind::Paid, {}, std::move(Id)}; }
  static TCheckoutEnd Failed(std::string Text) { return {TKind::Failed, std::move(Text), {}}; }
  static TCheckoutEnd Unknown(std::string Text) { return {TKind::Unknown, std::move(Text), {}}; }
  static TCheckoutEnd Lost(std::string Text) { return {TKind::Lost, std::move(Text), {}}; }
};

// The order a checkout registers, its amounts checked already.
struct TCheckoutOrder {
  std::string ReturnURL;
  std::string CancelURL;
  std::int64_t ItemUnits = 0;
  std::int64_t TotalUnits = 0;
};

// What starting a checkout came to: the checkout's token (decoded) and the approval page, or
// (ApprovalURL empty) the refusal's text for LoginError.
struct TCheckoutStart {
  std::string Token;
  std::string ApprovalURL;
  std::string Error;
};

class TCheckoutGeneration {
 public:
  TCheckoutGeneration() = default;
  TCheckoutGeneration(const TCheckoutGeneration&) = delete;
  TCheckoutGeneration& operator=(const TCheckoutGeneration&) = delete;
  virtual ~TCheckoutGeneration() = default;

  // Transport failures raise.
  virtual TCheckoutStart Start(TZIWPayPalClient& Client, const TCheckoutOrder& Order) const = 0;
  // Default: the return carries a "token".
  virtual bool IsApproval(const THttpRequest& Request) const {
    return !Request.Query("token").empty();
  }
  // Token is the checkout's own (the return carried it). A failure before the request could
  // reach PayPal raises, and the return can be tried again.
  virtual TCheckoutEnd Complete(TZIWPayPalClient& Client, const std::string& Token,
                                const THttpRequest& Request) const = 0;
  // Default: the outcome stays unknown.
  virtual TCheckoutEnd Recheck(TZIWPayPalClient& Client, const std::string& Token,
                               const std::string& Lost) const;
  virtual TIWResult PayDirect(TZIWPayPalClient& Client) const = 0;
};

const TCheckoutGeneration& NvpCheckout();
const TCheckoutGeneration& RestCheckout();

}  // namespace zelk::IWPayPalClient::detail
