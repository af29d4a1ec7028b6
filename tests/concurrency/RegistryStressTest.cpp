// Many request threads at once: sessions that create clients, start flows and go away, a router
// that replays identifiers (also of clients being destroyed), and a shared client whose
// identifier is rewritten all the time. Run under ThreadSanitizer in CI; here it also checks
// that no callback ever reaches a client after its destruction began.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "core/IWZelkAuthBase.h"
#include "support/FakeApplication.h"

namespace zelk::IWZelkAuthBase {
namespace {

std::atomic<int> GViolations{0};
std::atomic<int> GResponses{0};

class TStressClient : public TZIWCustomCloudClient {
 public:
  using TZIWCustomCloudClient::TZIWCustomCloudClient;
  ~TStressClient() override {
    Detach();
    FGone.store(true);
  }
  void Login(TIWApplication* App) override {
    auto L = Lock();
    CheckServerController();
    FId = NewFlowIdentifier();
    App->GoToURL("https://provider.example/?state=" + FId);
  }
  void LoginResponse(const THttpRequest& Request) override {
    auto L = Lock();
    if (FGone.load()) ++GViolations;
    ++GResponses;
    SetLoginResult(Request.Query("code") == "ok" ? resOK : resFailed);
    SetLoginError(Request.Query("code"));
    ReachOutcome();
    TZIWCustomCloudClient::LoginResponse(Request);
  }
  std::string Id() const {
    auto L = Lock();
    return FId;
  }

 private:
  std::atomic<bool> FGone{false};
  std::string FId;
};

class TPublished {
 public:
  void Add(std::string Id) {
    std::lock_guard L(FMutex);
    FIds[FNext++ % FIds.size()] = std::move(Id);
  }
  std::string Pick(std::mt19937& R) {
    std::lock_guard L(FMutex);
    return FIds[R() % FIds.size()];
  }

 private:
  std::mutex FMutex;
  std::vector<std::string> FIds = std::vector<std::string>(64);
  std::size_t FNext = 0;
};

TEST(RegistryStress, RoutingLoginsAndDestructionOnManyThreads) {
  TZIWAuthServerController Controller(nullptr);
  TStressClient Shared(nullptr);
  Shared.SetServerController(&Controller);
  TPublished Published;
  std::atomic<bool> Stop{false};
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  constexpr int kMaxRounds = 20000;

  auto Session = [&](int Seed) {
    std::mt19937 R(static_cast<unsigned>(Seed));
    for (int Round = 0; Round < kMaxRounds && !Stop; ++Round) {
      auto App = testing::MakeApplication();
      auto* Client = new TStressClient(App.get());  // owned by the session
      Client->SetServerController(&Controller);
      Client->Login(App.get());
      Published.Add(Client->Id());
      if (R() % 2)
        Controller.ProcessRequest(
            web::THttpRequest::FromTarget("/app/?state=" + Client->Id() + "&code=ok"));
      if (R() % 4 == 0) Client->SetServerController(nullptr);
      // The session goes while other threads may be routing to its client.
    }
  };
  auto Router = [&](int Seed) {
    std::mt19937 R(static_cast<unsigned>(Seed));
    for (int Round = 0; Round < kMaxRounds * 4 && !Stop; ++Round) {
      const std::string Id = Published.Pick(R);
      const char* Key = R() % 2 ? "state" : "clientid";
      Controller.ProcessRequest(
          web::THttpRequest::FromTarget("/app/?" + std::string(Key) + "=" + Id + "&code=x"));
    }
  };
  auto SharedFlows = [&] {
    auto App = testing::MakeApplication();
    for (int Round = 0; Round < kMaxRounds && !Stop; ++Round) {
      Shared.Login(App.get());
      Published.Add(Shared.Id());
      (void)Shared.LoginResult();
      (void)Shared.LoginError();
    }
  };

  std::vector<std::thread> Threads;
  Threads.emplace_back(Session, 1);
  Threads.emplace_back(Session, 2);
  Threads.emplace_back(Router, 3);
  Threads.emplace_back(Router, 4);
  Threads.emplace_back(SharedFlows);
  while (std::chrono::steady_clock::now() < Deadline)
    std::this_thread::yield();
  Stop = true;
  for (auto& T : Threads)
    T.join();

  EXPECT_EQ(GViolations.load(), 0);
  EXPECT_GT(GResponses.load(), 0);
  // Every session's client left the registry with its session; the shared one stays.
  auto Lock = Controller.LockClients();
  ASSERT_EQ(Controller.Clients()->Count(), 1);
  EXPECT_EQ(Controller.Clients()->Items(0)->Client(), &Shared);
}

// Routing reads an identifier's shard without the registry lock while entries made by hand
// change identifier and client, share identifiers (served in collection order, under the
// registry lock), are copied and deleted under LockClients. The index must end up matching
// the entries exactly, and no call may reach a client after its destruction began.
TEST(RegistryStress, HandMadeEntriesChangeWhileRouted) {
  TZIWAuthServerController Controller(nullptr);
  TStressClient A(nullptr);
  TStressClient B(nullptr);
  std::atomic<bool> Stop{false};
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
  auto Writer = [&] {
    std::mt19937 R(7);
    while (!Stop) {
      auto Lock = Controller.LockClients();
      TAuthClients* Entries = Controller.Clients();
      if (Entries->Count() < 12) {
        TAuthClient* E = Entries->Add();
        E->SetClient(R() % 2 ? &A : &B);
        E->SetID("id" + std::to_string(R() % 6));
        continue;
      }
      TAuthClient* E = Entries->Items(static_cast<int>(R() % 12));
      switch (R() % 4) {
        case 0:
          E->SetClient(E->Client() == &A ? &B : &A);
          break;
        case 1:
          E->SetID("id" + std::to_string(R() % 6));
          break;
        case 2:
          Entries->Add()->Assign(E);
          break;
        default:
          Entries->DeleteItem(E);
          break;
      }
    }
  };
  auto Router = [&](int Seed) {
    std::mt19937 R(static_cast<unsigned>(Seed));
    while (!Stop)
      Controller.ProcessRequest(
          web::THttpRequest::FromTarget("/app/?state=id" + std::to_string(R() % 6) + "&code=x"));
  };
  std::vector<std::thread> Threads;
  Threads.emplace_back(Writer);
  Threads.emplace_back(Router, 11);
  Threads.emplace_back(Router, 12);
  while (std::chrono::steady_clock::now() < Deadline)
    std::this_thread::yield();
  Stop = true;
  for (auto& T : Threads)
    T.join();
  EXPECT_EQ(GViolations.load(), 0);
  auto Lock = Controller.LockClients();
  TAuthClients* Entries = Controller.Clients();
  std::size_t OfA = 0;
  std::size_t OfB = 0;
  for (int I = 0; I < Entries->Count(); ++I) {
    TAuthClient* E = Entries->Items(I);
    (E->Client() == &A ? OfA : OfB)++;
    if (E->ID().empty()) continue;  // spent by a routed outcome: indexed nowhere
    const auto Same = Entries->Find(E->ID());
    EXPECT_EQ(std::count(Same.begin(), Same.end(), E), 1) << E->ID();
    EXPECT_TRUE(
        std::is_sorted(Same.begin(), Same.end(),
                       [](const TAuthClient* L, const TAuthClient* R) { return L->Precedes(*R); }));
  }
  EXPECT_EQ(Entries->OfClient(&A).size(), OfA);
  EXPECT_EQ(Entries->OfClient(&B).size(), OfB);
  EXPECT_GT(GResponses.load(), 0);
}

TEST(RegistryStress, ControllerDestroyedWhileClientsLive) {
  std::vector<std::unique_ptr<TStressClient>> Clients;
  for (int I = 0; I < 8; ++I)
    Clients.push_back(std::make_unique<TStressClient>(nullptr));
  for (int Round = 0; Round < 200; ++Round) {
    auto Controller = std::make_unique<TZIWAuthServerController>(nullptr);
    std::vector<std::thread> Threads;
    for (auto& C : Clients)
      Threads.emplace_back(
          [&, Client = C.get()] { Client->SetServerController(Controller.get()); });
    for (auto& T : Threads)
      T.join();
    Controller.reset();
    for (auto& C : Clients)
      ASSERT_EQ(C->ServerController(), nullptr);
  }
}

}  // namespace
}  // namespace zelk::IWZelkAuthBase
