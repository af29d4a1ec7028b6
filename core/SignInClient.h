// TZIWSignInClient: the base of the sign-in clients. It publishes what every sign-in client
// shows (credentials, the signed-in user's id and name, the login events, the API generation),
// which the payment client keeps hidden.
#pragma once

#include <string>

#include "core/CloudClient.h"

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
};

}  // namespace zelk::IWZelkAuthBase
