// The one rule that names the flow a provider's return belongs to, and that the server's session
// lookup and the auth server controller's routing both go by it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/IWZelkAuthBase.h"
#include "platform/web/FlowName.h"
#include "platform/web/server/FlowOwner.h"
#include "platform/web/server/Sessions.h"

namespace zelk::web {
namespace {

using TBy = TFlowName::TBy;

TEST(FlowName, TheRuleForEveryShapeOfReturn) {
  struct TCase {
    const char* Query;
    TBy By;
    const char* Key;
  };
  const TCase Cases[] = {
      {"state=s1&code=c", TBy::State, "s1"},
      {"clientid=c1&code=c", TBy::ClientID, "c1"},
      {"oauth_token=t1&oauth_verifier=v", TBy::RequestToken, "t1"},
      {"denied=t2", TBy::Denied, "t2"},
      // Several at once: state, then clientid, then oauth_token, then denied.
      {"denied=t2&oauth_token=t1&clientid=c1&state=s1", TBy::State, "s1"},
      {"denied=t2&oauth_token=t1&clientid=c1", TBy::ClientID, "c1"},
      {"denied=t2&oauth_token=t1", TBy::RequestToken, "t1"},
      // Present but empty names nothing and gives way to the next.
      {"state=&clientid=c1", TBy::ClientID, "c1"},
      {"state=&clientid=&oauth_token=&denied=t2", TBy::Denied, "t2"},
      // Names as the query reads them: letter case ignored, values decoded, the first one wins.
      {"STATE=s1", TBy::State, "s1"},
      {"state=a%20b%2Bc", TBy::State, "a b+c"},
      {"state=first&state=second", TBy::State, "first"},
      // None: no return of ours (a provider's error without our identifier included).
      {"code=c&error=access_denied", TBy::None, ""},
      {"state=&clientid=&oauth_token=&denied=", TBy::None, ""},
      {"", TBy::None, ""},
  };
  for (const TCase& C : Cases) {
    const TFlowName Name = FlowNameOf(THttpRequest::FromTarget(std::string("/app/?") + C.Query));
    EXPECT_EQ(Name.By, C.By) << C.Query;
    EXPECT_EQ(Name.Key, C.Key) << C.Query;
    EXPECT_EQ(Name.Named(), C.By != TBy::None) << C.Query;
    EXPECT_EQ(Name.ByToken(), C.By == TBy::RequestToken || C.By == TBy::Denied) << C.Query;
  }
}

// A client whose flow carries a given identifier or request token, and that counts the returns
// routed to it without reaching an outcome (so its flow stays open).
class TKeyedClient : public IWZelkAuthBase::TZIWCustomCloudClient {
 public:
  using TZIWCustomCloudClient::RestoreFlowIdentifier;
  using TZIWCustomCloudClient::RestoreFlowToken;
  using TZIWCustomCloudClient::TZIWCustomCloudClient;
  ~TKeyedClient() override { Detach(); }
  void LoginResponse(const THttpRequest&) override { ++Responses; }
  int Responses = 0;
};

// The same key "K" is one session's flow identifier and another's request token: what names
// the flow decides both which session the server finds and which client the controller calls.
TEST(FlowName, TheServerAndTheControllerRouteByTheSameRule) {
  TIWServerControllerBase Controller(nullptr);
  auto* Auth = new IWZelkAuthBase::TZIWAuthServerController(&Controller);
  TIWSessionList Sessions;
  const auto AddSession = [&] {
    auto S = std::make_shared<TIWSession>(NewSessionID());
    S->Application = std::make_unique<TIWApplication>(nullptr, "http://h/app", S->ID());
    TIWSessionPtr Evicted;
    EXPECT_EQ(Sessions.Add(S, 10, TSessionClock::now(), Evicted), TIWSessionList::arAdded);
    Sessions.Release(S, TSessionClock::now());
    return S;
  };
  const TIWSessionPtr ById = AddSession();
  const TIWSessionPtr ByToken = AddSession();
  auto* A = new TKeyedClient(ById->Application.get());
  A->SetServerController(Auth);
  A->RestoreFlowIdentifier("K");
  auto* B = new TKeyedClient(ByToken->Application.get());
  B->SetServerController(Auth);
  B->RestoreFlowToken("K");

  struct TCase {
    const char* Query;
    const TIWSessionPtr* Session;  // none: no session found
    int A, B;                      // returns each client saw
  };
  const TCase Cases[] = {
      {"state=K", &ById, 1, 0},
      {"clientid=K", &ById, 1, 0},
      {"oauth_token=K", &ByToken, 0, 1},
      {"denied=K", &ByToken, 0, 1},
      {"state=K&oauth_token=K", &ById, 1, 0},
      {"state=&oauth_token=K", &ByToken, 0, 1},
      {"state=other&oauth_token=K", nullptr, 0, 0},  // "state" names a flow nobody has
      {"code=K", nullptr, 0, 0},
  };
  for (const TCase& C : Cases) {
    A->Responses = B->Responses = 0;
    const THttpRequest R = THttpRequest::FromTarget(std::string("/app/?") + C.Query);
    TRoutedFlow Routed;
    const TIWSessionPtr Found = FindFlowSession(Controller, FlowNameOf(R), Sessions, Routed);
    if (Found) Sessions.Release(Found, TSessionClock::now());
    EXPECT_EQ(Found, C.Session ? *C.Session : nullptr) << C.Query;
    Auth->ProcessRequest(R);
    EXPECT_EQ(A->Responses, C.A) << C.Query;
    EXPECT_EQ(B->Responses, C.B) << C.Query;
  }
  delete A;
  delete B;
}

// The server hands what it found for a return on with the request: its name wins over the query,
// and the controller routes to the entries found then, without looking for them again (an entry
// that took the identifier since is not among them; without the record it is).
TEST(FlowName, TheControllerRoutesToWhatTheServerFound) {
  TIWServerControllerBase Controller(nullptr);
  auto* Auth = new IWZelkAuthBase::TZIWAuthServerController(&Controller);
  TIWSessionList Sessions;
  auto S = std::make_shared<TIWSession>(NewSessionID());
  S->Application = std::make_unique<TIWApplication>(nullptr, "http://h/app", S->ID());
  TIWSessionPtr Evicted;
  ASSERT_EQ(Sessions.Add(S, 10, TSessionClock::now(), Evicted), TIWSessionList::arAdded);
  Sessions.Release(S, TSessionClock::now());
  auto* First = new TKeyedClient(S->Application.get());
  First->SetServerController(Auth);
  First->RestoreFlowIdentifier("K");

  THttpRequest R = THttpRequest::FromTarget("/app/?state=K&oauth_token=T");
  TRoutedFlow Routed;
  const TIWSessionPtr Found = FindFlowSession(Controller, FlowNameOf(R), Sessions, Routed);
  ASSERT_EQ(Found, S);
  Sessions.Release(Found, TSessionClock::now());
  EXPECT_EQ(Routed.Name, (TFlowName{TBy::State, "K"}));
  EXPECT_EQ(Routed.Directory, Auth);
  ASSERT_NE(Routed.Found, nullptr);

  auto* Later = new TKeyedClient(S->Application.get());
  Later->SetServerController(Auth);
  Later->RestoreFlowIdentifier("K");
  R.SetRoutedFlow(Routed);
  Auth->ProcessRequest(R);
  EXPECT_EQ(First->Responses, 1);
  EXPECT_EQ(Later->Responses, 0);
  EXPECT_EQ(Auth->ReturnClients(R),
            std::vector<const IWZelkAuthBase::TZIWCustomCloudClient*>{First});

  // The name travels with the record: a query that says otherwise is not read again.
  THttpRequest Other = THttpRequest::FromTarget("/app/?oauth_token=T");
  Other.SetRoutedFlow(Routed);
  EXPECT_EQ(FlowNameOf(Other), (TFlowName{TBy::State, "K"}));

  // Without the record (a request that did not come through the server) both are found now.
  R.SetRoutedFlow(std::nullopt);
  Auth->ProcessRequest(R);
  EXPECT_EQ(First->Responses, 2);
  EXPECT_EQ(Later->Responses, 1);
  // A record of another directory is not this controller's: it looks for itself.
  Routed.Directory = nullptr;
  R.SetRoutedFlow(Routed);
  Auth->ProcessRequest(R);
  EXPECT_EQ(Later->Responses, 2);
  delete First;
  delete Later;
}

}  // namespace
}  // namespace zelk::web
