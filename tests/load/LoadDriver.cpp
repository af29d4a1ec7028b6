#include "load/LoadDriver.h"

#include <algorithm>
#include <atomic>
#include <locale>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "core/IWZelkAuthBase.h"
#include "examples/demo/DemoApplication.h"
#include "examples/demo/DemoOptions.h"
#include "platform/rtl/SysUtils.h"
#include "platform/web/HttpRequest.h"
#include "support/HtmlForm.h"
#include "support/SimBrowser.h"

namespace zelk::testing {

namespace {

using TFields = std::vector<std::pair<std::string, std::string>>;

enum class TKind { Google, Facebook, WindowsLive, Twitter, PayPal };
constexpr int kKinds = 5;

// As the demo names the provider in its outcome lines.
std::string ProviderOf(TKind K) {
  switch (K) {
    case TKind::Google:
      return "Google";
    case TKind::Facebook:
      return "Facebook";
    case TKind::WindowsLive:
      return "Windows Live";
    case TKind::Twitter:
      return "Twitter";
    case TKind::PayPal:
      return "PayPal";
  }
  return {};
}

// The demo's id of the flow's section, and the address of its button.
std::string FlowIdOf(TKind K) {
  switch (K) {
    case TKind::Google:
      return "google";
    case TKind::Facebook:
      return "facebook";
    case TKind::WindowsLive:
      return "windowslive";
    case TKind::Twitter:
      return "twitter";
    case TKind::PayPal:
      return "checkout";
  }
  return {};
}

std::string StartPathOf(TKind K) {
  return K == TKind::PayPal ? "paypal/checkout" : FlowIdOf(K) + "/login";
}

// Account J of a sign-in provider (Twitter's ids are numbers). Account 0 is the provider's
// default user.
std::string AccountID(TKind K, int J) {
  return K == TKind::Twitter ? std::to_string(7000 + J)
                             : FlowIdOf(K) + "-load-" + std::to_string(J);
}
std::string AccountName(TKind K, int J) {
  return "Load User " + std::to_string(J) + " at " + ProviderOf(K);
}
// The name a sign-in shows: Twitter's is the screen name.
std::string ShownName(TKind K, int J) {
  return K == TKind::Twitter ? "load_user_" + std::to_string(J) : AccountName(K, J);
}

struct TFlowPlan {
  int Index = 0;
  TKind Kind = TKind::Google;
  bool Agree = true;  // Allow, or Pay
  int Account = 1;    // sign-ins: the account to continue as
};

std::vector<TFlowPlan> MakePlans(const TLoadOptions& O) {
  std::mt19937 Random(O.Seed);
  std::vector<TFlowPlan> Plans;
  for (int I = 0; I < O.Flows; ++I) {
    TFlowPlan P;
    P.Index = I;
    // Every provider in turn, so that any run of five flows mixes all of them.
    P.Kind = static_cast<TKind>(I % kKinds);
    P.Agree = Random() % 4 != 0;
    P.Account = 1 + static_cast<int>(Random() % static_cast<unsigned>(std::max(1, O.Accounts)));
    Plans.push_back(P);
  }
  return Plans;
}

std::string HostOf(const std::string& URL) {
  const auto Start = URL.find("://") + 3;
  const auto End = URL.find_first_of(":/?#", Start);
  return URL.substr(Start, End == std::string::npos ? End : End - Start);
}

// A browser: its own cookies, kept per host name as a browser keeps them, sent back to that
// host only; redirects followed (a POST answered 302 or 303 goes on as a GET).
class TBrowser {
 public:
  explicit TBrowser(const std::string& CAPem) : FBrowser(CAPem) {}

  TBrowserResponse Open(const std::string& URL) { return Follow(Send("GET", URL, {})); }
  TBrowserResponse Submit(const std::string& URL, const TFields& Fields) {
    return Follow(Send("POST", URL, Fields));
  }
  // Where the last answer came from.
  const std::string& URL() const { return FURL; }

 private:
  TBrowserResponse Send(const std::string& Method, const std::string& URL, const TFields& Fields) {
    const std::string Host = HostOf(URL);
    std::string Cookie;
    for (const auto& [Name, Value] : FCookies[Host])
      Cookie += (Cookie.empty() ? "" : "; ") + Name + "=" + Value;
    FBrowser.SetHeader("Cookie", Cookie);
    FURL = URL;
    TBrowserResponse R = Method == "GET" ? FBrowser.Get(URL) : FBrowser.PostForm(URL, Fields);
    for (const auto& [Name, Value] : R.Headers) {
      if (!rtl::SameText(Name, "Set-Cookie")) continue;
      const std::string Pair = Value.substr(0, Value.find(';'));
      const auto Eq = Pair.find('=');
      if (Eq != std::string::npos) FCookies[Host][Pair.substr(0, Eq)] = Pair.substr(Eq + 1);
    }
    return R;
  }

  TBrowserResponse Follow(TBrowserResponse R) {
    for (int Hops = 0; Hops < 10 && R.Status >= 300 && R.Status < 400 && !R.Location.empty();
         ++Hops)
      R = Send("GET", ResolveURL(FURL, R.Location), {});
    return R;
  }

  SimBrowser FBrowser;
  std::map<std::string, std::map<std::string, std::string>> FCookies;
  std::string FURL;
};

// The text of the demo page's outcome line of a flow.
std::string OutcomeLine(const std::string& Page, const std::string& Flow) {
  const std::string Start = "<p id=\"" + Flow + "-outcome\" class=\"";
  const auto P = Page.find(Start);
  if (P == std::string::npos) return "<no outcome line>";
  const auto Text = Page.find('>', P) + 1;
  return Page.substr(Text, Page.find("</p>", Text) - Text);
}

struct TFlowResult {
  bool Completed = false;
  std::string Failure;
  std::string CheckoutToken;  // PayPal: the checkout the browser answered
};

// One browser's whole flow; the first thing that is not as the browser chose ends it.
TFlowResult Play(const TFlowPlan& Plan, const std::string& AppURL, const std::string& CAPem) {
  TFlowResult Result;
  const auto Fail = [&](const std::string& What) {
    Result.Failure = What;
    return Result;
  };
  try {
    TBrowser B(CAPem);
    TBrowserResponse R = B.Open(AppURL);
    if (R.Status != 200) return Fail("the demo's page answered " + std::to_string(R.Status));

    // The flow's button (its form carries the session's form token): the demo sends the
    // browser on to the provider's page.
    const std::string Marker = "name=\"zelk_form_token\" value=\"";
    const auto TokenAt = R.Body.find(Marker);
    if (TokenAt == std::string::npos) return Fail("the demo's page has no form token");
    R = B.Submit(AppURL + StartPathOf(Plan.Kind),
                 {{"zelk_form_token", R.Body.substr(TokenAt + Marker.size(), 64)}});
    if (R.Status != 200 || !B.URL().starts_with("https://"))
      return Fail("the button led to " + B.URL() + " (" + std::to_string(R.Status) + ")");
    if (Plan.Kind == TKind::PayPal) {
      const std::string Target = TargetOf(B.URL());
      Result.CheckoutToken = web::THttpRequest::FromTarget(Target).Query("token");
    }
    if (R.Body.find("<form") == std::string::npos)
      return Fail("the provider's page has no form: " + R.Body.substr(0, 200));
    const THtmlForm Form = ReadHtmlForm(R.Body);
    const std::string Label = Plan.Kind == TKind::PayPal ? (Plan.Agree ? "Pay" : "Cancel")
                                                         : (Plan.Agree ? "Allow" : "Deny");
    if (std::none_of(Form.Buttons.begin(), Form.Buttons.end(),
                     [&](const THtmlForm::TButton& Button) { return Button.Label == Label; }))
      return Fail("the provider's page has no " + Label + " button");
    TFields Fields = Form.Press(Label);
    if (Plan.Kind != TKind::PayPal)
      Fields.emplace_back("user_id", AccountID(Plan.Kind, Plan.Account));

    // The provider sends the browser back; the demo completes the flow and shows its page.
    R = B.Submit(ResolveURL(B.URL(), Form.Action), Fields);
    if (R.Status != 200 || B.URL() != AppURL)
      return Fail("the return ended at " + B.URL() + " with " + std::to_string(R.Status) + ": " +
                  R.Body.substr(0, 300));

    const std::string Flow = FlowIdOf(Plan.Kind);
    const std::string Line = OutcomeLine(R.Body, Flow);
    const std::string Provider = ProviderOf(Plan.Kind);
    std::string Expected;
    if (Plan.Kind == TKind::PayPal) {
      Expected =
          Plan.Agree ? "PayPal payment completed: " : "PayPal checkout canceled: Payment canceled";
    } else {
      Expected = Plan.Agree ? "Signed in with " + Provider + " as " +
                                  ShownName(Plan.Kind, Plan.Account) + "."
                            : Provider + " sign-in failed";
    }
    if (!Line.starts_with(Expected))
      return Fail("the page shows \"" + Line + "\" instead of \"" + Expected + "\"");
    if (Plan.Kind != TKind::PayPal && Plan.Agree) {
      const std::string User = "<dl id=\"" + Flow + "-user\">\n<dt>ID</dt><dd>" +
                               AccountID(Plan.Kind, Plan.Account) + "</dd>";
      if (R.Body.find(User) == std::string::npos)
        return Fail("the page does not show the account " + AccountID(Plan.Kind, Plan.Account));
    }
    // The session saw this flow only: nothing of another browser's flow reached it.
    for (int K = 0; K < kKinds; ++K) {
      const std::string Other = FlowIdOf(static_cast<TKind>(K));
      if (Other != Flow && OutcomeLine(R.Body, Other) != "Not tried yet.")
        return Fail("the session shows an outcome of " + Other + ": " + OutcomeLine(R.Body, Other));
    }
    if (R.Body.find("id=\"notice\"") != std::string::npos) return Fail("the page carries a notice");
    Result.Completed = true;
    return Result;
  } catch (const std::exception& E) {
    return Fail(E.what());
  }
}

std::string KindName(const TFlowPlan& P) {
  if (P.Kind == TKind::PayPal) return P.Agree ? "PayPal pay" : "PayPal cancel";
  return ProviderOf(P.Kind) + (P.Agree ? " allow" : " deny");
}

}  // namespace

TLoadReport RunLoad(const TLoadOptions& Options, const std::string& FormFile) {
  TLoadReport Report;
  Report.Planned = Options.Flows;
  const auto SavedTransport = IWZelkAuthBase::TransportSettings();

  demo::TDemoOptions DemoOptions;
  DemoOptions.Port = 0;
  // Every simulated browser starts its session from this one address.
  DemoOptions.MaxNewSessionsPerMinute = 0;
  {
    demo::TDemoApplication Demo(DemoOptions, FormFile);
    sim::TAllProviders& P = *Demo.Providers();
    for (int J = 1; J <= Options.Accounts; ++J) {
      for (const TKind K : {TKind::Google, TKind::Facebook, TKind::WindowsLive}) {
        sim::TSimUser U;
        U.Id = AccountID(K, J);
        U.Name = AccountName(K, J);
        U.Email = "load" + std::to_string(J) + "@" + FlowIdOf(K) + ".test";
        if (K == TKind::Google) P.Google().AddUser(U);
        if (K == TKind::Facebook) P.Facebook().AddUser(U);
        if (K == TKind::WindowsLive) P.WindowsLive().AddUser(U);
      }
      P.Twitter().AddUser({AccountID(TKind::Twitter, J), ShownName(TKind::Twitter, J),
                           AccountName(TKind::Twitter, J)});
    }
    Demo.Start();
    const std::string AppURL = Demo.URL();
    const std::string CAPem = Demo.Simulator()->CACertificatePEM();
    const std::vector<TFlowPlan> Plans = MakePlans(Options);

    // The browsers read pages with std::regex, which narrows characters through the locale's
    // ctype facet; libstdc++ fills that facet's cache lazily, from whichever thread comes first
    // (harmless, but a race to the thread sanitizer). Filled here before the browsers start.
    const auto& CType = std::use_facet<std::ctype<char>>(std::locale());
    for (int C = 0; C < 256; ++C)
      (void)CType.narrow(static_cast<char>(C), '\0');

    std::mutex M;
    std::vector<std::string> Paid;
    std::vector<std::string> Cancelled;
    std::atomic<int> Next{0};
    const auto Started = std::chrono::steady_clock::now();
    std::vector<std::thread> Browsers;
    for (int T = 0; T < std::max(1, Options.Concurrency); ++T)
      Browsers.emplace_back([&] {
        for (int I = Next++; I < Options.Flows; I = Next++) {
          const TFlowPlan& Plan = Plans[static_cast<std::size_t>(I)];
          const TFlowResult R = Play(Plan, AppURL, CAPem);
          std::lock_guard L(M);
          if (Plan.Kind == TKind::PayPal && !R.CheckoutToken.empty())
            (Plan.Agree ? Paid : Cancelled).push_back(R.CheckoutToken);
          if (R.Completed) {
            ++Report.Completed;
            ++Report.ByKind[KindName(Plan)];
          } else {
            Report.Failures.push_back("flow " + std::to_string(I) + " (" + KindName(Plan) +
                                      ", account " + std::to_string(Plan.Account) +
                                      "): " + R.Failure);
          }
        }
      });
    for (auto& B : Browsers)
      B.join();
    Report.Elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - Started);

    // Every checkout paid reached PayPal exactly once, none cancelled did, nothing else did.
    std::map<std::string, int> Charged;
    for (const auto& Payment : P.PayPal().Payments())
      if (Payment.Method == "DoExpressCheckoutPayment") ++Charged[Payment.Token];
    Report.Payments = static_cast<int>(P.PayPal().Payments().size());
    for (const auto& Token : Paid)
      if (Charged[Token] != 1)
        Report.Failures.push_back("checkout " + Token + " was charged " +
                                  std::to_string(Charged[Token]) + " times");
    for (const auto& Token : Cancelled)
      if (Charged[Token] != 0)
        Report.Failures.push_back("cancelled checkout " + Token + " was charged");
    if (static_cast<int>(Paid.size()) != Report.Payments)
      Report.Failures.push_back(std::to_string(Report.Payments) + " payments for " +
                                std::to_string(Paid.size()) + " checkouts paid");
    Demo.Stop();
  }
  IWZelkAuthBase::ResetProviderHosts();
  IWZelkAuthBase::SetTransportSettings(SavedTransport);
  return Report;
}

std::string Describe(const TLoadReport& R) {
  std::ostringstream S;
  S << "flows planned: " << R.Planned << "\nflows completed as chosen: " << R.Completed
    << "\nflows lost or wrong: " << R.Planned - R.Completed << "\npayments recorded: " << R.Payments
    << "\nelapsed: " << R.Elapsed.count() << " ms";
  if (R.Elapsed.count() > 0) S << " (" << (R.Completed * 1000 / R.Elapsed.count()) << " flows/s)";
  S << "\n";
  for (const auto& [Kind, Count] : R.ByKind)
    S << "  " << Kind << ": " << Count << "\n";
  for (std::size_t I = 0; I < R.Failures.size() && I < 20; ++I)
    S << "failure: " << R.Failures[I] << "\n";
  if (R.Failures.size() > 20) S << "... and " << R.Failures.size() - 20 << " more failures\n";
  return S.str();
}

}  // namespace zelk::testing
