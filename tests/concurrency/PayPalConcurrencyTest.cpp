// One payment client shared by several request threads: every call sees a consistent client and
// every body stays well formed while the application edits the client's settings.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/FakeApplication.h"
#include "support/PayPalTestClient.h"
#include "support/RecordingTransport.h"

namespace zelk::IWPayPalClient {
namespace {

using testing::FieldNames;

TEST(PayPalConcurrency, SharedClientServesPaymentsWhileSettingsChange) {
  testing::RecordingTransport T;
  testing::TPayPalWiring W;
  TZIWPayPalClient* C = W.Client;
  C->Transactions()->Add()->SetPrice(3);

  constexpr int kThreads = 4;
  constexpr int kCalls = 40;
  std::atomic<bool> Stop{false};
  std::thread Editor([&] {
    for (int I = 0; !Stop; ++I) {
      C->Buyer()->SetStreet(I % 2 ? "Main St&AMT=0.01" : "1 Main Street");
      C->Seller()->SetPassword("pw" + std::to_string(I));
      C->SetServerType(I % 2 ? stLive : stSandBox);
      C->Transaction()->SetShipping(I % 5);
    }
  });
  std::vector<std::thread> Buyers;
  for (int N = 0; N < kThreads; ++N)
    Buyers.emplace_back([&, N] {
      auto App = testing::MakeApplication("http://localhost/app", "S" + std::to_string(N));
      for (int I = 0; I < kCalls; ++I) {
        if (I % 2 == 0) {
          C->PayDirect();
        } else {
          C->PayOnline(App.get());  // refused: the transport answers nothing
          W.Controller->ProcessRequest(
              testing::RequestWithQuery("clientid=" + W.EntryID() + "&token=EC-1&PayerID=P1"));
        }
      }
    });
  for (auto& B : Buyers)
    B.join();
  Stop = true;
  Editor.join();

  // Whatever the editor wrote meanwhile, each body has exactly its method's fields.
  using V = std::vector<std::string>;
  const V Tail{"USER", "PWD", "SIGNATURE", "VERSION"};
  auto With = [&](V Head) {
    Head.insert(Head.end(), Tail.begin(), Tail.end());
    return Head;
  };
  const V DirectFields =
      With({"METHOD", "PAYMENTACTION", "AMT", "CREDITCARDTYPE", "ACCT", "EXPDATE", "CVV2", "EMAIL",
            "FIRSTNAME", "LASTNAME", "STREET", "CITY", "ZIP", "COUNTRYCODE", "CURRENCYCODE"});
  const V SetFields = With({"METHOD",       "EMAIL",        "L_NAME0",    "L_AMT0",
                            "L_QTY0",       "L_NUMBER0",    "L_DESC0",    "SHIPPINGAMT",
                            "INSURANCEAMT", "TAXAMT",       "ITEMAMT",    "AMT",
                            "NAME",         "SHIPTOSTREET", "SHIPTOCITY", "SHIPTOCOUNTRYCODE",
                            "SHIPTOZIP",    "RETURNURL",    "CANCELURL",  "CURRENCYCODE"});
  const V DetailsFields = With({"METHOD", "TOKEN", "PAYMENTACTION"});
  std::size_t Direct = 0, Set = 0, Details = 0;
  for (const auto& R : T.Requests()) {
    const auto Names = FieldNames(R.Data);
    if (R.Data.starts_with("METHOD=doDirectPayment&")) {
      ++Direct;
      EXPECT_EQ(Names, DirectFields) << R.Data;
    } else if (R.Data.starts_with("METHOD=SetExpressCheckout&")) {
      ++Set;
      EXPECT_EQ(Names, SetFields) << R.Data;
    } else {
      ++Details;
      EXPECT_EQ(Names, DetailsFields) << R.Data;
    }
  }
  EXPECT_EQ(Direct, static_cast<std::size_t>(kThreads * kCalls / 2));
  EXPECT_EQ(Set, static_cast<std::size_t>(kThreads * kCalls / 2));
  // A return whose identifier another thread has replaced meanwhile is not routed.
  EXPECT_LE(Details, Set);
}

}  // namespace
}  // namespace zelk::IWPayPalClient
