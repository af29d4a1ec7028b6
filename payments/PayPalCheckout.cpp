// TZIWPayPalClient's generic checkout: PayOnline and LoginResponse run the steps every checkout
// shares and leave PayPal's side to the description PayOnline chose (PayPalCheckoutDetail.h);
// PayDirect hands the card payment to the description Api names.
#include "payments/PayPalCheckoutDetail.h"

namespace zelk::IWPayPalClient {

namespace {

using IWZelkAuthBase::resFailed;
using IWZelkAuthBase::resOK;
using IWZelkAuthBase::resUnknown;
using TKind = detail::TCheckoutEnd::TKind;

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

// The descriptions by the Api value that names them.
const detail::TCheckoutGeneration& CheckoutOf(IWZelkAuthBase::TIWApi Api) {
  static_assert(static_cast<int>(IWZelkAuthBase::apClassic) == 0 &&
                static_cast<int>(IWZelkAuthBase::apCurrent) == 1);
  static const detail::TCheckoutGeneration* const Generations[] = {&detail::NvpCheckout(),
                                                                   &detail::RestCheckout()};
  return *Generations[static_cast<std::size_t>(Api)];
}

}  // namespace

detail::TCheckoutEnd detail::TCheckoutGeneration::Recheck(TZIWPayPalClient& /*Client*/,
                                                          const std::string& /*Token*/,
                                                          const std::string& Lost) const {
  return TCheckoutEnd::Unknown(UnknownOutcomeText(Lost));
}

const detail::TCheckoutGeneration& TZIWPayPalClient::Checkout() {
  if (FCheckout == nullptr) FCheckout = &CheckoutOf(Api());
  return *FCheckout;
}

TIWResult TZIWPayPalClient::PayDirect() {
  auto L = Lock();
  FTransactionID.clear();
  return CheckoutOf(Api()).PayDirect(*this);
}

detail::TCheckoutOrder TZIWPayPalClient::CheckoutOrder(TIWApplication* WebApplication) {
  CheckServerController("PayOnline");
  if (WebApplication == nullptr)
    throw rtl::Exception("TZIWPayPalClient.PayOnline: no application object was passed");
  // Validate the wiring before anything changes: a misconfigured call leaves the registry and
  // PayPal untouched.
  const web::TIWServerControllerBase* Framework = FrameworkController(ServerController());
  // Every amount is checked here too (an impossible one raises), so that nothing after this
  // point can fail before the order is sent.
  detail::TCheckoutOrder Order;
  Order.ItemUnits = ItemTotalUnits();
  Order.TotalUnits = OrderTotalUnits();
  const std::string ClientId = NewFlowIdentifier();
  FCheckoutToken.clear();
  FTransactionID.clear();

  std::string Base = WebApplication->GetApplicationURL();
  if (Framework->URLSessionTracking()) Base += "/" + WebApplication->SessionID();
  Base += "/?clientid=" + ClientId;
  Order.ReturnURL = Base + "&paypalcallback=1";
  Order.CancelURL = Base + "&paypalcancel=1";
  return Order;
}

TIWResult TZIWPayPalClient::PayOnline(TIWApplication* WebApplication) {
  auto L = Lock();
  const detail::TCheckoutOrder Order = CheckoutOrder(WebApplication);
  // The description is chosen here, once for the whole checkout.
  FCheckout = &CheckoutOf(Api());
  detail::TCheckoutStart Started = FCheckout->Start(*this, Order);
  if (Started.ApprovalURL.empty()) {
    SetLoginError(std::move(Started.Error));
    return resFailed;
  }
  FCheckoutToken = std::move(Started.Token);
  WebApplication->GoToURL(Started.ApprovalURL);
  return resOK;
}

void TZIWPayPalClient::LoginResponse(const THttpRequest& Request) {
  auto L = Lock();
  // A cancellation wins over anything else the return carries.
  if (Request.Query("paypalcancel") == "1") {
    Finish(resFailed, "Payment canceled", FOnPayPalCancel);
    return;
  }
  const detail::TCheckoutGeneration& Generation = Checkout();
  // Not a return from the approval page (or a truncated one): nothing to complete.
  if (!Generation.IsApproval(Request)) return;
  // Only the checkout this flow started may be completed: a return with another token (a
  // replayed or forged link) is refused before anything reaches PayPal.
  const std::string Token = Request.Query("token");
  if (FCheckoutToken.empty() || Token != FCheckoutToken) {
    Finish(resFailed,
           "Payment failed: the checkout token of the return is not the one PayPal issued for "
           "this payment",
           FOnPayPalFailed);
    return;
  }
  detail::TCheckoutEnd End = Generation.Complete(*this, Token, Request);
  if (End.Kind == TKind::Lost) End = Generation.Recheck(*this, Token, End.Text);
  Conclude(End);
}

void TZIWPayPalClient::Conclude(const detail::TCheckoutEnd& End) {
  switch (End.Kind) {
    case TKind::Paid:
      FTransactionID = End.TransactionID;
      Finish(resOK, std::nullopt, FOnPayPalPaymentOK);
      break;
    case TKind::Failed:
      Finish(resFailed, End.Text, FOnPayPalFailed);
      break;
    case TKind::Unknown:
      Finish(resUnknown, End.Text, FOnPayPalUnknown);
      break;
    case TKind::Lost:  // a recheck that could not tell leaves the outcome unknown
      Finish(resUnknown, detail::UnknownOutcomeText(End.Text), FOnPayPalUnknown);
      break;
    case TKind::Done:
      break;
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
  FCheckout = nullptr;
  TZIWCustomCloudClient::SignOut();
}

}  // namespace zelk::IWPayPalClient
