// A session's state as data: components found again by path and class at any depth, published
// properties as form files store them (without references, events and kept-out secrets), run-time
// state in declaration order, records that do not fit refused before anything is applied, and
// the application object's own values, flags and form token.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/IWZelkAuthBase.h"
#include "design/IWZelkAuthReg.h"
#include "payments/IWPayPalClient.h"
#include "platform/rtl/StateFile.h"
#include "platform/web/SessionState.h"
#include "providers/IWGAuthClient.h"
#include "support/FakeApplication.h"

namespace zelk::rtl {
namespace {

using IWPayPalClient::TPayPalTransaction;
using nlohmann::json;
enum class TOutcome { ocNone, ocDone };

// An unregistered container: only its registered descendants have state.
class TStateForm : public TComponent {
 public:
  using TComponent::TComponent;
  std::string ClassName() const override { return "TStateForm"; }
};

// Published properties of every stored shape (the sub-object and the items are the library's),
// run-time state of every scalar kind; Log records the text setters' order.
class TStateProbe : public TComponent {
 public:
  using TComponent::TComponent;
  std::string ClassName() const override { return "TStateProbe"; }
  std::string Label, Secret, Token, Guarded;
  IWZelkAuthBase::TIWApp App;
  TOwnedCollectionOf<TPayPalTransaction> Items;
  TStateProbe* Peer = nullptr;
  TOutcome Outcome = TOutcome::ocNone;
  bool Ready = false;
  std::int32_t Retries = 0;
  std::vector<std::string> Log;
};

using P = TStateProbe;
TPropertyInfo Text(const char* Name, std::string P::*Field) {
  return props::String<P>(
      Name, [Field](P* X) { return X->*Field; },
      [Field, Name](P* X, std::string V) {
        if (V == "refused") throw Exception("the value is refused");
        X->*Field = std::move(V);
        X->Log.push_back(Name);
      });
}

void RegisterStateClasses() {
  IWZelkAuthReg::RegisterClasses();
  TClassInfo Probe{"TStateProbe", "TComponent", [](TComponent* O) { return new P(O); }, {}, {}};
  Probe.Properties = {
      Text("Label", &P::Label),
      KeptOutOfState(Text("Secret", &P::Secret)),
      props::Object<P>("App", "TIWApp", [](P* X) { return &X->App; }),
      props::Collection<P>("Items", "TPayPalTransaction", [](P* X) { return &X->Items; }),
      props::Component<P, P>(
          "Peer", "TStateProbe", [](P* X) { return X->Peer; }, [](P* X, P* V) { X->Peer = V; }),
      props::Event("OnChange")};
  Probe.State = {
      props::Enumeration<P, TOutcome>(
          "Outcome", {"ocNone", "ocDone"}, [](P* X) { return X->Outcome; },
          [](P* X, TOutcome V) { X->Outcome = V; }, TOutcome::ocNone),
      Text("Token", &P::Token),
      props::Boolean<P>(
          "Ready", [](P* X) { return X->Ready; }, [](P* X, bool V) { X->Ready = V; }),
      props::Integer<P>(
          "Retries", [](P* X) { return X->Retries; }, [](P* X, std::int32_t V) { X->Retries = V; }),
      Text("Guarded", &P::Guarded)};
  TClassRegistry::RegisterClass(Probe);
}

// An application > Form > {Probe, Panel > Deep}: registered components at two depths.
struct TTree {
  std::unique_ptr<web::TIWApplication> App = testing::MakeApplication("http://other/");
  P* Probe;
  P* Deep;
  TTree() {
    auto* Form = new TStateForm(App.get());
    Form->SetName("Form");
    (Probe = new P(Form))->SetName("Probe");
    auto* Panel = new TStateForm(Form);
    Panel->SetName("Panel");
    (Deep = new P(Panel))->SetName("Deep");
  }
  TTree& Fill() {
    App->SetApplicationURL("https://shop.example/app");
    App->SetValue("notice", "Zoë's");
    App->SetValue("empty", "");
    App->FlowSucceeded();
    Probe->Label = "Zoë";
    Probe->Secret = "hunter2";
    Probe->App.SetID("id");
    Probe->App.SetSecret("hunter2");
    Probe->Items.Add()->SetName("a");
    Probe->Items.Add()->SetName("b");
    Probe->Peer = Deep;
    Probe->Outcome = TOutcome::ocDone;
    Probe->Token = "tok";
    Probe->Ready = true;
    Probe->Guarded = "g";
    Deep->Retries = -7;
    Deep->SetTag(4);
    return *this;
  }
};

struct SessionState : ::testing::Test {
  void SetUp() override { RegisterStateClasses(); }
};

TEST_F(SessionState, WritesEveryRegisteredComponentByPathWithoutReferencesEventsOrSecrets) {
  TTree T;
  EXPECT_EQ(WriteState(T.Fill().App.get()).dump(),
            R"({"components":[{"class":"TStateProbe","path":"Form.Probe","properties":)"
            R"({"App":{"ID":"id"},"Items":[{"Name":"a"},{"Name":"b"}],"Label":"Zoë"},"state":)"
            R"({"Guarded":"g","Outcome":"ocDone","Ready":true,"Token":"tok"}},{"class":)"
            R"("TStateProbe","path":"Form.Panel.Deep","properties":{"Tag":4},"state":)"
            R"({"Retries":-7}}]})");
  // A component that could not be found again by its path is refused, not left out.
  T.Deep->SetName("");
  EXPECT_THROW(WriteState(T.App.get()), EStateError);
  T.Deep->SetName("Deep");
  T.Deep->Owner()->SetName("");
  EXPECT_THROW(WriteState(T.App.get()), EStateError);
}

TEST_F(SessionState, RestoresAFreshApplicationInDeclarationOrderAndTheOldFormTokenStillPosts) {
  TTree Saved;
  const std::string Token = Saved.Fill().App->FormToken();
  const json State = web::WriteSessionState(*Saved.App);
  TTree Fresh;
  Fresh.Probe->Items.Add()->SetName("from the form");
  web::ReadSessionState(*Fresh.App, State);
  EXPECT_EQ(web::WriteSessionState(*Fresh.App), State);
  EXPECT_EQ(Fresh.Probe->Log, (std::vector<std::string>{"Label", "Token", "Guarded"}));
  EXPECT_EQ(Fresh.Probe->Peer, nullptr);  // wired by the application, never by a record
  EXPECT_EQ(Fresh.App->GetApplicationURL(), "https://shop.example/app");
  EXPECT_TRUE(Fresh.App->Established() && Fresh.App->SessionIDRenewalPending());
  EXPECT_EQ(Fresh.App->Values(), Saved.App->Values());
  web::THttpRequest Post = web::THttpRequest::FromTarget("/app/", "POST");
  Post.SetBody(std::string(web::TIWApplication::FormTokenField) + "=" + Token,
               "application/x-www-form-urlencoded");
  EXPECT_TRUE(Fresh.App->CheckFormToken(Post));
}

TEST_F(SessionState, ARecordThatDoesNotFitIsRefusedWholeAndChangesNothing) {
  TTree Saved;
  const json Good = web::WriteSessionState(*Saved.Fill().App);
  const std::string First = Good["components"][0].dump();
  // The broken part comes last: applying what precedes it before checking all would show.
  const std::vector<std::vector<std::string>> Cases = {
      {"/components/1/path", R"("Form.Panel.Gone")",
       "components[1] (Form.Panel.Gone): this application has no such component"},
      {"/components/1/class", R"("TZIWGAuthClient")",
       "the state is of a TZIWGAuthClient, the component is a TStateProbe"},
      {"/components/1", First, "(Form.Probe): the component appears twice"},
      {"/components", "[" + First + "]", "Form.Panel.Deep: this TStateProbe has no entry"},
      {"/components/1/state/Colour", "1", "Deep: state.Colour: unknown property of TStateProbe"},
      {"/components/1/properties/Label", "5", "properties.Label: expected a text"},
      {"/components/1/state/Retries", "1099511627776",
       "state.Retries: expected a 32-bit whole number"},
      {"/components/1/state/Ready", "1", "state.Ready: expected true or false"},
      {"/components/1/state/Outcome", R"("ocMaybe")", "expected one of ocNone, ocDone"},
      {"/components/1/properties/Items", R"([{"Price":"1"}])", "Items[0].Price: expected a number"},
      {"/components/1/properties/Peer", R"("Probe")", "Peer: component references are not part"},
      {"/components/1/properties/OnChange", R"("x")", "OnChange: events are code"},
      {"/components/1/properties/Secret", R"("x")", "Secret: is never part of a session's state"},
      {"/components/1/properties/App", R"({"Secret":"x"})", "App.Secret: is never part of"},
      {"/components/1/owner", R"("x")", "components[1].owner: unknown member"},
      {"/components", "{}", "components: expected a list"},
      {"/version", "2", "version: the record is of version 2, this application reads 1"},
      {"/formToken", std::string(R"(")") + std::string(64, 'A') + R"(")", "formToken: expected 64"},
      {"/values/notice", "1", "values.notice: expected a text"},
      {"/sessionID", R"("S1")", "sessionID: unknown member"},
  };
  for (const auto& C : Cases) {
    json Bad = Good;
    Bad[json::json_pointer(C[0])] = json::parse(C[1]);
    TTree Fresh;
    const json Before = web::WriteSessionState(*Fresh.App);
    try {
      web::ReadSessionState(*Fresh.App, Bad);
      ADD_FAILURE() << "accepted " << Bad.dump();
    } catch (const EStateError& E) {
      EXPECT_NE(E.Message().find(C[2]), std::string::npos) << E.Message();
      EXPECT_EQ(E.Message().rfind("Session state: ", 0), 0u) << E.Message();
    }
    EXPECT_EQ(web::WriteSessionState(*Fresh.App), Before) << C[0];
    EXPECT_FALSE(Fresh.App->SessionEndRequested());
  }
}

TEST_F(SessionState, AValueRefusedWhileApplyingIsNamedAndThePartlyRestoredSessionLeavesItsFlows) {
  IWZelkAuthBase::TZIWAuthServerController Controller(nullptr);
  auto Build = [&Controller] {
    auto App = testing::MakeApplication();
    auto* Google = new IWGAuthClient::TZIWGAuthClient(App.get());
    Google->SetName("Google");
    Google->SetServerController(&Controller);
    (new P(App.get()))->SetName("Probe");
    return App;
  };
  auto Saved = Build();
  dynamic_cast<IWZelkAuthBase::TZIWCustomCloudClient*>(Saved->Components(0))->Login(Saved.get());
  const std::string Flow = Controller.Clients()->Items(0)->ID();
  json State = web::WriteSessionState(*Saved);
  Saved.reset();
  // The probe comes after Google: Google's flow is applied before the probe's value is refused.
  State["components"][1]["state"]["Guarded"] = "refused";
  auto Fresh = Build();
  try {
    web::ReadSessionState(*Fresh, State);
    ADD_FAILURE() << "accepted";
  } catch (const EStateError& E) {
    EXPECT_EQ(E.Message(), "Session state: Probe: state.Guarded: the value is refused");
  }
  EXPECT_TRUE(Fresh->SessionEndRequested());
  EXPECT_FALSE(Controller.VisitFlowOwners(Flow, [](const TComponent&) { return true; }));
}

}  // namespace
}  // namespace zelk::rtl
