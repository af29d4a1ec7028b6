// Form files: writing stored properties, loading them back, and refusing bad files whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "core/IWZelkAuthBase.h"
#include "design/IWZelkAuthReg.h"
#include "platform/rtl/ClassRegistry.h"
#include "platform/rtl/Collection.h"
#include "platform/rtl/FormFile.h"

namespace zelk::rtl {
namespace {

using IWZelkAuthBase::TIWApp;
using IWZelkAuthBase::TZIWAuthServerController;
using IWZelkAuthBase::TZIWCustomCloudClient;

enum class TMode { mdOne, mdTwo, mdThree };
enum class TFlag { flA, flB };

class TItem : public TCollectionItem {
 public:
  explicit TItem(TCollection* C) : TCollectionItem(C) {}
  std::string Label;
  std::int32_t Count = 1;
};

// A client with one published property of every kind.
class TKitchenSink : public TZIWCustomCloudClient {
 public:
  explicit TKitchenSink(TComponent* Owner) : TZIWCustomCloudClient(Owner) {}
  ~TKitchenSink() override { Detach(); }
  std::string ClassName() const override { return "TKitchenSink"; }
  using TZIWCustomCloudClient::App;
  std::string Text;
  std::int32_t Number = -1;
  double Amount = 0;
  bool Flag = false;
  TMode Mode = TMode::mdTwo;
  TSet<TFlag> Flags;
  TOwnedCollectionOf<TItem> Items;
};

void RegisterTestClasses() {
  IWZelkAuthReg::RegisterClasses();
  TClassInfo Item;
  Item.Name = "TTestItem";
  Item.Properties = {props::String<TItem>(
                         "Label", [](TItem* I) { return I->Label; },
                         [](TItem* I, std::string V) { I->Label = V; }),
                     props::Integer<TItem>(
                         "Count", [](TItem* I) { return I->Count; },
                         [](TItem* I, std::int32_t V) { I->Count = V; }, 1)};
  TClassRegistry::RegisterClass(Item);
  TClassInfo Sink;
  Sink.Name = "TKitchenSink";
  Sink.ParentName = "TZIWCustomCloudClient";
  Sink.Create = [](TComponent* O) { return new TKitchenSink(O); };
  Sink.Properties = {
      props::Object<TKitchenSink>("App", "TIWApp", [](TKitchenSink* S) { return S->App(); }),
      props::String<TKitchenSink>(
          "Text", [](TKitchenSink* S) { return S->Text; },
          [](TKitchenSink* S, std::string V) { S->Text = V; }),
      props::Integer<TKitchenSink>(
          "Number", [](TKitchenSink* S) { return S->Number; },
          [](TKitchenSink* S, std::int32_t V) { S->Number = V; }, -1),
      props::Float<TKitchenSink>(
          "Amount", [](TKitchenSink* S) { return S->Amount; },
          [](TKitchenSink* S, double V) { S->Amount = V; }),
      props::Boolean<TKitchenSink>(
          "Flag", [](TKitchenSink* S) { return S->Flag; },
          [](TKitchenSink* S, bool V) { S->Flag = V; }),
      props::Enumeration<TKitchenSink, TMode>(
          "Mode", {"mdOne", "mdTwo", "mdThree"}, [](TKitchenSink* S) { return S->Mode; },
          [](TKitchenSink* S, TMode V) { S->Mode = V; }, TMode::mdTwo),
      props::Set<TKitchenSink, TFlag>(
          "Flags", {"flA", "flB"}, [](TKitchenSink* S) { return S->Flags; },
          [](TKitchenSink* S, TSet<TFlag> V) { S->Flags = V; }),
      props::Collection<TKitchenSink>("Items", "TTestItem",
                                      [](TKitchenSink* S) { return &S->Items; }),
      props::Event("OnLoginOK")};
  TClassRegistry::RegisterClass(Sink);
}

struct FormFile : ::testing::Test {
  void SetUp() override { RegisterTestClasses(); }
  TComponent Form{nullptr};
};

TEST_F(FormFile, DefaultsAreOmittedButSetsAlwaysStored) {
  auto* C = new TKitchenSink(&Form);
  C->SetName("Sink");
  const auto J = WriteFormJSON(&Form);
  ASSERT_EQ(J["components"].size(), 1u);
  const auto& P = J["components"][0]["properties"];
  EXPECT_EQ(P, nlohmann::json::parse(R"({"Flags": []})")) << P.dump();
}

TEST_F(FormFile, EveryKindRoundTripsToTheSameFile) {
  auto* Controller = new TZIWAuthServerController(&Form);
  Controller->SetName("Auth");
  auto* C = new TKitchenSink(&Form);
  C->SetName("Sink");
  C->App()->SetID("app-id");
  C->Text = "Jos\xC3\xA9 \"quoted\"";
  C->Number = 7;
  C->Amount = 10.5;
  C->Flag = true;
  C->Mode = TMode::mdThree;
  C->Flags = {TFlag::flB};
  C->SetTag(3);
  C->Items.Add()->Label = "first";
  C->Items.Add()->Count = 4;
  C->SetServerController(Controller);
  const std::string First = WriteForm(&Form);

  TComponent Loaded(nullptr);
  ReadForm(&Loaded, First, "first.json");
  ASSERT_EQ(Loaded.ComponentCount(), 2);
  auto* L = dynamic_cast<TKitchenSink*>(Loaded.FindComponent("Sink"));
  ASSERT_NE(L, nullptr);
  EXPECT_EQ(L->App()->ID(), "app-id");
  EXPECT_EQ(L->App()->Secret(), "");
  EXPECT_EQ(L->Text, C->Text);
  EXPECT_EQ(L->Number, 7);
  EXPECT_EQ(L->Amount, 10.5);
  EXPECT_TRUE(L->Flag);
  EXPECT_EQ(L->Mode, TMode::mdThree);
  EXPECT_EQ(L->Flags, TSet<TFlag>{TFlag::flB});
  EXPECT_EQ(L->Tag(), 3);
  ASSERT_EQ(L->Items.Count(), 2);
  EXPECT_EQ(L->Items.Items(0)->Label, "first");
  EXPECT_EQ(L->Items.Items(1)->Count, 4);
  // The reference went through the writer: the client is entered into the loaded controller.
  auto* LC = dynamic_cast<TZIWAuthServerController*>(Loaded.FindComponent("Auth"));
  ASSERT_NE(LC, nullptr);
  EXPECT_EQ(L->ServerController(), LC);
  ASSERT_EQ(LC->Clients()->Count(), 1);
  EXPECT_EQ(LC->Clients()->Items(0)->Client(), L);
  EXPECT_FALSE(L->DesignTime());
  EXPECT_FALSE(L->ComponentState().Contains(csLoading));
  EXPECT_FALSE(Loaded.ComponentState().Contains(csReading));

  EXPECT_EQ(WriteForm(&Loaded), First);
}

TEST_F(FormFile, ControllerEntriesAreNeverStored) {
  auto* Controller = new TZIWAuthServerController(&Form);
  Controller->SetName("Auth");
  Controller->Clients()->Add()->SetID("x");
  const auto J = WriteFormJSON(&Form);
  EXPECT_EQ(J["components"][0]["properties"], nlohmann::json::object());
}

struct BadCase {
  const char* Text;
  const char* Expect;  // a piece of the message
};

TEST_F(FormFile, BadFilesAreRefusedWholeWithThePlace) {
  const BadCase Cases[] = {
      {"{\"components\": [", "bad.json:1:"},
      {"[]", "a form file is a JSON object"},
      {"22222222222E2221", "invalid JSON"},  // found by fuzzing: a number no type can hold
      {R"({"components":[{"class":"TNoSuch","name":"A"}]})", "unknown component class \"TNoSuch\""},
      {R"({"components":[{"class":"TKitchenSink","name":"A","properties":{"Nope":1}}]})",
       "components[0] (A).Nope: unknown property"},
      {R"({"components":[{"class":"TKitchenSink","name":"A","properties":{"Number":"7"}}]})",
       "components[0] (A).Number: expected a 32-bit whole number"},
      {R"({"components":[{"class":"TKitchenSink","name":"A","properties":{"Number":4294967296}}]})",
       "expected a 32-bit whole number"},
      {R"({"components":[{"class":"TKitchenSink","name":"A","properties":{"Mode":"mdNine"}}]})",
       "expected one of mdOne, mdTwo, mdThree"},
      {R"({"components":[{"class":"TKitchenSink","name":"A","properties":{"Flags":["flZ"]}}]})",
       "Flags: expected a list of flA, flB"},
      {R"({"components":[{"class":"TKitchenSink","name":"A","properties":{"App":{"ID":5}}}]})",
       "App.ID: expected a text"},
      {R"({"components":[{"class":"TKitchenSink","name":"A","properties":{"Items":[{"Bad":1}]}}]})",
       "Items[0].Bad: unknown property"},
      {R"({"components":[{"class":"TKitchenSink","name":"A","properties":{"ServerController":"Gone"}}]})",
       "ServerController: no component named \"Gone\""},
      {R"({"components":[{"class":"TKitchenSink","name":"A"},{"class":"TKitchenSink","name":"B","properties":{"ServerController":"A"}}]})",
       "A is not a TZIWAuthServerController"},
      {R"({"components":[{"class":"TKitchenSink","name":"A","properties":{"OnLoginOK":"x"}}]})",
       "events are code"},
      {R"({"components":[{"class":"TKitchenSink","name":"A"},{"class":"TKitchenSink","name":"A"}]})",
       "already exists"},
      {R"({"components":[{"class":"TKitchenSink","name":"1x"}]})", "not a valid component name"},
  };
  for (const auto& C : Cases) {
    TComponent Target(nullptr);
    new TZIWAuthServerController(&Target);  // something that was there before stays
    try {
      ReadForm(&Target, C.Text, "bad.json");
      ADD_FAILURE() << "accepted: " << C.Text;
    } catch (const EFormError& E) {
      EXPECT_NE(E.Message().find(C.Expect), std::string::npos) << E.Message();
      EXPECT_EQ(E.Message().rfind("bad.json", 0), 0u) << E.Message();
    }
    EXPECT_EQ(Target.ComponentCount(), 1) << C.Text;  // nothing half-created
    EXPECT_FALSE(Target.ComponentState().Contains(csLoading));
  }
}

// A form parsed once loads into any number of roots, each getting its own components, and the
// property lists worked out once follow a class registered again.
TEST_F(FormFile, ParsedFormLoadsRepeatedlyAndFollowsReRegisteredClasses) {
  const nlohmann::json Parsed = ParseForm(
      R"({"components":[{"class":"TKitchenSink","name":"A","properties":{"Text":"t","Number":3}}]})",
      "once.json");
  TComponent First(nullptr);
  TComponent Second(nullptr);
  ReadFormJSON(&First, Parsed, "once.json");
  ReadFormJSON(&Second, Parsed, "once.json");
  auto* A1 = dynamic_cast<TKitchenSink*>(First.FindComponent("A"));
  auto* A2 = dynamic_cast<TKitchenSink*>(Second.FindComponent("A"));
  ASSERT_TRUE(A1 != nullptr && A2 != nullptr);
  EXPECT_NE(A1, A2);
  EXPECT_EQ(A2->Text, "t");
  EXPECT_EQ(A2->Number, 3);
  try {
    (void)ParseForm("{\n  \"components\": [,", "broken.json");
    ADD_FAILURE() << "a broken form was parsed";
  } catch (const EFormError& E) {
    EXPECT_EQ(E.Message().rfind("broken.json:2:", 0), 0u) << E.Message();
  }

  // The base class gains a property: its descendant's list, already worked out, must show it.
  const auto Before = TClassRegistry::PublishedPropertiesOf("TKitchenSink");
  auto Base = TClassRegistry::FindClass("TZIWCustomCloudClient");
  ASSERT_TRUE(Base.has_value());
  const TClassInfo Original = *Base;
  Base->Properties.push_back(props::String<TKitchenSink>(
      "Extra", [](TKitchenSink* S) { return S->Text; },
      [](TKitchenSink* S, std::string V) { S->Text = "extra:" + V; }));
  TClassRegistry::RegisterClass(*Base);
  const auto After = TClassRegistry::PublishedPropertiesOf("TKitchenSink");
  TClassRegistry::RegisterClass(Original);
  EXPECT_EQ(After->size(), Before->size() + 1);
  EXPECT_TRUE(std::any_of(After->begin(), After->end(),
                          [](const TPropertyInfo& P) { return P.Name == "Extra"; }));
  EXPECT_EQ(TClassRegistry::PublishedPropertiesOf("TKitchenSink")->size(), Before->size());
  EXPECT_THROW((void)TClassRegistry::PublishedPropertiesOf("TNoSuchClass"), EInvalidCast);
}

TEST_F(FormFile, MissingFileIsReported) {
  TComponent Target(nullptr);
  EXPECT_THROW(ReadFormFile(&Target, "/nonexistent/form.json"), EFormError);
}

}  // namespace
}  // namespace zelk::rtl
