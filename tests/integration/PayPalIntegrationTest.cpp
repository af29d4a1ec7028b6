// The payment client over the real transport against the simulated PayPal over TLS. The test
// plays the buyer's browser: PayOnline's redirect to the checkout page, Pay or Cancel there,
// and the redirect back to the application, which hands the return to the controller.
#include <gtest/gtest.h>

#include <functional>

#include "sim/PayPalSim.h"
#include "support/FakeApplication.h"
#include "support/PayPalTestClient.h"
#include "support/SimBrowser.h"
#include "support/SimulatorFixture.h"

namespace zelk::IWPayPalClient {
namespace {

using IWZelkAuthBase::resFailed;
using IWZelkAuthBase::resNone;
using IWZelkAuthBase::resOK;
using IWZelkAuthBase::resUnknown;
using sim::TFault;
using sim::TProviderId;

constexpr const char* kAppURL = "http://localhost/app";

class PayPalIntegrationTest : public testing::SimulatorFixture {
 protected:
  void SetUp() override {
    SimulatorFixture::SetUp();
    PayPal = std::make_unique<sim::TPayPalSim>(Sim);
    Browser = std::make_unique<testing::SimBrowser>(Sim);
    C->Seller()->SetUserName(PayPal->Account().UserName);
    C->Seller()->SetPassword(PayPal->Account().Password);
    C->Seller()->SetSignature(PayPal->Account().Signature);
    C->Buyer()->SetEmail("ann@example.com");
    testing::SetTestBuyer(*C);
    testing::SetTestCard(*C);
    auto* Book = C->Transactions()->Add();
    Book->SetName("Book <Vol. 1> & Notes");
    Book->SetPrice(10.5);
    Book->SetQuantity(2);
    auto* Pen = C->Transactions()->Add();
    Pen->SetName("Pen");
    Pen->SetPrice(0.1);
    Pen->SetQuantity(3);
    C->SetOnPayPalPaymentOK([this](rtl::TObject*) { Events.push_back("ok"); });
    C->SetOnPayPalCancel([this](rtl::TObject*) { Events.push_back("cancel"); });
    C->SetOnPayPalFailed([this](rtl::TObject*) { Events.push_back("failed"); });
    C->SetOnPayPalUnknown([this](rtl::TObject*) { Events.push_back("unknown"); });
  }

  // The NVP methods the simulated PayPal received, in order.
  std::vector<std::string> Methods() const {
    std::vector<std::string> R;
    for (const auto& Q : Sim.Received(TProviderId::PayPal))
      if (Q.Path == "/nvp") R.push_back(sim::DecodeForm(Q.Body).Values("METHOD"));
    return R;
  }

  // PayOnline, then the browser follows the redirect to the checkout page. Returns the token.
  std::string StartCheckout() {
    EXPECT_EQ(C->PayOnline(App.get()), resOK) << C->LoginError();
    const std::string Prefix =
        Sim.BaseURL(TProviderId::PayPal) + "/webscr?cmd=_express-checkout&token=";
    const std::string Checkout = App->RedirectURL();
    EXPECT_TRUE(Checkout.starts_with(Prefix)) << Checkout;
    Page = Browser->Get(Checkout);
    EXPECT_EQ(Page.Status, 200) << Page.Body;
    return web::THttpRequest::FromTarget(Checkout.substr(Checkout.find("/webscr"))).Query("token");
  }

  // Presses Pay or Cancel on the checkout page; returns where PayPal sends the browser.
  std::string Press(const std::string& Token, const std::string& Action) {
    const auto R =
        Browser->PostForm(Sim.BaseURL(TProviderId::PayPal) + "/webscr",
                          {{"cmd", "_express-checkout"}, {"token", Token}, {"action", Action}});
    EXPECT_EQ(R.Status, 302) << R.Body;
    return R.Location;
  }

  // The browser arrives back at the application: its request goes to the controller.
  void Arrive(const std::string& Location) {
    ASSERT_TRUE(Location.starts_with(std::string(kAppURL) + "/?clientid=")) << Location;
    W.Controller->ProcessRequest(
        web::THttpRequest::FromTarget(Location.substr(std::string("http://localhost").size())));
  }

  std::unique_ptr<sim::TPayPalSim> PayPal;
  std::unique_ptr<testing::SimBrowser> Browser;
  testing::TPayPalWiring W;
  testing::TTestPayPalClient* C = W.Client;
  std::unique_ptr<web::TIWApplication> App = testing::MakeApplication(kAppURL, "S1");
  testing::TBrowserResponse Page;
  std::vector<std::string> Events;
};

TEST_F(PayPalIntegrationTest, DirectPaymentAccepted) {
  C->Transaction()->SetCurrency(crEUR);
  C->Transaction()->SetShipping(4);  // not part of a direct payment
  C->Buyer()->SetStreet("Rue de l'Eglise 3 & 5");
  EXPECT_EQ(C->PayDirect(), resOK);
  const auto Paid = PayPal->Payments();
  ASSERT_EQ(Paid.size(), 1u);
  EXPECT_EQ(Paid[0].Method, "doDirectPayment");
  EXPECT_EQ(Paid[0].AmountCents, 2130);
  EXPECT_EQ(Paid[0].Amount, "21.3");
  EXPECT_EQ(Paid[0].Currency, "EUR");
  EXPECT_EQ(Paid[0].CardLastFour, "1111");
  // The street arrived whole, as one field.
  const auto Received = Sim.Received(TProviderId::PayPal);
  ASSERT_EQ(Received.size(), 1u);
  EXPECT_EQ(sim::DecodeForm(Received[0].Body).Values("STREET"), "Rue de l'Eglise 3 & 5");
  EXPECT_EQ(Received[0].Method, "POST");
  EXPECT_EQ(C->LoginResult(), resNone);
}

TEST_F(PayPalIntegrationTest, DirectPaymentRefused) {
  struct TCase {
    const char* Name;
    std::function<void(TZIWPayPalClient*)> Spoil;
  };
  const int ThisYear = C->CreditCard()->ExpirationYear() - 2;
  const TCase Cases[] = {
      {"check digit", [](TZIWPayPalClient* X) { X->CreditCard()->SetNumber("4111111111111112"); }},
      {"card type", [](TZIWPayPalClient* X) { X->CreditCard()->SetCardType(ctAmericanExpress); }},
      {"expired",
       [ThisYear](TZIWPayPalClient* X) { X->CreditCard()->SetExpirationYear(ThisYear - 1); }},
      {"password", [](TZIWPayPalClient* X) { X->Seller()->SetPassword("wrong"); }},
      {"nothing to pay", [](TZIWPayPalClient* X) { X->Transactions()->Clear(); }},
      {"no name", [](TZIWPayPalClient* X) { X->Buyer()->SetName(""); }},
  };
  for (const auto& K : Cases) {
    SCOPED_TRACE(K.Name);
    testing::TTestPayPalClient Fresh(nullptr);
    Fresh.Seller()->SetUserName(C->Seller()->UserName());
    Fresh.Seller()->SetPassword(C->Seller()->Password());
    Fresh.Seller()->SetSignature(C->Seller()->Signature());
    Fresh.Buyer()->SetFirstName("Ann");
    Fresh.Buyer()->SetName("Lee");
    Fresh.CreditCard()->SetNumber("4111111111111111");
    Fresh.CreditCard()->SetVerificationCode("123");
    Fresh.CreditCard()->SetExpirationYear(ThisYear + 1);
    Fresh.Transactions()->Add()->SetPrice(9.99);
    ASSERT_EQ(Fresh.PayDirect(), resOK);  // the unspoilt order goes through
    K.Spoil(&Fresh);
    EXPECT_EQ(Fresh.PayDirect(), resFailed);
    EXPECT_EQ(Fresh.LoginError(), "");
  }
  EXPECT_EQ(PayPal->Payments().size(), std::size(Cases));
}

TEST_F(PayPalIntegrationTest, ExpressCheckoutPaidChargesWhatTheBuyerApproved) {
  C->Transaction()->SetShipping(5);
  C->Transaction()->SetInsurance(1.5);
  C->Transaction()->SetTax(2.25);
  C->SetLoginError("kept");
  const std::string Token = StartCheckout();
  // The page shows the order as PayPal received it, and the total the buyer approves.
  EXPECT_NE(Page.Body.find("Book &lt;Vol. 1&gt; &amp; Notes"), std::string::npos) << Page.Body;
  EXPECT_NE(Page.Body.find("<td id=\"total\">30.05 USD</td>"), std::string::npos) << Page.Body;

  const std::string Back = Press(Token, "pay");
  EXPECT_NE(Back.find("&paypalcallback=1&token="), std::string::npos) << Back;
  EXPECT_NE(Back.find("&PayerID="), std::string::npos) << Back;
  Arrive(Back);

  EXPECT_EQ(C->LoginResult(), resOK);
  EXPECT_EQ(C->LoginError(), "kept");
  EXPECT_EQ(Events, (std::vector<std::string>{"ok"}));
  EXPECT_EQ(Methods(), (std::vector<std::string>{"SetExpressCheckout", "GetExpressCheckoutDetails",
                                                 "DoExpressCheckoutPayment"}));
  const auto Paid = PayPal->Payments();
  ASSERT_EQ(Paid.size(), 1u);
  EXPECT_EQ(Paid[0].Method, "DoExpressCheckoutPayment");
  EXPECT_EQ(Paid[0].Token, Token);
  // 21 + 0.3 for the items, 5 shipping, 1.5 insurance and 2.25 tax.
  EXPECT_EQ(Paid[0].ApprovedCents, 3005);
  EXPECT_EQ(Paid[0].AmountCents, Paid[0].ApprovedCents);

  // Reloading the return page charges nothing again.
  Arrive(Back);
  EXPECT_EQ(PayPal->Payments().size(), 1u);
  EXPECT_EQ(Methods().size(), 3u);
  EXPECT_EQ(Events.size(), 1u);
}

TEST_F(PayPalIntegrationTest, ExpressCheckoutCancelled) {
  const std::string Token = StartCheckout();
  const std::string Back = Press(Token, "cancel");
  EXPECT_NE(Back.find("&paypalcancel=1"), std::string::npos) << Back;
  Arrive(Back);
  EXPECT_EQ(C->LoginResult(), resFailed);
  EXPECT_EQ(C->LoginError(), "Payment canceled");
  EXPECT_EQ(Events, (std::vector<std::string>{"cancel"}));
  EXPECT_EQ(Methods(), (std::vector<std::string>{"SetExpressCheckout"}));
  EXPECT_TRUE(PayPal->Payments().empty());
  // The cancelled checkout cannot be paid afterwards.
  EXPECT_EQ(Browser->Get(App->RedirectURL()).Status, 409);
}

TEST_F(PayPalIntegrationTest, ExpressCheckoutRefusedAtSetExpressCheckout) {
  // PayPal's messages are kept as PayPal wrote them, each followed by ". ", so one that ends in
  // a full stop shows two.
  struct TCase {
    const char* Name;
    std::function<void(TZIWPayPalClient*)> Spoil;
    const char* Error;
  };
  const TCase Cases[] = {
      {"credentials", [](TZIWPayPalClient* X) { X->Seller()->SetSignature("forged"); },
       "Security error. Security header is not valid. "},
      {"empty order", [](TZIWPayPalClient* X) { X->Transactions()->Clear(); },
       "Transaction refused because of an invalid argument. See additional error messages for "
       "details.. Order total is invalid.. "},
  };
  for (const auto& K : Cases) {
    SCOPED_TRACE(K.Name);
    testing::TPayPalWiring Wiring;
    auto* X = Wiring.Client;
    X->Seller()->SetUserName(PayPal->Account().UserName);
    X->Seller()->SetPassword(PayPal->Account().Password);
    X->Seller()->SetSignature(PayPal->Account().Signature);
    X->Transactions()->Add()->SetPrice(3);
    K.Spoil(X);
    App->ClearRedirect();
    EXPECT_EQ(X->PayOnline(App.get()), resFailed);
    EXPECT_EQ(X->LoginError(), K.Error);
    EXPECT_EQ(X->LoginResult(), resNone);
    EXPECT_EQ(App->RedirectURL(), "");
  }
  // A line with three decimals goes out rounded to cents (10.56, 21.12 in all), which PayPal
  // takes.
  C->Transactions()->Items(0)->SetPrice(10.555);
  StartCheckout();
  EXPECT_NE(Page.Body.find("<td id=\"total\">21.42 USD</td>"), std::string::npos) << Page.Body;
}

TEST_F(PayPalIntegrationTest, ExpressCheckoutFailingAtEachCompletionCall) {
  struct TCase {
    const char* Name;
    std::function<std::string(sim::TPayPalSim&, std::string Back)> Prepare;  // returns the return
    std::vector<std::string> Methods;
    std::string Error = "Payment failed";
  };
  auto Replace = [](std::string S, const std::string& From, const std::string& To) {
    return S.replace(S.find(From), From.size(), To);
  };
  const TCase Cases[] = {
      {"details refused",
       [](sim::TPayPalSim& P, std::string Back) {
         P.FailNext("GetExpressCheckoutDetails", "10410", "Invalid token", "Invalid token.");
         return Back;
       },
       {"SetExpressCheckout", "GetExpressCheckoutDetails"}},
      {"forged token",
       [&](sim::TPayPalSim&, std::string Back) { return Replace(Back, "token=EC-", "token=EC-X"); },
       {"SetExpressCheckout"},
       "Payment failed: the checkout token of the return is not the one PayPal issued for this "
       "payment"},
      {"payment declined",
       [](sim::TPayPalSim& P, std::string Back) {
         P.FailNext("DoExpressCheckoutPayment");
         return Back;
       },
       {"SetExpressCheckout", "GetExpressCheckoutDetails", "DoExpressCheckoutPayment"}},
      {"forged payer id",
       [&](sim::TPayPalSim&, std::string Back) { return Replace(Back, "PayerID=", "PayerID=X"); },
       {"SetExpressCheckout", "GetExpressCheckoutDetails", "DoExpressCheckoutPayment"}},
  };
  for (const auto& K : Cases) {
    SCOPED_TRACE(K.Name);
    Sim.ClearReceived();
    Events.clear();
    C->SetLoginResult(resNone);
    const std::string Back = K.Prepare(*PayPal, Press(StartCheckout(), "pay"));
    Arrive(Back);
    EXPECT_EQ(C->LoginResult(), resFailed);
    EXPECT_EQ(C->LoginError(), K.Error);
    EXPECT_EQ(Events, (std::vector<std::string>{"failed"}));
    EXPECT_EQ(Methods(), K.Methods);
  }
  EXPECT_TRUE(PayPal->Payments().empty());
}

TEST_F(PayPalIntegrationTest, ReturnWithoutApprovalChangesNothing) {
  StartCheckout();
  // The browser comes back without a payer id (PayPal's page was left some other way).
  Arrive(std::string(kAppURL) + "/?clientid=" + W.EntryID() + "&paypalcallback=1&token=EC-1");
  EXPECT_EQ(C->LoginResult(), resNone);
  EXPECT_TRUE(Events.empty());
  EXPECT_EQ(Methods(), (std::vector<std::string>{"SetExpressCheckout"}));
}

TEST_F(PayPalIntegrationTest, CutConnectionOnReturnRaisesAndTheBuyerCanRetry) {
  const std::string Back = Press(StartCheckout(), "pay");
  Sim.SetFault(TProviderId::PayPal, "/nvp", sim::TFault::CutAfter(10));
  EXPECT_THROW(Arrive(Back), rtl::Exception);
  EXPECT_EQ(C->LoginResult(), resNone);
  EXPECT_TRUE(Events.empty());
  EXPECT_TRUE(PayPal->Payments().empty());
  // The identifier was not spent: the same return completes once PayPal answers again.
  Sim.ClearFaults();
  Arrive(Back);
  EXPECT_EQ(C->LoginResult(), resOK);
  EXPECT_EQ(PayPal->Payments().size(), 1u);
}

// PayPal takes the payment and the connection breaks before its answer: the client finds the
// payment through the checkout's status, so the buyer sees it paid, once.
TEST_F(PayPalIntegrationTest, LostAnswerToTheCompletingPaymentIsFoundPaidAndChargedOnce) {
  const std::string Token = StartCheckout();
  const std::string Back = Press(Token, "pay");
  Sim.SetFault(TProviderId::PayPal, "/nvp",
               TFault::LoseAnswer().OnlyWhen("METHOD=DoExpressCheckoutPayment"));
  Arrive(Back);
  const auto Paid = PayPal->Payments();
  ASSERT_EQ(Paid.size(), 1u);
  EXPECT_EQ(Paid[0].Method, "DoExpressCheckoutPayment");
  EXPECT_EQ(C->LoginResult(), resOK);
  EXPECT_EQ(Events, (std::vector<std::string>{"ok"}));
  EXPECT_EQ(C->TransactionID(), Paid[0].TransactionID);
  EXPECT_EQ(Methods(),
            (std::vector<std::string>{"SetExpressCheckout", "GetExpressCheckoutDetails",
                                      "DoExpressCheckoutPayment", "GetExpressCheckoutDetails"}));
  // The status check as PayPal received it.
  const auto Received = Sim.Received(TProviderId::PayPal);
  EXPECT_EQ(Received.back().Body, "METHOD=GetExpressCheckoutDetails&TOKEN=" + Token +
                                      "&USER=merchant_api1.zelk.test&PWD=ZELKSIMPW2026"
                                      "&SIGNATURE=ZelkSim.Signature-0123456789abcdef&VERSION=65.1");
  // A reload of the return page charges nothing.
  Sim.ClearFaults();
  Arrive(Back);
  EXPECT_EQ(PayPal->Payments().size(), 1u);
  EXPECT_EQ(Methods().size(), 4u);
}

// The same lost answer when the status check loses its answer too: the outcome is unknown,
// never "failed", and the flow is over.
TEST_F(PayPalIntegrationTest, LostAnswerAndALostStatusCheckEndUnknown) {
  const std::string Back = Press(StartCheckout(), "pay");
  // The first check of the token passes; the payment and the status check lose their answers.
  Sim.SetFault(TProviderId::PayPal, "/nvp", TFault::LoseAnswer().AfterPassing(1));
  Arrive(Back);
  EXPECT_EQ(PayPal->Payments().size(), 1u);
  EXPECT_EQ(C->LoginResult(), resUnknown);
  EXPECT_EQ(C->LoginError(),
            "Payment outcome unknown: PayPal may have taken the payment, but its answer was lost. "
            "Check the PayPal account or the card's statement before paying again. Details: "
            "HttpReceiveResponse Error 56 Description Recv failure: Connection reset by peer; "
            "asking PayPal how the checkout stands failed too: HttpReceiveResponse Error 56 "
            "Description Recv failure: Connection reset by peer");
  EXPECT_EQ(Events, (std::vector<std::string>{"unknown"}));
  EXPECT_EQ(W.EntryID(), "");
  Sim.ClearFaults();
  Arrive(Back);
  EXPECT_EQ(Events.size(), 1u);
  EXPECT_EQ(PayPal->Payments().size(), 1u);
}

TEST_F(PayPalIntegrationTest, DirectPaymentWithALostAnswerIsUnknownAndChargedOnce) {
  Sim.SetFault(TProviderId::PayPal, "/nvp", TFault::LoseAnswer());
  EXPECT_EQ(C->PayDirect(), resUnknown);
  EXPECT_EQ(PayPal->Payments().size(), 1u);
  EXPECT_TRUE(C->LoginError().starts_with(
      "Payment outcome unknown: PayPal may have taken the payment, but its answer was lost."))
      << C->LoginError();
  EXPECT_EQ(C->LoginResult(), resNone);
  EXPECT_TRUE(Events.empty());
  EXPECT_EQ(Sim.Received(TProviderId::PayPal).size(), 1u);  // the client never sent it again
}

// A failure before the request could reach PayPal leaves nothing to doubt: it raises as always
// and nothing was charged.
TEST_F(PayPalIntegrationTest, DirectPaymentFailingBeforeSendingStillRaises) {
  sim::Simulator Gone;  // a listener that has stopped: its port refuses connections
  Gone.Start();
  const std::string Refusing = Gone.HostFor(TProviderId::PayPal);
  Gone.Stop();
  for (const std::string& Host : {Refusing, std::string(64, 'q') + ".invalid"}) {
    SCOPED_TRACE(Host);
    IWZelkAuthBase::SetProviderHost(IWZelkAuthBase::phPayPalSandboxNvp, Host);
    try {
      C->PayDirect();
      ADD_FAILURE() << "no exception";
    } catch (const IWZelkAuthBase::ETransportError& E) {
      EXPECT_TRUE(E.Message().starts_with("HttpSendRequest Error ")) << E.Message();
      EXPECT_EQ(E.Step(), "HttpSendRequest");
      EXPECT_FALSE(E.RequestMayHaveArrived());
    }
    EXPECT_EQ(C->LoginError(), "");
  }
  EXPECT_TRUE(PayPal->Payments().empty());
}

TEST_F(PayPalIntegrationTest, LiveAndSandboxReachTheSameSimulatedPayPal) {
  C->SetServerType(stLive);
  EXPECT_EQ(C->GetServer(), Sim.HostFor(TProviderId::PayPal));
  Arrive(Press(StartCheckout(), "pay"));
  EXPECT_EQ(C->LoginResult(), resOK);
  EXPECT_EQ(PayPal->Payments().size(), 1u);
}

}  // namespace
}  // namespace zelk::IWPayPalClient
