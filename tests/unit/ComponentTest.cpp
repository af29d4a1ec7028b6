// The runtime's component model: ownership, state, names and free notification.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/rtl/ClassRegistry.h"
#include "platform/rtl/Classes.h"

namespace zelk::rtl {
namespace {

// Records its destruction and the notifications it receives.
class TProbe : public TComponent {
 public:
  TProbe(TComponent* AOwner, std::vector<std::string>* Log) : TComponent(AOwner), FLog(Log) {}
  ~TProbe() override {
    if (FLog) FLog->push_back("destroy " + Name());
  }
  TComponent* Peer = nullptr;

 protected:
  void Notification(TComponent* AComponent, TOperation Operation) override {
    TComponent::Notification(AComponent, Operation);
    if (Operation == opRemove && AComponent == Peer) {
      Peer = nullptr;
      if (FLog) FLog->push_back(Name() + " lost peer");
    }
  }

 private:
  std::vector<std::string>* FLog;
};

TEST(Component, OwnerFreesWhatItOwnsLastFirst) {
  std::vector<std::string> Log;
  auto Owner = std::make_unique<TProbe>(nullptr, &Log);
  Owner->SetName("Owner");
  auto* A = new TProbe(Owner.get(), &Log);
  A->SetName("A");
  auto* B = new TProbe(Owner.get(), &Log);
  B->SetName("B");
  auto* Grandchild = new TProbe(A, &Log);
  Grandchild->SetName("G");
  EXPECT_EQ(Owner->ComponentCount(), 2);
  EXPECT_EQ(A->Owner(), Owner.get());
  EXPECT_EQ(B->ComponentIndex(), 1);
  Owner.reset();
  EXPECT_EQ(Log,
            (std::vector<std::string>{"destroy Owner", "destroy B", "destroy A", "destroy G"}));
}

TEST(Component, DeletingAnOwnedComponentLeavesItsOwner) {
  TComponent Owner(nullptr);
  auto* A = new TComponent(&Owner);
  auto* B = new TComponent(&Owner);
  delete A;
  ASSERT_EQ(Owner.ComponentCount(), 1);
  EXPECT_EQ(Owner.Components(0), B);
  EXPECT_THROW(Owner.Components(1), EListError);
}

TEST(Component, NamesAreIdentifiersUniqueWithinTheOwner) {
  TComponent Owner(nullptr);
  auto* A = new TComponent(&Owner);
  auto* B = new TComponent(&Owner);
  A->SetName("Client1");
  EXPECT_THROW(B->SetName("client1"), Exception);  // names compare without case
  EXPECT_THROW(B->SetName("1abc"), Exception);
  EXPECT_THROW(B->SetName("a b"), Exception);
  B->SetName("_x9");
  EXPECT_EQ(Owner.FindComponent("CLIENT1"), A);
  EXPECT_EQ(Owner.FindComponent("missing"), nullptr);
  A->SetTag(-7);
  EXPECT_EQ(A->Tag(), -7);
}

TEST(Component, TakesTheOwnersDesigningStateWhenCreated) {
  TComponent Form(nullptr);
  auto* Before = new TComponent(&Form);
  Form.SetDesigning(true, false);
  auto* After = new TComponent(&Form);
  EXPECT_FALSE(Before->IsDesigning());
  EXPECT_TRUE(After->IsDesigning());
  Form.SetDesigning(false);
  EXPECT_FALSE(After->IsDesigning());
  Form.Loading();
  EXPECT_TRUE(Form.ComponentState().Contains(csLoading));
  Form.Loaded();
  EXPECT_FALSE(Form.ComponentState().Contains(csLoading));
  Form.SetReading(true);
  EXPECT_TRUE(Form.ComponentState().Contains(csReading));
}

TEST(Component, FreeNotificationTellsEachSideWhenTheOtherGoes) {
  std::vector<std::string> Log;
  auto A = std::make_unique<TProbe>(nullptr, &Log);
  A->SetName("A");
  auto B = std::make_unique<TProbe>(nullptr, &Log);
  B->SetName("B");
  A->Peer = B.get();
  B->Peer = A.get();
  A->FreeNotification(B.get());
  B.reset();
  EXPECT_EQ(A->Peer, nullptr);
  Log.clear();
  // The link went with B: destroying A tells nobody.
  A.reset();
  EXPECT_EQ(Log, (std::vector<std::string>{"destroy A"}));
}

TEST(Component, RemovedFreeNotificationIsNotSent) {
  std::vector<std::string> Log;
  TProbe A(nullptr, &Log);
  A.SetName("A");
  auto B = std::make_unique<TProbe>(nullptr, &Log);
  A.Peer = B.get();
  A.FreeNotification(B.get());
  A.RemoveFreeNotification(B.get());
  B.reset();
  EXPECT_NE(A.Peer, nullptr);  // not told
  A.Peer = nullptr;
}

TEST(Persistent, AssignWithoutACopyOperationRaisesConvertError) {
  TPersistent A;
  TPersistent B;
  EXPECT_THROW(A.Assign(&B), EConvertError);
  EXPECT_THROW(A.Assign(nullptr), EConvertError);
}

TEST(Set, MembershipAndOperators) {
  enum class E { a, b, c };
  TSet<E> S{E::a};
  EXPECT_TRUE(S.Contains(E::a));
  EXPECT_FALSE(S.Contains(E::b));
  S.Include(E::c).Exclude(E::a);
  EXPECT_EQ(S, (TSet<E>{E::c}));
  EXPECT_EQ(S + TSet<E>{E::b}, (TSet<E>{E::b, E::c}));
  EXPECT_TRUE((S - TSet<E>{E::c}).Empty());
  EXPECT_EQ(TSet<E>::FromBits(S.Bits()), S);
}

TEST(ClassRegistry, FindsAndCreatesComponentsAndListsInheritedProperties) {
  auto Prop = [](std::string Name, TPropertyKind Kind, std::optional<nlohmann::json> Default) {
    TPropertyInfo P;
    P.Name = std::move(Name);
    P.Kind = Kind;
    P.Default = std::move(Default);
    return P;
  };
  TClassInfo Base;
  Base.Name = "TTestBase";
  Base.Properties = {Prop("Tag", TPropertyKind::pkInteger, 0),
                     Prop("Caption", TPropertyKind::pkString, "")};
  TClassRegistry::RegisterClass(Base);
  TClassInfo Derived;
  Derived.Name = "TTestDerived";
  Derived.ParentName = "TTestBase";
  Derived.Create = [](TComponent* O) { return new TComponent(O); };
  Derived.Properties = {Prop("Caption", TPropertyKind::pkString, std::nullopt),
                        Prop("Mode", TPropertyKind::pkEnumeration, "mA")};
  Derived.Properties.back().EnumNames = {"mA", "mB"};
  TClassRegistry::RegisterClass(Derived);
  const auto Props = TClassRegistry::PublishedProperties("TTestDerived");
  ASSERT_EQ(Props.size(), 3u);
  EXPECT_EQ(Props[0].Name, "Tag");
  EXPECT_EQ(Props[1].Name, "Caption");
  EXPECT_FALSE(Props[1].Default.has_value());  // the descendant's declaration wins
  EXPECT_EQ(Props[2].EnumNames.size(), 2u);

  TComponent Owner(nullptr);
  TComponent* C = TClassRegistry::CreateComponent("TTestDerived", &Owner);
  EXPECT_EQ(C->Owner(), &Owner);
  EXPECT_THROW(TClassRegistry::CreateComponent("TTestBase", &Owner), Exception);
  EXPECT_THROW(TClassRegistry::CreateComponent("TNoSuchClass", &Owner), Exception);
  EXPECT_THROW(TClassRegistry::PublishedProperties("TNoSuchClass"), EInvalidCast);
}

}  // namespace
}  // namespace zelk::rtl
