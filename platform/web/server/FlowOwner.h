// Which session a provider's return belongs to. A returning request names its flow by the one
// rule of FlowNameOf (the same the auth server controller routes by); the client whose registry
// entry carries that name belongs to the session whose application object owns it; the
// components that route flows (flow directories) tell which that is. The server
// serves such a request under that session's lock, so the session's components never see two
// threads at once.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/web/FlowName.h"
#include "platform/web/HttpRequest.h"
#include "platform/web/IWApplication.h"
#include "platform/web/server/Sessions.h"

namespace zelk::web {

// The session that owns the client of the flow Request names, marked in use (release it
// through Sessions; it may be Ended by the time its lock is had), or none: no flow identifier in
// the query, no entry carries it, or its client belongs to no session (a client the server
// controller shares between sessions). Every flow directory (IIWFlowDirectory) among
// Controller's components (at any depth) is asked.
TIWSessionPtr AcquireFlowSession(const TIWServerControllerBase& Controller,
                                 const THttpRequest& Request, TIWSessionList& Sessions);
// The same for a flow already named (FlowNameOf), looked up once: Routed gets Name and, when a
// session was found, the directory that knows the flow and its record of it, for the request to
// carry on (THttpRequest::SetRoutedFlow).
TIWSessionPtr FindFlowSession(const TIWServerControllerBase& Controller, const TFlowName& Name,
                              TIWSessionList& Sessions, TRoutedFlow& Routed);

// The flows that wait for their provider's return, summed over every flow directory among
// Controller's components (at any depth).
std::size_t CountOpenFlows(const TIWServerControllerBase& Controller);

// The key of the flow a provider's return belongs to (FlowNameOf); empty for a request that is
// no return.
std::string FlowKeyOf(const THttpRequest& Request);
// The keys of the flows in progress of every session member among Root's components (at any
// depth).
std::vector<std::string> OpenFlowKeysOf(const rtl::TComponent& Root);
// The metrics every metrics source among Controller's components (at any depth) adds.
std::string MetricsOf(const TIWServerControllerBase& Controller);

}  // namespace zelk::web
