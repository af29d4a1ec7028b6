// Express Checkout against the recording transport: PayOnline's request and redirect, its
// refusals and misuse, and every path of the buyer's return.
#include <gtest/gtest.h>

#include <cmath>

#include "support/FakeApplication.h"
#include "support/PayPalTestClient.h"
#include "support/RecordingTransport.h"

namespace zelk::IWPayPalClient {
namespace {

using IWZelkAuthBase::resFailed;
using IWZelkAuthBase::resNone;
using IWZelkAuthBase::resOK;
using IWZelkAuthBase::resUnknown;
using testing::FieldNames;

class ExpressCheckoutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    C->Seller()->SetUserName("shop_api1.example.com");
    C->Seller()->SetPassword("PW123");
    C->Seller()->SetSignature("SIG.abc");
    C->Buyer()->SetEmail("ann@example.com");
    testing::SetTestBuyer(*C);
    auto* Book = C->Transactions()->Add();
    Book->SetName("Book");
    Book->SetPrice(10.5);
    Book->SetQuantity(2);
    Book->SetNumber(7);
    C->Transaction()->SetShipping(5);
    C->SetOnPayPalPaymentOK([this](rtl::TObject* S) { Record("ok", S); });
    C->SetOnPayPalCancel([this](rtl::TObject* S) { Record("cancel", S); });
    C->SetOnPayPalFailed([this](rtl::TObject* S) { Record("failed", S); });
    C->SetOnPayPalUnknown([this](rtl::TObject* S) { Record("unknown", S); });
    C->SetOnLoginOK([this](rtl::TObject* S) { Record("loginok", S); });
    C->SetOnLoginFailed([this](rtl::TObject* S) { Record("loginfailed", S); });
  }

  // Events with the outcome they saw: an event comes after LoginResult and LoginError are set.
  void Record(const std::string& Name, rtl::TObject* Sender) {
    EXPECT_EQ(Sender, C);
    Events.push_back(Name + ":" + std::to_string(static_cast<int>(C->LoginResult())) + ":" +
                     C->LoginError());
  }

  // Starts a checkout that PayPal accepts with Token and returns the client identifier.
  std::string Start(const std::string& Token = "EC-5AB") {
    T.Reply("TOKEN=" + Token + "&TIMESTAMP=2026%2d01%2d01T00%3a00%3a00Z&ACK=Success&VERSION=65.1");
    EXPECT_EQ(C->PayOnline(App.get()), resOK);
    T.Clear();
    return W.EntryID();
  }

  // The buyer's return with Query, routed as the application would.
  void Return(const std::string& Query) {
    W.Controller->ProcessRequest(testing::RequestWithQuery(Query));
  }

  testing::RecordingTransport T;
  testing::TPayPalWiring W;
  testing::TTestPayPalClient* C = W.Client;
  std::unique_ptr<web::TIWApplication> App = testing::MakeApplication("http://localhost/app", "S1");
  std::vector<std::string> Events;
};

TEST_F(ExpressCheckoutTest, SetExpressCheckoutBodyAndRedirect) {
  T.Reply("TOKEN=EC-5AB&TIMESTAMP=2026%2d01%2d01T00%3a00%3a00Z&ACK=Success&VERSION=65.1");
  EXPECT_EQ(C->PayOnline(App.get()), resOK);
  const std::string Id = W.EntryID();
  ASSERT_EQ(Id.size(), 36u);
  EXPECT_EQ(Id.find_first_of("{}"), std::string::npos);
  ASSERT_EQ(T.Count(), 1u);
  const auto R = T.Last();
  EXPECT_EQ(R.Method, "POST");
  EXPECT_EQ(R.Host, "api-3t.sandbox.paypal.com");
  EXPECT_EQ(R.Path, "/nvp");
  EXPECT_EQ(R.Headers, "");
  EXPECT_EQ(R.Data,
            "METHOD=SetExpressCheckout&EMAIL=ann@example.com"
            "&L_NAME0=Book&L_AMT0=10.5&L_QTY0=2&L_NUMBER0=7&L_DESC0="
            "&SHIPPINGAMT=5&INSURANCEAMT=0&TAXAMT=0&ITEMAMT=21&AMT=26&NAME=Ann Lee"
            "&SHIPTOSTREET=1 Main Street&SHIPTOCITY=San Jose&SHIPTOCOUNTRYCODE=US&SHIPTOZIP=95131"
            "&RETURNURL=http%3A%2F%2Flocalhost%2Fapp%2F%3Fclientid%3D" +
                Id +
                "%26paypalcallback%3D1"
                "&CANCELURL=http%3A%2F%2Flocalhost%2Fapp%2F%3Fclientid%3D" +
                Id +
                "%26paypalcancel%3D1"
                "&CURRENCYCODE=USD&USER=shop_api1.example.com&PWD=PW123&SIGNATURE=SIG.abc"
                "&VERSION=65.1");
  EXPECT_EQ(App->RedirectURL(),
            "https://www.sandbox.paypal.com/webscr?cmd=_express-checkout&token=EC-5AB");
  // Starting a checkout is not an outcome.
  EXPECT_EQ(C->LoginResult(), resNone);
  EXPECT_TRUE(Events.empty());

  // A second checkout replaces the identifier; the live environment has its own hosts.
  C->SetServerType(stLive);
  T.Reply("ACK=Success&TOKEN=EC-LIVE&TIMESTAMP=x");  // token not first: still cut at its "&"
  EXPECT_EQ(C->PayOnline(App.get()), resOK);
  EXPECT_NE(W.EntryID(), Id);
  EXPECT_EQ(T.Last().Host, "api-3t.paypal.com");
  EXPECT_EQ(App->RedirectURL(),
            "https://www.paypal.com/webscr?cmd=_express-checkout&token=EC-LIVE");
}

TEST_F(ExpressCheckoutTest, ItemsTextWithPositionsAndTotals) {
  auto* Second = C->Transactions()->Add();  // unnamed: sends an empty name, not its display name
  Second->SetPrice(0.1);
  Second->SetQuantity(3);
  Second->SetDescription("Pens");
  auto* Third = C->Transactions()->Add();
  Third->SetPrice(1.0 / 3);
  Third->SetNumber(12);
  C->Transaction()->SetInsurance(1.5);
  C->Transaction()->SetTax(2.25);
  C->Buyer()->SetFirstName("");
  C->Buyer()->SetName("");
  T.Reply("ACK=Failure");
  C->PayOnline(App.get());
  const std::string Body = T.Last().Data;
  EXPECT_NE(Body.find("&L_NAME0=Book&L_AMT0=10.5&L_QTY0=2&L_NUMBER0=7&L_DESC0="
                      "&L_NAME1=&L_AMT1=0.1&L_QTY1=3&L_NUMBER1=-1&L_DESC1=Pens"
                      "&L_NAME2=&L_AMT2=0.33&L_QTY2=1&L_NUMBER2=12&L_DESC2="
                      "&SHIPPINGAMT=5&INSURANCEAMT=1.5&TAXAMT=2.25"
                      "&ITEMAMT=21.63&AMT=30.38&NAME= &SHIPTOSTREET="),
            std::string::npos)
      << Body;
}

TEST_F(ExpressCheckoutTest, URLSessionTrackingPutsTheSessionIntoTheReturnAddress) {
  W.Framework->SetURLSessionTracking(true);
  T.Reply("ACK=Failure");
  C->PayOnline(App.get());
  EXPECT_NE(T.Last().Data.find("&RETURNURL=http%3A%2F%2Flocalhost%2Fapp%2FS1%2F%3Fclientid%3D" +
                               W.EntryID() + "%26paypalcallback%3D1&"),
            std::string::npos);
}

TEST_F(ExpressCheckoutTest, RefusalKeepsPayPalsMessagesAndSendsNobodyAnywhere) {
  C->SetLoginResult(resOK);
  C->SetLoginError("earlier");
  T.Reply(
      "TIMESTAMP=x&ACK=Failure&L_ERRORCODE0=10413&L_SHORTMESSAGE0=Transaction%20refused"
      "&L_LONGMESSAGE0=The%20totals%20do%20not%20match&L_SEVERITYCODE0=Error");
  EXPECT_EQ(C->PayOnline(App.get()), resFailed);
  EXPECT_EQ(C->LoginError(), "Transaction refused. The totals do not match. ");
  EXPECT_EQ(C->LoginResult(), resOK);  // PayOnline never sets the outcome
  EXPECT_EQ(App->RedirectURL(), "");
  EXPECT_TRUE(Events.empty());

  // A refusal without messages clears the earlier text.
  T.Reply("ACK=Failure&L_ERRORCODE0=10001");
  EXPECT_EQ(C->PayOnline(App.get()), resFailed);
  EXPECT_EQ(C->LoginError(), "");
}

TEST_F(ExpressCheckoutTest, SuccessWithoutATokenIsAFailure) {
  for (const char* Reply : {"ACK=Success&TIMESTAMP=x", "TOKEN=&TIMESTAMP=x&ACK=Success"}) {
    EXPECT_EQ(C->PayOnline(App.get()), resFailed);  // unscripted: empty reply
    T.Reply(Reply);
    EXPECT_EQ(C->PayOnline(App.get()), resFailed) << Reply;
    EXPECT_EQ(App->RedirectURL(), "") << Reply;
    EXPECT_NE(C->LoginError().find("no token"), std::string::npos) << Reply;
  }
}

TEST_F(ExpressCheckoutTest, MisuseRaisesBeforeAnythingIsSent) {
  const std::string Id = Start();
  {
    testing::TTestPayPalClient Alone(nullptr);
    try {
      Alone.PayOnline(App.get());
      FAIL() << "no exception";
    } catch (const rtl::Exception& E) {
      EXPECT_EQ(E.Message(),
                "TZIWPayPalClient.PayOnline: ServerController is not assigned; set it to a "
                "TZIWAuthServerController so that the provider's return can be routed");
    }
  }
  {
    IWZelkAuthBase::TZIWAuthServerController Ownerless(nullptr);
    testing::TTestPayPalClient Client(nullptr);
    Client.SetServerController(&Ownerless);
    try {
      Client.PayOnline(App.get());
      FAIL() << "no exception";
    } catch (const rtl::EInvalidCast&) {
      FAIL() << "a missing owner is not a wrong type";
    } catch (const rtl::Exception& E) {
      EXPECT_NE(E.Message().find("the ServerController has no owner"), std::string::npos);
    }
    EXPECT_EQ(Ownerless.Clients()->Items(0)->ID(), "");
  }
  {
    rtl::TComponent Form(nullptr);
    auto* Controller = new IWZelkAuthBase::TZIWAuthServerController(&Form);
    testing::TTestPayPalClient Client(nullptr);
    Client.SetServerController(Controller);
    try {
      Client.PayOnline(App.get());
      FAIL() << "no exception";
    } catch (const rtl::EInvalidCast& E) {
      EXPECT_EQ(E.Message(),
                "Invalid class typecast: TZIWPayPalClient.PayOnline needs the ServerController "
                "to be owned by a TIWServerControllerBase, but its owner is a TComponent");
    }
    EXPECT_EQ(Controller->Clients()->Items(0)->ID(), "");
  }
  EXPECT_THROW(C->PayOnline(nullptr), rtl::Exception);
  EXPECT_EQ(T.Count(), 0u);
  EXPECT_EQ(W.EntryID(), Id);
  EXPECT_EQ(App->RedirectURL(),
            "https://www.sandbox.paypal.com/webscr?cmd=_express-checkout&token=EC-5AB");
}

TEST_F(ExpressCheckoutTest, TransportFailureInPayOnlinePropagates) {
  T.Fail("HttpSendRequest Error 28 Description Timeout was reached");
  EXPECT_THROW(C->PayOnline(App.get()), rtl::Exception);
  EXPECT_EQ(App->RedirectURL(), "");
  EXPECT_EQ(C->LoginResult(), resNone);
}

TEST_F(ExpressCheckoutTest, PaidChargesWhatTheBuyerApproved) {
  C->Transaction()->SetInsurance(1.5);
  C->Transaction()->SetTax(2.25);
  C->SetLoginError("kept");
  const std::string Id = Start();
  T.Reply("TOKEN=EC-5AB&ACK=Success&PAYERID=PAYER1");
  T.Reply("TOKEN=EC-5AB&ACK=Success&PAYMENTINFO_0_PAYMENTSTATUS=Completed");
  Return("clientid=" + Id + "&paypalcallback=1&token=EC-5AB&PayerID=PAYER1");
  ASSERT_EQ(T.Count(), 2u);
  EXPECT_EQ(T.At(0).Host, "api-3t.sandbox.paypal.com");
  EXPECT_EQ(T.At(0).Path, "/nvp");
  EXPECT_EQ(T.At(0).Headers, "");
  EXPECT_EQ(T.At(0).Data,
            "METHOD=GetExpressCheckoutDetails&TOKEN=EC-5AB&PAYMENTACTION=Sale"
            "&USER=shop_api1.example.com&PWD=PW123&SIGNATURE=SIG.abc&VERSION=65.1");
  // 21 for the items plus 5 shipping, 1.5 insurance and 2.25 tax, as SetExpressCheckout sent.
  EXPECT_EQ(T.At(1).Data,
            "METHOD=DoExpressCheckoutPayment&TOKEN=EC-5AB&PAYERID=PAYER1&AMT=29.75"
            "&CURRENCYCODE=USD&PAYMENTACTION=Sale"
            "&USER=shop_api1.example.com&PWD=PW123&SIGNATURE=SIG.abc&VERSION=65.1");
  EXPECT_EQ(C->LoginResult(), resOK);
  EXPECT_EQ(C->LoginError(), "kept");
  EXPECT_EQ(Events, (std::vector<std::string>{"ok:1:kept"}));

  // The identifier is spent: reloading the return page charges nothing again.
  Return("clientid=" + Id + "&paypalcallback=1&token=EC-5AB&PayerID=PAYER1");
  EXPECT_EQ(T.Count(), 2u);
  EXPECT_EQ(Events.size(), 1u);
  EXPECT_EQ(W.EntryID(), "");
}

// The return paths: what each request does to the outcome, the events and the calls made.
TEST_F(ExpressCheckoutTest, ReturnPathStateTable) {
  struct TCase {
    const char* Name;
    const char* Query;  // after "clientid=<id>&"
    std::vector<std::string> Replies;
    std::size_t Calls;
    TIWResult Result;
    std::string Error;
    std::vector<std::string> Events;
  };
  const TCase Cases[] = {
      {"cancel wins over token",
       "paypalcancel=1&token=EC-5AB&PayerID=P1",
       {},
       0,
       resFailed,
       "Payment canceled",
       {"cancel:2:Payment canceled"}},
      {"cancel without token",
       "paypalcancel=1",
       {},
       0,
       resFailed,
       "Payment canceled",
       {"cancel:2:Payment canceled"}},
      {"token without payer id", "paypalcallback=1&token=EC-5AB", {}, 0, resNone, "before", {}},
      {"payer id without token", "paypalcallback=1&PayerID=P1", {}, 0, resNone, "before", {}},
      {"bare return", "paypalcallback=1", {}, 0, resNone, "before", {}},
      {"details refused",
       "paypalcallback=1&token=EC-5AB&PayerID=P1",
       {"ACK=Failure&L_ERRORCODE0=10410&L_SHORTMESSAGE0=Invalid%20token"},
       1,
       resFailed,
       "Payment failed",
       {"failed:2:Payment failed"}},
      {"details unreadable",
       "paypalcallback=1&token=EC-5AB&PayerID=P1",
       {""},
       1,
       resFailed,
       "Payment failed",
       {"failed:2:Payment failed"}},
      {"payment refused",
       "paypalcallback=1&token=EC-5AB&PayerID=P1",
       {"ACK=Success", "ACK=Failure&L_ERRORCODE0=10486"},
       2,
       resFailed,
       "Payment failed",
       {"failed:2:Payment failed"}},
      // A return completed before by a request that never told (an instance that stopped
      // after charging): PayPal's details say so, and nothing is charged again.
      {"paid already",
       "paypalcallback=1&token=EC-5AB&PayerID=P1",
       {"ACK=Success&CHECKOUTSTATUS=PaymentActionCompleted&PAYMENTREQUEST_0_TRANSACTIONID=8H1"},
       1,
       resOK,
       "before",
       {"ok:1:before"}},
      {"not paid yet",
       "paypalcallback=1&token=EC-5AB&PayerID=P1",
       {"ACK=Success&CHECKOUTSTATUS=PaymentActionNotInitiated", "ACK=Success"},
       2,
       resOK,
       "before",
       {"ok:1:before"}},
      {"cancel flag 0 is no cancel",
       "paypalcancel=0&token=EC-5AB&PayerID=P1",
       {"ACK=Success", "ACK=SuccessWithWarning"},
       2,
       resOK,
       "before",
       {"ok:1:before"}},
      {"names in any case",
       "PAYPALCALLBACK=1&TOKEN=EC-5AB&payerid=P1",
       {"ACK=Success", "ACK=Success"},
       2,
       resOK,
       "before",
       {"ok:1:before"}},
  };
  for (const auto& K : Cases) {
    SCOPED_TRACE(K.Name);
    Events.clear();
    C->SetLoginResult(resNone);
    C->SetLoginError("before");
    const std::string Id = Start();
    for (const auto& R : K.Replies)
      T.Reply(R);
    Return("clientid=" + Id + "&" + K.Query);
    EXPECT_EQ(T.Count(), K.Calls);
    EXPECT_EQ(C->LoginResult(), K.Result);
    EXPECT_EQ(C->LoginError(), K.Error);
    EXPECT_EQ(Events, K.Events);
    if (std::string(K.Name) == "paid already") {
      EXPECT_EQ(C->TransactionID(), "8H1");
    }
    // Only an outcome spends the identifier.
    EXPECT_EQ(W.EntryID(), K.Result == resNone ? Id : "");
    if (K.Calls > 0) {
      EXPECT_TRUE(T.At(0).Data.starts_with("METHOD=GetExpressCheckoutDetails&TOKEN=EC-5AB&"));
    }
    if (K.Calls > 1) {
      EXPECT_TRUE(
          T.At(1).Data.starts_with("METHOD=DoExpressCheckoutPayment&TOKEN=EC-5AB&PAYERID=P1&"));
    }
  }
}

TEST_F(ExpressCheckoutTest, TransportFailureOnReturnKeepsTheOutcomeAndTheIdentifier) {
  C->SetLoginResult(resOK);
  C->SetLoginError("before");
  for (int FailingCall = 0; FailingCall < 2; ++FailingCall) {
    const std::string Id = Start();
    if (FailingCall == 1) T.Reply("ACK=Success");
    T.Fail("HttpSendRequest Error 56 Description Failure when receiving data from the peer");
    EXPECT_THROW(Return("clientid=" + Id + "&token=EC-5AB&PayerID=P1"), rtl::Exception);
    EXPECT_EQ(T.Count(), static_cast<std::size_t>(FailingCall + 1));
    EXPECT_EQ(C->LoginResult(), resOK);
    EXPECT_EQ(C->LoginError(), "before");
    EXPECT_TRUE(Events.empty());
    EXPECT_EQ(W.EntryID(), Id);  // the buyer may try again
  }
}

TEST_F(ExpressCheckoutTest, HostileReturnValuesCannotAddFields) {
  // PayPal's reply spells the token encoded; the browser brings it back decoded.
  const std::string Id = Start("EC-1%26AMT%3D0.01");
  T.Reply("ACK=Success");
  T.Reply("ACK=Success");
  // As decoded by the framework: "&" and "=" inside the values.
  Return("clientid=" + Id + "&token=EC-1%26AMT%3D0.01&PayerID=P1%26AMT%3D0.01%2B1");
  ASSERT_EQ(T.Count(), 2u);
  EXPECT_EQ(FieldNames(T.At(0).Data),
            (std::vector<std::string>{"METHOD", "TOKEN", "PAYMENTACTION", "USER", "PWD",
                                      "SIGNATURE", "VERSION"}));
  EXPECT_EQ(FieldNames(T.At(1).Data),
            (std::vector<std::string>{"METHOD", "TOKEN", "PAYERID", "AMT", "CURRENCYCODE",
                                      "PAYMENTACTION", "USER", "PWD", "SIGNATURE", "VERSION"}));
  EXPECT_NE(T.At(1).Data.find("&TOKEN=EC-1%26AMT%3D0.01&PAYERID=P1%26AMT%3D0.01%2B1&AMT=26&"),
            std::string::npos);

  // The same holds for the order PayOnline sends.
  C->Transactions()->Items(0)->SetName("Book&AMT=0.01");
  C->Transactions()->Items(0)->SetDescription("x=y&L_AMT0=0");
  C->Buyer()->SetEmail("a+b@example.com&NAME=z");
  T.Reply("ACK=Failure");
  C->PayOnline(App.get());
  const auto Names = FieldNames(T.Last().Data);
  EXPECT_EQ(Names.size(), 24u);
  EXPECT_EQ(std::count(Names.begin(), Names.end(), "AMT"), 1);
  EXPECT_EQ(std::count(Names.begin(), Names.end(), "L_AMT0"), 1);
  EXPECT_NE(T.Last().Data.find("METHOD=SetExpressCheckout&EMAIL=a%2Bb@example.com%26NAME%3Dz"
                               "&L_NAME0=Book%26AMT%3D0.01&"),
            std::string::npos);
}

TEST_F(ExpressCheckoutTest, ReturnUnderAnotherIdentifierIsIgnored) {
  Start();
  Return("clientid=not-the-id&paypalcancel=1");
  Return("state=x&clientid=" + W.EntryID() + "&paypalcancel=1");  // "state" wins the routing
  EXPECT_EQ(C->LoginResult(), resNone);
  EXPECT_TRUE(Events.empty());
}

// Each amount is rounded to the currency's minor unit before it is written or summed.
TEST_F(ExpressCheckoutTest, AmountsAreRoundedBeforeTheyAreSentOrSummed) {
  struct TCase {
    TIWCurrency Currency;
    const char* Amounts;  // the amount fields of SetExpressCheckout and the charged total
    const char* Charged;
  };
  const TCase Cases[] = {
      // 3 x 19.999 -> 3 x 20.00; 0.005 shipping -> 0.01; 1.234 insurance -> 1.23; 0.125 -> 0.13
      {crUSD,
       "&L_AMT0=20&L_QTY0=3&L_NUMBER0=7&L_DESC0=&L_NAME1=Pen&L_AMT1=1.01&L_QTY1=1&L_NUMBER1=-1"
       "&L_DESC1=&SHIPPINGAMT=0.01&INSURANCEAMT=1.23&TAXAMT=0.13&ITEMAMT=61.01&AMT=62.38&",
       "&AMT=62.38&CURRENCYCODE=USD&"},
      // No minor unit: 19.999 -> 20, 1.005 -> 1, 0.005 -> 0, 1.234 -> 1, 0.125 -> 0
      {crJPY,
       "&L_AMT0=20&L_QTY0=3&L_NUMBER0=7&L_DESC0=&L_NAME1=Pen&L_AMT1=1&L_QTY1=1&L_NUMBER1=-1"
       "&L_DESC1=&SHIPPINGAMT=0&INSURANCEAMT=1&TAXAMT=0&ITEMAMT=61&AMT=62&",
       "&AMT=62&CURRENCYCODE=JPY&"},
  };
  C->Transactions()->Items(0)->SetPrice(19.999);
  C->Transactions()->Items(0)->SetQuantity(3);
  auto* Pen = C->Transactions()->Add();
  Pen->SetName("Pen");
  Pen->SetPrice(1.005);
  C->Transaction()->SetShipping(0.005);
  C->Transaction()->SetInsurance(1.234);
  C->Transaction()->SetTax(0.125);
  for (const auto& K : Cases) {
    SCOPED_TRACE(CurrencyText(K.Currency));
    C->Transaction()->SetCurrency(K.Currency);
    T.Reply("TOKEN=EC-5AB&ACK=Success");
    ASSERT_EQ(C->PayOnline(App.get()), resOK);
    EXPECT_NE(T.Last().Data.find(K.Amounts), std::string::npos) << T.Last().Data;
    const std::string Id = W.EntryID();
    T.Reply("ACK=Success");
    T.Reply("ACK=Success");
    Return("clientid=" + Id + "&paypalcallback=1&token=EC-5AB&PayerID=P1");
    EXPECT_NE(T.Last().Data.find(K.Charged), std::string::npos) << T.Last().Data;
    EXPECT_EQ(C->LoginResult(), resOK);
  }
}

TEST_F(ExpressCheckoutTest, ImpossibleAmountRaisesBeforeAnythingChanges) {
  C->Transaction()->SetTax(std::nan(""));
  EXPECT_THROW(C->PayOnline(App.get()), rtl::Exception);
  EXPECT_EQ(T.Count(), 0u);
  EXPECT_EQ(W.EntryID(), "");  // no flow identifier was made
}

// A return whose token is not the one PayPal issued for this flow is refused without a call.
TEST_F(ExpressCheckoutTest, ForeignTokenOnReturnFailsWithoutCallingPayPal) {
  const char* const Foreign[] = {"EC-OTHER", "ec-5ab", "EC-5AB ", "EC-5A"};
  for (const char* Token : Foreign) {
    SCOPED_TRACE(Token);
    Events.clear();
    C->SetLoginResult(resNone);
    const std::string Id = Start();
    Return("clientid=" + Id + "&paypalcallback=1&token=" + IWZelkAuthBase::URLEncode(Token) +
           "&PayerID=P1");
    EXPECT_EQ(T.Count(), 0u);
    EXPECT_EQ(C->LoginResult(), resFailed);
    const std::string Error =
        "Payment failed: the checkout token of the return is not the one PayPal issued for this "
        "payment";
    EXPECT_EQ(C->LoginError(), Error);
    EXPECT_EQ(Events, (std::vector<std::string>{"failed:2:" + Error}));
    EXPECT_EQ(W.EntryID(), "");  // the identifier is spent
  }
  // The token of an earlier checkout does not complete a later one.
  T.Reply("TOKEN=EC-FIRST&ACK=Success");
  C->PayOnline(App.get());
  T.Reply("TOKEN=EC-SECOND&ACK=Success");
  C->PayOnline(App.get());
  T.Clear();
  Return("clientid=" + W.EntryID() + "&paypalcallback=1&token=EC-FIRST&PayerID=P1");
  EXPECT_EQ(T.Count(), 0u);
  EXPECT_EQ(C->LoginResult(), resFailed);
  // A refused SetExpressCheckout leaves no token a return could use.
  T.Reply("TOKEN=EC-5AB&ACK=Failure");
  C->PayOnline(App.get());
  T.Clear();
  C->SetLoginResult(resNone);
  Return("clientid=" + W.EntryID() + "&paypalcallback=1&token=EC-5AB&PayerID=P1");
  EXPECT_EQ(T.Count(), 0u);
  EXPECT_EQ(C->LoginResult(), resFailed);
}

// DoExpressCheckoutPayment's request went out and its answer was lost: the checkout's status at
// PayPal decides, and only a payment PayPal reports as completed counts as paid.
TEST_F(ExpressCheckoutTest, LostPaymentAnswerIsDecidedByTheCheckoutsStatus) {
  const std::string Lost =
      "HttpReceiveResponse Error 56 Description Recv failure: Connection reset by peer";
  const std::string Unknown =
      "Payment outcome unknown: PayPal may have taken the payment, but its answer was lost. Check "
      "the PayPal account or the card's statement before paying again. Details: " +
      Lost;
  struct TCase {
    const char* Name;
    std::string Details;  // the reply to the status check; "!" a transport failure instead
    TIWResult Result;
    std::string Error;
    std::string Transaction;
  };
  const TCase Cases[] = {
      {"completed",
       "TOKEN=EC-5AB&ACK=Success&CHECKOUTSTATUS=PaymentActionCompleted"
       "&PAYMENTREQUEST_0_TRANSACTIONID=8AB12345CD",
       resOK, "before", "8AB12345CD"},
      {"completed, older field name",
       "ACK=Success&TRANSACTIONID=9Z%2d1&CHECKOUTSTATUS=PaymentActionCompleted", resOK, "before",
       "9Z-1"},
      {"not initiated", "ACK=Success&CHECKOUTSTATUS=PaymentActionNotInitiated", resFailed,
       "Payment failed", ""},
      {"failed", "ACK=Success&CHECKOUTSTATUS=PaymentActionFailed", resFailed, "Payment failed", ""},
      {"in progress", "ACK=Success&CHECKOUTSTATUS=PaymentActionInProgress", resUnknown,
       Unknown + "; PayPal reports the checkout as PaymentActionInProgress", ""},
      {"a status of another name",
       "ACK=Success&XCHECKOUTSTATUS=PaymentActionCompleted&CHECKOUTSTATUS=PaymentActionCompletedX",
       resUnknown, Unknown + "; PayPal reports the checkout as PaymentActionCompletedX", ""},
      {"a status with a line break", "ACK=Success&CHECKOUTSTATUS=Done%0D%0AX", resUnknown,
       Unknown + "; PayPal reports the checkout as Done??X", ""},
      {"no status", "ACK=Success&TOKEN=EC-5AB", resUnknown,
       Unknown + "; PayPal reports the checkout as nothing (no CHECKOUTSTATUS)", ""},
      {"status check refused",
       "ACK=Failure&CHECKOUTSTATUS=PaymentActionCompleted&L_SHORTMESSAGE0=Internal%20Error",
       resUnknown, Unknown + "; PayPal refused to say how the checkout stands: Internal Error.",
       ""},
      {"status check lost too", "!", resUnknown,
       Unknown + "; asking PayPal how the checkout stands failed too: " + Lost, ""},
  };
  for (const auto& K : Cases) {
    SCOPED_TRACE(K.Name);
    Events.clear();
    C->SetLoginResult(resNone);
    C->SetLoginError("before");
    const std::string Id = Start();
    T.Reply("TOKEN=EC-5AB&ACK=Success&PAYERID=P1");
    T.LoseAnswer(Lost);
    if (K.Details == "!")
      T.LoseAnswer(Lost);
    else
      T.Reply(K.Details);
    Return("clientid=" + Id + "&paypalcallback=1&token=EC-5AB&PayerID=P1");
    ASSERT_EQ(T.Count(), 3u);
    EXPECT_TRUE(T.At(1).Data.starts_with("METHOD=DoExpressCheckoutPayment&"));
    // The status check names the checkout by its token alone.
    EXPECT_EQ(T.At(2).Data,
              "METHOD=GetExpressCheckoutDetails&TOKEN=EC-5AB"
              "&USER=shop_api1.example.com&PWD=PW123&SIGNATURE=SIG.abc&VERSION=65.1");
    EXPECT_EQ(T.At(2).Path, "/nvp");
    EXPECT_EQ(C->LoginResult(), K.Result);
    EXPECT_EQ(C->LoginError(), K.Error);
    EXPECT_EQ(C->TransactionID(), K.Transaction);
    const std::string Event = K.Result == resOK       ? "ok"
                              : K.Result == resFailed ? "failed"
                                                      : "unknown";
    EXPECT_EQ(Events,
              (std::vector<std::string>{Event + ":" + std::to_string(static_cast<int>(K.Result)) +
                                        ":" + K.Error}));
    // Every one of these is an outcome: a reload of the return page sends nothing.
    EXPECT_EQ(W.EntryID(), "");
    Return("clientid=" + Id + "&paypalcallback=1&token=EC-5AB&PayerID=P1");
    EXPECT_EQ(T.Count(), 3u);
    EXPECT_EQ(Events.size(), 1u);
  }
}

TEST_F(ExpressCheckoutTest, UnknownOutcomeWithoutAHandlerAndTheTransactionIdOfAPayment) {
  C->SetOnPayPalUnknown({});
  std::string Id = Start();
  T.Reply("ACK=Success");
  T.LoseAnswer("HttpReceiveResponse Error 28 Description Operation timed out");
  T.Reply("ACK=Success&CHECKOUTSTATUS=PaymentActionInProgress");
  Return("clientid=" + Id + "&paypalcallback=1&token=EC-5AB&PayerID=P1");
  EXPECT_EQ(C->LoginResult(), resUnknown);
  EXPECT_TRUE(C->LoginError().starts_with("Payment outcome unknown: ")) << C->LoginError();
  EXPECT_TRUE(Events.empty());

  // The id of a payment comes from its own reply, the newer field name first.
  for (const auto& [Reply, Transaction] :
       {std::pair<std::string, std::string>{"ACK=Success&TRANSACTIONID=OLD&"
                                            "PAYMENTINFO_0_TRANSACTIONID=3C6%2D79",
                                            "3C6-79"},
        {"TRANSACTIONID=7YU&ACK=Success", "7YU"},
        {"ACK=Success", ""}}) {
    SCOPED_TRACE(Reply);
    Id = Start();
    EXPECT_EQ(C->TransactionID(), "");  // a new checkout forgets the last payment's id
    T.Reply("ACK=Success");
    T.Reply(Reply);
    Return("clientid=" + Id + "&paypalcallback=1&token=EC-5AB&PayerID=P1");
    EXPECT_EQ(C->LoginResult(), resOK);
    EXPECT_EQ(C->TransactionID(), Transaction);
    EXPECT_EQ(T.Count(), 2u);
  }
}

}  // namespace
}  // namespace zelk::IWPayPalClient
