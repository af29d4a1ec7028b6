// TIWApp, TAuthClient and TAuthClients: credentials and the registry's entries.
#include "core/IWZelkAuthBase.h"

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

void TAuthClient::SetClient(TZIWCustomCloudClient* Value) {
  FClient = Value;
  FGuard = Value != nullptr ? Value->FGuard : nullptr;
}

void TAuthClient::Assign(rtl::TPersistent* Source) {
  auto* Other = dynamic_cast<TAuthClient*>(Source);
  if (Other == nullptr || Other == this) return;
  FClient = Other->FClient;
  FGuard = Other->FGuard;
  FID = Other->FID;
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

}  // namespace zelk::IWZelkAuthBase
