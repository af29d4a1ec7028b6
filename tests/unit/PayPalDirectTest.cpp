// PayDirect against the recording transport: the request byte for byte, the outcome, and that
// nothing else of the client changes.
#include <gtest/gtest.h>

#include "support/PayPalTestClient.h"
#include "support/RecordingTransport.h"

namespace zelk::IWPayPalClient {
namespace {

using IWZelkAuthBase::resFailed;
using IWZelkAuthBase::resOK;
using IWZelkAuthBase::resUnknown;
using testing::FieldNames;

class PayDirectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    C.Seller()->SetUserName("shop_api1.example.com");
    C.Seller()->SetPassword("PW123");
    C.Seller()->SetSignature("SIG.abc");
    C.Buyer()->SetEmail("ann@example.com");
    testing::SetTestBuyer(C);
    C.CreditCard()->SetNumber("4111111111111111");
    C.CreditCard()->SetVerificationCode("123");
    C.CreditCard()->SetExpirationMonth(3);
    C.CreditCard()->SetExpirationYear(2027);
    auto* A = C.Transactions()->Add();
    A->SetQuantity(2);
    A->SetPrice(7.5);
    C.Transactions()->Add()->SetPrice(5);
  }

  testing::RecordingTransport T;
  testing::TTestPayPalClient C{nullptr};
};

TEST_F(PayDirectTest, SendsTheFullBodyByteForByte) {
  T.Reply("TIMESTAMP=2026%2d01%2d01T00%3a00%3a00Z&ACK=Success&AMT=20%2e00&TRANSACTIONID=1");
  EXPECT_EQ(C.PayDirect(), resOK);
  ASSERT_EQ(T.Count(), 1u);
  const auto R = T.Last();
  EXPECT_EQ(R.Method, "POST");
  EXPECT_EQ(R.Host, "api-3t.sandbox.paypal.com");
  EXPECT_EQ(R.Path, "/nvp");
  EXPECT_EQ(R.Headers, "");
  EXPECT_EQ(R.Data,
            "METHOD=doDirectPayment&PAYMENTACTION=Sale&AMT=20&CREDITCARDTYPE=Visa"
            "&ACCT=4111111111111111&EXPDATE=032027&CVV2=123&EMAIL=ann@example.com"
            "&FIRSTNAME=Ann&LASTNAME=Lee&STREET=1 Main Street&CITY=San Jose&ZIP=95131"
            "&COUNTRYCODE=US&CURRENCYCODE=USD&USER=shop_api1.example.com&PWD=PW123"
            "&SIGNATURE=SIG.abc&VERSION=65.1");
}

TEST_F(PayDirectTest, ExpiryAmountCardTypeCurrencyAndHost) {
  struct TCase {
    int Month;
    TIWCreditCardType Card;
    TIWCurrency Currency;
    TIWServerType Server;
    bool Items;
    const char* Expect[4];  // EXPDATE, CREDITCARDTYPE, CURRENCYCODE, AMT fields
    const char* Host;
  };
  const TCase Cases[] = {
      {3,
       ctVisa,
       crUSD,
       stSandBox,
       true,
       {"&EXPDATE=032027&", "&CREDITCARDTYPE=Visa&", "&CURRENCYCODE=USD&", "&AMT=20&"},
       "api-3t.sandbox.paypal.com"},
      {11,
       ctAmericanExpress,
       crGBP,
       stLive,
       true,
       {"&EXPDATE=112027&", "&CREDITCARDTYPE=Amex&", "&CURRENCYCODE=GBP&", "&AMT=20&"},
       "api-3t.paypal.com"},
      {1,
       ctMasterCard,
       crEUR,
       stSandBox,
       false,
       {"&EXPDATE=012027&", "&CREDITCARDTYPE=MasterCard&", "&CURRENCYCODE=EUR&", "&AMT=0&"},
       "api-3t.sandbox.paypal.com"},
      {10,
       ctDiscover,
       crCAD,
       stLive,
       false,
       {"&EXPDATE=102027&", "&CREDITCARDTYPE=Discover&", "&CURRENCYCODE=CAD&", "&AMT=0&"},
       "api-3t.paypal.com"},
  };
  // Shipping and tax are Express Checkout's; a direct payment neither adds nor sends them.
  C.Transaction()->SetShipping(5);
  C.Transaction()->SetTax(2);
  C.Transaction()->SetInsurance(1);
  for (const auto& K : Cases) {
    C.CreditCard()->SetExpirationMonth(K.Month);
    C.CreditCard()->SetCardType(K.Card);
    C.Transaction()->SetCurrency(K.Currency);
    C.SetServerType(K.Server);
    if (!K.Items) C.Transactions()->Clear();
    T.Clear();
    C.PayDirect();
    const auto R = T.Last();
    for (const char* F : K.Expect)
      EXPECT_NE(R.Data.find(F), std::string::npos) << F;
    EXPECT_EQ(R.Host, K.Host);
    EXPECT_EQ(R.Path, "/nvp");
    for (const char* Absent : {"SHIPPING", "TAXAMT", "INSURANCE", "ITEMAMT"})
      EXPECT_EQ(R.Data.find(Absent), std::string::npos) << Absent;
  }
}

TEST_F(PayDirectTest, AcknowledgementDecidesTheResultAndNothingElseChanges) {
  const std::pair<const char*, TIWResult> Cases[] = {
      {"ACK=Success&TRANSACTIONID=1", resOK},
      {"ACK=SuccessWithWarning&L_ERRORCODE0=11452", resOK},
      {"ACK=Failure&L_ERRORCODE0=10527&L_SHORTMESSAGE0=Invalid%20Data", resFailed},
      {"ACK=FailureWithWarning", resFailed},
      {"", resFailed},
      {"<html>500 Internal Server Error</html>", resFailed},
  };
  int Events = 0;
  C.SetOnPayPalPaymentOK([&](rtl::TObject*) { ++Events; });
  C.SetOnPayPalFailed([&](rtl::TObject*) { ++Events; });
  C.SetOnPayPalCancel([&](rtl::TObject*) { ++Events; });
  C.SetOnLoginOK([&](rtl::TObject*) { ++Events; });
  C.SetOnLoginFailed([&](rtl::TObject*) { ++Events; });
  C.SetLoginError("earlier");
  for (const auto& [Reply, Result] : Cases) {
    T.Reply(Reply);
    EXPECT_EQ(C.PayDirect(), Result) << Reply;
    EXPECT_EQ(C.LoginResult(), IWZelkAuthBase::resNone);
    EXPECT_EQ(C.LoginError(), "earlier");
  }
  EXPECT_EQ(Events, 0);
  EXPECT_EQ(T.Count(), std::size(Cases));
}

TEST_F(PayDirectTest, TransportFailurePropagatesAndChangesNothing) {
  T.Fail("HttpSendRequest Error 7 Description Couldn't connect to server");
  C.SetLoginResult(resOK);
  try {
    C.PayDirect();
    FAIL() << "no exception";
  } catch (const rtl::Exception& E) {
    EXPECT_EQ(E.Message(), "HttpSendRequest Error 7 Description Couldn't connect to server");
  }
  EXPECT_EQ(C.LoginResult(), resOK);
  EXPECT_EQ(C.LoginError(), "");
}

// Sent and unanswered, the card may have been charged: an outcome to report, never a failure to
// raise; only a failure before sending raises.
TEST_F(PayDirectTest, AnswerLostAfterSendingIsUnknownAndNotRaised) {
  int Events = 0;
  C.SetOnPayPalPaymentOK([&](rtl::TObject*) { ++Events; });
  C.SetOnPayPalFailed([&](rtl::TObject*) { ++Events; });
  C.SetOnPayPalUnknown([&](rtl::TObject*) { ++Events; });
  C.SetLoginResult(resOK);
  T.Reply("ACK=Success&TRANSACTIONID=4RT5");
  EXPECT_EQ(C.PayDirect(), resOK);
  EXPECT_EQ(C.TransactionID(), "4RT5");
  for (const std::string Lost :
       {"HttpReceiveResponse Error 56 Description Recv failure: Connection reset by peer",
        "InternetQueryDataAvailable Error 18 Description transfer closed with 20 bytes remaining "
        "to read"}) {
    SCOPED_TRACE(Lost);
    T.LoseAnswer(Lost);
    EXPECT_EQ(C.PayDirect(), resUnknown);
    EXPECT_EQ(C.LoginError(),
              "Payment outcome unknown: PayPal may have taken the payment, but its answer was "
              "lost. Check the PayPal account or the card's statement before paying again. "
              "Details: " +
                  Lost);
    EXPECT_EQ(C.LoginResult(), resOK);  // what an earlier checkout ended with stays
    EXPECT_EQ(C.TransactionID(), "");
  }
  EXPECT_EQ(T.Count(), 3u);  // never sent again by the client itself
  EXPECT_EQ(Events, 0);

  T.Fail("HttpSendRequest Error 6 Description Could not resolve host: api-3t.sandbox.paypal.com");
  C.SetLoginError("");
  try {
    C.PayDirect();
    FAIL() << "no exception";
  } catch (const IWZelkAuthBase::ETransportError& E) {
    EXPECT_FALSE(E.RequestMayHaveArrived());
    EXPECT_EQ(E.Step(), "HttpSendRequest");
  }
  EXPECT_EQ(C.LoginError(), "");
}

TEST_F(PayDirectTest, HostileValuesCannotAddOrOverrideFields) {
  C.Buyer()->SetStreet("Main St&AMT=0.01");
  C.Buyer()->SetCity("X=Y&CURRENCYCODE=JPY");
  C.Buyer()->SetFirstName("A+B 100%");
  C.Buyer()->SetName("Lee\r\nMETHOD=refund");
  C.CreditCard()->SetNumber("4111&ACCT=4000");
  C.Seller()->SetPassword("p&w=d");
  T.Reply("ACK=Success");
  C.PayDirect();
  const std::string Body = T.Last().Data;
  EXPECT_EQ(FieldNames(Body),
            (std::vector<std::string>{"METHOD", "PAYMENTACTION", "AMT", "CREDITCARDTYPE", "ACCT",
                                      "EXPDATE", "CVV2", "EMAIL", "FIRSTNAME", "LASTNAME", "STREET",
                                      "CITY", "ZIP", "COUNTRYCODE", "CURRENCYCODE", "USER", "PWD",
                                      "SIGNATURE", "VERSION"}));
  EXPECT_NE(Body.find("&STREET=Main St%26AMT%3D0.01&"), std::string::npos);
  EXPECT_NE(Body.find("&CITY=X%3DY%26CURRENCYCODE%3DJPY&"), std::string::npos);
  EXPECT_NE(Body.find("&FIRSTNAME=A%2BB 100%25&"), std::string::npos);
  EXPECT_NE(Body.find("&LASTNAME=Lee%0D%0AMETHOD%3Drefund&"), std::string::npos);
  EXPECT_NE(Body.find("&ACCT=4111%26ACCT%3D4000&"), std::string::npos);
  EXPECT_NE(Body.find("&PWD=p%26w%3Dd&"), std::string::npos);
}

}  // namespace
}  // namespace zelk::IWPayPalClient
