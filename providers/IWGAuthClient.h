// Unit IWGAuthClient: sign-in with a Google account (OAuth 2.0 authorization-code flow).
//
// The flow, step by step:
//  1. The application calls Login(WebApplication) while serving the user's request. The client
//     makes a fresh identifier and writes it into its entries of ServerController's registry.
//  2. The return address is the application's URL and "/", stored URL-encoded in FUrl; it goes
//     into the authorization URL and, later, into the token request exactly as stored, so the
//     provider sees the same redirect address twice.
//  3. The browser is sent to the accounts host's "/o/oauth2/auth" with the scopes (profile,
//     plus e-mail with gEmail), the identifier as "state", the return address, and the client
//     id; Login returns.
//  4. Google sends the browser back with "code" (or "error") and "state". The application hands
//     the request to TZIWAuthServerController::ProcessRequest, which routes it by "state" to
//     this client's LoginResponse.
//  5. LoginResponse posts the code to "/o/oauth2/token" for an access token, reads the profile
//     from "/oauth2/v1/userinfo" on the APIs host, fills LoginResult, LoginID, LoginUsername and
//     User, and raises OnLoginOK or OnLoginFailed.
// A transport failure leaves the outcome as it was and raises no event: the exception reaches
// the caller of ProcessRequest.
//
// With Api = apCurrent the client speaks Google's present endpoints: the browser goes to the
// accounts host's "/o/oauth2/v2/auth" with the scopes "openid profile" (and "email" with
// gEmail), the identifier as "state" and a PKCE challenge; the code goes to the OAuth host's
// "/token" with the verifier; the profile comes from the OpenID host's "/v1/userinfo" with a
// Bearer header. LoginID is the profile's "sub", the e-mail is taken only when Google reports
// it verified, and Picture is filled.
//
// Both generations are descriptions (core/OAuth2Description.h) that the generic flow
// (core/OAuth2Client.h) runs; the client chooses one at Login. The host settings are in
// providers/GoogleHosts.h.
#pragma once

#include <memory>
#include <string>

#include "core/IWZelkAuthBase.h"
#include "core/OAuth2Client.h"
#include "core/UserRecord.h"
#include "platform/rtl/Set.h"
#include "providers/GoogleHosts.h"

namespace zelk::IWGAuthClient {

enum class TGScope { gEmail };
using enum TGScope;
using TIWScopes = rtl::TSet<TGScope>;

class TZIWGAuthClient;

// The optional profile data of the signed-in Google user. Written only by the client's
// LoginResponse, and only for members the profile carries, so missing data keeps the values of
// an earlier sign-in. Safe to read from any thread.
class TGUser : public IWZelkAuthBase::TUserRecord {
  friend void RegisterClasses();

 public:
  TGUser() = default;
  std::string ClassName() const override { return "TGUser"; }
  std::string Email() const { return Read(FEmail); }
  std::string Gender() const { return Read(FGender); }
  // The address of the user's profile picture (current mode only).
  std::string Picture() const { return Read(FPicture); }

 private:
  friend class TZIWGAuthClient;
  void SetEmail(std::string Value) { Write(FEmail, std::move(Value)); }
  void SetGender(std::string Value) { Write(FGender, std::move(Value)); }
  void SetPicture(std::string Value) { Write(FPicture, std::move(Value)); }
  std::string FEmail;
  std::string FGender;
  std::string FPicture;
};

// The Google sign-in component. Every operation holds the client's lock, so one instance may be
// shared by several sessions; the last sign-in to complete wins.
class TZIWGAuthClient : public IWZelkAuthBase::TZIWOAuth2Client {
  friend void RegisterClasses();

 public:
  explicit TZIWGAuthClient(rtl::TComponent* AOwner);
  ~TZIWGAuthClient() override;
  std::string ClassName() const override { return "TZIWGAuthClient"; }

  void SignOut() override;

  TIWScopes Scopes() const;
  void SetScopes(TIWScopes Value);
  // The owned user record. SetUser takes ownership and frees the record it replaces, so a
  // pointer obtained earlier from User() must not be used after it.
  TGUser* User() const;
  void SetUser(std::unique_ptr<TGUser> Value);

 private:
  class TClassic;
  class TCurrent;
  TIWScopes FScopes;
  std::unique_ptr<TGUser> FUser;
  const std::unique_ptr<TClassic> FClassic;
  const std::unique_ptr<TCurrent> FCurrent;
};

// Registers the class metadata of TZIWGAuthClient (and its ancestors) with the class registry,
// so form files can create it and store its published properties, and sessions' states keep its
// run-time state: the user record, the classic flow's return address and the current flow in
// progress (no access token is kept). Idempotent.
void RegisterClasses();

}  // namespace zelk::IWGAuthClient
