// Unit IWFacebookAuthClient: sign-in with a Facebook account (OAuth 2.0 authorization-code
// flow) and posting a status message to the signed-in user's wall.
//
// The flow, step by step:
//  1. The application calls Login(WebApplication). The client makes a fresh identifier and
//     writes it into its entries of ServerController's registry.
//  2. The return address is the application's URL with every "127.0.0.1" replaced by
//     "localhost" (Facebook refuses a bare loopback address as a site address), then
//     "/?clientid=" and the identifier. It is kept unencoded in FUrl and sent unencoded both in
//     the dialog URL and in the token request, so both carry the same text.
//  3. The browser is sent to the web host's "/dialog/oauth", always asking for
//     "publish_stream,email,user_birthday" (Scopes only selects what the profile call reads).
//  4. Facebook sends the browser back with "code" (or an error) after the identifier; the
//     application hands the request to TZIWAuthServerController::ProcessRequest, which routes
//     it by "clientid" to this client's LoginResponse.
//  5. LoginResponse exchanges the code at the Graph host's "/oauth/access_token" with a GET.
//     The token is taken from a JSON reply ({"access_token": "..."}) or, for the older
//     form-encoded reply, from between its first "=" and its first "&". The token is kept for
//     Post.
//  6. The profile comes from "/me" with the fields id, name, picture (plus email and birthday as
//     Scopes select); LoginResult, LoginID, LoginUsername and User are filled and OnLoginOK or
//     OnLoginFailed is raised.
//  7. Later, Post(S) publishes S through the REST host's "/method/stream.publish" with the kept
//     token and reports through OnPostOK (with the post id) or OnPostFailed.
// A transport failure leaves the outcome as it was and raises no event: the exception reaches
// the caller.
//
// With Api = apCurrent the client speaks the present Graph API (version GraphVersion): the
// dialog at "/<version>/dialog/oauth" with the fixed return address (the application's URL and
// "/"), the identifier as "state", the scopes public_profile plus email and user_birthday as
// Scopes select and a PKCE challenge (S256); the code exchange at
// "/<version>/oauth/access_token" with the flow's verifier; the profile from "/<version>/me"
// with the token and its appsecret_proof (hex HMAC-SHA256 of the token keyed with the app
// secret). Facebook offers no API for posting to a user's timeline any more, so Post sends
// nothing and reports OnPostFailed.
//
// Both generations are descriptions (core/OAuth2Description.h) that the generic flow
// (core/OAuth2Client.h) runs; the client chooses one at Login, and Post asks the one of Api.
// The host settings are in providers/FacebookHosts.h.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "core/IWZelkAuthBase.h"
#include "core/OAuth2Client.h"
#include "core/UserRecord.h"
#include "platform/rtl/Set.h"
#include "providers/FacebookHosts.h"

namespace zelk::IWFacebookAuthClient {

enum class TFacebookScope { fbEmail, fbBirthDay };
using enum TFacebookScope;
using TIWScopes = rtl::TSet<TFacebookScope>;

// The outcome events of Post: the id of the new post, or the provider's error text.
using TIWPostOKEvent = std::function<void(rtl::TObject* Sender, std::string PostID)>;
using TIWPostFailedEvent = std::function<void(rtl::TObject* Sender, std::string ErrorMessage)>;

class TZIWFacebookAuthClient;

// The optional profile data of the signed-in Facebook user. Written only by the client's
// LoginResponse, and only for members the profile carries (Email and Birthday also only when
// their scope is selected). Safe to read from any thread.
class TFacebookUser : public IWZelkAuthBase::TUserRecord {
  friend void RegisterClasses();

 public:
  TFacebookUser() = default;
  std::string ClassName() const override { return "TFacebookUser"; }
  std::string Email() const { return Read(FEmail); }
  std::string Birthday() const { return Read(FBirthday); }
  // The text of the profile's "picture" member; today an object, given as its JSON text.
  std::string Picture() const { return Read(FPicture); }

 private:
  friend class TZIWFacebookAuthClient;
  void SetEmail(std::string Value) { Write(FEmail, std::move(Value)); }
  void SetPicture(std::string Value) { Write(FPicture, std::move(Value)); }
  void SetBirthday(std::string Value) { Write(FBirthday, std::move(Value)); }
  std::string FEmail;
  std::string FPicture;
  std::string FBirthday;
};

// The Facebook sign-in and posting component. Every operation holds the client's lock, so one
// instance may be shared by several sessions; the last sign-in to complete wins, and Post uses
// the token of the last successful token exchange (it is never cleared by a later failure).
// What OnPostFailed reports for Post in current mode.
inline constexpr const char* kNoTimelinePosting =
    "Facebook offers no API for posting to a user's timeline: Post is unavailable when Api is "
    "apCurrent";

class TZIWFacebookAuthClient : public IWZelkAuthBase::TZIWOAuth2Client {
  friend void RegisterClasses();

 public:
  explicit TZIWFacebookAuthClient(rtl::TComponent* AOwner);
  ~TZIWFacebookAuthClient() override;
  std::string ClassName() const override { return "TZIWFacebookAuthClient"; }

  void SignOut() override;
  // Publishes S on the signed-in user's wall. Does nothing before a token was obtained.
  // OnPostOK only for a reply that is a post id ("<user id>_<post id>", bare or as a JSON
  // string), with the part after the "_"; any other reply raises OnPostFailed with the error
  // document's message, or else the reply's first 200 characters. Each event only when it is
  // assigned. In current mode nothing is sent and OnPostFailed (when assigned) receives
  // kNoTimelinePosting.
  void Post(const std::string& S);

  TIWScopes Scopes() const;
  void SetScopes(TIWScopes Value);
  // The Graph API version of current mode, "v" and two numbers ("v25.0"); anything else raises
  // Exception and keeps the value.
  std::string GraphVersion() const;
  void SetGraphVersion(std::string Value);
  TIWPostFailedEvent OnPostFailed() const;
  void SetOnPostFailed(TIWPostFailedEvent Value);
  TIWPostOKEvent OnPostOK() const;
  void SetOnPostOK(TIWPostOKEvent Value);
  // The owned user record. SetUser takes ownership and frees the record it replaces, so a
  // pointer obtained earlier from User() must not be used after it.
  TFacebookUser* User() const;
  void SetUser(std::unique_ptr<TFacebookUser> Value);

 private:
  // A generation of the Graph API: the sign-in flow and what Post does.
  class TDescription;
  class TClassic;
  class TCurrent;
  // The token as it goes into a request path.
  std::string TokenInPath() const;
  // Raises the post events with a copy of the handler (a handler may replace it).
  void PostFailed(const std::string& Message);
  void PostOK(const std::string& PostID);

  std::string FGraphVersion = "v25.0";
  std::string FToken;
  // A token read from a JSON reply is plain text and is percent-encoded in paths; one cut from
  // a form-encoded reply is already in its encoded form and goes as it came, except for bytes
  // no request target may hold.
  bool FTokenFromJSON = false;
  TIWScopes FScopes;
  std::unique_ptr<TFacebookUser> FUser;
  TIWPostFailedEvent FOnPostFailed;
  TIWPostOKEvent FOnPostOK;
  const std::unique_ptr<TClassic> FClassic;
  const std::unique_ptr<TCurrent> FCurrent;
};

// Registers the class metadata of TZIWFacebookAuthClient (and its ancestors) with the class
// registry, so form files can create it and store its published properties, and sessions' states
// keep its run-time state: the user record, the access token Post uses, the classic flow's return
// address and the current flow in progress. Idempotent.
void RegisterClasses();

}  // namespace zelk::IWFacebookAuthClient
