#include "platform/web/server/FlowOwner.h"

#include <string>
#include <vector>

namespace zelk::web {

namespace {

void CollectDirectories(const rtl::TComponent& Root, std::vector<IIWFlowDirectory*>& Found) {
  for (int I = 0; I < Root.ComponentCount(); ++I) {
    rtl::TComponent* C = Root.Components(I);
    if (auto* D = dynamic_cast<IIWFlowDirectory*>(C)) Found.push_back(D);
    CollectDirectories(*C, Found);
  }
}

}  // namespace

TIWSessionPtr AcquireFlowSession(const TIWServerControllerBase& Controller,
                                 const THttpRequest& Request, TIWSessionList& Sessions) {
  std::string Value = Request.Query("state");
  if (Value.empty()) Value = Request.Query("clientid");
  // Without an identifier of ours, an OAuth 1.0a return names its flow by the request token
  // ("denied" carries it when the user refused).
  const bool ByToken = Value.empty();
  if (ByToken) Value = Request.Query("oauth_token");
  if (Value.empty()) Value = Request.Query("denied");
  if (Value.empty()) return nullptr;
  std::vector<IIWFlowDirectory*> Directories;
  CollectDirectories(Controller, Directories);
  TIWSessionPtr Found;
  for (IIWFlowDirectory* D : Directories) {
    // While the directory visits, the owner it names is whole and its session, even one being
    // freed, still knows its application.
    const auto Acquire = [&](const rtl::TComponent& Top) {
      Found = Sessions.AcquireByApplication(&Top);
      return Found != nullptr;
    };
    if (ByToken ? D->VisitFlowTokenOwners(Value, Acquire) : D->VisitFlowOwners(Value, Acquire))
      return Found;
  }
  return nullptr;
}

std::size_t CountOpenFlows(const TIWServerControllerBase& Controller) {
  std::vector<IIWFlowDirectory*> Directories;
  CollectDirectories(Controller, Directories);
  std::size_t Open = 0;
  for (IIWFlowDirectory* D : Directories)
    Open += D->OpenFlowCount();
  return Open;
}

}  // namespace zelk::web
