// TZIWSignInClient: the base of the sign-in clients. It publishes what every sign-in client
// shows (credentials, the signed-in user's id and name, the login events, the API generation),
// which the payment client keeps hidden, and carries the client's own endpoint settings.
#pragma once

#include <string>

#include "core/CloudClient.h"
#include "core/Endpoints.h"

namespace zelk::IWZelkAuthBase {

class TZIWSignInClient : public IWZelkAuthBase::TZIWCustomCloudClient {
 protected:
  // Within a sign-in client, the name of the client base means this class, so that a client's
  // constructor and its calls of the base's Login, LoginResponse and SignOut read as they did
  // when it derived from TZIWCustomCloudClient directly. (Hence the qualified names below.)
  using TZIWCustomCloudClient = TZIWSignInClient;

 public:
  explicit TZIWSignInClient(rtl::TComponent* AOwner)
      : IWZelkAuthBase::TZIWCustomCloudClient(AOwner) {}

  using IWZelkAuthBase::TZIWCustomCloudClient::Api;
  using IWZelkAuthBase::TZIWCustomCloudClient::App;
  using IWZelkAuthBase::TZIWCustomCloudClient::LoginID;
  using IWZelkAuthBase::TZIWCustomCloudClient::LoginUsername;
  using IWZelkAuthBase::TZIWCustomCloudClient::OnLoginFailed;
  using IWZelkAuthBase::TZIWCustomCloudClient::OnLoginOK;
  using IWZelkAuthBase::TZIWCustomCloudClient::SetApi;
  using IWZelkAuthBase::TZIWCustomCloudClient::SetLoginID;
  using IWZelkAuthBase::TZIWCustomCloudClient::SetLoginUsername;
  using IWZelkAuthBase::TZIWCustomCloudClient::SetOnLoginFailed;
  using IWZelkAuthBase::TZIWCustomCloudClient::SetOnLoginOK;

  // This client's own host settings over the process-wide table (core/Endpoints.h): set one to
  // point this client alone elsewhere (a test double, a proxy).
  TEndpoints Endpoints() const {
    auto L = Lock();
    return FEndpoints;
  }
  void SetEndpoints(TEndpoints Value) {
    auto L = Lock();
    FEndpoints = std::move(Value);
  }

 protected:
  // The host Which has for this client: its own setting, else the process-wide one.
  std::string Host(TProviderHost Which) const {
    auto L = Lock();
    return FEndpoints.Host(Which);
  }

 private:
  TEndpoints FEndpoints;
};

}  // namespace zelk::IWZelkAuthBase
