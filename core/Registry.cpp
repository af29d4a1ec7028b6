// TZIWAuthServerController and TZIWCustomCloudClient: the registry, callback routing and the
// client base.
#include <algorithm>
#include <unordered_map>

#include "core/IWZelkAuthBase.h"
#include "core/RegistryDetail.h"
#include "core/Trace.h"
#include "platform/web/FlowName.h"

namespace zelk::IWZelkAuthBase {

namespace {

// Every live controller, so that a client that goes can leave every registry that names it
// (also the old controller after a direct A-to-B assignment, or an entry added by hand). A
// controller that goes clears the reference of the clients that point at it (its referrers).
struct TLiveObjects {
  std::mutex Mutex;
  std::vector<TZIWAuthServerController*> Controllers;
};

TLiveObjects& Live() {
  static TLiveObjects L;
  return L;
}

bool IsDesignTime(const rtl::TComponent& C) {
  const rtl::TComponent* Owner = C.Owner();
  if (Owner == nullptr || !C.IsDesigning()) return false;
  const auto S = Owner->ComponentState();
  return !S.Contains(rtl::csReading) && !S.Contains(rtl::csLoading);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TZIWAuthServerController

TZIWAuthServerController::TZIWAuthServerController(rtl::TComponent* AOwner)
    : TComponent(AOwner), FClients(std::make_unique<TAuthClients>(this)) {
  FDesignTime = IsDesignTime(*this);
  auto& L = Live();
  std::lock_guard Lock(L.Mutex);
  L.Controllers.push_back(this);
}

TZIWAuthServerController::~TZIWAuthServerController() {
  std::vector<std::shared_ptr<detail::TClientGuard>> Guards;
  {
    auto& L = Live();
    std::lock_guard Lock(L.Mutex);
    std::erase(L.Controllers, this);
  }
  {
    // Empties the list link by link (no chain of releases that recurses), keeping each guard
    // alive in Guards.
    std::lock_guard Lock(FMutex);
    for (auto G = std::move(FReferrers); G != nullptr;) {
      auto Next = std::move(G->NextReferrer);
      G->PreviousReferrer = nullptr;
      G->ReferrerOf = nullptr;
      Guards.push_back(std::move(G));
      G = std::move(Next);
    }
  }
  // Only the clients that point here are locked (one busy with a provider's reply for another
  // controller is no concern of this one), one at a time and without the registry lock, keeping
  // the order "client before registry" that every other path uses.
  for (const auto& G : Guards) {
    std::lock_guard ClientLock(G->Mutex);
    if (G->Alive && G->Client->FServerController == this) G->Client->FServerController = nullptr;
  }
  std::lock_guard Lock(FMutex);
  FClients.reset();
}

void TZIWAuthServerController::AddReferrer(const std::shared_ptr<detail::TClientGuard>& Guard) {
  if (Guard->ReferrerOf == this) return;
  Guard->ReferrerOf = this;
  Guard->PreviousReferrer = nullptr;
  Guard->NextReferrer = std::move(FReferrers);
  if (Guard->NextReferrer != nullptr) Guard->NextReferrer->PreviousReferrer = Guard.get();
  FReferrers = Guard;
}

void TZIWAuthServerController::RemoveReferrer(detail::TClientGuard* Guard) {
  if (Guard->ReferrerOf != this) return;
  auto Next = std::move(Guard->NextReferrer);
  if (Next != nullptr) Next->PreviousReferrer = Guard->PreviousReferrer;
  // Drops the list's ownership of Guard; the caller still holds it.
  (Guard->PreviousReferrer != nullptr ? Guard->PreviousReferrer->NextReferrer : FReferrers) =
      std::move(Next);
  Guard->PreviousReferrer = nullptr;
  Guard->ReferrerOf = nullptr;
}

bool TZIWAuthServerController::HasEntry(const TZIWCustomCloudClient* Client,
                                        const std::string& Id) const {
  return FClients->Names(Client, Id);
}

namespace {

// Calls Visit with the top owner of each entry's client, in the order given, until one answers
// true.
bool VisitTopOwners(const std::vector<TAuthClient*>& Entries,
                    const std::function<bool(const rtl::TComponent& Top)>& Visit) {
  for (const auto* Entry : Entries) {
    if (Entry->Client() == nullptr) continue;
    const rtl::TComponent* Top = Entry->Client();
    while (Top->Owner() != nullptr)
      Top = Top->Owner();
    if (Visit(*Top)) return true;
  }
  return false;
}

}  // namespace

bool TZIWAuthServerController::VisitFlowOwners(
    std::string_view Id, const std::function<bool(const rtl::TComponent& Top)>& Visit) {
  const auto Guard = LockClients();
  // The index finds the entries with the identifier, in collection order, without walking
  // every session's entries.
  return VisitTopOwners(Clients()->Find(Id), Visit);
}

bool TZIWAuthServerController::VisitFlowTokenOwners(
    std::string_view Token, const std::function<bool(const rtl::TComponent& Top)>& Visit) {
  if (Token.empty()) return false;
  const auto Guard = LockClients();
  return VisitTopOwners(Clients()->FindFlowToken(Token), Visit);
}

std::string TZIWAuthServerController::MetricsText() const {
  return ProviderMetricsText();
}

std::size_t TZIWAuthServerController::OpenFlowCount() {
  const auto Guard = LockClients();
  std::size_t Open = 0;
  for (int I = 0; I < Clients()->Count(); ++I) {
    const TAuthClient* Entry = Clients()->Items(I);
    if (Entry->Client() != nullptr && (!Entry->ID().empty() || !Entry->FlowToken().empty())) ++Open;
  }
  return Open;
}

namespace {

// Counts and traces the outcome a client reached on the provider's return.
void ReportOutcome(const TFlowOutcome& Outcome, const std::string& Provider,
                   const std::string& Flow) {
  using K = TFlowOutcome::TKind;
  TTraceEvent Event;
  Event.Flow = Flow;
  Event.Provider = Provider;
  Event.Step = "outcome";
  Event.Error = Outcome.Reason;
  if (Outcome.Kind == K::Unknown) {
    // Never counted as a failure: the payment may have been taken.
    CountUnknownOutcome(Provider);
    Event.Outcome = "unknown";
  } else {
    CountOutcome(Provider, Outcome.Succeeded(), Outcome.Kind == K::Denied);
    Event.Outcome = Outcome.Succeeded() ? "ok" : Outcome.Kind == K::Denied ? "denied" : "failed";
  }
  Trace(Event);
}

// What the provider sent the browser back with: its error and description, if any.
void TraceProviderReturn(const THttpRequest& Request, const std::string& Provider,
                         const std::string& Flow) {
  if (!TraceEnabled()) return;
  TTraceEvent Event;
  Event.Flow = Flow;
  Event.Provider = Provider;
  Event.Step = "provider return";
  Event.Path = Request.Path() + "?" + Request.QueryString();
  Event.Error = Request.Query("error_description");
  if (Event.Error.empty()) Event.Error = Request.Query("error");
  Trace(Event);
}

// A successful sign-in or payment establishes the session of the client's application, which
// then gets a new identifier: one planted in the browser before it reaches nothing. No other
// outcome (a failure, a refusal, an unknown one) changes the session.
void EstablishSession(const TFlowOutcome& Outcome, rtl::TComponent& Client) {
  if (!Outcome.Succeeded()) return;
  rtl::TComponent* Top = &Client;
  while (Top->Owner() != nullptr)
    Top = Top->Owner();
  if (auto* App = dynamic_cast<TIWApplication*>(Top)) App->FlowSucceeded();
}

}  // namespace

TAuthClients::TGuards TZIWAuthServerController::MatchesOf(const web::TFlowName& Name) const {
  // One entry with the identifier is taken under the lock of its shard alone; several (whose
  // order needs it) and request tokens (the flows of OAuth 1.0a returns to a fixed callback)
  // under the registry's lock.
  TAuthClients::TGuards Matches;
  if (!Name.ByToken() && FClients->GuardsOf(Name.Key, Matches)) return Matches;
  std::lock_guard Lock(FMutex);
  for (const TAuthClient* E :
       Name.ByToken() ? FClients->FindFlowToken(Name.Key) : FClients->Find(Name.Key))
    if (E->FGuard != nullptr) Matches.push_back(E->FGuard);
  return Matches;
}

const TAuthClients::TGuards* TZIWAuthServerController::FoundFor(const THttpRequest& Request) const {
  const auto& Routed = Request.RoutedFlow();
  if (!Routed || Routed->Directory != this || !Routed->Found) return nullptr;
  return static_cast<const TAuthClients::TGuards*>(Routed->Found.get());
}

bool TZIWAuthServerController::VisitFlow(const web::TFlowName& Name, const TFlowVisit& Visit) {
  if (!Name.Named()) return false;
  const auto Guard = LockClients();
  const std::vector<TAuthClient*> Entries =
      Name.ByToken() ? Clients()->FindFlowToken(Name.Key) : Clients()->Find(Name.Key);
  auto Matches = std::make_shared<TAuthClients::TGuards>();
  for (const TAuthClient* E : Entries)
    if (E->FGuard != nullptr) Matches->push_back(E->FGuard);
  const std::shared_ptr<const void> Found = std::move(Matches);
  return VisitTopOwners(Entries, [&](const rtl::TComponent& Top) { return Visit(Top, Found); });
}

std::vector<const TZIWCustomCloudClient*> TZIWAuthServerController::ReturnClients(
    const THttpRequest& Request) const {
  std::vector<const TZIWCustomCloudClient*> Found;
  const web::TFlowName Name = web::FlowNameOf(Request);
  if (!Name.Named()) return Found;
  const TAuthClients::TGuards* Routed = FoundFor(Request);
  for (const auto& G : Routed != nullptr ? *Routed : MatchesOf(Name))
    Found.push_back(G->Client);
  return Found;
}

void TZIWAuthServerController::ProcessRequest(const THttpRequest& Request) {
  const web::TFlowName Name = web::FlowNameOf(Request);
  if (!Name.Named()) return;
  // The clients are called outside any lock: a handler may change the registry, and
  // LoginResponse does I/O.
  // What the server found while it looked for the request's session, else the entries that
  // carry the name now.
  if (const TAuthClients::TGuards* Routed = FoundFor(Request)) {
    for (const auto& G : *Routed)
      CompleteFlow(G, Request, Name.Key, Name.ByToken());
    return;
  }
  for (const auto& G : MatchesOf(Name))
    CompleteFlow(G, Request, Name.Key, Name.ByToken());
}

std::optional<std::string> TZIWAuthServerController::RoutedFlow(const TZIWCustomCloudClient* Client,
                                                                const std::string& Key,
                                                                bool ByToken) const {
  if (!ByToken) return HasEntry(Client, Key) ? std::optional(Key) : std::nullopt;
  std::lock_guard Lock(FMutex);
  for (const TAuthClient* E : FClients->FindFlowToken(Key))
    if (E->FClient == Client) return E->FID;
  return std::nullopt;
}

// The one way a routed return ends, whatever named its flow: the client's LoginResponse and,
// once it reports an outcome, the outcome counted and traced, the session established and given
// a new identifier on success, and the flow spent.
void TZIWAuthServerController::CompleteFlow(const std::shared_ptr<detail::TClientGuard>& Guard,
                                            const THttpRequest& Request, const std::string& Key,
                                            bool ByToken) {
  std::lock_guard ClientLock(Guard->Mutex);
  if (!Guard->Alive) return;  // destroyed while the request was being routed
  TZIWCustomCloudClient* Client = Guard->Client;
  // An earlier handler, or a new Login of the client, may have taken the flow away.
  const std::optional<std::string> Routed = RoutedFlow(Client, Key, ByToken);
  if (!Routed) return;
  // The flow as the trace knows it: our identifier, also when its request token routed it.
  const std::string Flow = Routed->empty() ? Key : *Routed;
  const std::string Provider = ProviderNameOfClass(Client->ClassName());
  TFlowOutcome Outcome;
  {
    const TTraceScope Scope(Provider, Flow);
    TraceProviderReturn(Request, Provider, Flow);
    Outcome = Client->HandleReturn(Request);
  }
  if (!Outcome.Reached()) return;
  ReportOutcome(Outcome, Provider, Flow);
  EstablishSession(Outcome, *Client);
  // The flow reached an outcome: spend it, so a reload of the return page does not replay a
  // used code or token.
  std::lock_guard Lock(FMutex);
  for (TAuthClient* E : ByToken ? FClients->FindFlowToken(Key) : FClients->Find(Key))
    if (E->FClient == Client) {
      E->SetFlowToken({});
      E->SetID({});
    }
}

// ---------------------------------------------------------------------------------------------
// TZIWCustomCloudClient

TZIWCustomCloudClient::TZIWCustomCloudClient(rtl::TComponent* AOwner)
    : TComponent(AOwner),
      FGuard(std::make_shared<detail::TClientGuard>()),
      FApp(std::make_unique<TIWApp>()),
      FScope(std::make_unique<rtl::TStringList>()) {
  FGuard->Client = this;
  FDesignTime = IsDesignTime(*this);
}

TZIWCustomCloudClient::~TZIWCustomCloudClient() {
  Detach();
}

void TZIWCustomCloudClient::Detach() {
  bool Referred = false;
  {
    // Waits for an operation in progress on another thread, then stops routing to this client.
    std::lock_guard ClientLock(FGuard->Mutex);
    if (!FGuard->Alive) return;
    FGuard->Alive = false;
    Referred = FServerController != nullptr;
    FServerController = nullptr;
  }
  // No controller counts this client among its referrers and no registry names it (the usual
  // case for a session's client, which left its controller as the session ended): nothing to
  // clean up, and no need to hold every controller's lock in turn.
  if (!Referred && FGuard->Entries == 0) return;
  auto& L = Live();
  std::lock_guard Lock(L.Mutex);
  for (TZIWAuthServerController* C : L.Controllers) {
    std::lock_guard RegistryLock(C->FMutex);
    C->RemoveReferrer(FGuard.get());
    TAuthClients* Entries = C->FClients.get();
    for (TAuthClient* E : Entries->OfClient(this))
      Entries->DeleteItem(E);
  }
}

void TZIWCustomCloudClient::Login(TIWApplication* /*WebApplication*/) {}

TTransport TZIWCustomCloudClient::Transport() const {
  auto L = Lock();
  return FTransport;
}

void TZIWCustomCloudClient::SetTransport(TTransport Value) {
  auto L = Lock();
  FTransport = std::move(Value);
}

TEndpoints TZIWCustomCloudClient::Endpoints() const {
  auto L = Lock();
  return FEndpoints;
}

void TZIWCustomCloudClient::SetEndpoints(TEndpoints Value) {
  auto L = Lock();
  FEndpoints = std::move(Value);
}

std::string TZIWCustomCloudClient::Host(TProviderHost Which) const {
  auto L = Lock();
  return FEndpoints.Host(Which);
}

TFlowOutcome TZIWCustomCloudClient::HandleReturn(const THttpRequest& Request) {
  auto L = Lock();
  FOutcome = {};
  LoginResponse(Request);
  if (!FOutcome.Reached()) return {};
  // As the events' handlers left it: a handler may turn a success into a failure.
  return TFlowOutcome::Of(FLoginResult, FLoginError, FOutcome.Kind == TFlowOutcome::TKind::Denied);
}

void TZIWCustomCloudClient::LoginResponse(const THttpRequest& /*Request*/) {
  // Two independent tests: a handler of OnLoginOK that sets resFailed makes OnLoginFailed
  // follow within the same call.
  auto L = Lock();
  if (FLoginResult == resOK && FOnLoginOK) {
    TNotifyEvent Handler = FOnLoginOK;
    Handler(this);
  }
  if (FLoginResult == resFailed && FOnLoginFailed) {
    TNotifyEvent Handler = FOnLoginFailed;
    Handler(this);
  }
}

void TZIWCustomCloudClient::SignOut() {
  auto L = Lock();
  FLoginResult = resNone;
  FLoginError.clear();
  FLoginID.clear();
  FLoginUsername.clear();
  if (FServerController == nullptr) return;
  std::lock_guard RegistryLock(FServerController->FMutex);
  for (TAuthClient* E : FServerController->FClients->OfClient(this)) {
    E->SetFlowToken({});
    E->SetID({});
  }
}

std::vector<std::string> TZIWCustomCloudClient::OpenFlowKeys() const {
  auto L = Lock();
  std::vector<std::string> Keys;
  if (FServerController == nullptr) return Keys;
  std::lock_guard RegistryLock(FServerController->FMutex);
  for (const TAuthClient* E : FServerController->FClients->OfClient(this)) {
    if (!E->ID().empty()) Keys.push_back(E->ID());
    if (!E->FlowToken().empty()) Keys.push_back(E->FlowToken());
  }
  return Keys;
}

std::unique_lock<std::recursive_mutex> TZIWCustomCloudClient::Lock() const {
  return std::unique_lock(FGuard->Mutex);
}

TZIWAuthServerController* TZIWCustomCloudClient::ServerController() const {
  auto L = Lock();
  return FServerController;
}

void TZIWCustomCloudClient::SetServerController(TZIWAuthServerController* Value) {
  auto L = Lock();
  if (Value == FServerController) return;
  if (FServerController != nullptr) {
    std::lock_guard RegistryLock(FServerController->FMutex);
    FServerController->RemoveReferrer(FGuard.get());
    if (Value == nullptr) {
      TAuthClients* Entries = FServerController->FClients.get();
      for (TAuthClient* E : Entries->OfClient(this))
        Entries->DeleteItem(E);
    }
  }
  FServerController = Value;
  if (Value == nullptr) return;
  std::lock_guard RegistryLock(Value->FMutex);
  Value->AddReferrer(FGuard);
  TAuthClients* Entries = Value->FClients.get();
  if (Entries->Names(this)) return;
  Entries->Add()->SetClient(this);
}

TIWResult TZIWCustomCloudClient::LoginResult() const {
  auto L = Lock();
  return FLoginResult;
}

void TZIWCustomCloudClient::SetLoginResult(TIWResult Value) {
  auto L = Lock();
  FLoginResult = Value;
}

std::string TZIWCustomCloudClient::LoginError() const {
  auto L = Lock();
  return FLoginError;
}

void TZIWCustomCloudClient::SetLoginError(std::string Value) {
  auto L = Lock();
  FLoginError = std::move(Value);
}

std::string TZIWCustomCloudClient::LoginUsername() const {
  auto L = Lock();
  return FLoginUsername;
}

void TZIWCustomCloudClient::SetLoginUsername(std::string Value) {
  auto L = Lock();
  FLoginUsername = std::move(Value);
}

std::string TZIWCustomCloudClient::LoginID() const {
  auto L = Lock();
  return FLoginID;
}

void TZIWCustomCloudClient::SetLoginID(std::string Value) {
  auto L = Lock();
  FLoginID = std::move(Value);
}

TNotifyEvent TZIWCustomCloudClient::OnLoginOK() const {
  auto L = Lock();
  return FOnLoginOK;
}

void TZIWCustomCloudClient::SetOnLoginOK(TNotifyEvent Value) {
  auto L = Lock();
  FOnLoginOK = std::move(Value);
}

TNotifyEvent TZIWCustomCloudClient::OnLoginFailed() const {
  auto L = Lock();
  return FOnLoginFailed;
}

void TZIWCustomCloudClient::SetOnLoginFailed(TNotifyEvent Value) {
  auto L = Lock();
  FOnLoginFailed = std::move(Value);
}

void TZIWCustomCloudClient::CheckServerController(std::string_view Operation) const {
  auto L = Lock();
  if (FServerController == nullptr)
    throw rtl::Exception(ClassName() + "." + std::string(Operation) +
                         ": ServerController is not assigned; set it to a "
                         "TZIWAuthServerController so that the provider's return can be routed");
}

std::string TZIWCustomCloudClient::NewFlowIdentifier() {
  auto L = Lock();
  std::string Id = CreateGuid();
  std::erase(Id, '{');
  std::erase(Id, '}');
  NoteFlowStarted(ProviderNameOfClass(ClassName()), Id);
  if (FServerController == nullptr) return Id;
  std::lock_guard RegistryLock(FServerController->FMutex);
  for (TAuthClient* E : FServerController->FClients->OfClient(this)) {
    E->SetFlowToken({});
    E->SetID(Id);
  }
  return Id;
}

std::string TZIWCustomCloudClient::FlowIdentifier() const {
  auto L = Lock();
  if (FServerController == nullptr) return {};
  std::lock_guard RegistryLock(FServerController->FMutex);
  for (const TAuthClient* E : FServerController->FClients->OfClient(this))
    if (!E->ID().empty()) return E->ID();
  return {};
}

std::string TZIWCustomCloudClient::FlowToken() const {
  auto L = Lock();
  if (FServerController == nullptr) return {};
  std::lock_guard RegistryLock(FServerController->FMutex);
  for (const TAuthClient* E : FServerController->FClients->OfClient(this))
    if (!E->FlowToken().empty()) return E->FlowToken();
  return {};
}

void TZIWCustomCloudClient::RestoreFlowIdentifier(const std::string& Id) {
  auto L = Lock();
  if (!Id.empty()) CheckServerController("FlowID");
  if (FServerController == nullptr) return;
  std::lock_guard RegistryLock(FServerController->FMutex);
  for (TAuthClient* E : FServerController->FClients->OfClient(this))
    E->SetID(Id);
}

void TZIWCustomCloudClient::RestoreFlowToken(const std::string& Token) {
  auto L = Lock();
  if (!Token.empty()) CheckServerController("FlowToken");
  if (FServerController == nullptr) return;
  std::lock_guard RegistryLock(FServerController->FMutex);
  for (TAuthClient* E : FServerController->FClients->OfClient(this))
    E->SetFlowToken(Token);
}

void TZIWCustomCloudClient::RegisterFlowToken(const std::string& Token) {
  auto L = Lock();
  if (FServerController == nullptr) return;
  std::lock_guard RegistryLock(FServerController->FMutex);
  for (TAuthClient* E : FServerController->FClients->OfClient(this))
    E->SetFlowToken(Token);
}

}  // namespace zelk::IWZelkAuthBase
