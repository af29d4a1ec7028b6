// The server finds a provider return's session through the flow directories among the server
// controller's components, whatever component implements them.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/web/server/FlowOwner.h"
#include "platform/web/server/Sessions.h"

namespace zelk::web {
namespace {

// A directory that knows, for each flow identifier, the components that started it.
class TFakeDirectory : public rtl::TComponent, public IIWFlowDirectory {
 public:
  explicit TFakeDirectory(rtl::TComponent* AOwner) : TComponent(AOwner) {}
  std::multimap<std::string, const rtl::TComponent*> Flows;
  std::vector<std::string> Asked;
  int Visited = 0;
  bool VisitFlowOwners(std::string_view Id,
                       const std::function<bool(const rtl::TComponent& Top)>& Visit) override {
    Asked.emplace_back(Id);
    auto [From, To] = Flows.equal_range(std::string(Id));
    for (auto It = From; It != To; ++It) {
      const rtl::TComponent* Top = It->second;
      while (Top->Owner() != nullptr)
        Top = Top->Owner();
      ++Visited;
      if (Visit(*Top)) return true;
    }
    return false;
  }
  std::multimap<std::string, const rtl::TComponent*> Tokens;
  std::vector<std::string> AskedTokens;
  bool VisitFlowTokenOwners(std::string_view Token,
                            const std::function<bool(const rtl::TComponent& Top)>& Visit) override {
    AskedTokens.emplace_back(Token);
    auto [From, To] = Tokens.equal_range(std::string(Token));
    for (auto It = From; It != To; ++It) {
      const rtl::TComponent* Top = It->second;
      while (Top->Owner() != nullptr)
        Top = Top->Owner();
      if (Visit(*Top)) return true;
    }
    return false;
  }
};

struct FlowDirectoryTest : ::testing::Test {
  TIWServerControllerBase Controller{nullptr};
  // One directory directly under the controller, one two levels down.
  TFakeDirectory* Near = new TFakeDirectory(&Controller);
  rtl::TComponent* Holder = new rtl::TComponent(&Controller);
  TFakeDirectory* Deep = new TFakeDirectory(Holder);
  TIWSessionList Sessions;

  TIWSessionPtr AddSession() {
    auto S = std::make_shared<TIWSession>(NewSessionID());
    S->Application = std::make_unique<TIWApplication>(nullptr, "http://h/app", S->ID());
    TIWSessionPtr Evicted;
    EXPECT_EQ(Sessions.Add(S, 10, TSessionClock::now(), Evicted), TIWSessionList::arAdded);
    Sessions.Release(S, TSessionClock::now());
    return S;
  }
  TIWSessionPtr Find(const std::string& Target) {
    TIWSessionPtr S = AcquireFlowSession(Controller, THttpRequest::FromTarget(Target), Sessions);
    if (S) Sessions.Release(S, TSessionClock::now());
    return S;
  }
};

TEST_F(FlowDirectoryTest, AReturnIsTracedToTheSessionOwningTheComponentThatStartedIt) {
  const TIWSessionPtr A = AddSession();
  const TIWSessionPtr B = AddSession();
  // A client two levels inside B's application started flow "f-b"; one of A's, flow "f-a".
  auto* Form = new rtl::TComponent(B->Application.get());
  Deep->Flows.emplace("f-b", new rtl::TComponent(Form));
  Near->Flows.emplace("f-a", new rtl::TComponent(A->Application.get()));

  EXPECT_EQ(Find("/app/?state=f-b&code=1"), B);
  EXPECT_EQ(Find("/app/?clientid=f-a"), A);
  // "state" wins over "clientid"; an empty "state" gives way to it.
  EXPECT_EQ(Find("/app/?state=f-b&clientid=f-a"), B);
  EXPECT_EQ(Find("/app/?state=&clientid=f-a"), A);
  EXPECT_EQ(Find("/app/?state=unknown"), nullptr);
  // No identifier: no directory is asked.
  Near->Asked.clear();
  EXPECT_EQ(Find("/app/?code=1"), nullptr);
  EXPECT_TRUE(Near->Asked.empty());
}

TEST_F(FlowDirectoryTest, OwnersOutsideEverySessionAreSkippedAndTheFirstSessionFoundWins) {
  const TIWSessionPtr A = AddSession();
  const TIWSessionPtr B = AddSession();
  // The nearer directory names a component the controller shares (no session) and then one of
  // A's; the deeper one names one of B's. A's is found, and the deeper directory never asked.
  Near->Flows.emplace("f", new rtl::TComponent(&Controller));
  Near->Flows.emplace("f", new rtl::TComponent(A->Application.get()));
  Deep->Flows.emplace("f", new rtl::TComponent(B->Application.get()));
  EXPECT_EQ(Find("/app/?state=f"), A);
  EXPECT_EQ(Near->Visited, 2);
  EXPECT_TRUE(Deep->Asked.empty());

  // Once A is gone from the list, the search goes on to the deeper directory.
  Sessions.ForgetApplication(A);
  EXPECT_EQ(Find("/app/?state=f"), B);
  EXPECT_EQ(Deep->Asked, std::vector<std::string>{"f"});
}

// An OAuth 1.0a return carries only the provider's request token ("oauth_token", or "denied"
// when the user refused): its session is found by the token the client registered, and never
// by a token that happens to equal some flow's identifier.
TEST_F(FlowDirectoryTest, AReturnWithoutIdentifierIsTracedByItsRequestToken) {
  const TIWSessionPtr A = AddSession();
  const TIWSessionPtr B = AddSession();
  Near->Tokens.emplace("tok-a", new rtl::TComponent(A->Application.get()));
  Deep->Tokens.emplace("tok-b", new rtl::TComponent(B->Application.get()));
  Near->Flows.emplace("id-b", new rtl::TComponent(B->Application.get()));

  EXPECT_EQ(Find("/app/?oauth_token=tok-a&oauth_verifier=v"), A);
  EXPECT_EQ(Find("/app/?oauth_token=tok-b&oauth_verifier=v"), B);
  EXPECT_EQ(Find("/app/?denied=tok-b"), B);
  EXPECT_EQ(Find("/app/?oauth_token=unknown"), nullptr);
  // A flow identifier passed as a token names nothing.
  EXPECT_EQ(Find("/app/?oauth_token=id-b"), nullptr);
  // An identifier of ours wins: the token is not looked at.
  Near->AskedTokens.clear();
  EXPECT_EQ(Find("/app/?state=id-b&oauth_token=tok-a"), B);
  EXPECT_TRUE(Near->AskedTokens.empty());
}

}  // namespace
}  // namespace zelk::web
