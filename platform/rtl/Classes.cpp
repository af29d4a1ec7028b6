#include "platform/rtl/Classes.h"

#include "platform/rtl/StringList.h"

#include <algorithm>
#include <mutex>

namespace zelk::rtl {

namespace {

// Free-notification links join components that may live on different request threads (a
// session's client and an application-wide controller); one process-wide lock guards every
// link list. It is recursive because a Notification handler may add or remove links.
std::recursive_mutex& NotificationLock() {
  static std::recursive_mutex M;
  return M;
}

bool IsIdentifier(const std::string& S) {
  if (S.empty()) return false;
  auto Alpha = [](char C) { return (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') || C == '_'; };
  if (!Alpha(S[0])) return false;
  return std::all_of(S.begin(), S.end(),
                     [&](char C) { return Alpha(C) || (C >= '0' && C <= '9'); });
}

}  // namespace

void TPersistent::Assign(TPersistent* Source) {
  if (Source != nullptr) {
    Source->AssignTo(this);
    return;
  }
  throw EConvertError("Cannot assign a nil to a " + ClassName());
}

void TPersistent::AssignTo(TPersistent* Dest) {
  throw EConvertError("Cannot assign a " + ClassName() + " to a " +
                      (Dest ? Dest->ClassName() : std::string("nil")));
}

TComponent::TComponent(TComponent* AOwner) {
  if (AOwner != nullptr) AOwner->InsertComponent(this);
}

TComponent::~TComponent() {
  FComponentState.Include(csDestroying);
  {
    std::lock_guard Lock(NotificationLock());
    while (!FFreeNotifies.empty()) {
      TComponent* Peer = FFreeNotifies.back();
      FFreeNotifies.pop_back();
      Peer->RemoveNotificationLink(this);
      Peer->Notification(this, opRemove);
    }
  }
  DestroyComponents();
  if (FOwner != nullptr) FOwner->RemoveComponent(this);
}

void TComponent::SetName(const std::string& NewName) {
  if (NewName == FName) return;
  if (!NewName.empty() && !IsIdentifier(NewName))
    throw Exception("\"" + NewName + "\" is not a valid component name");
  if (!NewName.empty() && FOwner != nullptr) {
    if (TComponent* Other = FOwner->FindComponent(NewName); Other != nullptr && Other != this)
      throw Exception("A component named " + NewName + " already exists");
  }
  FName = NewName;
}

void TComponent::SetDesigning(bool Value, bool SetChildren) {
  if (Value)
    FComponentState.Include(csDesigning);
  else
    FComponentState.Exclude(csDesigning);
  if (SetChildren)
    for (TComponent* C : FComponents)
      C->SetDesigning(Value, true);
}

void TComponent::SetReading(bool Value) {
  if (Value)
    FComponentState.Include(csReading);
  else
    FComponentState.Exclude(csReading);
}

TComponent* TComponent::Components(int Index) const {
  if (Index < 0 || Index >= ComponentCount())
    throw EListError("List index out of bounds (" + std::to_string(Index) + ")");
  return FComponents[static_cast<std::size_t>(Index)];
}

TComponent* TComponent::FindComponent(const std::string& AName) const {
  if (AName.empty()) return nullptr;
  for (TComponent* C : FComponents)
    if (SameText(C->FName, AName)) return C;
  return nullptr;
}

int TComponent::ComponentIndex() const {
  if (FOwner == nullptr) return -1;
  const auto& L = FOwner->FComponents;
  const auto It = std::find(L.begin(), L.end(), this);
  return It == L.end() ? -1 : static_cast<int>(It - L.begin());
}

void TComponent::DestroyComponents() {
  while (!FComponents.empty()) {
    TComponent* C = FComponents.back();
    delete C;  // its destructor removes it from FComponents
  }
}

void TComponent::FreeNotification(TComponent* AComponent) {
  if (AComponent == nullptr || AComponent == this) return;
  std::lock_guard Lock(NotificationLock());
  if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent) == FFreeNotifies.end())
    FFreeNotifies.push_back(AComponent);
  auto& Other = AComponent->FFreeNotifies;
  if (std::find(Other.begin(), Other.end(), this) == Other.end()) Other.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* AComponent) {
  if (AComponent == nullptr) return;
  std::lock_guard Lock(NotificationLock());
  RemoveNotificationLink(AComponent);
  AComponent->RemoveNotificationLink(this);
}

void TComponent::RemoveNotificationLink(TComponent* AComponent) {
  std::erase(FFreeNotifies, AComponent);
}

void TComponent::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == opRemove && AComponent != nullptr) {
    std::lock_guard Lock(NotificationLock());
    RemoveNotificationLink(AComponent);
  }
  for (TComponent* C : FComponents)
    if (C != AComponent) C->Notification(AComponent, Operation);
}

void TComponent::InsertComponent(TComponent* AComponent) {
  AComponent->FOwner = this;
  FComponents.push_back(AComponent);
  if (IsDesigning()) AComponent->FComponentState.Include(csDesigning);
  Notification(AComponent, opInsert);
}

void TComponent::RemoveComponent(TComponent* AComponent) {
  Notification(AComponent, opRemove);
  std::erase(FComponents, AComponent);
  AComponent->FOwner = nullptr;
}

}  // namespace zelk::rtl
