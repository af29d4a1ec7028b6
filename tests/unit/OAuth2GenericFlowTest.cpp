// The generic OAuth 2.0 flow run with a description of a provider of the test's own: the three
// ways of client authentication at the token endpoint byte for byte, and the outcome of every
// kind of return (forged state, refusal, provider errors, malformed token, transport failure).
#include <gtest/gtest.h>

#include <string>

#include "core/OAuth2Client.h"
#include "support/FakeApplication.h"
#include "support/RecordingTransport.h"

namespace zelk::IWZelkAuthBase {
namespace {

constexpr TProviderHostSetting kLogin{"example.login", "login.example.test"};
constexpr TProviderHostSetting kApi{"example.api", "api.example.test"};
constexpr TProviderHost phExampleLogin{&kLogin};
constexpr TProviderHost phExampleApi{&kApi};

class TExampleClient : public TZIWOAuth2Client {
 public:
  TExampleClient(rtl::TComponent* Owner, TClientAuthentication Authentication)
      : TZIWOAuth2Client(Owner), FDescription(Authentication, *this) {
    Describe(FDescription, FDescription);
  }
  ~TExampleClient() override { Detach(); }
  std::string ClassName() const override { return "TExampleClient"; }

 private:
  class TDescription final : public TOAuth2Description {
   public:
    TDescription(TClientAuthentication Authentication, TExampleClient& Client)
        : TOAuth2Description({.Provider = "Example",
                              .Authorize = {phExampleLogin, "/authorize"},
                              .Token = {phExampleLogin, "/token"},
                              .Profile = {phExampleApi, "/me"},
                              .Scope = "openid",
                              .ClientAuthentication = Authentication}),
          FClient(Client) {}
    bool MapProfile(const TJSONObject& Profile) const override {
      if (JSONString(Profile, "sub").empty()) return false;
      FClient.SetLoginID(JSONString(Profile, "sub"));
      return true;
    }

   private:
    TExampleClient& FClient;
  };
  TDescription FDescription;
};

const std::string kReturn = "http%3A%2F%2Flocalhost%2Fapp%2F";

// The value of Name in an encoded query.
std::string QueryValue(const std::string& Query, const std::string& Name) {
  const auto At = Query.find(Name + "=");
  if (At == std::string::npos) return {};
  const auto Start = At + Name.size() + 1;
  return Query.substr(Start, Query.find('&', Start) - Start);
}

class OAuth2GenericFlow : public ::testing::Test {
 protected:
  void Make(TClientAuthentication Authentication) {
    Client = new TExampleClient(&Owner, Authentication);
    Client->SetServerController(Controller);
    Client->App()->SetID("id:1");
    Client->App()->SetSecret("s&c");
  }
  // Logs in; gives the state the authorization address carries.
  std::string Login() {
    Client->Login(App.get());
    return QueryValue(App->RedirectURL(), "state");
  }
  TFlowOutcome Return(const std::string& Query) {
    return Client->HandleReturn(testing::RequestWithQuery(Query));
  }

  testing::RecordingTransport T;
  rtl::TComponent Owner{nullptr};
  TZIWAuthServerController* Controller = new TZIWAuthServerController(&Owner);
  TExampleClient* Client = nullptr;
  std::unique_ptr<web::TIWApplication> App = testing::MakeApplication("http://localhost/app");
};

TEST_F(OAuth2GenericFlow, EachClientAuthenticationSendsItsTokenRequest) {
  const struct {
    TClientAuthentication Authentication;
    const char* Method;
    std::string PathBeforeVerifier;
    std::string DataBeforeVerifier;
    std::vector<std::string> HeaderLines;
  } Cases[] = {
      {TClientAuthentication::caFormFields,
       "POST",
       "/token",
       "code=c0de&client_id=id%3A1&client_secret=s%26c&redirect_uri=" + kReturn +
           "&grant_type=authorization_code&code_verifier=",
       {"Content-Type: application/x-www-form-urlencoded", "Accept: application/json"}},
      {TClientAuthentication::caQuery,
       "GET",
       "/token?code=c0de&client_id=id%3A1&client_secret=s%26c&redirect_uri=" + kReturn +
           "&grant_type=authorization_code&code_verifier=",
       "",
       {"Accept: application/json"}},
      {TClientAuthentication::caBasic,
       "POST",
       "/token",
       "code=c0de&redirect_uri=" + kReturn + "&grant_type=authorization_code&code_verifier=",
       {"Content-Type: application/x-www-form-urlencoded", "Accept: application/json",
        "Authorization: Basic aWQlM0ExOnMlMjZj"}},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Method + C.PathBeforeVerifier);
    T.Clear();
    Make(C.Authentication);
    const std::string State = Login();
    const std::string Challenge = QueryValue(App->RedirectURL(), "code_challenge");
    EXPECT_EQ(App->RedirectURL(),
              "https://login.example.test/authorize?client_id=id%3A1&redirect_uri=" + kReturn +
                  "&response_type=code&scope=openid&state=" + State +
                  "&code_challenge=" + Challenge + "&code_challenge_method=S256");
    T.Reply(R"({"access_token":"tok"})");
    T.Reply(R"({"sub":"u-7"})");
    EXPECT_TRUE(Return("state=" + State + "&code=c0de").Succeeded());
    ASSERT_EQ(T.Count(), 2u);
    const TTransportRequest Token = T.At(0);
    EXPECT_EQ(Token.Method, C.Method);
    EXPECT_EQ(Token.Host, "login.example.test");
    EXPECT_TRUE(Token.Http11);
    EXPECT_EQ(Token.HeaderLines, C.HeaderLines);
    // The verifier goes last; it is the one whose challenge the authorization address carried.
    const std::string& Carrier = C.DataBeforeVerifier.empty() ? Token.Path : Token.Data;
    const std::string& Before =
        C.DataBeforeVerifier.empty() ? C.PathBeforeVerifier : C.DataBeforeVerifier;
    ASSERT_TRUE(Carrier.starts_with(Before)) << Carrier;
    EXPECT_EQ(CodeChallenge(Carrier.substr(Before.size())), Challenge);
    if (!C.DataBeforeVerifier.empty()) {
      EXPECT_EQ(Token.Path, C.PathBeforeVerifier);
    }
    const TTransportRequest Profile = T.At(1);
    EXPECT_EQ(Profile.Method, "GET");
    EXPECT_EQ(Profile.Host, "api.example.test");
    EXPECT_EQ(Profile.Path, "/me");
    EXPECT_EQ(Profile.HeaderLines,
              (std::vector<std::string>{"Authorization: Bearer tok", "Accept: application/json"}));
    EXPECT_EQ(Client->LoginID(), "u-7");
    EXPECT_EQ(Client->LoginError(), "");
  }
}

// Every kind of return reaches its outcome with its reason; the flow is then spent, so the same
// return again belongs to no sign-in.
TEST_F(OAuth2GenericFlow, EveryReturnReachesItsOutcome) {
  using K = TFlowOutcome::TKind;
  const struct {
    std::string Query;  // "<state>" stands for the flow's state
    std::vector<std::string> Replies;
    K Kind;
    std::string Reason;
    std::size_t Calls;
  } Cases[] = {
      {"state=forged&code=c",
       {},
       K::Failed,
       "The provider's return does not belong to the sign-in in progress",
       0},
      {"state=<state>&error=access_denied&error_description=The%20user%20said%20no",
       {},
       K::Denied,
       "The user said no",
       0},
      {"state=<state>", {}, K::Failed, "The provider's return carries no authorization code", 0},
      {"state=<state>&code=c",
       {R"({"error":"invalid_grant","error_description":"Code used"})"},
       K::Failed,
       "Code used",
       1},
      {"state=<state>&code=c",
       {R"({"access_token":"a b"})"},
       K::Failed,
       "The provider's token reply carries a malformed access token",
       1},
      {"state=<state>&code=c",
       {R"({"token_type":"Bearer"})"},
       K::Failed,
       "The provider's token reply carries no access token",
       1},
      {"state=<state>&code=c",
       {R"({"access_token":"t"})", R"({"error":{"message":"Expired"}})"},
       K::Failed,
       "Expired",
       2},
      {"state=<state>&code=c",
       {R"({"access_token":"t"})", R"({"name":"No Id"})"},
       K::Failed,
       "The provider's profile reply does not identify a user",
       2},
  };
  Make(TClientAuthentication::caFormFields);
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Query);
    T.Clear();
    const std::string State = Login();
    std::string Query = C.Query;
    if (const auto At = Query.find("<state>"); At != std::string::npos) Query.replace(At, 7, State);
    for (const std::string& R : C.Replies)
      T.Reply(R);
    const TFlowOutcome O = Return(Query);
    EXPECT_EQ(O.Kind, C.Kind);
    EXPECT_EQ(O.Reason, C.Reason);
    EXPECT_EQ(Client->LoginError(), C.Reason);
    EXPECT_EQ(T.Count(), C.Calls);
    // Spent: the same return again belongs to no sign-in, and nothing is sent.
    EXPECT_EQ(Return("state=" + State + "&code=c").Reason,
              "The provider's return does not belong to the sign-in in progress");
    EXPECT_EQ(T.Count(), C.Calls);
  }
}

// A transport failure raises and leaves the flow as it was: the return can be handled again.
TEST_F(OAuth2GenericFlow, TransportFailureKeepsTheFlow) {
  Make(TClientAuthentication::caFormFields);
  const std::string State = Login();
  T.Fail("HttpSendRequest Error 7 Description Couldn't connect to server");
  EXPECT_THROW(Return("state=" + State + "&code=c"), rtl::Exception);
  EXPECT_EQ(Client->LoginResult(), resNone);
  T.Reply(R"({"access_token":"t"})");
  T.Reply(R"({"sub":"u-1"})");
  EXPECT_TRUE(Return("state=" + State + "&code=c").Succeeded());
  EXPECT_EQ(T.Count(), 3u);
}

}  // namespace
}  // namespace zelk::IWZelkAuthBase
