// Unit IWTwitterAuthClient: sign-in with Twitter over three-legged OAuth 1.0a, and status
// updates for the signed-in user.
//
// The flow, step by step:
//  1. The application calls Login(WebApplication). The client makes a fresh client identifier,
//     writes it into its registry entries and builds the return address
//     <application URL>/?clientid=<identifier>.
//  2. Login asks Twitter for a request token: a signed POST to "/oauth/request_token" whose body
//     carries the return address as "oauth_callback". Twitter answers
//     "oauth_token=..&oauth_token_secret=..&oauth_callback_confirmed=true".
//  3. The client keeps the request-token secret for step 6 and sends the browser to
//     "https://<Twitter API host>/oauth/authorize?oauth_token=<request token>". The secret never
//     travels through the browser.
//  4. The user allows or denies access. Twitter sends the browser back to the return address
//     with "oauth_token" and "oauth_verifier", or with "denied".
//  5. The application hands the request to TZIWAuthServerController::ProcessRequest, which
//     finds this client by "clientid" and calls LoginResponse.
//  6. LoginResponse trades the request token and the verifier for an access token with a signed
//     GET to "/oauth/access_token", signed with the request-token secret. The reply carries the
//     access token, its secret, "user_id" and "screen_name".
//  7. The outcome is stored (LoginResult, LoginID, LoginUsername) and OnLoginOK or
//     OnLoginFailed is raised.
//  8. Later, Post(S) publishes a status with a signed POST to "/1/statuses/update.json",
//     signed with the access token and its secret; OnPostOK or OnPostFailed reports it.
//
// Every call is signed with HMAC-SHA1 over the signature base string of RFC 5849: the method,
// the encoded URL and the sorted, encoded parameters, each part percent-encoded once more.
#pragma once

#include <functional>
#include <string>

#include "core/IWZelkAuthBase.h"
#include "platform/rtl/StringList.h"

namespace zelk::IWTwitterAuthClient {

using IWZelkAuthBase::TIWApp;
using IWZelkAuthBase::TIWResult;
using IWZelkAuthBase::TZIWAuthServerController;
using IWZelkAuthBase::TZIWCustomCloudClient;
using web::THttpRequest;
using web::TIWApplication;
using enum IWZelkAuthBase::TIWResult;

// Twitter accepted a status update; PostID is the id Twitter gave it.
using TIWPostOKEvent = std::function<void(rtl::TObject* Sender, std::string PostID)>;
// A status update was not accepted; ErrorMessage is Twitter's whole reply.
using TIWPostFailedEvent = std::function<void(rtl::TObject* Sender, std::string ErrorMessage)>;

// A signed POST as it is built before it is sent.
struct TSignedPost {
  // Every signed entry, name "=" percent-encoded value, sorted, joined with "&".
  std::string ParameterString;
  // "POST&" + encoded URL + "&" + encoded parameter string.
  std::string BaseString;
  // Encoded consumer secret "&" encoded token secret.
  std::string SigningKey;
  // Base64 of the HMAC-SHA1 digest, percent-encoded as it appears in the header.
  std::string Signature;
  // "Authorization: OAuth " and the OAuth entries with the signature, quoted, in their order.
  std::string Header;
  // The request entries: sorted, percent-encoded, joined with "&".
  std::string Body;
};

// Builds a signed POST to https://<Host><Path>. OAuth holds the OAuth entries (they go to the
// Authorization header, in their order, values as given), Request the request's own entries
// (they go to the body, each value percent-encoded). Both lists are signed; the values of both
// are percent-encoded once more for the parameter string, so a value that is already encoded
// gets encoded twice there. Names are used as given.
TSignedPost SignPost(const std::string& Host, const std::string& Path,
                     const rtl::TStringList& OAuth, const rtl::TStringList& Request,
                     const std::string& ConsumerSecret, const std::string& TokenSecret);

// SignPost, then Https_Post with the Authorization header as the only extra header. Returns
// the reply body; transport failures raise.
std::string SignedPost(const std::string& Host, const std::string& Path,
                       const rtl::TStringList& OAuth, const rtl::TStringList& Request,
                       const std::string& ConsumerSecret, const std::string& TokenSecret);

// The signature of a base string under the two secrets: percent-encoded Base64 of
// HMAC-SHA1(BaseString, URLEncode(ConsumerSecret) "&" URLEncode(TokenSecret)).
std::string OAuthSignature(const std::string& BaseString, const std::string& ConsumerSecret,
                           const std::string& TokenSecret);

// Reads a token reply ("name=value" pairs joined by "&") into a name=value list. Every "&"
// becomes ", " and the result is read as comma text: entries are separated by commas or blanks
// and double quotes group an entry. Values stay as they stand (no percent-decoding).
rtl::TStringList ReadFormReply(const std::string& Reply);

// Signs a user in with Twitter and posts status updates for that user.
//
// Contract: set App (consumer key and secret) and ServerController before Login. LoginResponse
// runs when the controller routes Twitter's return to this client; it reports through
// LoginResult, LoginError, LoginID and LoginUsername and raises OnLoginOK or OnLoginFailed. A
// return with neither "oauth_token" nor "denied" fails and clears LoginID and LoginUsername.
// Post may be called at any time; it signs with the access token of the last completed
// sign-in (an unfinished new sign-in does not disturb it) and reports through OnPostOK or
// OnPostFailed only. Transport failures raise and raise no event. Every operation holds the
// client's lock; handlers may call back into the client.
class TZIWTwitterAuthClient : public TZIWCustomCloudClient {
 public:
  explicit TZIWTwitterAuthClient(rtl::TComponent* AOwner);
  ~TZIWTwitterAuthClient() override;
  std::string ClassName() const override { return "TZIWTwitterAuthClient"; }

  void Login(TIWApplication* WebApplication) override;
  void LoginResponse(const THttpRequest& Request) override;
  void Post(const std::string& S);

  using TZIWCustomCloudClient::App;
  using TZIWCustomCloudClient::LoginID;
  using TZIWCustomCloudClient::LoginUsername;
  using TZIWCustomCloudClient::OnLoginFailed;
  using TZIWCustomCloudClient::OnLoginOK;
  using TZIWCustomCloudClient::SetLoginID;
  using TZIWCustomCloudClient::SetLoginUsername;
  using TZIWCustomCloudClient::SetOnLoginFailed;
  using TZIWCustomCloudClient::SetOnLoginOK;

  TIWPostFailedEvent OnPostFailed() const;
  void SetOnPostFailed(TIWPostFailedEvent Value);
  TIWPostOKEvent OnPostOK() const;
  void SetOnPostOK(TIWPostOKEvent Value);

 private:
  // The signed access-token exchange and its reply.
  void ExchangeRequestToken(const std::string& RequestToken, const std::string& Verifier);

  // Access token and secret of the signed-in user: written only by a completed access-token
  // exchange, read by Post.
  std::string FToken;
  std::string FTokenSecret;
  // The secret of the request token of the sign-in in progress: written by Login, read only by
  // LoginResponse, so an abandoned sign-in cannot take away the access-token secret.
  std::string FRequestTokenSecret;
  TIWPostFailedEvent FOnPostFailed;
  TIWPostOKEvent FOnPostOK;
};

// Makes TZIWTwitterAuthClient and its published properties known to the class registry (form
// files): the inherited ServerController, then App, OnLoginOK, OnLoginFailed, OnPostFailed and
// OnPostOK. Registers the base classes too. Idempotent and thread-safe; loading the library
// registers nothing by itself.
void RegisterTwitterAuthClientClass();

}  // namespace zelk::IWTwitterAuthClient
