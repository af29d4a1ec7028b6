// A provider's return through the whole server: its flow is looked up once per request, and the
// outcome the client's return handler yields is what renews the session (a success) or leaves it
// as it was (a failure, a refusal, an unknown outcome, no outcome), and what spends the flow.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <regex>
#include <string>

#include "core/IWZelkAuthBase.h"
#include "platform/web/server/IWServer.h"

namespace zelk::web {
namespace {

using IWZelkAuthBase::TZIWAuthServerController;
using IWZelkAuthBase::TZIWCustomCloudClient;

// Reaches the outcome the return's "kind" asks for: ok, failed, denied, unknown; anything else
// reaches none (the return was not this flow's).
class TOutcomeClient : public TZIWCustomCloudClient {
 public:
  using TZIWCustomCloudClient::TZIWCustomCloudClient;
  ~TOutcomeClient() override { Detach(); }
  void Login(TIWApplication* App) override {
    auto L = Lock();
    CheckServerController();
    App->GoToURL("https://provider.example/auth?state=" + NewFlowIdentifier());
  }
  void LoginResponse(const THttpRequest& Request) override {
    auto L = Lock();
    ++Responses;
    const std::string Kind = Request.Query("kind");
    const auto Reach = [&](IWZelkAuthBase::TIWResult Result, const char* Error, bool Denied) {
      SetLoginResult(Result);
      SetLoginError(Error);
      ReachOutcome(Denied);
    };
    if (Kind == "ok") Reach(IWZelkAuthBase::resOK, "", false);
    if (Kind == "failed") Reach(IWZelkAuthBase::resFailed, "the provider said no", false);
    if (Kind == "denied") Reach(IWZelkAuthBase::resFailed, "the user refused", true);
    if (Kind == "unknown") Reach(IWZelkAuthBase::resUnknown, "the answer was lost", false);
  }
  std::atomic<int> Responses{0};
};

// Counts how often the registry is asked which component started a flow.
class TCountingController : public TZIWAuthServerController {
 public:
  using TZIWAuthServerController::TZIWAuthServerController;
  bool VisitFlowOwners(std::string_view Id,
                       const std::function<bool(const rtl::TComponent& Top)>& Visit) override {
    ++Visits;
    return TZIWAuthServerController::VisitFlowOwners(Id, Visit);
  }
  bool VisitFlow(const TFlowName& Name, const TFlowVisit& Visit) override {
    ++Visits;
    return TZIWAuthServerController::VisitFlow(Name, Visit);
  }
  std::atomic<int> Visits{0};
};

class RoutedFlowTest : public ::testing::Test {
 protected:
  TIWServerControllerBase Controller{nullptr};
  TCountingController* Auth = new TCountingController(&Controller);
  std::unique_ptr<TIWServer> Server;
  std::unique_ptr<httplib::Client> Http;
  std::atomic<int> RoutedReturns{0};

  void SetUp() override {
    TIWServerOptions O;
    O.Port = 0;
    O.ApplicationPath = "/app";
    Server = std::make_unique<TIWServer>(Controller, O);
    Server->SetOnNewSession([this](TIWApplication& App) {
      auto* C = new TOutcomeClient(&App);
      C->SetName("Client");
      C->SetServerController(Auth);
    });
    Controller.OnBeforeDispatch = [this](THttpRequest& R, TIWApplication*) {
      // What the server found comes with the request: this controller's record of the flow.
      const bool Found =
          R.RoutedFlow() && R.RoutedFlow()->Directory == Auth && R.RoutedFlow()->Found;
      if (Found) ++RoutedReturns;
      Auth->ProcessRequest(R);
    };
    Server->AddRoute("GET", "/", [](TIWApplication& App, const THttpRequest&, THttpResponse& Out) {
      Out.SetContent("session=" + App.SessionID() +
                         " responses=" + std::to_string(ClientOf(App)->Responses.load()),
                     "text/plain");
    });
    Server->AddRoute("GET", "/login", [](TIWApplication& App, const THttpRequest&, THttpResponse&) {
      ClientOf(App)->Login(&App);
    });
    Server->Start();
    Http = std::make_unique<httplib::Client>("127.0.0.1", Server->Port());
  }
  void TearDown() override { Server->Stop(); }

  static TOutcomeClient* ClientOf(TIWApplication& App) {
    return dynamic_cast<TOutcomeClient*>(App.FindComponent("Client"));
  }
  // The session id an answer's Set-Cookie gives; empty when it sets none.
  static std::string CookieOf(const httplib::Result& R) {
    std::smatch M;
    const std::string Header = R->get_header_value("Set-Cookie");
    return std::regex_search(Header, M, std::regex("zelk_session=([0-9a-f]+)")) ? M[1].str() : "";
  }
  httplib::Result Get(const std::string& Path, const std::string& Session) {
    return Http->Get(Path, {{"Cookie", "zelk_session=" + Session}});
  }
  // A new session with a flow in progress: its id and the flow's identifier.
  std::pair<std::string, std::string> StartFlow() {
    const auto First = Http->Get("/app/");
    const std::string Session = CookieOf(First);
    const auto Login = Get("/app/login", Session);
    std::smatch M;
    const std::string Location = Login->get_header_value("Location");
    EXPECT_TRUE(std::regex_search(Location, M, std::regex("state=([0-9A-Fa-f-]+)"))) << Location;
    return {Session, M[1].str()};
  }
};

TEST_F(RoutedFlowTest, OnlyASuccessRenewsTheSessionAndEveryOutcomeSpendsTheFlow) {
  struct TCase {
    const char* Kind;
    bool Renewed;  // the answer names the session by a new id, and the old one names nothing
    bool Spent;    // the same return again reaches the client no more
  };
  const TCase Cases[] = {{"ok", true, true},
                         {"failed", false, true},
                         {"denied", false, true},
                         {"unknown", false, true},
                         {"elsewhere", false, false}};
  for (const TCase& C : Cases) {
    const auto [Session, Flow] = StartFlow();
    ASSERT_FALSE(Session.empty()) << C.Kind;
    Auth->Visits = 0;
    const std::string Return = "/app/?state=" + Flow + "&kind=" + C.Kind;
    const auto Answer = Get(Return, Session);
    ASSERT_TRUE(Answer) << C.Kind;
    EXPECT_EQ(Answer->status, 200) << C.Kind;
    // The server looked the flow up once and handed what it found to the hook; the controller
    // routed it without asking again.
    EXPECT_EQ(Auth->Visits, 1) << C.Kind;
    EXPECT_EQ(RoutedReturns.exchange(0), 1) << C.Kind;
    const std::string Renewed = CookieOf(Answer);
    EXPECT_EQ(!Renewed.empty(), C.Renewed) << C.Kind;
    if (C.Renewed) {
      EXPECT_NE(Renewed, Session) << C.Kind;
    }
    const std::string Now = C.Renewed ? Renewed : Session;
    EXPECT_EQ(Answer->body, "session=" + Now + " responses=1") << C.Kind;

    // The id it had: gone after a success (a fresh session answers), kept otherwise.
    const auto Old = Get("/app/", Session);
    EXPECT_EQ(Old->body.starts_with("session=" + Session + " "), !C.Renewed) << C.Kind;

    RoutedReturns = 0;
    const auto Again = Get(Return, Now);
    EXPECT_EQ(Again->body, "session=" + Now + " responses=" + (C.Spent ? "1" : "2")) << C.Kind;
    EXPECT_TRUE(CookieOf(Again).empty()) << C.Kind;
    // A spent flow is found nowhere: nothing is handed on.
    EXPECT_EQ(RoutedReturns.load(), C.Spent ? 0 : 1) << C.Kind;
  }
}

}  // namespace
}  // namespace zelk::web
