// The client base and the auth server controller: entries, routing, events, spent identifiers
// and the lifetime links between clients and controllers.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/IWZelkAuthBase.h"
#include "support/FakeApplication.h"

namespace zelk::IWZelkAuthBase {
namespace {

using testing::RequestWithQuery;

// A client whose LoginResponse records the call, sets a scripted outcome and then runs the
// base (the events), like a concrete client.
class TTestClient : public TZIWCustomCloudClient {
 public:
  using TZIWCustomCloudClient::App;
  using TZIWCustomCloudClient::NewFlowIdentifier;
  using TZIWCustomCloudClient::SetOnLoginFailed;
  using TZIWCustomCloudClient::SetOnLoginOK;
  using TZIWCustomCloudClient::TZIWCustomCloudClient;
  ~TTestClient() override { Detach(); }

  void Login(TIWApplication* App) override {
    auto L = Lock();
    CheckServerController();
    TZIWCustomCloudClient::Login(App);
    LastId = NewFlowIdentifier();
    App->GoToURL("https://provider.example/auth?state=" + LastId);
  }
  void LoginResponse(const THttpRequest& Request) override {
    auto L = Lock();
    Calls.push_back(Request.Query("code"));
    if (Script != resNone) {
      SetLoginResult(Script);
      ReachOutcome();
    }
    if (Throw) throw rtl::Exception("HttpSendRequest Error 7 Description Couldn't connect");
    TZIWCustomCloudClient::LoginResponse(Request);
  }

  std::vector<std::string> Calls;
  TIWResult Script = resNone;
  bool Throw = false;
  std::string LastId;
};

struct Fixture : ::testing::Test {
  TZIWAuthServerController Controller{nullptr};
  std::unique_ptr<TTestClient> A = std::make_unique<TTestClient>(nullptr);
  std::unique_ptr<TTestClient> B = std::make_unique<TTestClient>(nullptr);

  TAuthClient* Entry(TZIWCustomCloudClient* Client, const std::string& Id) {
    TAuthClient* E = Controller.Clients()->Add();
    E->SetClient(Client);
    E->SetID(Id);
    return E;
  }
  void Route(const std::string& Query) { Controller.ProcessRequest(RequestWithQuery(Query)); }
};

TEST(ClientBase, NewClientState) {
  TTestClient C(nullptr);
  EXPECT_EQ(C.LoginResult(), resNone);
  EXPECT_EQ(C.LoginError(), "");
  EXPECT_EQ(C.App()->ID(), "");
  EXPECT_EQ(C.App()->Secret(), "");
  EXPECT_EQ(C.ServerController(), nullptr);
  EXPECT_FALSE(C.DesignTime());
}

TEST(ClientBase, DesignTimeOnlyWhenDesignedAndOwnerNotLoading) {
  rtl::TComponent Form(nullptr);
  Form.SetDesigning(true);
  auto* Designed = new TTestClient(&Form);
  EXPECT_TRUE(Designed->DesignTime());
  Form.Loading();
  auto* Loaded = new TTestClient(&Form);
  EXPECT_FALSE(Loaded->DesignTime());
  Form.Loaded();
  Form.SetReading(true);
  EXPECT_FALSE((new TTestClient(&Form))->DesignTime());
  EXPECT_FALSE((new TZIWAuthServerController(&Form))->DesignTime());
  Form.SetReading(false);
  EXPECT_TRUE((new TZIWAuthServerController(&Form))->DesignTime());
}

TEST(ClientBase, BaseLoginResponseRaisesTheEventOfTheOutcome) {
  TTestClient C(nullptr);
  std::vector<std::string> Fired;
  C.SetOnLoginOK([&](rtl::TObject* S) {
    EXPECT_EQ(S, &C);
    Fired.push_back("ok");
  });
  C.SetOnLoginFailed([&](rtl::TObject*) { Fired.push_back("failed"); });
  const THttpRequest R;
  C.TZIWCustomCloudClient::LoginResponse(R);
  EXPECT_TRUE(Fired.empty());
  C.SetLoginResult(resOK);
  C.TZIWCustomCloudClient::LoginResponse(R);
  C.SetLoginResult(resFailed);
  C.TZIWCustomCloudClient::LoginResponse(R);
  EXPECT_EQ(Fired, (std::vector<std::string>{"ok", "failed"}));
  EXPECT_EQ(C.LoginResult(), resFailed);  // the base never resets the outcome
}

TEST(ClientBase, OkHandlerThatSetsFailedRaisesFailedInTheSameCall) {
  TTestClient C(nullptr);
  std::vector<std::string> Fired;
  C.SetOnLoginOK([&](rtl::TObject*) {
    Fired.push_back("ok");
    C.SetLoginResult(resFailed);  // re-enters the client's lock
  });
  C.SetOnLoginFailed([&](rtl::TObject*) { Fired.push_back("failed"); });
  C.SetLoginResult(resOK);
  C.TZIWCustomCloudClient::LoginResponse(THttpRequest());
  EXPECT_EQ(Fired, (std::vector<std::string>{"ok", "failed"}));
}

TEST(ClientBase, UnassignedEventsAreSkipped) {
  TTestClient C(nullptr);
  C.SetLoginResult(resOK);
  EXPECT_NO_THROW(C.TZIWCustomCloudClient::LoginResponse(THttpRequest()));
}

TEST_F(Fixture, SetServerControllerTwiceGivesOneEntry) {
  A->SetServerController(&Controller);
  A->SetServerController(&Controller);
  ASSERT_EQ(Controller.Clients()->Count(), 1);
  const TAuthClient* E = Controller.Clients()->Items(0);
  EXPECT_EQ(E->Client(), A.get());
  EXPECT_EQ(E->ID(), "");
  EXPECT_EQ(E->Name(), "");
  EXPECT_EQ(E->Tag(), 0);
}

TEST_F(Fixture, ClearingRemovesEveryEntryOfTheClientAndKeepsOthersInOrder) {
  Entry(B.get(), "b1");
  A->SetServerController(&Controller);
  Entry(A.get(), "a2");
  Entry(B.get(), "b2");
  A->SetServerController(nullptr);
  ASSERT_EQ(Controller.Clients()->Count(), 2);
  EXPECT_EQ(Controller.Clients()->Items(0)->ID(), "b1");
  EXPECT_EQ(Controller.Clients()->Items(1)->ID(), "b2");
  EXPECT_EQ(A->ServerController(), nullptr);
}

TEST_F(Fixture, DirectReassignmentLeavesTheOldEntryAndAddsANewOne) {
  TZIWAuthServerController Other(nullptr);
  A->SetServerController(&Controller);
  A->SetServerController(&Other);
  EXPECT_EQ(Controller.Clients()->Count(), 1);
  EXPECT_EQ(Other.Clients()->Count(), 1);
  EXPECT_EQ(A->ServerController(), &Other);
}

TEST_F(Fixture, RoutesByStateThenClientIdExactly) {
  Entry(A.get(), "ABC");
  Entry(B.get(), "XYZ");
  Route("state=ABC&code=1");
  EXPECT_EQ(A->Calls.size(), 1u);
  Route("state=abc&code=2");  // case-sensitive
  Route("clientid=XYZ&code=3");
  Route("state=&clientid=XYZ&code=4");
  EXPECT_EQ(A->Calls.size(), 1u);
  EXPECT_EQ(B->Calls, (std::vector<std::string>{"3", "4"}));
  Route("state=ABCD");        // whole string only
  Route("code=5");            // neither key
  Route("STATE=ABC&code=6");  // the key's letter case does not matter
  EXPECT_EQ(A->Calls, (std::vector<std::string>{"1", "6"}));
}

TEST_F(Fixture, NonEmptyStateWinsEvenWhenItMatchesNothing) {
  Entry(B.get(), "XYZ");
  Route("state=ABC&clientid=XYZ");
  EXPECT_TRUE(B->Calls.empty());
}

TEST_F(Fixture, EveryMatchingEntryIsServedInCollectionOrder) {
  std::vector<std::string> Order;
  A->SetOnLoginFailed([&](rtl::TObject*) { Order.push_back("A"); });
  B->SetOnLoginFailed([&](rtl::TObject*) { Order.push_back("B"); });
  A->Script = B->Script = resFailed;
  Entry(B.get(), "SAME");
  Entry(nullptr, "SAME");  // an entry without a client is skipped
  Entry(A.get(), "SAME");
  Route("clientid=SAME");
  EXPECT_EQ(Order, (std::vector<std::string>{"B", "A"}));
}

TEST_F(Fixture, EmptyIdNeverMatches) {
  Entry(A.get(), "");
  Route("state=");
  Route("clientid=");
  EXPECT_TRUE(A->Calls.empty());
}

TEST_F(Fixture, AnOutcomeSpendsTheIdentifierSoAReloadIsIgnored) {
  A->SetServerController(&Controller);
  auto App = testing::MakeApplication();
  A->Login(App.get());
  const std::string Id = A->LastId;
  ASSERT_EQ(Id.size(), 36u);
  EXPECT_EQ(Controller.Clients()->Items(0)->ID(), Id);
  A->Script = resOK;
  Route("state=" + Id + "&code=c");
  Route("state=" + Id + "&code=c");
  EXPECT_EQ(A->Calls.size(), 1u);
  EXPECT_EQ(Controller.Clients()->Items(0)->ID(), "");
}

TEST_F(Fixture, PathsThatChangeNothingOrThrowDoNotSpendTheIdentifier) {
  Entry(A.get(), "ID1");
  Route("state=ID1");  // no outcome
  A->Throw = true;
  A->Script = resNone;
  EXPECT_THROW(Route("state=ID1"), rtl::Exception);
  A->Throw = false;
  A->Script = resFailed;
  Route("state=ID1");
  EXPECT_EQ(A->Calls.size(), 3u);
  EXPECT_EQ(Controller.Clients()->Items(0)->ID(), "");
}

TEST_F(Fixture, AnExceptionStopsTheEntriesAfterIt) {
  Entry(A.get(), "ID");
  Entry(B.get(), "ID");
  A->Throw = true;
  EXPECT_THROW(Route("state=ID"), rtl::Exception);
  EXPECT_TRUE(B->Calls.empty());
}

TEST_F(Fixture, AHandlerMayChangeTheRegistryWhileItIsRouted) {
  A->SetServerController(&Controller);
  B->SetServerController(&Controller);
  Controller.Clients()->Items(0)->SetID("ID");
  Controller.Clients()->Items(1)->SetID("ID");
  A->Script = resOK;
  A->SetOnLoginOK([&](rtl::TObject*) {
    A->SetServerController(nullptr);
    B->SetServerController(nullptr);
  });
  Route("state=ID");
  EXPECT_EQ(Controller.Clients()->Count(), 0);
  EXPECT_TRUE(B->Calls.empty());  // its entry was gone before its turn came
}

TEST_F(Fixture, TwoLoginsRouteOnlyTheSecondIdentifier) {
  A->SetServerController(&Controller);
  auto App = testing::MakeApplication();
  A->Login(App.get());
  const std::string First = A->LastId;
  A->Login(App.get());
  EXPECT_NE(First, A->LastId);
  Route("state=" + First);
  EXPECT_TRUE(A->Calls.empty());
  Route("state=" + A->LastId);
  EXPECT_EQ(A->Calls.size(), 1u);
}

TEST_F(Fixture, LoginWithoutControllerRaisesAClearMessage) {
  auto App = testing::MakeApplication();
  try {
    A->Login(App.get());
    FAIL() << "no exception";
  } catch (const rtl::Exception& E) {
    EXPECT_NE(E.Message().find("ServerController is not assigned"), std::string::npos);
    EXPECT_NE(E.Message().find("TZIWCustomCloudClient"), std::string::npos) << E.Message();
  }
  EXPECT_EQ(App->RedirectURL(), "");
}

TEST_F(Fixture, EmptyGuidGivesAnIdentifierThatRoutesNowhere) {
  A->SetServerController(&Controller);
  SetRandomSource([](std::uint8_t*, std::size_t) { return false; });
  auto App = testing::MakeApplication();
  A->Login(App.get());
  SetRandomSource({});
  EXPECT_EQ(A->LastId, "");
  Route("state=");
  EXPECT_TRUE(A->Calls.empty());
}

TEST_F(Fixture, ADestroyedClientLeavesEveryController) {
  TZIWAuthServerController Other(nullptr);
  A->SetServerController(&Controller);
  A->SetServerController(&Other);  // the entry in Controller stays
  Entry(A.get(), "hand-made");
  Entry(B.get(), "keep");
  A.reset();
  ASSERT_EQ(Controller.Clients()->Count(), 1);
  EXPECT_EQ(Controller.Clients()->Items(0)->ID(), "keep");
  EXPECT_EQ(Other.Clients()->Count(), 0);
  Route("state=hand-made");  // nothing left to call
}

// A client without a controller skips the walk over every controller when nothing names it;
// entries made by hand, copied or moved onto it must still count as naming it.
TEST_F(Fixture, AClientWithoutControllerStillLeavesEntriesMadeByHand) {
  TZIWAuthServerController Other(nullptr);
  A->SetServerController(&Controller);
  A->SetServerController(nullptr);  // its own entry is gone; nothing names it now
  TAuthClient* Moved = Entry(B.get(), "moved");
  Moved->SetClient(A.get());  // now names A, in Controller
  TAuthClient* Copy = Other.Clients()->Add();
  Copy->Assign(Moved);  // and a copy in Other
  Entry(B.get(), "keep");
  auto C = std::make_unique<TTestClient>(nullptr);
  TAuthClient* Gone = Entry(C.get(), "cleared");
  Gone->SetClient(nullptr);  // named C once, names nobody now
  A.reset();
  ASSERT_EQ(Controller.Clients()->Count(), 2);
  EXPECT_EQ(Controller.Clients()->Items(0)->ID(), "keep");
  EXPECT_EQ(Controller.Clients()->Items(1)->ID(), "cleared");
  EXPECT_EQ(Other.Clients()->Count(), 0);
  Route("state=moved");  // nothing left to call
  C.reset();
  EXPECT_EQ(Controller.Clients()->Count(), 2);  // the cleared entry stays, naming nobody
}

TEST_F(Fixture, ADestroyedControllerIsDroppedByItsClients) {
  auto C = std::make_unique<TZIWAuthServerController>(nullptr);
  A->SetServerController(C.get());
  C.reset();
  EXPECT_EQ(A->ServerController(), nullptr);
  EXPECT_NO_THROW(A->SetServerController(&Controller));
  EXPECT_EQ(Controller.Clients()->Count(), 1);
}

// The controller keeps the clients that point at it in a list: clients leaving from its head,
// middle and tail, moving to another controller or being destroyed must leave the list whole,
// so that the controller's destruction clears exactly the clients still pointing at it.
TEST_F(Fixture, AControllerClearsExactlyTheClientsStillPointingAtIt) {
  auto C = std::make_unique<TZIWAuthServerController>(nullptr);
  TZIWAuthServerController Other(nullptr);
  std::vector<std::unique_ptr<TTestClient>> Clients;
  for (int I = 0; I < 6; ++I) {
    Clients.push_back(std::make_unique<TTestClient>(nullptr));
    Clients.back()->SetServerController(C.get());
  }
  Clients[5]->SetServerController(nullptr);  // the list's head (the last to join)
  Clients[2]->SetServerController(&Other);   // the middle, to another controller
  Clients[0].reset();                        // the tail, destroyed
  Clients[3]->SetServerController(C.get());  // again: no second place in the list
  Clients[5]->SetServerController(C.get());  // back in
  // 1, 3, 4 and 5, and the entry of 2 left behind (a direct move keeps the old entry).
  EXPECT_EQ(C->Clients()->Count(), 5);
  C.reset();
  for (int I : {1, 3, 4, 5}) {
    EXPECT_EQ(Clients[static_cast<std::size_t>(I)]->ServerController(), nullptr) << I;
    // A client cleared by the controller's destruction can join another one.
    Clients[static_cast<std::size_t>(I)]->SetServerController(&Other);
  }
  EXPECT_EQ(Clients[2]->ServerController(), &Other);
  EXPECT_EQ(Other.Clients()->Count(), 5);
  Clients.clear();
  EXPECT_EQ(Other.Clients()->Count(), 0);
}

TEST_F(Fixture, OwnerTreeDestructionUnregistersTheClients) {
  auto Session = testing::MakeApplication();
  auto* Owned = new TTestClient(Session.get());
  Owned->SetServerController(&Controller);
  EXPECT_EQ(Controller.Clients()->Count(), 1);
  Session.reset();
  EXPECT_EQ(Controller.Clients()->Count(), 0);
}

TEST_F(Fixture, TheIdentifierIndexFollowsEveryChange) {
  TAuthClient* E = Entry(A.get(), "OLD");
  E->SetID("NEW");
  Route("state=OLD");
  EXPECT_TRUE(A->Calls.empty());
  Route("state=NEW");
  EXPECT_EQ(A->Calls.size(), 1u);
  TAuthClient* Copy = Controller.Clients()->Add();
  Copy->Assign(E);  // the copy is routable under the copied identifier
  Controller.Clients()->Delete(0);
  Route("state=NEW");
  EXPECT_EQ(A->Calls.size(), 2u);
  delete Copy;  // an entry deleted directly leaves the index too
  Route("state=NEW");
  EXPECT_EQ(A->Calls.size(), 2u);
  // Many entries: only the one with the identifier is served.
  for (int I = 0; I < 5000; ++I)
    Entry(B.get(), "B" + std::to_string(I));
  Entry(A.get(), "needle");
  Route("clientid=needle");
  EXPECT_EQ(A->Calls.size(), 3u);
  EXPECT_TRUE(B->Calls.empty());
  Route("clientid=B4999");
  EXPECT_EQ(B->Calls.size(), 1u);
}

// The by-client index behind SetServerController, NewFlowIdentifier and Detach: it follows
// SetClient, Assign and deletion, so each of those finds exactly the client's own entries.
TEST_F(Fixture, TheClientIndexFollowsEveryChange) {
  TAuthClients* R = Controller.Clients();
  TAuthClient* E = Entry(A.get(), "one");
  Entry(B.get(), "two");
  E->SetClient(B.get());  // moves from A to B
  EXPECT_TRUE(R->OfClient(A.get()).empty());
  EXPECT_EQ(R->OfClient(B.get()).size(), 2u);
  TAuthClient* Copy = R->Add();
  Copy->Assign(E);
  EXPECT_EQ(R->OfClient(B.get()).size(), 3u);
  delete Copy;
  E->SetClient(nullptr);
  EXPECT_EQ(R->OfClient(B.get()).size(), 1u);
  // A new flow identifier goes to every entry of the client and to no other.
  A->SetServerController(&Controller);
  Entry(A.get(), "stale");
  const std::string Id = A->NewFlowIdentifier();
  ASSERT_EQ(R->OfClient(A.get()).size(), 2u);
  for (const TAuthClient* Own : R->OfClient(A.get()))
    EXPECT_EQ(Own->ID(), Id);
  EXPECT_EQ(R->OfClient(B.get()).front()->ID(), "two");
  // Setting the same controller again adds nothing; clearing it removes the client's entries
  // only, the others keeping their order.
  A->SetServerController(&Controller);
  EXPECT_EQ(R->OfClient(A.get()).size(), 2u);
  A->SetServerController(nullptr);
  EXPECT_TRUE(R->OfClient(A.get()).empty());
  ASSERT_EQ(R->Count(), 2);
  EXPECT_EQ(R->Items(0)->ID(), "one");
  EXPECT_EQ(R->Items(1)->ID(), "two");
  B.reset();  // a destroyed client leaves the registry
  EXPECT_EQ(R->Count(), 1);
  EXPECT_EQ(R->Items(0)->Client(), nullptr);
}

TEST(AuthClient, CreateRefusesAForeignCollection) {
  rtl::TOwnedCollectionOf<rtl::TCollectionItem> Foreign;
  EXPECT_THROW(new TAuthClient(&Foreign), rtl::EInvalidCast);
  EXPECT_EQ(Foreign.Count(), 0);
}

TEST(AuthClient, DisplayNameAssignAndOwner) {
  TZIWAuthServerController C(nullptr);
  TAuthClients* L = C.Clients();
  L->Add();
  L->Add();
  TAuthClient* Third = L->Add();
  EXPECT_EQ(Third->GetDisplayName(), "Client 2");
  L->Delete(0);
  EXPECT_EQ(Third->GetDisplayName(), "Client 1");
  Third->SetName("Named");
  EXPECT_EQ(Third->GetDisplayName(), "Named");
  EXPECT_EQ(L->GetOwner(), &C);
  EXPECT_EQ(Third->GetOwner(), L);

  TTestClient Client(nullptr);
  TAuthClient* Source = L->Items(0);
  Source->SetClient(&Client);
  Source->SetID("ID");
  Source->SetName("N");
  Source->SetTag(5);
  L->SetItems(1, Source);
  EXPECT_EQ(Third->Client(), &Client);
  EXPECT_EQ(Third->ID(), "ID");
  EXPECT_EQ(Third->Name(), "N");
  EXPECT_EQ(Third->Tag(), 5);
  TIWApp NotAnEntry;
  Third->Assign(&NotAnEntry);
  Third->Assign(nullptr);
  EXPECT_EQ(Third->ID(), "ID");
  EXPECT_THROW(L->Items(2), rtl::EListError);
}

TEST(IWApp, HasNoCopyOperationOfItsOwn) {
  TIWApp A;
  TIWApp B;
  A.SetID("id");
  A.SetSecret("s");
  EXPECT_THROW(B.Assign(&A), rtl::EConvertError);
  EXPECT_EQ(A.ID(), "id");
  EXPECT_EQ(A.Secret(), "s");
}

}  // namespace
}  // namespace zelk::IWZelkAuthBase
