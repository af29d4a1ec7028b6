// Known-answer tests of the encoding, signing and parsing helpers.
#include <gtest/gtest.h>

#include <clocale>

#include "core/HelpersDetail.h"
#include "core/IWZelkAuthBase.h"

namespace zelk::IWZelkAuthBase {
namespace {

TBytes Bytes(std::string_view S) {
  return TBytes(S.begin(), S.end());
}

std::string HexOf(const TBytes& B) {
  static const char* H = "0123456789abcdef";
  std::string R;
  for (auto C : B) {
    R += H[C >> 4];
    R += H[C & 15];
  }
  return R;
}

// RFC 4648 section 10.
TEST(Base64Encode, Rfc4648Vectors) {
  const std::pair<const char*, const char*> Cases[] = {{"", ""},
                                                       {"f", "Zg=="},
                                                       {"fo", "Zm8="},
                                                       {"foo", "Zm9v"},
                                                       {"foob", "Zm9vYg=="},
                                                       {"fooba", "Zm9vYmE="},
                                                       {"foobar", "Zm9vYmFy"},
                                                       {"abc", "YWJj"}};
  for (const auto& [In, Out] : Cases)
    EXPECT_EQ(Base64Encode(Bytes(In)), Out) << In;
}

TEST(Base64Encode, TwentyBytesGiveTwentyEightCharactersWithOnePad) {
  const std::string S = Base64Encode(TBytes(20, 0xFF));
  EXPECT_EQ(S.size(), 28u);
  EXPECT_EQ(S.back(), '=');
  EXPECT_NE(S[26], '=');
  EXPECT_EQ(S.find('\n'), std::string::npos);
}

// The two forms side by side: the same bytes differ only in the two letters of the alphabet
// that are not URL-safe and in the padding.
TEST(Base64Encode, StandardAndUrlFormsOfTheSameBytes) {
  struct TCase {
    std::string In;
    const char* Standard;
    const char* URL;
  };
  const TCase Cases[] = {{"", "", ""},
                         {"f", "Zg==", "Zg"},
                         {"fo", "Zm8=", "Zm8"},
                         {"foo", "Zm9v", "Zm9v"},
                         {"\xfb\xff\xbf", "+/+/", "-_-_"},
                         {"\xff", "/w==", "_w"},
                         {"\xfb\xef", "++8=", "--8"},
                         {std::string(2, '\0'), "AAA=", "AAA"}};
  for (const auto& C : Cases) {
    EXPECT_EQ(Base64Encode(C.In, TBase64::Standard), C.Standard) << C.URL;
    EXPECT_EQ(Base64Encode(C.In, TBase64::URL), C.URL) << C.URL;
    EXPECT_EQ(Base64Encode(Bytes(C.In)), C.Standard) << C.URL;
  }
}

// RFC 2202 section 3 (HMAC-SHA1), message first and key second.
TEST(EncryptHMACSha1, Rfc2202Vectors) {
  EXPECT_EQ(HexOf(EncryptHMACSha1("Hi There", std::string(20, '\x0b'))),
            "b617318655057264e28bc0b6fb378c8ef146be00");
  EXPECT_EQ(HexOf(EncryptHMACSha1("what do ya want for nothing?", "Jefe")),
            "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
  EXPECT_EQ(HexOf(EncryptHMACSha1(std::string(50, '\xdd'), std::string(20, '\xaa'))),
            "125d7342b9ac11cd91a39af48aa17b4f63f175d3");
  EXPECT_EQ(HexOf(EncryptHMACSha1("Test Using Larger Than Block-Size Key - Hash Key First",
                                  std::string(80, '\xaa'))),
            "aa4ae5e15272d00e95705637ce8a3b55ed402112");
}

TEST(EncryptHMACSha1, EmptyMessageAndKeyAndArgumentOrder) {
  EXPECT_EQ(HexOf(EncryptHMACSha1("", "")), "fbdb1d1b18aa6c08324b7d64b71fb76370690e1d");
  EXPECT_NE(EncryptHMACSha1("message", "key"), EncryptHMACSha1("key", "message"));
  EXPECT_EQ(EncryptHMACSha1("x", "y").size(), 20u);
}

// RFC 1321 appendix A.5, through the digest the nonce is made of.
TEST(NonceDigest, Rfc1321Vectors) {
  const std::pair<const char*, const char*> Cases[] = {
      {"", "D41D8CD98F00B204E9800998ECF8427E"},
      {"a", "0CC175B9C0F1B6A831C399E269772661"},
      {"abc", "900150983CD24FB0D6963F7D28E17F72"},
      {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
      {"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57EDF4A22BE3C955AC49DA2E2107B67A"}};
  for (const auto& [In, Out] : Cases)
    EXPECT_EQ(detail::NonceDigest(In), Out) << In;
}

TEST(URLEncode, KeepsTheUnreservedSetAndEscapesEverythingElse) {
  EXPECT_EQ(URLEncode("a b+c/d~e"), "a%20b%2Bc%2Fd~e");
  EXPECT_EQ(URLEncode("="), "%3D");
  EXPECT_EQ(URLEncode("&"), "%26");
  EXPECT_EQ(URLEncode(""), "");
  const std::string Unreserved =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~";
  EXPECT_EQ(URLEncode(Unreserved), Unreserved);
  // Every other ASCII byte is escaped with two upper-case digits.
  for (int C = 0; C < 128; ++C) {
    const std::string S(1, static_cast<char>(C));
    if (Unreserved.find(static_cast<char>(C)) != std::string::npos) continue;
    char Expected[4];
    std::snprintf(Expected, sizeof Expected, "%%%02X", C);
    EXPECT_EQ(URLEncode(S), Expected) << C;
  }
}

TEST(URLEncode, EscapesEachByteOfUtf8) {
  EXPECT_EQ(URLEncode("Jos\xC3\xA9"), "Jos%C3%A9");
  EXPECT_EQ(URLEncode("\xE2\x82\xAC"), "%E2%82%AC");
}

TEST(Split, PiecesBetweenDelimiters) {
  rtl::TStringList L;
  Split('&', "a=1&b=2", &L);
  EXPECT_EQ(L, (rtl::TStringList{"a=1", "b=2"}));
  Split('&', "a=1&", &L);
  EXPECT_EQ(L, (rtl::TStringList{"a=1", ""}));
  Split('&', "", &L);
  EXPECT_EQ(L, (rtl::TStringList{""}));
  Split('_', "\"111_222_333\"", &L);
  EXPECT_EQ(L, (rtl::TStringList{"\"111", "222", "333\""}));
  Split('&', "&&", &L);
  EXPECT_EQ(L.Count(), 3);
}

TEST(Split, MissingListIsAnAssertionFailure) {
  try {
    Split('&', "a", nullptr);
    FAIL() << "no exception";
  } catch (const rtl::EAssertionFailed& E) {
    EXPECT_EQ(E.Message(), "Assertion failure");
  }
}

TEST(EncodeParams, SortedAndEncodedOrQuotedInOrder) {
  const rtl::TStringList L{"b=2", "a=x y"};
  EXPECT_EQ(EncodeParams(L, "&", false, false), "a=x%20y&b=2");
  EXPECT_EQ(EncodeParams(L, ",", true, false), "b=\"2\",a=\"x y\"");
  EXPECT_EQ(EncodeParams(L, "&", false, true), "a=x+y&b=2");
  for (bool Q : {false, true})
    for (bool F : {false, true})
      EXPECT_EQ(EncodeParams(rtl::TStringList{}, "&", Q, F), "");
}

TEST(EncodeParams, SortIgnoresCaseAndValueIsTextAfterFirstEquals) {
  const rtl::TStringList L{"oauth_token=a=b", "Include=1", "oauth_nonce=N"};
  EXPECT_EQ(EncodeParams(L, "&", false, false), "Include=1&oauth_nonce=N&oauth_token=a%3Db");
}

TEST(GenerateTimeStamp, UnixSecondsFromTheClockSeam) {
  using namespace std::chrono;
  SetClock([] { return system_clock::time_point(seconds(10)); });
  EXPECT_EQ(GenerateTimeStamp(), "10");
  // After 2038 the count no longer fits 32 bits.
  SetClock([] { return system_clock::time_point(seconds(4102444800LL)); });
  EXPECT_EQ(GenerateTimeStamp(), "4102444800");
  SetClock({});
  EXPECT_GT(std::stoll(GenerateTimeStamp()), 1700000000LL);
}

TEST(GenerateNonce, UniquePerCallWithinOneSecond) {
  using namespace std::chrono;
  SetClock([] { return system_clock::time_point(seconds(1000)); });
  const std::string A = GenerateNonce();
  const std::string B = GenerateNonce();
  SetClock({});
  EXPECT_NE(A, B);
  for (const auto& N : {A, B}) {
    ASSERT_EQ(N.size(), 32u);
    EXPECT_EQ(N.find_first_not_of("0123456789ABCDEF"), std::string::npos) << N;
  }
}

TEST(GenerateNonce, IsTheDigestOfTimeStampAndRandomBits) {
  using namespace std::chrono;
  SetClock([] { return system_clock::time_point(seconds(10)); });
  SetRandomSource([](std::uint8_t* B, std::size_t N) {
    for (std::size_t I = 0; I < N; ++I)
      B[I] = static_cast<std::uint8_t>(I);
    return true;
  });
  std::string Data = "10";
  for (int I = 0; I < 16; ++I)
    Data += static_cast<char>(I);
  EXPECT_EQ(GenerateNonce(), detail::NonceDigest(Data));
  SetRandomSource({});
  SetClock({});
}

TEST(CreateGuid, VersionFourInRegistryForm) {
  const std::string A = CreateGuid();
  const std::string B = CreateGuid();
  EXPECT_NE(A, B);
  ASSERT_EQ(A.size(), 38u);
  EXPECT_EQ(A.front(), '{');
  EXPECT_EQ(A.back(), '}');
  for (std::size_t I : {9u, 14u, 19u, 24u})
    EXPECT_EQ(A[I], '-');
  EXPECT_EQ(A[15], '4');
  EXPECT_NE(std::string("89AB").find(A[20]), std::string::npos);
  EXPECT_EQ(A.find_first_not_of("{}-0123456789ABCDEF"), std::string::npos);
}

TEST(CreateGuid, EmptyWhenTheRandomSourceFails) {
  SetRandomSource([](std::uint8_t*, std::size_t) { return false; });
  EXPECT_EQ(CreateGuid(), "");
  SetRandomSource({});
}

TEST(ParseJSON, MembersAsText) {
  TJSONObject J;
  ParseJSON(R"({"id":"42","n":12345678901234,"f":1.5,"o":{"a":[1,2]},"b":true,"z":null})", J);
  EXPECT_EQ(J.Text("id"), "42");
  EXPECT_EQ(J.Text("n"), "12345678901234");
  EXPECT_EQ(J.Text("f"), "1.5");
  EXPECT_EQ(J.Text("o"), R"({"a":[1,2]})");
  EXPECT_EQ(J.Text("b"), "true");
  EXPECT_FALSE(J.Has("z"));  // null is absent
  EXPECT_FALSE(J.Has("missing"));
  EXPECT_EQ(J.Text("missing"), "");
  EXPECT_TRUE(J.IsObject("o"));
  EXPECT_FALSE(J.IsObject("id"));
  EXPECT_EQ(J.Object("o").Text("a"), "[1,2]");
}

// A member whose value is null is absent at every depth, as if the provider had left it out;
// null elements of arrays keep their places.
TEST(ParseJSON, NullMembersAreAbsentEverywhere) {
  TJSONObject J;
  ParseJSON(R"({"gender":null,"emails":{"preferred":null,"account":"a@x.test"},"error":null,)"
            R"("list":[null,{"k":null,"v":1}],"deep":{"a":{"b":null}},"s":"null"})",
            J);
  EXPECT_FALSE(J.Has("gender"));
  EXPECT_EQ(J.Text("gender"), "");
  EXPECT_FALSE(J.IsObject("error"));
  EXPECT_EQ(J.Count(), 4);
  const TJSONObject Emails = J.Object("emails");
  EXPECT_FALSE(Emails.Has("preferred"));
  EXPECT_EQ(Emails.Text("account"), "a@x.test");
  EXPECT_EQ(Emails.Count(), 1);
  EXPECT_EQ(J.Text("list"), R"([null,{"v":1}])");
  EXPECT_EQ(J.Text("deep"), R"({"a":{}})");
  EXPECT_EQ(J.Text("s"), "null");  // the string "null" is a value like any other

  // An object built from a document drops its null members too.
  const TJSONObject Built(nlohmann::json::parse(R"({"x":null,"y":{"z":null}})"));
  EXPECT_FALSE(Built.Has("x"));
  EXPECT_EQ(Built.Text("y"), "{}");

  // Nesting far deeper than any call stack is no danger.
  const std::size_t Depth = 200000;
  ParseJSON("{\"a\":" + std::string(Depth, '[') + "{\"n\":null}" + std::string(Depth, ']') + "}",
            J);
  EXPECT_TRUE(J.Has("a"));
}

TEST(ParseJSON, Utf8PassesIntactAndEscapesDecode) {
  TJSONObject J;
  ParseJSON("{\"name\":\"Jos\xC3\xA9\",\"e\":\"\\u00e9\"}", J);
  EXPECT_EQ(J.Text("name"), "Jos\xC3\xA9");
  EXPECT_EQ(J.Text("e"), "\xC3\xA9");
}

TEST(ParseJSON, AnythingButAnObjectLeavesNoMembersAndNeverThrows) {
  const std::string Bad[] = {"",
                             "not json",
                             "[1,2]",
                             "\"str\"",
                             "{\"a\":",
                             "{\"a\":\"\xFF\xFE\"}",
                             std::string("{\"a\":1}\0x", 9),
                             std::string(100000, '['),
                             "access_token=abc&expires=5"};
  for (const auto& T : Bad) {
    TJSONObject J;
    ParseJSON(R"({"old":1})", J);
    EXPECT_NO_THROW(ParseJSON(T, J));
    EXPECT_EQ(J.Count(), 0) << T.substr(0, 20);
  }
}

}  // namespace
}  // namespace zelk::IWZelkAuthBase
