// Unit IWZelkAuthBase: what every provider client shares.
//
//  - TIWResult and TIWApp: a flow's outcome and the application's credentials at a provider.
//  - TZIWCustomCloudClient: the abstract client component (credentials, outcome, login events,
//    link to the auth server controller).
//  - TZIWAuthServerController with TAuthClients/TAuthClient: the registry that routes a
//    provider's return ("state" or "clientid" in the query) to the client that started the flow.
//  - Https_Get and Https_Post: the HTTPS transport of every server-to-server call.
//  - The encoding, signing and parsing helpers the clients build requests with.
//
// Threads: the registry and each client are reached by several request threads. The registry
// is guarded by its controller's lock, each client's operations by the client's own re-entrant
// lock (a handler may call back into the client). Lock order: client before registry; the
// registry lock is never held across I/O or events.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/rtl/AdaptiveMutex.h"
#include "platform/rtl/ClassRegistry.h"
#include "platform/rtl/Classes.h"
#include "platform/rtl/Collection.h"
#include "platform/rtl/StringList.h"
#include "platform/web/HttpRequest.h"
#include "platform/web/IWApplication.h"

namespace zelk::IWZelkAuthBase {

using rtl::TNotifyEvent;
using web::THttpRequest;
using web::TIWApplication;
using TBytes = std::vector<std::uint8_t>;

class TZIWAuthServerController;
class TZIWCustomCloudClient;
class TOAuth2CodeFlow;
class TOAuth2Provider;

// The outcome of a sign-in or payment. resUnknown: the request may have reached the provider
// but its answer was lost, so a payment may or may not have been taken; it is neither a success
// nor a failure, and the buyer must check before paying again.
enum class TIWResult : std::uint8_t { resNone = 0, resOK = 1, resFailed = 2, resUnknown = 3 };
using enum TIWResult;

// Which generation of a provider's API a client speaks: apClassic, the original endpoints and
// request formats, or apCurrent, the providers' present endpoints (OAuth 2.0: authorization
// code with state and PKCE, JSON token replies, Bearer profile reads; OAuth 1.0a: a fixed
// callback, returns routed by the request token, JSON posts).
enum class TIWApi : std::uint8_t { apClassic = 0, apCurrent = 1 };
using enum TIWApi;

// The application's credentials at a provider: client id and secret (OAuth 2.0), consumer key
// and secret (OAuth 1.0a). Stored with the form as a sub-object of its client.
class TIWApp : public rtl::TPersistent {
 public:
  TIWApp() = default;
  std::string ClassName() const override { return "TIWApp"; }
  std::string ID() const;
  void SetID(std::string Value);
  std::string Secret() const;
  void SetSecret(std::string Value);

 private:
  mutable std::mutex FMutex;
  std::string FID;
  std::string FSecret;
};

namespace detail {
// Shared between a client and the registry entries that name it, so that a request thread
// that found the client in a registry can tell, under the client's lock, whether the client
// still exists.
struct TClientGuard {
  std::recursive_mutex Mutex;
  TZIWCustomCloudClient* Client = nullptr;  // valid while Alive
  bool Alive = true;                        // guarded by Mutex
  // Registry entries naming the client, in every controller: a client named by none leaves
  // without visiting every controller.
  std::atomic<std::size_t> Entries{0};
  // The client's place in the referrer list of the controller it points at, guarded by that
  // controller's lock. The list owns its members (next links are shared), so a guard stays
  // valid while listed, even once its client is gone; ReferrerOf names the list's controller.
  std::shared_ptr<TClientGuard> NextReferrer;
  TClientGuard* PreviousReferrer = nullptr;
  std::atomic<const void*> ReferrerOf{nullptr};
};
}  // namespace detail

// An entry of the registry: binds the identifier of a flow (ID) to the client that started it.
class TAuthClient : public rtl::TCollectionItem {
 public:
  // Appends the entry to Collection, which must be a TAuthClients (EInvalidCast otherwise).
  explicit TAuthClient(rtl::TCollection* Collection);
  ~TAuthClient() override;
  std::string ClassName() const override { return "TAuthClient"; }

  const std::string& Name() const { return FName; }
  void SetName(std::string Value) { FName = std::move(Value); }
  std::int32_t Tag() const { return FTag; }
  void SetTag(std::int32_t Value) { FTag = Value; }
  const std::string& ID() const { return FID; }
  // Keeps the registry's identifier index up to date.
  void SetID(std::string Value);
  TZIWCustomCloudClient* Client() const { return FClient; }
  void SetClient(TZIWCustomCloudClient* Value);
  // The request token an OAuth 1.0a client registered for the flow in progress (run time only,
  // never stored): a return that carries it as "oauth_token" (or "denied") and neither "state"
  // nor "clientid" is routed by it. Empty: none. Change it under the controller's LockClients().
  const std::string& FlowToken() const { return FFlowToken; }
  void SetFlowToken(std::string Value);

  // Copies Client, ID, Name and Tag from another entry; any other source is ignored.
  void Assign(rtl::TPersistent* Source) override;
  // Name, or "Client " and the entry's position.
  std::string GetDisplayName() const override;
  rtl::TPersistent* GetOwner() override;

 private:
  friend class TZIWAuthServerController;
  friend class TZIWCustomCloudClient;
  friend class TAuthClients;
  std::int32_t FTag = 0;  // first: it fills the collection item's last word
  rtl::TCollection* FOwner = nullptr;
  std::string FName;
  std::string FID;
  std::string FFlowToken;
  TZIWCustomCloudClient* FClient = nullptr;
  std::shared_ptr<detail::TClientGuard> FGuard;
};

// The registry of a controller: an owned collection of TAuthClient entries, indexed by
// identifier so that routing costs the same with one entry or a hundred thousand.
//
// The identifier index is split into shards, each with its own lock, so that threads routing
// different identifiers never wait for each other: routing reads only the shard of its
// identifier. Everything that changes the index, an indexed entry's identifier or its client
// takes that shard's lock too (inside the controller's lock, which every change holds).
class TAuthClients : public rtl::TOwnedCollectionOf<TAuthClient> {
 public:
  explicit TAuthClients(TZIWAuthServerController* AOwner);
  ~TAuthClients() override;
  std::string ClassName() const override { return "TAuthClients"; }
  rtl::TPersistent* GetOwner() override;
  TZIWAuthServerController* Owner() const { return FOwner; }
  void Update(rtl::TCollectionItem* Item) override { TOwnedCollectionOf::Update(Item); }
  // The entries whose ID equals Id exactly, in collection order.
  std::vector<TAuthClient*> Find(std::string_view Id) const;
  // The entries that name Client, in no particular order: a client finds its own entries
  // without walking a registry that holds every session's.
  std::vector<TAuthClient*> OfClient(const TZIWCustomCloudClient* Client) const;
  bool Names(const TZIWCustomCloudClient* Client) const { return FByClient.contains(Client); }
  // The entries whose FlowToken equals Token exactly, in collection order; under the
  // controller's lock.
  std::vector<TAuthClient*> FindFlowToken(std::string_view Token) const;

 private:
  friend class TAuthClient;
  friend class TZIWAuthServerController;
  using TGuards = std::vector<std::shared_ptr<detail::TClientGuard>>;
  // The index holds the entries themselves, hashed and compared by their FID (looked up by a
  // text as well): a node is one pointer and its link, with no copy of the key and no stored
  // hash. An entry leaves the index before its ID changes.
  struct TByID {
    using is_transparent = void;
    std::size_t operator()(std::string_view Id) const { return std::hash<std::string_view>{}(Id); }
    std::size_t operator()(const TAuthClient* E) const { return (*this)(std::string_view(E->FID)); }
  };
  struct TSameID {
    using is_transparent = void;
    static std::string_view Key(std::string_view Id) { return Id; }
    static std::string_view Key(const TAuthClient* E) { return E->FID; }
    template <typename A, typename B>
    bool operator()(const A& L, const B& R) const {
      return Key(L) == Key(R);
    }
  };
  struct TShard {
    rtl::TAdaptiveMutex Mutex;
    std::unordered_multiset<TAuthClient*, TByID, TSameID> Index;
  };
  // A shard per cache line pair, so that two routing threads never share one.
  struct alignas(128) TPaddedShard : TShard {};
  static constexpr std::size_t kShards = 64;
  TShard& ShardOf(std::string_view Id) const;
  // Without the controller's lock: the guards of the clients of the entries with Id. False
  // (and Guards untouched) when several entries share Id: their order needs the controller's
  // lock, and the caller asks Find under it.
  bool GuardsOf(std::string_view Id, TGuards& Guards) const;
  // Without the controller's lock: whether an entry with Id names Client.
  bool Names(const TZIWCustomCloudClient* Client, std::string_view Id) const;
  void Unindex(TAuthClient* Entry);
  void Index(TAuthClient* Entry);
  void UnindexClient(TAuthClient* Entry);
  void IndexClient(TAuthClient* Entry);
  TZIWAuthServerController* FOwner;
  std::unique_ptr<TPaddedShard[]> FShards;
  // The entries by the client they name; an entry leaves it before its client changes.
  std::unordered_multimap<const TZIWCustomCloudClient*, TAuthClient*> FByClient;
  // The entries by their flow token, under the controller's lock. Only OAuth 1.0a returns of
  // current mode are routed through it, so one lock serves.
  std::unordered_multimap<std::string, TAuthClient*> FByFlowToken;
};

// Routes a provider's return to the client that started the flow.
//
// The application passes every request that can be a provider's return to ProcessRequest. It
// reads "state", or when that is empty "clientid", and calls LoginResponse on the client of
// every entry whose ID equals it exactly (case-sensitive), in collection order. A return with
// neither is routed by its "oauth_token" (or, for a refusal, "denied") to the entries whose
// FlowToken equals it: the request token an OAuth 1.0a client registered for its flow. Once a
// routed client reports an outcome, the flow is spent: the entry's ID and FlowToken are
// cleared, so a reload of the return page is ignored instead of replaying a used code or token.
class TZIWAuthServerController : public rtl::TComponent,
                                 public web::IIWFlowDirectory,
                                 public web::IIWMetricsSource {
 public:
  explicit TZIWAuthServerController(rtl::TComponent* AOwner);
  ~TZIWAuthServerController() override;
  std::string ClassName() const override { return "TZIWAuthServerController"; }

  // The registry. Code that walks or changes it while other threads may route requests holds
  // LockClients() meanwhile.
  TAuthClients* Clients() const { return FClients.get(); }
  std::unique_lock<rtl::TAdaptiveMutex> LockClients() const { return std::unique_lock(FMutex); }

  void ProcessRequest(const THttpRequest& Request);
  bool DesignTime() const { return FDesignTime; }

  // The server's hook: the topmost owners of the clients whose entries carry Id, visited under
  // the registry's lock (a listed client has not finished leaving it, so it and the components
  // above it are still whole).
  bool VisitFlowOwners(std::string_view Id,
                       const std::function<bool(const rtl::TComponent& Top)>& Visit) override;
  bool VisitFlowTokenOwners(std::string_view Token,
                            const std::function<bool(const rtl::TComponent& Top)>& Visit) override;
  std::size_t OpenFlowCount() override;
  // The providers' flows and calls (ProviderMetricsText) for the server's metrics route.
  std::string MetricsText() const override;

 private:
  friend class TZIWCustomCloudClient;
  bool HasEntry(const TZIWCustomCloudClient* Client, const std::string& Id) const;
  // The identifier of the flow Key names when an entry of Client still carries it (Key is an
  // identifier, or with ByToken a request token); none when it no longer routes.
  std::optional<std::string> RoutedFlow(const TZIWCustomCloudClient* Client, const std::string& Key,
                                        bool ByToken) const;
  void CompleteFlow(const std::shared_ptr<detail::TClientGuard>& Guard, const THttpRequest& Request,
                    const std::string& Key, bool ByToken);
  // Enter and leave the referrer list; under FMutex.
  void AddReferrer(const std::shared_ptr<detail::TClientGuard>& Guard);
  void RemoveReferrer(detail::TClientGuard* Guard);
  bool FDesignTime = false;
  // Guards FClients' entries and FReferrers. Every session's clients enter and leave here, for
  // a moment each: waiters spin briefly instead of sleeping at once.
  mutable rtl::TAdaptiveMutex FMutex;
  std::unique_ptr<TAuthClients> FClients;
  // The clients whose ServerController is this controller, as a list through their guards:
  // the destructor clears their reference and waits for no other client. Entering and leaving
  // it allocates nothing, whatever the number of sessions.
  std::shared_ptr<detail::TClientGuard> FReferrers;
};

// The abstract client: credentials, the signed-in user's id and name, the outcome with its
// error text and events, and the link to the controller that routes the provider's return.
//
// Concrete clients override Login (start a flow: new identifier, provider URL, redirect) and
// LoginResponse (finish it when the browser returns), and end LoginResponse by calling the
// base's, which raises OnLoginOK or OnLoginFailed.
class TZIWCustomCloudClient : public rtl::TComponent, public web::IIWSessionMember {
  // Declares the run-time state, which reaches the client's protected members.
  friend void RegisterAuthBaseClasses();

 public:
  explicit TZIWCustomCloudClient(rtl::TComponent* AOwner);
  ~TZIWCustomCloudClient() override;
  std::string ClassName() const override { return "TZIWCustomCloudClient"; }

  virtual void Login(TIWApplication* WebApplication);
  virtual void LoginResponse(const THttpRequest& Request);
  // Signs the user out of this client: LoginResult goes back to resNone, LoginError, LoginID,
  // LoginUsername, the user record and every token are cleared, and a flow in progress is
  // forgotten (its return then reaches nobody). Raises no event; other clients are untouched.
  // Concrete clients clear their own state and then call the base's.
  virtual void SignOut();

  TZIWAuthServerController* ServerController() const;
  // Enters this client once into Value's registry; none removes every entry of this client from
  // the current controller.
  void SetServerController(TZIWAuthServerController* Value);
  // The session is being freed: leaves the controller (SetServerController(nullptr)).
  void LeaveSession() override { SetServerController(nullptr); }
  // The identifier and request token of the flow in progress, as the registry entries carry
  // them.
  std::vector<std::string> OpenFlowKeys() const override;

  TIWResult LoginResult() const;
  void SetLoginResult(TIWResult Value);
  std::string LoginError() const;
  void SetLoginError(std::string Value);
  bool DesignTime() const { return FDesignTime; }

 protected:
  // What the sign-in clients publish; the payment client keeps them hidden.
  TIWApp* App() const { return FApp.get(); }
  std::string LoginUsername() const;
  void SetLoginUsername(std::string Value);
  std::string LoginID() const;
  void SetLoginID(std::string Value);
  TNotifyEvent OnLoginOK() const;
  void SetOnLoginOK(TNotifyEvent Value);
  TNotifyEvent OnLoginFailed() const;
  void SetOnLoginFailed(TNotifyEvent Value);
  rtl::TStringList* Scope() const { return FScope.get(); }
  // Which API the sign-in clients speak (they publish it); read at each Login and
  // return.
  TIWApi Api() const;
  void SetApi(TIWApi Value);

  // The client's re-entrant lock: every operation of a concrete client holds it.
  std::unique_lock<std::recursive_mutex> Lock() const { return std::unique_lock(FGuard->Mutex); }
  // For the registration of client class C: a run-time state property (a text or a flag) kept
  // in the client's Field, read and written under the client's lock.
  template <typename C, typename V>
  static rtl::TPropertyInfo StateField(std::string Name, V C::*Field) {
    auto Get = [Field](C* Client) {
      auto L = Client->Lock();
      return Client->*Field;
    };
    auto Set = [Field](C* Client, V Value) {
      auto L = Client->Lock();
      Client->*Field = std::move(Value);
    };
    if constexpr (std::is_same_v<V, bool>)
      return rtl::props::Boolean<C>(std::move(Name), Get, Set);
    else
      return rtl::props::String<C>(std::move(Name), Get, Set);
  }
  // Raises Exception naming the class when no ServerController is assigned: without one the
  // provider's return could never be routed back.
  void CheckServerController(std::string_view Operation = "Login") const;
  // Makes a fresh client identifier (a GUID without braces; empty when none could be made) and
  // writes it into every registry entry of this client, clearing their flow tokens. Returns it.
  std::string NewFlowIdentifier();
  // Registers Token (an OAuth 1.0a request token) as the flow token of every registry entry of
  // this client, so that the provider's return is routed by it.
  void RegisterFlowToken(const std::string& Token);
  // The flow in progress as this client's registry entries carry it: the identifier and the
  // request token of its entries in ServerController's registry; empty when none carries one.
  std::string FlowIdentifier() const;
  std::string FlowToken() const;
  // Restoring a saved session: writes a flow's identifier, or its request token, into every
  // registry entry of this client, so that the provider's return is routed here again. Raises
  // Exception for a non-empty value when no ServerController is assigned (the return could not
  // be routed).
  void RestoreFlowIdentifier(const std::string& Id);
  void RestoreFlowToken(const std::string& Token);
  // Called by a concrete client when its LoginResponse reached an outcome (resOK or
  // resFailed): the routed identifier is then spent.
  void OutcomeReached() { ++FOutcomes; }
  // Current mode's LoginResponse: takes Flow to its outcome with Provider's calls and mapping,
  // sets LoginResult and LoginError (empty on success), spends the identifier and raises
  // OnLoginOK or OnLoginFailed. A transport failure raises its Exception and no event.
  void CompleteCurrentLogin(const THttpRequest& Request, TOAuth2CodeFlow& Flow,
                            TOAuth2Provider& Provider);
  // Leaves every registry and stops routing to this client. Concrete clients call it first in
  // their destructors so that no request reaches a half-destroyed client; it is idempotent.
  void Detach();

 private:
  friend class TZIWAuthServerController;
  friend class TAuthClient;
  std::shared_ptr<detail::TClientGuard> FGuard;
  bool FDesignTime = false;
  std::unique_ptr<TIWApp> FApp;
  std::string FLoginUsername;
  std::string FLoginID;
  TZIWAuthServerController* FServerController = nullptr;
  TIWResult FLoginResult = resNone;
  std::string FLoginError;
  TNotifyEvent FOnLoginOK;
  TNotifyEvent FOnLoginFailed;
  std::unique_ptr<rtl::TStringList> FScope;
  std::uint64_t FOutcomes = 0;  // counts reported outcomes; guarded by the client's lock
  TIWApi FApi = apClassic;
};

// ---------------------------------------------------------------------------------------------
// HTTPS transport. One synchronous request per call over TLS to Host (port 443, or the port a
// host setting carries); Body receives the reply's bytes whatever the HTTP status. A failed step
// raises ETransportError("<Step> Error <code> Description <text>").

// A failed transport call. Step() is the step named at the start of the message
// ("HttpSendRequest", "HttpReceiveResponse", ...). RequestMayHaveArrived() tells the two kinds
// of failure apart: false when the call failed before the whole request was sent (a check of
// the caller's input, name resolution, connecting, the TLS handshake, a refusal before
// sending), so the provider cannot have acted on it and sending it again is safe; true once the
// request went out and the answer was lost (a reset, a cut or stalled reply), when the provider
// may have acted on it.
class ETransportError : public rtl::Exception {
 public:
  ETransportError(std::string Message, std::string Step, bool RequestMayHaveArrived)
      : Exception(std::move(Message)),
        FStep(std::move(Step)),
        FRequestMayHaveArrived(RequestMayHaveArrived) {}
  const std::string& Step() const noexcept { return FStep; }
  bool RequestMayHaveArrived() const noexcept { return FRequestMayHaveArrived; }

 private:
  std::string FStep;
  bool FRequestMayHaveArrived;
};

void Https_Get(const std::string& Host, const std::string& Path, std::string& Body);
void Https_Post(const std::string& Host, const std::string& Path, const std::string& Headers,
                const std::string& Data, std::string& Body);

// The calls of the providers' current APIs: HTTP/1.1 and a block of header lines, each
// "Name: value" (an Authorization header, an Accept, a content type). Otherwise as above: the
// reply body whatever the HTTP status, the same checks and failures.
void Https_Get11(const std::string& Host, const std::string& Path,
                 const std::vector<std::string>& HeaderLines, std::string& Body);
void Https_Post11(const std::string& Host, const std::string& Path,
                  const std::vector<std::string>& HeaderLines, const std::string& Data,
                  std::string& Body);
// The same, and StatusLine receives the reply's status line without its line end ("HTTP/1.1 403
// Forbidden"); it stays empty when the test hook answers.
void Https_Post11(const std::string& Host, const std::string& Path,
                  const std::vector<std::string>& HeaderLines, const std::string& Data,
                  std::string& Body, std::string& StatusLine);

// Process-wide transport settings, safe to change and read from any thread; a call uses the
// settings current when it starts.
struct TTransportSettings {
  // Connecting (TCP and TLS) may take this long.
  std::chrono::milliseconds ConnectTimeout{60000};
  // A send or a receive that makes no progress for this long fails.
  std::chrono::milliseconds StallTimeout{30000};
  // The whole call, from its start to the reply's last byte, takes at most this long, whatever
  // ConnectTimeout and StallTimeout allow: a provider that trickles its reply (every byte
  // restarting the stall limit) holds the request, its session and a worker no longer than
  // this. The call then fails at the step it had reached.
  std::chrono::milliseconds TotalTimeout{60000};
  // Extra trusted CA certificates besides the system store: PEM text, or the path of a PEM file.
  // Initially the environment variable ZELK_EXTRA_CA_CERTIFICATES, when set.
  std::string ExtraCACertificates;
  // Empty: the system's proxy configuration (the standard proxy environment variables).
  // Otherwise an explicit proxy URL, credentials included ("http://user:pw@proxy:3128").
  std::string ProxyURL;
  // A reply body larger than this fails instead of exhausting memory. Every reply the clients
  // read (token replies, profiles, posts' answers, NVP and REST payment replies) is a few
  // kilobytes at most; 1 MiB leaves ample room while a hostile provider can hold no more than
  // that per concurrent call.
  std::size_t MaxBodyBytes = std::size_t{1} * 1024 * 1024;
  // Resume TLS sessions: a call to a host called before (same proxy and CA setting) skips the
  // certificate exchange and key agreement of a full handshake. Every call, both kinds. A new
  // session is verified as always. Initially on unless ZELK_TLS_RESUMPTION is "0".
  bool ResumeTlsSessions = true;
  // The current APIs' calls (Https_Get11, Https_Post11) keep their HTTP/1.1 connection open for
  // the next call to the same host (same proxy and CA setting); the classic calls open one per
  // call always. Initially on unless ZELK_KEEP_CONNECTIONS is "0".
  bool KeepConnections = true;
  // Kept connections per host, at most; the oldest goes when one more is kept.
  std::size_t MaxKeptConnectionsPerHost = 8;
  // A kept connection unused for this long is closed, not used again.
  std::chrono::milliseconds KeptConnectionIdle{30000};
};
TTransportSettings TransportSettings();
void SetTransportSettings(const TTransportSettings& Settings);

// What the environment changed in this process: the provider hosts ZELK_PROVIDER_HOSTS
// redirected and the extra CA certificates ZELK_EXTRA_CA_CERTIFICATES named. Each variable is
// read once, when its setting is first needed, and when it is in force a line saying so
// ("zelk: ZELK_PROVIDER_HOSTS is in force: ...") goes to standard error at that moment, once.
// The application can ask here, e.g. to refuse to run redirected in production.
struct TEnvironmentOverrides {
  std::vector<std::string> ProviderHostKeys;  // keys as ProviderHostKey gives them; empty: none
  std::string ExtraCACertificates;            // the variable's text (a file or PEM); empty: none
  bool Any() const { return !ProviderHostKeys.empty() || !ExtraCACertificates.empty(); }
};
// Reads both variables if that has not happened yet.
TEnvironmentOverrides EnvironmentOverrides();

// One call as the transport received it.
struct TTransportRequest {
  std::string Method;   // "GET" or "POST"
  std::string Host;     // as passed, e.g. "accounts.google.com" or "127.0.0.1:8443"
  std::string Path;     // request target: path and query
  std::string Headers;  // the caller's header line (POST only)
  std::string Data;     // the body (POST only)
  // Calls of the current APIs (Https_Get11, Https_Post11): HTTP/1.1 with these header lines.
  bool Http11 = false;
  std::vector<std::string> HeaderLines;
};
// Test seam: while set, every Https_Get and Https_Post goes to the hook instead of the network.
// The hook returns the reply body or throws (as the transport would). An empty function
// restores the real transport.
using TTransportHook = std::function<std::string(const TTransportRequest& Request)>;
void SetTransportHook(TTransportHook Hook);

// What the transport's kept connections have done in this process.
struct TTransportCounters {
  std::uint64_t ReusedConnections = 0;   // calls served on a connection kept from an earlier call
  std::uint64_t Retries = 0;             // GETs sent again after a kept connection was dropped
  std::uint64_t ExpiredConnections = 0;  // kept connections closed for idling too long
  std::uint64_t IdleConnections = 0;     // kept connections waiting for a call now
};
TTransportCounters TransportCounters();

// ---------------------------------------------------------------------------------------------
// Provider endpoints: the host every provider call and browser redirect uses. Defaults are the
// real providers' hosts; the API or the environment variable ZELK_PROVIDER_HOSTS
// ("key=host[:port],key=host[:port],...", keys as ProviderHostKey gives them) point them
// elsewhere, e.g. at the simulator. A host may carry a port; without one it is 443.
enum class TProviderHost {
  phFacebookWeb,
  phFacebookGraph,
  phFacebookRest,
  phGoogleAccounts,
  phGoogleApis,
  phWindowsLiveLogin,
  phWindowsLiveApis,
  phTwitterApi,
  phPayPalLiveNvp,
  phPayPalSandboxNvp,
  phPayPalLiveWeb,
  phPayPalSandboxWeb,
  phGoogleOAuth2,
  phGoogleOpenId,
  phMicrosoftLogin,
  phMicrosoftGraph,
  phPayPalLiveRest,
  phPayPalSandboxRest,
  phXApi
};
using enum TProviderHost;
inline constexpr int kProviderHostCount = 19;

std::string ProviderHost(TProviderHost Which);
void SetProviderHost(TProviderHost Which, std::string Host);
// Back to the real providers' hosts (the environment is not read again).
void ResetProviderHosts();
// "facebook.web", "facebook.graph", "facebook.rest", "google.accounts", "google.apis",
// "live.login", "live.apis", "twitter.api", "paypal.live.nvp", "paypal.sandbox.nvp",
// "paypal.live.web", "paypal.sandbox.web", "google.oauth2", "google.openid", "microsoft.login",
// "microsoft.graph", "paypal.live.rest", "paypal.sandbox.rest", "x.api".
std::string ProviderHostKey(TProviderHost Which);
// Applies a "key=host,..." text; Exception for an unknown key or a malformed host.
void SetProviderHosts(std::string_view Settings);

// ---------------------------------------------------------------------------------------------
// Encoding, signing and parsing helpers.

// A parsed JSON object whose members are looked up by exact name. A member whose value is null
// is absent, at every depth: the object keeps no null members.
class TJSONObject {
 public:
  TJSONObject() = default;
  explicit TJSONObject(nlohmann::json Value);
  bool Has(std::string_view Name) const;
  // The member's text: a string's content, a number's literal, an object's or array's compact
  // JSON, "true" or "false"; empty when there is no such member.
  std::string Text(std::string_view Name) const;
  // Whether the member exists and is a JSON object, and that object.
  bool IsObject(std::string_view Name) const;
  TJSONObject Object(std::string_view Name) const;
  int Count() const;
  const nlohmann::json& Json() const { return FValue; }

 private:
  friend void ParseJSON(const std::string& Text, TJSONObject& JSON);
  const nlohmann::json* Find(std::string_view Name) const;
  nlohmann::json FValue = nlohmann::json::object();
};

// The text of a JSON value as the clients read it (see TJSONObject::Text).
std::string JSONText(const nlohmann::json& Value);

// Fills JSON from Text when Text is one JSON object, null members left out; otherwise JSON is
// left without members. UTF-8 passes intact. Never throws.
void ParseJSON(const std::string& Text, TJSONObject& JSON);
// Clears Strings and fills it with the pieces of Text between the delimiters (n delimiters give
// n + 1 pieces). A missing list raises EAssertionFailed.
void Split(char Delimiter, const std::string& Text, rtl::TStringList* Strings);
// 32 upper-case hexadecimal digits, unique per call: the MD5 digest of the time stamp and 128
// random bits.
std::string GenerateNonce();
// Seconds since 1970-01-01 00:00:00 UTC, in decimal.
std::string GenerateTimeStamp();
// Standard Base64 with "=" padding and no line breaks.
std::string Base64Encode(const TBytes& Bytes);
// HMAC-SHA1 of Value under Key (message first, key second): 20 bytes.
TBytes EncryptHMACSha1(const std::string& Value, const std::string& Key);
// Percent-encodes every byte outside the unreserved set A-Z a-z 0-9 - . _ ~ as "%XX" (upper
// case); a multi-byte UTF-8 character becomes one escape per byte.
std::string URLEncode(std::string_view Value);
// Percent-encodes only the bytes that cannot stand in a URL's query as they are: control
// characters, the blank, bytes above 126, and " # & < > \ ^ ` { | }. Everything else, "%"
// included, stays. For a value a provider sent already encoded (a token) that goes on into a
// URL or header as it came: a well-formed one passes unchanged, a malformed one can neither end
// the line, start a fragment nor add a parameter.
std::string EncodeURLUnsafe(std::string_view Value);
// Joins the name=value entries of Params with Separator. QuoteValues: name="value" in the
// list's order, values unencoded. Otherwise name=encoded value (FormEncode: form encoding;
// else URLEncode), sorted case-insensitively.
std::string EncodeParams(const rtl::TStringList& Params, const std::string& Separator,
                         bool QuoteValues, bool FormEncode);
// The same over entries already at hand ("name=value" each), without building a list of them:
// the signed-request procedure encodes the OAuth entries and the request's together.
std::string EncodeParamEntries(std::span<const std::string_view> Entries,
                               std::string_view Separator, bool QuoteValues, bool FormEncodeValues);
// A new version-4 GUID from the system's random source in registry form
// "{XXXXXXXX-XXXX-4XXX-YXXX-XXXXXXXXXXXX}"; empty when no random bytes could be had.
std::string CreateGuid();

// Seams for known-answer tests. Passing an empty function restores the real source.
using TClock = std::function<std::chrono::system_clock::time_point()>;
using TRandomSource = std::function<bool(std::uint8_t* Buffer, std::size_t Count)>;
void SetClock(TClock Clock);
void SetRandomSource(TRandomSource Source);

// Makes TComponent, TIWApp, TZIWCustomCloudClient and TZIWAuthServerController with their
// published properties (form files) and run-time state (sessions' states) known to the class
// registry. The client base's state: LoginResult, LoginError, LoginID, LoginUsername and the flow
// in progress as its registry entries carry it (FlowID, FlowToken).
void RegisterAuthBaseClasses();

namespace detail {
// The digest behind GenerateNonce: MD5 of Data as 32 upper-case hexadecimal digits.
std::string NonceDigest(std::string_view Data);
// Fills Buffer from the random source (the CSPRNG unless a test replaced it).
bool RandomBytes(std::uint8_t* Buffer, std::size_t Count);
std::chrono::system_clock::time_point Now();
}  // namespace detail

}  // namespace zelk::IWZelkAuthBase
