// The web-framework server over real sockets: session cookies and their flags, session reuse
// and expiry, redirects, the application URL from Host ports, a public base URL and forwarded
// headers, per-session serialisation, the pre-dispatch hook, a provider's return routed through
// ProcessRequest (also arriving in another session or without one), URL session tracking,
// hostile requests, the session cap, stopping on a signal, and HTTPS.
#include <gtest/gtest.h>
#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "core/IWZelkAuthBase.h"
#include "core/Trace.h"
#include "platform/web/server/IWServer.h"
#include "support/LoopbackSocket.h"

namespace zelk::web {
namespace {

using namespace std::chrono_literals;
using IWZelkAuthBase::resOK;
using IWZelkAuthBase::TZIWAuthServerController;
using IWZelkAuthBase::TZIWCustomCloudClient;

// A client that sends the browser to a made-up provider and, on the return, takes "code" as
// the signed-in user's id ("error" makes it fail).
class TProbeClient : public TZIWCustomCloudClient {
 public:
  using TZIWCustomCloudClient::LoginID;
  using TZIWCustomCloudClient::TZIWCustomCloudClient;
  ~TProbeClient() override { Detach(); }

  void Login(TIWApplication* App) override {
    auto L = Lock();
    CheckServerController();
    const std::string Id = NewFlowIdentifier();
    App->GoToURL("https://provider.example/auth?redirect_uri=" +
                 IWZelkAuthBase::URLEncode(App->GetApplicationURL() + "/") + "&state=" + Id);
  }
  // An OAuth 1.0a-style flow: its return carries the request token Token and none of our
  // identifiers.
  void LoginByToken(TIWApplication* App, const std::string& Token) {
    auto L = Lock();
    NewFlowIdentifier();
    RegisterFlowToken(Token);
    App->GoToURL("https://provider.example/authorize?oauth_token=" + Token);
  }
  void LoginResponse(const THttpRequest& Request) override {
    auto L = Lock();
    ++Responses;
    SetLoginResult(Request.Query("error").empty() ? resOK : IWZelkAuthBase::resFailed);
    SetLoginID(Request.Query("code"));
    ReachOutcome();
    TZIWCustomCloudClient::LoginResponse(Request);
  }
  std::atomic<int> Responses{0};
};

TProbeClient* Probe(TIWApplication& App) {
  return dynamic_cast<TProbeClient*>(App.FindComponent("Probe"));
}

using zelk::testing::TLoopbackSocket;

// Sends raw bytes and reads one answer (up to the end of its body, or until the server closes
// the connection).
std::string RawExchange(int Port, const std::string& Bytes) {
  const TLoopbackSocket S(Port);
  if (!S.Connected()) return "connect failed";
  send(S.FD, Bytes.data(), Bytes.size(), MSG_NOSIGNAL);
  std::string Answer;
  char Buffer[4096];
  for (ssize_t N; (N = recv(S.FD, Buffer, sizeof Buffer, 0)) > 0;) {
    Answer.append(Buffer, static_cast<std::size_t>(N));
    const auto End = Answer.find("\r\n\r\n");
    const auto Length = Answer.find("\r\nContent-Length: ");
    if (End == std::string::npos || Length == std::string::npos || Length > End) continue;
    if (Answer.size() >= End + 4 + std::stoul(Answer.substr(Length + 18))) break;
  }
  return Answer;
}

// The value of header Name in a raw answer, byte for byte (httplib's client decodes
// percent escapes in header values, so it cannot show what was sent).
std::string RawHeader(const std::string& Answer, const std::string& Name) {
  const auto P = Answer.find("\r\n" + Name + ": ");
  if (P == std::string::npos) return "<none>";
  const auto Start = P + Name.size() + 4;
  return Answer.substr(Start, Answer.find("\r\n", Start) - Start);
}

class ServerTest : public ::testing::Test {
 protected:
  TIWServerControllerBase Controller{nullptr};
  TZIWAuthServerController* Auth = new TZIWAuthServerController(&Controller);
  std::unique_ptr<TIWServer> Server;
  std::atomic<int> NewSessions{0};
  std::atomic<int> EndedSessions{0};
  std::mutex LogMutex;
  std::vector<std::string> Log;
  std::function<void(TIWApplication&, const THttpRequest&, THttpResponse&)> Slow;

  static TIWServerOptions Defaults() {
    TIWServerOptions O;
    O.Port = 0;
    O.ApplicationPath = "/app";
    return O;
  }

  void Record(std::string Line) {
    std::lock_guard L(LogMutex);
    Log.push_back(std::move(Line));
  }
  std::vector<std::string> TakeLog() {
    std::lock_guard L(LogMutex);
    return std::exchange(Log, {});
  }
  static std::string Address(const void* P) {
    return std::to_string(reinterpret_cast<std::uintptr_t>(P));
  }

  void StartServer(TIWServerOptions O = Defaults()) {
    Server = std::make_unique<TIWServer>(Controller, std::move(O));
    Server->SetOnNewSession([this](TIWApplication& App) {
      auto* C = new TProbeClient(&App);
      C->SetName("Probe");
      C->SetServerController(Auth);
      ++NewSessions;
    });
    Server->SetOnEndSession([this](TIWApplication&) { ++EndedSessions; });
    Controller.OnBeforeDispatch = [this](THttpRequest& R, TIWApplication* App) {
      Record("hook " + R.Method() + " " + R.Path() + " " + Address(App));
      Auth->ProcessRequest(R);
      if (!R.Query("hookredirect").empty())
        App->GoToURL("https://hook.example/" + R.Query("hookredirect"));
    };
    const auto Page = [this](TIWApplication& App, const THttpRequest& R, THttpResponse& Out) {
      Record("page " + R.Method() + " " + R.Path() + " " + Address(&App));
      TProbeClient* C = Probe(App);
      Out.SetContent("session=" + App.SessionID() + "\nurl=" + App.GetApplicationURL() +
                         "\npath=" + R.PathInfo() +
                         "\nresult=" + std::to_string(static_cast<int>(C->LoginResult())) +
                         "\nid=" + C->LoginID() + "\n",
                     "text/plain");
    };
    Server->AddRoute("GET", "/", Page);
    Server->AddRoute("GET", "/page", Page);
    Server->AddRoute("GET", "/login", [](TIWApplication& App, const THttpRequest&, THttpResponse&) {
      Probe(App)->Login(&App);
    });
    Server->AddRoute("GET", "/tokenlogin",
                     [](TIWApplication& App, const THttpRequest& R, THttpResponse&) {
                       Probe(App)->LoginByToken(&App, R.Query("token"));
                     });
    Server->AddRoute(
        "POST", "/signout",
        [](TIWApplication& App, const THttpRequest&, THttpResponse&) { App.EndSession(); });
    Server->AddRoute("GET", "/go", [](TIWApplication& App, const THttpRequest& R, THttpResponse&) {
      App.GoToURL(R.Query("to"));
    });
    Server->AddRoute("GET", "/echo",
                     [](TIWApplication&, const THttpRequest& R, THttpResponse& Out) {
                       Out.SetBody("<pre>" + HTMLEncode(R.QueryFields().Text()) + "</pre>");
                     });
    Server->AddRoute("POST", "/form",
                     [this](TIWApplication& App, const THttpRequest& R, THttpResponse& Out) {
                       Record("page POST " + R.Path() + " " + Address(&App));
                       Out.SetContent("msg=" + R.ContentField("msg"), "text/plain");
                     });
    Server->AddRoute("GET", "/throw", [](TIWApplication&, const THttpRequest&, THttpResponse&) {
      throw rtl::Exception("the <b>page</b> failed");
    });
    Server->AddRoute("GET", "/slow",
                     [this](TIWApplication& App, const THttpRequest& R, THttpResponse& Out) {
                       Slow(App, R, Out);
                     });
    Server->Start();
  }

  httplib::Client Client() const {
    httplib::Client C("127.0.0.1", Server->Port());
    C.set_url_encode(false);
    C.set_read_timeout(20, 0);
    return C;
  }
  // A GET sent byte for byte, with Lines as header lines ("Name: value\r\n" each; a Host line
  // is added unless Lines has one).
  std::string RawGet(const std::string& Target, std::string Lines = "") const {
    // A line of its own: "X-Forwarded-Host: " is not one.
    if (!Lines.starts_with("Host: ") && Lines.find("\r\nHost: ") == std::string::npos)
      Lines += "Host: 127.0.0.1:" + std::to_string(Server->Port()) + "\r\n";
    return RawExchange(Server->Port(),
                       "GET " + Target + " HTTP/1.1\r\n" + Lines + "Connection: close\r\n\r\n");
  }
  std::string Base() const { return "http://127.0.0.1:" + std::to_string(Server->Port()); }

  // The "name=value" of the session cookie an answer sets, or empty.
  static std::string CookieOf(const httplib::Result& R) {
    const std::string SetCookie = R->get_header_value("Set-Cookie");
    return SetCookie.substr(0, SetCookie.find(';'));
  }
  static std::string Field(const std::string& Body, const std::string& Name) {
    const auto P = Body.find(Name + "=");
    if (P == std::string::npos) return "<none>";
    const auto Start = P + Name.size() + 1;
    return Body.substr(Start, Body.find('\n', Start) - Start);
  }
  // A new session: its cookie ("zelk_session=<id>").
  std::string NewSession() {
    auto R = Client().Get("/app/");
    EXPECT_TRUE(R && R->status == 200);
    return CookieOf(R);
  }
  // Signs the session of Cookie in as User; returns the session's new cookie.
  std::string SignIn(const std::string& Cookie, const std::string& User = "user") {
    const std::string Flow = StartLogin(Cookie);
    auto R = Client().Get("/app/?state=" + Flow + "&code=" + User, {{"Cookie", Cookie}});
    EXPECT_TRUE(R && Field(R->body, "id") == User);
    return R ? CookieOf(R) : "";
  }
  // Starts a sign-in in the session of Cookie; returns the flow identifier.
  std::string StartLogin(const std::string& Cookie, const std::string& Host = "") {
    httplib::Headers H{{"Cookie", Cookie}};
    if (!Host.empty()) H.emplace("Host", Host);
    auto R = Client().Get("/app/login", H);
    EXPECT_TRUE(R && R->status == 303);
    const std::string Location = R ? R->get_header_value("Location") : "";
    const auto P = Location.find("&state=");
    return P == std::string::npos ? "" : Location.substr(P + 7);
  }
};

// ---- sessions --------------------------------------------------------------------------------

TEST_F(ServerTest, NewSessionGetsAnHttpOnlyLaxCookieAndIsReused) {
  StartServer();
  auto First = Client().Get("/app/");
  ASSERT_TRUE(First);
  EXPECT_EQ(First->status, 200);
  const std::string SetCookie = First->get_header_value("Set-Cookie");
  EXPECT_TRUE(std::regex_match(SetCookie, std::regex("zelk_session=[0-9a-f]{64}; Path=/app; "
                                                     "HttpOnly; SameSite=Lax")))
      << SetCookie;
  EXPECT_EQ(First->get_header_value("Cache-Control"), "no-store");
  const std::string Cookie = CookieOf(First);
  const std::string ID = Cookie.substr(Cookie.find('=') + 1);
  EXPECT_EQ(Field(First->body, "session"), ID);  // what TIWApplication::SessionID() says

  for (const char* Path : {"/app", "/app/", "/app/page"}) {
    auto Again = Client().Get(Path, {{"Cookie", "other=1; " + Cookie}});
    ASSERT_TRUE(Again) << Path;
    EXPECT_EQ(Again->status, 200) << Path;
    EXPECT_FALSE(Again->has_header("Set-Cookie")) << Path;
    EXPECT_EQ(Field(Again->body, "session"), ID) << Path;
  }
  EXPECT_EQ(Field(Client().Get("/app")->body, "path"), "/");
  auto Head = Client().Head("/app/page", {{"Cookie", Cookie}});  // served by the GET route
  ASSERT_TRUE(Head);
  EXPECT_EQ(Head->status, 200);
  EXPECT_TRUE(Head->body.empty());
  EXPECT_EQ(Field(Client().Get("/app/page", {{"Cookie", Cookie}})->body, "path"), "/page");

  // A stale cookie of the same name before the live one does not hide it.
  auto Both =
      Client().Get("/app/", {{"Cookie", "zelk_session=" + std::string(64, 'a') + "; " + Cookie}});
  EXPECT_EQ(Field(Both->body, "session"), ID);
  EXPECT_EQ(NewSessions.load(), 2);  // the two requests without a cookie
}

TEST_F(ServerTest, ForgedOrStaleCookiesStartAFreshSession) {
  StartServer();
  const std::string Live = NewSession();
  for (const std::string& Forged : std::vector<std::string>{
           "zelk_session=" + std::string(64, '0'), "zelk_session=<script>alert(1)</script>",
           "zelk_session=" + std::string(64, 'A'), "zelk_session=" + std::string(5000, 'a'),
           "zelk_session=\"\""}) {
    auto R = Client().Get("/app/", {{"Cookie", Forged}});
    ASSERT_TRUE(R) << Forged;
    EXPECT_EQ(R->status, 200) << Forged;
    const std::string Fresh = CookieOf(R);
    EXPECT_FALSE(Fresh.empty()) << Forged;
    EXPECT_NE(Fresh, Live);
    EXPECT_EQ(R->body.find("<script>"), std::string::npos);
  }
  EXPECT_EQ(Field(Client().Get("/app/", {{"Cookie", Live}})->body, "session"),
            Live.substr(Live.find('=') + 1));
}

TEST_F(ServerTest, IdleSessionsExpireAndTheirClientsLeaveTheRegistry) {
  TIWServerOptions O = Defaults();
  O.SessionTimeout = 100ms;
  O.SweepInterval = 10ms;
  StartServer(O);
  const std::string A = NewSession();
  const std::string Flow = StartLogin(A);
  NewSession();
  {
    auto L = Auth->LockClients();
    EXPECT_EQ(Auth->Clients()->Count(), 2);
  }
  const auto Deadline = std::chrono::steady_clock::now() + 10s;
  // A swept session leaves the table first and is ended right after, outside the table's lock.
  while ((Server->SessionCount() > 0 || EndedSessions.load() < 2) &&
         std::chrono::steady_clock::now() < Deadline)
    std::this_thread::sleep_for(5ms);
  ASSERT_EQ(Server->SessionCount(), 0u);
  EXPECT_EQ(EndedSessions.load(), 2);
  {
    auto L = Auth->LockClients();
    EXPECT_EQ(Auth->Clients()->Count(), 0);
  }
  // The old cookie names nothing any more, and the flow's return reaches no client.
  auto R = Client().Get("/app/?state=" + Flow + "&code=late", {{"Cookie", A}});
  ASSERT_TRUE(R);
  EXPECT_EQ(R->status, 200);
  EXPECT_NE(CookieOf(R), A);
  EXPECT_FALSE(CookieOf(R).empty());
  EXPECT_EQ(Field(R->body, "result"), "0");
}

// ---- redirects -------------------------------------------------------------------------------

TEST_F(ServerTest, GoToURLIsAnsweredAsARedirect) {
  StartServer();
  const std::string Cookie = NewSession();
  auto R = Client().Get("/app/go?to=https://x.example/a%3Fb%3D1%26c%3D%3C", {{"Cookie", Cookie}});
  ASSERT_TRUE(R);
  EXPECT_EQ(R->status, 303);
  EXPECT_EQ(R->get_header_value("Location"), "https://x.example/a?b=1&c=<");
  EXPECT_NE(R->body.find("href=\"https://x.example/a?b=1&amp;c=&lt;\""), std::string::npos);
  EXPECT_EQ(R->get_header_value("Cache-Control"), "no-store");

  // Set in the hook, the redirect ends the request: no page is routed.
  TakeLog();
  auto H = Client().Get("/app/page?hookredirect=bye", {{"Cookie", Cookie}});
  ASSERT_TRUE(H);
  EXPECT_EQ(H->status, 303);
  EXPECT_EQ(H->get_header_value("Location"), "https://hook.example/bye");
  const auto Lines = TakeLog();
  ASSERT_EQ(Lines.size(), 1u);
  EXPECT_TRUE(Lines[0].starts_with("hook GET /app/page ")) << Lines[0];

  // An address with a line break could add header lines: refused with a clear page.
  auto Bad =
      Client().Get("/app/go?to=https://x.example/%0d%0aSet-Cookie:%20evil=1", {{"Cookie", Cookie}});
  ASSERT_TRUE(Bad);
  EXPECT_EQ(Bad->status, 500);
  EXPECT_FALSE(Bad->has_header("Location"));
  EXPECT_FALSE(Bad->has_header("Set-Cookie"));
  EXPECT_NE(Bad->body.find("The application asked to send the browser to an invalid address."),
            std::string::npos);
}

TEST_F(ServerTest, RedirectStatusCanBe302) {
  TIWServerOptions O = Defaults();
  O.RedirectStatus = 302;
  StartServer(O);
  auto R = Client().Get("/app/go?to=/elsewhere");
  ASSERT_TRUE(R);
  EXPECT_EQ(R->status, 302);
  EXPECT_EQ(R->get_header_value("Location"), "/elsewhere");
  EXPECT_FALSE(CookieOf(R).empty());  // a new session's redirect still sets its cookie
}

// ---- the application URL --------------------------------------------------------------------

TEST_F(ServerTest, ApplicationURLFollowsTheHostHeaderAndTrustedProxiesOnly) {
  struct TCase {
    const char* Name;
    std::vector<std::string> Trusted;
    std::string Public;
    httplib::Headers Headers;
    std::string Expected;  // "{base}" is http://127.0.0.1:<port>
  };
  const std::vector<TCase> Cases = {
      {"as the client sent it", {}, "", {}, "{base}/app"},
      {"another host and port", {}, "", {{"Host", "localhost:8080"}}, "http://localhost:8080/app"},
      {"host without port", {}, "", {{"Host", "shop.example"}}, "http://shop.example/app"},
      {"forwarded, untrusted peer",
       {"10.1.2.3"},
       "",
       {{"X-Forwarded-Proto", "https"}, {"X-Forwarded-Host", "evil.example"}},
       "{base}/app"},
      {"forwarded, trusted peer",
       {"127.0.0.1"},
       "",
       {{"X-Forwarded-Proto", "https"}, {"X-Forwarded-Host", "shop.example"}},
       "https://shop.example/app"},
      {"public base URL wins",
       {"127.0.0.1"},
       "https://public.example/store/",
       {{"X-Forwarded-Host", "shop.example"}},
       "https://public.example/store"},
  };
  for (const auto& C : Cases) {
    TIWServerOptions O = Defaults();
    O.TrustedProxies = C.Trusted;
    O.PublicBaseURL = C.Public;
    O.AllowedHosts = {"127.0.0.1", "localhost", "shop.example"};
    StartServer(O);
    auto R = Client().Get("/app/", C.Headers);
    ASSERT_TRUE(R) << C.Name;
    std::string Expected = C.Expected;
    if (Expected.starts_with("{base}")) Expected = Base() + Expected.substr(6);
    EXPECT_EQ(Field(R->body, "url"), Expected) << C.Name;
    // The return address a client builds is the same URL, sent as it is.
    std::string Lines = "Cookie: " + CookieOf(R) + "\r\n";
    for (const auto& [Name, Value] : C.Headers)
      Lines += Name + ": " + Value + "\r\n";
    const std::string Location = RawHeader(RawGet("/app/login", Lines), "Location");
    EXPECT_EQ(
        Location.substr(0, Location.find("&state=")),
        "https://provider.example/auth?redirect_uri=" + IWZelkAuthBase::URLEncode(Expected + "/"))
        << C.Name;
    // Under https the cookie is Secure, "__Host-" prefixed and for the whole site; otherwise
    // its path is the application's.
    const std::string SetCookie = R->get_header_value("Set-Cookie");
    const bool Https = Expected.starts_with("https://");
    EXPECT_EQ(SetCookie.ends_with("; Secure"), Https) << C.Name;
    EXPECT_EQ(SetCookie.starts_with("__Host-zelk_session="), Https) << C.Name;
    EXPECT_NE(SetCookie.find(Https ? "; Path=/;" : "; Path=/app;"), std::string::npos) << C.Name;
    Server.reset();
  }
}

// ---- serialisation and the hook ---------------------------------------------------------------

TEST_F(ServerTest, RequestsOfOneSessionNeverOverlap) {
  std::mutex M;
  std::condition_variable Changed;
  int Active = 0;
  int MaxActive = 0;
  // Each request waits (up to "wait" ms) for a second one to be inside a page at the same time.
  Slow = [&](TIWApplication&, const THttpRequest& R, THttpResponse& Out) {
    std::unique_lock L(M);
    MaxActive = std::max(MaxActive, ++Active);
    Changed.notify_all();
    Changed.wait_for(L, std::chrono::milliseconds(std::stoi(R.Query("wait"))),
                     [&] { return MaxActive >= 2; });
    --Active;
    Out.SetContent("ok", "text/plain");
  };
  StartServer();
  const auto Pair = [&](const std::string& C1, const std::string& C2, const char* Wait) {
    MaxActive = 0;
    auto Call = [&](const std::string& Cookie) {
      return Client().Get(std::string("/app/slow?wait=") + Wait, {{"Cookie", Cookie}})->status;
    };
    auto F1 = std::async(std::launch::async, Call, C1);
    auto F2 = std::async(std::launch::async, Call, C2);
    EXPECT_EQ(F1.get(), 200);
    EXPECT_EQ(F2.get(), 200);
    std::lock_guard L(M);
    return MaxActive;
  };
  const std::string A = NewSession();
  const std::string B = NewSession();
  // Two sessions do run at once (the check can see an overlap) ...
  EXPECT_EQ(Pair(A, B, "20000"), 2);
  // ... one session's requests never do.
  EXPECT_EQ(Pair(A, A, "300"), 1);
}

TEST_F(ServerTest, BusySessionAnswers503AfterTheLockTimeout) {
  TIWServerOptions O = Defaults();
  O.SessionLockTimeout = 50ms;
  std::promise<void> Entered;
  std::promise<void> Release;
  auto Released = Release.get_future().share();
  Slow = [&](TIWApplication&, const THttpRequest&, THttpResponse&) {
    Entered.set_value();
    Released.wait();
  };
  StartServer(O);
  const std::string A = NewSession();
  auto First = std::async(std::launch::async, [&] {
    return Client().Get("/app/slow", {{"Cookie", A}})->status;
  });
  Entered.get_future().wait();
  auto Second = Client().Get("/app/page", {{"Cookie", A}});
  ASSERT_TRUE(Second);
  EXPECT_EQ(Second->status, 503);
  EXPECT_EQ(Second->get_header_value("Retry-After"), "5");
  EXPECT_NE(Second->body.find("This session is still busy with an earlier request."),
            std::string::npos);
  EXPECT_EQ(Client().Get("/app/page")->status, 200);  // other sessions are not held up
  Release.set_value();
  EXPECT_EQ(First.get(), 200);
}

TEST_F(ServerTest, HookSeesEveryRequestOfTheApplicationBeforeItsPage) {
  StartServer();
  const std::string Cookie = NewSession();
  TakeLog();
  auto Get = Client().Get("/app/page", {{"Cookie", Cookie}});
  auto Missing = Client().Get("/app/nowhere", {{"Cookie", Cookie}});
  auto Post = Client().Post("/app/form", {{"Cookie", Cookie}}, "msg=hi+there",
                            "application/x-www-form-urlencoded");
  auto Outside = Client().Get("/other", {{"Cookie", Cookie}});
  ASSERT_TRUE(Get && Missing && Post && Outside);
  EXPECT_EQ(Missing->status, 404);
  EXPECT_EQ(Post->body, "msg=hi there");
  EXPECT_EQ(Outside->status, 404);  // not the application's: no session, no hook
  const auto Lines = TakeLog();
  ASSERT_EQ(Lines.size(), 5u);
  const std::string App = Lines[0].substr(Lines[0].rfind(' '));
  EXPECT_EQ(Lines[0], "hook GET /app/page" + App);
  EXPECT_EQ(Lines[1], "page GET /app/page" + App);  // the same application object
  EXPECT_EQ(Lines[2], "hook GET /app/nowhere" + App);
  EXPECT_EQ(Lines[3], "hook POST /app/form" + App);
  EXPECT_EQ(Lines[4], "page POST /app/form" + App);
}

// ---- provider returns -------------------------------------------------------------------------

TEST_F(ServerTest, AProvidersReturnReachesTheClientThroughTheHook) {
  StartServer();
  const std::string A = NewSession();
  const std::string Login = RawGet("/app/login", "Cookie: " + A + "\r\n");
  EXPECT_TRUE(Login.starts_with("HTTP/1.1 303 See Other\r\n")) << Login;
  const std::string Location = RawHeader(Login, "Location");
  const std::string Prefix =
      "https://provider.example/auth?redirect_uri=" + IWZelkAuthBase::URLEncode(Base() + "/app/") +
      "&state=";
  ASSERT_TRUE(Location.starts_with(Prefix)) << Location;
  const std::string Flow = Location.substr(Prefix.size());
  EXPECT_EQ(Flow.size(), 36u);

  auto Back = Client().Get("/app/?state=" + Flow + "&code=user%2042", {{"Cookie", A}});
  ASSERT_TRUE(Back);
  EXPECT_EQ(Back->status, 200);
  EXPECT_EQ(Field(Back->body, "result"), "1");
  EXPECT_EQ(Field(Back->body, "id"), "user 42");
  // A reload of the return page is ignored: the identifier is spent.
  auto Reload = Client().Get("/app/?state=" + Flow + "&code=other", {{"Cookie", CookieOf(Back)}});
  EXPECT_EQ(Field(Reload->body, "id"), "user 42");
}

TEST_F(ServerTest, AReturnArrivingInAnotherSessionIsRefusedAndTheFlowSurvives) {
  StartServer();
  const std::string A = NewSession();
  const std::string B = NewSession();
  const std::string Flow = StartLogin(A);
  TakeLog();
  auto Hostile =
      Client().Get("/app/?state=" + Flow + "&error=access_denied&code=x", {{"Cookie", B}});
  ASSERT_TRUE(Hostile);
  EXPECT_EQ(Hostile->status, 403);
  EXPECT_NE(Hostile->body.find("This return from a provider belongs to another session, so it was "
                               "not processed."),
            std::string::npos);
  EXPECT_TRUE(TakeLog().empty());  // not handed to the application at all

  auto Own = Client().Get("/app/?state=" + Flow + "&code=good", {{"Cookie", A}});
  EXPECT_EQ(Field(Own->body, "result"), "1");
  EXPECT_EQ(Field(Own->body, "id"), "good");
  EXPECT_EQ(Field(Client().Get("/app/", {{"Cookie", B}})->body, "result"), "0");
}

TEST_F(ServerTest, AReturnWithoutASessionIsServedInTheFlowsSessionAndSentBackThere) {
  StartServer();
  const std::string A = NewSession();
  const std::string Flow = StartLogin(A);
  const std::string Port = std::to_string(Server->Port());
  // The provider sent the browser to "localhost" while the session lives on "127.0.0.1": the
  // browser has no cookie for this host.
  TakeLog();
  auto R = Client().Get("/app/?clientid=" + Flow + "&code=fb", {{"Host", "localhost:" + Port}});
  ASSERT_TRUE(R);
  EXPECT_EQ(R->status, 303);
  const std::string Location = R->get_header_value("Location");
  const std::string HandoffPrefix = Base() + "/app/?zelk_handoff=";
  ASSERT_TRUE(Location.starts_with(HandoffPrefix)) << Location;
  EXPECT_FALSE(R->has_header("Set-Cookie"));  // the session is not handed to this host
  EXPECT_EQ(Server->SessionCount(), 1u);
  const auto Lines = TakeLog();
  ASSERT_EQ(Lines.size(), 1u);  // the hook, and no page
  // The browser follows the redirect with the cookie it still holds for 127.0.0.1, which names
  // nothing any more; the handoff gives it the session's new one and sends it on.
  auto Handed = Client().Get(Location.substr(Base().size()), {{"Cookie", A}});
  ASSERT_TRUE(Handed);
  EXPECT_EQ(Handed->status, 303);
  EXPECT_EQ(Handed->get_header_value("Location"), Base() + "/app/");
  const std::string Fresh = CookieOf(Handed);
  ASSERT_TRUE(Fresh.starts_with("zelk_session=")) << Handed->get_header_value("Set-Cookie");
  EXPECT_NE(Fresh, A);
  auto Page = Client().Get("/app/", {{"Cookie", Fresh}});
  ASSERT_TRUE(Page);
  EXPECT_FALSE(Page->has_header("Set-Cookie"));
  EXPECT_EQ(Field(Page->body, "id"), "fb");
  EXPECT_EQ(Field(Page->body, "url"), Base() + "/app");  // its own address kept
  const auto PageLines = TakeLog();
  ASSERT_EQ(PageLines.size(), 2u);
  const auto ApplicationOf = [](const std::string& Line) { return Line.substr(Line.rfind(' ')); };
  EXPECT_EQ(ApplicationOf(Lines[0]), ApplicationOf(PageLines[1]));  // the hook had A's
}

// An attacker planted the session id A in the victim's browser and polls with it, waiting for
// the moment the victim's sign-in is adopted from the other loopback name.
TEST_F(ServerTest, AnAdoptedReturnRenewsTheIdAtOnceAndHandsTheNewOneOnlyToItsBrowser) {
  StartServer();
  const std::string A = NewSession();
  const std::string Flow = StartLogin(A);
  const std::string Port = std::to_string(Server->Port());
  auto R = Client().Get("/app/?state=" + Flow + "&code=victim", {{"Host", "localhost:" + Port}});
  ASSERT_TRUE(R && R->status == 303);
  const std::string Location = R->get_header_value("Location");
  const std::string Handoff = Location.substr(Location.find("zelk_handoff=") + 13);
  ASSERT_EQ(Handoff.size(), 64u) << Location;

  // The attacker's very next poll with the planted id, before the victim's browser is back:
  // a fresh, empty session, never the victim's.
  auto Poll = Client().Get("/app/", {{"Cookie", A}});
  ASSERT_TRUE(Poll);
  EXPECT_EQ(Field(Poll->body, "id"), "");
  EXPECT_NE(CookieOf(Poll), A);
  // The handoff is good only on the session's own address...
  auto Elsewhere = Client().Get("/app/?zelk_handoff=" + Handoff, {{"Host", "localhost:" + Port}});
  ASSERT_TRUE(Elsewhere);
  EXPECT_EQ(Elsewhere->status, 403);
  EXPECT_FALSE(Elsewhere->has_header("Set-Cookie"));
  // ...and only once: presenting it on the wrong address spent it.
  auto Late = Client().Get("/app/?zelk_handoff=" + Handoff);
  ASSERT_TRUE(Late);
  EXPECT_EQ(Late->status, 404);
  EXPECT_FALSE(Late->has_header("Set-Cookie"));
  for (const std::string& Forged : {std::string(64, 'a'), std::string("x")}) {
    auto F = Client().Get("/app/?zelk_handoff=" + Forged);
    ASSERT_TRUE(F);
    EXPECT_EQ(F->status, 404) << Forged;
  }

  // A second victim flow, handed off properly this time.
  const std::string B = NewSession();
  const std::string Second = StartLogin(B);
  auto Back = Client().Get("/app/?state=" + Second + "&code=b", {{"Host", "localhost:" + Port}});
  ASSERT_TRUE(Back && Back->status == 303);
  const std::string Next = Back->get_header_value("Location");
  auto Own = Client().Get(Next.substr(Base().size()));
  ASSERT_TRUE(Own && Own->status == 303);
  const std::string Cookie = CookieOf(Own);
  auto Page = Client().Get("/app/", {{"Cookie", Cookie}});
  EXPECT_EQ(Field(Page->body, "id"), "b");
  auto Again = Client().Get(Next.substr(Base().size()));
  ASSERT_TRUE(Again);
  EXPECT_EQ(Again->status, 404);
  EXPECT_EQ(Field(Client().Get("/app/", {{"Cookie", B}})->body, "id"), "");
}

// Adoption is for the loopback names of one address only: a return without the cookie on any
// other allowed host, or on another port, reaches nobody and leaves the flow open.
TEST_F(ServerTest, ACookielessReturnElsewhereThanTheOtherLoopbackNameIsRefused) {
  TIWServerOptions O = Defaults();
  O.AllowedHosts = {"127.0.0.1", "localhost", "shop.example"};
  StartServer(O);
  const std::string A = NewSession();
  const std::string Flow = StartLogin(A);
  TakeLog();
  for (const std::string& Host :
       {std::string("shop.example"), std::string("localhost:1"), std::string("localhost")}) {
    auto R = Client().Get("/app/?state=" + Flow + "&code=forged", {{"Host", Host}});
    ASSERT_TRUE(R) << Host;
    EXPECT_EQ(R->status, 403) << Host;
    EXPECT_NE(R->body.find("arrived without the session"), std::string::npos) << Host;
    EXPECT_FALSE(R->has_header("Set-Cookie")) << Host;
  }
  EXPECT_TRUE(TakeLog().empty());
  auto Own = Client().Get("/app/?state=" + Flow + "&code=good", {{"Cookie", A}});
  ASSERT_TRUE(Own);
  EXPECT_EQ(Field(Own->body, "id"), "good");
}

TEST_F(ServerTest, URLSessionTrackingFindsTheSessionFromThePath) {
  Controller.SetURLSessionTracking(true);
  StartServer();
  const std::string Cookie = NewSession();
  const std::string ID = Cookie.substr(Cookie.find('=') + 1);
  auto ByPath = Client().Get("/app/" + ID + "/");
  ASSERT_TRUE(ByPath);
  EXPECT_EQ(Field(ByPath->body, "session"), ID);
  EXPECT_EQ(Field(ByPath->body, "path"), "/");
  EXPECT_FALSE(ByPath->has_header("Set-Cookie"));
  EXPECT_EQ(Field(Client().Get("/app/" + ID)->body, "path"), "/");
  EXPECT_EQ(Field(Client().Get("/app/" + ID + "/page")->body, "path"), "/page");

  // The return address a payment client builds: base URL, "/", session id, "/?clientid=".
  const std::string Flow = StartLogin(Cookie);
  auto Back = Client().Get("/app/" + ID + "/?clientid=" + Flow + "&paypalcallback=1&code=paid");
  ASSERT_TRUE(Back);
  EXPECT_EQ(Back->status, 200);
  EXPECT_EQ(Field(Back->body, "id"), "paid");

  auto Unknown = Client().Get("/app/" + std::string(64, '0') + "/");
  ASSERT_TRUE(Unknown);
  EXPECT_EQ(Unknown->status, 404);
  EXPECT_NE(Unknown->body.find("This session has ended or does not exist."), std::string::npos);
  EXPECT_NE(Unknown->body.find("<a href=\"/app/\">Start again</a>"), std::string::npos);
}

// ---- hostile input ----------------------------------------------------------------------------

TEST_F(ServerTest, HostileRequestsGetClearPagesAndNoSessionLosesItsFlow) {
  TIWServerOptions O = Defaults();
  O.MaxQueryBytes = 2048;
  O.MaxHeaderBytes = 4096;
  O.MaxBodyBytes = 1024;
  O.AllowedHosts = {"127.0.0.1", "h"};
  StartServer(O);
  const std::string A = NewSession();
  const std::string Flow = StartLogin(A);
  const std::size_t Sessions = Server->SessionCount();

  struct TCase {
    const char* Name;
    std::string Request;
    std::string StatusLine;
    std::string Text;  // must appear in the page
  };
  const std::string Close = "Connection: close\r\n\r\n";
  const std::vector<TCase> Cases = {
      {"query over the limit",
       "GET /app/?q=" + std::string(3000, 'a') + " HTTP/1.1\r\nHost: h\r\n" + Close, "HTTP/1.1 414",
       "Request refused: its address is longer than 2048 bytes."},
      {"query over the HTTP layer's limit",
       "GET /app/?q=" + std::string(20000, 'a') + " HTTP/1.1\r\nHost: h\r\n" + Close,
       "HTTP/1.1 414", "Request refused: its address is too long."},
      {"header line over 8 KiB",
       "GET /app/ HTTP/1.1\r\nHost: h\r\nX-Big: " + std::string(9000, 'b') + "\r\n" + Close,
       "HTTP/1.1 400", "Bad request: the request could not be read."},
      {"headers over the limit together",
       "GET /app/ HTTP/1.1\r\nHost: h\r\nX-1: " + std::string(1500, 'c') + "\r\nX-2: " +
           std::string(1500, 'c') + "\r\nX-3: " + std::string(1500, 'c') + "\r\n" + Close,
       "HTTP/1.1 431", "Request refused: its header lines are longer than 4096 bytes together."},
      {"body over the limit",
       "POST /app/form HTTP/1.1\r\nHost: h\r\nContent-Type: "
       "application/x-www-form-urlencoded\r\nContent-Length: 5000\r\n" +
           Close + std::string(5000, 'x'),
       "HTTP/1.1 413", "Request refused: its body is too large."},
      {"garbage request line", "HELLO THERE\r\n\r\n", "HTTP/1.1 400", "Bad request"},
      {"markup in the path", "GET /app/<script>alert(1)</script> HTTP/1.1\r\nHost: h\r\n" + Close,
       "HTTP/1.1 404", "There is no page at /app/&lt;script&gt;alert(1)&lt;/script&gt;."},
      {"invalid escapes in the path", "GET /app/%zz%4 HTTP/1.1\r\nHost: h\r\n" + Close,
       "HTTP/1.1 404", "There is no page at /app/%zz%4."},
      {"malformed query",
       "GET /app/echo?a=%zz&%=&&b=%3Cscript%3E&c=%4&=v HTTP/1.1\r\nHost: h\r\n" + Close,
       "HTTP/1.1 200", "a=%zz\n%=\nb=&lt;script&gt;\nc=%4\n=v"},
      {"malformed Host", "GET /app/ HTTP/1.1\r\nHost: evil.example/<b>\r\n" + Close, "HTTP/1.1 400",
       "Bad request: the Host header (or the forwarded host) is malformed."},
      {"forged state",
       "GET /app/?state=" + std::string(36, 'f') + "&code=x HTTP/1.1\r\nHost: h\r\n" + Close,
       "HTTP/1.1 200", "result=0"},
      {"wrong method", "POST /app/ HTTP/1.1\r\nHost: h\r\nContent-Length: 0\r\n" + Close,
       "HTTP/1.1 405", "This page does not accept POST requests."},
      {"page that throws", "GET /app/throw HTTP/1.1\r\nHost: h\r\n" + Close, "HTTP/1.1 500",
       "The request could not be served: the &lt;b&gt;page&lt;/b&gt; failed"},
  };
  for (const auto& C : Cases) {
    const std::string Answer = RawExchange(Server->Port(), C.Request);
    EXPECT_TRUE(Answer.starts_with(C.StatusLine)) << C.Name << "\n" << Answer.substr(0, 300);
    EXPECT_NE(Answer.find(C.Text), std::string::npos) << C.Name << "\n" << Answer.substr(0, 600);
    EXPECT_EQ(Answer.find("<script>"), std::string::npos) << C.Name;
  }
  auto Wrong = RawExchange(Server->Port(),
                           "POST /app/ HTTP/1.1\r\nHost: h\r\nContent-Length: 0\r\n" + Close);
  EXPECT_NE(Wrong.find("Allow: GET"), std::string::npos);

  // The server still serves, and the open flow completes in its session.
  auto Back = Client().Get("/app/?state=" + Flow + "&code=after", {{"Cookie", A}});
  ASSERT_TRUE(Back);
  EXPECT_EQ(Field(Back->body, "id"), "after");
  // Refused requests made no session; the seven that reached the application each made one (no
  // cookie was sent): two paths without a page, the query echo, the forged state, two wrong
  // methods and the failing page.
  EXPECT_EQ(Server->SessionCount(), Sessions + 7);
}

TEST_F(ServerTest, AFloodOfNewSessionsNeverPushesOutAnEstablishedOne) {
  TIWServerOptions O = Defaults();
  O.MaxSessions = 20;
  O.MaxNewSessionsPerMinute = 0;
  StartServer(O);
  std::vector<std::string> Established;
  for (int I = 0; I < 5; ++I)
    Established.push_back(SignIn(NewSession()));
  const std::string Flow = StartLogin(Established[0]);
  auto Flood = Client();
  for (int I = 0; I < 2000; ++I) {
    auto R = Flood.Get("/app/");
    ASSERT_TRUE(R);
    ASSERT_EQ(R->status, 200) << I;
  }
  EXPECT_EQ(Server->SessionCount(), 20u);
  for (const auto& C : Established) {
    auto R = Client().Get("/app/", {{"Cookie", C}});
    EXPECT_FALSE(R->has_header("Set-Cookie"));
  }
  // Once every session is established, a new one is refused with a clear page.
  for (int I = 0; I < 15; ++I)
    SignIn(NewSession());
  auto Full = Client().Get("/app/");
  ASSERT_TRUE(Full);
  EXPECT_EQ(Full->status, 503);
  EXPECT_EQ(Full->get_header_value("Retry-After"), "60");
  EXPECT_NE(Full->body.find("The server has too many open sessions to start a new one."),
            std::string::npos);
  EXPECT_FALSE(Full->has_header("Set-Cookie"));
  auto Back = Client().Get("/app/?state=" + Flow + "&code=kept", {{"Cookie", Established[0]}});
  EXPECT_EQ(Field(Back->body, "id"), "kept");
}

// ---- hostile browsers -------------------------------------------------------------------------

// Someone plants a live session id in the victim's browser and waits for the victim to sign in.
TEST_F(ServerTest, APlantedSessionIDIsDeadOnceTheSignInSucceeds) {
  StartServer();
  const std::string Planted = NewSession();
  // A failed sign-in changes nothing: the session is still anonymous and keeps its id.
  const std::string Failed = StartLogin(Planted);
  auto Refused =
      Client().Get("/app/?state=" + Failed + "&error=access_denied&code=x", {{"Cookie", Planted}});
  ASSERT_TRUE(Refused);
  EXPECT_FALSE(Refused->has_header("Set-Cookie"));
  EXPECT_EQ(Field(Refused->body, "result"), "2");

  const std::string Flow = StartLogin(Planted);
  auto Back = Client().Get("/app/?state=" + Flow + "&code=victim", {{"Cookie", Planted}});
  ASSERT_TRUE(Back);
  const std::string Fresh = CookieOf(Back);
  ASSERT_TRUE(Fresh.starts_with("zelk_session=")) << Back->get_header_value("Set-Cookie");
  EXPECT_NE(Fresh, Planted);
  // The page after the return already runs under the new id.
  EXPECT_EQ(Field(Back->body, "session"), Fresh.substr(Fresh.find('=') + 1));
  EXPECT_EQ(Field(Back->body, "id"), "victim");

  // The planter's copy of the old id names nothing now: it gets a fresh, empty session.
  auto Planter = Client().Get("/app/", {{"Cookie", Planted}});
  ASSERT_TRUE(Planter);
  EXPECT_TRUE(Planter->has_header("Set-Cookie"));
  EXPECT_EQ(Field(Planter->body, "id"), "");
  EXPECT_NE(Field(Planter->body, "session"), Planted.substr(Planted.find('=') + 1));
  auto Victim = Client().Get("/app/", {{"Cookie", Fresh}});
  EXPECT_FALSE(Victim->has_header("Set-Cookie"));
  EXPECT_EQ(Field(Victim->body, "id"), "victim");
}

// The same attack through a flow that a request token routes (OAuth 1.0a's fixed callback):
// its success renews the id, establishes the session and is counted as an outcome.
TEST_F(ServerTest, APlantedSessionIDIsDeadOnceATokenRoutedSignInSucceeds) {
  TIWServerOptions O = Defaults();
  O.MaxSessions = 2;
  O.MaxNewSessionsPerMinute = 0;
  StartServer(O);
  const auto Before = IWZelkAuthBase::ProviderCounters();
  const std::string Planted = NewSession();
  auto Start = Client().Get("/app/tokenlogin?token=rt-1", {{"Cookie", Planted}});
  ASSERT_TRUE(Start && Start->status == 303);
  auto Back =
      Client().Get("/app/?oauth_token=rt-1&oauth_verifier=v&code=victim", {{"Cookie", Planted}});
  ASSERT_TRUE(Back);
  const std::string Fresh = CookieOf(Back);
  ASSERT_TRUE(Fresh.starts_with("zelk_session=")) << Back->get_header_value("Set-Cookie");
  EXPECT_NE(Fresh, Planted);
  EXPECT_EQ(Field(Back->body, "id"), "victim");
  EXPECT_EQ(Field(Client().Get("/app/", {{"Cookie", Planted}})->body, "id"), "");
  // Counted as a success of its provider.
  std::uint64_t Succeeded = 0;
  for (const auto& [Name, C] : IWZelkAuthBase::ProviderCounters()) {
    const auto It = Before.find(Name);
    Succeeded += C.FlowsSucceeded - (It == Before.end() ? 0 : It->second.FlowsSucceeded);
  }
  EXPECT_EQ(Succeeded, 1u);
  // Established: a flood of new sessions cannot push the signed-in one out.
  for (int I = 0; I < 4; ++I)
    Client().Get("/app/");
  EXPECT_EQ(Field(Client().Get("/app/", {{"Cookie", Fresh}})->body, "id"), "victim");
}

TEST_F(ServerTest, SigningOutEndsTheSessionAndItsFlowsAtOnce) {
  StartServer();
  const std::string Cookie = SignIn(NewSession(), "someone");
  const std::string Flow = StartLogin(Cookie);
  const int EndedBefore = EndedSessions;
  auto Out = Client().Post("/app/signout", {{"Cookie", Cookie}}, "", "text/plain");
  ASSERT_TRUE(Out);
  EXPECT_EQ(Out->status, 200);
  const std::string SetCookie = Out->get_header_value("Set-Cookie");
  EXPECT_EQ(SetCookie, "zelk_session=; Path=/app; Max-Age=0; HttpOnly; SameSite=Lax");
  EXPECT_EQ(EndedSessions, EndedBefore + 1);
  EXPECT_EQ(Server->SessionCount(), 0u);
  // The old cookie names nothing: a fresh, empty session.
  auto After = Client().Get("/app/", {{"Cookie", Cookie}});
  ASSERT_TRUE(After);
  EXPECT_EQ(Field(After->body, "id"), "");
  EXPECT_NE(CookieOf(After), Cookie);
  // The flow it had open is forgotten: its return reaches no client.
  const std::string Fresh = CookieOf(After);
  auto Return = Client().Get("/app/?state=" + Flow + "&code=late", {{"Cookie", Fresh}});
  ASSERT_TRUE(Return);
  EXPECT_EQ(Field(Return->body, "id"), "");
}

// One client floods the server with new sessions, confirming each, to lock other visitors out.
TEST_F(ServerTest, ASessionFloodFromOneAddressIsLimitedAndLocksNobodyOut) {
  TIWServerOptions O = Defaults();
  O.MaxSessions = 4;
  O.MaxNewSessionsPerMinute = 3;
  StartServer(O);
  const std::string Port = std::to_string(Server->Port());
  // A GET from the loopback address From; the whole answer.
  const auto From = [&](const std::string& Address, const std::string& Cookie = "") {
    TLoopbackSocket S(Server->Port(), Address);
    if (!S.Connected()) return std::string("connect failed");
    S.Send("GET /app/ HTTP/1.1\r\nHost: 127.0.0.1:" + Port + "\r\n" +
           (Cookie.empty() ? "" : "Cookie: " + Cookie + "\r\n") + "Connection: close\r\n\r\n");
    return S.ReadAnswer(10s).Bytes;
  };
  const auto CookieIn = [](const std::string& Answer) {
    const std::string Value = RawHeader(Answer, "Set-Cookie");
    return Value.substr(0, Value.find(';'));
  };
  const std::string Member = SignIn(NewSession(), "member");

  // The flood: three sessions a minute from one address, each confirmed; the fourth is refused.
  for (int I = 0; I < 3; ++I) {
    const std::string Answer = From("127.0.0.2");
    ASSERT_TRUE(Answer.starts_with("HTTP/1.1 200")) << Answer.substr(0, 200);
    EXPECT_TRUE(From("127.0.0.2", CookieIn(Answer)).starts_with("HTTP/1.1 200"));
  }
  EXPECT_EQ(Server->SessionCount(), 4u);
  const std::string Limited = From("127.0.0.2");
  EXPECT_TRUE(Limited.starts_with("HTTP/1.1 429")) << Limited.substr(0, 200);
  const int Wait = std::stoi(RawHeader(Limited, "Retry-After"));
  EXPECT_GE(Wait, 1);
  EXPECT_LE(Wait, 60);
  EXPECT_NE(Limited.find("Too many new sessions were started from your address."),
            std::string::npos);
  EXPECT_EQ(RawHeader(Limited, "Set-Cookie"), "<none>");
  EXPECT_EQ(Server->SessionCount(), 4u);

  // Other visitors still get sessions: the flood's anonymous ones make room, oldest first,
  // and the established session stays.
  for (int I = 0; I < 3; ++I) {
    const std::string Visitor = From("127.0.0.3");
    EXPECT_TRUE(Visitor.starts_with("HTTP/1.1 200")) << Visitor.substr(0, 200);
    EXPECT_NE(CookieIn(Visitor), "");
  }
  EXPECT_EQ(Server->SessionCount(), 4u);
  auto Kept = Client().Get("/app/", {{"Cookie", Member}});
  ASSERT_TRUE(Kept);
  EXPECT_FALSE(Kept->has_header("Set-Cookie"));
  EXPECT_EQ(Field(Kept->body, "id"), "member");
}

// A sign-in started under a forged Host would send the provider, and later the browser, there.
TEST_F(ServerTest, AForgedHostIsRefusedBeforeASessionIsMade) {
  struct TCase {
    const char* Name;
    std::string Public;
    std::vector<std::string> Allowed;
    std::string Host;
    int Status;  // 303: the sign-in goes on to the provider
  };
  const std::vector<TCase> Cases = {
      {"foreign host", "", {}, "evil.example", 421},
      {"foreign host with a port", "", {}, "evil.example:80", 421},
      {"an allowed name in another case", "", {}, "LOCALHOST", 303},
      {"the bound address", "", {}, "127.0.0.1", 303},
      {"the public host", "https://shop.example/app", {}, "shop.example", 303},
      {"the bound address under a public URL", "https://shop.example/app", {}, "127.0.0.1", 303},
      {"outside a configured list", "", {"shop.example"}, "127.0.0.1", 421},
      {"inside a configured list", "", {"shop.example"}, "shop.example:8443", 303},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TIWServerOptions O = Defaults();
    O.PublicBaseURL = C.Public;
    O.AllowedHosts = C.Allowed;
    StartServer(O);
    TakeLog();
    const std::string Answer = RawGet("/app/login", "Host: " + C.Host + "\r\n");
    EXPECT_TRUE(Answer.starts_with("HTTP/1.1 " + std::to_string(C.Status)))
        << Answer.substr(0, 200);
    if (C.Status == 421) {
      EXPECT_NE(Answer.find("This server does not answer for the host"), std::string::npos);
      EXPECT_EQ(RawHeader(Answer, "Set-Cookie"), "<none>");
      EXPECT_EQ(Server->SessionCount(), 0u);
      EXPECT_TRUE(TakeLog().empty());  // the application never saw it
    } else {
      // The return address given to the provider is the public one when there is one.
      const std::string Expected = C.Public.empty() ? "http://" + C.Host + "/app" : C.Public;
      EXPECT_NE(RawHeader(Answer, "Location")
                    .find("redirect_uri=" + IWZelkAuthBase::URLEncode(Expected + "/") + "&"),
                std::string::npos)
          << RawHeader(Answer, "Location");
    }
    Server.reset();
  }
}

// Someone who learned a flow's state ends it from a browser without the session's cookie.
TEST_F(ServerTest, ACookielessReturnOnTheFlowsOwnHostIsRefused) {
  StartServer();
  const std::string A = NewSession();
  const std::string Flow = StartLogin(A);
  TakeLog();
  for (const std::string& Target :
       {"/app/?state=" + Flow + "&error=access_denied&error_description=Pwned",
        "/app/?clientid=" + Flow + "&code=forged"}) {
    auto R = Client().Get(Target);
    ASSERT_TRUE(R) << Target;
    EXPECT_EQ(R->status, 403) << Target;
    EXPECT_NE(R->body.find("This return from a provider belongs to another session"),
              std::string::npos);
    EXPECT_FALSE(R->has_header("Set-Cookie"));
  }
  EXPECT_TRUE(TakeLog().empty());  // neither reached the application
  EXPECT_EQ(Server->SessionCount(), 1u);
  // The victim's flow is still open and completes.
  auto Own = Client().Get("/app/?state=" + Flow + "&code=good", {{"Cookie", A}});
  ASSERT_TRUE(Own);
  EXPECT_EQ(Field(Own->body, "id"), "good");
}

// A page elsewhere makes the browser post to the application, with or without its cookie.
TEST_F(ServerTest, CrossSitePostsAreRefusedBeforeTheApplication) {
  StartServer();
  const std::string A = NewSession();
  const std::string Own = Base();
  struct TCase {
    const char* Name;
    std::vector<std::string> Lines;
    bool WithCookie;
    int Status;
  };
  const std::vector<TCase> Cases = {
      {"foreign origin", {"Origin: https://evil.example"}, true, 403},
      {"foreign origin, no cookie", {"Origin: https://evil.example"}, false, 403},
      {"opaque origin", {"Origin: null"}, true, 403},
      {"opaque origin from a sandboxed frame",
       {"Origin: null", "Sec-Fetch-Site: cross-site"},
       true,
       403},
      {"opaque origin, site unknown", {"Origin: null", "Sec-Fetch-Site: none"}, true, 403},
      {"own page under no-referrer", {"Origin: null", "Sec-Fetch-Site: same-origin"}, true, 200},
      {"same host, other port", {"Origin: http://127.0.0.1:1"}, true, 403},
      {"cross-site fetch", {"Sec-Fetch-Site: cross-site"}, true, 403},
      {"cross-site fetch with our origin",
       {"Origin: " + Own, "Sec-Fetch-Site: cross-site"},
       true,
       403},
      {"own origin", {"Origin: " + Own, "Sec-Fetch-Site: same-origin"}, true, 200},
      {"own origin in capitals",
       {"Origin: HTTP://127.0.0.1:" + std::to_string(Server->Port())},
       true,
       200},
      {"no origin (an older browser)", {}, true, 200},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    const std::size_t Before = Server->SessionCount();
    TakeLog();
    std::string Request =
        "POST /app/form HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(Server->Port()) +
        "\r\nContent-Type: application/x-www-form-urlencoded\r\n"
        "Content-Length: 6\r\nConnection: close\r\n";
    for (const auto& L : C.Lines)
      Request += L + "\r\n";
    if (C.WithCookie) Request += "Cookie: " + A + "\r\n";
    const std::string Answer = RawExchange(Server->Port(), Request + "\r\nmsg=hi");
    EXPECT_TRUE(Answer.starts_with("HTTP/1.1 " + std::to_string(C.Status)))
        << Answer.substr(0, 200);
    if (C.Status == 403) {
      EXPECT_NE(Answer.find("it was sent from another site&#39;s page"), std::string::npos)
          << Answer;
      EXPECT_EQ(RawHeader(Answer, "Set-Cookie"), "<none>");
      EXPECT_EQ(Server->SessionCount(), Before);
      EXPECT_TRUE(TakeLog().empty());
    } else {
      EXPECT_NE(Answer.find("msg=hi"), std::string::npos);
    }
  }
  // A cross-site GET (a link) still works: it changes nothing.
  auto Link = Client().Get("/app/page", {{"Cookie", A}, {"Sec-Fetch-Site", "cross-site"}});
  ASSERT_TRUE(Link);
  EXPECT_EQ(Link->status, 200);
}

TEST_F(ServerTest, EveryAnswerForbidsFramingAndReferrers) {
  TIWServerOptions O = Defaults();
  StartServer(O);
  const std::string Port = std::to_string(Server->Port());
  const std::vector<std::pair<const char*, std::string>> Cases = {
      {"page", RawGet("/app/")},
      {"redirect", RawGet("/app/go?to=/elsewhere")},
      {"no such page", RawGet("/app/none")},
      {"outside the application", RawGet("/other")},
      {"forged host", RawGet("/app/", "Host: evil.example\r\n")},
      {"refused by the engine", RawExchange(Server->Port(), "HELLO THERE\r\n\r\n")},
  };
  for (const auto& [Name, Answer] : Cases) {
    SCOPED_TRACE(Name);
    EXPECT_EQ(RawHeader(Answer, "Content-Security-Policy"), "frame-ancestors 'none'") << Answer;
    EXPECT_EQ(RawHeader(Answer, "Referrer-Policy"), "no-referrer");
    EXPECT_EQ(RawHeader(Answer, "X-Frame-Options"), "DENY");
  }
}

// ---- stopping ---------------------------------------------------------------------------------

TEST_F(ServerTest, RunUntilSignalStopsGracefullyAndFreesTheSessions) {
  for (const int Signal : {SIGTERM, SIGINT}) {
    Server.reset();
    EndedSessions = 0;
    StartServer();  // started already: RunUntilSignal then only waits
    NewSession();
    std::promise<void> Running;
    auto Result = std::async(std::launch::async,
                             [&] { return Server->RunUntilSignal([&] { Running.set_value(); }); });
    Running.get_future().wait();
    std::raise(Signal);
    EXPECT_EQ(Result.get(), Signal);
    EXPECT_FALSE(Server->Running());
    EXPECT_EQ(EndedSessions.load(), 1);
    EXPECT_EQ(Server->SessionCount(), 0u);
    EXPECT_FALSE(Client().Get("/app/"));  // no longer listening
  }
  // A programmatic Stop() ends the wait too.
  TIWServerOptions O = Defaults();
  auto Fresh = std::make_unique<TIWServer>(Controller, O);
  std::promise<void> Running;
  auto Result = std::async(std::launch::async,
                           [&] { return Fresh->RunUntilSignal([&] { Running.set_value(); }); });
  Running.get_future().wait();
  EXPECT_TRUE(Fresh->Running());
  Fresh->Stop();
  EXPECT_EQ(Result.get(), 0);
}

TEST_F(ServerTest, StartRefusesAPortInUseAndBadOptions) {
  StartServer();
  TIWServerOptions Same = Defaults();
  Same.Port = Server->Port();
  TIWServer Second(Controller, Same);
  try {
    Second.Start();
    ADD_FAILURE() << "a port in use was bound twice";
  } catch (const rtl::Exception& E) {
    EXPECT_EQ(E.Message(),
              "TIWServer.Start: cannot listen on 127.0.0.1:" + std::to_string(Same.Port) +
                  " (the address is not available or the port is in use)");
  }
  TIWServerOptions Bad = Defaults();
  Bad.TrustedProxies = {"proxy.example"};
  EXPECT_THROW((TIWServer{Controller, Bad}), rtl::Exception);
  Bad = Defaults();
  Bad.RedirectStatus = 301;
  EXPECT_THROW((TIWServer{Controller, Bad}), rtl::Exception);
  Bad = Defaults();
  Bad.CookieName = "a;b";
  EXPECT_THROW((TIWServer{Controller, Bad}), rtl::Exception);
  Bad = Defaults();
  Bad.KeepAliveMaxCount = 0;
  EXPECT_THROW((TIWServer{Controller, Bad}), rtl::Exception);
  Bad = Defaults();
  Bad.KeepAliveTimeout = 500ms;
  EXPECT_THROW((TIWServer{Controller, Bad}), rtl::Exception);
  EXPECT_THROW(Server->AddRoute("GET", "/late", {}), rtl::Exception);  // after Start
}

// A connection serves KeepAliveMaxCount requests one after another; the last answer says it
// closes the connection, and the server then does.
TEST_F(ServerTest, KeptAliveConnectionServesUpToKeepAliveMaxCountRequests) {
  TIWServerOptions O = Defaults();
  O.KeepAliveMaxCount = 3;
  StartServer(O);
  const TLoopbackSocket S(Server->Port());
  ASSERT_TRUE(S.Connected());
  const std::string Request = "GET /elsewhere HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  std::string Pending;
  char Buffer[4096];
  // Reads one whole answer off the connection; empty when the server closed it instead.
  const auto NextAnswer = [&]() -> std::string {
    for (;;) {
      const auto End = Pending.find("\r\n\r\n");
      const auto Length = Pending.find("\r\nContent-Length: ");
      if (End != std::string::npos && Length != std::string::npos && Length < End) {
        const std::size_t Total = End + 4 + std::stoul(Pending.substr(Length + 18));
        if (Pending.size() >= Total) {
          std::string Answer = Pending.substr(0, Total);
          Pending.erase(0, Total);
          return Answer;
        }
      }
      const ssize_t N = recv(S.FD, Buffer, sizeof Buffer, 0);
      if (N <= 0) return {};
      Pending.append(Buffer, static_cast<std::size_t>(N));
    }
  };
  for (int I = 1; I <= 3; ++I) {
    ASSERT_EQ(send(S.FD, Request.data(), Request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(Request.size()));
    const std::string Answer = NextAnswer();
    ASSERT_TRUE(Answer.starts_with("HTTP/1.1 404 ")) << "request " << I << ": " << Answer;
    // HTTP/1.1 keeps the connection unless told otherwise.
    EXPECT_EQ(RawHeader(Answer, "Connection"), I < 3 ? "<none>" : "close") << I;
  }
  send(S.FD, Request.data(), Request.size(), MSG_NOSIGNAL);
  EXPECT_EQ(NextAnswer(), "");
}

// ---- HTTPS ------------------------------------------------------------------------------------

// A self-signed certificate for 127.0.0.1 made now, written to two PEM files.
struct TTestCertificate {
  std::filesystem::path Dir;
  std::string CertFile;
  std::string KeyFile;

  TTestCertificate() { Make(); }
  void Make() {
    Dir = std::filesystem::temp_directory_path() /
          ("zelk-web-test-" + std::to_string(::getpid()) + "-" +
           std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    std::filesystem::create_directories(Dir);
    CertFile = (Dir / "cert.pem").string();
    KeyFile = (Dir / "key.pem").string();
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> Key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> Cert(X509_new(), X509_free);
    ASSERT_TRUE(Key && Cert);
    X509_set_version(Cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(Cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(Cert.get()), -60);
    X509_gmtime_adj(X509_getm_notAfter(Cert.get()), 3600);
    X509_set_pubkey(Cert.get(), Key.get());
    X509_NAME* Name = X509_get_subject_name(Cert.get());
    X509_NAME_add_entry_by_txt(Name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
    X509_set_issuer_name(Cert.get(), Name);
    ASSERT_GT(X509_sign(Cert.get(), Key.get(), EVP_sha256()), 0);
    std::unique_ptr<FILE, decltype(&fclose)> C(fopen(CertFile.c_str(), "w"), fclose);
    std::unique_ptr<FILE, decltype(&fclose)> K(fopen(KeyFile.c_str(), "w"), fclose);
    ASSERT_TRUE(C && K);
    PEM_write_X509(C.get(), Cert.get());
    PEM_write_PrivateKey(K.get(), Key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  }
  ~TTestCertificate() { std::filesystem::remove_all(Dir); }
};

TEST_F(ServerTest, ServesHttpsWithASecureCookie) {
  const TTestCertificate Certificate;
  TIWServerOptions O = Defaults();
  O.CertificateFile = Certificate.CertFile;
  O.PrivateKeyFile = Certificate.KeyFile;
  StartServer(O);
  EXPECT_EQ(Server->URL(), "https://127.0.0.1:" + std::to_string(Server->Port()) + "/app");
  httplib::SSLClient Tls("127.0.0.1", Server->Port());
  Tls.enable_server_certificate_verification(false);  // self-signed, made by this test
  auto R = Tls.Get("/app/");
  ASSERT_TRUE(R) << httplib::to_string(R.error());
  EXPECT_EQ(R->status, 200);
  EXPECT_EQ(Field(R->body, "url"), "https://127.0.0.1:" + std::to_string(Server->Port()) + "/app");
  const std::string SetCookie = R->get_header_value("Set-Cookie");
  EXPECT_TRUE(std::regex_match(
      SetCookie,
      std::regex("__Host-zelk_session=[0-9a-f]{64}; Path=/; HttpOnly; SameSite=Lax; Secure")))
      << SetCookie;
  // Only the prefixed cookie names the session: one without the prefix, which a neighbouring
  // host or plain http could have planted, is ignored.
  const std::string ID = SetCookie.substr(SetCookie.find('=') + 1, 64);
  auto Planted = Tls.Get("/app/", {{"Cookie", "zelk_session=" + ID}});
  ASSERT_TRUE(Planted);
  EXPECT_NE(Field(Planted->body, "session"), ID);
  auto Own = Tls.Get("/app/", {{"Cookie", "__Host-zelk_session=" + ID}});
  ASSERT_TRUE(Own);
  EXPECT_EQ(Field(Own->body, "session"), ID);

  TIWServerOptions Missing = Defaults();
  Missing.CertificateFile = (Certificate.Dir / "none.pem").string();
  Missing.PrivateKeyFile = Certificate.KeyFile;
  TIWServer NoCert(Controller, Missing);
  EXPECT_THROW(NoCert.Start(), rtl::Exception);
}

// ---- behind a load balancer: readiness and draining ----------------------------------------

TEST_F(ServerTest, ReadinessRouteSays200UntilTheServerDrainsThen503AndMakesNoSession) {
  StartServer();
  const std::string Cookie = NewSession();
  const int Sessions = static_cast<int>(Server->SessionCount());
  auto Ready = Client().Get("/healthz");
  ASSERT_TRUE(Ready);
  EXPECT_EQ(Ready->status, 200);
  EXPECT_EQ(Ready->body, "ready\n");
  EXPECT_EQ(Ready->get_header_value("Cache-Control"), "no-store");
  EXPECT_FALSE(Ready->has_header("Set-Cookie"));
  EXPECT_EQ(Client().Head("/healthz")->status, 200);
  EXPECT_EQ(Client().Post("/healthz", "", "text/plain")->status, 404);  // only GET and HEAD
  EXPECT_FALSE(Server->Draining());

  Server->BeginDrain();
  EXPECT_TRUE(Server->Draining());
  auto Draining = Client().Get("/healthz");
  ASSERT_TRUE(Draining);
  EXPECT_EQ(Draining->status, 503);
  EXPECT_EQ(Draining->body, "draining\n");
  // A browser without a session is turned away, so that the balancer can send it elsewhere...
  auto Fresh = Client().Get("/app/");
  ASSERT_TRUE(Fresh);
  EXPECT_EQ(Fresh->status, 503);
  EXPECT_NE(Fresh->body.find("This server is shutting down and starts no new sessions."),
            std::string::npos);
  EXPECT_EQ(Fresh->get_header_value("Retry-After"), "1");
  EXPECT_FALSE(Fresh->has_header("Set-Cookie"));
  // ...while the sessions there are go on.
  auto Own = Client().Get("/app/page", {{"Cookie", Cookie}});
  ASSERT_TRUE(Own);
  EXPECT_EQ(Own->status, 200);
  EXPECT_EQ(Field(Own->body, "session"), Cookie.substr(Cookie.find('=') + 1));
  EXPECT_EQ(static_cast<int>(Server->SessionCount()), Sessions);

  // No readiness route when it is switched off; a path that is not one is refused.
  TIWServerOptions O = Defaults();
  O.ReadinessPath.clear();
  StartServer(O);
  EXPECT_EQ(Client().Get("/healthz")->status, 404);
  O.ReadinessPath = "healthz";
  EXPECT_THROW((TIWServer{Controller, O}), rtl::Exception);
  O = Defaults();
  O.DrainTimeout = -1ms;
  EXPECT_THROW((TIWServer{Controller, O}), rtl::Exception);
}

TEST_F(ServerTest, DrainWaitsForAFlowInProgressWhichStillCompletes) {
  TIWServerOptions O = Defaults();
  O.DrainTimeout = 200ms;
  O.DrainQuietTime = 0ms;
  StartServer(O);
  const std::string Cookie = NewSession();
  const std::string Flow = StartLogin(Cookie);
  ASSERT_FALSE(Flow.empty());
  // The flow waits for its provider's return: the drain runs out its time.
  EXPECT_FALSE(Server->Drain());
  EXPECT_TRUE(Server->Draining());
  // The return reaches its session while the server drains, and the flow completes...
  auto Back = Client().Get("/app/?state=" + Flow + "&code=drained", {{"Cookie", Cookie}});
  ASSERT_TRUE(Back);
  EXPECT_EQ(Back->status, 200);
  EXPECT_EQ(Field(Back->body, "id"), "drained");
  EXPECT_EQ(Field(Back->body, "result"), "1");
  // ...after which nothing is left to wait for.
  EXPECT_TRUE(Server->Drain());
  // Stop() from another thread ends a drain that is still waiting.
  TIWServerOptions Long = Defaults();
  Long.DrainTimeout = 60s;
  StartServer(Long);
  const std::string Other = NewSession();
  ASSERT_FALSE(StartLogin(Other).empty());
  auto Waiting = std::async(std::launch::async, [&] { return Server->Drain(); });
  Server->Stop();
  EXPECT_FALSE(Waiting.get());
}

}  // namespace
}  // namespace zelk::web
