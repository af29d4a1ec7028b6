// Redaction of secrets wherever they appear, the trace's line and sink, the counters' buckets,
// and the access log's line.
#include <gtest/gtest.h>

#include <vector>

#include "core/Trace.h"
#include "platform/rtl/SysUtils.h"
#include "platform/web/server/AccessLog.h"
#include "support/TraceLine.h"

namespace zelk {
namespace {

using IWZelkAuthBase::RedactQueryString;
using IWZelkAuthBase::RedactSecrets;

struct TRedactCase {
  const char* Where;
  const char* Text;
  const char* Redacted;
};

TEST(RedactSecrets, EverySecretKindInEveryPlace) {
  const std::vector<TRedactCase> Cases{
      {"query", "/token?client_id=app&client_secret=s3cr3t&code=4/abc",
       "/token?client_id=app&client_secret=[redacted]&code=[redacted]"},
      {"form body", "grant_type=refresh_token&refresh_token=1//xyz&code_verifier=v-123",
       "grant_type=refresh_token&refresh_token=[redacted]&code_verifier=[redacted]"},
      {"JSON reply",
       R"({"access_token" : "ya29.A\"b", "refresh_token":"r1","id_token":"e.f.g","expires_in":3599})",
       R"({"access_token" : "[redacted]", "refresh_token":"[redacted]","id_token":"[redacted]","expires_in":3599})"},
      {"bearer header", "Authorization: Bearer ya29.tok; Accept: */*",
       "Authorization: Bearer [redacted]; Accept: */*"},
      {"basic header", "authorization: Basic YWJjOmRlZg==\r\nHost: x",
       "authorization: Basic [redacted]\r\nHost: x"},
      {"OAuth 1.0a header",
       R"(Authorization: OAuth oauth_consumer_key="ck", oauth_token="t-1", oauth_signature="si%3D")",
       R"(Authorization: OAuth oauth_consumer_key="ck", oauth_token="[redacted]", oauth_signature="[redacted]")"},
      {"token reply", "oauth_token=t&oauth_token_secret=ts&user_id=1",
       "oauth_token=[redacted]&oauth_token_secret=[redacted]&user_id=1"},
      {"return query", "oauth_token=t&oauth_verifier=v",
       "oauth_token=[redacted]&oauth_verifier=[redacted]"},
      {"NVP call", "USER=u&PWD=pw&SIGNATURE=A-Sig&ACCT=4111 1111 1111 1234&CVV2=987&TOKEN=EC-1",
       "USER=u&PWD=[redacted]&SIGNATURE=[redacted]&ACCT=[redacted]1234&CVV2=[redacted]&TOKEN=["
       "redacted]"},
      {"REST card", R"({"number":"4111111111111111","security_code":"123","cvv2":"1"})",
       R"({"number":"[redacted]1111","security_code":"[redacted]","cvv2":"[redacted]"})"},
      {"card as a JSON number", R"({"number": 4111111111111111})", R"({"number": [redacted]1111})"},
      {"proof", "/me?access_token=a&appsecret_proof=9f",
       "/me?access_token=[redacted]&appsecret_proof=[redacted]"},
      // Names that merely contain a secret name, and numbers in error objects, stay.
      {"longer names", "error_code=190&barcode=5&codes=1&statecode=2",
       "error_code=190&barcode=5&codes=1&statecode=2"},
      {"error object", R"({"error":{"message":"bad","code":190}})",
       R"({"error":{"message":"bad","code":190}})"},
      {"empty value", "code=&x=1", "code=&x=1"},
      {"flow identifiers stay in the trace", "state=S1&clientid=C1", "state=S1&clientid=C1"},
      // Names count as the server reads them: percent-decoded, in any case; spelling kept.
      {"encoded names", "c%6Fde=a&CLIENT%5FSECRET=b&c%6fde=c&%41CCESS_TOKEN=d",
       "c%6Fde=[redacted]&CLIENT%5FSECRET=[redacted]&c%6fde=[redacted]&%41CCESS_TOKEN=[redacted]"},
      {"encoded longer names", "barc%6Fde=5&c%6Fdes=1&c%256Fde=2&c%6F=3",
       "barc%6Fde=5&c%6Fdes=1&c%256Fde=2&c%6F=3"},
      {"encoded JSON member", R"({"c%6Fde":"x"})", R"({"c%6Fde":"[redacted]"})"},
      {"form token", "zelk_form_token=ab12&z%65lk_form_token=cd34",
       "zelk_form_token=[redacted]&z%65lk_form_token=[redacted]"},
  };
  for (const TRedactCase& C : Cases)
    EXPECT_EQ(RedactSecrets(C.Text), C.Redacted) << C.Where;
}

TEST(RedactSecrets, LogQueriesLoseTheFlowIdentifiersToo) {
  EXPECT_EQ(RedactQueryString("state=S1&code=c&clientid=C1&x=y"),
            "state=[redacted]&code=[redacted]&clientid=[redacted]&x=y");
  EXPECT_EQ(RedactQueryString("st%61te=S1&CLIENT%49D=C1&st%61tes=x"),
            "st%61te=[redacted]&CLIENT%49D=[redacted]&st%61tes=x");
}

// Restores the trace's sink after each test.
class TraceSink : public ::testing::Test {
 protected:
  void TearDown() override { IWZelkAuthBase::SetTraceSink({}); }
};

TEST_F(TraceSink, OffUntilASinkIsSetThenEveryFieldRedacted) {
  std::vector<std::string> Lines;
  IWZelkAuthBase::TTraceEvent E;
  E.Flow = "F1";
  E.Provider = "Google";
  E.Step = "token exchange";
  E.Method = "POST";
  E.Host = "oauth2.example";
  E.Path = "/token?code=c1";
  E.Headers = "Authorization: Basic abc";
  E.RedirectURI = "https://app.example/cb";
  E.Status = 400;
  E.ElapsedMs = 12;
  E.Request = "code=c1&client_secret=s1";
  E.Reply = "{\"error\":\"redirect_uri_mismatch\"}\n";
  E.Outcome = "failed";
  IWZelkAuthBase::Trace(E);  // no sink (the environment of the tests asks for none)
  IWZelkAuthBase::SetTraceSink([&](const std::string& L) { Lines.push_back(L); });
  EXPECT_TRUE(IWZelkAuthBase::TraceEnabled());
  IWZelkAuthBase::Trace(E);
  ASSERT_EQ(Lines.size(), 1u);
  EXPECT_EQ(Lines[0],
            "flow=F1 provider=Google step=\"token exchange\" method=POST host=oauth2.example "
            "path=/token?code=[redacted] headers=\"Authorization: Basic [redacted]\" "
            "redirect_uri=https://app.example/cb status=400 elapsed_ms=12 "
            "request=code=[redacted]&client_secret=[redacted] "
            "reply={\\\"error\\\":\\\"redirect_uri_mismatch\\\"}\\x0A outcome=failed");
  IWZelkAuthBase::SetTraceSink({});
  IWZelkAuthBase::Trace(E);
  EXPECT_EQ(Lines.size(), 1u);
}

TEST(TraceLine, ALargeReplyIsRedactedThenCut) {
  IWZelkAuthBase::TTraceEvent E;
  // The secret straddles the cut: redaction comes first, so none of it shows.
  E.Reply = std::string(4080, 'x') + "&access_token=SECRETVALUE&" + std::string(100, 'y');
  const std::string Line = IWZelkAuthBase::FormatTraceEvent(E);
  EXPECT_EQ(Line, "reply=\"" + std::string(4080, 'x') + "&access_token=[r... (109 more bytes)\"");
  EXPECT_EQ(Line.find("SECRET"), std::string::npos);
}

// Whatever a field holds (a provider's error text, a reply, a return address), the line reads
// back as exactly the event's fields with exactly their values, and holds no raw control byte.
TEST(TraceLine, HostileTextInAnyFieldStaysInsideItsField) {
  const std::string Texts[] = {
      "denied\x1b[2K\x1b]0;title\x07\r\nflow=F2 outcome=ok",
      "\" outcome=ok error=\"forged",
      R"({"error":"x"})",
      "ends in a backslash\\",
      "\\\" \\x41",
      "Ren\xC3\xA9"
      "e \xE5\xB1\xB1\xE7\x94\xB0 \xC2\x9B"
      "2J\x7F",
      "tab\there",
  };
  const char* Keys[] = {"flow",    "provider",     "step",    "method", "host",  "path",
                        "headers", "redirect_uri", "request", "reply",  "error", "outcome"};
  for (const std::string& Text : Texts) {
    IWZelkAuthBase::TTraceEvent E;
    for (std::string* Field :
         {&E.Flow, &E.Provider, &E.Step, &E.Method, &E.Host, &E.Path, &E.Headers, &E.RedirectURI,
          &E.Request, &E.Reply, &E.Error, &E.Outcome})
      *Field = Text;
    const std::string Line = IWZelkAuthBase::FormatTraceEvent(E);
    for (const char C : Line) {
      const auto U = static_cast<unsigned char>(C);
      EXPECT_TRUE(U >= 32 && U < 127) << "raw byte " << int(U) << " in " << Line;
    }
    const auto Fields = testing::ParseTraceLine(Line);
    ASSERT_TRUE(Fields) << Line;
    ASSERT_EQ(Fields->size(), std::size(Keys)) << Line;
    for (std::size_t I = 0; I < std::size(Keys); ++I) {
      EXPECT_EQ((*Fields)[I].first, Keys[I]) << Line;
      EXPECT_EQ((*Fields)[I].second, Text) << Line;
    }
  }
}

TEST_F(TraceSink, ScopesNestAndRestore) {
  {
    const IWZelkAuthBase::TTraceScope Outer("Google", "F1");
    {
      const IWZelkAuthBase::TTraceScope Inner({}, {}, "profile");
      EXPECT_EQ(IWZelkAuthBase::TraceProvider(), "Google");
      EXPECT_EQ(IWZelkAuthBase::TraceFlow(), "F1");
      EXPECT_EQ(IWZelkAuthBase::TraceStep(), "profile");
    }
    EXPECT_EQ(IWZelkAuthBase::TraceStep(), "");
  }
  EXPECT_EQ(IWZelkAuthBase::TraceProvider(), "");
}

TEST(ProviderCounters, LatencyBucketsByTheirUpperBounds) {
  IWZelkAuthBase::ResetProviderCounters();
  for (const long Ms : {0L, 50L, 51L, 200L, 999L, 5000L, 30000L, 30001L})
    IWZelkAuthBase::CountCall("X", Ms);
  IWZelkAuthBase::CountFlowStarted("X");
  IWZelkAuthBase::CountOutcome("X", false, true);
  IWZelkAuthBase::CountOutcome("X", false, false);
  IWZelkAuthBase::CountOutcome("Y", true, false);
  const auto All = IWZelkAuthBase::ProviderCounters();
  ASSERT_EQ(All.size(), 2u);
  const auto& X = All.at("X");
  EXPECT_EQ(X.Calls, 8u);
  EXPECT_EQ(X.LatencyBuckets, (std::array<std::uint64_t, 6>{2, 2, 1, 1, 1, 1}));
  EXPECT_EQ(X.FlowsStarted, 1u);
  EXPECT_EQ(X.FlowsDenied, 1u);
  EXPECT_EQ(X.FlowsFailed, 1u);
  EXPECT_EQ(X.FlowsSucceeded, 0u);
  EXPECT_EQ(All.at("Y").FlowsSucceeded, 1u);
  IWZelkAuthBase::ResetProviderCounters();
  EXPECT_TRUE(IWZelkAuthBase::ProviderCounters().empty());
}

TEST(ProviderNameOfClass, ShortNames) {
  EXPECT_EQ(IWZelkAuthBase::ProviderNameOfClass("TZIWGAuthClient"), "Google");
  EXPECT_EQ(IWZelkAuthBase::ProviderNameOfClass("TZIWWindowsLiveAuthClient"), "WindowsLive");
  EXPECT_EQ(IWZelkAuthBase::ProviderNameOfClass("TZIWPayPalClient"), "PayPal");
  EXPECT_EQ(IWZelkAuthBase::ProviderNameOfClass("TOther"), "TOther");
}

TEST(AccessLogLine, CombinedFormatWithTheQueryRedacted) {
  web::TAccessLogEntry E;
  E.RemoteAddress = "127.0.0.1";
  // 2026-02-03 04:05:06 UTC
  E.Time = std::chrono::system_clock::time_point(std::chrono::seconds(1770091506));
  E.Method = "GET";
  E.Target = "/app/?state=S1&code=4/abc&scope=email";
  E.Version = "HTTP/1.1";
  E.Status = 303;
  E.Bytes = 0;
  E.Referer = "https://accounts.example/consent?access_token=t";
  E.UserAgent = "Agent \"quoted\"\x01";
  EXPECT_EQ(web::FormatAccessLogLine(E),
            "127.0.0.1 - - [03/Feb/2026:04:05:06 +0000] "
            "\"GET /app/?state=[redacted]&code=[redacted]&scope=email HTTP/1.1\" 303 - "
            "\"https://accounts.example/consent?access_token=[redacted]\" "
            "\"Agent \\\"quoted\\\"\\x01\"");
  E.Target = "/x\"y\n";
  E.Bytes = 1234;
  E.Referer.clear();
  E.UserAgent.clear();
  EXPECT_EQ(web::FormatAccessLogLine(E),
            "127.0.0.1 - - [03/Feb/2026:04:05:06 +0000] \"GET /x\\\"y\\x0A HTTP/1.1\" 303 1234 "
            "\"-\" \"-\"");
}

TEST(AccessLogFile, AnUnwritablePathIsRefusedWithItsName) {
  try {
    web::TAccessLog Log("/nonexistent-dir/access.log");
    FAIL() << "opened";
  } catch (const rtl::Exception& X) {
    EXPECT_NE(X.Message().find("/nonexistent-dir/access.log"), std::string::npos) << X.Message();
  }
}

}  // namespace
}  // namespace zelk
