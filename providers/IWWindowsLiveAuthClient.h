// Unit IWWindowsLiveAuthClient: sign-in with a Windows Live account (OAuth 2.0
// authorization-code flow).
//
// The flow, step by step:
//  1. The application calls Login(WebApplication). The client makes a fresh identifier and
//     writes it into its entries of ServerController's registry.
//  2. The return address starts from StandaloneRedirectURL when it is set (an application
//     behind a proxy or registered under a fixed address), else from the application's URL;
//     "?clientid=" and the identifier follow directly, without a "/". It is kept unencoded in
//     FUrl: unencoded in the authorization URL, URL-encoded in the token request body.
//  3. The browser is sent to the login host's "/oauth20_authorize.srf" with the scopes
//     ("wl.basic", then "wl.birthday" and "wl.emails" as Scopes select) and the return address.
//  4. Live sends the browser back with "code" and "clientid"; the application hands the request
//     to TZIWAuthServerController::ProcessRequest, which routes it to LoginResponse.
//  5. LoginResponse posts the code to "/oauth20_token.srf", reads the profile from "/v5.0/me"
//     on the REST API host, fills LoginResult, LoginID, LoginUsername and User (gender;
//     birthday as year\month\day; preferred or account e-mail) and raises OnLoginOK or
//     OnLoginFailed. Every failure clears LoginError: the provider's text is never shown.
// A transport failure leaves the outcome as it was and raises no event: the exception reaches
// the caller of ProcessRequest.
//
// With Api = apCurrent the client signs Microsoft accounts in through the Microsoft identity
// platform (v2.0): the browser goes to "/<Tenant>/oauth2/v2.0/authorize" on the login host with
// the scopes "openid profile email User.Read", the identifier as "state", a PKCE challenge and
// the fixed return address (StandaloneRedirectURL as it is, else the application's URL and
// "/"); the code goes to "/<Tenant>/oauth2/v2.0/token" with the verifier; the profile comes
// from Microsoft Graph's "/v1.0/me" with a Bearer header ("id", "displayName", "mail" or else
// "userPrincipalName"). Failures carry the provider's error text in LoginError.
//
// Both generations are descriptions (core/OAuth2Description.h) that the generic flow
// (core/OAuth2Client.h) runs; the client chooses one at Login. The host settings are in
// providers/WindowsLiveHosts.h.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "core/IWZelkAuthBase.h"
#include "core/OAuth2Client.h"
#include "core/UserRecord.h"
#include "platform/rtl/Set.h"
#include "providers/WindowsLiveHosts.h"

namespace zelk::IWWindowsLiveAuthClient {

enum class TWindowsLiveScope { wlEmail, wlBirthDay };
using enum TWindowsLiveScope;
using TIWScopes = rtl::TSet<TWindowsLiveScope>;

class TZIWWindowsLiveAuthClient;

// The optional profile data of the signed-in Live user. Written only by the client's
// LoginResponse, and only for members the profile carries (Birthday and Email also only when
// their scope is selected). Safe to read from any thread.
class TWindowsLiveUser : public IWZelkAuthBase::TUserRecord {
  friend void RegisterClasses();

 public:
  TWindowsLiveUser() = default;
  std::string ClassName() const override { return "TWindowsLiveUser"; }
  std::string Email() const { return Read(FEmail); }
  // Year, month and day joined by backslashes, e.g. 1984\7\21.
  std::string Birthday() const { return Read(FBirthday); }
  std::string Gender() const { return Read(FGender); }

 private:
  friend class TZIWWindowsLiveAuthClient;
  void SetEmail(std::string Value) { Write(FEmail, std::move(Value)); }
  void SetBirthday(std::string Value) { Write(FBirthday, std::move(Value)); }
  void SetGender(std::string Value) { Write(FGender, std::move(Value)); }
  std::string FEmail;
  std::string FBirthday;
  std::string FGender;
};

// The Windows Live sign-in component. Every operation holds the client's lock, so one instance
// may be shared by several sessions; the last sign-in to complete wins.
class TZIWWindowsLiveAuthClient : public IWZelkAuthBase::TZIWOAuth2Client {
  friend void RegisterClasses();

 public:
  explicit TZIWWindowsLiveAuthClient(rtl::TComponent* AOwner);
  ~TZIWWindowsLiveAuthClient() override;
  std::string ClassName() const override { return "TZIWWindowsLiveAuthClient"; }

  void SignOut() override;

  TIWScopes Scopes() const;
  void SetScopes(TIWScopes Value);
  // Read at each Login; empty means the application's URL.
  std::string StandaloneRedirectURL() const;
  void SetStandaloneRedirectURL(std::string Value);
  // Who may sign in with current mode: "common" (the default), "consumers", "organizations" or a
  // tenant's id or domain. Letters, digits, "-" and "." only; anything else raises Exception and
  // keeps the value.
  std::string Tenant() const;
  void SetTenant(std::string Value);
  // The owned user record. SetUser takes ownership and frees the record it replaces, so a
  // pointer obtained earlier from User() must not be used after it.
  TWindowsLiveUser* User() const;
  void SetUser(std::unique_ptr<TWindowsLiveUser> Value);

 private:
  class TClassic;
  class TCurrent;
  std::string FTenant = "common";
  TIWScopes FScopes;
  std::unique_ptr<TWindowsLiveUser> FUser;
  std::string FStandaloneRedirectURL;
  const std::unique_ptr<TClassic> FClassic;
  const std::unique_ptr<TCurrent> FCurrent;
};

// Registers the class metadata of TZIWWindowsLiveAuthClient (and its ancestors) with the class
// registry, so form files can create it and store its published properties, and sessions' states
// keep its run-time state: the user record, the classic flow's return address and the current
// flow in progress (no access token is kept). Idempotent.
void RegisterClasses();

}  // namespace zelk::IWWindowsLiveAuthClient
