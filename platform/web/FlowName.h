// How a request names the flow of ours it returns from: the one rule the server, the
// application's hook and the auth server controller all go by; and what the server found for
// that flow, handed on with the request.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace zelk::web {

class IIWFlowDirectory;
class THttpRequest;

// "state" (OAuth 2.0), else "clientid" (our identifier in the return address), else the
// OAuth 1.0a request token: "oauth_token", or "denied" when the user refused at the provider.
// A parameter that is present but empty names nothing and gives way to the next.
struct TFlowName {
  enum class TBy : std::uint8_t { None, State, ClientID, RequestToken, Denied };
  TBy By = TBy::None;
  std::string Key;  // the identifier or request token; empty with None

  bool Named() const { return By != TBy::None; }
  // Named by the provider's request token rather than an identifier of ours.
  bool ByToken() const { return By == TBy::RequestToken || By == TBy::Denied; }
  bool operator==(const TFlowName&) const = default;
};

// What the server found for a provider's return while it looked for the return's session: how
// the request names its flow, the flow directory that knows the flow and that directory's own
// record of it (opaque to everyone else), so that the directory completes the flow without
// looking for it again. Without Directory (a flow found in the session store, or a record no
// longer current) only Name is known.
struct TRoutedFlow {
  TFlowName Name;
  const IIWFlowDirectory* Directory = nullptr;
  std::shared_ptr<const void> Found;
};

// The flow Request names: the name the server found it by (THttpRequest::RoutedFlow), else the
// rule of TFlowName applied to its query.
TFlowName FlowNameOf(const THttpRequest& Request);

}  // namespace zelk::web
