// The transport a client is given: two clients of different providers with transports of their
// own, side by side on two threads while a process-wide hook is set; the checks a given
// transport goes through; the status line a reply value carries and what the current-mode post
// makes of it.
#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <mutex>
#include <thread>

#include "payments/IWPayPalClient.h"
#include "providers/IWTwitterAuthClient.h"
#include "support/PayPalTestClient.h"

namespace zelk::IWZelkAuthBase {
namespace {

// A transport of one test: records the hosts it was asked for and answers every call alike.
class TOwnTransport {
 public:
  TOwnTransport(std::string StatusLine, std::string Body)
      : FStatusLine(std::move(StatusLine)), FBody(std::move(Body)) {}
  TTransport Transport() {
    return TTransport([this](const TTransportRequest& R) {
      std::lock_guard L(FMutex);
      FRequests.push_back(R);
      return THttpReply{FStatusLine, FBody};
    });
  }
  std::vector<TTransportRequest> Requests() const {
    std::lock_guard L(FMutex);
    return FRequests;
  }

 private:
  mutable std::mutex FMutex;
  std::vector<TTransportRequest> FRequests;
  std::string FStatusLine;
  std::string FBody;
};

class CallerTransport : public ::testing::Test {
 protected:
  void SetUp() override {
    // Whatever reaches the process-wide hook went the wrong way.
    SetTransportHook([this](const TTransportRequest&) -> std::string {
      ++Leaked;
      throw rtl::Exception("the process-wide hook was used");
    });
  }
  void TearDown() override { SetTransportHook({}); }
  std::atomic<int> Leaked{0};
};

TEST_F(CallerTransport, TwoClientsOfDifferentProvidersRunSideBySideEachOnItsOwnTransport) {
  TOwnTransport TwitterSide("HTTP/1.0 200 OK", R"({"id_str":"77"})");
  TOwnTransport PayPalSide("HTTP/1.0 200 OK", "ACK=Success&TRANSACTIONID=T9");
  IWTwitterAuthClient::TZIWTwitterAuthClient Twitter(nullptr);
  Twitter.App()->SetID("key");
  Twitter.App()->SetSecret("secret");
  Twitter.SetTransport(TwitterSide.Transport());
  std::vector<std::string> Posted;  // written by thread A only
  Twitter.SetOnPostOK([&](rtl::TObject*, std::string Id) { Posted.push_back(std::move(Id)); });
  testing::TPayPalWiring Wiring;
  Wiring.Client->SetTransport(PayPalSide.Transport());
  Wiring.Client->Transactions()->Add()->SetPrice(5);

  constexpr int kCalls = 200;
  std::latch Start(2);
  int Paid = 0;
  std::thread A([&] {
    Start.arrive_and_wait();
    for (int I = 0; I < kCalls; ++I)
      Twitter.Post("status " + std::to_string(I));
  });
  std::thread B([&] {
    Start.arrive_and_wait();
    for (int I = 0; I < kCalls; ++I)
      Paid += Wiring.Client->PayDirect() == resOK && Wiring.Client->TransactionID() == "T9";
  });
  A.join();
  B.join();

  EXPECT_EQ(Leaked.load(), 0);
  EXPECT_EQ(Posted, std::vector<std::string>(kCalls, "77"));
  EXPECT_EQ(Paid, kCalls);
  const auto Tweets = TwitterSide.Requests();
  const auto Payments = PayPalSide.Requests();
  ASSERT_EQ(Tweets.size(), std::size_t{kCalls});
  ASSERT_EQ(Payments.size(), std::size_t{kCalls});
  for (const TTransportRequest& R : Tweets)
    EXPECT_EQ(R.Host + R.Path, "api.twitter.com/1/statuses/update.json");
  for (const TTransportRequest& R : Payments) {
    EXPECT_EQ(R.Host + R.Path, Wiring.Client->GetServer() + "/nvp");
    EXPECT_EQ(R.Data.rfind("METHOD=doDirectPayment&", 0), 0u) << R.Data;
  }
}

TEST_F(CallerTransport, AClientWithoutATransportOfItsOwnUsesTheProcessWideHook) {
  IWTwitterAuthClient::TZIWTwitterAuthClient Twitter(nullptr);
  EXPECT_THROW(Twitter.Post("x"), rtl::Exception);
  EXPECT_EQ(Leaked.load(), 1);
  // Given back the default, it goes the process-wide way again.
  TOwnTransport Own("", "{}");
  Twitter.SetTransport(Own.Transport());
  Twitter.Post("y");
  Twitter.SetTransport(TTransport());
  EXPECT_THROW(Twitter.Post("z"), rtl::Exception);
  EXPECT_EQ(Leaked.load(), 2);
  EXPECT_EQ(Own.Requests().size(), 1u);
}

TEST_F(CallerTransport, AGivenTransportIsCheckedAsTheNetworkIsAndNeverSeesARejectedCall) {
  TOwnTransport Own("HTTP/1.1 200 OK", "body");
  const TTransport T = Own.Transport();
  struct TCase {
    const char* Host;
    const char* Path;
    std::vector<std::string> Lines;
    const char* Message;
  };
  const TCase Cases[] = {
      {"bad host", "/p", {}, "InternetConnect Error 3 Description Host \"bad host\" is not"},
      {"h.test", "/p q", {}, "HttpOpenRequest Error 3 Description Request target contains a blank"},
      {"h.test",
       "/p",
       {"X: a\r\nY: b"},
       "HttpOpenRequest Error 43 Description Header line contains"},
      {"h.test",
       "/p",
       {"Content-Length: 9"},
       "HttpOpenRequest Error 43 Description Header line sets"},
  };
  for (const TCase& C : Cases) {
    try {
      T.Post11(C.Host, C.Path, C.Lines, "d");
      ADD_FAILURE() << C.Message;
    } catch (const ETransportError& E) {
      EXPECT_EQ(E.Message().rfind(C.Message, 0), 0u) << E.Message();
      EXPECT_FALSE(E.RequestMayHaveArrived());
    }
  }
  EXPECT_TRUE(Own.Requests().empty());
  const THttpReply R = T.Get("h.test:8443", "/p?q=1");
  EXPECT_EQ(R.StatusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(R.Body, "body");
  ASSERT_EQ(Own.Requests().size(), 1u);
  EXPECT_EQ(Own.Requests()[0].Method, "GET");
  EXPECT_FALSE(Own.Requests()[0].Http11);
}

TEST(HttpReply, StatusIsTheThreeDigitsAfterTheProtocol) {
  const std::pair<const char*, long> Cases[] = {
      {"HTTP/1.1 201 Created", 201},
      {"HTTP/1.0 404 Not Found", 404},
      {"HTTP/2 503", 503},
      {"", 0},
      {"HTTP/1.1", 0},
      {"HTTP/1.1 20", 0},
      {"HTTP/1.1 2010 Huh", 0},
      {"HTTP/1.1 2x1 Odd", 0},
  };
  for (const auto& [Line, Status] : Cases)
    EXPECT_EQ((THttpReply{Line, ""}.Status()), Status) << Line;
}

TEST_F(CallerTransport, TheCurrentPostTellsAFailureByTheStatusLineWhenTheBodySaysNothing) {
  IWTwitterAuthClient::TZIWTwitterAuthClient Twitter(nullptr);
  Twitter.SetApi(apCurrent);
  std::vector<std::string> Failed;
  Twitter.SetOnPostFailed([&](rtl::TObject*, std::string M) { Failed.push_back(std::move(M)); });
  const std::pair<const char*, const char*> Cases[] = {
      {"HTTP/1.1 503 Service Unavailable", "HTTP/1.1 503 Service Unavailable"},
      {"HTTP/1.1 201 Created",
       "Twitter post failed: the reply carries neither a post id nor an error text: {}"},
  };
  for (const auto& [Line, Expected] : Cases) {
    TOwnTransport Own(Line, "{}");
    Twitter.SetTransport(Own.Transport());
    Failed.clear();
    Twitter.Post("hello");
    EXPECT_EQ(Failed, std::vector<std::string>{Expected}) << Line;
    ASSERT_EQ(Own.Requests().size(), 1u);
    EXPECT_EQ(Own.Requests()[0].Data, R"({"text":"hello"})");
  }
  EXPECT_EQ(Leaked.load(), 0);
}

}  // namespace
}  // namespace zelk::IWZelkAuthBase
