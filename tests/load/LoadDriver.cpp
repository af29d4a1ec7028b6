#include "load/LoadDriver.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <latch>
#include <locale>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "core/IWZelkAuthBase.h"
#include "examples/demo/DemoApplication.h"
#include "examples/demo/DemoOptions.h"
#include "platform/rtl/SysUtils.h"
#include "platform/web/HttpRequest.h"
#include "sim/LoadAccounts.h"
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

sim::TProviderId ProviderIdOf(TKind K) {
  switch (K) {
    case TKind::Google:
      return sim::TProviderId::Google;
    case TKind::Facebook:
      return sim::TProviderId::Facebook;
    case TKind::WindowsLive:
      return sim::TProviderId::WindowsLive;
    case TKind::Twitter:
      return sim::TProviderId::Twitter;
    case TKind::PayPal:
      break;
  }
  return sim::TProviderId::PayPal;
}

// Account J of a sign-in provider (Twitter's ids are numbers). Account 0 is the provider's
// default user.
std::string AccountID(TKind K, int J) {
  return sim::LoadAccountID(ProviderIdOf(K), J);
}
// The name a sign-in shows: Twitter's is the screen name.
std::string ShownName(TKind K, int J) {
  return sim::LoadAccountShownName(ProviderIdOf(K), J);
}

using TClock = std::chrono::steady_clock;

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

using namespace std::chrono_literals;

// How a user reloads a page that failed: once, soon, after the balancer's error (the instance
// went away while serving it); after a 503 (nothing could serve it just now), a second later,
// again and again for a while.
constexpr auto kPauseAfterCutOff = 300ms;
constexpr auto kPauseAfter503 = 1s;
constexpr int kReloadsAfter503 = 15;

// A request answered with an error a user would reload on.
struct TInterruption {
  std::string URL;
  int Status = 0;
  TClock::time_point At{};
};

using TCookieJar = std::map<std::string, std::map<std::string, std::string>>;

// A browser: its own cookies, kept per host name as a browser keeps them, sent back to that
// host only; redirects followed (a POST answered 302 or 303 goes on as a GET). With Reload it
// reloads a page that failed as a user does (TLoadOptions::Reload).
class TBrowser {
 public:
  TBrowser(const std::string& CAPem, bool Reload) : FBrowser(CAPem), FReload(Reload) {}

  TBrowserResponse Open(const std::string& URL) { return Follow(Request("GET", URL, {})); }
  TBrowserResponse Submit(const std::string& URL, const TFields& Fields) {
    return Follow(Request("POST", URL, Fields));
  }
  // The form's POST alone, its redirect not followed.
  TBrowserResponse SubmitOnly(const std::string& URL, const TFields& Fields) {
    return Request("POST", URL, Fields);
  }
  // Where the last answer came from.
  const std::string& URL() const { return FURL; }
  // The value of cookie Name the browser keeps for Host, or empty.
  std::string Cookie(const std::string& Host, const std::string& Name) const {
    const auto H = FCookies.find(Host);
    if (H == FCookies.end()) return {};
    const auto C = H->second.find(Name);
    return C == H->second.end() ? std::string() : C->second;
  }
  const TCookieJar& Cookies() const { return FCookies; }
  void SetCookies(TCookieJar Cookies) { FCookies = std::move(Cookies); }
  // The cookies kept for From, from now on also sent to To.
  void ShareCookies(const std::string& From, const std::string& To) {
    FCookies[To] = FCookies[From];
  }
  // When the last request was sent.
  TClock::time_point LastSent() const { return FLastSent; }
  // The answers the browser reloaded on, in order.
  const std::vector<TInterruption>& Interruptions() const { return FInterruptions; }
  int ReloadsAfterCutOff() const { return FReloadsAfterCutOff; }
  int ReloadsAfter503() const { return FReloadsAfter503; }

 private:
  // One request, reloaded as a user would while it fails.
  TBrowserResponse Request(const std::string& Method, const std::string& URL,
                           const TFields& Fields) {
    TBrowserResponse R = Send(Method, URL, Fields);
    if (!FReload) return R;
    bool CutOffReloaded = false;
    int After503 = 0;
    for (;;) {
      const bool CutOff = R.Status == 502 || R.Status == 504;
      if (CutOff && !CutOffReloaded) {
        CutOffReloaded = true;
        ++FReloadsAfterCutOff;
      } else if (R.Status == 503 && After503 < kReloadsAfter503) {
        ++After503;
        ++FReloadsAfter503;
      } else {
        return R;
      }
      FInterruptions.push_back({URL, R.Status, TClock::now()});
      // A user's pause before the reload, not a wait for anything in particular.
      std::this_thread::sleep_for(CutOff ? kPauseAfterCutOff : kPauseAfter503);
      R = Send(Method, URL, Fields);
    }
  }

  TBrowserResponse Send(const std::string& Method, const std::string& URL, const TFields& Fields) {
    const std::string Host = HostOf(URL);
    std::string Cookie;
    for (const auto& [Name, Value] : FCookies[Host])
      Cookie += (Cookie.empty() ? "" : "; ") + Name + "=" + Value;
    FBrowser.SetHeader("Cookie", Cookie);
    FURL = URL;
    FLastSent = TClock::now();
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
      R = Request("GET", ResolveURL(FURL, R.Location), {});
    return R;
  }

  SimBrowser FBrowser;
  bool FReload = false;
  TCookieJar FCookies;
  std::string FURL;
  TClock::time_point FLastSent{};
  std::vector<TInterruption> FInterruptions;
  int FReloadsAfterCutOff = 0;
  int FReloadsAfter503 = 0;
};

// The balancer's name of the instance the browser's session at Host lives on: its own cookie
// ("SRV=app2"), or the prefix it put on the session cookie ("app2~<id>"); empty when neither.
std::string InstanceOf(const TBrowser& B, const std::string& Host) {
  if (std::string Server = B.Cookie(Host, "SRV"); !Server.empty()) return Server;
  const std::string Session = B.Cookie(Host, "zelk_session");
  const auto Tilde = Session.find('~');
  return Tilde == std::string::npos ? std::string() : Session.substr(0, Tilde);
}

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
  // The balancer's name of the instance the flow's session lived on at its first page ("app2"
  // of "SRV=app2" or of a session cookie "app2~<id>"), empty when the cookies name none.
  std::string Instance;
  // The return ended on the page that asks the user to sign in again.
  bool SignInAgain = false;
  // The button was refused: the page's form belonged to a session the instance does not have.
  bool FormExpired = false;
  // The return was answered "being completed already" (409).
  bool BeingCompleted = false;
  // A sign-in the browser allowed ended as failed: the provider refused to redeem its code or
  // token (a request cut off in flight had redeemed it on the instance that stopped).
  bool SignInRefused = false;
  // The provider's return to the application was reloaded after a 502 or 503, first at
  // InterruptedAt.
  bool ReturnInterrupted = false;
  TClock::time_point InterruptedAt{};
  // The completed flow's outcome line, and the browser's cookies for its next request.
  std::string Shown;
  TCookieJar Cookies;
  int ReloadsAfterCutOff = 0;
  int ReloadsAfter503 = 0;
  // When the first and the last request were sent, and when the flow ended.
  TClock::time_point Started{};
  TClock::time_point LastSent{};
  TClock::time_point Ended{};
};

// Browsers held at the provider's page until the lost instance has gone.
constexpr int kHeldFlows = 5;

// The demo's notice when a flow's instance has gone.
constexpr const char* kSignInAgain = "so it was not completed. Please sign in again.</p>";
// The server's answer to a return whose completion another request has claimed.
constexpr const char* kBeingCompleted = "is being completed already";
// The server's answer to a request for a session that has ended.
constexpr const char* kSessionEnded = "This session has ended.";

// What a flow's outcome line must start with when it ended as Plan chose.
std::string ExpectedLine(const TFlowPlan& Plan) {
  const std::string Provider = ProviderOf(Plan.Kind);
  if (Plan.Kind == TKind::PayPal)
    return Plan.Agree ? "PayPal payment completed: " : "PayPal checkout canceled: Payment canceled";
  return Plan.Agree
             ? "Signed in with " + Provider + " as " + ShownName(Plan.Kind, Plan.Account) + "."
             : Provider + " sign-in failed";
}

// One browser's whole flow; the first thing that is not as the browser chose ends it. Earlier:
// the flows this browser's session completed before, whose outcomes its page may show.
// AtProvider is called with the flow's instance once the browser is at the provider's page,
// before it answers there (it may hold the browser).
TFlowResult Play(const TFlowPlan& Plan, TBrowser& B, const std::string& AppURL,
                 const std::set<TKind>& Earlier = {},
                 const std::function<void(const std::string& Instance)>& AtProvider = {}) {
  TFlowResult Result;
  Result.Started = TClock::now();
  const std::string AppHost = HostOf(AppURL);
  const auto Finish = [&] {
    Result.LastSent = B.LastSent();
    Result.Ended = TClock::now();
    Result.ReloadsAfterCutOff = B.ReloadsAfterCutOff();
    Result.ReloadsAfter503 = B.ReloadsAfter503();
    return Result;
  };
  const auto Fail = [&](const std::string& What) {
    Result.Failure = What;
    return Finish();
  };
  try {
    TBrowserResponse R = B.Open(AppURL);
    if (R.Status != 200) return Fail("the demo's page answered " + std::to_string(R.Status));
    Result.Instance = InstanceOf(B, AppHost);

    // The flow's button (its form carries the session's form token): the demo sends the
    // browser on to the provider's page.
    const std::string Marker = "name=\"zelk_form_token\" value=\"";
    const auto TokenAt = R.Body.find(Marker);
    if (TokenAt == std::string::npos) return Fail("the demo's page has no form token");
    R = B.Submit(AppURL + StartPathOf(Plan.Kind),
                 {{"zelk_form_token", R.Body.substr(TokenAt + Marker.size(), 64)}});
    // The page came from an instance that has gone since: another one does not know its form.
    if (R.Status == 403 && R.Body.find("This form has expired") != std::string::npos) {
      Result.FormExpired = true;
      return Fail("the button's form had expired");
    }
    if (R.Status != 200 || !B.URL().starts_with("https://"))
      return Fail("the button led to " + B.URL() + " (" + std::to_string(R.Status) + ")");
    if (Plan.Kind == TKind::PayPal) {
      const std::string Target = TargetOf(B.URL());
      Result.CheckoutToken = web::THttpRequest::FromTarget(Target).Query("token");
    }
    if (R.Body.find("<form") == std::string::npos)
      return Fail("the provider's page has no form: " + R.Body.substr(0, 200));
    const THtmlForm Form = ReadHtmlForm(R.Body);
    if (AtProvider) AtProvider(Result.Instance);
    const std::string Label = Plan.Kind == TKind::PayPal ? (Plan.Agree ? "Pay" : "Cancel")
                                                         : (Plan.Agree ? "Allow" : "Deny");
    if (std::none_of(Form.Buttons.begin(), Form.Buttons.end(),
                     [&](const THtmlForm::TButton& Button) { return Button.Label == Label; }))
      return Fail("the provider's page has no " + Label + " button");
    TFields Fields = Form.Press(Label);
    if (Plan.Kind != TKind::PayPal)
      Fields.emplace_back("user_id", AccountID(Plan.Kind, Plan.Account));

    // The provider sends the browser back; the demo completes the flow and shows its page.
    const std::size_t Before = B.Interruptions().size();
    R = B.Submit(ResolveURL(B.URL(), Form.Action), Fields);
    for (std::size_t I = Before; I < B.Interruptions().size(); ++I)
      if (HostOf(B.Interruptions()[I].URL) == AppHost && !Result.ReturnInterrupted) {
        Result.ReturnInterrupted = true;
        Result.InterruptedAt = B.Interruptions()[I].At;
      }
    if (R.Status == 409 && R.Body.find(kBeingCompleted) != std::string::npos) {
      Result.BeingCompleted = true;
      return Fail("the return was answered \"being completed already\"");
    }
    if (R.Status != 200 || B.URL() != AppURL)
      return Fail("the return ended at " + B.URL() + " with " + std::to_string(R.Status) + ": " +
                  R.Body.substr(0, 300));

    const std::string Flow = FlowIdOf(Plan.Kind);
    // The instance that held the flow has gone: the start page of a fresh session says so, and
    // shows no outcome of any flow.
    if (R.Body.find(kSignInAgain) != std::string::npos) {
      for (int K = 0; K < kKinds; ++K)
        if (OutcomeLine(R.Body, FlowIdOf(static_cast<TKind>(K))) != "Not tried yet.")
          return Fail("the sign-in-again page shows an outcome of " +
                      FlowIdOf(static_cast<TKind>(K)));
      Result.SignInAgain = true;
      return Fail("the return ended on the sign-in-again page");
    }
    const std::string Line = OutcomeLine(R.Body, Flow);
    const std::string Expected = ExpectedLine(Plan);
    Result.SignInRefused = Plan.Kind != TKind::PayPal && Plan.Agree &&
                           Line.starts_with(ProviderOf(Plan.Kind) + " sign-in failed");
    if (!Line.starts_with(Expected))
      return Fail("the page shows \"" + Line + "\" instead of \"" + Expected + "\"");
    if (Plan.Kind != TKind::PayPal && Plan.Agree) {
      const std::string User = "<dl id=\"" + Flow + "-user\">\n<dt>ID</dt><dd>" +
                               AccountID(Plan.Kind, Plan.Account) + "</dd>";
      if (R.Body.find(User) == std::string::npos)
        return Fail("the page does not show the account " + AccountID(Plan.Kind, Plan.Account));
    }
    // The session saw this flow (and its own earlier ones) only: nothing of another browser's
    // flow reached it.
    for (int K = 0; K < kKinds; ++K) {
      const auto Other = static_cast<TKind>(K);
      if (Other == Plan.Kind || Earlier.contains(Other)) continue;
      if (OutcomeLine(R.Body, FlowIdOf(Other)) != "Not tried yet.")
        return Fail("the session shows an outcome of " + FlowIdOf(Other) + ": " +
                    OutcomeLine(R.Body, FlowIdOf(Other)));
    }
    // A return reloaded after its answer was cut off may find its flow completed already: the
    // page then shows the outcome and says that this answer changed nothing.
    const bool Spent = Result.ReturnInterrupted &&
                       R.Body.find("that is not in progress in this session") != std::string::npos;
    if (R.Body.find("id=\"notice\"") != std::string::npos && !Spent)
      return Fail("the page carries a notice");
    Result.Completed = true;
    Result.Shown = Line;
    Result.Cookies = B.Cookies();
    return Finish();
  } catch (const std::exception& E) {
    return Fail(E.what());
  }
}

std::string KindName(const TFlowPlan& P) {
  if (P.Kind == TKind::PayPal) return P.Agree ? "PayPal pay" : "PayPal cancel";
  return ProviderOf(P.Kind) + (P.Agree ? " allow" : " deny");
}

// A payment the provider recorded: its call and the checkout's token.
struct TCharge {
  std::string Method;
  std::string Token;
};

// What the browsers answered at PayPal, by how each flow ended.
struct TCheckouts {
  std::vector<std::string> Paid;       // the flow completed: charged exactly once
  std::vector<std::string> Cancelled;  // never charged
  std::vector<std::string> Abandoned;  // ended on the sign-in-again page: never charged
  std::vector<std::string> CutOff;     // its instance stopped while serving it: at most once
};

// When the event command ran.
struct TEventTimes {
  std::optional<TClock::time_point> Start;
  std::optional<TClock::time_point> End;
};

// A sign-in the event may have left without the outcome its browser chose (NothingLost): its
// provider return, sent before the event ended, was interrupted once the event had begun (cut
// off, or refused by a failing store) while an instance was completing it, and the reload
// ended, said so, without it: the provider refused the code or token the stopped instance had
// redeemed already (the sign-in failed), the completion was still claimed ("being completed
// already"), or the session had moved on under an id the lost answer would have told (the
// sign-in-again page). Never a payment: a checkout taken over completes as paid or not. A flow
// started after the event has ended knows its outcome.
bool OutcomeUnknown(const TFlowPlan& Plan, const TFlowResult& R, const TEventTimes& Event) {
  if (!Event.Start || !Event.End || !R.ReturnInterrupted || Plan.Kind == TKind::PayPal)
    return false;
  if (R.InterruptedAt < *Event.Start || R.Started > *Event.End) return false;
  return R.BeingCompleted || R.SignInAgain || R.SignInRefused;
}

// Whether a flow's outcome is acceptable. NothingLost: every flow completes, or (AllowUnknown)
// its outcome is unknown as above. Otherwise every flow completes, but the flows of the
// instance stopped abruptly may end on the sign-in-again page, on the refusal of a form its
// page showed before the stop, or be cut off by its stop while it served one of their requests;
// none of them completes with a request sent after the stop.
std::string Judge(const TLoadOptions& O, const TFlowPlan& Plan, const TFlowResult& R,
                  const TEventTimes& Event) {
  if (O.NothingLost) {
    if (R.Completed || (O.AllowUnknown && OutcomeUnknown(Plan, R, Event))) return {};
    return R.Failure;
  }
  if (O.LostInstance.empty() || !Event.End) return R.Completed ? "" : R.Failure;
  const bool Lost = R.Instance == O.LostInstance;
  if (R.Completed) {
    if (Lost && R.LastSent > *Event.End)
      return "completed on " + R.Instance + " after it was stopped";
    return {};
  }
  if (Lost && R.SignInAgain) return {};
  // Its page was shown before the stop and its button pressed after it: refused plainly.
  if (Lost && R.FormExpired) return {};
  // A request in flight when the instance went (its session's, or a first one that had no
  // session yet and may have gone there).
  const bool InFlight = R.LastSent <= *Event.End && R.Ended >= *Event.Start;
  if ((Lost || R.Instance.empty()) && InFlight) return {};
  return R.Failure;
}

// Runs Work(I) for I in [0, Count), Concurrency at a time.
void InParallel(int Count, int Concurrency, const std::function<void(int)>& Work) {
  std::atomic<int> Next{0};
  std::vector<std::thread> Threads;
  for (int T = 0; T < std::max(1, std::min(Concurrency, Count)); ++T)
    Threads.emplace_back([&] {
      for (int I = Next++; I < Count; I = Next++)
        Work(I);
    });
  for (auto& T : Threads)
    T.join();
}

// Every completed flow's browser opens the page again: it must show the same outcome.
void RevisitCompleted(const TLoadOptions& Options, const std::string& AppURL,
                      const std::string& CAPem,
                      const std::vector<std::pair<TFlowPlan, TFlowResult>>& Results,
                      TLoadReport& Report) {
  std::mutex M;
  InParallel(static_cast<int>(Results.size()), Options.Concurrency, [&](int I) {
    const auto& [Plan, R] = Results[static_cast<std::size_t>(I)];
    if (!R.Completed) return;
    TBrowser B(CAPem, Options.Reload);
    B.SetCookies(R.Cookies);
    std::string Failure;
    try {
      const TBrowserResponse Page = B.Open(AppURL);
      const std::string Line = OutcomeLine(Page.Body, FlowIdOf(Plan.Kind));
      if (Page.Status != 200)
        Failure = "its next page answered " + std::to_string(Page.Status);
      else if (Line != R.Shown)
        Failure = "its next page shows \"" + Line + "\" instead of \"" + R.Shown + "\"";
    } catch (const std::exception& E) {
      Failure = std::string("its next page failed: ") + E.what();
    }
    std::lock_guard L(M);
    Report.ReloadsAfterCutOff += B.ReloadsAfterCutOff();
    Report.ReloadsAfter503 += B.ReloadsAfter503();
    if (Failure.empty())
      ++Report.Revisited;
    else
      Report.Failures.push_back("flow " + std::to_string(Plan.Index) + " (" + KindName(Plan) +
                                "): " + Failure);
  });
}

// Plays the flows of Options against the application at AppURL, Concurrency at a time, and runs
// the event command midway.
void PlayFlows(const TLoadOptions& Options, const std::string& AppURL, const std::string& CAPem,
               TLoadReport& Report, TCheckouts& Checkouts) {
  const std::vector<TFlowPlan> Plans = MakePlans(Options);

  // The browsers read pages with std::regex, which narrows characters through the locale's
  // ctype facet; libstdc++ fills that facet's cache lazily, from whichever thread comes first
  // (harmless, but a race to the thread sanitizer). Filled here before the browsers start.
  const auto& CType = std::use_facet<std::ctype<char>>(std::locale());
  for (int C = 0; C < 256; ++C)
    (void)CType.narrow(static_cast<char>(C), '\0');

  std::mutex M;
  std::condition_variable Progress;
  int Ended = 0;
  std::vector<std::pair<TFlowPlan, TFlowResult>> Results;
  TEventTimes Event;
  const auto Started = TClock::now();
  // The event, on its own thread so that the browsers go on meanwhile.
  std::thread EventThread;
  if (Options.EventAfter > 0 && !Options.EventCommand.empty())
    EventThread = std::thread([&] {
      {
        std::unique_lock L(M);
        Progress.wait(L, [&] { return Ended >= Options.EventAfter; });
        if (Ended >= Options.Flows) return;
        Event.Start = TClock::now();
      }
      const int Status = std::system(Options.EventCommand.c_str());
      std::lock_guard L(M);
      Event.End = TClock::now();
      Progress.notify_all();
      if (Status != 0)
        Report.Failures.push_back("the command \"" + Options.EventCommand + "\" failed (" +
                                  std::to_string(Status) + ")");
    });
  // A few browsers of the instance to be stopped wait at the provider's page until it has
  // gone, so that some returns surely arrive after the stop, whenever it comes.
  int Held = 0;
  const auto HoldLost = [&](const std::string& Instance) {
    std::unique_lock L(M);
    // Only while enough other flows are left to bring the event about.
    if (Options.LostInstance.empty() || Instance != Options.LostInstance || Event.Start ||
        Options.Flows - Options.EventAfter <= Options.Concurrency ||
        Held >= std::min(kHeldFlows, Options.Concurrency - 1) || Ended >= Options.EventAfter)
      return;
    ++Held;
    Progress.wait(L, [&] { return Event.End.has_value() || Ended >= Options.Flows; });
  };
  InParallel(Options.Flows, Options.Concurrency, [&](int I) {
    const TFlowPlan& Plan = Plans[static_cast<std::size_t>(I)];
    TBrowser B(CAPem, Options.Reload);
    TFlowResult R = Play(Plan, B, AppURL, {}, HoldLost);
    std::lock_guard L(M);
    Results.emplace_back(Plan, std::move(R));
    ++Ended;
    Progress.notify_all();
  });
  {
    std::lock_guard L(M);
    Ended = Options.Flows;  // an event not yet started stays away
  }
  Progress.notify_all();
  if (EventThread.joinable()) EventThread.join();
  Report.Elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - Started);
  if (Options.EventAfter > 0 && !Options.EventCommand.empty() && !Event.End)
    Report.Failures.push_back("the run ended before the command \"" + Options.EventCommand +
                              "\" could run");

  for (const auto& [Plan, R] : Results) {
    const std::string Failure = Judge(Options, Plan, R, Event);
    if (!R.Instance.empty() || !Options.BaseURL.empty())
      ++Report.ByInstance[R.Instance.empty() ? "?" : R.Instance];
    Report.ReloadsAfterCutOff += R.ReloadsAfterCutOff;
    Report.ReloadsAfter503 += R.ReloadsAfter503;
    const bool Unknown = Options.NothingLost && !R.Completed && Failure.empty();
    if (Plan.Kind == TKind::PayPal && !R.CheckoutToken.empty()) {
      if (!Plan.Agree)
        Checkouts.Cancelled.push_back(R.CheckoutToken);
      else if (R.Completed)
        Checkouts.Paid.push_back(R.CheckoutToken);
      else if (R.SignInAgain && !Unknown)
        Checkouts.Abandoned.push_back(R.CheckoutToken);
      else
        Checkouts.CutOff.push_back(R.CheckoutToken);
    }
    if (R.Completed) {
      ++Report.Completed;
      ++Report.ByKind[KindName(Plan)];
      if (!Options.LostInstance.empty() && Event.End && R.Instance == Options.LostInstance &&
          R.LastSent > *Event.End)
        ++Report.CompletedElsewhere;
    } else if (Unknown) {
      ++Report.Unknown;
      Report.Unknowns.push_back("flow " + std::to_string(Plan.Index) + " (" + KindName(Plan) +
                                (R.Instance.empty() ? "" : ", on " + R.Instance) +
                                ", its return reloaded after " +
                                std::to_string(R.ReloadsAfterCutOff) + " cut-off(s) and " +
                                std::to_string(R.ReloadsAfter503) + " 503(s)): " + R.Failure);
    } else if (Failure.empty()) {
      ++(R.SignInAgain ? Report.SignInAgain : Report.CutOff);
    }
    if (!Failure.empty())
      Report.Failures.push_back("flow " + std::to_string(Plan.Index) + " (" + KindName(Plan) +
                                ", account " + std::to_string(Plan.Account) +
                                (R.Instance.empty() ? "" : ", on " + R.Instance) + "): " + Failure);
  }
  if (!Options.LostInstance.empty() && Event.End) {
    if (Held == 0)
      Report.Failures.push_back("no flow of " + Options.LostInstance + " was held to come back");
    else if (!Options.NothingLost && Report.SignInAgain < Held)
      Report.Failures.push_back(std::to_string(Held) + " flows of " + Options.LostInstance +
                                " came back after it was stopped, but only " +
                                std::to_string(Report.SignInAgain) +
                                " ended on the sign-in-again page");
    else if (Options.NothingLost && Report.CompletedElsewhere < Held)
      Report.Failures.push_back(std::to_string(Held) + " flows of " + Options.LostInstance +
                                " came back after it was stopped, but only " +
                                std::to_string(Report.CompletedElsewhere) +
                                " completed on the other instances");
  }
  if (!Options.ExpectInstance.empty() && Report.ByInstance[Options.ExpectInstance] == 0)
    Report.Failures.push_back("no session was started on " + Options.ExpectInstance);
  if (Options.Revisit) RevisitCompleted(Options, AppURL, CAPem, Results, Report);
}

// Every checkout paid reached PayPal exactly once, none cancelled or abandoned did, none cut off
// did twice, nothing else did. Charges: the payments the provider recorded during the run.
void CheckCharges(const TCheckouts& Checkouts, const std::vector<TCharge>& Charges,
                  TLoadReport& Report) {
  std::map<std::string, int> Charged;
  // Express Checkout's charge, and the capture of an order (PayPal's current API).
  for (const auto& C : Charges)
    if (C.Method == "DoExpressCheckoutPayment" || C.Method == "capture") ++Charged[C.Token];
  Report.Payments = static_cast<int>(Charges.size());
  for (const auto& Token : Checkouts.Paid)
    if (Charged[Token] != 1)
      Report.Failures.push_back("checkout " + Token + " was charged " +
                                std::to_string(Charged[Token]) + " times");
  for (const auto& Token : Checkouts.Cancelled)
    if (Charged[Token] != 0)
      Report.Failures.push_back("cancelled checkout " + Token + " was charged");
  for (const auto& Token : Checkouts.Abandoned)
    if (Charged[Token] != 0)
      Report.Failures.push_back("checkout " + Token +
                                " was charged, though its flow ended on the sign-in-again page");
  int CutOffCharged = 0;
  for (const auto& Token : Checkouts.CutOff) {
    if (Charged[Token] > 1)
      Report.Failures.push_back("checkout " + Token + " was charged " +
                                std::to_string(Charged[Token]) + " times");
    CutOffCharged += Charged[Token] > 0 ? 1 : 0;
  }
  const int Expected = static_cast<int>(Checkouts.Paid.size()) + CutOffCharged;
  if (Expected != Report.Payments)
    Report.Failures.push_back(std::to_string(Report.Payments) + " payments for " +
                              std::to_string(Expected) + " checkouts paid");
}

std::string ReadFile(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  if (!In) throw rtl::Exception("cannot read \"" + Path + "\"");
  std::ostringstream Text;
  Text << In.rdbuf();
  return Text.str();
}

// The payments the simulator at PayPalURL has taken so far, in order.
std::vector<TCharge> FetchCharges(const std::string& PayPalURL, const std::string& CAPem) {
  SimBrowser Browser(CAPem);
  const std::string URL =
      (PayPalURL.ends_with('/') ? PayPalURL.substr(0, PayPalURL.size() - 1) : PayPalURL) +
      "/sim/payments";
  const TBrowserResponse R = Browser.Get(URL);
  if (R.Status != 200)
    throw rtl::Exception(URL + " answered " + std::to_string(R.Status) + ": " + R.Body);
  std::vector<TCharge> Charges;
  const auto List = nlohmann::json::parse(R.Body);
  for (const auto& P : List)
    Charges.push_back({P.at("method").get<std::string>(), P.at("token").get<std::string>()});
  return Charges;
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
  DemoOptions.SessionStore = Options.SessionStore;
  DemoOptions.SessionKeyFile = Options.SessionKeyFile;
  {
    demo::TDemoApplication Demo(DemoOptions, FormFile);
    sim::TAllProviders& P = *Demo.Providers();
    sim::AddLoadAccounts(P, Options.Accounts);
    Demo.Start();
    TCheckouts Checkouts;
    PlayFlows(Options, Demo.URL(), Demo.Simulator()->CACertificatePEM(), Report, Checkouts);
    std::vector<TCharge> Charges;
    for (const auto& Payment : P.PayPal().Payments())
      Charges.push_back({Payment.Method, Payment.Token});
    CheckCharges(Checkouts, Charges, Report);
    Demo.Stop();
  }
  IWZelkAuthBase::ResetProviderHosts();
  IWZelkAuthBase::SetTransportSettings(SavedTransport);
  return Report;
}

// One browser signs in with every provider (Allow) and pays, all in one session.
void PlayOneSession(const TLoadOptions& Options, const std::string& AppURL,
                    const std::string& CAPem, TLoadReport& Report, TCheckouts& Checkouts) {
  const auto Started = TClock::now();
  TBrowser B(CAPem, Options.Reload);
  std::set<TKind> Earlier;
  for (int K = 0; K < kKinds; ++K) {
    TFlowPlan Plan;
    Plan.Index = K;
    Plan.Kind = static_cast<TKind>(K);
    Plan.Account = 1 + K % std::max(1, Options.Accounts);
    const TFlowResult R = Play(Plan, B, AppURL, Earlier);
    if (Plan.Kind == TKind::PayPal && !R.CheckoutToken.empty())
      (R.Completed ? Checkouts.Paid : Checkouts.CutOff).push_back(R.CheckoutToken);
    if (!R.Completed) {
      Report.Failures.push_back("flow " + std::to_string(K) + " (" + KindName(Plan) +
                                ") in the one session: " + R.Failure);
      break;
    }
    ++Report.Completed;
    ++Report.ByKind[KindName(Plan)];
    Earlier.insert(Plan.Kind);
  }
  Report.SessionID = B.Cookie(HostOf(AppURL), "zelk_session");
  Report.Elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - Started);
}

// The instance's answer to one of the same returns sent at once.
enum class TSameReturn { Completed, Refused, Ended, Wrong };

// Checkouts whose return goes to every instance of Options.SameReturnTo at the same moment.
void PlaySameReturn(const TLoadOptions& Options, const std::string& AppURL,
                    const std::string& CAPem, TLoadReport& Report, TCheckouts& Checkouts) {
  const auto Started = TClock::now();
  const std::string AppHost = HostOf(AppURL);
  for (int I = 0; I < Options.Flows; ++I) {
    const std::string Name = "checkout " + std::to_string(I);
    TBrowser B(CAPem, Options.Reload);
    std::string Token;
    try {
      TBrowserResponse R = B.Open(AppURL);
      const std::string Marker = "name=\"zelk_form_token\" value=\"";
      const auto TokenAt = R.Body.find(Marker);
      if (R.Status != 200 || TokenAt == std::string::npos)
        throw rtl::Exception("the demo's page answered " + std::to_string(R.Status) +
                             " without a form token");
      R = B.Submit(AppURL + StartPathOf(TKind::PayPal),
                   {{"zelk_form_token", R.Body.substr(TokenAt + Marker.size(), 64)}});
      if (R.Status != 200 || !B.URL().starts_with("https://"))
        throw rtl::Exception("the checkout button led to " + B.URL());
      Token = web::THttpRequest::FromTarget(TargetOf(B.URL())).Query("token");
      const THtmlForm Form = ReadHtmlForm(R.Body);
      // Pay, but the browser's redirect back is held: the return goes to every instance.
      R = B.SubmitOnly(ResolveURL(B.URL(), Form.Action), Form.Press("Pay"));
      if (R.Status < 300 || R.Status >= 400 || !R.Location.starts_with(AppURL))
        throw rtl::Exception("PayPal's Pay answered " + std::to_string(R.Status) + " to " +
                             R.Location);
      const std::string Rest = R.Location.substr(AppURL.size());

      const std::size_t N = Options.SameReturnTo.size();
      std::vector<TBrowser> Copies;
      for (std::size_t J = 0; J < N; ++J) {
        Copies.emplace_back(CAPem, false);
        TCookieJar Jar = B.Cookies();
        Jar[HostOf(Options.SameReturnTo[J])] = Jar[AppHost];
        Copies.back().SetCookies(std::move(Jar));
      }
      std::vector<TBrowserResponse> Answers(N);
      std::vector<std::string> Errors(N);
      std::latch Go(static_cast<std::ptrdiff_t>(N));
      std::vector<std::thread> Threads;
      for (std::size_t J = 0; J < N; ++J)
        Threads.emplace_back([&, J] {
          std::string Base = Options.SameReturnTo[J];
          if (!Base.ends_with('/')) Base += '/';
          Go.arrive_and_wait();
          try {
            Answers[J] = Copies[J].Open(Base + Rest);
          } catch (const std::exception& E) {
            Errors[J] = E.what();
          }
        });
      for (auto& T : Threads)
        T.join();

      int Completed = 0;
      std::size_t Winner = N;
      std::string Wrong;
      for (std::size_t J = 0; J < N; ++J) {
        const TBrowserResponse& A = Answers[J];
        TSameReturn Kind = TSameReturn::Wrong;
        if (!Errors[J].empty())
          Kind = TSameReturn::Wrong;
        else if (A.Status == 200 &&
                 OutcomeLine(A.Body, "checkout").starts_with("PayPal payment completed: "))
          Kind = TSameReturn::Completed;
        else if (A.Status == 409 && A.Body.find(kBeingCompleted) != std::string::npos)
          Kind = TSameReturn::Refused;
        else if ((A.Status == 404 && A.Body.find(kSessionEnded) != std::string::npos) ||
                 (A.Status == 200 && A.Body.find(kSignInAgain) != std::string::npos))
          Kind = TSameReturn::Ended;
        switch (Kind) {
          case TSameReturn::Completed:
            ++Completed;
            ++Report.SameReturnCompleted;
            Winner = J;
            break;
          case TSameReturn::Refused:
            ++Report.SameReturnRefused;
            break;
          case TSameReturn::Ended:
            ++Report.SameReturnEnded;
            break;
          case TSameReturn::Wrong:
            Wrong += " " + Options.SameReturnTo[J] + " answered " +
                     (Errors[J].empty()
                          ? std::to_string(A.Status) + ": " + OutcomeLine(A.Body, "checkout")
                          : Errors[J]) +
                     ";";
            break;
        }
      }
      if (Completed < 1 || !Wrong.empty()) {
        Checkouts.CutOff.push_back(Token);
        throw rtl::Exception(std::to_string(Completed) + " of " + std::to_string(N) +
                             " instances completed the return;" + Wrong);
      }
      Checkouts.Paid.push_back(Token);
      // The browser goes on with the session the completing instance gave it.
      TCookieJar Jar = B.Cookies();
      Jar[AppHost]["zelk_session"] =
          Copies[Winner].Cookie(HostOf(Options.SameReturnTo[Winner]), "zelk_session");
      B.SetCookies(std::move(Jar));
      R = B.Open(AppURL);
      if (R.Status != 200 ||
          !OutcomeLine(R.Body, "checkout").starts_with("PayPal payment completed: "))
        throw rtl::Exception("the next page through " + AppURL + " shows \"" +
                             OutcomeLine(R.Body, "checkout") + "\" (" + std::to_string(R.Status) +
                             ")");
      ++Report.Completed;
      ++Report.ByKind["PayPal pay"];
    } catch (const std::exception& E) {
      if (!Token.empty() &&
          std::find(Checkouts.CutOff.begin(), Checkouts.CutOff.end(), Token) ==
              Checkouts.CutOff.end() &&
          std::find(Checkouts.Paid.begin(), Checkouts.Paid.end(), Token) == Checkouts.Paid.end())
        Checkouts.CutOff.push_back(Token);
      Report.Failures.push_back(Name + ": " + E.what());
    }
  }
  Report.Elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - Started);
}

TLoadReport RunLoadAgainst(const TLoadOptions& Options) {
  TLoadReport Report;
  Report.Planned = Options.OneSession ? kKinds : Options.Flows;
  const std::string CAPem = ReadFile(Options.CAFile);
  std::string AppURL = Options.BaseURL;
  if (!AppURL.ends_with('/')) AppURL += '/';
  // The simulator is shared by runs before this one: only what this run adds counts.
  const std::vector<TCharge> Before = FetchCharges(Options.PayPalURL, CAPem);
  TCheckouts Checkouts;
  if (Options.OneSession)
    PlayOneSession(Options, AppURL, CAPem, Report, Checkouts);
  else if (!Options.SameReturnTo.empty())
    PlaySameReturn(Options, AppURL, CAPem, Report, Checkouts);
  else
    PlayFlows(Options, AppURL, CAPem, Report, Checkouts);
  std::vector<TCharge> Charges = FetchCharges(Options.PayPalURL, CAPem);
  for (const TCharge& Old : Before) {
    const auto It = std::find_if(Charges.begin(), Charges.end(), [&](const TCharge& C) {
      return C.Method == Old.Method && C.Token == Old.Token;
    });
    if (It != Charges.end()) Charges.erase(It);
  }
  CheckCharges(Checkouts, Charges, Report);
  return Report;
}

std::string Describe(const TLoadReport& R) {
  std::ostringstream S;
  S << "flows planned: " << R.Planned << "\nflows completed as chosen: " << R.Completed
    << "\nflows lost or wrong: " << R.Planned - R.Completed - R.Unknown
    << "\npayments recorded: " << R.Payments << "\nelapsed: " << R.Elapsed.count() << " ms";
  if (R.Elapsed.count() > 0) S << " (" << (R.Completed * 1000 / R.Elapsed.count()) << " flows/s)";
  S << "\n";
  for (const auto& [Kind, Count] : R.ByKind)
    S << "  " << Kind << ": " << Count << "\n";
  for (const auto& [Instance, Count] : R.ByInstance)
    S << "  sessions on " << Instance << ": " << Count << "\n";
  if (R.SignInAgain > 0 || R.CutOff > 0)
    S << "flows of the stopped instance ended on the sign-in-again page: " << R.SignInAgain
      << "\nflows cut off while it served them: " << R.CutOff << "\n";
  if (R.CompletedElsewhere > 0)
    S << "flows of the stopped instance completed on the others after it stopped: "
      << R.CompletedElsewhere << "\n";
  if (R.Unknown > 0)
    S << "sign-ins cut off in flight that ended without their outcome, said so: " << R.Unknown
      << "\n";
  for (const std::string& U : R.Unknowns)
    S << "unknown: " << U << "\n";
  if (R.ReloadsAfterCutOff > 0 || R.ReloadsAfter503 > 0)
    S << "pages reloaded after the balancer's error: " << R.ReloadsAfterCutOff
      << "\npages reloaded after a 503: " << R.ReloadsAfter503 << "\n";
  if (R.Revisited > 0)
    S << "completed flows still showing their outcome at their next page: " << R.Revisited << "\n";
  if (R.SameReturnCompleted + R.SameReturnRefused + R.SameReturnEnded > 0)
    S << "same returns: completed " << R.SameReturnCompleted << ", refused as being completed "
      << R.SameReturnRefused << ", on an ended session " << R.SameReturnEnded << "\n";
  if (!R.SessionID.empty()) S << "session: " << R.SessionID << "\n";
  for (std::size_t I = 0; I < R.Failures.size() && I < 20; ++I)
    S << "failure: " << R.Failures[I] << "\n";
  if (R.Failures.size() > 20) S << "... and " << R.Failures.size() - 20 << " more failures\n";
  return S.str();
}

bool Passed(const TLoadReport& R) {
  const int Accounted = R.Completed + R.SignInAgain + R.CutOff + R.Unknown;
  return Accounted == R.Planned && R.Failures.empty();
}

}  // namespace zelk::testing
