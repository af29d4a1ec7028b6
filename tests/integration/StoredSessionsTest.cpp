// Sessions kept in a session store (Redis of the test's own): two servers sharing one store and
// one key file carry each other's sessions and flows on, across restarts and dead instances;
// one flow completes once; a store that fails makes requests fail clearly; records that do not
// open count as no session.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/IWZelkAuthBase.h"
#include "platform/rtl/ClassRegistry.h"
#include "platform/web/server/IWServer.h"
#include "support/RedisServer.h"

namespace zelk::web {
namespace {

using namespace std::chrono_literals;
using IWZelkAuthBase::TZIWAuthServerController;
using IWZelkAuthBase::TZIWCustomCloudClient;

// Provider calls made by every probe of the test, on every server: a flow must complete once.
std::atomic<int> GProviderCalls{0};
// The store a return with "pause" pauses during its provider call.
std::atomic<testing::TRedisServer*> GPauseStore{nullptr};

// A client that sends the browser to a made-up provider and, on the return, takes "code" as
// the signed-in user's id. Its state is the base's (outcome, user id, the flow in progress).
class TStoreProbe : public TZIWCustomCloudClient {
 public:
  using TZIWCustomCloudClient::LoginID;
  using TZIWCustomCloudClient::TZIWCustomCloudClient;
  ~TStoreProbe() override { Detach(); }
  std::string ClassName() const override { return "TStoreProbe"; }

  void Login(TIWApplication* App) override {
    auto L = Lock();
    const std::string Id = NewFlowIdentifier();
    App->GoToURL("https://provider.example/auth?state=" + Id);
  }
  void LoginResponse(const THttpRequest& Request) override {
    auto L = Lock();
    ++GProviderCalls;
    // A provider that takes a moment, so that concurrent returns overlap.
    if (!Request.Query("slow").empty()) std::this_thread::sleep_for(200ms);
    if (auto* Store = GPauseStore.load(); Store && !Request.Query("pause").empty()) Store->Pause();
    SetLoginResult(IWZelkAuthBase::resOK);
    SetLoginID(Request.Query("code"));
    ReachOutcome();
    TZIWCustomCloudClient::LoginResponse(Request);
  }
};

void RegisterProbe() {
  static std::once_flag Once;
  std::call_once(Once, [] {
    IWZelkAuthBase::RegisterAuthBaseClasses();
    rtl::TClassInfo Info;
    Info.Name = "TStoreProbe";
    Info.ParentName = "TZIWCustomCloudClient";
    Info.Create = [](rtl::TComponent* Owner) { return new TStoreProbe(Owner); };
    rtl::TClassRegistry::RegisterClass(std::move(Info));
  });
}

// One instance of the application: its controller, auth controller and server.
struct TInstance {
  TIWServerControllerBase Controller{nullptr};
  TZIWAuthServerController* Auth = new TZIWAuthServerController(&Controller);
  std::unique_ptr<TIWServer> Server;
  std::mutex ErrorMutex;
  std::vector<std::string> Errors;  // what the server told its OnError

  explicit TInstance(TIWServerOptions O) {
    Server = std::make_unique<TIWServer>(Controller, std::move(O));
    Server->SetOnError([this](const std::string& Message) {
      std::lock_guard L(ErrorMutex);
      Errors.push_back(Message);
    });
    Server->SetOnNewSession([this](TIWApplication& App) {
      auto* C = new TStoreProbe(&App);
      C->SetName("Probe");
      C->SetServerController(Auth);
    });
    Controller.OnBeforeDispatch = [this](THttpRequest& R, TIWApplication*) {
      Auth->ProcessRequest(R);
    };
    Server->AddRoute("GET", "/", [](TIWApplication& App, const THttpRequest&, THttpResponse& Out) {
      auto* C = dynamic_cast<TStoreProbe*>(App.FindComponent("Probe"));
      App.SetValue("visits", std::to_string(std::stoi("0" + App.Value("visits")) + 1));
      Out.SetContent("id=" + C->LoginID() + "\nvisits=" + App.Value("visits") + "\n", "text/plain");
    });
    Server->AddRoute("GET", "/peek",
                     [](TIWApplication& App, const THttpRequest&, THttpResponse& Out) {
                       auto* C = dynamic_cast<TStoreProbe*>(App.FindComponent("Probe"));
                       Out.SetContent("id=" + C->LoginID() + "\n", "text/plain");
                     });
    Server->AddRoute("GET", "/login", [](TIWApplication& App, const THttpRequest&, THttpResponse&) {
      dynamic_cast<TStoreProbe*>(App.FindComponent("Probe"))->Login(&App);
    });
    Server->AddRoute(
        "POST", "/signout",
        [](TIWApplication& App, const THttpRequest&, THttpResponse&) { App.EndSession(); });
    Server->Start();
  }
  ~TInstance() { Server.reset(); }

  httplib::Client Client() const {
    httplib::Client C("127.0.0.1", Server->Port());
    C.set_url_encode(false);
    C.set_read_timeout(30, 0);
    return C;
  }
};

std::string Field(const std::string& Body, const std::string& Name) {
  const auto P = Body.find(Name + "=");
  if (P == std::string::npos) return "<none>";
  const auto Start = P + Name.size() + 1;
  return Body.substr(Start, Body.find('\n', Start) - Start);
}

std::string CookieOf(const httplib::Result& R) {
  const std::string SetCookie = R->get_header_value("Set-Cookie");
  return SetCookie.substr(0, SetCookie.find(';'));
}

// The value of a Prometheus sample line, or -1.
double Metric(const std::string& Text, const std::string& Name) {
  const auto P = Text.find("\n" + Name + " ");
  if (P == std::string::npos) return -1;
  return std::stod(Text.substr(P + Name.size() + 2));
}

class StoredSessionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterProbe();
    KeyFile = std::filesystem::temp_directory_path() /
              ("zelk-keys-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::ofstream(KeyFile) << "k2 " << std::string(64, 'b') << "\nk1 " << std::string(64, 'a')
                           << "\n";
  }
  void TearDown() override { std::filesystem::remove(KeyFile); }

  TIWServerOptions Options() const {
    TIWServerOptions O;
    O.Port = 0;
    O.SessionStore = Redis.URL();
    O.SessionKeyFile = KeyFile.string();
    O.SessionLeaseTime = 400ms;
    O.MaxNewSessionsPerMinute = 0;
    return O;
  }
  std::unique_ptr<TInstance> Instance() const { return std::make_unique<TInstance>(Options()); }

  // Signs the session of Cookie in on From as User through a flow started there; returns the
  // session's new cookie.
  static std::string SignIn(TInstance& From, const std::string& Cookie, const std::string& User) {
    const std::string Flow = StartLogin(From, Cookie);
    auto R = From.Client().Get("/?state=" + Flow + "&code=" + User, {{"Cookie", Cookie}});
    EXPECT_TRUE(R && R->status == 200);
    return R ? CookieOf(R) : "";
  }
  static std::string StartLogin(TInstance& On, const std::string& Cookie) {
    auto R = On.Client().Get("/login", {{"Cookie", Cookie}});
    EXPECT_TRUE(R && R->status == 303);
    const std::string Location = R ? R->get_header_value("Location") : "";
    return Location.substr(Location.find("state=") + 6);
  }

  testing::TRedisServer Redis;
  std::filesystem::path KeyFile;
};

// ---- what survives what -------------------------------------------------------------------

TEST_F(StoredSessionsTest, AnotherInstanceCarriesOnAfterARestartWithTheUserAndTheFlowsInProgress) {
  auto A = Instance();
  auto B = Instance();
  auto First = A->Client().Get("/");
  ASSERT_TRUE(First && First->status == 200);
  const std::string Anonymous = CookieOf(First);
  const std::string Cookie = SignIn(*A, Anonymous, "ada");
  ASSERT_NE(Cookie, Anonymous);
  // The other instance has never seen the session: it comes from the store, signed in.
  auto OnB = B->Client().Get("/", {{"Cookie", Cookie}});
  ASSERT_TRUE(OnB);
  EXPECT_EQ(Field(OnB->body, "id"), "ada");
  EXPECT_EQ(Field(OnB->body, "visits"), "3");
  EXPECT_FALSE(OnB->has_header("Set-Cookie"));
  // A flow started on B completes on A, which works on its own copy again after B's change.
  const std::string Flow = StartLogin(*B, Cookie);
  auto Back = A->Client().Get("/?state=" + Flow + "&code=grace", {{"Cookie", Cookie}});
  ASSERT_TRUE(Back);
  EXPECT_EQ(Field(Back->body, "id"), "grace");
  EXPECT_EQ(Field(Back->body, "visits"), "4");
  const std::string Renewed = CookieOf(Back);
  ASSERT_FALSE(Renewed.empty());
  // The id given up at the renewal names nothing, on either instance (B's copy under it has
  // ended).
  auto Old = B->Client().Get("/peek", {{"Cookie", Cookie}});
  ASSERT_TRUE(Old);
  EXPECT_EQ(Old->status, 404);
  EXPECT_EQ(Old->body.find("grace"), std::string::npos);

  // A deploy: both instances restart. Nobody is signed out, and a flow started before the
  // restart completes after it.
  const std::string Pending = StartLogin(*A, Renewed);
  A.reset();
  B.reset();
  auto C = Instance();
  auto Page = C->Client().Get("/peek", {{"Cookie", Renewed}});
  ASSERT_TRUE(Page);
  EXPECT_EQ(Field(Page->body, "id"), "grace");
  auto Done = C->Client().Get("/?state=" + Pending + "&code=hopper", {{"Cookie", Renewed}});
  ASSERT_TRUE(Done);
  EXPECT_EQ(Field(Done->body, "id"), "hopper");
}

TEST_F(StoredSessionsTest, ADeadInstancesSessionsAreTakenOverOnceItsLeaseRunsOut) {
  auto A = Instance();
  const std::string Cookie = SignIn(*A, CookieOf(A->Client().Get("/")), "ada");
  const std::string Flow = StartLogin(*A, Cookie);
  // A dies while it holds the session's lease: nothing is given back.
  const std::string Id = Cookie.substr(Cookie.find('=') + 1);
  Redis.Command({"SET", "zelk:l:" + Id, "dead-instance", "PX", "600"});
  auto B = Instance();
  // B waits for the dead lease to run out, then carries on with the flow.
  auto R = B->Client().Get("/?state=" + Flow + "&code=grace", {{"Cookie", Cookie}});
  ASSERT_TRUE(R);
  EXPECT_EQ(R->status, 200);
  EXPECT_EQ(Field(R->body, "id"), "grace");
}

TEST_F(StoredSessionsTest, ASignInCompletedWhileTheStoreFailsIsNeverLost) {
  TIWServerOptions O = Options();
  O.SessionSaveWait = 300ms;
  auto A = std::make_unique<TInstance>(O);
  auto B = Instance();
  const auto Saves = [&] {
    auto M = A->Client().Get("/metrics");
    return M ? Metric(M->body, "zelk_session_saves_total") : -1;
  };
  GProviderCalls = 0;

  // The store stops answering while the provider redeems the code, for longer than the
  // request waits: the sign-in has happened, but its save fails.
  std::string Cookie = CookieOf(A->Client().Get("/"));
  std::string Flow = StartLogin(*A, Cookie);
  GPauseStore = &Redis;
  auto R = A->Client().Get("/?state=" + Flow + "&code=ada&pause=1", {{"Cookie", Cookie}});
  GPauseStore = nullptr;
  ASSERT_TRUE(R);
  EXPECT_EQ(R->status, 500);  // not a 503, which a balancer would replay elsewhere
  EXPECT_NE(R->body.find("reload this page in a few seconds"), std::string::npos);
  // The browser follows the signed-in session's new id even so.
  const std::string Renewed = CookieOf(R);
  ASSERT_FALSE(Renewed.empty());
  EXPECT_NE(Renewed, Cookie);
  const double SavedBefore = Saves();
  Redis.Resume();
  // A saves it as soon as the store answers, without a request: an instance that never saw
  // the session finds the user signed in, and the provider was called once.
  const auto Deadline = std::chrono::steady_clock::now() + 10s;
  while (Saves() <= SavedBefore && std::chrono::steady_clock::now() < Deadline)
    std::this_thread::sleep_for(20ms);
  // Saved by this copy (resent as it was: the store may have carried the failed attempt out
  // when it woke up), not dropped as if another instance had changed it.
  EXPECT_GT(Saves(), SavedBefore);
  auto OnB = B->Client().Get("/peek", {{"Cookie", Renewed}});
  ASSERT_TRUE(OnB);
  EXPECT_EQ(Field(OnB->body, "id"), "ada");
  EXPECT_EQ(GProviderCalls, 1);
  // The id the sign-in renewed names nothing any more.
  auto Old = B->Client().Get("/peek", {{"Cookie", Cookie}});
  ASSERT_TRUE(Old);
  EXPECT_NE(Field(Old->body, "id"), "ada");

  // A shorter outage: the request waits it out and answers as if nothing had happened.
  A.reset();
  O.SessionSaveWait = 10s;
  A = std::make_unique<TInstance>(O);
  Cookie = CookieOf(A->Client().Get("/"));
  Flow = StartLogin(*A, Cookie);
  GPauseStore = &Redis;
  std::thread Later([&] {
    // Resumed once the provider call has paused it.
    while (GProviderCalls.load() < 2)
      std::this_thread::yield();
    std::this_thread::sleep_for(300ms);  // an outage of a while, not a synchronisation
    Redis.Resume();
  });
  R = A->Client().Get("/?state=" + Flow + "&code=grace&pause=1", {{"Cookie", Cookie}});
  GPauseStore = nullptr;
  Later.join();
  ASSERT_TRUE(R);
  EXPECT_EQ(R->status, 200);
  EXPECT_EQ(Field(R->body, "id"), "grace");
  EXPECT_FALSE(CookieOf(R).empty());
}

TEST_F(StoredSessionsTest, AReturnWhoseAnswerWasLostIsGivenTheRenewedIdOnlyWhenSentAgainWhole) {
  auto A = Instance();
  auto B = Instance();
  const std::string Cookie = CookieOf(A->Client().Get("/"));
  const std::string Flow = StartLogin(*A, Cookie);
  const std::string Return = "/?state=" + Flow + "&code=ada";
  auto R = A->Client().Get(Return, {{"Cookie", Cookie}});
  ASSERT_TRUE(R && R->status == 200);
  const std::string Renewed = CookieOf(R);
  ASSERT_FALSE(Renewed.empty());
  // The answer never reached the browser (its instance stopped): the browser sends the same
  // return again, with the id it has, to another instance, and is given the renewed one.
  auto Again = B->Client().Get(Return, {{"Cookie", Cookie}});
  ASSERT_TRUE(Again);
  EXPECT_EQ(Again->status, 303);
  EXPECT_EQ(CookieOf(Again), Renewed);
  auto Page = B->Client().Get("/peek", {{"Cookie", CookieOf(Again)}});
  ASSERT_TRUE(Page);
  EXPECT_EQ(Field(Page->body, "id"), "ada");
  // Whoever lacks the return's code, or the old id, gets nothing of it: a planted id with a
  // guessed return, or the return with another id.
  for (const auto& [Target, Id] : std::vector<std::pair<std::string, std::string>>{
           {"/?state=" + Flow + "&code=guess", Cookie},
           {Return, "zelk_session=" + std::string(64, 'c')},
           {Return + "&x=1", Cookie}}) {
    auto Probe = B->Client().Get(Target, {{"Cookie", Id}});
    ASSERT_TRUE(Probe) << Target;
    EXPECT_NE(CookieOf(Probe), Renewed) << Target << " " << Id;
    EXPECT_EQ(Probe->body.find("id=ada"), std::string::npos) << Target;
  }
}

// ---- once only ----------------------------------------------------------------------------

TEST_F(StoredSessionsTest, OneReturnSentToTwoInstancesAtOnceCallsTheProviderOnce) {
  auto A = Instance();
  auto B = Instance();
  const std::string Cookie = CookieOf(A->Client().Get("/"));
  const std::string Flow = StartLogin(*A, Cookie);
  GProviderCalls = 0;
  const std::string Target = "/?state=" + Flow + "&code=once&slow=1";
  auto OnA = std::async(std::launch::async, [&] {
    return A->Client().Get(Target, {{"Cookie", Cookie}});
  });
  auto OnB = std::async(std::launch::async, [&] {
    return B->Client().Get(Target, {{"Cookie", Cookie}});
  });
  auto RA = OnA.get();
  auto RB = OnB.get();
  ASSERT_TRUE(RA && RB);
  EXPECT_EQ(GProviderCalls, 1);
  // The instance that came second waited for the first one's lease; by then the sign-in had
  // given the session a new id, so the old one named nothing there.
  EXPECT_EQ((Field(RA->body, "id") == "once") + (Field(RB->body, "id") == "once"), 1)
      << RA->body << "\n"
      << RB->body;
}

TEST_F(StoredSessionsTest, AReturnClaimedByAnInstanceThatDiedIsCompletedByTheNextHolder) {
  auto A = Instance();
  const std::string Cookie = CookieOf(A->Client().Get("/"));
  const std::string Id = Cookie.substr(Cookie.find('=') + 1);
  const std::string Flow = StartLogin(*A, Cookie);
  A.reset();
  // The dead instance had taken the session's lease, claimed the flow's completion and then
  // stopped before saving: the next instance waits for the lease to run out, takes the claim
  // over and completes the return (the provider's own checks stop a code used twice).
  Redis.Command({"SET", "zelk:l:" + Id, "dead-instance", "PX", "300"});
  Redis.Command({"SET", "zelk:c:" + Flow, "dead-instance", "PX", "60000"});
  auto B = Instance();
  GProviderCalls = 0;
  auto R = B->Client().Get("/?state=" + Flow + "&code=again", {{"Cookie", Cookie}});
  ASSERT_TRUE(R);
  EXPECT_EQ(R->status, 200);
  EXPECT_EQ(Field(R->body, "id"), "again");
  EXPECT_EQ(GProviderCalls, 1);
  auto Metrics = B->Client().Get("/metrics");
  ASSERT_TRUE(Metrics);
  EXPECT_EQ(Metric(Metrics->body, "zelk_flow_claims_taken_over_total"), 1) << Metrics->body;
  // The flow is spent: the same return once more calls nobody.
  R = B->Client().Get("/?state=" + Flow + "&code=again", {{"Cookie", Cookie}});
  ASSERT_TRUE(R);
  EXPECT_EQ(GProviderCalls, 1);
}

// ---- the store's records and round trips ---------------------------------------------------

TEST_F(StoredSessionsTest, RecordsAreSealedAndOneThatDoesNotOpenIsNoSession) {
  auto A = Instance();
  const std::string Cookie = SignIn(*A, CookieOf(A->Client().Get("/")), "secret-user-id");
  const std::string Id = Cookie.substr(Cookie.find('=') + 1);
  const std::string Stored = Redis.Command({"HGET", "zelk:s:" + Id, "d"});
  ASSERT_TRUE(Stored.starts_with("zk1")) << Stored.substr(0, 8);
  EXPECT_EQ(Stored.find("secret-user-id"), std::string::npos);
  // The record is written under the key ring's first key.
  EXPECT_EQ(Stored.substr(4, 2), "k2");
  // One byte changed: B finds no session behind the cookie and starts a fresh one.
  std::string Tampered = Stored;
  Tampered[Tampered.size() - 1] ^= 1;
  Redis.Command({"HSET", "zelk:s:" + Id, "d", Tampered});
  auto B = Instance();
  auto R = B->Client().Get("/peek", {{"Cookie", Cookie}});
  ASSERT_TRUE(R);
  EXPECT_EQ(Field(R->body, "id"), "");
  EXPECT_NE(CookieOf(R), Cookie);
  auto Metrics = B->Client().Get("/metrics");
  ASSERT_TRUE(Metrics && Metrics->status == 200);
  EXPECT_EQ(Metric(Metrics->body, "zelk_session_records_refused_total"), 1) << Metrics->body;
}

TEST_F(StoredSessionsTest, ARequestThatChangesNothingCostsAtMostOneRoundTripAndWritesNothing) {
  // A lease long enough that nothing here runs out or is given back while the test runs.
  TIWServerOptions O = Options();
  O.SessionLeaseTime = 60s;
  auto A = std::make_unique<TInstance>(O);
  auto B = std::make_unique<TInstance>(O);
  const auto Figure = [](TInstance& I, const char* Name) {
    return Metric(I.Client().Get("/metrics")->body, Name);
  };
  const std::string Cookie = SignIn(*A, CookieOf(A->Client().Get("/")), "ada");
  struct TStep {
    const char* Name;
    TInstance& On;
    double RoundTrips;
  };
  // Where this instance holds the session's lease (it took it less than half its time ago),
  // nobody else can have saved: the copy is current without asking. Elsewhere the first
  // request asks for the lease (once the holder has let it go: deleted here rather than waited
  // for) and loads the record; the next ones cost nothing either.
  const TStep Steps[] = {{"the holder, five times", *A, 0},
                         {"another instance, first", *B, -1},
                         {"another instance, five times", *B, 0}};
  for (const TStep& S : Steps) {
    SCOPED_TRACE(S.Name);
    const double Trips = Figure(S.On, "zelk_session_store_round_trips_total");
    const double Saves = Figure(S.On, "zelk_session_saves_total");
    for (int I = 0; I < (S.RoundTrips < 0 ? 1 : 5); ++I) {
      if (S.RoundTrips < 0) Redis.Command({"DEL", "zelk:l:" + Cookie.substr(Cookie.find('=') + 1)});
      auto R = S.On.Client().Get("/peek", {{"Cookie", Cookie}});
      ASSERT_TRUE(R && R->status == 200);
      EXPECT_EQ(Field(R->body, "id"), "ada");
    }
    // (A restored session may be written once as this version of the application writes it.)
    if (S.RoundTrips >= 0) {
      EXPECT_EQ(Figure(S.On, "zelk_session_store_round_trips_total") - Trips, S.RoundTrips);
      EXPECT_EQ(Figure(S.On, "zelk_session_saves_total") - Saves, 0);
    }
  }
}

TEST_F(StoredSessionsTest, ANewSessionAndARenewedIdAreEachWrittenInOneRoundTrip) {
  TIWServerOptions O = Options();
  O.SessionLeaseTime = 60s;  // held throughout: no request of this test asks for it again
  auto A = std::make_unique<TInstance>(O);
  const auto Figure = [&](const char* Name) {
    return Metric(A->Client().Get("/metrics")->body, Name);
  };
  CookieOf(A->Client().Get("/"));  // the store's connection is made
  struct TStep {
    const char* Name;
    std::function<void()> Run;
    double RoundTrips;  // what the step costs
    double Saves;
  };
  std::string Cookie, Flow, Renewed;
  const std::vector<TStep> Steps{
      // The first save of a new session takes its lease too.
      {"a new session", [&] { Cookie = CookieOf(A->Client().Get("/")); }, 1, 1},
      // The save alone: this instance holds the lease since the first save.
      {"a sign-in started", [&] { Flow = StartLogin(*A, Cookie); }, 1, 1},
      // The claim on the flow's completion, and the renewed id's first save, which also
      // deletes the old id's record and lease.
      {"the return, with the id renewed",
       [&] {
         auto R = A->Client().Get("/?state=" + Flow + "&code=ada", {{"Cookie", Cookie}});
         ASSERT_TRUE(R && R->status == 200);
         Renewed = CookieOf(R);
       },
       2, 1},
  };
  for (const TStep& S : Steps) {
    SCOPED_TRACE(S.Name);
    const double Trips = Figure("zelk_session_store_round_trips_total");
    const double Saves = Figure("zelk_session_saves_total");
    S.Run();
    EXPECT_EQ(Figure("zelk_session_store_round_trips_total") - Trips, S.RoundTrips);
    EXPECT_EQ(Figure("zelk_session_saves_total") - Saves, S.Saves);
  }
  const std::string Old = Cookie.substr(Cookie.find('=') + 1);
  const std::string New = Renewed.substr(Renewed.find('=') + 1);
  ASSERT_FALSE(New.empty());
  ASSERT_NE(New, Old);
  EXPECT_EQ(Redis.Command({"EXISTS", "zelk:s:" + Old, "zelk:l:" + Old}), "0");
  EXPECT_EQ(Redis.Command({"HGET", "zelk:s:" + New, "v"}), "1");
  EXPECT_NE(Redis.Command({"GET", "zelk:l:" + New}), "(nil)");
  // Another instance carries the renewed session on, signed in, once A has stopped (and given
  // its lease back); the old cookie names nothing.
  A.reset();
  auto B = Instance();
  EXPECT_EQ(Field(B->Client().Get("/peek", {{"Cookie", Renewed}})->body, "id"), "ada");
  EXPECT_EQ(Field(B->Client().Get("/peek", {{"Cookie", Cookie}})->body, "id"), "");
}

TEST_F(StoredSessionsTest, SigningOutDeletesTheStoredSession) {
  auto A = Instance();
  const std::string Cookie = SignIn(*A, CookieOf(A->Client().Get("/")), "ada");
  const std::string Id = Cookie.substr(Cookie.find('=') + 1);
  ASSERT_EQ(Redis.Command({"EXISTS", "zelk:s:" + Id}), "1");
  ASSERT_EQ(A->Client().Post("/signout", {{"Cookie", Cookie}}, "", "text/plain")->status, 200);
  EXPECT_EQ(Redis.Command({"EXISTS", "zelk:s:" + Id}), "0");
  auto B = Instance();
  EXPECT_EQ(Field(B->Client().Get("/peek", {{"Cookie", Cookie}})->body, "id"), "");
}

// ---- when the store fails ------------------------------------------------------------------

TEST_F(StoredSessionsTest, AStoreThatFailsGets503AndHealthzSaysSoUntilItIsBack) {
  auto Signer = Instance();
  const std::string Cookie = SignIn(*Signer, CookieOf(Signer->Client().Get("/")), "ada");
  Signer.reset();
  // An instance that has to ask the store for the session (the one that held it in memory,
  // and held its lease, could answer a request that changes nothing without the store).
  auto A = Instance();
  A->Client().Get("/healthz");  // its connection to the store is made
  Redis.Pause();
  for (const std::string& Target : {std::string("/peek"), std::string("/login")}) {
    auto R = A->Client().Get(Target, {{"Cookie", Cookie}});
    ASSERT_TRUE(R) << Target;
    EXPECT_EQ(R->status, 503) << Target;
    EXPECT_EQ(R->get_header_value("Retry-After"), "5");
    EXPECT_NE(R->body.find("cannot reach its session store"), std::string::npos);
  }
  // No session is started from memory either.
  EXPECT_EQ(A->Client().Get("/")->status, 503);
  {
    std::lock_guard L(A->ErrorMutex);
    ASSERT_FALSE(A->Errors.empty());
    EXPECT_TRUE(A->Errors[0].starts_with("The session store failed: Session store " +
                                         Redis.HostPort() + ": "))
        << A->Errors[0];
  }
  // The readiness route tells the balancer (asked again after its half-second cache).
  std::string Health;
  for (int I = 0; I < 50 && Health.find("unreachable") == std::string::npos; ++I) {
    std::this_thread::sleep_for(50ms);
    Health = A->Client().Get("/healthz")->body;
  }
  EXPECT_EQ(Health, "session store unreachable\n");
  Redis.Resume();
  int Status = 0;
  for (int I = 0; I < 50 && Status != 200; ++I) {
    std::this_thread::sleep_for(50ms);
    Status = A->Client().Get("/healthz")->status;
  }
  EXPECT_EQ(Status, 200);
  auto R = A->Client().Get("/peek", {{"Cookie", Cookie}});
  ASSERT_TRUE(R);
  EXPECT_EQ(Field(R->body, "id"), "ada");
}

TEST_F(StoredSessionsTest, AStoreWithoutAKeyFileOrWithABadURLIsRefusedAtOnce) {
  TIWServerControllerBase Controller(nullptr);
  TIWServerOptions O = Options();
  O.SessionKeyFile.clear();
  try {
    TIWServer Server(Controller, O);
    ADD_FAILURE() << "a store without keys was accepted";
  } catch (const rtl::Exception& X) {
    EXPECT_NE(X.Message().find("SessionStore needs SessionKeyFile"), std::string::npos)
        << X.Message();
  }
  O = Options();
  O.SessionStore = "redis://127.0.0.1";
  EXPECT_THROW(TIWServer(Controller, O), rtl::Exception);
  O = Options();
  O.SessionKeyFile = KeyFile.string() + ".missing";
  EXPECT_THROW(TIWServer(Controller, O), rtl::Exception);
}

}  // namespace
}  // namespace zelk::web
