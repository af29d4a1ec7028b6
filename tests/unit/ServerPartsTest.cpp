// The pieces of the HTTP server that need no socket: the application URL from a request (Host
// ports, public base URL, trusted and untrusted forwarded headers), configuration checks, the
// session list (ids, idle times, eviction), tracing a provider's return to its session, and the
// error page.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/IWZelkAuthBase.h"
#include "platform/web/server/ApplicationURL.h"
#include "platform/web/server/ErrorPage.h"
#include "platform/web/server/FlowOwner.h"
#include "platform/web/server/Sessions.h"

namespace zelk::web {
namespace {

using namespace std::chrono_literals;

TEST(HostHeader, AcceptsNamesAddressesAndPortsOnly) {
  for (const char* Good : {"localhost", "localhost:8080", "127.0.0.1:1", "[::1]", "[::1]:443",
                           "shop.example", "a_b-c.example:65535", "[::ffff:10.0.0.1]:80"})
    EXPECT_TRUE(IsValidHostHeader(Good)) << Good;
  for (const char* Bad : {"", "evil.example/path", "user@host", "host:", "host:123456", "host:8x",
                          "a b", "host\r\nX: y", "[::1", "[zz]", "[::1]x", "[::1]:", ":80"})
    EXPECT_FALSE(IsValidHostHeader(Bad)) << Bad;
  EXPECT_FALSE(IsValidHostHeader(std::string(256, 'a')));
}

TEST(SameIPAddress, MappedIPv4EqualsIPv4) {
  EXPECT_TRUE(SameIPAddress("127.0.0.1", "127.0.0.1"));
  EXPECT_TRUE(SameIPAddress("::ffff:10.0.0.1", "10.0.0.1"));
  EXPECT_TRUE(SameIPAddress("::1", "0:0:0:0:0:0:0:1"));
  EXPECT_FALSE(SameIPAddress("127.0.0.1", "127.0.0.2"));
  EXPECT_FALSE(SameIPAddress("localhost", "localhost"));
  EXPECT_FALSE(SameIPAddress("", ""));
}

TEST(ApplicationPath, NormalisedOrRefused) {
  EXPECT_EQ(NormalizeApplicationPath(""), "");
  EXPECT_EQ(NormalizeApplicationPath("/"), "");
  EXPECT_EQ(NormalizeApplicationPath("app/"), "/app");
  EXPECT_EQ(NormalizeApplicationPath("/shop/app//"), "/shop/app");
  for (const char* Bad : {"/a?b", "/a#b", "/a b", "/a//b", "/a\nb"})
    EXPECT_THROW(NormalizeApplicationPath(Bad), rtl::Exception) << Bad;
}

TEST(PublicBaseURL, NormalisedOrRefusedWithTheReason) {
  EXPECT_EQ(NormalizePublicBaseURL("https://shop.example/app/"), "https://shop.example/app");
  EXPECT_EQ(NormalizePublicBaseURL("http://127.0.0.1:8080"), "http://127.0.0.1:8080");
  const auto Message = [](const char* URL) {
    try {
      NormalizePublicBaseURL(URL);
    } catch (const rtl::Exception& E) {
      return E.Message();
    }
    return std::string("accepted");
  };
  EXPECT_EQ(Message("ftp://x/"),
            "Invalid public base URL \"ftp://x/\": it must start with http:// or https://");
  EXPECT_EQ(Message("https://user@shop/"),
            "Invalid public base URL \"https://user@shop/\": the host is missing or malformed");
  EXPECT_EQ(Message("https:///app"),
            "Invalid public base URL \"https:///app\": the host is missing or malformed");
  EXPECT_EQ(Message("https://shop/app?x=1"),
            "Invalid public base URL \"https://shop/app?x=1\": it may not carry a query, a "
            "fragment or blanks");
}

THttpRequest Request(std::vector<std::pair<std::string, std::string>> Headers,
                     std::string Remote = "10.0.0.5") {
  THttpRequest R = THttpRequest::FromTarget("/app/");
  for (auto& [N, V] : Headers)
    R.AddHeader(N, V);
  R.SetRemoteAddress(std::move(Remote));
  return R;
}

TEST(ApplicationURL, FromTheRequestTheBrowserMade) {
  TApplicationURLRules Rules;
  Rules.ApplicationPath = "/app";
  Rules.TrustedProxies = {"10.0.0.1"};
  struct TCase {
    const char* Name;
    THttpRequest R;
    std::optional<std::string> URL;
  };
  const std::vector<TCase> Cases = {
      {"host with port", Request({{"Host", "127.0.0.1:8080"}}), "http://127.0.0.1:8080/app"},
      {"host without port", Request({{"Host", "shop.example"}}), "http://shop.example/app"},
      {"ipv6 host", Request({{"Host", "[::1]:9000"}}), "http://[::1]:9000/app"},
      {"no host header", Request({}), "http://127.0.0.1:4444/app"},
      {"malformed host", Request({{"Host", "evil.example/x"}}), std::nullopt},
      {"untrusted forwarded",
       Request({{"Host", "127.0.0.1:8080"},
                {"X-Forwarded-Proto", "https"},
                {"X-Forwarded-Host", "evil.example"}}),
       "http://127.0.0.1:8080/app"},
      {"trusted forwarded",
       Request({{"Host", "127.0.0.1:8080"},
                {"X-Forwarded-Proto", "HTTPS, http"},
                {"X-Forwarded-Host", "shop.example:8443, inner"}},
               "10.0.0.1"),
       "https://shop.example:8443/app"},
      {"trusted, mapped address",
       Request({{"Host", "h:1"}, {"X-Forwarded-Proto", "https"}}, "::ffff:10.0.0.1"),
       "https://h:1/app"},
      {"trusted, unknown scheme ignored",
       Request({{"Host", "h:1"}, {"X-Forwarded-Proto", "gopher"}}, "10.0.0.1"), "http://h:1/app"},
      {"trusted, malformed forwarded host",
       Request({{"Host", "h:1"}, {"X-Forwarded-Host", "a b"}}, "10.0.0.1"), std::nullopt},
  };
  for (const auto& C : Cases)
    EXPECT_EQ(Rules.ApplicationURL(C.R, "127.0.0.1:4444"), C.URL) << C.Name;

  Rules.TLS = true;
  EXPECT_EQ(Rules.ApplicationURL(Request({{"Host", "h:1"}}), ""), "https://h:1/app");
  EXPECT_EQ(Rules.CookiePath(), "/app");
  Rules.PublicBaseURL = "https://shop.example/store";
  EXPECT_EQ(Rules.ApplicationURL(Request({{"Host", "bad host"}}, "10.0.0.1"), "127.0.0.1:1"),
            "https://shop.example/store");
  EXPECT_EQ(Rules.CookiePath(), "/store");
  Rules.PublicBaseURL = "https://shop.example";
  EXPECT_EQ(Rules.CookiePath(), "/");
}

TEST(SessionID, RandomHexOfTheRightShape) {
  std::set<std::string> Seen;
  for (int I = 0; I < 200; ++I) {
    const std::string ID = NewSessionID();
    EXPECT_TRUE(IsSessionIDShape(ID)) << ID;
    EXPECT_TRUE(Seen.insert(ID).second);
  }
  EXPECT_FALSE(IsSessionIDShape(std::string(63, 'a')));
  EXPECT_FALSE(IsSessionIDShape(std::string(64, 'A')));
  EXPECT_FALSE(IsSessionIDShape(std::string(63, 'a') + "g"));
}

struct SessionListTest : ::testing::Test {
  TIWSessionList List;
  const TSessionClock::time_point T0 = TSessionClock::now();

  TIWSessionPtr Make() {
    auto S = std::make_shared<TIWSession>(NewSessionID());
    S->Application = std::make_unique<TIWApplication>(nullptr, "http://h/app", S->ID());
    return S;
  }
  // Adds a session and ends its first request at When.
  TIWSessionPtr AddIdle(TSessionClock::time_point When, std::size_t Max = 100) {
    auto S = Make();
    TIWSessionPtr Evicted;
    EXPECT_EQ(List.Add(S, Max, When, Evicted), TIWSessionList::arAdded);
    List.Release(S, When);
    return S;
  }
};

TEST_F(SessionListTest, AcquireByIDAndApplication) {
  auto S = AddIdle(T0);
  EXPECT_EQ(List.Acquire(S->ID(), false), S);
  EXPECT_EQ(List.AcquireByApplication(S->Application.get()), S);
  EXPECT_EQ(List.Acquire(NewSessionID(), false), nullptr);
  EXPECT_EQ(List.AcquireByApplication(nullptr), nullptr);
  // In use twice now: it is not idle however old.
  EXPECT_TRUE(List.TakeIdle(T0 + 1h, 1s).empty());
  List.Release(S, T0);
  List.Release(S, T0);
  EXPECT_EQ(List.TakeIdle(T0 + 1h, 1s), std::vector<TIWSessionPtr>{S});
}

TEST_F(SessionListTest, IdleTimeCountsFromTheLastUse) {
  auto Old = AddIdle(T0);
  auto Recent = AddIdle(T0);
  List.Acquire(Recent->ID(), true);
  List.Release(Recent, T0 + 5s);
  EXPECT_TRUE(List.TakeIdle(T0 + 9s, 10s).empty());
  EXPECT_EQ(List.TakeIdle(T0 + 10s, 10s), std::vector<TIWSessionPtr>{Old});
  EXPECT_EQ(List.Count(), 1u);
  EXPECT_FALSE(List.Listed(Old));
  EXPECT_TRUE(List.Listed(Recent));
  EXPECT_EQ(List.Acquire(Old->ID(), false), nullptr);
  // Until its application is forgotten, a session being freed is still traced from it.
  EXPECT_EQ(List.AcquireByApplication(Old->Application.get()), Old);
  List.ForgetApplication(Old);
  EXPECT_EQ(List.AcquireByApplication(Old->Application.get()), nullptr);
}

TEST_F(SessionListTest, FullListEvictsAnonymousSessionsUnconfirmedFirstNeverEstablishedOnes) {
  auto Confirmed = AddIdle(T0, 3);
  List.Acquire(Confirmed->ID(), true);
  List.Release(Confirmed, T0);
  auto Newer = AddIdle(T0 + 2s, 3);
  auto Older = AddIdle(T0 + 1s, 3);

  auto S = Make();
  TIWSessionPtr Evicted;
  EXPECT_EQ(List.Add(S, 3, T0 + 3s, Evicted), TIWSessionList::arAdded);
  EXPECT_EQ(Evicted, Older);
  EXPECT_FALSE(List.Listed(Older));
  EXPECT_EQ(List.Acquire(Older->ID(), false), nullptr);
  EXPECT_EQ(List.Count(), 3u);

  // The new session is in use and the other unconfirmed one is evicted next; then the
  // confirmed one, which is still anonymous (no flow of it succeeded).
  EXPECT_EQ(List.Add(Make(), 3, T0 + 4s, Evicted), TIWSessionList::arAdded);
  EXPECT_EQ(Evicted, Newer);
  auto Busy = Make();
  EXPECT_EQ(List.Add(Busy, 3, T0 + 5s, Evicted), TIWSessionList::arAdded);
  EXPECT_EQ(Evicted, Confirmed);
  EXPECT_FALSE(List.Listed(Confirmed));
  // Established sessions are never evicted, idle as they may be: only busy or established
  // sessions remain and the list refuses.
  List.Establish(S);
  List.Release(S, T0 + 6s);
  EXPECT_EQ(List.Add(Make(), 3, T0 + 7s, Evicted), TIWSessionList::arFull);
  EXPECT_EQ(Evicted, nullptr);
  EXPECT_EQ(List.Count(), 3u);
  EXPECT_EQ(List.Acquire(S->ID(), false), S);
}

TEST_F(SessionListTest, RenameMakesTheOldIDNameNothing) {
  auto S = AddIdle(T0);
  const std::string Old = S->ID();
  const std::string New = NewSessionID();
  List.Rename(S, New);
  EXPECT_EQ(S->ID(), New);
  EXPECT_EQ(List.Acquire(Old, false), nullptr);
  EXPECT_EQ(List.Acquire(New, false), S);
  List.Release(S, T0);
  EXPECT_EQ(List.Count(), 1u);
  EXPECT_EQ(List.TakeIdle(T0 + 1h, 1s), std::vector<TIWSessionPtr>{S});
  // A session taken out is not entered again by a late rename.
  List.Rename(S, NewSessionID());
  EXPECT_EQ(List.Count(), 0u);
}

TEST(FormToken, IssuedOncePerSessionAndCheckedExactly) {
  TIWApplication App(nullptr, "http://h/app");
  TIWApplication Other(nullptr, "http://h/app");
  const auto Post = [](const std::string& Body) {
    THttpRequest R = THttpRequest::FromTarget("/app/pay", "POST");
    R.SetBody(Body, "application/x-www-form-urlencoded");
    return R;
  };
  // Before a token is issued nothing passes, not even an empty field.
  EXPECT_FALSE(App.CheckFormToken(Post("zelk_form_token=")));
  const std::string Token = App.FormToken();
  EXPECT_TRUE(IsSessionIDShape(Token)) << Token;
  EXPECT_EQ(App.FormToken(), Token);
  EXPECT_NE(Other.FormToken(), Token);
  EXPECT_TRUE(App.CheckFormToken(Post("a=1&zelk_form_token=" + Token)));
  // Only the body counts: a token in the address would end up in logs and histories.
  EXPECT_FALSE(App.CheckFormToken(THttpRequest::FromTarget("/app/x?zelk_form_token=" + Token)));
  THttpRequest Both = THttpRequest::FromTarget("/app/x?zelk_form_token=" + Token, "POST");
  Both.SetBody("a=1", "application/x-www-form-urlencoded");
  EXPECT_FALSE(App.CheckFormToken(Both));
  for (const std::string& Body : std::vector<std::string>{
           "", "zelk_form_token=", "zelk_form_token=" + Token.substr(1),
           "zelk_form_token=" + Token + "0", "zelk_form_token=" + Other.FormToken(),
           "zelk_form_token=" + std::string(64, 'a'), "other=" + Token})
    EXPECT_FALSE(App.CheckFormToken(Post(Body))) << Body;
}

// The eviction order follows every use: a session in use is skipped, and one used again
// counts from its new last use; a session taken out is never chosen.
TEST_F(SessionListTest, EvictionOrderFollowsEachUse) {
  auto A = AddIdle(T0 + 1s, 3);
  auto B = AddIdle(T0 + 2s, 3);
  auto C = AddIdle(T0 + 3s, 3);
  EXPECT_EQ(List.AcquireByApplication(A->Application.get()), A);  // busy: not evictable
  TIWSessionPtr Evicted;
  EXPECT_EQ(List.Add(Make(), 3, T0 + 4s, Evicted), TIWSessionList::arAdded);
  EXPECT_EQ(Evicted, B);
  List.Release(A, T0 + 9s);  // idle again, now the most recently used
  auto D = List.TakeIdle(T0 + 3s + 10s, 10s);
  EXPECT_EQ(D, std::vector<TIWSessionPtr>{C});
  EXPECT_EQ(List.Add(Make(), 2, T0 + 10s, Evicted), TIWSessionList::arAdded);
  EXPECT_EQ(Evicted, A);
  EXPECT_EQ(List.Count(), 2u);
}

TEST_F(SessionListTest, TakeAllEmptiesTheList) {
  AddIdle(T0);
  AddIdle(T0);
  EXPECT_EQ(List.TakeAll().size(), 2u);
  EXPECT_EQ(List.Count(), 0u);
}

// A client that only takes part in routing.
class TFlowClient : public IWZelkAuthBase::TZIWCustomCloudClient {
 public:
  using TZIWCustomCloudClient::NewFlowIdentifier;
  using TZIWCustomCloudClient::TZIWCustomCloudClient;
  ~TFlowClient() override { Detach(); }
};

TEST_F(SessionListTest, AProvidersReturnIsTracedToTheSessionThatOwnsItsClient) {
  TIWServerControllerBase Controller(nullptr);
  auto* Holder = new rtl::TComponent(&Controller);
  auto* Auth = new IWZelkAuthBase::TZIWAuthServerController(Holder);  // found at any depth
  auto S = AddIdle(T0);
  auto* Form = new rtl::TComponent(S->Application.get());
  auto* InSession = new TFlowClient(Form);
  InSession->SetServerController(Auth);
  const std::string SessionFlow = InSession->NewFlowIdentifier();
  auto* Shared = new TFlowClient(&Controller);
  Shared->SetServerController(Auth);
  const std::string SharedFlow = Shared->NewFlowIdentifier();

  const auto Trace = [&](const std::string& Query) {
    TIWSessionPtr Found =
        AcquireFlowSession(Controller, THttpRequest::FromTarget("/app/?" + Query), List);
    if (Found) List.Release(Found, T0);
    return Found;
  };
  EXPECT_EQ(Trace("state=" + SessionFlow), S);
  EXPECT_EQ(Trace("clientid=" + SessionFlow), S);
  EXPECT_EQ(Trace("state=&clientid=" + SessionFlow), S);
  EXPECT_EQ(Trace("state=nomatch&clientid=" + SessionFlow), nullptr);  // "state" wins
  EXPECT_EQ(Trace("state=" + SharedFlow), nullptr);                    // shared between sessions
  EXPECT_EQ(Trace("code=x"), nullptr);
  EXPECT_EQ(Trace("state=" + NewSessionID()), nullptr);
  delete InSession;  // leaves the registry
  EXPECT_EQ(Trace("state=" + SessionFlow), nullptr);
}

TEST(ErrorPage, EscapesWhatItEchoes) {
  const THttpResponse P =
      ErrorPage(404, "There is no page at /app/<script>alert(1)</script>.", "/app/\"x");
  EXPECT_EQ(P.StatusCode(), 404);
  EXPECT_EQ(P.Header("Cache-Control"), "no-store");
  EXPECT_EQ(P.Body(),
            "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>404 Not "
            "Found</title></head>\n<body><h1>404 Not Found</h1>\n<p>There is no page at "
            "/app/&lt;script&gt;alert(1)&lt;/script&gt;.</p>\n<p><a href=\"/app/&quot;x\">Start "
            "again</a></p>\n</body></html>\n");
  EXPECT_EQ(ErrorPage(599, "x").Body().find("<a "), std::string::npos);
  EXPECT_NE(ErrorPage(599, "x").Body().find("599 Error"), std::string::npos);
}

}  // namespace
}  // namespace zelk::web
