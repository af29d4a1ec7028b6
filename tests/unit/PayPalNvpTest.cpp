// The NVP texts of the payment client: amounts, value escaping and reading PayPal's replies.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdint>
#include <locale>
#include <sstream>

#include "payments/IWPayPalClient.h"

namespace zelk::IWPayPalClient {
namespace {

// A numpunct that writes "1.234,5": what a German locale does to naive formatting.
struct TCommaNumpunct : std::numpunct<char> {
  char do_decimal_point() const override { return ','; }
  char do_thousands_sep() const override { return '.'; }
  std::string do_grouping() const override { return "\3"; }
};

// Switches the process to a decimal comma (the C locale's LC_NUMERIC when the system has such a
// locale, and the C++ global locale in any case) and restores both.
class TCommaLocale {
 public:
  TCommaLocale() : FOldGlobal(std::locale()) {
    if (const char* Old = std::setlocale(LC_NUMERIC, nullptr)) FOldNumeric = Old;
    for (const char* Name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "de_DE", "nl_NL.UTF-8"})
      if (std::setlocale(LC_NUMERIC, Name) != nullptr) {
        FSystemLocale = Name;
        break;
      }
    std::locale::global(std::locale(std::locale::classic(), new TCommaNumpunct));
  }
  ~TCommaLocale() {
    std::locale::global(FOldGlobal);
    std::setlocale(LC_NUMERIC, FOldNumeric.c_str());
  }
  const std::string& SystemLocale() const { return FSystemLocale; }

 private:
  std::locale FOldGlobal;
  std::string FOldNumeric = "C";
  std::string FSystemLocale;
};

struct TAmountCase {
  double Value;
  const char* Text;
};

const TAmountCase kAmounts[] = {
    {25, "25"},
    {10.5, "10.5"},
    {0.1 + 0.2, "0.3"},
    {1.0 / 3, "0.333333333333333"},
    {2.0 / 3, "0.666666666666667"},
    {-10.5, "-10.5"},
    {-0.25, "-0.25"},
    {0, "0"},
    {-0.0, "0"},
    {100, "100"},
    {1234567.89, "1234567.89"},
    {0.05, "0.05"},
    {0.00001, "0.00001"},
    {2.675, "2.675"},  // 2.67499999... in binary; 15 digits give back what was meant
    {123456789012345, "123456789012345"},
    {1e20, "100000000000000000000"},
};

TEST(AmountText, FifteenSignificantDigitsFixedWithoutTrailingZeros) {
  for (const auto& C : kAmounts)
    EXPECT_EQ(AmountText(C.Value), C.Text) << C.Text;
}

TEST(AmountText, AlwaysUsesAPointWhateverTheLocale) {
  TCommaLocale Comma;
  // The locale really is in force for locale-aware formatting.
  std::ostringstream Probe;
  Probe << 10.5;
  ASSERT_EQ(Probe.str(), "10,5");
  for (const auto& C : kAmounts)
    EXPECT_EQ(AmountText(C.Value), C.Text) << C.Text << " under " << Comma.SystemLocale();
}

TEST(EncodeNVPValue, EscapesOnlyWhatChangesTheBodysStructure) {
  const std::pair<std::string, std::string> Cases[] = {
      {"", ""},
      {"Main Street 1", "Main Street 1"},  // the blank stays
      {"Main St&AMT=0.01", "Main St%26AMT%3D0.01"},
      {"100%", "100%25"},
      {"%20", "%2520"},
      {"a+b", "a%2Bb"},
      {"line\r\nbreak\ttab", "line%0D%0Abreak%09tab"},
      {std::string("nul\0x", 5), "nul%00x"},
      {"\x1f\x7f", "%1F%7F"},
      {"M\xc3\xbcller /?#:;,'\"<>", "M\xc3\xbcller /?#:;,'\"<>"},  // UTF-8 and other bytes stay
  };
  for (const auto& [In, Out] : Cases)
    EXPECT_EQ(EncodeNVPValue(In), Out) << In;
}

TEST(NVPSucceeded, LooksForAckSuccessInAnyLetterCase) {
  const std::pair<const char*, bool> Cases[] = {
      {"TIMESTAMP=x&ACK=Success&VERSION=65.1", true},
      {"ACK=SuccessWithWarning&L_ERRORCODE0=11452", true},
      {"ack=SUCCESS", true},
      {"ACK=Failure&L_ERRORCODE0=10002", false},
      {"ACK=Success%20", true},
      {"", false},
      {"<html><body>502 Bad Gateway</body></html>", false},
      {"ACK = Success", false},
  };
  for (const auto& [Reply, Ok] : Cases)
    EXPECT_EQ(detail::NVPSucceeded(Reply), Ok) << Reply;
}

TEST(NVPToken, IsTheTextAfterTheFirstTokenUpToTheNextAmpersand) {
  const std::pair<const char*, const char*> Cases[] = {
      {"TOKEN=EC%2d1AB&TIMESTAMP=2026%2d01%2d01&ACK=Success", "EC%2d1AB"},
      // Not first: the token is still cut at its own end, not at "&TIMESTAMP".
      {"ACK=Success&TOKEN=EC-2&TIMESTAMP=x&VERSION=65.1", "EC-2"},
      {"TIMESTAMP=x&ACK=Success&TOKEN=EC-3", "EC-3"},
      {"TOKEN=&TIMESTAMP=x&ACK=Success", ""},
      {"ACK=Success&TIMESTAMP=x", ""},
      {"token=EC-4&ACK=Success", ""},  // PayPal spells the name in capitals
      {"", ""},
  };
  for (const auto& [Reply, Token] : Cases)
    EXPECT_EQ(detail::NVPToken(Reply), Token) << Reply;
}

TEST(NVPFailureMessage, JoinsTheFirstShortAndLongMessageInReplyOrder) {
  EXPECT_EQ(detail::NVPFailureMessage(
                "TIMESTAMP=x&ACK=Failure&L_ERRORCODE0=10002&L_SHORTMESSAGE0=Security%20error"
                "&L_LONGMESSAGE0=Security%20header%20is%20not%20valid&L_SEVERITYCODE0=Error"),
            "Security error. Security header is not valid. ");
  // Long before short keeps the reply's order; messages of further errors are ignored.
  EXPECT_EQ(detail::NVPFailureMessage("ACK=Failure&L_LONGMESSAGE0=Long%20one"
                                      "&L_SHORTMESSAGE1=Other&L_SHORTMESSAGE0=Short"
                                      "&L_LONGMESSAGE1=Other%20long"),
            "Long one. Short. ");
  // Only "%20" is turned back; other escapes and "+" stay as PayPal sent them.
  EXPECT_EQ(detail::NVPFailureMessage("L_SHORTMESSAGE0=Invalid%2c%20sorry+now%"),
            "Invalid%2c sorry+now%. ");
  // Names are matched exactly: letter case counts.
  EXPECT_EQ(detail::NVPFailureMessage("ACK=Failure&l_shortmessage0=x&L_SHORTMESSAGE0X=y"), "");
  EXPECT_EQ(detail::NVPFailureMessage("ACK=Failure&L_ERRORCODE0=10001"), "");
  EXPECT_EQ(detail::NVPFailureMessage(""), "");
  // An empty message still gets its separator.
  EXPECT_EQ(detail::NVPFailureMessage("L_SHORTMESSAGE0=&L_LONGMESSAGE0=Why"), ". Why. ");
}

// Rounding to the currency's minor unit, half away from zero as the amount is written.
TEST(PayPalMinorUnits, RoundsHalfAwayFromZeroPerCurrency) {
  struct TCase {
    double Value;
    TIWCurrency Currency;
    std::int64_t Units;
    const char* Text;
  };
  const TCase Cases[] = {
      {19.99, crUSD, 1999, "19.99"},   // fits: written as before
      {10.5, crEUR, 1050, "10.5"},     // no trailing zero
      {25, crGBP, 2500, "25"},         // no separator
      {0.1 + 0.2, crUSD, 30, "0.3"},   // binary noise below the cent
      {19.999, crUSD, 2000, "20"},     // too many decimals
      {1.005, crUSD, 101, "1.01"},     // half-way, binary value just below
      {2.675, crCAD, 268, "2.68"},     // half-way, binary value just below
      {1.004, crAUD, 100, "1"},        // below half
      {-1.005, crUSD, -101, "-1.01"},  // away from zero, not up
      {-0.004, crUSD, 0, "0"},         // rounds to nothing: no sign
      {0.005, crEUR, 1, "0.01"},
      {1.0 / 3, crUSD, 33, "0.33"},
      {2.5, crJPY, 3, "3"},  // no minor unit
      {-2.5, crJPY, -3, "-3"},
      {1499.49, crHUF, 1499, "1499"},
      {100.5, crTWD, 101, "101"},
      {1000, crJPY, 1000, "1000"},
      {9999999999999.99, crUSD, 999999999999999, "9999999999999.99"},
  };
  for (const auto& K : Cases) {
    SCOPED_TRACE(std::to_string(K.Value) + " " + CurrencyText(K.Currency));
    EXPECT_EQ(MinorUnits(K.Value, K.Currency), K.Units);
    EXPECT_EQ(CurrencyAmountText(K.Value, K.Currency), K.Text);
    EXPECT_EQ(MinorUnitsText(K.Units, K.Currency), K.Text);
  }
  EXPECT_EQ(MinorUnitsText(-5, crUSD), "-0.05");
  EXPECT_EQ(MinorUnitsText(INT64_MIN, crJPY), "-9223372036854775808");
  const std::pair<TIWCurrency, int> Decimals[] = {{crEUR, 2}, {crUSD, 2}, {crAUD, 2}, {crCAD, 2},
                                                  {crGBP, 2}, {crJPY, 0}, {crHUF, 0}, {crTWD, 0}};
  for (const auto& [Currency, D] : Decimals)
    EXPECT_EQ(CurrencyDecimals(Currency), D) << CurrencyText(Currency);
}

TEST(PayPalMinorUnits, ImpossibleAmountsRaiseWithTheirValue) {
  for (const double V : {1e13, -1e13, 1e20, std::nan(""), HUGE_VAL, -HUGE_VAL}) {
    try {
      MinorUnits(V, crUSD);
      ADD_FAILURE() << "no exception for " << V;
    } catch (const rtl::Exception& E) {
      EXPECT_NE(std::string(E.what()).find("is not one PayPal can take"), std::string::npos);
      EXPECT_NE(std::string(E.what()).find(AmountText(V) + " USD"), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace zelk::IWPayPalClient
