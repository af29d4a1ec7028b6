// How a request names the flow of ours it returns from: the one rule the server, the
// application's hook and the auth server controller all go by.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "platform/web/HttpRequest.h"

namespace zelk::web {

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

inline TFlowName FlowNameOf(const THttpRequest& Request) {
  using TBy = TFlowName::TBy;
  for (const auto& [Field, By] :
       {std::pair{"state", TBy::State}, std::pair{"clientid", TBy::ClientID},
        std::pair{"oauth_token", TBy::RequestToken}, std::pair{"denied", TBy::Denied}})
    if (std::string Key = Request.Query(Field); !Key.empty()) return {By, std::move(Key)};
  return {};
}

}  // namespace zelk::web
