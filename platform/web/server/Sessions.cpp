#include "platform/web/server/Sessions.h"

#include <openssl/rand.h>

#include <algorithm>
#include <array>

#include "platform/rtl/SysUtils.h"

namespace zelk::web {

namespace {
constexpr std::size_t kSessionIDBytes = 32;
}

std::string NewSessionID() {
  std::array<unsigned char, kSessionIDBytes> Bytes{};
  if (RAND_bytes(Bytes.data(), static_cast<int>(Bytes.size())) != 1)
    throw rtl::Exception("Cannot start a session: the system's random source failed");
  static constexpr char kHex[] = "0123456789abcdef";
  std::string ID;
  ID.reserve(2 * Bytes.size());
  for (const unsigned char B : Bytes) {
    ID += kHex[B >> 4];
    ID += kHex[B & 0xf];
  }
  return ID;
}

bool IsSessionIDShape(std::string_view Text) {
  return Text.size() == 2 * kSessionIDBytes && std::all_of(Text.begin(), Text.end(), [](char C) {
           return (C >= '0' && C <= '9') || (C >= 'a' && C <= 'f');
         });
}

void TSessionMutex::lock() {
  std::unique_lock L(FMutex);
  FReleased.wait(L, [this] { return !FHeld; });
  FHeld = true;
}

bool TSessionMutex::try_lock() {
  std::lock_guard L(FMutex);
  if (FHeld) return false;
  FHeld = true;
  return true;
}

bool TSessionMutex::try_lock_for(std::chrono::milliseconds Timeout) {
  std::unique_lock L(FMutex);
  if (!FReleased.wait_for(L, Timeout, [this] { return !FHeld; })) return false;
  FHeld = true;
  return true;
}

void TSessionMutex::unlock() {
  {
    std::lock_guard L(FMutex);
    FHeld = false;
  }
  FReleased.notify_one();
}

TIWSessionPtr TIWSessionList::Acquire(std::string_view ID, bool Confirm) {
  std::lock_guard Lock(FMutex);
  const auto It = FByID.find(std::string(ID));
  if (It == FByID.end()) return nullptr;
  UnmarkEvictableLocked(It->second.get());
  ++It->second->FInUse;
  if (Confirm) It->second->FConfirmed = true;
  MarkEvictableLocked(It->second.get());
  return It->second;
}

TIWSessionPtr TIWSessionList::AcquireByApplication(const rtl::TComponent* App) {
  std::lock_guard Lock(FMutex);
  const auto It = FByApplication.find(App);
  if (It == FByApplication.end()) return nullptr;
  UnmarkEvictableLocked(It->second.get());
  ++It->second->FInUse;
  return It->second;
}

void TIWSessionList::Release(const TIWSessionPtr& Session, TSessionClock::time_point Now) {
  std::lock_guard Lock(FMutex);
  UnmarkEvictableLocked(Session.get());
  --Session->FInUse;
  Session->FLastUse = std::max(Session->FLastUse, Now);
  MarkEvictableLocked(Session.get());
}

TIWSessionList::TAddResult TIWSessionList::Add(const TIWSessionPtr& Session,
                                               std::size_t MaxSessions,
                                               TSessionClock::time_point Now,
                                               TIWSessionPtr& Evicted) {
  std::lock_guard Lock(FMutex);
  Evicted.reset();
  if (FByID.size() >= MaxSessions) {
    if (FEvictable.empty()) return arFull;
    TIWSessionPtr Idlest = FByID.at(std::get<2>(*FEvictable.begin())->ID());
    EraseLocked(Idlest);
    Evicted = std::move(Idlest);
  }
  Session->FInUse = 1;
  Session->FLastUse = Now;
  // The application object is made before the session is entered and lives as long as the
  // session, so its address identifies the session while the session is listed.
  Session->FApplicationKey = Session->Application.get();
  Session->FListed = true;
  FByID.emplace(Session->ID(), Session);
  if (Session->FApplicationKey != nullptr)
    FByApplication.emplace(Session->FApplicationKey, Session);
  return arAdded;
}

void TIWSessionList::EraseLocked(const TIWSessionPtr& Session) {
  const auto It = FByID.find(Session->ID());
  if (It == FByID.end() || It->second != Session) return;
  UnmarkEvictableLocked(Session.get());
  FByID.erase(It);
  Session->FListed = false;
}

void TIWSessionList::MarkEvictableLocked(TIWSession* Session) {
  if (Session->FListed && Session->FInUse == 0 && !Session->FEstablished)
    FEvictable.emplace(Session->FConfirmed, Session->FLastUse, Session);
}

void TIWSessionList::UnmarkEvictableLocked(TIWSession* Session) {
  FEvictable.erase({Session->FConfirmed, Session->FLastUse, Session});
}

void TIWSessionList::Establish(const TIWSessionPtr& Session) {
  std::lock_guard Lock(FMutex);
  UnmarkEvictableLocked(Session.get());
  Session->FEstablished = true;
}

void TIWSessionList::Rename(const TIWSessionPtr& Session, std::string NewID) {
  std::lock_guard Lock(FMutex);
  const auto It = FByID.find(Session->ID());
  if (It == FByID.end() || It->second != Session) return;
  FByID.erase(It);
  Session->FID = std::move(NewID);
  FByID.emplace(Session->ID(), Session);
}

void TIWSessionList::ForgetApplication(const TIWSessionPtr& Session) {
  std::lock_guard Lock(FMutex);
  const auto It = FByApplication.find(Session->FApplicationKey);
  if (It != FByApplication.end() && It->second == Session) FByApplication.erase(It);
}

void TIWSessionList::Remove(const TIWSessionPtr& Session) {
  std::lock_guard Lock(FMutex);
  EraseLocked(Session);
}

std::vector<TIWSessionPtr> TIWSessionList::TakeIdle(TSessionClock::time_point Now,
                                                    TSessionClock::duration Timeout) {
  std::lock_guard Lock(FMutex);
  std::vector<TIWSessionPtr> Idle;
  for (const auto& [ID, S] : FByID)
    if (S->FInUse == 0 && Now - S->FLastUse >= Timeout) Idle.push_back(S);
  for (const auto& S : Idle)
    EraseLocked(S);
  return Idle;
}

std::vector<TIWSessionPtr> TIWSessionList::TakeAll() {
  std::lock_guard Lock(FMutex);
  std::vector<TIWSessionPtr> All;
  All.reserve(FByID.size());
  for (auto& [ID, S] : FByID)
    All.push_back(std::move(S));
  FByID.clear();
  FByApplication.clear();
  FEvictable.clear();
  return All;
}

bool TIWSessionList::Listed(const TIWSessionPtr& Session) const {
  std::lock_guard Lock(FMutex);
  return Session->FListed;
}

std::vector<TIWSessionList::TEntry> TIWSessionList::Snapshot() const {
  std::lock_guard Lock(FMutex);
  std::vector<TEntry> All;
  All.reserve(FByID.size());
  for (const auto& [ID, S] : FByID)
    All.push_back({S, ID, S->FInUse > 0, S->FLastUse});
  return All;
}

void TIWSessionList::ReplaceApplication(const TIWSessionPtr& Session, const rtl::TComponent* App) {
  std::lock_guard Lock(FMutex);
  const auto It = FByApplication.find(Session->FApplicationKey);
  if (It != FByApplication.end() && It->second == Session) FByApplication.erase(It);
  Session->FApplicationKey = App;
  if (App != nullptr && Session->FListed) FByApplication.emplace(App, Session);
}

std::size_t TIWSessionList::Count() const {
  std::lock_guard Lock(FMutex);
  return FByID.size();
}

}  // namespace zelk::web
