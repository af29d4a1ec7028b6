// The one percent-decoder and the one letter-case comparison that the query reader, the PayPal
// reply reader, the session store's URL reader, the simulator's OAuth 1.0a verifier, the HTTP
// engine and the log redactor share, each in the form its caller needs.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "payments/IWPayPalClient.h"
#include "platform/rtl/PercentDecode.h"
#include "platform/rtl/StringList.h"
#include "platform/web/HttpRequest.h"
#include "sim/OAuth1Verifier.h"

namespace zelk {
namespace {

using rtl::TPlus;

// One input, decoded in every form: what "+" becomes and what a malformed escape does.
TEST(PercentDecode, EveryFormOnTheSameInputs) {
  struct TCase {
    std::string In;
    std::string Literal;                     // lenient, "+" as itself
    std::string Blank;                       // lenient, "+" as a blank
    std::optional<std::string> StrictPlain;  // strict, "+" as itself
  };
  const TCase Cases[] = {
      {"", "", "", ""},
      {"a+b%2B%7e%7E", "a+b+~~", "a b+~~", "a+b+~~"},
      {"%00%ff%C3%A9", std::string("\0\xff\xc3\xa9", 4), std::string("\0\xff\xc3\xa9", 4),
       std::string("\0\xff\xc3\xa9", 4)},
      {"100%", "100%", "100%", std::nullopt},
      {"%4", "%4", "%4", std::nullopt},
      {"%g1+", "%g1+", "%g1 ", std::nullopt},
      {"%1g", "%1g", "%1g", std::nullopt},
      {"%%41", "%A", "%A", std::nullopt},
      {"%2541", "%41", "%41", "%41"},  // decoded once, never twice
      {"a%20b", "a b", "a b", "a b"},
  };
  for (const auto& C : Cases) {
    EXPECT_EQ(rtl::PercentDecode(C.In, TPlus::Literal), C.Literal) << C.In;
    EXPECT_EQ(rtl::PercentDecode(C.In, TPlus::Blank), C.Blank) << C.In;
    EXPECT_EQ(rtl::PercentDecodeStrict(C.In, TPlus::Literal), C.StrictPlain) << C.In;
    const auto StrictBlank = rtl::PercentDecodeStrict(C.In, TPlus::Blank);
    EXPECT_EQ(StrictBlank.has_value(), C.StrictPlain.has_value()) << C.In;
    if (StrictBlank) {
      EXPECT_EQ(*StrictBlank, C.Blank) << C.In;
    }
  }
}

// Each caller keeps the form it had: a browser's query turns "+" into a blank and passes a stray
// "%"; PayPal's reply keeps "+" ; the simulator's verifier refuses a stray "%".
TEST(PercentDecode, EachCallerKeepsItsForm) {
  struct TCase {
    std::string In;
    std::string Query;
    std::string Reply;
    std::optional<std::string> VerifierForm;
  };
  const TCase Cases[] = {{"EC-1+2%2B", "EC-1 2+", "EC-1+2+", "EC-1 2+"},
                         {"50%+off", "50% off", "50%+off", std::nullopt},
                         {"%E2%82%AC", "\xe2\x82\xac", "\xe2\x82\xac", "\xe2\x82\xac"}};
  for (const auto& C : Cases) {
    EXPECT_EQ(web::DecodeQueryComponent(C.In), C.Query) << C.In;
    EXPECT_EQ(IWPayPalClient::detail::DecodeReplyValue(C.In), C.Reply) << C.In;
    EXPECT_EQ(sim::oauth1::PercentDecode(C.In, true), C.VerifierForm) << C.In;
  }
}

TEST(HexDigitValue, BothLetterCasesAndNothingElse) {
  const std::string Digits = "0123456789abcdefABCDEF";
  const int Values[] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10,
                        11, 12, 13, 14, 15, 10, 11, 12, 13, 14, 15};
  for (std::size_t I = 0; I < Digits.size(); ++I)
    EXPECT_EQ(rtl::HexDigitValue(Digits[I]), Values[I]) << Digits[I];
  for (const char C : std::string("gG/:@`\0 \xff", 9))
    EXPECT_EQ(rtl::HexDigitValue(C), -1) << static_cast<int>(C);
}

// The comparison the engine reads header names and the redactor reads parameter names with:
// ASCII letters only are folded, so a look-alike byte never matches a name.
TEST(SameText, FoldsAsciiLettersOnly) {
  struct TCase {
    const char* A;
    const char* B;
    bool Same;
  };
  const TCase Cases[] = {{"Content-Length", "content-length", true},
                         {"TRANSFER-ENCODING", "Transfer-Encoding", true},
                         {"chunked", "CHUNKED", true},
                         {"Host", "Hos", false},
                         {"Host", "Host ", false},
                         {"@", "`", false},  // one apart from "A" and "a" by 32
                         {"[", "{", false},
                         {"\xc3\x89", "\xc3\xa9", false},  // E-acute: not ASCII, not folded
                         {"", "", true}};
  for (const auto& C : Cases)
    EXPECT_EQ(rtl::SameText(C.A, C.B), C.Same) << C.A << " / " << C.B;
}

}  // namespace
}  // namespace zelk
