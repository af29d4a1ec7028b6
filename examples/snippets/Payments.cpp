// Payments by card and by PayPal Express Checkout, as the demo makes them.
#include "core/IWZelkAuthBase.h"
#include "examples/snippets/Snippets.h"
#include "payments/IWPayPalClient.h"

namespace zelk::snippets {

using namespace IWPayPalClient;

void PayForTheCart(web::TIWApplication& Session, IWZelkAuthBase::TZIWAuthServerController* Auth) {
  // [readme:paypal-setup]
  auto* PayPal = new TZIWPayPalClient(&Session);
  PayPal->Seller()->SetUserName("your_api1.example.com");
  PayPal->Seller()->SetPassword("your-api-password");
  PayPal->Seller()->SetSignature("your-api-signature");
  PayPal->SetServerType(stLive);  // stSandBox (the default) for PayPal's test accounts
  PayPal->Transaction()->SetCurrency(crEUR);
  PayPal->Transaction()->SetShipping(4.90);
  PayPal->Transaction()->SetTax(2.30);
  TPayPalTransaction* Mug = PayPal->Transactions()->Add();
  Mug->SetName("Zelk mug");
  Mug->SetPrice(12.50);
  Mug->SetQuantity(2);
  PayPal->Buyer()->SetFirstName("Ada");
  PayPal->Buyer()->SetName("Lovelace");
  // [/readme]

  // [readme:paydirect]
  PayPal->CreditCard()->SetCardType(ctVisa);
  PayPal->CreditCard()->SetNumber("4111111111111111");
  PayPal->CreditCard()->SetExpirationMonth(12);
  PayPal->CreditCard()->SetExpirationYear(2031);
  PayPal->CreditCard()->SetVerificationCode("123");
  switch (PayPal->PayDirect()) {
    case IWZelkAuthBase::resOK:
      Show(Session, "Paid");
      break;
    case IWZelkAuthBase::resUnknown:  // the answer was lost: the card may have been charged
      Show(Session, "Do not pay again before checking your statement: " + PayPal->LoginError());
      break;
    default:
      Show(Session, "The card was refused");
  }
  // [/readme]

  // [readme:payonline]
  PayPal->SetServerController(Auth);  // Auth must be owned by the TIWServerControllerBase
  PayPal->SetOnPayPalPaymentOK([&Session](rtl::TObject*) { Show(Session, "Thank you!"); });
  PayPal->SetOnPayPalCancel([&Session](rtl::TObject*) { Show(Session, "Payment canceled"); });
  PayPal->SetOnPayPalFailed([&Session, PayPal](rtl::TObject*) {
    Show(Session, "Payment failed: " + PayPal->LoginError());
  });
  PayPal->SetOnPayPalUnknown([&Session, PayPal](rtl::TObject*) {
    Show(Session, "Do not pay again before checking: " + PayPal->LoginError());
  });
  if (PayPal->PayOnline(&Session) != IWZelkAuthBase::resOK)  // sends the browser to PayPal
    Show(Session, "PayPal refused the order: " + PayPal->LoginError());
  // [/readme]
}

}  // namespace zelk::snippets
