// The payment client's current mode over the real transport against the simulated PayPal REST
// API over TLS: the buyer's round trip through the approval page, card payments, and the
// simulator's own checks on requests the client would never send.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "sim/PayPalSim.h"
#include "support/FakeApplication.h"
#include "support/PayPalTestClient.h"
#include "support/SimBrowser.h"
#include "support/SimulatorFixture.h"

namespace zelk::IWPayPalClient {
namespace {

using IWZelkAuthBase::resFailed;
using IWZelkAuthBase::resOK;
using IWZelkAuthBase::resUnknown;
using nlohmann::json;
using sim::TProviderId;

constexpr const char* kAppURL = "http://localhost/app";

class PayPalRestIntegrationTest : public testing::SimulatorFixture {
 protected:
  void SetUp() override {
    SimulatorFixture::SetUp();
    PayPal = std::make_unique<sim::TPayPalSim>(Sim);
    Browser = std::make_unique<testing::SimBrowser>(Sim);
    C->SetApi(IWZelkAuthBase::apCurrent);
    C->Seller()->SetClientID(PayPal->Account().ClientID);
    C->Seller()->SetClientSecret(PayPal->Account().ClientSecret);
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
    C->Transaction()->SetShipping(5);
    C->Transaction()->SetTax(1.999);
    C->SetOnPayPalPaymentOK([this](rtl::TObject*) { Events.push_back("ok"); });
    C->SetOnPayPalCancel([this](rtl::TObject*) { Events.push_back("cancel"); });
    C->SetOnPayPalFailed([this](rtl::TObject*) { Events.push_back("failed:" + C->LoginError()); });
    C->SetOnPayPalUnknown([this](rtl::TObject*) { Events.push_back("unknown"); });
  }

  // The requests of Path the simulated PayPal received, in order.
  std::vector<sim::TSimRequest> ReceivedAt(const std::string& Path) const {
    std::vector<sim::TSimRequest> R;
    for (auto& Q : Sim.Received(TProviderId::PayPal))
      if (Q.Path == Path) R.push_back(Q);
    return R;
  }

  // PayOnline, then the browser opens the approval page. Returns the order id.
  std::string Start() {
    EXPECT_EQ(C->PayOnline(App.get()), resOK) << C->LoginError();
    const std::string Prefix = Sim.BaseURL(TProviderId::PayPal) + "/checkoutnow?token=";
    const std::string Approve = App->RedirectURL();
    EXPECT_TRUE(Approve.starts_with(Prefix)) << Approve;
    Page = Browser->Get(Approve);
    EXPECT_EQ(Page.Status, 200) << Page.Body;
    return Approve.substr(Prefix.size());
  }
  std::string Press(const std::string& Id, const std::string& Action) {
    const auto R = Browser->PostForm(Sim.BaseURL(TProviderId::PayPal) + "/checkoutnow",
                                     {{"token", Id}, {"action", Action}});
    EXPECT_EQ(R.Status, 302) << R.Body;
    return R.Location;
  }
  void Arrive(const std::string& Location) {
    ASSERT_TRUE(Location.starts_with(std::string(kAppURL) + "/?clientid=")) << Location;
    W.Controller->ProcessRequest(
        web::THttpRequest::FromTarget(Location.substr(std::string("http://localhost").size())));
  }

  // A REST call of the test's own, with a fresh token and the given request id.
  json Call(const std::string& Path, const std::string& Body, const std::string& RequestId) {
    const std::string Host = IWZelkAuthBase::ProviderHost(IWZelkAuthBase::phPayPalSandboxRest);
    const std::string Pair = PayPal->Account().ClientID + ":" + PayPal->Account().ClientSecret;
    std::string Reply;
    IWZelkAuthBase::Https_Post11(
        Host, "/v1/oauth2/token",
        {"Authorization: Basic " +
         IWZelkAuthBase::Base64Encode(IWZelkAuthBase::TBytes(Pair.begin(), Pair.end()))},
        "grant_type=client_credentials", Reply);
    const std::string Token = json::parse(Reply).at("access_token").get<std::string>();
    IWZelkAuthBase::Https_Post11(
        Host, Path,
        {"Authorization: Bearer " + Token, "Content-Type: application/json",
         "PayPal-Request-Id: " + RequestId},
        Body, Reply);
    return json::parse(Reply, nullptr, false);
  }

  std::unique_ptr<sim::TPayPalSim> PayPal;
  std::unique_ptr<testing::SimBrowser> Browser;
  testing::TPayPalWiring W;
  testing::TTestPayPalClient* C = W.Client;
  std::unique_ptr<web::TIWApplication> App = testing::MakeApplication(kAppURL, "S1");
  testing::TBrowserResponse Page;
  std::vector<std::string> Events;
};

TEST_F(PayPalRestIntegrationTest, PaidCapturesOnceAndTheReloadChargesNothing) {
  const std::string Id = Start();
  EXPECT_NE(Page.Body.find("Book &lt;Vol. 1&gt; &amp; Notes"), std::string::npos) << Page.Body;
  // 21.00 + 0.30 items, 5.00 shipping, 2.00 tax (1.999 rounded).
  EXPECT_NE(Page.Body.find("<td id=\"total\">28.30 USD</td>"), std::string::npos) << Page.Body;
  const std::string Back = Press(Id, "pay");
  EXPECT_NE(Back.find("&paypalcallback=1&token=" + Id + "&PayerID="), std::string::npos) << Back;
  Arrive(Back);
  EXPECT_EQ(C->LoginResult(), resOK) << C->LoginError();
  EXPECT_EQ(Events, (std::vector<std::string>{"ok"}));
  const auto Paid = PayPal->RestPayments();
  ASSERT_EQ(Paid.size(), 1u);
  EXPECT_EQ(Paid[0].Method, "capture");
  EXPECT_EQ(Paid[0].AmountCents, 2830);
  EXPECT_EQ(Paid[0].Token, Id);
  Arrive(Back);
  EXPECT_EQ(PayPal->RestPayments().size(), 1u);
  EXPECT_EQ(Events.size(), 1u);
}

TEST_F(PayPalRestIntegrationTest, CancelledChargesNothing) {
  const std::string Id = Start();
  const std::string Back = Press(Id, "cancel");
  EXPECT_NE(Back.find("&paypalcancel=1"), std::string::npos) << Back;
  Arrive(Back);
  EXPECT_EQ(C->LoginResult(), resFailed);
  EXPECT_EQ(C->LoginError(), "Payment canceled");
  EXPECT_EQ(Events, (std::vector<std::string>{"cancel"}));
  EXPECT_TRUE(PayPal->RestPayments().empty());
}

TEST_F(PayPalRestIntegrationTest, CardPaymentsAcceptedAndDeclinedInYen) {
  C->Transaction()->SetCurrency(crJPY);
  EXPECT_EQ(C->PayDirect(), resOK) << C->LoginError();
  auto Paid = PayPal->RestPayments();
  ASSERT_EQ(Paid.size(), 1u);
  EXPECT_EQ(Paid[0].Method, "card");
  EXPECT_EQ(Paid[0].Amount, "29");  // 22 + 0 (3 x 0.1 yen rounds to 0 each) + 5 + 2
  EXPECT_EQ(Paid[0].Currency, "JPY");
  C->CreditCard()->SetNumber("4000000000000002");
  EXPECT_EQ(C->PayDirect(), resFailed);
  EXPECT_EQ(C->LoginError(), "Payment failed: PayPal reported the payment as DECLINED");
  C->CreditCard()->SetNumber("4111111111111112");
  EXPECT_EQ(C->PayDirect(), resFailed);
  EXPECT_EQ(C->LoginError(), "Payment failed: The card number is not valid.");
  EXPECT_EQ(PayPal->RestPayments().size(), 1u);
}

// The card order and the capture taken by PayPal, both attempts' answers lost: one payment at
// PayPal (the retry is answered from the first), and the outcome unknown.
TEST_F(PayPalRestIntegrationTest, BothAttemptsLostAreUnknownAndChargedOnce) {
  Sim.SetFault(TProviderId::PayPal, "/v2/checkout/orders", sim::TFault::LoseAnswer());
  EXPECT_EQ(C->PayDirect(), resUnknown);
  EXPECT_TRUE(C->LoginError().starts_with("Payment outcome unknown: ")) << C->LoginError();
  ASSERT_EQ(PayPal->RestPayments().size(), 1u);
  EXPECT_EQ(PayPal->RestPayments()[0].Method, "card");
  auto Orders = ReceivedAt("/v2/checkout/orders");
  ASSERT_EQ(Orders.size(), 2u);
  EXPECT_EQ(Orders[0].Header("PayPal-Request-Id"), Orders[1].Header("PayPal-Request-Id"));
  EXPECT_EQ(Orders[0].Body, Orders[1].Body);

  Sim.ClearFaults();
  const std::string Id = Start();
  const std::string Back = Press(Id, "pay");
  const std::string Capture = "/v2/checkout/orders/" + Id + "/capture";
  Sim.SetFault(TProviderId::PayPal, Capture, sim::TFault::LoseAnswer());
  Arrive(Back);
  EXPECT_EQ(C->LoginResult(), resUnknown);
  EXPECT_TRUE(C->LoginError().starts_with("Payment outcome unknown: ")) << C->LoginError();
  EXPECT_EQ(Events, (std::vector<std::string>{"unknown"}));
  const auto Paid = PayPal->RestPayments();
  ASSERT_EQ(Paid.size(), 2u);
  EXPECT_EQ(Paid[1].Method, "capture");
  EXPECT_EQ(ReceivedAt(Capture).size(), 2u);
  // The flow is over: a reload captures nothing.
  Sim.ClearFaults();
  Arrive(Back);
  EXPECT_EQ(ReceivedAt(Capture).size(), 2u);
  EXPECT_EQ(PayPal->RestPayments().size(), 2u);
}

TEST_F(PayPalRestIntegrationTest, WrongCredentialsKeepPayPalsReason) {
  C->Seller()->SetClientSecret("wrong");
  EXPECT_EQ(C->PayOnline(App.get()), resFailed);
  EXPECT_EQ(C->LoginError(), "Payment failed: Client Authentication failed");
  EXPECT_EQ(App->RedirectURL(), "");
}

TEST_F(PayPalRestIntegrationTest, OrdersThatDoNotAddUpAreRefused) {
  const auto Money = [](const char* V) { return json{{"currency_code", "USD"}, {"value", V}}; };
  const auto Order = [&](const char* Unit, const char* ItemTotal, const char* Total) {
    return json{
        {"intent", "CAPTURE"},
        {"purchase_units",
         {{{"items", {{{"name", "A"}, {"quantity", "2"}, {"unit_amount", Money(Unit)}}}},
           {"amount",
            {{"currency_code", "USD"},
             {"value", Total},
             {"breakdown", {{"item_total", Money(ItemTotal)}}}}}}}},
        {"payment_source",
         {{"paypal",
           {{"experience_context",
             {{"return_url", "https://a.example/r"}, {"cancel_url", "https://a.example/c"}}}}}}}}
        .dump();
  };
  const struct {
    std::string Body;
    const char* Issue;
  } Cases[] = {
      {Order("1.50", "3.00", "3.00"), ""},
      {Order("1.50", "3.50", "3.50"), "ITEM_TOTAL_MISMATCH"},
      {Order("1.50", "3.00", "4.00"), "AMOUNT_MISMATCH"},
      {Order("1.5", "3.00", "3.00"), "DECIMAL_PRECISION"},
      {Order("1.500", "3.00", "3.00"), "DECIMAL_PRECISION"},
      {Order("1.50", "3.00", "3"), "DECIMAL_PRECISION"},
      {"{\"intent\":\"CAPTURE\",\"purchase_units\":7}", "MISSING_REQUIRED_PARAMETER"},
      {"{\"intent\":[1]}", "INVALID_PARAMETER_SYNTAX"},
  };
  int N = 0;
  for (const auto& K : Cases) {
    SCOPED_TRACE(K.Body);
    const json Reply = Call("/v2/checkout/orders", K.Body, "req-" + std::to_string(N++));
    if (*K.Issue == 0) {
      EXPECT_EQ(Reply.value("status", ""), "PAYER_ACTION_REQUIRED") << Reply.dump();
    } else {
      ASSERT_TRUE(Reply.contains("details")) << Reply.dump();
      EXPECT_EQ(Reply["details"][0]["issue"], K.Issue);
      EXPECT_FALSE(Reply.value("message", "").empty());
    }
  }
}

TEST_F(PayPalRestIntegrationTest, CaptureOnlyAfterApprovalOnlyOnceAndRetriesAreReplayed) {
  const std::string Id = Start();
  const std::string Path = "/v2/checkout/orders/" + Id + "/capture";
  EXPECT_EQ(Call(Path, "", "early")["details"][0]["issue"], "ORDER_NOT_APPROVED");
  const std::string Back = Press(Id, "pay");
  const json First = Call(Path, "", "cap-1");
  EXPECT_EQ(First.value("status", ""), "COMPLETED") << First.dump();
  // The same request id answers the first reply again without a second charge.
  EXPECT_EQ(Call(Path, "", "cap-1"), First);
  EXPECT_EQ(PayPal->RestPayments().size(), 1u);
  // A new request id is a second capture, which PayPal refuses.
  EXPECT_EQ(Call(Path, "", "cap-2")["details"][0]["issue"], "ORDER_ALREADY_CAPTURED");
  // The client's own capture on return is refused the same way and keeps PayPal's reason.
  Arrive(Back);
  EXPECT_EQ(C->LoginResult(), resFailed);
  EXPECT_EQ(Events, (std::vector<std::string>{"failed:Payment failed: Order already captured."}));
}

}  // namespace
}  // namespace zelk::IWPayPalClient
