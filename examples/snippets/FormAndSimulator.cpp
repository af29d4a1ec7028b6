// Components from a form file, and the simulator in an application's own tests.
#include "core/IWZelkAuthBase.h"
#include "design/IWZelkAuthReg.h"
#include "examples/snippets/Snippets.h"
#include "platform/rtl/FormFile.h"
#include "providers/IWGAuthClient.h"
#include "sim/AllProviders.h"
#include "sim/Simulator.h"

namespace zelk::snippets {

void LoadSessionForm(web::TIWApplication& Session, IWZelkAuthBase::TZIWAuthServerController* Auth) {
  // [readme:form]
  IWZelkAuthReg::RegisterClasses();  // once, before the first form is read
  rtl::ReadFormFile(&Session, "my-form.json");
  auto* Google = dynamic_cast<IWGAuthClient::TZIWGAuthClient*>(Session.FindComponent("Google"));
  Google->SetServerController(Auth);  // events are code: set them here too
  // [/readme]
}

void TestAgainstTheSimulator() {
  // [readme:simulator]
  sim::Simulator Sim;
  auto Providers = sim::InstallAllProviders(Sim);  // Google, Facebook, Live, Twitter, PayPal
  Sim.Start();
  Sim.UseForThisProcess();  // every provider host and the trusted CA now point at Sim
  const sim::TDemoCredentials& Accepted = Providers->Credentials();
  // ... give Accepted.Google.ClientId and Accepted.Google.Secret to the client under test,
  // drive the flow, then look at what the simulator saw:
  const auto Requests = Sim.Received(sim::TProviderId::Google);
  // [/readme]
  (void)Accepted;
  (void)Requests;
}

}  // namespace zelk::snippets
