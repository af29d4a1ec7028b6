// TIWServer: the HTTP server that runs one web application: its browser sessions, the
// application's server controller hook and its pages.
//
// How a request is served. The HTTP engine reads it; the server then walks it through named
// stages, each a function of its own that holds that stage's limits and failures and hands the
// next a small value of the request and what was found so far (no engine type past the first
// translation); the first stage that answers ends the walk:
//  0. The engine: requests it cannot or will not read get an error page, reach no session and
//     have their connection closed: a malformed head or ambiguous framing, an HTTP/1.1 request
//     without a Host line, a request with more than one, a chunk line (size and extensions)
//     over 4096 bytes (400); a head over MaxHeaderBytes or MaxHeaderLines, a chunked body's
//     trailer over MaxHeaderBytes (431); a body over MaxBodyBytes, or a chunked one whose chunk
//     lines and trailer take it more than 64 KiB past MaxBodyBytes as sent (413). Limits are
//     enforced while the request arrives (THttpEngine): no part of a request without end is
//     held beyond its limit. A GET or HEAD of ReadinessPath ("/healthz") answers 200 "ready"
//     while the server takes new sessions and 503 "draining" once it drains (or "session store
//     unreachable"), of MetricsPath the figures; neither reaches a stage below.
//  1. Target (ReadTarget): an address over MaxQueryBytes gets 414; only paths at or under
//     ApplicationPath belong to the application, others get 404.
//  2. Host (CheckHost): the application's URL is worked out from the request the browser
//     made: the scheme the server speaks, the Host header as sent (port included) and
//     ApplicationPath. A configured PublicBaseURL replaces it; X-Forwarded-Proto and
//     X-Forwarded-Host count only from TrustedProxies. A malformed Host gets 400, a Host
//     naming a host outside AllowedHosts 421.
//  3. Cross-site check (CheckCrossSite): a request other than GET, HEAD or OPTIONS whose Origin
//     is not the application's own or whose Sec-Fetch-Site says "cross-site" gets 403: a page
//     elsewhere cannot make the browser change state here. Then (TakeHandoff) a GET or HEAD
//     with the one-time handoff of an adopted return (5.) is answered with the session's cookie.
//  4. Session lookup (FindSession): with the server controller's URLSessionTracking() on, a
//     first path segment after the application path shaped like a session id names it (an
//     unknown one gets a clear "session ended" page); otherwise the session cookie; otherwise,
//     with a session store, a return sent again after its renewed id was lost gets that id.
//     A provider's return names its flow by the one rule of FlowNameOf ("state", else
//     "clientid", else the OAuth 1.0a request token "oauth_token", else "denied"); the flow is
//     named once per request and looked up once, in the flow directories (with a store, then in
//     the store, which knows the session of a flow this process does not hold); what was found
//     (the name, and the directory's record of the flow) travels with the request to the hook
//     (THttpRequest::RoutedFlow), so that the auth server controller does not look again.
//  5. The return's session (ReturnSession; CheckAdoption once the session is locked): a
//     provider's return is served in the session that started the flow. Arriving in a different
//     live session, it gets 403 and is not handed to the application, so that session's flow stays
//     open. Arriving without a session, it is adopted only when it reached the other loopback name
//     of the session's own address (a provider that returns to "localhost" for "127.0.0.1" during
//     development, whose cookie the browser keeps apart); every other cookie-less return gets 403.
//     An adopted return is handled under the session's lock, the session gets a new identifier at
//     once (the one it had names nothing from then on), and the browser is sent back to the
//     session's own address with a one-time handoff value ("zelk_handoff", good for 60 s) that the
//     server exchanges for the session's cookie: only the browser that completed the return learns
//     the new identifier. Either way the application only ever sees a return for a session's
//     client under that session's lock, and a return for a session that has expired gets a
//     "session ended" page, even while it is being freed.
//  6. Session lock (LockSession): without a session a new one is made with a fresh id from the
//     CSPRNG, its TIWApplication is created and OnNewSession called, and the answer sets the
//     cookie (HttpOnly, SameSite=Lax, Secure under https). A client address past
//     MaxNewSessionsPerMinute gets 429. At MaxSessions the idlest anonymous session (no flow of
//     it ever succeeded) is dropped, those whose browser never came back first; when there is
//     none, 503: established sessions are never pushed out by a flood of new ones. While the
//     server drains, a request that would start a new session gets 503. Otherwise the
//     session's lock is taken (waiting at most SessionLockTimeout, then 503): requests of one
//     session are served one at a time. With a store, the session's lease is taken (503 when
//     another instance holds it) and a return's completion claimed (409 when another instance
//     completes it).
//  7. The application's hook (RunHook): the server controller's BeforeDispatch sees the
//     request with the session's application (where the application calls ProcessRequest). A
//     GoToURL there ends the request with a redirect (RedirectStatus, 303 by default) and no
//     page is routed. A flow that succeeded (TIWApplication::FlowSucceeded, which the auth
//     server controller calls when a return's outcome is a success, never for a failure, a
//     refusal or an unknown outcome) establishes the session and gives it a new identifier (and
//     cookie) at once; the old one names nothing.
//  8. The route (RunRoute): otherwise the page route for the method and the path inside the
//     application is called (404 or 405 when none fits); a GoToURL in it also becomes the
//     redirect.
//  9. The answer (Answer): the redirect (or an adopted return's handoff), "Cache-Control:
//     no-store" unless the page set its own; a page or the hook that called
//     TIWApplication::EndSession() (signing the user out) ends the session once the answer is
//     made: OnEndSession is called, its clients leave their registries (their flows are
//     forgotten), its components are freed, and the answer clears the cookie. With a store, a
//     changed session is saved before the answer goes out. A new or renewed session's cookie is
//     set.
// An exception from the hook or a page gets a 500 page with its message; the session and the
// server go on.
//
// Sessions idle for SessionTimeout are freed on a background thread under their own lock:
// OnEndSession is called, every client among the session's components leaves its auth server
// controller (waiting for a callback another thread is routing to it), then the application
// object and its components are destroyed.
//
// Draining, for an instance behind a load balancer that is about to stop: BeginDrain() makes
// the readiness route answer 503 (the balancer stops sending new browsers) and refuses new
// sessions, while the sessions it has go on being served. Drain() waits until no flow waits
// for its provider's return and no request has come for DrainQuietTime, or DrainTimeout has
// passed. RunUntilSignal drains on SIGTERM before it stops; SIGINT (Ctrl+C) stops at once.
//
// Threads: Start() serves connections on IoThreadCount event-loop threads and runs handlers on
// WorkerCount workers. Routes and events are set before Start(). Stop() must not be called from a
// page handler or the hook (it waits for every request in progress). Destroy the server before the
// server controller.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/web/HttpRequest.h"
#include "platform/web/HttpResponse.h"
#include "platform/web/IWApplication.h"
#include "platform/web/engine/HttpEngine.h"

namespace zelk::web {

// The server's options: those of the HTTP engine it serves with (THttpEngine), which it hands
// on as they are (TrustedProxies added to UncappedAddresses), and its own. The engine's, as the
// server uses them:
//  - BindAddress ("127.0.0.1": the server only ever needs loopback behind a proxy) and Port
//    (8080; 0 picks a free port, Port() tells which).
//  - MaxHeaderBytes (16384) and MaxHeaderLines (100): the request head, request line and
//    header lines together (431), and the number of header lines (431). One header line may
//    be at most 8192 bytes (400 once it ends; one that goes on is refused with 431 when it
//    takes the head 8192 bytes past MaxHeaderBytes).
//  - MaxBodyBytes (1 MiB): the body, as sent or as decoded from chunks (413); forms up to
//    this size are accepted. A chunked body's framing (chunk lines, line ends, trailer) may
//    add 64 KiB to it on the wire; its trailer counts against MaxHeaderBytes (431).
//  - WorkerCount (256): threads that run the application's handlers (page routes, the hook),
//    which may block on a provider's reply. Connections do not hold them: idle, slow and
//    kept-alive connections are served by the event loop, on IoThreadCount threads (0: one
//    per core).
//  - QueueTimeout (10 s): a request that waited this long for a free worker is answered 503
//    and its connection closed.
//  - HeadTimeout (10 s): the whole request head must arrive within it, counted from the
//    connection's start (or, on a kept-alive connection, from the request's first byte);
//    else the connection is closed. The body must arrive within BodyTimeout (30 s) after its
//    head, an answer be taken within WriteTimeout (30 s).
//  - MaxConnectionsPerAddress (256) and MaxConnections (20000): open connections from one
//    address and in all; connections beyond either are closed at once, without an answer.
//    TrustedProxies are exempt from the per-address cap (every browser's connection comes
//    through them) but count towards MaxConnections.
//  - KeepAliveMaxCount (1000) and KeepAliveTimeout (5 s): requests served on one connection
//    before it is closed, and how long an idle kept-alive connection stays open. Closing
//    early makes browsers and proxies reconnect, which costs more than the request.
//  - CertificateFile and PrivateKeyFile: PEM files; with both set the server speaks HTTPS.
struct TIWServerOptions : engine::TEngineOptions {
  TIWServerOptions() { Port = 8080; }

  // Where the application lives on this server ("/app"); empty for the root.
  std::string ApplicationPath;
  // The application's URL as browsers reach it ("https://shop.example/app"), when a reverse
  // proxy stands in front; it wins over everything a request says.
  std::string PublicBaseURL;
  // IP addresses of reverse proxies whose X-Forwarded-Proto and X-Forwarded-Host are believed.
  std::vector<std::string> TrustedProxies;
  std::chrono::milliseconds SessionTimeout{std::chrono::minutes(10)};
  // How often idle sessions are looked for; 0: a quarter of SessionTimeout, within 10 ms..30 s.
  std::chrono::milliseconds SweepInterval{0};
  std::size_t MaxSessions = 10000;
  // New sessions one client address may start per minute (429 with Retry-After beyond it);
  // 0: no limit.
  std::size_t MaxNewSessionsPerMinute = 60;
  // Host names (without port) requests may name in their Host header; any other is answered
  // 421 before a session is made. Empty: the bound address, "localhost" and the host of
  // PublicBaseURL.
  std::vector<std::string> AllowedHosts;
  // The request target (path and query); the HTTP layer itself refuses more than
  // MaxTargetBytes (8192 bytes, 414).
  std::size_t MaxQueryBytes = 8192;
  // How long a request waits for its session's request in progress before giving up (503).
  std::chrono::milliseconds SessionLockTimeout{std::chrono::seconds(30)};
  // 303 (See Other) or 302 (Found).
  int RedirectStatus = 303;
  // Under HTTPS the cookie is named "__Host-" followed by CookieName, with Path=/ and Secure.
  std::string CookieName = "zelk_session";
  // A file that gets one line per answered request in the combined log format, the query
  // string's secrets and flow identifiers redacted; empty: no access log.
  std::string AccessLog;
  // The readiness route a load balancer checks, outside the application's pages; empty: none.
  // It answers 503 while the server drains or cannot reach its session store.
  std::string ReadinessPath = "/healthz";
  // The route a Prometheus server scrapes (sessions, the session store's calls, every
  // provider's flows and calls), outside the application's pages; empty: none. Keep it off the
  // public address (a balancer rule, or a firewall).
  std::string MetricsPath = "/metrics";
  // Where sessions live between requests. Empty: in this process only (today's behaviour: a
  // restart or a dead instance loses them). "redis://[:password@]host:port[/db]": in Redis,
  // shared by every instance given the same store and key file, so that sessions, sign-ins in
  // progress and approved checkouts survive a restart, a deploy or a dead instance. One
  // instance works on a session at a time; a changed session is saved before its answer goes
  // out; a store that fails makes requests fail with 503, never fall back to memory.
  std::string SessionStore;
  // The key ring the stored sessions are sealed with (AES-256-GCM), needed with SessionStore
  // and shared by every instance: one key a line, an id, a blank and 64 hexadecimal digits;
  // the first line's key seals, every listed key opens (put a new key first to rotate).
  std::string SessionKeyFile;
  // The longest one call to the session store may wait (connecting, sending, its answer).
  std::chrono::milliseconds SessionStoreTimeout{250};
  // How long this instance's hold on a session (its lease) lasts unless renewed; renewed while
  // a request is in progress and given back when the session idles, it lets another instance
  // take over a dead instance's sessions after at most this long.
  std::chrono::milliseconds SessionLeaseTime{std::chrono::seconds(5)};
  // How long a request waits for a failing store to take the changes it made (a sign-in or a
  // payment it completed) before it answers 500 and leaves them to be saved once the store
  // answers again; keep it well inside the balancer's wait for an answer.
  std::chrono::milliseconds SessionSaveWait{std::chrono::seconds(8)};
  // The longest Drain() (and so a SIGTERM) waits for the flows in progress before the server
  // stops.
  std::chrono::milliseconds DrainTimeout{std::chrono::seconds(30)};
  // Drain() ends early once no flow waits for its provider's return and no request has come
  // for this long (a browser between its page and the button it presses next).
  std::chrono::milliseconds DrainQuietTime{std::chrono::seconds(2)};
};

class TIWServer {
 public:
  using TSessionEvent = std::function<void(TIWApplication& Application)>;
  using TPageHandler = std::function<void(TIWApplication& Application, const THttpRequest& Request,
                                          THttpResponse& Response)>;
  using TErrorEvent = std::function<void(const std::string& Message)>;

  // Checks Options (Exception naming a bad value); Controller must outlive the server.
  explicit TIWServer(TIWServerControllerBase& Controller, TIWServerOptions Options = {});
  ~TIWServer();
  TIWServer(const TIWServer&) = delete;
  TIWServer& operator=(const TIWServer&) = delete;

  const TIWServerOptions& Options() const;
  TIWServerControllerBase& Controller() const;

  // Called under the new session's lock right after its application object is made: the place
  // to create the session's components (owned by the application).
  TSessionEvent OnNewSession() const;
  void SetOnNewSession(TSessionEvent Value);
  // Called under the session's lock before its application object is freed.
  TSessionEvent OnEndSession() const;
  void SetOnEndSession(TSessionEvent Value);
  // Told the message of every request that ended in a 500 page and of every failure in
  // OnEndSession, for the application's log. Called on request threads, several at once.
  TErrorEvent OnError() const;
  void SetOnError(TErrorEvent Value);

  // A page: Method ("GET", "POST", ...) and Path inside the application ("/" for its start
  // page, which answers both "/app" and "/app/"). HEAD uses the GET route. A second route for
  // the same method and path replaces the first.
  void AddRoute(std::string Method, std::string Path, TPageHandler Handler);

  // Listens and serves on background threads; returns once connections are accepted. Raises
  // Exception when the address cannot be bound or the certificate cannot be loaded.
  void Start();
  // Stops accepting, waits for the requests in progress and frees every session. Idempotent.
  void Stop();
  // From now on the readiness route answers 503 and no new session is started; the sessions
  // the server has keep being served. Idempotent; callable from any thread.
  void BeginDrain();
  bool Draining() const;
  // BeginDrain(), then waits until no flow waits for its provider's return and no request has
  // come for DrainQuietTime (true), or until DrainTimeout passes or Stop() is called (false).
  // The server keeps serving; call Stop() afterwards.
  bool Drain();
  // Starts, calls OnRunning, waits for SIGINT or SIGTERM (or Stop() from another thread),
  // then stops; on SIGTERM it drains first (Drain()). Returns the signal's number (0 after
  // Stop()).
  int RunUntilSignal(const std::function<void()>& OnRunning = {});
  bool Running() const;

  // The port listened on (after Start()).
  int Port() const;
  // The address to open in a browser: "http://127.0.0.1:<port>/app".
  std::string URL() const;

  std::size_t SessionCount() const;
  // Frees the sessions idle for SessionTimeout now; the server also does it periodically.
  // Returns how many were freed.
  std::size_t ExpireIdleSessions();

 private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};

}  // namespace zelk::web
