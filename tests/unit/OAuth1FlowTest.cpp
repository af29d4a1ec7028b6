// The generic OAuth 1.0a flow driven by a description of a provider that exists only here, so
// that what the flow itself decides (what it keeps, which secret signs the trade, what an
// outcome or a failure spends) is tested apart from any provider; and the generation a Twitter
// or PayPal client speaks, which is chosen when its flow starts and kept to the end.
#include <gtest/gtest.h>

#include "core/OAuth1Flow.h"
#include "payments/IWPayPalClient.h"
#include "providers/IWTwitterAuthClient.h"
#include "support/FakeApplication.h"
#include "support/PayPalTestClient.h"
#include "support/RecordingTransport.h"

namespace zelk::IWZelkAuthBase {
namespace {

// Grants "RT" / "RTS" and trades for "AT" / "ATS"; records what each leg was handed.
class TFakeDescription : public TOAuth1Description {
 public:
  std::string ProviderName() const override { return "Fake"; }
  TOAuth1RequestToken RequestToken(const TOAuth1Consumer& Consumer,
                                   const std::string& Callback) const override {
    Calls.push_back("request " + Consumer.Key + " " + Callback);
    TOAuth1RequestToken R;
    if (Refuse)
      R.Refusal = TOAuth1Outcome::Failed("refused");
    else
      R.Granted = {"RT", "RTS"};
    return R;
  }
  std::string AuthorizeURL(const TOAuth1Consumer& /*Consumer*/,
                           const std::string& Token) const override {
    return "https://fake.test/authorize?t=" + Token;
  }
  TOAuth1Access AccessToken(const TOAuth1Consumer&, const TOAuth1Token& Request,
                            const std::string& Verifier) const override {
    Calls.push_back("trade " + Request.Token + " " + Request.Secret + " " + Verifier);
    if (FailTransport) throw ETransportError("HttpSendRequest Error 7 Description x", "x", false);
    TOAuth1Access A;
    A.Access = TOAuth1Token{"AT", "ATS"};
    A.Outcome.Result = resOK;
    A.Outcome.UserID = "42";
    return A;
  }
  mutable std::vector<std::string> Calls;
  bool Refuse = false;
  bool FailTransport = false;
};

const TOAuth1Consumer kConsumer{"ck", "cs", TTransport(), TEndpoints()};

TEST(OAuth1Flow, StartKeepsTheSecretRoutesByTheTokenAndRedirectsWithTheTokenOnly) {
  TFakeDescription D;
  TOAuth1Flow Flow;
  const TOAuth1Start S = Flow.Start(D, kConsumer, "http://app.test", "ID1");
  EXPECT_EQ(D.Calls, std::vector<std::string>{"request ck http://app.test/"});
  EXPECT_EQ(S.RouteToken, "RT");
  EXPECT_EQ(S.RedirectURL, "https://fake.test/authorize?t=RT");
  EXPECT_EQ(S.Outcome.Result, resNone);
  EXPECT_EQ(Flow.Request().Token, "RT");
  EXPECT_EQ(Flow.Request().Secret, "RTS");

  // A refused start reports the refusal and forgets the earlier request token.
  D.Refuse = true;
  const TOAuth1Start R = Flow.Start(D, kConsumer, "http://app.test", "ID2");
  EXPECT_EQ(R.Outcome.Result, resFailed);
  EXPECT_EQ(R.Outcome.Error, std::optional<std::string>("refused"));
  EXPECT_TRUE(R.RedirectURL.empty());
  EXPECT_TRUE(Flow.Request().Empty());
}

TEST(OAuth1Flow, ReturnsThatTradeNothingAndTheTokenTheyLeaveSpent) {
  struct TCase {
    std::string Query;
    std::string Error;
  };
  const TCase Cases[] = {
      {"oauth_token=OTHER&oauth_verifier=V",
       "Fake sign-in failed: the return does not belong to the sign-in in progress"},
      {"denied=OTHER",
       "Fake sign-in failed: the return does not belong to the sign-in in progress"},
      {"denied=RT&oauth_token=RT&oauth_verifier=V", "Access denied"},
      {"oauth_token=RT", "Fake sign-in failed: the return carries no \"oauth_verifier\""},
      {"", "Fake sign-in failed: the return does not belong to the sign-in in progress"},
  };
  for (const TCase& C : Cases) {
    TFakeDescription D;
    TOAuth1Flow Flow;
    Flow.Start(D, kConsumer, "http://app.test", "ID");
    const TOAuth1Outcome O = Flow.Return(D, kConsumer, testing::RequestWithQuery(C.Query));
    EXPECT_EQ(O.Result, resFailed) << C.Query;
    EXPECT_EQ(O.Error, std::optional<std::string>(C.Error)) << C.Query;
    EXPECT_EQ(D.Calls.size(), 1u) << C.Query;  // the request token only: no trade
    EXPECT_TRUE(Flow.Request().Empty()) << C.Query;
    EXPECT_TRUE(Flow.Access().Empty()) << C.Query;
    // The genuine return that comes after finds nothing to trade.
    const TOAuth1Outcome Late =
        Flow.Return(D, kConsumer, testing::RequestWithQuery("oauth_token=RT&oauth_verifier=V"));
    EXPECT_EQ(Late.Result, resFailed);
    EXPECT_EQ(D.Calls.size(), 1u) << C.Query;
  }
}

TEST(OAuth1Flow, TheTradeIsSignedWithTheRequestSecretAndATransportFailureSpendsNothing) {
  TFakeDescription D;
  TOAuth1Flow Flow;
  Flow.Start(D, kConsumer, "http://app.test", "ID");
  const THttpRequest Return = testing::RequestWithQuery("oauth_token=RT&oauth_verifier=V%26x");
  D.FailTransport = true;
  EXPECT_THROW(Flow.Return(D, kConsumer, Return), ETransportError);
  EXPECT_EQ(Flow.Request().Token, "RT");
  EXPECT_TRUE(Flow.Access().Empty());

  D.FailTransport = false;
  const TOAuth1Outcome O = Flow.Return(D, kConsumer, Return);
  EXPECT_EQ(D.Calls.back(), "trade RT RTS V&x");
  EXPECT_EQ(O.Result, resOK);
  EXPECT_EQ(O.UserID, "42");
  EXPECT_EQ(Flow.Access().Token, "AT");
  EXPECT_EQ(Flow.Access().Secret, "ATS");
  EXPECT_TRUE(Flow.Request().Empty());
  // An abandoned new sign-in keeps the user's access token.
  Flow.Start(D, kConsumer, "http://app.test", "ID2");
  EXPECT_EQ(Flow.Access().Token, "AT");
  Flow.Forget();
  EXPECT_TRUE(Flow.Access().Empty());
  EXPECT_TRUE(Flow.Request().Empty());
}

TEST(OAuth1Generation, ATwitterSignInEndsInTheGenerationItStartedIn) {
  testing::RecordingTransport T;
  TZIWAuthServerController Controller(nullptr);
  IWTwitterAuthClient::TZIWTwitterAuthClient Client(nullptr);
  Client.App()->SetID("key");
  Client.App()->SetSecret("secret");
  Client.SetServerController(&Controller);
  auto App = testing::MakeApplication();
  T.Reply("oauth_token=RT1&oauth_token_secret=RTS1&oauth_callback_confirmed=true");
  Client.Login(App.get());
  std::string Id;
  {
    auto L = Controller.LockClients();
    Id = Controller.Clients()->Items(0)->ID();
  }
  // Switched while the user is at the provider: the return still completes the classic flow.
  Client.SetApi(apCurrent);
  T.Reply("oauth_token=AT&oauth_token_secret=ATS&user_id=1&screen_name=ann");
  Controller.ProcessRequest(
      testing::RequestWithQuery("clientid=" + Id + "&oauth_token=RT1&oauth_verifier=V1"));
  ASSERT_EQ(T.Count(), 2u);
  EXPECT_EQ(T.At(1).Method, "GET");
  EXPECT_EQ(T.At(1).Host, "api.twitter.com");
  EXPECT_EQ(T.At(1).Path.rfind("/oauth/access_token?oauth_consumer_key=key&", 0), 0u);
  EXPECT_EQ(Client.LoginResult(), resOK);
  EXPECT_EQ(Client.LoginUsername(), "ann");
  // After signing out the next sign-in speaks the generation Api names now.
  Client.SignOut();
  T.Reply("oauth_token=RT2&oauth_token_secret=RTS2&oauth_callback_confirmed=true");
  Client.Login(App.get());
  EXPECT_EQ(T.Last().Host, ProviderHost(phXApi));
  EXPECT_TRUE(T.Last().Http11);
}

TEST(OAuth1Generation, APayPalCheckoutIsCompletedByTheApiItStartedWith) {
  testing::RecordingTransport T;
  testing::TPayPalWiring W;
  W.Client->Transactions()->Add()->SetPrice(4);
  auto App = testing::MakeApplication();
  T.Reply("TOKEN=EC-1&ACK=Success");
  ASSERT_EQ(W.Client->PayOnline(App.get()), resOK);
  const std::string Id = W.EntryID();
  W.Client->SetApi(apCurrent);
  T.Reply("ACK=Success&CHECKOUTSTATUS=PaymentActionNotInitiated");
  T.Reply("ACK=Success&PAYMENTINFO_0_TRANSACTIONID=TX1");
  W.Controller->ProcessRequest(
      testing::RequestWithQuery("clientid=" + Id + "&paypalcallback=1&token=EC-1&PayerID=P1"));
  ASSERT_EQ(T.Count(), 3u);
  EXPECT_EQ(T.At(1).Data.rfind("METHOD=GetExpressCheckoutDetails&TOKEN=EC-1&", 0), 0u);
  EXPECT_EQ(T.At(2).Data.rfind("METHOD=DoExpressCheckoutPayment&TOKEN=EC-1&PAYERID=P1&", 0), 0u);
  EXPECT_EQ(W.Client->LoginResult(), resOK);
  EXPECT_EQ(W.Client->TransactionID(), "TX1");
  // The card payment takes the API named now.
  T.Clear();
  T.Reply(R"({"access_token":"A","expires_in":3600})");
  T.Reply(
      R"({"id":"O1","purchase_units":[{"payments":{"captures":[{"id":"C1","status":"COMPLETED"}]}}]})");
  EXPECT_EQ(W.Client->PayDirect(), resOK);
  EXPECT_EQ(T.At(1).Path, "/v2/checkout/orders");
  EXPECT_EQ(W.Client->TransactionID(), "C1");
}

}  // namespace
}  // namespace zelk::IWZelkAuthBase
