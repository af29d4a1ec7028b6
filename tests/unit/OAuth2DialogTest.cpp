// The simulator's shared OAuth 2.0 dialog, driven the way a browser drives it: the authorize
// page's checks in their order, the consent form's one-time ticket, and how a provider's rules
// shape the answer (parameter order, refusals sent back to the application, the return
// address's suffix).
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "sim/OAuth2Dialog.h"

namespace zelk::sim {
namespace {

constexpr const char* kReturn = "https://app.test/cb";

TSimRequest Get(const std::string& Path, const std::string& Query) {
  TSimRequest R;
  R.Method = "GET";
  R.Path = Path;
  R.Target = Path + "?" + Query;
  R.Query = DecodeForm(Query);
  return R;
}

TSimRequest Post(const std::string& Path, const std::string& Body) {
  TSimRequest R;
  R.Method = "POST";
  R.Path = R.Target = Path;
  R.Headers = {{"Content-Type", "application/x-www-form-urlencoded"}};
  R.Body = Body;
  return R;
}

std::string Location(const TSimResponse& R) {
  for (const auto& [Name, Value] : R.Headers)
    if (Name == "Location") return Value;
  return {};
}

// Every refusal names its check, so a test sees which check refused.
TAuthorizeRules Rules() {
  TAuthorizeRules Rules;
  Rules.Provider = "Test";
  Rules.RequireClientId = true;
  Rules.RequireReturn = true;
  Rules.CheckPath = [](const TSimRequest& R) -> std::optional<TRefusal> {
    if (R.Query.IndexOfName("bad_path") >= 0) return TRefusal{"path", "bad path"};
    return std::nullopt;
  };
  Rules.RefuseClient = [](TAuthorizeCheck Check, const TSimRequest&) {
    const char* Names[] = {"missing client", "unknown client", "missing return", "unregistered"};
    return TRefusal{Names[static_cast<int>(Check)], "refused", 401};
  };
  Rules.CheckRequest = [](const TSimRequest& R,
                          TAuthorizationRequest& Request) -> std::optional<TRefusal> {
    if (R.Query.Values("response_type") != "code") return TRefusal{"response_type", "refused"};
    Request.Scopes.push_back("always");
    return std::nullopt;
  };
  Rules.DescribeScope = [](const std::string& S) {
    return S == "unknown" ? std::string() : "may " + S;
  };
  Rules.UnknownScope = [](const std::string& S) { return TRefusal{"scope " + S, "refused"}; };
  return Rules;
}

struct OAuth2DialogTest : ::testing::Test {
  void SetUp() override {
    Grants.AddApp({"app", "secret", {kReturn}});
    TSimUser User;
    User.Id = "u1";
    User.Name = "First User";
    Grants.SetUser(User);
    User.Id = "u2";
    User.Name = "Second User";
    Grants.AddUser(User);
  }
  // The ticket of the consent page a request opened.
  std::string Ticket(const TSimResponse& Page) {
    const std::string Key = "name=\"consent\" value=\"";
    const auto At = Page.Body.find(Key);
    if (At == std::string::npos) return {};
    const auto Start = At + Key.size();
    return Page.Body.substr(Start, Page.Body.find('"', Start) - Start);
  }
  TOAuth2Grants Grants;
};

// A request with every fault is refused by the first check; mending one fault at a time moves
// the refusal on to the next check, in the documented order.
TEST_F(OAuth2DialogTest, ChecksRunInTheirOrder) {
  const std::string Good =
      "client_id=app&redirect_uri=https%3A%2F%2Fapp.test%2Fcb&response_type=code";
  const std::pair<std::string, std::string> Cases[] = {
      {"bad_path&client_id=&redirect_uri=&scope=unknown", "path"},
      {"client_id=&redirect_uri=&scope=unknown", "missing client"},
      {"client_id=other&redirect_uri=&scope=unknown", "unknown client"},
      {"client_id=app&redirect_uri=&scope=unknown", "missing return"},
      {"client_id=app&redirect_uri=https%3A%2F%2Fevil.test%2Fcb&scope=unknown", "unregistered"},
      {"client_id=app&redirect_uri=https%3A%2F%2Fapp.test%2Fcb&scope=unknown", "response_type"},
      {Good + "&scope=read+unknown", "scope unknown"},
  };
  for (const auto& [Query, Refusal] : Cases) {
    const TSimResponse Page = AuthorizePage(Grants, Get("/auth", Query), Rules());
    EXPECT_NE(Page.Body.find(Refusal), std::string::npos) << Query;
    EXPECT_TRUE(Location(Page).empty()) << Query;
    EXPECT_TRUE(Ticket(Page).empty()) << Query;
  }
  const TSimResponse Unknown = AuthorizePage(Grants, Get("/auth", "client_id=x"), Rules());
  EXPECT_EQ(Unknown.Status, 401);  // the refusal's own status
  const TSimResponse Page = AuthorizePage(Grants, Get("/auth", Good + "&scope=read"), Rules());
  EXPECT_EQ(Page.Status, 200);
  EXPECT_NE(Page.Body.find("data-scope=\"always\">may always"), std::string::npos);
  EXPECT_NE(Page.Body.find("action=\"/auth\""), std::string::npos);  // its own path by default
  EXPECT_NE(Page.Body.find("Second User"), std::string::npos);
}

// Trusted return address: the request's faults go back to the application, with its state.
TEST_F(OAuth2DialogTest, RefusalsGoBackToTheApplicationWhenAsked) {
  TAuthorizeRules R = Rules();
  R.RefuseToApplication = true;
  const TSimResponse Back = AuthorizePage(
      Grants, Get("/auth", "client_id=app&redirect_uri=https%3A%2F%2Fapp.test%2Fcb&state=s%261"),
      R);
  EXPECT_EQ(Location(Back),
            std::string(kReturn) + "?error=response_type&error_description=refused&state=s%261");
  // Before the address is trusted, never.
  const TSimResponse Page =
      AuthorizePage(Grants, Get("/auth", "client_id=app&redirect_uri=https%3A%2F%2Fevil.test"), R);
  EXPECT_TRUE(Location(Page).empty());
}

// The answer's parameters in each provider's order; a ticket answers once.
TEST_F(OAuth2DialogTest, ConsentAnswersInTheProvidersOrderAndOnce) {
  struct TCase {
    bool StateFirst;
    std::string Suffix;
    std::string Decision;
    std::string Expected;
  };
  const TCase Cases[] = {
      {false, "", "allow", "?code=C1&state=s"},
      {true, "", "allow", "?state=s&code=C1"},
      {true, "", "deny", "?error=no&state=s"},
      {false, "#_=_", "deny", "?error=no&state=s#_=_"},
      {false, "", "anything", "?error=no&state=s"},
  };
  for (const auto& C : Cases) {
    const TSimResponse Page = AuthorizePage(
        Grants,
        Get("/auth",
            "client_id=app&redirect_uri=https%3A%2F%2Fapp.test%2Fcb&response_type=code&state=s"),
        Rules());
    const std::string T = Ticket(Page);
    ASSERT_FALSE(T.empty());
    TConsentRules Answer;
    Answer.Provider = "Test";
    Answer.UnknownTicket = {"stale", "refused"};
    Answer.UnknownAccount = {"who", "refused"};
    Answer.NewCode = [] { return std::string("C1"); };
    Answer.Denied = {{"error", "no"}};
    Answer.StateFirst = C.StateFirst;
    Answer.ReturnSuffix = C.Suffix;
    const std::string Body = "consent=" + T + "&decision=" + C.Decision;
    EXPECT_EQ(Location(AnswerConsent(Grants, Post("/consent", Body), Answer)), kReturn + C.Expected)
        << C.Decision;
    const TSimResponse Again = AnswerConsent(Grants, Post("/consent", Body), Answer);
    EXPECT_TRUE(Location(Again).empty());
    EXPECT_NE(Again.Body.find("stale"), std::string::npos);
  }
}

// The account the form names answers; one the browser is not signed in to is refused and the
// ticket is used up.
TEST_F(OAuth2DialogTest, ConsentForAnotherAccount) {
  TConsentRules Answer;
  Answer.UnknownTicket = {"stale", "refused"};
  Answer.UnknownAccount = {"who", "refused"};
  Answer.NewCode = [] { return std::string("C2"); };
  auto Open = [&] {
    return Ticket(AuthorizePage(
        Grants,
        Get("/auth", "client_id=app&redirect_uri=https%3A%2F%2Fapp.test%2Fcb&response_type=code"),
        Rules()));
  };
  const TSimResponse Who =
      AnswerConsent(Grants, Post("/c", "consent=" + Open() + "&decision=allow&user_id=u9"), Answer);
  EXPECT_NE(Who.Body.find("who"), std::string::npos);
  EXPECT_TRUE(Location(Who).empty());
  EXPECT_EQ(Grants.OutstandingCodes(), 0u);
  const TSimResponse Second =
      AnswerConsent(Grants, Post("/c", "consent=" + Open() + "&decision=allow&user_id=u2"), Answer);
  EXPECT_EQ(Location(Second), std::string(kReturn) + "?code=C2");
  TGrant Grant;
  ASSERT_EQ(Grants.RedeemCode("C2", "app", kReturn, Grant), TCodeRefusal::None);
  EXPECT_EQ(Grant.User.Id, "u2");
  EXPECT_EQ(Grant.Request.Scopes, std::vector<std::string>{"always"});
}

}  // namespace
}  // namespace zelk::sim
