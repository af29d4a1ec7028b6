// TDemoForm: one browser session's page of the demo. It owns the session's components, loaded
// from the demo's form file (Google, Facebook, Windows Live, Twitter and PayPal clients), wires
// them to the application-wide auth server controller, starts each flow when its button is
// pressed, and keeps what each flow ended with for the page to show. The page's state (outcomes,
// notice, posting readiness, the card form as last sent, its one-time token) lives in the
// session's TIWApplication::Values(), so that a session's saved state (platform/web/
// SessionState.h) brings the page back with its components; the form itself keeps none.
//
// Contract: created in the server's OnNewSession with the session's application as owner;
// every method runs under the session's lock (the server serves a session's requests one at a
// time and routes a provider's return to the session that started the flow), so the form needs
// no lock of its own. Transport failures are caught and shown as the flow's outcome; a
// payment whose outcome is unknown (its answer lost after it reached PayPal) is shown as such,
// never as failed, telling the buyer to check before paying again.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/IWZelkAuthBase.h"
#include "examples/demo/DemoPage.h"
#include "payments/IWPayPalClient.h"
#include "platform/web/HttpRequest.h"
#include "platform/web/IWApplication.h"
#include "providers/IWFacebookAuthClient.h"
#include "providers/IWGAuthClient.h"
#include "providers/IWTwitterAuthClient.h"
#include "providers/IWWindowsLiveAuthClient.h"
#include "sim/AllProviders.h"

namespace zelk::demo {

// What every session's form is made from; shared by all sessions and never changed once the
// server runs.
struct TDemoSetup {
  nlohmann::json Form;   // the form file, parsed once (rtl::ParseForm)
  std::string FormName;  // its name in error messages
  IWZelkAuthBase::TZIWAuthServerController* Controller = nullptr;
  // The simulator's credentials, which replace the form's; null with the real providers.
  const sim::TDemoCredentials* Credentials = nullptr;
};

// The components the demo expects in its form file, by name and class.
struct TDemoClients {
  IWGAuthClient::TZIWGAuthClient* Google = nullptr;
  IWFacebookAuthClient::TZIWFacebookAuthClient* Facebook = nullptr;
  IWWindowsLiveAuthClient::TZIWWindowsLiveAuthClient* WindowsLive = nullptr;
  IWTwitterAuthClient::TZIWTwitterAuthClient* Twitter = nullptr;
  IWPayPalClient::TZIWPayPalClient* PayPal = nullptr;
};

// Loads the form file Text into Root and finds the five clients ("Google", "Facebook",
// "WindowsLive", "Twitter", "PayPal"). Raises rtl::EFormError for a bad file or a missing or
// mistyped component.
TDemoClients LoadDemoComponents(rtl::TComponent* Root, const std::string& Text,
                                const std::string& Name);
// The same from a form file already parsed.
TDemoClients LoadDemoComponents(rtl::TComponent* Root, const nlohmann::json& Form,
                                const std::string& Name);

// The flows whose client needs credentials the form file does not give, e.g.
// "Google (App.ID, App.Secret)"; empty when every flow is configured.
std::vector<std::string> MissingCredentials(const TDemoClients& Clients);

class TDemoForm : public rtl::TComponent {
 public:
  static constexpr const char* kName = "DemoForm";

  TDemoForm(web::TIWApplication* Application, const TDemoSetup& Setup);
  ~TDemoForm() override;
  std::string ClassName() const override { return "TDemoForm"; }

  // Starts a sign-in: the browser is sent to the provider, or the page tells why not.
  void SignIn(TDemoFlow Flow);
  // Posts Text for the user signed in with Facebook or Twitter.
  void PostStatus(TDemoFlow Flow, const std::string& Text);
  // A direct card payment of the cart's items with the card of the request's form fields
  // ("number", "type", "expiry" as MM/YYYY, "cvv"). The request must carry the card form's
  // outstanding payment token (kCardTokenField), which it spends before anything else: a
  // second sending of the same form (a double click, a reload, a replay) charges nothing and
  // the page says so.
  void PayByCard(const web::THttpRequest& Request);
  // A new payment token for the card form about to be rendered; it replaces the one
  // outstanding, so only the form rendered last can pay. Raises Exception when no random bytes
  // can be had.
  std::string IssueCardToken();
  // Express Checkout of the cart with shipping and tax: the browser goes to PayPal.
  void PayOnline();
  // Signs every client out and ends the session; the browser goes to a fresh start page.
  void SignOut();
  // A provider's return (a request naming a flow by "state" or "clientid"): handed to the auth
  // server controller when the flow is one of this session's, otherwise noted as stale. The
  // browser is then sent to the start page, so a reload cannot replay the return.
  void HandleReturn(const web::THttpRequest& Request);

  TDemoPageModel PageModel() const;
  // The start page was shown in this session. A provider's return that arrives in a session
  // that never showed it was started in a session this process does not have (the instance
  // that held it has stopped, or the session expired): the page then asks the user to sign in
  // again.
  void PageShown();
  const TDemoClients& Clients() const { return FClients; }

 private:
  void SetOutcome(TDemoFlow Flow, std::string Text, bool Failed);
  // A payment that may or may not have been taken: neither success nor failure.
  void SetUnknownOutcome(TDemoFlow Flow, std::string Text);
  // Whether Request carries the outstanding card token; spends it either way.
  bool SpendCardToken(const web::THttpRequest& Request);
  // The outcome of a sign-in that ended in LoginResponse.
  void SignedIn(TDemoFlow Flow);
  void SignInFailed(TDemoFlow Flow);
  IWZelkAuthBase::TZIWCustomCloudClient* ClientOf(TDemoFlow Flow) const;
  // The start page, where every action ends.
  void BackToPage();
  // The page's state in the session's values.
  TDemoOutcome Outcome(TDemoFlow Flow) const;
  void SetNotice(std::string Text);
  bool Flag(const char* Name) const;
  void SetFlag(const char* Name);
  // The card form as last sent, shown again.
  TDemoCard Card() const;
  void SetCard(const TDemoCard& Card);

  web::TIWApplication* FApplication;
  IWZelkAuthBase::TZIWAuthServerController* FController;
  bool FLive;
  TDemoClients FClients;
};

// The session's form, or null.
TDemoForm* DemoFormOf(web::TIWApplication* Application);

}  // namespace zelk::demo
