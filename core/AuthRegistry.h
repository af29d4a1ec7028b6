// The registry that routes a provider's return to the client that started the flow:
// TAuthClient (an entry), TAuthClients (the indexed collection) and TZIWAuthServerController.
//
// Threads: the registry is guarded by its controller's lock; the identifier index by its
// shards' locks inside it. Lock order: client before registry; the registry lock is never held
// across I/O or events.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/AuthTypes.h"
#include "platform/rtl/AdaptiveMutex.h"
#include "platform/rtl/Collection.h"

namespace zelk::IWZelkAuthBase {

namespace detail {
struct TClientGuard;
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
// The application passes every request that can be a provider's return to ProcessRequest. The
// request names its flow by the one rule of web::FlowNameOf: by "state", or when that is empty
// "clientid", it calls LoginResponse on the client of every entry whose ID equals it exactly
// (case-sensitive), in collection order; by "oauth_token" (or, for a refusal, "denied") on the
// entries whose FlowToken equals it: the request token an OAuth 1.0a client registered for its
// flow. A request that came through the server carries the entries the server found while it
// looked for the session (THttpRequest::RoutedFlow): they are routed to, without a second look.
// Once a routed client reports an outcome, the flow is spent: the entry's ID and FlowToken are
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
  // Both at once, handing the server the entries found (their clients' guards, in collection
  // order) as the record ProcessRequest then routes the request to.
  bool VisitFlow(const web::TFlowName& Name, const TFlowVisit& Visit) override;
  std::size_t OpenFlowCount() override;
  // The clients Request, a provider's return, is routed to: those the server found for it
  // (THttpRequest::RoutedFlow), else those whose entries carry the name it gives now. For telling
  // which flow it completes only: a client listed may be gone before it is used.
  std::vector<const TZIWCustomCloudClient*> ReturnClients(const THttpRequest& Request) const;
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
  // The guards of the clients whose entries carry Name now, in collection order.
  TAuthClients::TGuards MatchesOf(const web::TFlowName& Name) const;
  // The guards the server found for Request (the record of this controller it carries; it
  // lives as long as Request), or none.
  const TAuthClients::TGuards* FoundFor(const THttpRequest& Request) const;
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

}  // namespace zelk::IWZelkAuthBase
