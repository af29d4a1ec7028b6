// The server's access log: a line per answered request, in the combined log format, with the
// query's secrets and flow identifiers redacted; none when the option is empty.
#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "platform/rtl/SysUtils.h"
#include "platform/web/server/IWServer.h"

namespace zelk::web {
namespace {

std::string ReadFile(const std::filesystem::path& Path) {
  std::ifstream In(Path, std::ios::binary);
  std::ostringstream S;
  S << In.rdbuf();
  return S.str();
}

class AccessLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Path = std::filesystem::path(::testing::TempDir()) /
           ("zelk-access-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log");
    std::filesystem::remove(Path);
  }
  void TearDown() override { std::filesystem::remove(Path); }

  // Serves GET /page on a free port with Options; sends the requests (with Referer), stops.
  void Serve(TIWServerOptions Options, const std::vector<std::string>& Targets,
             const std::string& Referer = "https://idp.example/consent?code=refcode") {
    TIWServerControllerBase Controller(nullptr);
    Options.Port = 0;
    TIWServer Server(Controller, std::move(Options));
    Server.AddRoute("GET", "/page", [](TIWApplication&, const THttpRequest&, THttpResponse& Out) {
      Out.SetContent("hello", "text/plain");
    });
    Server.Start();
    httplib::Client C("127.0.0.1", Server.Port());
    C.set_url_encode(false);
    for (const std::string& Target : Targets) {
      auto R = C.Get(Target, {{"User-Agent", "Probe/1.0"}, {"Referer", Referer}});
      ASSERT_TRUE(R) << Target;
    }
    Server.Stop();
  }

  std::filesystem::path Path;
};

TEST_F(AccessLogTest, OneCombinedLinePerRequestWithTheQueryRedacted) {
  TIWServerOptions O;
  O.AccessLog = Path.string();
  Serve(O, {"/page?state=FLOW1&code=c0de-secret&scope=email", "/missing"});
  const std::string Text = ReadFile(Path);
  std::istringstream Lines(Text);
  std::vector<std::string> All;
  for (std::string L; std::getline(Lines, L);)
    All.push_back(L);
  ASSERT_EQ(All.size(), 2u) << Text;
  const std::regex Line(
      R"re(^127\.0\.0\.1 - - \[\d\d/[A-Z][a-z]{2}/\d{4}:\d\d:\d\d:\d\d \+0000\] "GET (\S+) HTTP/1\.1" (\d{3}) (\d+|-) "([^"]*)" "Probe/1\.0"$)re");
  std::smatch M;
  ASSERT_TRUE(std::regex_match(All[0], M, Line)) << All[0];
  EXPECT_EQ(M[1], "/page?state=[redacted]&code=[redacted]&scope=email");
  EXPECT_EQ(M[2], "200");
  EXPECT_EQ(M[3], "5");
  EXPECT_EQ(M[4], "https://idp.example/consent?code=[redacted]");
  ASSERT_TRUE(std::regex_match(All[1], M, Line)) << All[1];
  EXPECT_EQ(M[1], "/missing");
  EXPECT_EQ(M[2], "404");
  EXPECT_EQ(Text.find("FLOW1"), std::string::npos);
  EXPECT_EQ(Text.find("c0de-secret"), std::string::npos);
  EXPECT_EQ(Text.find("refcode"), std::string::npos);
}

// The server reads a query's names percent-decoded, so an attacker's (or a provider's) encoded
// spelling of a secret's name is the same name: it is redacted as such, and the line keeps the
// spelling that was sent. A GET form's token is redacted too.
TEST_F(AccessLogTest, EncodedNamesAndTheFormTokenAreRedactedInTheirOwnSpelling) {
  TIWServerOptions O;
  O.AccessLog = Path.string();
  Serve(O,
        {"/page?st%61te=FLOW2&c%6Fde=enc-secret&C%4FDE=upper-secret&%63lient%5Fsecret=cs-secret"
         "&zelk_form_token=ft-secret&z%65lk_form_token=ft2-secret&sc%6Fpe=email&barc%6Fde=5"
         "&zelk_handoff=ho-secret"},
        "https://idp.example/cb?access%5Ftoken=ref-secret&CLIENT%49D=ref-flow");
  const std::string Text = ReadFile(Path);
  EXPECT_NE(Text.find("\"GET /page?st%61te=[redacted]&c%6Fde=[redacted]&C%4FDE=[redacted]"
                      "&%63lient%5Fsecret=[redacted]&zelk_form_token=[redacted]"
                      "&z%65lk_form_token=[redacted]&sc%6Fpe=email&barc%6Fde=5"
                      "&zelk_handoff=[redacted] HTTP/1.1\""),
            std::string::npos)
      << Text;
  EXPECT_NE(Text.find("\"https://idp.example/cb?access%5Ftoken=[redacted]&CLIENT%49D=[redacted]\""),
            std::string::npos)
      << Text;
  for (const char* Secret : {"FLOW2", "enc-secret", "upper-secret", "cs-secret", "ft-secret",
                             "ft2-secret", "ref-secret", "ref-flow", "ho-secret"})
    EXPECT_EQ(Text.find(Secret), std::string::npos) << Secret << " in " << Text;
}

TEST_F(AccessLogTest, OffByDefaultAndAnUnopenableFileFailsStart) {
  Serve({}, {"/page"});
  EXPECT_FALSE(std::filesystem::exists(Path));

  TIWServerControllerBase Controller(nullptr);
  TIWServerOptions O;
  O.Port = 0;
  O.AccessLog = (Path / "no-such-dir" / "x.log").string();
  TIWServer Server(Controller, O);
  try {
    Server.Start();
    FAIL() << "started";
  } catch (const rtl::Exception& X) {
    EXPECT_NE(X.Message().find("access log"), std::string::npos) << X.Message();
    EXPECT_NE(X.Message().find("no-such-dir"), std::string::npos) << X.Message();
  }
}

}  // namespace
}  // namespace zelk::web
