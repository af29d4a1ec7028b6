// Sessions restored from their saved state, against the simulator: the demo's session is saved,
// its process "dies" (the application object and its clients go), and a fresh application built
// as the demo's OnNewSession builds it (same form, same names, the same controller) restores the
// record and carries on: a flow in progress completes there (routed by its identifier or request
// token, with the PKCE verifier and the request-token secret it started with), a signed-in user's
// tokens still post, an approved checkout is captured once.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "design/IWZelkAuthReg.h"
#include "examples/demo/DemoForm.h"
#include "platform/rtl/ClassRegistry.h"
#include "platform/rtl/FormFile.h"
#include "platform/web/SessionState.h"
#include "sim/AllProviders.h"
#include "support/FakeApplication.h"
#include "support/HtmlForm.h"
#include "support/ProviderPage.h"
#include "support/SimulatorFixture.h"

namespace zelk::demo {
namespace {

using nlohmann::json;

constexpr const char* kAppURL = "http://127.0.0.1:8080/app";

std::string ReadFile(const char* Path) {
  std::ifstream In(Path, std::ios::binary);
  std::ostringstream Text;
  Text << In.rdbuf();
  return Text.str();
}

struct TSession {
  std::unique_ptr<web::TIWApplication> App;
  TDemoForm* Form = nullptr;
  TDemoOutcome Outcome(TDemoFlow Flow) const {
    return Form->PageModel().Outcomes[static_cast<int>(Flow)];
  }
  // Starts Flow; returns the provider's page the browser was sent to.
  std::string Start(TDemoFlow Flow) {
    App->ClearRedirect();
    if (Flow == dfCheckout)
      Form->PayOnline();
    else
      Form->SignIn(Flow);
    return App->RedirectURL();
  }
  // The browser arrives back from the provider at URL, as the demo's OnBeforeDispatch hands it on.
  void Return(const std::string& URL) {
    Form->HandleReturn(web::THttpRequest::FromTarget(testing::TargetOf(URL)));
  }
};

class SessionStateRoundTrip : public testing::SimulatorFixture {
 protected:
  void SetUp() override {
    SimulatorFixture::SetUp();
    IWZelkAuthReg::RegisterClasses();
    Providers = sim::InstallAllProviders(Sim);
    Providers->Twitter().AllowCallback(sim::TwitterSim::kDefaultConsumerKey,
                                       std::string(kAppURL) + "/");
    Controller = new IWZelkAuthBase::TZIWAuthServerController(&ServerController);
    Browser = std::make_unique<testing::SimBrowser>(Sim);
  }
  void UseForm(const char* File) {
    Setup.FormName = File;
    Setup.Form = rtl::ParseForm(ReadFile(File), File);
    Setup.Controller = Controller;
    Setup.Credentials = &Providers->Credentials();
  }
  TSession NewSession() {
    auto App = testing::MakeApplication(kAppURL);
    auto* Form = new TDemoForm(App.get(), Setup);
    return {std::move(App), Form};
  }
  TSession Restore(const json& State) {
    TSession S = NewSession();
    web::ReadSessionState(*S.App, State);
    return S;
  }
  // The provider's page answered with Button; returns where the browser is sent back to.
  std::string Press(const std::string& Page, const char* Button) {
    const auto Answer = testing::AnswerProviderPage(*Browser, Page, Button);
    EXPECT_EQ(Answer.Status, 302) << Answer.Body;
    return Answer.Location;
  }
  std::size_t Payments() {
    return Providers->PayPal().Payments().size() + Providers->PayPal().RestPayments().size();
  }

  std::unique_ptr<sim::TAllProviders> Providers;
  web::TIWServerControllerBase ServerController{nullptr};
  IWZelkAuthBase::TZIWAuthServerController* Controller = nullptr;  // owned by the above
  TDemoSetup Setup;
  std::unique_ptr<testing::SimBrowser> Browser;
};

struct TFlowCase {
  const char* Class;
  TDemoFlow Flow;
  const char* Button;
  const char* Outcome;  // how the page's outcome starts once the return completed
};
const std::vector<TFlowCase> kFlows = {
    {"TZIWGAuthClient", dfGoogle, "Allow", "Signed in with Google as Zoë Ünal."},
    {"TZIWFacebookAuthClient", dfFacebook, "Allow", "Signed in with Facebook as Renée 山田."},
    {"TZIWWindowsLiveAuthClient", dfWindowsLive, "Allow",
     "Signed in with Windows Live as Łukasz Żółć."},
    {"TZIWTwitterAuthClient", dfTwitter, "Allow", "Signed in with Twitter as zelk_sim."},
    {"TZIWPayPalClient", dfCheckout, "Pay", "PayPal payment completed: "},
};
const char* const kForms[] = {ZELK_DEMO_FORM, ZELK_DEMO_CURRENT_FORM};

TEST_F(SessionStateRoundTrip, EveryRegisteredComponentClassHasAScenario) {
  for (const std::string& Name : rtl::TClassRegistry::ClassNames()) {
    if (!rtl::TClassRegistry::ClassInfo(Name)->Create) continue;
    // The controller keeps no state of its own: its entries' flows are the clients' state, and
    // it routes every restored flow below.
    if (Name == "TZIWAuthServerController") {
      EXPECT_TRUE(rtl::TClassRegistry::RunTimeStateOf(Name)->empty());
      continue;
    }
    EXPECT_TRUE(std::any_of(kFlows.begin(), kFlows.end(),
                            [&](const TFlowCase& C) { return Name == C.Class; }))
        << "no restore scenario for the component class " << Name;
  }
}

TEST_F(SessionStateRoundTrip, AFlowInProgressCompletesInTheRestoredSessionOnce) {
  for (const char* File : kForms) {
    UseForm(File);
    for (const TFlowCase& C : kFlows) {
      SCOPED_TRACE(std::string(File) + " " + C.Class);
      TSession Saved = NewSession();
      Saved.Form->PageShown();
      const std::string Page = Saved.Start(C.Flow);
      ASSERT_FALSE(Page.empty()) << Saved.Outcome(C.Flow).Text;
      // Approved at the provider while the session is saved and its process goes.
      const std::string Back = Press(Page, C.Button);
      const json State = web::WriteSessionState(*Saved.App);
      Saved = {};
      TSession Restored = Restore(State);
      EXPECT_EQ(web::WriteSessionState(*Restored.App), State);
      const std::size_t PaymentsBefore = Payments();
      Restored.Return(Back);
      EXPECT_TRUE(Restored.Outcome(C.Flow).Text.starts_with(C.Outcome))
          << Restored.Outcome(C.Flow).Text;
      EXPECT_FALSE(Restored.Outcome(C.Flow).Failed);
      // A reload of the return changes nothing: the flow is spent.
      Restored.Return(Back);
      EXPECT_EQ(Payments() - PaymentsBefore, C.Flow == dfCheckout ? 1u : 0u);
      EXPECT_NE(Restored.Form->PageModel().Notice.find("not in progress"), std::string::npos);
    }
  }
}

TEST_F(SessionStateRoundTrip, ASignedInSessionRestoredIsTheSamePageAndItsTokensStillPost) {
  for (const char* File : kForms) {
    SCOPED_TRACE(File);
    UseForm(File);
    TSession Saved = NewSession();
    for (const TFlowCase& C : kFlows)
      Saved.Return(Press(Saved.Start(C.Flow), C.Button));
    for (const TFlowCase& C : kFlows)
      EXPECT_TRUE(Saved.Outcome(C.Flow).Text.starts_with(C.Outcome)) << Saved.Outcome(C.Flow).Text;
    auto Page = [](TSession& S) {
      TDemoPageModel M = S.Form->PageModel();
      M.FormToken = S.App->FormToken();
      return RenderDemoPage(M);
    };
    const std::string Shown = Page(Saved);
    const json State = web::WriteSessionState(*Saved.App);
    std::cout << "[ state    ] a demo session of " << File << " with four sign-ins and a paid "
              << "checkout: " << State.dump().size() << " bytes of JSON\n";
    Saved = {};
    TSession Restored = Restore(State);
    EXPECT_EQ(web::WriteSessionState(*Restored.App), State);
    EXPECT_EQ(Page(Restored), Shown);

    const std::string Text = std::string("Restored from ") + File;  // no duplicate status
    Restored.Form->PostStatus(dfTwitterPost, Text);
    EXPECT_TRUE(Restored.Outcome(dfTwitterPost).Text.starts_with("Posted to Twitter (status id "))
        << Restored.Outcome(dfTwitterPost).Text;
    if (File == std::string(ZELK_DEMO_FORM)) {
      Restored.Form->PostStatus(dfFacebookPost, Text);
      EXPECT_TRUE(Restored.Outcome(dfFacebookPost).Text.starts_with("Posted to Facebook (post id "))
          << Restored.Outcome(dfFacebookPost).Text;
    }
  }
}

}  // namespace
}  // namespace zelk::demo
