// A controller that goes waits only for the clients that point at it. Found by the fault
// injection tests: freeing one form's controller waited for every client in the process, so a
// provider that stalled another session's sign-in held up the teardown of an unrelated one.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "providers/IWGAuthClient.h"
#include "support/FakeApplication.h"

namespace zelk::IWZelkAuthBase {
namespace {

using namespace std::chrono_literals;

TEST(ControllerTeardown, WaitsForNoClientOfAnotherController) {
  // A provider that answers only when told to (or after a long bound, so a regression fails
  // instead of hanging).
  std::mutex M;
  std::condition_variable Changed;
  bool Called = false;
  bool Released = false;
  std::atomic<bool> Answered{false};
  SetTransportHook([&](const TTransportRequest&) -> std::string {
    std::unique_lock L(M);
    Called = true;
    Changed.notify_all();
    Changed.wait_for(L, 20s, [&] { return Released; });
    Answered = true;
    return "{}";
  });

  rtl::TComponent Busy(nullptr);
  auto* BusyController = new TZIWAuthServerController(&Busy);
  auto* BusyClient = new IWGAuthClient::TZIWGAuthClient(&Busy);
  BusyClient->SetServerController(BusyController);
  const auto App = testing::MakeApplication();
  BusyClient->Login(App.get());
  const std::string Id = BusyController->Clients()->Items(0)->ID();
  std::thread Return([&] {
    BusyController->ProcessRequest(testing::RequestWithQuery("state=" + Id + "&code=c"));
  });
  {
    std::unique_lock L(M);
    Changed.wait(L, [&] { return Called; });
  }

  // Another form with its own controller and client goes while the first client waits.
  {
    rtl::TComponent Other(nullptr);
    auto* Controller = new TZIWAuthServerController(&Other);
    auto* Client = new IWGAuthClient::TZIWGAuthClient(&Other);
    Client->SetServerController(Controller);
  }
  EXPECT_FALSE(Answered) << "the teardown waited for the busy client of another controller";

  {
    std::lock_guard L(M);
    Released = true;
  }
  Changed.notify_all();
  Return.join();
  SetTransportHook({});
  EXPECT_EQ(BusyClient->LoginResult(), resFailed);
}

TEST(ControllerTeardown, ClearsTheReferenceOfEveryClientPointingAtIt) {
  auto Controller = std::make_unique<TZIWAuthServerController>(nullptr);
  auto Other = std::make_unique<TZIWAuthServerController>(nullptr);
  IWGAuthClient::TZIWGAuthClient A(nullptr);
  IWGAuthClient::TZIWGAuthClient B(nullptr);
  IWGAuthClient::TZIWGAuthClient C(nullptr);
  A.SetServerController(Controller.get());
  B.SetServerController(Controller.get());
  // Its entry taken out by hand: it still points at the controller.
  {
    auto L = Controller->LockClients();
    Controller->Clients()->Delete(1);
  }
  C.SetServerController(Controller.get());
  C.SetServerController(Other.get());  // moved on directly: points at the other one
  Controller.reset();
  EXPECT_EQ(A.ServerController(), nullptr);
  EXPECT_EQ(B.ServerController(), nullptr);
  EXPECT_EQ(C.ServerController(), Other.get());
  Other.reset();
  EXPECT_EQ(C.ServerController(), nullptr);
}

}  // namespace
}  // namespace zelk::IWZelkAuthBase
