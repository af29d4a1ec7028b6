// The payment client fed arbitrary NVP values (buyer, order line, seller password), arbitrary
// PayPal replies to doDirectPayment, SetExpressCheckout, GetExpressCheckoutDetails and
// DoExpressCheckoutPayment (or transport failures) and an arbitrary return query.
//
// Invariants: every NVP body has exactly its method's fields in their order, each value intact
// after decoding, whatever the values hold ("&", "=", "%", "+", line breaks); PayDirect answers
// resOK exactly when the reply acknowledges success and changes no outcome; PayOnline sends the
// browser to the checkout page for the reply's token (no byte a Location header must not carry)
// or fails with PayPal's messages in LoginError; a return reaches the client only with the
// flow's identifier; a cancellation, a refused details call and a refused payment end as
// documented with their one event; a return without token or payer id changes nothing; the
// token and payer id reach PayPal as the browser sent them; the amount charged is the amount
// announced; the login events are never raised; the identifier is spent once an outcome is
// reached.
#include <cstdint>

#include "payments/IWPayPalClient.h"
#include "support/FuzzSupport.h"
#include "support/PayPalTestClient.h"
#include "support/SignInFlow.h"

using namespace zelk;
using namespace zelk::IWZelkAuthBase;
using namespace zelk::IWPayPalClient;
using zelk::fuzz::Field;
using zelk::fuzz::FieldNames;
namespace nvp = zelk::IWPayPalClient::detail;

namespace {

const std::vector<std::string> kCredentials{"USER", "PWD", "SIGNATURE", "VERSION"};

std::vector<std::string> With(std::vector<std::string> Fields) {
  Fields.insert(Fields.end(), kCredentials.begin(), kCredentials.end());
  return Fields;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  fuzz::TParts In(Data, Size);
  testing::RecordingTransport Net;
  testing::TPayPalWiring W;
  testing::TTestPayPalClient* C = W.Client;
  int OK = 0, Cancel = 0, FailedEvents = 0, LoginEvents = 0;
  C->SetOnPayPalPaymentOK([&](rtl::TObject*) { ++OK; });
  C->SetOnPayPalCancel([&](rtl::TObject*) { ++Cancel; });
  C->SetOnPayPalFailed([&](rtl::TObject*) { ++FailedEvents; });
  C->SetOnLoginOK([&](rtl::TObject*) { ++LoginEvents; });
  C->SetOnLoginFailed([&](rtl::TObject*) { ++LoginEvents; });
  C->SetLoginError("earlier error");
  if (In.Option(2)) C->SetServerType(stLive);

  const std::string Street = In.Next();
  const std::string ItemName = In.Next();
  const std::string Password = In.Next();
  C->Seller()->SetUserName("merchant_api1.zelk.test");
  C->Seller()->SetPassword(Password);
  C->Seller()->SetSignature("Zelk.Signature");
  C->Buyer()->SetFirstName("Ann");
  C->Buyer()->SetName("Lee & Co");
  C->Buyer()->SetStreet(Street);
  C->CreditCard()->SetNumber("4111111111111111");
  auto* Item = C->Transactions()->Add();
  Item->SetName(ItemName);
  Item->SetPrice(10.5);
  Item->SetQuantity(2);
  C->Transaction()->SetShipping(In.Option(3) ? 5 : 0);
  const std::string Host = C->GetServer();
  const std::string OrderTotal = AmountText(21 + (In.Option(3) ? 5 : 0));

  auto CheckCall = [&](const TTransportRequest& R, const std::vector<std::string>& Names) {
    ZELK_FUZZ_CHECK(R.Method == "POST" && R.Host == Host && R.Path == "/nvp" && R.Headers.empty(),
                    R.Path);
    ZELK_FUZZ_CHECK(FieldNames(R.Data) == Names, R.Data);
    ZELK_FUZZ_CHECK(Field(R.Data, "PWD") == Password, R.Data);
  };

  // A direct payment.
  const fuzz::TReply DirectReply = fuzz::QueueReply(In, Net);
  try {
    const TIWResult R = C->PayDirect();
    ZELK_FUZZ_CHECK(!DirectReply.Failure, "no exception for a transport failure");
    ZELK_FUZZ_CHECK((R == resOK) == nvp::NVPSucceeded(DirectReply.Body) && R != resNone,
                    DirectReply.Body);
  } catch (const rtl::Exception& E) {
    ZELK_FUZZ_CHECK(E.Message() == fuzz::kTransportFailure && DirectReply.Failure, E.Message());
  }
  CheckCall(Net.At(0), With({"METHOD", "PAYMENTACTION", "AMT", "CREDITCARDTYPE", "ACCT", "EXPDATE",
                             "CVV2", "EMAIL", "FIRSTNAME", "LASTNAME", "STREET", "CITY", "ZIP",
                             "COUNTRYCODE", "CURRENCYCODE"}));
  ZELK_FUZZ_CHECK(Field(Net.At(0).Data, "STREET") == Street, Net.At(0).Data);
  ZELK_FUZZ_CHECK(C->LoginResult() == resNone && C->LoginError() == "earlier error",
                  "PayDirect changed the outcome");

  // Express Checkout: the order.
  Net.Clear();
  const fuzz::TReply SetReply = fuzz::QueueReply(In, Net);
  auto App = testing::MakeApplication("http://localhost/app");
  TIWResult Started = resNone;
  try {
    Started = C->PayOnline(App.get());
    ZELK_FUZZ_CHECK(!SetReply.Failure, "no exception for a transport failure");
  } catch (const rtl::Exception& E) {
    ZELK_FUZZ_CHECK(E.Message() == fuzz::kTransportFailure && SetReply.Failure, E.Message());
  }
  const std::string Id = W.EntryID();
  {
    const TTransportRequest R = Net.At(0);
    CheckCall(R, With({"METHOD",       "EMAIL",        "L_NAME0",    "L_AMT0",
                       "L_QTY0",       "L_NUMBER0",    "L_DESC0",    "SHIPPINGAMT",
                       "INSURANCEAMT", "TAXAMT",       "ITEMAMT",    "AMT",
                       "NAME",         "SHIPTOSTREET", "SHIPTOCITY", "SHIPTOCOUNTRYCODE",
                       "SHIPTOZIP",    "RETURNURL",    "CANCELURL",  "CURRENCYCODE"}));
    ZELK_FUZZ_CHECK(Field(R.Data, "SHIPTOSTREET") == Street && Field(R.Data, "L_NAME0") == ItemName,
                    R.Data);
    ZELK_FUZZ_CHECK(Field(R.Data, "AMT") == OrderTotal, R.Data);
    ZELK_FUZZ_CHECK(
        Field(R.Data, "RETURNURL") == "http://localhost/app/?clientid=" + Id + "&paypalcallback=1",
        R.Data);
  }
  if (SetReply.Failure) return 0;
  const std::string Token = nvp::NVPToken(SetReply.Body);
  if (nvp::NVPSucceeded(SetReply.Body) && !Token.empty()) {
    ZELK_FUZZ_CHECK(Started == resOK, SetReply.Body);
    const std::string& To = App->RedirectURL();
    ZELK_FUZZ_CHECK(To == "https://" +
                              ProviderHost(In.Option(2) ? phPayPalLiveWeb : phPayPalSandboxWeb) +
                              "/webscr?cmd=_express-checkout&token=" + EncodeURLUnsafe(Token),
                    To);
    ZELK_FUZZ_CHECK(!fuzz::HasUnsafeByte(To), To);
    ZELK_FUZZ_CHECK(C->LoginError() == "earlier error", C->LoginError());
  } else {
    ZELK_FUZZ_CHECK(Started == resFailed && App->RedirectURL().empty(), SetReply.Body);
    const std::string Messages = nvp::NVPFailureMessage(SetReply.Body);
    ZELK_FUZZ_CHECK(
        C->LoginError() == Messages || (Messages.empty() && nvp::NVPSucceeded(SetReply.Body)),
        C->LoginError());
  }
  ZELK_FUZZ_CHECK(C->LoginResult() == resNone && OK + Cancel + FailedEvents == 0,
                  "PayOnline set an outcome");

  // The buyer's return.
  Net.Clear();
  const std::string Before = C->LoginError();
  const auto Request =
      web::THttpRequest::FromTarget("/app/?" + fuzz::CallbackQuery(In, "clientid", Id));
  const fuzz::TReply DetailsReply = fuzz::QueueReply(In, Net);
  const fuzz::TReply PaymentReply = fuzz::QueueReply(In, Net);
  bool Threw = false;
  try {
    W.Controller->ProcessRequest(Request);
  } catch (const rtl::Exception& E) {
    ZELK_FUZZ_CHECK(E.Message() == fuzz::kTransportFailure, E.Message());
    Threw = true;
  }
  ZELK_FUZZ_CHECK(LoginEvents == 0, "a login event from the payment client");
  const auto Sent = Net.Requests();
  const int Events = OK + Cancel + FailedEvents;
  bool Outcome = false;
  if (!fuzz::RoutesTo(Request, Id)) {
    ZELK_FUZZ_CHECK(Sent.empty() && Events == 0 && C->LoginResult() == resNone,
                    Request.QueryString());
  } else if (Threw) {
    ZELK_FUZZ_CHECK(Events == 0 && C->LoginResult() == resNone && C->LoginError() == Before,
                    "outcome after a transport failure");
    ZELK_FUZZ_CHECK(DetailsReply.Failure || (Sent.size() == 2 && PaymentReply.Failure),
                    "a failure nobody scripted");
  } else if (Request.Query("paypalcancel") == "1") {
    ZELK_FUZZ_CHECK(Sent.empty() && Cancel == 1 && Events == 1, "a cancellation");
    ZELK_FUZZ_CHECK(C->LoginResult() == resFailed && C->LoginError() == "Payment canceled",
                    C->LoginError());
    Outcome = true;
  } else if (Request.Query("token").empty() || Request.Query("payerid").empty()) {
    ZELK_FUZZ_CHECK(Sent.empty() && Events == 0 && C->LoginResult() == resNone,
                    "a return without token or payer id");
  } else {
    Outcome = true;
    const std::string ReturnToken = Request.Query("token");
    // Only the token SetExpressCheckout gave this flow may go on to PayPal; any other ends the
    // flow with nothing sent.
    const bool Issued = nvp::NVPSucceeded(SetReply.Body) && !Token.empty();
    if (Sent.empty()) {
      ZELK_FUZZ_CHECK(FailedEvents == 1 && Events == 1 && C->LoginResult() == resFailed &&
                          C->LoginError().starts_with("Payment failed: the checkout token"),
                      C->LoginError());
      ZELK_FUZZ_CHECK(!Issued || ReturnToken != Token || Token.find('%') != std::string::npos,
                      "the issued token was refused: " + ReturnToken);
    } else {
      ZELK_FUZZ_CHECK(Issued, "a token PayPal never issued went on: " + ReturnToken);
      CheckCall(Sent[0], With({"METHOD", "TOKEN", "PAYMENTACTION"}));
      ZELK_FUZZ_CHECK(Field(Sent[0].Data, "METHOD") == "GetExpressCheckoutDetails" &&
                          Field(Sent[0].Data, "TOKEN") == ReturnToken,
                      Sent[0].Data);
      if (!nvp::NVPSucceeded(DetailsReply.Body)) {
        ZELK_FUZZ_CHECK(Sent.size() == 1 && FailedEvents == 1 && Events == 1, "refused details");
        ZELK_FUZZ_CHECK(C->LoginResult() == resFailed && C->LoginError() == "Payment failed",
                        C->LoginError());
      } else {
        ZELK_FUZZ_CHECK(Sent.size() == 2, "no payment call");
        CheckCall(Sent[1],
                  With({"METHOD", "TOKEN", "PAYERID", "AMT", "CURRENCYCODE", "PAYMENTACTION"}));
        ZELK_FUZZ_CHECK(Field(Sent[1].Data, "TOKEN") == ReturnToken &&
                            Field(Sent[1].Data, "PAYERID") == Request.Query("payerid") &&
                            Field(Sent[1].Data, "AMT") == OrderTotal,
                        Sent[1].Data);
        if (nvp::NVPSucceeded(PaymentReply.Body)) {
          ZELK_FUZZ_CHECK(
              OK == 1 && Events == 1 && C->LoginResult() == resOK && C->LoginError() == Before,
              "a payment");
        } else {
          ZELK_FUZZ_CHECK(FailedEvents == 1 && Events == 1 && C->LoginResult() == resFailed &&
                              C->LoginError() == "Payment failed",
                          "a refused payment");
        }
      }
    }
  }
  if (Outcome) {
    Net.Clear();
    W.Controller->ProcessRequest(Request);
    ZELK_FUZZ_CHECK(Net.Count() == 0 && OK + Cancel + FailedEvents == 1,
                    "a replayed return was served");
  }
  return 0;
}
