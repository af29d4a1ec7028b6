#include "platform/web/server/FlowOwner.h"

#include <string>
#include <vector>

#include "core/IWZelkAuthBase.h"

namespace zelk::web {

namespace {

using IWZelkAuthBase::TZIWAuthServerController;

void CollectAuthControllers(const rtl::TComponent& Root,
                            std::vector<TZIWAuthServerController*>& Found) {
  for (int I = 0; I < Root.ComponentCount(); ++I) {
    rtl::TComponent* C = Root.Components(I);
    if (auto* AC = dynamic_cast<TZIWAuthServerController*>(C)) Found.push_back(AC);
    CollectAuthControllers(*C, Found);
  }
}

}  // namespace

TIWSessionPtr AcquireFlowSession(const TIWServerControllerBase& Controller,
                                 const THttpRequest& Request, TIWSessionList& Sessions) {
  std::string Value = Request.Query("state");
  if (Value.empty()) Value = Request.Query("clientid");
  if (Value.empty()) return nullptr;
  std::vector<TZIWAuthServerController*> Controllers;
  CollectAuthControllers(Controller, Controllers);
  for (TZIWAuthServerController* AC : Controllers) {
    // Under the registry's lock a listed client has not finished leaving it, so it and the
    // components above it are still whole, and its session, even one being freed, still
    // knows its application.
    // The registry's index finds the entries with the identifier, in collection order,
    // without walking every session's entries.
    auto Lock = AC->LockClients();
    for (const auto* Entry : AC->Clients()->Find(Value)) {
      if (Entry->Client() == nullptr) continue;
      const rtl::TComponent* Top = Entry->Client();
      while (Top->Owner() != nullptr)
        Top = Top->Owner();
      if (TIWSessionPtr Session = Sessions.AcquireByApplication(Top)) return Session;
    }
  }
  return nullptr;
}

}  // namespace zelk::web
