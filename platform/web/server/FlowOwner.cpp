#include "platform/web/server/FlowOwner.h"

#include <string>
#include <vector>

namespace zelk::web {

namespace {

// Every component among Root's (at any depth) that is a T.
template <typename T>
void Collect(const rtl::TComponent& Root, std::vector<T*>& Found) {
  for (int I = 0; I < Root.ComponentCount(); ++I) {
    rtl::TComponent* C = Root.Components(I);
    if (auto* D = dynamic_cast<T*>(C)) Found.push_back(D);
    Collect(*C, Found);
  }
}

}  // namespace

std::string FlowKeyOf(const THttpRequest& Request) {
  return FlowNameOf(Request).Key;
}

std::vector<std::string> OpenFlowKeysOf(const rtl::TComponent& Root) {
  std::vector<IIWSessionMember*> Members;
  Collect(Root, Members);
  std::vector<std::string> Keys;
  for (const IIWSessionMember* M : Members)
    for (std::string& K : M->OpenFlowKeys())
      Keys.push_back(std::move(K));
  return Keys;
}

std::string MetricsOf(const TIWServerControllerBase& Controller) {
  std::vector<IIWMetricsSource*> Sources;
  Collect(Controller, Sources);
  std::string Text;
  for (const IIWMetricsSource* S : Sources)
    Text += S->MetricsText();
  return Text;
}

TIWSessionPtr AcquireFlowSession(const TIWServerControllerBase& Controller,
                                 const THttpRequest& Request, TIWSessionList& Sessions) {
  TRoutedFlow Routed;
  return FindFlowSession(Controller, FlowNameOf(Request), Sessions, Routed);
}

TIWSessionPtr FindFlowSession(const TIWServerControllerBase& Controller, const TFlowName& Name,
                              TIWSessionList& Sessions, TRoutedFlow& Routed) {
  Routed = TRoutedFlow{Name, nullptr, nullptr};
  if (!Name.Named()) return nullptr;
  std::vector<IIWFlowDirectory*> Directories;
  Collect(Controller, Directories);
  TIWSessionPtr Session;
  for (IIWFlowDirectory* D : Directories) {
    // While the directory visits, the owner it names is whole and its session, even one being
    // freed, still knows its application.
    const auto Acquire = [&](const rtl::TComponent& Top, const std::shared_ptr<const void>& Found) {
      Session = Sessions.AcquireByApplication(&Top);
      if (Session) {
        Routed.Directory = D;
        Routed.Found = Found;
      }
      return Session != nullptr;
    };
    if (D->VisitFlow(Routed.Name, Acquire)) return Session;
  }
  return nullptr;
}

std::size_t CountOpenFlows(const TIWServerControllerBase& Controller) {
  std::vector<IIWFlowDirectory*> Directories;
  Collect(Controller, Directories);
  std::size_t Open = 0;
  for (IIWFlowDirectory* D : Directories)
    Open += D->OpenFlowCount();
  return Open;
}

}  // namespace zelk::web
