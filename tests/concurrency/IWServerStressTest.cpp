// The web server under many threads at once: browsers that create sessions and start flows,
// sessions that expire after a few milliseconds, and routers that replay providers' returns
// with the right cookie, another session's cookie or none while those sessions are being freed.
// Run under ThreadSanitizer in CI: every session keeps plain (unsynchronised) state that its
// requests and its client's events change, so a request or callback outside the session's lock
// shows up as a data race; the test also counts overlaps and late callbacks itself.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/IWZelkAuthBase.h"
#include "platform/web/server/IWServer.h"

#include "load/TsanSuppressions.h"

namespace zelk::web {
namespace {

using namespace std::chrono_literals;
using IWZelkAuthBase::TZIWAuthServerController;
using IWZelkAuthBase::TZIWCustomCloudClient;

std::atomic<int> GOverlaps{0};      // two requests of one session inside it at once
std::atomic<int> GOutsideLock{0};   // a callback handled while its session served no request
std::atomic<int> GAfterDestroy{0};  // a callback reaching a destroyed client
std::atomic<int> GResponses{0};

class TStressClient : public TZIWCustomCloudClient {
 public:
  using TZIWCustomCloudClient::TZIWCustomCloudClient;
  ~TStressClient() override {
    Detach();
    FGone = true;
  }
  void Login(TIWApplication* App) override {
    auto L = Lock();
    CheckServerController();
    App->GoToURL("https://provider.example/auth?state=" + NewFlowIdentifier());
  }
  void LoginResponse(const THttpRequest& Request) override {
    auto L = Lock();
    if (FGone) ++GAfterDestroy;
    if (InRequest.load() != 1) ++GOutsideLock;
    ++GResponses;
    ++Touches;  // plain state of the session, changed only under its lock
    SetLoginResult(IWZelkAuthBase::resOK);
    SetLoginID(Request.Query("code"));
    ReachOutcome();
    TZIWCustomCloudClient::LoginResponse(Request);
  }

  std::atomic<int> InRequest{0};
  int Touches = 0;

 private:
  std::atomic<bool> FGone{false};
};

TStressClient* Stress(TIWApplication* App) {
  return dynamic_cast<TStressClient*>(App->FindComponent("Stress"));
}

// Marks the session's client as inside a request for as long as the hook or a page runs.
class TInside {
 public:
  explicit TInside(TStressClient* C) : FClient(C) {
    if (FClient->InRequest.exchange(1) != 0) ++GOverlaps;
    ++FClient->Touches;
  }
  ~TInside() { FClient->InRequest = 0; }
  TInside(const TInside&) = delete;
  TInside& operator=(const TInside&) = delete;

 private:
  TStressClient* FClient;
};

class TFlows {
 public:
  void Add(std::string Flow, std::string Cookie) {
    std::lock_guard L(FMutex);
    FItems[FNext++ % FItems.size()] = {std::move(Flow), std::move(Cookie)};
  }
  std::pair<std::string, std::string> Pick(std::mt19937& R) {
    std::lock_guard L(FMutex);
    return FItems[R() % FItems.size()];
  }

 private:
  std::mutex FMutex;
  std::vector<std::pair<std::string, std::string>> FItems =
      std::vector<std::pair<std::string, std::string>>(64);
  std::size_t FNext = 0;
};

TEST(IWServerStress, SessionsComeAndGoWhileReturnsAreRouted) {
  TIWServerControllerBase Controller(nullptr);
  auto* Auth = new TZIWAuthServerController(&Controller);
  TIWServerOptions O;
  O.Port = 0;
  O.ApplicationPath = "/app";
  O.SessionTimeout = 15ms;
  O.SweepInterval = 2ms;
  O.MaxSessions = 48;
  O.MaxNewSessionsPerMinute = 0;  // every client of this test shares one address
  O.WorkerCount = 8;
  TIWServer Server(Controller, O);
  std::atomic<int> Ended{0};
  Server.SetOnEndSession([&](TIWApplication&) {
    ++Ended;
    // Freeing takes a moment: returns for the session arrive meanwhile.
    std::this_thread::sleep_for(1ms);
  });
  Server.SetOnNewSession([&](TIWApplication& App) {
    auto* C = new TStressClient(&App);
    C->SetName("Stress");
    C->SetServerController(Auth);
  });
  Controller.OnBeforeDispatch = [&](THttpRequest& R, TIWApplication* App) {
    const TInside Inside(Stress(App));
    Auth->ProcessRequest(R);
  };
  const auto Page = [](TIWApplication& App, const THttpRequest&, THttpResponse& Out) {
    TStressClient* C = Stress(&App);
    const TInside Inside(C);
    // Stay inside a little, so that a second request of the session would meet this one.
    for (int I = 0; I < 20; ++I)
      std::this_thread::yield();
    Out.SetContent("touches=" + std::to_string(C->Touches), "text/plain");
  };
  Server.AddRoute("GET", "/", Page);
  Server.AddRoute("GET", "/login", [](TIWApplication& App, const THttpRequest&, THttpResponse&) {
    TStressClient* C = Stress(&App);
    const TInside Inside(C);
    C->Login(&App);
  });
  Server.Start();

  TFlows Flows;
  std::mutex StatusMutex;
  std::map<int, int> Statuses;
  std::atomic<int> Unexpected{0};
  const auto Count = [&](const httplib::Result& R, std::set<int> Allowed) {
    if (!R || !Allowed.contains(R->status)) {
      ++Unexpected;
      std::lock_guard L(StatusMutex);
      ADD_FAILURE() << "unexpected answer: "
                    << (R ? std::to_string(R->status) + "\n" + R->body
                          : httplib::to_string(R.error()));
      return;
    }
    std::lock_guard L(StatusMutex);
    ++Statuses[R->status];
  };
  const auto CookieOf = [](const httplib::Result& R) {
    const std::string SetCookie = R->get_header_value("Set-Cookie");
    return SetCookie.substr(0, SetCookie.find(';'));
  };
  std::atomic<bool> Stop{false};
  constexpr int kMaxRounds = 4000;

  // A browser: a new session, a sign-in, then the provider's return now, later (after the
  // session may have expired) or on another host without the cookie.
  const auto Browser = [&](int Seed) {
    std::mt19937 R(static_cast<unsigned>(Seed));
    httplib::Client Http("127.0.0.1", Server.Port());
    Http.set_read_timeout(30, 0);
    for (int Round = 0; Round < kMaxRounds && !Stop; ++Round) {
      auto First = Http.Get("/app/");
      Count(First, {200, 503});
      if (!First || First->status != 200) continue;
      const std::string Cookie = CookieOf(First);
      auto Login = Http.Get("/app/login", {{"Cookie", Cookie}});
      Count(Login, {303, 503});
      if (!Login || Login->status != 303) continue;
      const std::string Location = Login->get_header_value("Location");
      const std::string Flow = Location.substr(Location.find("state=") + 6);
      Flows.Add(Flow, Cookie);
      if (R() % 3 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(R() % 25));
      const std::string Back = "/app/?state=" + Flow + "&code=c" + std::to_string(Round);
      // With its own cookie the return is served in place (200). Without the session's cookie
      // on the flow's own host it is refused (403); a session already freed gives 404, and a
      // flow no session knows any more reaches a fresh session (200).
      if (R() % 2)
        Count(Http.Get(Back, {{"Cookie", Cookie}}), {200, 403, 404, 503});
      else
        Count(Http.Get(Back), {200, 403, 404, 503});
    }
  };
  // A router: replays returns with no cookie, a random session's cookie or a forged one, and
  // visits pages of sessions that their browsers are using at the same time.
  const auto Router = [&](int Seed) {
    std::mt19937 R(static_cast<unsigned>(Seed));
    httplib::Client Http("127.0.0.1", Server.Port());
    Http.set_read_timeout(30, 0);
    for (int Round = 0; Round < kMaxRounds && !Stop; ++Round) {
      const auto [Flow, Owner] = Flows.Pick(R);
      const auto [Other, OtherCookie] = Flows.Pick(R);
      const std::string Back = "/app/?clientid=" + Flow + "&code=r";
      switch (R() % 4) {
        case 0:
          Count(Http.Get(Back), {200, 403, 404, 503});
          break;
        case 1:
          Count(Http.Get(Back, {{"Cookie", OtherCookie}}), {200, 303, 403, 404, 503});
          break;
        case 2:
          // A page of the flow's own session while its browser is busy with it too.
          Count(Http.Get("/app/", {{"Cookie", Owner}}), {200, 503});
          break;
        default:
          Count(Http.Get(Back, {{"Cookie", "zelk_session=" + std::string(64, 'e')}}),
                {200, 403, 404, 503});
      }
    }
  };

  std::vector<std::thread> Threads;
  for (int I = 0; I < 4; ++I)
    Threads.emplace_back(Browser, 100 + I);
  for (int I = 0; I < 2; ++I)
    Threads.emplace_back(Router, 200 + I);
  const auto Deadline = std::chrono::steady_clock::now() + 2s;
  while (std::chrono::steady_clock::now() < Deadline && Unexpected == 0)
    std::this_thread::sleep_for(10ms);
  Stop = true;
  for (auto& T : Threads)
    T.join();
  const int EndedWhileServing = Ended.load();
  Server.Stop();

  EXPECT_EQ(Unexpected.load(), 0);
  EXPECT_EQ(GOverlaps.load(), 0);
  EXPECT_EQ(GOutsideLock.load(), 0);
  EXPECT_EQ(GAfterDestroy.load(), 0);
  EXPECT_GT(GResponses.load(), 0);
  EXPECT_GT(EndedWhileServing, 0);  // sessions did expire while returns were routed
  EXPECT_GT(Statuses[200], 0);
  EXPECT_GT(Statuses[303], 0);
  for (const auto& [Status, N] : Statuses)
    std::cout << "status " << Status << ": " << N << "\n";
  EXPECT_EQ(Server.SessionCount(), 0u);
  auto Lock = Auth->LockClients();
  EXPECT_EQ(Auth->Clients()->Count(), 0);  // every session's client left with its session
}

}  // namespace
}  // namespace zelk::web
