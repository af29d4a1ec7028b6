// TIWApp, TAuthClient and TAuthClients: credentials and the registry's entries.
#include <algorithm>

#include "core/IWZelkAuthBase.h"
#include "core/RegistryDetail.h"

namespace zelk::IWZelkAuthBase {

std::string TIWApp::ID() const {
  std::lock_guard L(FMutex);
  return FID;
}

void TIWApp::SetID(std::string Value) {
  std::lock_guard L(FMutex);
  FID = std::move(Value);
}

std::string TIWApp::Secret() const {
  std::lock_guard L(FMutex);
  return FSecret;
}

void TIWApp::SetSecret(std::string Value) {
  std::lock_guard L(FMutex);
  FSecret = std::move(Value);
}

TAuthClient::TAuthClient(rtl::TCollection* Collection) : TCollectionItem(Collection) {
  // The item constructor appended the entry; an entry of any other collection is refused and
  // leaves that collection again as it is destroyed.
  if (dynamic_cast<TAuthClients*>(Collection) == nullptr)
    throw rtl::EInvalidCast("Invalid class typecast: TAuthClient needs a TAuthClients collection");
  FOwner = Collection;
}

TAuthClient::~TAuthClient() {
  if (auto* Owner = dynamic_cast<TAuthClients*>(FOwner)) {
    SetFlowToken({});
    Owner->Unindex(this);
    Owner->UnindexClient(this);
  }
}

void TAuthClient::SetID(std::string Value) {
  auto* Owner = dynamic_cast<TAuthClients*>(FOwner);
  if (Owner != nullptr) Owner->Unindex(this);
  FID = std::move(Value);
  if (Owner != nullptr) Owner->Index(this);
}

void TAuthClient::SetFlowToken(std::string Value) {
  if (Value == FFlowToken) return;
  auto* Owner = dynamic_cast<TAuthClients*>(FOwner);
  if (Owner != nullptr && !FFlowToken.empty()) {
    auto [First, Last] = Owner->FByFlowToken.equal_range(FFlowToken);
    for (auto It = First; It != Last; ++It)
      if (It->second == this) {
        Owner->FByFlowToken.erase(It);
        break;
      }
  }
  FFlowToken = std::move(Value);
  if (Owner != nullptr && !FFlowToken.empty()) Owner->FByFlowToken.emplace(FFlowToken, this);
}

void TAuthClient::SetClient(TZIWCustomCloudClient* Value) {
  auto* Owner = dynamic_cast<TAuthClients*>(FOwner);
  std::shared_ptr<detail::TClientGuard> Guard = Value != nullptr ? Value->FGuard : nullptr;
  if (Owner == nullptr) {
    FClient = Value;
    FGuard = std::move(Guard);
    return;
  }
  Owner->UnindexClient(this);
  {
    // Routing threads read an indexed entry's client under its shard's lock only.
    std::unique_lock<rtl::TAdaptiveMutex> Shard;
    if (!FID.empty()) Shard = std::unique_lock(Owner->ShardOf(FID).Mutex);
    FClient = Value;
    std::swap(FGuard, Guard);  // the old guard is released outside the shard's lock
  }
  Owner->IndexClient(this);
}

void TAuthClient::Assign(rtl::TPersistent* Source) {
  auto* Other = dynamic_cast<TAuthClient*>(Source);
  if (Other == nullptr || Other == this) return;
  SetClient(Other->FClient);
  SetID(Other->FID);
  FName = Other->FName;
  FTag = Other->FTag;
}

std::string TAuthClient::GetDisplayName() const {
  if (!FName.empty()) return FName;
  return "Client " + std::to_string(Index());
}

rtl::TPersistent* TAuthClient::GetOwner() {
  return FOwner;
}

rtl::TPersistent* TAuthClients::GetOwner() {
  return FOwner;
}

TAuthClients::TAuthClients(TZIWAuthServerController* AOwner)
    : FOwner(AOwner), FShards(std::make_unique<TPaddedShard[]>(kShards)) {}

TAuthClients::TShard& TAuthClients::ShardOf(std::string_view Id) const {
  return FShards[std::hash<std::string_view>{}(Id) % kShards];
}

TAuthClients::~TAuthClients() {
  // The entries go while the index they leave still exists.
  Clear();
}

void TAuthClients::Unindex(TAuthClient* Entry) {
  if (Entry->FID.empty()) return;
  TShard& S = ShardOf(Entry->FID);
  std::lock_guard Lock(S.Mutex);
  auto [First, Last] = S.Index.equal_range(std::string_view(Entry->FID));
  for (auto It = First; It != Last; ++It)
    if (*It == Entry) {
      S.Index.erase(It);
      return;
    }
}

void TAuthClients::Index(TAuthClient* Entry) {
  if (Entry->FID.empty()) return;
  TShard& S = ShardOf(Entry->FID);
  std::lock_guard Lock(S.Mutex);
  S.Index.insert(Entry);
}

bool TAuthClients::GuardsOf(std::string_view Id, TGuards& Guards) const {
  if (Id.empty()) return true;
  TShard& S = ShardOf(Id);
  std::lock_guard Lock(S.Mutex);
  auto [First, Last] = S.Index.equal_range(Id);
  if (First == Last) return true;
  if (std::next(First) != Last) return false;
  if ((*First)->FGuard != nullptr) Guards.push_back((*First)->FGuard);
  return true;
}

bool TAuthClients::Names(const TZIWCustomCloudClient* Client, std::string_view Id) const {
  if (Id.empty()) return false;
  TShard& S = ShardOf(Id);
  std::lock_guard Lock(S.Mutex);
  auto [First, Last] = S.Index.equal_range(Id);
  for (auto It = First; It != Last; ++It)
    if ((*It)->FClient == Client) return true;
  return false;
}

void TAuthClients::UnindexClient(TAuthClient* Entry) {
  if (Entry->FClient == nullptr) return;
  auto [First, Last] = FByClient.equal_range(Entry->FClient);
  for (auto It = First; It != Last; ++It)
    if (It->second == Entry) {
      FByClient.erase(It);
      if (Entry->FGuard != nullptr) --Entry->FGuard->Entries;
      return;
    }
}

void TAuthClients::IndexClient(TAuthClient* Entry) {
  if (Entry->FClient == nullptr) return;
  FByClient.emplace(Entry->FClient, Entry);
  if (Entry->FGuard != nullptr) ++Entry->FGuard->Entries;
}

std::vector<TAuthClient*> TAuthClients::OfClient(const TZIWCustomCloudClient* Client) const {
  std::vector<TAuthClient*> Found;
  auto [First, Last] = FByClient.equal_range(Client);
  for (auto It = First; It != Last; ++It)
    Found.push_back(It->second);
  return Found;
}

std::vector<TAuthClient*> TAuthClients::FindFlowToken(std::string_view Token) const {
  std::vector<TAuthClient*> Found;
  if (Token.empty()) return Found;
  auto [First, Last] = FByFlowToken.equal_range(std::string(Token));
  for (auto It = First; It != Last; ++It)
    Found.push_back(It->second);
  std::sort(Found.begin(), Found.end(),
            [](const TAuthClient* A, const TAuthClient* B) { return A->Precedes(*B); });
  return Found;
}

std::vector<TAuthClient*> TAuthClients::Find(std::string_view Id) const {
  std::vector<TAuthClient*> Found;
  if (Id.empty()) return Found;
  {
    TShard& S = ShardOf(Id);
    std::lock_guard Lock(S.Mutex);
    auto [First, Last] = S.Index.equal_range(Id);
    for (auto It = First; It != Last; ++It)
      Found.push_back(*It);
  }
  // Several entries may share the identifier: serve them in collection order. Precedes reads
  // no positions, so this never walks the collection (and never changes it: several routing
  // threads may look up at once).
  if (Found.size() > 1)
    std::sort(Found.begin(), Found.end(),
              [](const TAuthClient* A, const TAuthClient* B) { return A->Precedes(*B); });
  return Found;
}

}  // namespace zelk::IWZelkAuthBase
