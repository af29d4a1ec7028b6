#include "platform/web/server/IWServer.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <unordered_map>
#include <utility>

#include "platform/rtl/SysUtils.h"
#include "platform/web/SessionState.h"
#include "platform/web/engine/HttpEngine.h"
#include "platform/web/server/AccessLog.h"
#include "platform/web/server/ApplicationURL.h"
#include "platform/web/server/ErrorPage.h"
#include "platform/web/server/FlowOwner.h"
#include "platform/web/server/Sessions.h"
#include "platform/web/server/StopSignal.h"
#include "platform/web/server/StoredSessions.h"

namespace zelk::web {

namespace {

using namespace std::chrono_literals;

// Marks a session in use for the life of a request; its idle time starts when the lease ends.
class TLease {
 public:
  TLease(TIWSessionList& List, TIWSessionPtr Session) : FList(List), FSession(std::move(Session)) {}
  ~TLease() {
    if (FSession) FList.Release(FSession, TSessionClock::now());
  }
  TLease(const TLease&) = delete;
  TLease& operator=(const TLease&) = delete;
  const TIWSessionPtr& Session() const { return FSession; }
  explicit operator bool() const { return FSession != nullptr; }

 private:
  TIWSessionList& FList;
  TIWSessionPtr FSession;
};

bool HasControlCharacter(std::string_view S) {
  return std::any_of(S.begin(), S.end(), [](char C) {
    return static_cast<unsigned char>(C) < 0x20 || static_cast<unsigned char>(C) == 0x7f;
  });
}

// Every member among the session's components leaves what it is known to (a client its auth
// server controller). Each waits for a request another thread is routing to it, and none can
// reach it afterwards.
void DetachClients(rtl::TComponent& Root) {
  for (int I = 0; I < Root.ComponentCount(); ++I) {
    rtl::TComponent* C = Root.Components(I);
    if (auto* Member = dynamic_cast<IIWSessionMember*>(C)) Member->LeaveSession();
    DetachClients(*C);
  }
}

std::string BracketIPv6(const std::string& Address) {
  return Address.find(':') != std::string::npos && !Address.starts_with('[') ? "[" + Address + "]"
                                                                             : Address;
}

std::string Lower(std::string_view S) {
  std::string Out(S);
  for (char& C : Out)
    C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
  return Out;
}

// The host of a Host header value or URL authority, without its port, in lower case.
std::string HostOf(std::string_view Authority) {
  if (Authority.starts_with('[')) return Lower(Authority.substr(0, Authority.find(']') + 1));
  return Lower(Authority.substr(0, Authority.find(':')));
}

// "scheme://authority" of an absolute URL.
std::string OriginOf(std::string_view URL) {
  const auto Scheme = URL.find("://");
  if (Scheme == std::string_view::npos) return Lower(URL);
  return Lower(URL.substr(0, URL.find('/', Scheme + 3)));
}

// The scheme, host (lower case, IPv6 in brackets) and port of an absolute URL; the port is
// empty when the URL gives none.
struct TURLParts {
  std::string Scheme, Host, Port;
};
TURLParts PartsOf(std::string_view URL) {
  TURLParts P;
  const auto Scheme = URL.find("://");
  if (Scheme == std::string_view::npos) return P;
  P.Scheme = Lower(URL.substr(0, Scheme));
  std::string_view Authority = URL.substr(Scheme + 3);
  Authority = Authority.substr(0, Authority.find('/'));
  P.Host = HostOf(Authority);
  const std::size_t HostEnd =
      Authority.starts_with('[') ? Authority.find(']') + 1 : Authority.find(':');
  if (HostEnd != std::string_view::npos && HostEnd < Authority.size() && Authority[HostEnd] == ':')
    P.Port = std::string(Authority.substr(HostEnd + 1));
  return P;
}

bool IsLoopbackName(const std::string& Host) {
  return Host == "localhost" || Host == "127.0.0.1" || Host == "[::1]";
}

// Whether a return reached Here, the other loopback name of the very address There (same scheme
// and port): a provider that sends the browser to "localhost" for "127.0.0.1", as some do during
// development. The browser keeps the two names' cookies apart, so such a return arrives without
// the session's cookie; it is the only cookie-less return a session adopts.
bool OtherLoopbackName(std::string_view Here, std::string_view There) {
  const TURLParts A = PartsOf(Here);
  const TURLParts B = PartsOf(There);
  return !A.Scheme.empty() && A.Scheme == B.Scheme && A.Port == B.Port && A.Host != B.Host &&
         IsLoopbackName(A.Host) && IsLoopbackName(B.Host);
}

// Raised when a session's lease could not be had in time: the request gets the busy page.
struct TSessionBusy {};

// The query field of the one-time address an adopted return sends its browser to, and how long
// that address stays good.
constexpr const char* kHandoffField = "zelk_handoff";
constexpr auto kHandoffLifetime = std::chrono::seconds(60);

std::string ExceptionText(const std::exception_ptr& E) {
  try {
    std::rethrow_exception(E);
  } catch (const std::exception& X) {
    return X.what();
  } catch (...) {
    return "unknown exception";
  }
}

}  // namespace

struct TIWServer::TImpl {
  TImpl(TIWServerControllerBase& AController, TIWServerOptions AOptions)
      : Controller(AController), Options(std::move(AOptions)) {}

  TIWServerControllerBase& Controller;
  TIWServerOptions Options;
  std::unique_ptr<TAccessLog> AccessLog;  // made at Start when Options.AccessLog is set
  // With Options.SessionStore: the store, its key ring and what the server does with them.
  std::unique_ptr<TStoredSessions> Stored;
  std::thread LeaseKeeper;
  TApplicationURLRules Rules;
  std::chrono::milliseconds SweepInterval{};
  TIWSessionList Sessions;
  std::vector<std::string> AllowedHosts;  // lower case, IPv6 in brackets
  // When each client address started its sessions of the last minute.
  std::mutex RateMutex;
  std::unordered_map<std::string, std::deque<TSessionClock::time_point>> NewSessionTimes;
  std::map<std::pair<std::string, std::string>, TPageHandler> Routes;
  // One-time handoffs of adopted returns: the value the browser was sent back with, the session
  // it may take the cookie of, where the browser goes then, and until when.
  struct THandoff {
    std::weak_ptr<TIWSession> Session;
    std::string Origin;    // the session's own scheme and host: the only place it is taken
    std::string Location;  // where the browser goes once it has the cookie
    TSessionClock::time_point Expires;
  };
  std::mutex HandoffMutex;
  std::unordered_map<std::string, THandoff> Handoffs;
  TSessionEvent FOnNewSession;
  TSessionEvent FOnEndSession;
  TErrorEvent FOnError;

  std::unique_ptr<engine::THttpEngine> Http;
  std::thread Sweeper;
  std::atomic<int> BoundPort{0};

  std::mutex Lifecycle;   // serialises Start and Stop
  std::mutex StateMutex;  // guards the fields below
  std::condition_variable SweepWake;
  std::condition_variable DrainWake;  // Stop() ends a Drain() in progress
  bool Started = false;
  bool Stopping = false;
  bool Stopped = false;
  TStopSignal* ActiveSignal = nullptr;

  std::atomic<bool> DrainRequested{false};
  // Requests being served (the readiness route aside), and when the last one ended.
  std::atomic<int> RequestsInProgress{0};
  std::atomic<TSessionClock::rep> LastRequestEnd{TSessionClock::now().time_since_epoch().count()};

  void CheckNotStarted(const char* What) {
    std::lock_guard L(StateMutex);
    if (Started) throw rtl::Exception(std::string("TIWServer.") + What + ": set it before Start()");
  }

  void Report(const std::string& Message) {
    if (!FOnError) return;
    try {
      FOnError(Message);
    } catch (...) {
      // A failing logger must not take the request or the sweeper down with it.
    }
  }

  std::string StartLink() const {
    return (Rules.PublicBaseURL.empty() ? Rules.ApplicationPath : Rules.PublicBaseURL) + "/";
  }

  // ---- sessions ----------------------------------------------------------------------------

  void EndSessionLocked(const TIWSessionPtr& Self) {
    TIWSession& S = *Self;
    if (S.Ended) return;
    S.Ended = true;
    if (!S.Application) return;
    if (FOnEndSession) {
      try {
        FOnEndSession(*S.Application);
      } catch (...) {
        Report("OnEndSession failed: " + ExceptionText(std::current_exception()));
      }
    }
    DetachClients(*S.Application);
    // No registry names the session's clients now, so no return can be traced to it any more;
    // forget its application before the object goes and its address can be reused.
    Sessions.ForgetApplication(Self);
    S.Application.reset();
    // With a store the session lives on there: another instance may take it from now on.
    if (Stored) Stored->Release(S);
  }

  void EndSession(const TIWSessionPtr& S) {
    std::lock_guard Lock(S->Mutex);
    EndSessionLocked(S);
  }

  std::size_t ExpireIdle() {
    const auto Idle = Sessions.TakeIdle(TSessionClock::now(), Options.SessionTimeout);
    for (const auto& S : Idle)
      EndSession(S);
    return Idle.size();
  }

  // Whether Address may start another session now; else Wait says in how many seconds.
  bool AllowNewSession(const std::string& Address, TSessionClock::time_point Now, int& Wait) {
    if (Options.MaxNewSessionsPerMinute == 0) return true;
    std::lock_guard L(RateMutex);
    auto& Times = NewSessionTimes[Address];
    while (!Times.empty() && Now - Times.front() >= 1min)
      Times.pop_front();
    if (Times.size() >= Options.MaxNewSessionsPerMinute) {
      const auto Left = std::chrono::ceil<std::chrono::seconds>(Times.front() + 1min - Now);
      Wait = std::max(1, static_cast<int>(Left.count()));
      return false;
    }
    Times.push_back(Now);
    return true;
  }

  // Forgets the addresses that started no session in the last minute.
  void PruneNewSessionTimes(TSessionClock::time_point Now) {
    std::lock_guard L(RateMutex);
    std::erase_if(NewSessionTimes,
                  [&](const auto& E) { return E.second.empty() || Now - E.second.back() >= 1min; });
  }

  // A new session for a request from Address whose application URL is URL, entered into the
  // list and locked by Lock; or none, with Refusal filled in.
  TIWSessionPtr CreateSession(const std::string& URL, const std::string& Address,
                              std::unique_lock<TSessionMutex>& Lock, THttpResponse& Refusal) {
    if (int Wait = 0; !AllowNewSession(Address, TSessionClock::now(), Wait)) {
      Refusal = ErrorPage(429,
                          "Too many new sessions were started from your address. Please try "
                          "again in a minute.",
                          StartLink());
      Refusal.SetHeader("Retry-After", std::to_string(Wait));
      return nullptr;
    }
    auto S = std::make_shared<TIWSession>(NewSessionID());
    // Handed to the caller only on success: on every other way out it is released while the
    // session still exists.
    std::unique_lock Held(S->Mutex);
    if (!Admit(S, URL, Refusal)) return nullptr;
    Lock = std::move(Held);
    return S;
  }

  // Under S's lock: gives S its application object for URL, enters it into the list (making
  // room at MaxSessions, or refusing with Refusal filled in) and lets the application build
  // the session's components (OnNewSession).
  bool Admit(const TIWSessionPtr& S, const std::string& URL, THttpResponse& Refusal) {
    S->Application = std::make_unique<TIWApplication>(nullptr, URL, S->ID());
    S->Application->SetServerController(&Controller);
    TIWSessionPtr Evicted;
    auto Result = Sessions.Add(S, Options.MaxSessions, TSessionClock::now(), Evicted);
    if (Result == TIWSessionList::arFull && ExpireIdle() > 0)
      Result = Sessions.Add(S, Options.MaxSessions, TSessionClock::now(), Evicted);
    if (Result == TIWSessionList::arFull) {
      EndSessionLocked(S);
      Refusal = ErrorPage(503,
                          "The server has too many open sessions to start a new one. Please try "
                          "again in a few minutes.",
                          StartLink());
      Refusal.SetHeader("Retry-After", "60");
      return false;
    }
    // Nobody else can reach the evicted session any more, and the new one is not known to any
    // other request yet, so holding both locks for a moment cannot deadlock.
    if (Evicted) EndSession(Evicted);
    if (FOnNewSession) {
      try {
        FOnNewSession(*S->Application);
      } catch (...) {
        Sessions.Release(S, TSessionClock::now());
        Sessions.Remove(S);
        EndSessionLocked(S);
        throw;
      }
    }
    return true;
  }

  // ---- sessions kept in a store ------------------------------------------------------------

  // Ids this process is building from the store now: a second request for one waits for the
  // first instead of building the session twice.
  std::mutex RestoreMutex;
  std::condition_variable RestoreDone;
  std::set<std::string> Restoring;

  // The session Id names, built from the store for a request whose application URL is URL and
  // marked in use; none when the store has no such session (or its record is refused, or no
  // longer fits the application: the browser then starts afresh).
  TIWSessionPtr Restore(const std::string& Id, const std::string& URL) {
    {
      std::unique_lock L(RestoreMutex);
      RestoreDone.wait(L, [&] { return !Restoring.contains(Id); });
      if (TIWSessionPtr S = Sessions.Acquire(Id, true)) return S;
      Restoring.insert(Id);
    }
    struct TDone {
      TImpl& I;
      const std::string& Id;
      ~TDone() {
        {
          std::lock_guard L(I.RestoreMutex);
          I.Restoring.erase(Id);
        }
        I.RestoreDone.notify_all();
      }
    } const Done{*this, Id};
    auto S = std::make_shared<TIWSession>(Id);
    std::unique_lock Held(S->Mutex);
    if (Stored->Take(*S) == TStoredSessions::TTake::tkBusy) throw TSessionBusy();
    std::uint64_t Version = 0;
    const std::optional<std::string> Plain = Stored->Load(Id, Version);
    const nlohmann::json State =
        Plain ? nlohmann::json::parse(*Plain, nullptr, false) : nlohmann::json();
    if (!State.is_object()) {
      Stored->Release(*S);
      return nullptr;
    }
    THttpResponse Refusal;
    if (!Admit(S, URL, Refusal)) {
      Stored->Release(*S);
      throw TSessionBusy();
    }
    if (!ApplyState(S, State)) return nullptr;
    S->StoredID = Id;
    S->StoredVersion = Version;
    S->StoredState = *Plain;
    Stored->CountRestored();
    // Admit marked it in use: the caller's lease of it.
    return S;
  }

  // Under S's lock: the saved State onto the components OnNewSession just made. A state that no
  // longer fits them (another version of the application) ends the session here: false.
  bool ApplyState(const TIWSessionPtr& S, const nlohmann::json& State) {
    try {
      ReadSessionState(*S->Application, State);
    } catch (const std::exception& X) {
      Report("A stored session could not be restored, so it starts afresh: " +
             std::string(X.what()));
      Sessions.Release(S, TSessionClock::now());
      Sessions.Remove(S);
      EndSessionLocked(S);
      return false;
    }
    if (S->Application->Established()) Sessions.Establish(S);
    return true;
  }

  // Under S's lock: another instance saved S since this copy was made; the copy is built again
  // from the store. False when the store holds it no more (signed out or expired elsewhere):
  // the copy has ended.
  bool Reload(const TIWSessionPtr& S, const std::string& URL) {
    std::uint64_t Version = 0;
    const std::optional<std::string> Plain =
        Stored->Load(S->StoredID.empty() ? S->ID() : S->StoredID, Version);
    const nlohmann::json State =
        Plain ? nlohmann::json::parse(*Plain, nullptr, false) : nlohmann::json();
    if (!State.is_object()) {
      Sessions.Remove(S);
      EndSessionLocked(S);
      return false;
    }
    // The old components leave every registry before the new ones take their flows over.
    DetachClients(*S->Application);
    Sessions.ReplaceApplication(S, nullptr);
    S->Application.reset();
    S->Application = std::make_unique<TIWApplication>(nullptr, URL, S->ID());
    S->Application->SetServerController(&Controller);
    Sessions.ReplaceApplication(S, S->Application.get());
    if (FOnNewSession) FOnNewSession(*S->Application);
    if (!ApplyState(S, State)) return false;
    S->StoredVersion = Version;
    S->StoredState = *Plain;
    return true;
  }

  // ---- requests ----------------------------------------------------------------------------

  // 200 while new sessions are taken, 503 while the server drains; for load balancers.
  // 200 while new sessions are taken, 503 while the server drains or cannot reach its session
  // store; for load balancers.
  THttpResponse Readiness() const {
    THttpResponse R;
    const char* State = "ready\n";
    if (DrainRequested)
      State = "draining\n";
    else if (Stored && !Stored->Reachable())
      State = "session store unreachable\n";
    R.SetStatusCode(std::string_view(State) == "ready\n" ? 200 : 503);
    R.SetHeader("Cache-Control", "no-store");
    R.SetContent(State, "text/plain; charset=utf-8");
    return R;
  }

  static bool IsRoute(const engine::TEngineRequest& Req, const std::string& Path) {
    if (Path.empty() || (Req.Method != "GET" && Req.Method != "HEAD")) return false;
    return std::string_view(Req.Target).substr(0, Req.Target.find('?')) == Path;
  }
  bool IsReadinessCheck(const engine::TEngineRequest& Req) const {
    return IsRoute(Req, Options.ReadinessPath);
  }

  // The figures of this instance in the Prometheus text format: sessions, the session store,
  // and what the server controller's metrics sources add (every provider's flows and calls).
  THttpResponse Metrics() const {
    std::string Text =
        "# HELP zelk_sessions Sessions this instance holds.\n# TYPE zelk_sessions gauge\n"
        "zelk_sessions " +
        std::to_string(Sessions.Count()) + "\n";
    if (Stored) Text += Stored->MetricsText();
    Text += MetricsOf(Controller);
    THttpResponse R;
    R.SetHeader("Cache-Control", "no-store");
    R.SetContent(Text, "text/plain; version=0.0.4; charset=utf-8");
    return R;
  }

  void Serve(const engine::TEngineRequest& Req, engine::TEngineResponse& Res) {
    if (IsReadinessCheck(Req)) {
      Write(Readiness(), Res);
      return;
    }
    if (IsRoute(Req, Options.MetricsPath)) {
      Write(Metrics(), Res);
      return;
    }
    ++RequestsInProgress;
    struct TEnd {
      TImpl& I;
      ~TEnd() {
        I.LastRequestEnd = TSessionClock::now().time_since_epoch().count();
        --I.RequestsInProgress;
      }
    } const End{*this};
    THttpResponse Out;
    try {
      TExchange X;
      X.In = ArrivalOf(Req);
      Out = Dispatch(X);
    } catch (const store::EStoreUnavailable& X) {
      // No session is served from this process's memory instead: the store holds the truth,
      // and a copy served here could split the session in two.
      Report(std::string("The session store failed: ") + X.what());
      Out = StoreFailurePage();
    } catch (const TSessionBusy&) {
      Out = BusyPage();
    } catch (...) {
      const std::string Message = ExceptionText(std::current_exception());
      Report(Message);
      Out = ErrorPage(500, "The request could not be served: " + Message, StartLink());
    }
    Write(Out, Res);
    if (AccessLog)
      AccessLog->Record({Req.RemoteAddress, std::chrono::system_clock::now(), Req.Method,
                         Req.Target, Req.Version, Res.Status, Res.Body.size(),
                         Req.Header("Referer"), Req.Header("User-Agent")});
  }

  THttpResponse Redirect(const std::string& Location) {
    // A line break in the address would let it add header lines of its own.
    if (HasControlCharacter(Location)) {
      Report("Refused a redirect to an address with control characters");
      return ErrorPage(500, "The application asked to send the browser to an invalid address.",
                       StartLink());
    }
    THttpResponse R;
    R.SetStatusCode(Options.RedirectStatus);
    R.SetHeader("Location", Location);
    R.SetHeader("Cache-Control", "no-store");
    R.SetContent("<!DOCTYPE html>\n<html><body><p><a href=\"" + HTMLEncode(Location) +
                     "\">Continue</a></p></body></html>\n",
                 "text/html; charset=utf-8");
    return R;
  }

  // Under HTTPS the cookie is "__Host-" prefixed: the browser then takes it only from this
  // very host, over HTTPS, for the whole site, so no neighbour can plant one.
  std::string CookieName(const std::string& URL) const {
    return URL.starts_with("https://") ? "__Host-" + Options.CookieName : Options.CookieName;
  }

  std::string SessionCookie(const std::string& ID, const std::string& URL) const {
    if (URL.starts_with("https://"))
      return CookieName(URL) + "=" + ID + "; Path=/; HttpOnly; SameSite=Lax; Secure";
    return Options.CookieName + "=" + ID + "; Path=" + Rules.CookiePath() +
           "; HttpOnly; SameSite=Lax";
  }

  // A cookie that makes the browser drop the session's.
  std::string ExpiredCookie(const std::string& URL) const {
    if (URL.starts_with("https://"))
      return CookieName(URL) + "=; Path=/; Max-Age=0; HttpOnly; SameSite=Lax; Secure";
    return Options.CookieName + "=; Path=" + Rules.CookiePath() +
           "; Max-Age=0; HttpOnly; SameSite=Lax";
  }

  // A request without a Host header is given the address it reached (always allowed).
  bool HostAllowed(const THttpRequest& R) const {
    if (R.Header("Host").empty()) return true;
    const std::string Host = HostOf(R.Header("Host"));
    return std::find(AllowedHosts.begin(), AllowedHosts.end(), Host) != AllowedHosts.end();
  }

  // Whether a state-changing request comes from another site's page.
  static bool CrossSite(const THttpRequest& R, const std::string& URL) {
    const std::string& M = R.Method();
    if (M == "GET" || M == "HEAD" || M == "OPTIONS") return false;
    const std::string Site = Lower(R.Header("Sec-Fetch-Site"));
    if (Site == "cross-site") return true;
    const std::string Origin = Lower(R.Header("Origin"));
    // Under "Referrer-Policy: no-referrer" a browser sends "Origin: null" even for a form of
    // the application's own page; its Sec-Fetch-Site (which no page can set) then tells.
    if (Origin == "null") return Site != "same-origin";
    return !Origin.empty() && Origin != OriginOf(URL);
  }

  // The path inside the application, or none when Path lies outside it.
  std::optional<std::string> PathInApplication(std::string_view Path) const {
    const std::string& Base = Rules.ApplicationPath;
    if (!Path.starts_with(Base)) return std::nullopt;
    std::string_view Rest = Path.substr(Base.size());
    if (Rest.empty()) return std::string("/");
    if (Rest.front() != '/') return std::nullopt;
    return std::string(Rest);
  }

  void Route(TIWApplication& App, const THttpRequest& R, THttpResponse& Out) {
    const std::string Method = R.Method() == "HEAD" ? "GET" : R.Method();
    if (const auto It = Routes.find({Method, R.PathInfo()}); It != Routes.end()) {
      It->second(App, R, Out);
      return;
    }
    std::string Allowed;
    for (const auto& [Key, Handler] : Routes)
      if (Key.second == R.PathInfo()) Allowed += (Allowed.empty() ? "" : ", ") + Key.first;
    if (!Allowed.empty()) {
      Out = ErrorPage(405, "This page does not accept " + R.Method() + " requests.", StartLink());
      Out.SetHeader("Allow", Allowed);
      return;
    }
    Out = ErrorPage(404, "There is no page at " + R.Path() + ".", StartLink());
  }

  // ---- adopted returns ---------------------------------------------------------------------

  // A one-time value that hands Session's cookie to the browser presenting it on Origin within
  // kHandoffLifetime, which is then sent to Location.
  std::string IssueHandoff(const TIWSessionPtr& Session, std::string Origin, std::string Location) {
    std::string Value = NewSessionID();
    const auto Now = TSessionClock::now();
    std::lock_guard L(HandoffMutex);
    std::erase_if(Handoffs, [Now](const auto& E) { return E.second.Expires <= Now; });
    Handoffs[Value] = {Session, std::move(Origin), std::move(Location), Now + kHandoffLifetime};
    return Value;
  }

  void PruneHandoffs(TSessionClock::time_point Now) {
    std::lock_guard L(HandoffMutex);
    std::erase_if(Handoffs, [Now](const auto& E) { return E.second.Expires <= Now; });
  }

  // The browser came back from an adopted return with its handoff: it gets the session's cookie
  // (once; the value is spent whatever happens) and goes on to where the return's answer sent it.
  THttpResponse ExchangeHandoff(const std::string& Value, const std::string& URL) {
    THandoff H;
    {
      std::lock_guard L(HandoffMutex);
      const auto It = Handoffs.find(Value);
      if (It != Handoffs.end()) {
        H = std::move(It->second);
        Handoffs.erase(It);
      }
    }
    const auto Expired = [this] {
      return ErrorPage(404,
                       "This sign-in link has expired or was used already. Please start again "
                       "from the application's first page.",
                       StartLink());
    };
    const TIWSessionPtr S = H.Session.lock();
    if (!S || H.Expires <= TSessionClock::now()) return Expired();
    if (OriginOf(URL) != H.Origin)
      return ErrorPage(403, "This sign-in link belongs to another address of the application.",
                       StartLink());
    const TLease Use(Sessions, Sessions.Acquire(S->ID(), true));
    if (!Use) return Expired();
    std::unique_lock Lock(S->Mutex, std::defer_lock);
    if (!Lock.try_lock_for(Options.SessionLockTimeout)) {
      THttpResponse Busy =
          ErrorPage(503, "This session is still busy with an earlier request. Please try again.");
      Busy.SetHeader("Retry-After", "5");
      return Busy;
    }
    if (S->Ended || !Sessions.Listed(S)) return Expired();
    THttpResponse Out = Redirect(H.Location);
    Out.AddHeader("Set-Cookie", SessionCookie(S->ID(), URL));
    return Out;
  }

  // ---- a request, stage by stage --------------------------------------------------------------

  // A request as it arrived, whatever server received it: the stages read it from here, never
  // from the engine's own types.
  struct TArrival {
    std::string Method;
    std::string Target;  // as sent
    std::vector<std::pair<std::string, std::string>> Headers;
    std::string Body;
    std::string RemoteAddress;
    std::string Reached;  // the address and port the connection reached ("127.0.0.1:8080")
  };

  static TArrival ArrivalOf(const engine::TEngineRequest& Req) {
    return {Req.Method,        Req.Target,
            Req.Headers,       Req.Body,
            Req.RemoteAddress, BracketIPv6(Req.LocalAddress) + ":" + std::to_string(Req.LocalPort)};
  }

  // What the stages of one request share. Members go in reverse order: the session's lock
  // before the leases that keep it in use.
  struct TExchange {
    TArrival In;
    THttpRequest R;
    std::string URL;             // the application's URL as this request reached it
    TRoutedFlow Routed;          // how the request names a flow, and what was found for it
    std::optional<TLease> Own;   // the session the URL or the cookie names
    std::optional<TLease> Flow;  // the session that started the flow the request returns from
    TIWSessionPtr Target;        // the session the request is served in
    std::unique_lock<TSessionMutex> Lock;
    bool Adopted = false;  // a return without the session's cookie, from the other loopback name
    bool New = false;
    bool Renamed = false;
    std::string SessionURL;   // the session's own application URL, as it was before the request
    std::string ClaimedFlow;  // with a store: the flow whose completion this request claimed
  };

  using TStage = std::optional<THttpResponse> (TImpl::*)(TExchange&);

  // The walk: each stage in turn until one answers; then the request is served in its session.
  THttpResponse Dispatch(TExchange& X) {
    for (const TStage Stage : {&TImpl::ReadTarget, &TImpl::CheckHost, &TImpl::CheckCrossSite,
                               &TImpl::TakeHandoff, &TImpl::FindSession, &TImpl::LockSession})
      if (std::optional<THttpResponse> Answer = (this->*Stage)(X)) return std::move(*Answer);
    return ServeInSession(X);
  }

  // 1. Target: its length, and the path inside the application; the request as the
  // application sees it.
  std::optional<THttpResponse> ReadTarget(TExchange& X) {
    if (X.In.Target.size() > Options.MaxQueryBytes)
      return ErrorPage(414, "Request refused: its address is longer than " +
                                std::to_string(Options.MaxQueryBytes) + " bytes.");
    const std::string_view RawTarget = X.In.Target;
    const std::string_view RawPath = RawTarget.substr(0, RawTarget.find('?'));
    std::optional<std::string> PathInfo = PathInApplication(RawPath);
    if (!PathInfo)
      return ErrorPage(404, "There is no page at " + std::string(RawPath) + ".", StartLink());
    X.R = THttpRequest::FromTarget(RawTarget, X.In.Method);
    THttpRequest& R = X.R;
    for (auto& [Name, Value] : X.In.Headers)
      R.AddHeader(std::move(Name), std::move(Value));
    R.SetRemoteAddress(X.In.RemoteAddress);
    R.SetBody(std::move(X.In.Body), R.Header("Content-Type"));
    R.SetPathInfo(std::move(*PathInfo));
    return std::nullopt;
  }

  // 2. Host: the application's URL as this request reached it, and a Host the server answers
  // for.
  std::optional<THttpResponse> CheckHost(TExchange& X) {
    const std::optional<std::string> URL = Rules.ApplicationURL(X.R, X.In.Reached);
    if (!URL)
      return ErrorPage(400, "Bad request: the Host header (or the forwarded host) is malformed.");
    X.URL = *URL;
    if (!HostAllowed(X.R))
      return ErrorPage(
          421, "This server does not answer for the host \"" + HostOf(X.R.Header("Host")) + "\".");
    return std::nullopt;
  }

  // 3. Cross-site check: no state-changing request from another site's page.
  std::optional<THttpResponse> CheckCrossSite(TExchange& X) {
    if (!CrossSite(X.R, X.URL)) return std::nullopt;
    return ErrorPage(403,
                     "Request refused: it was sent from another site's page. Please use the "
                     "application's own pages.",
                     StartLink());
  }

  // The browser back from an adopted return with its one-time handoff.
  std::optional<THttpResponse> TakeHandoff(TExchange& X) {
    if (X.R.Method() != "GET" && X.R.Method() != "HEAD") return std::nullopt;
    const std::string Handoff = X.R.Query(kHandoffField);
    if (Handoff.empty()) return std::nullopt;
    return ExchangeHandoff(Handoff, X.URL);
  }

  // The session Id names, in this process or (with a store) built from the store.
  TIWSessionPtr SessionNamed(const std::string& Id, bool Confirm, const std::string& URL) {
    if (TIWSessionPtr S = Sessions.Acquire(Id, Confirm)) return S;
    return Stored ? Restore(Id, URL) : nullptr;
  }

  // 4. Session lookup: the session the URL names (URL session tracking), else the cookie's,
  // else one renewed elsewhere; and the one that started the flow a provider's return names.
  std::optional<THttpResponse> FindSession(TExchange& X) {
    X.Routed = TRoutedFlow{FlowNameOf(X.R), nullptr, nullptr};
    if (std::optional<THttpResponse> Ended = SessionOfURL(X)) return Ended;
    if (!X.Own) SessionOfCookie(X);
    if (!X.Own)
      if (std::optional<THttpResponse> Renewed = RenewedElsewhere(X)) return Renewed;
    X.Target = X.Own ? X.Own->Session() : nullptr;
    SessionOfFlow(X);
    return ReturnSession(X);
  }

  // With URL session tracking, a first path segment shaped like a session id names the session
  // (and leaves the path inside the application); one that names none gets the ended page.
  std::optional<THttpResponse> SessionOfURL(TExchange& X) {
    if (!Controller.URLSessionTracking()) return std::nullopt;
    const std::string PathInfo = X.R.PathInfo();
    const std::string_view Rest = std::string_view(PathInfo).substr(1);
    const std::string_view Segment = Rest.substr(0, Rest.find('/'));
    if (!IsSessionIDShape(Segment)) return std::nullopt;
    TIWSessionPtr S = SessionNamed(std::string(Segment), true, X.URL);
    if (!S)
      return ErrorPage(404,
                       "This session has ended or does not exist. Please start again from the "
                       "application's first page.",
                       StartLink());
    X.Own.emplace(Sessions, std::move(S));
    const std::string_view After = Rest.substr(Segment.size());
    X.R.SetPathInfo(After.empty() ? std::string("/") : std::string(After));
    return std::nullopt;
  }

  // The first session cookie that names a session; a forged or stale one names nothing and is
  // ignored.
  void SessionOfCookie(TExchange& X) {
    for (const std::string& Value : X.R.Cookies(CookieName(X.URL))) {
      if (!IsSessionIDShape(Value)) continue;
      if (TIWSessionPtr S = SessionNamed(Value, true, X.URL)) {
        X.Own.emplace(Sessions, std::move(S));
        return;
      }
    }
  }

  // The flow a provider's return names, looked up once: in the flow directories, which hand
  // their record of it on with the request; else, with a store, in the store, which knows the
  // session of a flow this process does not hold.
  void SessionOfFlow(TExchange& X) {
    const TFlowName Name = X.Routed.Name;
    TIWSessionPtr Flow = FindFlowSession(Controller, Name, Sessions, X.Routed);
    if (!Flow && Stored && Name.Named())
      if (const std::optional<std::string> Id = Stored->SessionOfFlow(Name.Key))
        Flow = SessionNamed(*Id, false, X.URL);
    if (Flow) X.Flow.emplace(Sessions, std::move(Flow));
  }

  // 5. The return's session: a return for another live session is refused; one without a
  // session is served in its flow's session (adopted), if LockSession's rules allow.
  std::optional<THttpResponse> ReturnSession(TExchange& X) {
    if (X.Flow && X.Target && X.Flow->Session() != X.Target)
      return ErrorPage(403,
                       "This return from a provider belongs to another session, so it was not "
                       "processed. Finish the sign-in or payment in the browser window that "
                       "started it.",
                       StartLink());
    if (X.Flow && !X.Target) {
      X.Target = X.Flow->Session();
      X.Adopted = true;
    }
    return std::nullopt;
  }

  // 6. Session lock: a new session, or the lock of the one found (with a store: its lease,
  // and its state brought up to date); the rules for returns without the cookie; with a store,
  // the claim on the completion of the flow the request returns from.
  std::optional<THttpResponse> LockSession(TExchange& X) {
    if (std::optional<THttpResponse> Refusal = X.Target ? LockFound(X) : StartSession(X))
      return Refusal;
    TIWSession& Session = *X.Target;
    // A return for a session that expired (and is being freed) while the request was on its way.
    if (Session.Ended || !Sessions.Listed(X.Target)) return EndedPage();
    if (Stored && !X.New) {
      const TStoredSessions::TTake Take = Stored->Take(Session);
      if (Take == TStoredSessions::TTake::tkBusy) return BusyPage();
      if (Take == TStoredSessions::TTake::tkStale) {
        if (!Reload(X.Target, X.URL)) return EndedPage();
        // The components the flow directories named are gone: the new ones are looked up by
        // the name.
        X.Routed = TRoutedFlow{X.Routed.Name, nullptr, nullptr};
      }
    }
    X.SessionURL = Session.Application->GetApplicationURL();
    if (std::optional<THttpResponse> Refusal = CheckAdoption(X)) return Refusal;
    return ClaimFlow(X);
  }

  // A new session for a request that names none (refused while the server drains).
  std::optional<THttpResponse> StartSession(TExchange& X) {
    if (DrainRequested) {
      THttpResponse Refusal = ErrorPage(
          503, "This server is shutting down and starts no new sessions. Please try again.",
          StartLink());
      Refusal.SetHeader("Retry-After", "1");
      return Refusal;
    }
    THttpResponse Refusal;
    X.Target = CreateSession(X.URL, X.In.RemoteAddress, X.Lock, Refusal);
    if (!X.Target) return Refusal;
    X.Own.emplace(Sessions, X.Target);
    X.New = true;
    return std::nullopt;
  }

  // The lock of the session found, within SessionLockTimeout.
  std::optional<THttpResponse> LockFound(TExchange& X) {
    X.Lock = std::unique_lock(X.Target->Mutex, std::defer_lock);
    if (!X.Lock.try_lock_for(Options.SessionLockTimeout)) return BusyPage();
    return std::nullopt;
  }

  // An adopted return is served only when it reached the other loopback name of the
  // session's own address.
  std::optional<THttpResponse> CheckAdoption(const TExchange& X) const {
    if (!X.Adopted) return std::nullopt;
    // A browser without the session's cookie on the very host that started the flow is not the
    // one the provider sent back: it may have the flow's identifier from elsewhere.
    if (OriginOf(X.URL) == OriginOf(X.SessionURL))
      return ErrorPage(403,
                       "This return from a provider belongs to another session, so it was not "
                       "processed. Finish the sign-in or payment in the browser window that "
                       "started it.",
                       StartLink());
    if (!OtherLoopbackName(X.URL, X.SessionURL))
      return ErrorPage(403,
                       "This return from a provider arrived without the session's cookie, so it "
                       "was not processed. Finish the sign-in or payment in the browser window "
                       "that started it.",
                       StartLink());
    return std::nullopt;
  }

  // With a store: of concurrent returns for one flow on several instances, only one calls the
  // provider.
  std::optional<THttpResponse> ClaimFlow(TExchange& X) {
    if (!Stored) return std::nullopt;
    const std::string& Key = X.Routed.Name.Key;
    const auto Open = OpenFlowKeysOf(*X.Target->Application);
    if (Key.empty() || std::find(Open.begin(), Open.end(), Key) == Open.end()) return std::nullopt;
    if (Stored->Claim(Key, *X.Target) == store::TClaim::clRefused)
      return ErrorPage(409,
                       "This return from a provider is being completed already. Open the "
                       "application's page in a moment to see how it ended.",
                       StartLink());
    X.ClaimedFlow = Key;
    return std::nullopt;
  }

  // Saves Session's changed State; a store that fails meanwhile is waited for a while (a
  // request that has done something is not given up for a short outage). Empty when it still
  // fails: the copy is then marked SavePending. Otherwise whether the save went through (false:
  // another instance saved the session meanwhile).
  std::optional<bool> SaveOrKeep(TIWSession& Session, const std::string& State,
                                 const std::vector<std::string>& Open, const std::string& Proof) {
    try {
      return Stored->Save(Session, State, Open, Proof, Options.SessionSaveWait);
    } catch (const store::EStoreUnavailable& E) {
      Report(std::string("The session store failed: ") + E.what() +
             "; the session is saved once it answers again");
      Session.SavePending = true;
      return std::nullopt;
    }
  }

  // A provider's return sent again with the id it renewed: its first answer, which carried
  // the new id, was lost (the instance that served it stopped, say). The same return from the
  // same browser gets the new id; the flow has been completed under it.
  std::optional<THttpResponse> RenewedElsewhere(const TExchange& X) {
    if (!Stored || !X.Routed.Name.Named()) return std::nullopt;
    const std::string Proof = ReturnTarget(X.R);
    for (const std::string& Value : X.R.Cookies(CookieName(X.URL))) {
      if (!IsSessionIDShape(Value)) continue;
      if (const std::optional<std::string> NewId = Stored->RenewalOf(Value, Proof)) {
        THttpResponse Out = Redirect(StartLink());
        Out.AddHeader("Set-Cookie", SessionCookie(*NewId, X.URL));
        return Out;
      }
    }
    return std::nullopt;
  }

  // A request target exactly as the browser sent it.
  static std::string ReturnTarget(const THttpRequest& R) {
    return R.Path() + (R.QueryString().empty() ? "" : "?" + R.QueryString());
  }
  // The proof a browser gives, by sending the same return again, that it is the one whose
  // return renewed the session's id in this request; empty when no return renewed it.
  static std::string RenewalProof(const TExchange& X) {
    return X.Renamed && X.Routed.Name.Named() ? ReturnTarget(X.R) : std::string();
  }

  THttpResponse StoreFailurePage() const {
    THttpResponse Page = ErrorPage(503,
                                   "The server cannot reach its session store right now, so this "
                                   "request was not served. Please try again in a few seconds.",
                                   StartLink());
    Page.SetHeader("Retry-After", "5");
    return Page;
  }

  THttpResponse BusyPage() const {
    THttpResponse Busy =
        ErrorPage(503, "This session is still busy with an earlier request. Please try again.");
    Busy.SetHeader("Retry-After", "5");
    return Busy;
  }

  THttpResponse EndedPage() const {
    return ErrorPage(404,
                     "This session has ended. Please start again from the application's first "
                     "page.",
                     StartLink());
  }

  // Under the session's lock: the hook, the route and the answer. An exception from the hook or
  // a page gets a 500 page; even so an adopted return's identifier names nothing afterwards.
  THttpResponse ServeInSession(TExchange& X) {
    TIWApplication& App = *X.Target->Application;
    // A return adopted from outside keeps the session's own address: it is where the browser
    // goes back to.
    if (!X.Adopted) App.SetApplicationURL(X.URL);
    App.ClearRedirect();
    THttpResponse Out;
    try {
      RenewIfSucceeded(X);
      RunHook(X);
      if (App.RedirectURL().empty() && !X.Adopted) RunRoute(X, Out);
      RenewIfSucceeded(X);
      Answer(X, Out);
    } catch (...) {
      const std::string Message = ExceptionText(std::current_exception());
      Report(Message);
      Out = ErrorPage(500, "The request could not be served: " + Message, StartLink());
      if (X.Adopted && !X.Renamed) RenewID(X);
    }
    App.ClearRedirect();
    if (Out.Header("Cache-Control").empty()) Out.SetHeader("Cache-Control", "no-store");
    Conclude(X, Out);
    return Out;
  }

  void RenewID(TExchange& X) {
    TIWApplication& App = *X.Target->Application;
    std::string ID = NewSessionID();
    Sessions.Rename(X.Target, ID);
    App.SetSessionID(std::move(ID));
    App.ClearSessionIDRenewal();
    X.Renamed = true;
  }

  // A flow of the session succeeded (TIWApplication::FlowSucceeded): the session is established
  // and, unless the return was adopted (which renews it in Answer), gets a new identifier.
  void RenewIfSucceeded(TExchange& X) {
    TIWApplication& App = *X.Target->Application;
    if (App.Established()) Sessions.Establish(X.Target);
    if (!X.Adopted && App.SessionIDRenewalPending()) RenewID(X);
  }

  // 7. The application's hook, with what the session lookup found for the flow the request
  // names.
  void RunHook(TExchange& X) {
    if (X.Routed.Name.Named()) X.R.SetRoutedFlow(X.Routed);
    Controller.BeforeDispatch(X.R, X.Target->Application.get());
    RenewIfSucceeded(X);
  }

  // 8. The route: the page for the method and the path inside the application.
  void RunRoute(TExchange& X, THttpResponse& Out) { Route(*X.Target->Application, X.R, Out); }

  // 9. The answer: an adopted return goes back to the session's own address with a handoff;
  // a GoToURL becomes the redirect.
  void Answer(TExchange& X, THttpResponse& Out) {
    TIWApplication& App = *X.Target->Application;
    if (!X.Adopted) {
      if (!App.RedirectURL().empty()) Out = Redirect(App.RedirectURL());
      return;
    }
    // The session gets a new identifier now, whatever the flow's outcome: the one it had may
    // have been planted and names nothing from this moment. Only the browser that completed
    // the return learns the new one, through a one-time handoff on the session's own address
    // (whose host passed AllowedHosts when the session began); a relative address would leave
    // it on this host, where it has no session.
    RenewID(X);
    std::string Next = App.RedirectURL();
    if (Next.empty() || OriginOf(Next) != OriginOf(X.SessionURL)) Next = X.SessionURL + "/";
    Out = Redirect(X.SessionURL + "/?" + kHandoffField + "=" +
                   IssueHandoff(X.Target, OriginOf(X.SessionURL), std::move(Next)));
  }

  // The answer, before it goes out: a signed-out session ends; with a store, a changed state is
  // saved (so that the browser's next request, wherever it lands, sees it); the cookie is set
  // for a new or renewed session.
  void Conclude(TExchange& X, THttpResponse& Out) {
    TIWApplication& App = *X.Target->Application;
    if (App.SessionEndRequested() && !X.Adopted) {
      // Signed out: the session goes now, its components and flows with it, and the browser
      // forgets its cookie.
      if (Stored) Stored->Delete(*X.Target);
      Sessions.Remove(X.Target);
      EndSessionLocked(X.Target);
      Out.AddHeader("Set-Cookie", ExpiredCookie(X.URL));
      return;
    }
    if (Stored && !SaveSession(X, Out)) return;
    if ((X.New || X.Renamed) && !X.Adopted)
      Out.AddHeader("Set-Cookie", SessionCookie(X.Target->ID(), X.URL));
  }

  // With a store: gives back a claim that completed nothing and saves the session; false, with
  // Out replaced by the failure's page, when the save did not go through.
  bool SaveSession(TExchange& X, THttpResponse& Out) {
    TIWSession& Session = *X.Target;
    TIWApplication& App = *Session.Application;
    const std::vector<std::string> Open = OpenFlowKeysOf(App);
    if (!X.ClaimedFlow.empty() && std::find(Open.begin(), Open.end(), X.ClaimedFlow) != Open.end())
      Stored->Unclaim(X.ClaimedFlow);
    // A session new with this request has nothing to keep yet: its failure is the plain 503
    // another instance may retry.
    const std::optional<bool> Saved =
        X.New ? std::optional<bool>(Stored->Save(Session, WriteSessionState(App).dump(), Open))
              : SaveOrKeep(Session, WriteSessionState(App).dump(), Open, RenewalProof(X));
    if (!Saved) {
      // What this request did (a completed sign-in, a payment taken) stays in this copy, whose
      // lease this instance keeps, and is saved as soon as the store answers. The browser gets
      // the session's cookie with the page, so that its next request finds this copy; the
      // status is not one a balancer replays elsewhere, where the request would run again on
      // the older stored state.
      Out = ErrorPage(500,
                      "This request was carried out, but the server cannot reach its session "
                      "store to record it right now. It is recorded as soon as the store "
                      "answers: reload this page in a few seconds.",
                      StartLink());
      Out.SetHeader("Retry-After", "5");
      if ((X.New || X.Renamed) && !X.Adopted)
        Out.AddHeader("Set-Cookie", SessionCookie(Session.ID(), X.URL));
      return false;
    }
    if (*Saved) return true;
    // Another instance saved the session meanwhile: this copy is dropped, and the next request
    // works on the stored one.
    Sessions.Remove(X.Target);
    EndSessionLocked(X.Target);
    // 409, not 503: a balancer would replay a 503 elsewhere, and this request may have called a
    // provider.
    Out = ErrorPage(409,
                    "This session was changed by another server at the same time, so this "
                    "request's changes were not kept. Please try again.",
                    StartLink());
    return false;
  }

  static void Write(const THttpResponse& Out, engine::TEngineResponse& Res) {
    Res.Status = Out.StatusCode();
    bool HasType = false;
    for (const auto& [Name, Value] : Out.Headers()) {
      HasType = HasType || Name == "Content-Type";
      Res.Headers.emplace_back(Name, Value);
    }
    if (!HasType && !Out.ContentType().empty())
      Res.Headers.emplace_back("Content-Type", Out.ContentType());
    Res.Headers.emplace_back("X-Content-Type-Options", "nosniff");
    // No page is shown inside another site's frame, and no address (a provider's return
    // carries its code and state) leaks to the next site in a Referer.
    if (Out.Header("Content-Security-Policy").empty())
      Res.Headers.emplace_back("Content-Security-Policy", "frame-ancestors 'none'");
    Res.Headers.emplace_back("Referrer-Policy", "no-referrer");
    Res.Headers.emplace_back("X-Frame-Options", "DENY");
    Res.Body = Out.Body();
  }

  // Requests the engine refuses itself (over a limit, malformed) get a page like every other
  // refusal.
  static engine::TEngineResponse EngineErrorPage(int Status, const std::string& Message) {
    THttpResponse Page = ErrorPage(Status, Message);
    if (Page.Header("Cache-Control").empty()) Page.SetHeader("Cache-Control", "no-store");
    if (Status == 503) Page.SetHeader("Retry-After", "5");
    engine::TEngineResponse Res;
    Write(Page, Res);
    return Res;
  }

  // Sessions whose save failed while the store was unreachable are saved once it answers, as
  // long as no request works on them (that request saves them itself); a copy the store has
  // moved past meanwhile is dropped. Never raises.
  void SavePendingSessions() {
    bool Asked = false;
    for (const TIWSessionList::TEntry& E : Sessions.Snapshot()) {
      TIWSession& S = *E.Session;
      if (!S.SavePending || E.InUse) continue;
      if (!Asked && !Stored->Reachable()) return;
      Asked = true;
      std::unique_lock Lock(S.Mutex, std::try_to_lock);
      if (!Lock || S.Ended || !S.SavePending) continue;
      try {
        TIWApplication& App = *S.Application;
        if (Stored->SavePending(S, WriteSessionState(App).dump(), OpenFlowKeysOf(App)) ==
            TStoredSessions::TFlush::fsStale) {
          Report(
              "A session changed elsewhere while its save here was pending; this copy was "
              "dropped");
          Sessions.Remove(E.Session);
          EndSessionLocked(E.Session);
        }
      } catch (...) {
        // Tried again at the next round.
      }
    }
  }

  // With a store: leases of sessions in use are renewed before they run out, those of idle
  // sessions given back.
  void KeepLeases() {
    const auto Period = std::max<std::chrono::milliseconds>(Options.SessionLeaseTime / 5, 20ms);
    std::unique_lock L(StateMutex);
    while (!Stopping) {
      SweepWake.wait_for(L, Period, [&] { return Stopping; });
      if (Stopping) break;
      L.unlock();
      Stored->Maintain(Sessions, TSessionClock::now());
      SavePendingSessions();
      L.lock();
    }
  }

  void SweepLoop() {
    std::unique_lock L(StateMutex);
    while (!Stopping) {
      SweepWake.wait_for(L, SweepInterval, [&] { return Stopping; });
      if (Stopping) break;
      L.unlock();
      try {
        ExpireIdle();
        PruneNewSessionTimes(TSessionClock::now());
        PruneHandoffs(TSessionClock::now());
      } catch (...) {
        Report("Freeing idle sessions failed: " + ExceptionText(std::current_exception()));
      }
      L.lock();
    }
  }
};

namespace {

rtl::Exception Bad(const std::string& What) {
  return rtl::Exception("TIWServer: invalid option: " + What);
}

// Every option's own limits, before anything is built from them.
void CheckOptions(const TIWServerOptions& O) {
  if (O.Port < 0 || O.Port > 65535) throw Bad("Port must be between 0 and 65535");
  if (O.SessionTimeout <= 0ms) throw Bad("SessionTimeout must be positive");
  if (O.MaxSessions == 0) throw Bad("MaxSessions must be at least 1");
  if (O.WorkerCount < 1) throw Bad("WorkerCount must be at least 1");
  if (O.IoThreadCount < 0) throw Bad("IoThreadCount must not be negative");
  if (O.QueueTimeout <= 0ms) throw Bad("QueueTimeout must be positive");
  if (O.HeadTimeout <= 0ms || O.BodyTimeout <= 0ms || O.WriteTimeout <= 0ms)
    throw Bad("HeadTimeout, BodyTimeout and WriteTimeout must be positive");
  if (O.MaxConnections == 0 || O.MaxConnectionsPerAddress == 0)
    throw Bad("MaxConnections and MaxConnectionsPerAddress must be at least 1");
  if (O.MaxHeaderLines == 0 || O.MaxHeaderBytes == 0)
    throw Bad("MaxHeaderBytes and MaxHeaderLines must be at least 1");
  if (O.KeepAliveMaxCount < 1) throw Bad("KeepAliveMaxCount must be at least 1");
  if (O.DrainTimeout < 0ms || O.DrainQuietTime < 0ms)
    throw Bad("DrainTimeout and DrainQuietTime must not be negative");
  if (!O.ReadinessPath.empty() && O.ReadinessPath.front() != '/')
    throw Bad("ReadinessPath must start with \"/\"");
  if (O.KeepAliveTimeout < 1s) throw Bad("KeepAliveTimeout must be at least one second");
  if (O.RedirectStatus != 302 && O.RedirectStatus != 303)
    throw Bad("RedirectStatus must be 302 or 303");
  if (O.CookieName.empty() || !std::all_of(O.CookieName.begin(), O.CookieName.end(), [](char C) {
        return (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') || (C >= '0' && C <= '9') ||
               C == '_' || C == '-';
      }))
    throw Bad("CookieName must be letters, digits, \"_\" and \"-\"");
  if (O.CertificateFile.empty() != O.PrivateKeyFile.empty())
    throw Bad("CertificateFile and PrivateKeyFile go together");
  if ((O.Certificate == nullptr) != (O.PrivateKey == nullptr))
    throw Bad("Certificate and PrivateKey go together");
  for (const auto& P : O.TrustedProxies)
    if (!SameIPAddress(P, P)) throw Bad("trusted proxy \"" + P + "\" is not an IP address");
  if (!O.MetricsPath.empty() && O.MetricsPath.front() != '/')
    throw Bad("MetricsPath must start with \"/\"");
  if (!O.SessionStore.empty()) {
    if (O.SessionKeyFile.empty())
      throw Bad(
          "SessionStore needs SessionKeyFile: the stored sessions are sealed with its keys "
          "(one key a line: an id, a blank, 64 hexadecimal digits; make one with "
          "echo \"k1 $(openssl rand -hex 32)\")");
    if (O.SessionStoreTimeout <= 0ms || O.SessionLeaseTime < 100ms || O.SessionSaveWait < 0ms)
      throw Bad(
          "SessionStoreTimeout must be positive, SessionLeaseTime at least 100 ms and "
          "SessionSaveWait not negative");
  }
}

TApplicationURLRules URLRulesOf(const TIWServerOptions& O) {
  TApplicationURLRules R;
  R.ApplicationPath = NormalizeApplicationPath(O.ApplicationPath);
  if (!O.PublicBaseURL.empty()) R.PublicBaseURL = NormalizePublicBaseURL(O.PublicBaseURL);
  R.TrustedProxies = O.TrustedProxies;
  R.TLS = !O.CertificateFile.empty() || O.Certificate != nullptr;
  return R;
}

// The Host names requests may carry: AllowedHosts, or the bind address, its loopback names and
// the public address's host.
std::vector<std::string> AllowedHostsOf(const TIWServerOptions& O, const TApplicationURLRules& R) {
  std::vector<std::string> Hosts;
  if (O.AllowedHosts.empty()) {
    Hosts.push_back(Lower(BracketIPv6(O.BindAddress)));
    if (O.BindAddress == "0.0.0.0" || O.BindAddress.empty()) Hosts.emplace_back("127.0.0.1");
    if (O.BindAddress == "::") Hosts.emplace_back("[::1]");
    Hosts.emplace_back("localhost");
    if (!R.PublicBaseURL.empty()) {
      const std::string Origin = OriginOf(R.PublicBaseURL);
      Hosts.push_back(HostOf(Origin.substr(Origin.find("://") + 3)));
    }
  } else {
    for (const auto& H : O.AllowedHosts)
      Hosts.push_back(HostOf(BracketIPv6(H)));
  }
  return Hosts;
}

std::unique_ptr<TStoredSessions> OpenStoredSessions(const TIWServerOptions& O) {
  store::TKeyRing Keys = store::TKeyRing::FromFile(O.SessionKeyFile);
  store::TStoreOptions StoreOptions;
  StoreOptions.Timeout = O.SessionStoreTimeout;
  // Enough connections for the request threads that call it at once (fewer make each
  // give-back wake a waiting thread), within reason: Redis serves many connections cheaply.
  StoreOptions.Connections = std::clamp(O.WorkerCount / 2, 4, 128);
  TStoredSessions::TOptions Kept;
  Kept.LeaseTime = O.SessionLeaseTime;
  Kept.SessionTimeout = O.SessionTimeout;
  Kept.WaitTimeout = O.SessionLockTimeout;
  return std::make_unique<TStoredSessions>(store::OpenSessionStore(O.SessionStore, StoreOptions),
                                           std::move(Keys), Kept);
}

}  // namespace

TIWServer::TIWServer(TIWServerControllerBase& Controller, TIWServerOptions Options)
    : FImpl(std::make_unique<TImpl>(Controller, std::move(Options))) {
  const TIWServerOptions& O = FImpl->Options;
  CheckOptions(O);
  FImpl->Rules = URLRulesOf(O);
  FImpl->AllowedHosts = AllowedHostsOf(O, FImpl->Rules);
  if (!O.SessionStore.empty()) FImpl->Stored = OpenStoredSessions(O);
  FImpl->SweepInterval = O.SweepInterval > 0ms ? O.SweepInterval
                                               : std::clamp<std::chrono::milliseconds>(
                                                     O.SessionTimeout / 4, 10ms, 30000ms);
}

TIWServer::~TIWServer() {
  Stop();
}

const TIWServerOptions& TIWServer::Options() const {
  return FImpl->Options;
}
TIWServerControllerBase& TIWServer::Controller() const {
  return FImpl->Controller;
}

TIWServer::TSessionEvent TIWServer::OnNewSession() const {
  return FImpl->FOnNewSession;
}
void TIWServer::SetOnNewSession(TSessionEvent Value) {
  FImpl->CheckNotStarted("OnNewSession");
  FImpl->FOnNewSession = std::move(Value);
}
TIWServer::TSessionEvent TIWServer::OnEndSession() const {
  return FImpl->FOnEndSession;
}
void TIWServer::SetOnEndSession(TSessionEvent Value) {
  FImpl->CheckNotStarted("OnEndSession");
  FImpl->FOnEndSession = std::move(Value);
}
TIWServer::TErrorEvent TIWServer::OnError() const {
  return FImpl->FOnError;
}
void TIWServer::SetOnError(TErrorEvent Value) {
  FImpl->CheckNotStarted("OnError");
  FImpl->FOnError = std::move(Value);
}

void TIWServer::AddRoute(std::string Method, std::string Path, TPageHandler Handler) {
  FImpl->CheckNotStarted("AddRoute");
  if (Path.empty() || Path.front() != '/')
    throw rtl::Exception("TIWServer.AddRoute: the path \"" + Path + "\" must start with \"/\"");
  FImpl->Routes[{std::move(Method), std::move(Path)}] = std::move(Handler);
}

void TIWServer::Start() {
  TImpl& I = *FImpl;
  std::lock_guard Lifecycle(I.Lifecycle);
  {
    std::lock_guard L(I.StateMutex);
    if (I.Started) throw rtl::Exception("TIWServer.Start: the server was already started");
  }
  const TIWServerOptions& O = I.Options;
  if (!O.AccessLog.empty()) {
    try {
      I.AccessLog = std::make_unique<TAccessLog>(O.AccessLog);
    } catch (const rtl::Exception& X) {
      throw rtl::Exception("TIWServer.Start: " + X.Message());
    }
  }
  engine::TEngineOptions E = O;
  // Behind a reverse proxy every browser's connection comes from the proxy's address.
  E.UncappedAddresses.insert(E.UncappedAddresses.end(), O.TrustedProxies.begin(),
                             O.TrustedProxies.end());
  auto Http = std::make_unique<engine::THttpEngine>(
      std::move(E),
      [&I](const engine::TEngineRequest& Req, engine::TEngineResponse& Res,
           engine::TEngineConnection&) { I.Serve(Req, Res); },
      &TImpl::EngineErrorPage);
  try {
    Http->Start();
  } catch (const rtl::Exception& X) {
    if (!O.CertificateFile.empty() && X.Message().starts_with("cannot load"))
      throw rtl::Exception("TIWServer.Start: cannot load the certificate \"" + O.CertificateFile +
                           "\" or the private key \"" + O.PrivateKeyFile + "\"");
    throw rtl::Exception("TIWServer.Start: cannot listen on " + BracketIPv6(O.BindAddress) + ":" +
                         std::to_string(O.Port) +
                         " (the address is not available or the port is in use)");
  }
  I.BoundPort = Http->Port();
  I.Http = std::move(Http);
  {
    std::lock_guard L(I.StateMutex);
    I.Started = true;
  }
  I.Sweeper = std::thread([&I] { I.SweepLoop(); });
  if (I.Stored) I.LeaseKeeper = std::thread([&I] { I.KeepLeases(); });
}

void TIWServer::Stop() {
  TImpl& I = *FImpl;
  {
    std::lock_guard L(I.StateMutex);
    if (I.ActiveSignal != nullptr) I.ActiveSignal->Notify();
  }
  std::lock_guard Lifecycle(I.Lifecycle);
  {
    std::lock_guard L(I.StateMutex);
    if (!I.Started || I.Stopped) return;
    I.Stopping = true;
  }
  I.SweepWake.notify_all();
  I.DrainWake.notify_all();
  if (I.Sweeper.joinable()) I.Sweeper.join();
  if (I.LeaseKeeper.joinable()) I.LeaseKeeper.join();
  I.Http->Stop();
  for (const auto& S : I.Sessions.TakeAll())
    I.EndSession(S);
  std::lock_guard L(I.StateMutex);
  I.Stopped = true;
}

int TIWServer::RunUntilSignal(const std::function<void()>& OnRunning) {
  TImpl& I = *FImpl;
  TStopSignal Signal;
  struct TRegistration {
    TImpl& I;
    ~TRegistration() {
      std::lock_guard L(I.StateMutex);
      I.ActiveSignal = nullptr;
    }
  };
  {
    std::lock_guard L(I.StateMutex);
    if (I.Stopped || I.Stopping) return 0;
    I.ActiveSignal = &Signal;
  }
  const TRegistration Registration{I};
  bool AlreadyStarted = false;
  {
    std::lock_guard L(I.StateMutex);
    AlreadyStarted = I.Started;
  }
  if (!AlreadyStarted) Start();
  if (OnRunning) OnRunning();
  const int Received = Signal.Wait();
  if (Received == SIGTERM) Drain();
  Stop();
  return Received;
}

void TIWServer::BeginDrain() {
  FImpl->DrainRequested = true;
}

bool TIWServer::Draining() const {
  return FImpl->DrainRequested;
}

bool TIWServer::Drain() {
  TImpl& I = *FImpl;
  BeginDrain();
  const auto Deadline = TSessionClock::now() + I.Options.DrainTimeout;
  const auto Settled = [&I] {
    const TSessionClock::time_point Last{TSessionClock::duration(I.LastRequestEnd.load())};
    return I.RequestsInProgress == 0 && TSessionClock::now() - Last >= I.Options.DrainQuietTime &&
           CountOpenFlows(I.Controller) == 0;
  };
  std::unique_lock L(I.StateMutex);
  while (!I.Stopping) {
    L.unlock();
    const bool Done = Settled();
    L.lock();
    if (Done) return true;
    const auto Now = TSessionClock::now();
    if (Now >= Deadline) return false;
    // Polled: flows end in components the server does not hear from.
    I.DrainWake.wait_for(L, std::min<TSessionClock::duration>(Deadline - Now, 20ms),
                         [&I] { return I.Stopping; });
  }
  return false;
}

bool TIWServer::Running() const {
  std::lock_guard L(FImpl->StateMutex);
  return FImpl->Started && !FImpl->Stopping;
}

int TIWServer::Port() const {
  return FImpl->BoundPort;
}

std::string TIWServer::URL() const {
  std::string Host = FImpl->Options.BindAddress;
  if (Host == "0.0.0.0" || Host.empty()) Host = "127.0.0.1";
  if (Host == "::") Host = "::1";
  return std::string(FImpl->Rules.TLS ? "https" : "http") + "://" + BracketIPv6(Host) + ":" +
         std::to_string(Port()) + FImpl->Rules.ApplicationPath;
}

std::size_t TIWServer::SessionCount() const {
  return FImpl->Sessions.Count();
}

std::size_t TIWServer::ExpireIdleSessions() {
  return FImpl->ExpireIdle();
}

}  // namespace zelk::web
