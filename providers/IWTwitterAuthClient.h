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
//
// With Api = apCurrent the client speaks the provider's present API on the X API host, over
// HTTP/1.1:
//  1. Login still makes a fresh identifier (it spends any earlier flow), then asks for a request
//     token with oauth_callback = <application URL>/, the same for every flow: the provider
//     accepts only callbacks on the application's allow list, exactly as registered.
//  2. The browser goes to "/oauth/authenticate?oauth_token=<request token>"; the client
//     registers the request token with the controller as the flow's token.
//  3. The provider returns "oauth_token" and "oauth_verifier" (or "denied" with the request
//     token); the controller routes the return by that token.
//  4. LoginResponse checks that the token is the one of its flow and trades token and verifier
//     for the access token with a signed POST to "/oauth/access_token"; "user_id" becomes
//     LoginID, "screen_name" LoginUsername. A reply without a token fails with its text.
//  5. Post(S) sends POST "/2/tweets" with the JSON body {"text":S}; the OAuth signature covers
//     the method, the URL and the OAuth parameters (a JSON body is not signed). A reply with
//     "data.id" raises OnPostOK with it; anything else OnPostFailed with the provider's "detail",
//     "title" or "errors[0].message".
// Header values are percent-encoded and separated by ", " (RFC 5849 section 3.5.1).
//
// How it is built: the legs run in the generic OAuth 1.0a flow (core/OAuth1Flow.h), which keeps
// the tokens and secrets and decides what an outcome changes. The two generations are two
// descriptions of that flow (providers/TwitterGenerationDetail.h: hosts, paths, signing, reply
// formats, the status update); Login chooses one from Api for the whole flow, and the signed-in
// user's posts go through the same one. A client restored from a saved session chooses it at
// its first use.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/IWZelkAuthBase.h"
#include "core/OAuth1Flow.h"
#include "core/SignInClient.h"
#include "platform/rtl/StringList.h"
#include "providers/TwitterHosts.h"

namespace zelk::IWTwitterAuthClient {

namespace detail {
class TTwitterGeneration;
}

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

// SignPost, then a classic POST through Via with the Authorization header as the only extra
// header. Returns the reply body; transport failures raise.
std::string SignedPost(const std::string& Host, const std::string& Path,
                       const rtl::TStringList& OAuth, const rtl::TStringList& Request,
                       const std::string& ConsumerSecret, const std::string& TokenSecret,
                       const IWZelkAuthBase::TTransport& Via = IWZelkAuthBase::TTransport());

// The signature of a base string under the two secrets: percent-encoded Base64 of
// HMAC-SHA1(BaseString, URLEncode(ConsumerSecret) "&" URLEncode(TokenSecret)).
std::string OAuthSignature(const std::string& BaseString, const std::string& ConsumerSecret,
                           const std::string& TokenSecret);

// Reads a token reply ("name=value" pairs joined by "&") into a name=value list. Every "&"
// becomes ", " and the result is read as comma text: entries are separated by commas or blanks
// and double quotes group an entry. Values stay as they stand (no percent-decoding).
rtl::TStringList ReadFormReply(const std::string& Reply);

// A signed call of current mode as it is built before it is sent.
struct TSignedCall {
  // Every signed parameter, name "=" value, both percent-encoded, sorted, joined with "&".
  std::string ParameterString;
  // Method "&" encoded URL "&" encoded parameter string.
  std::string BaseString;
  // Base64 of the HMAC-SHA1 digest (not percent-encoded).
  std::string Signature;
  // "Authorization: OAuth " and the OAuth parameters and the signature, values percent-encoded
  // and quoted, in the given order, joined with ", ".
  std::string Header;
};

// Signs a call of current mode to https://<Host><Path>. OAuth holds the protocol parameters,
// Form the parameters of a form body (empty for a JSON body, which is not signed); values are
// raw and encoded here exactly once, as RFC 5849 prescribes.
TSignedCall SignCall(const std::string& Method, const std::string& Host, const std::string& Path,
                     const std::vector<std::pair<std::string, std::string>>& OAuth,
                     const std::vector<std::pair<std::string, std::string>>& Form,
                     const std::string& ConsumerSecret, const std::string& TokenSecret);

// Decodes a form-encoded reply ("name=value" pairs joined by "&", "+" a blank, "%XX" escapes)
// into its pairs in order. A malformed escape is kept as it stands.
std::vector<std::pair<std::string, std::string>> DecodeFormReply(const std::string& Reply);

// The error text of a provider's v2 JSON document: "detail", else "title", else the "message"
// of the first of "errors"; empty when it carries none.
std::string XErrorText(const IWZelkAuthBase::TJSONObject& Reply);

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
class TZIWTwitterAuthClient : public IWZelkAuthBase::TZIWSignInClient {
  friend void RegisterTwitterAuthClientClass();

 public:
  explicit TZIWTwitterAuthClient(rtl::TComponent* AOwner);
  ~TZIWTwitterAuthClient() override;
  std::string ClassName() const override { return "TZIWTwitterAuthClient"; }

  void Login(TIWApplication* WebApplication) override;
  void LoginResponse(const THttpRequest& Request) override;
  void SignOut() override;
  void Post(const std::string& S);

  TIWPostFailedEvent OnPostFailed() const;
  void SetOnPostFailed(TIWPostFailedEvent Value);
  TIWPostOKEvent OnPostOK() const;
  void SetOnPostOK(TIWPostOKEvent Value);

 private:
  // The generation the flow in progress and the signed-in user's posts speak: the one Login
  // chose, else (a restored session, a post before any sign-in) the one Api names, chosen now.
  const detail::TTwitterGeneration& Generation();
  IWZelkAuthBase::TOAuth1Consumer Consumer() const;
  // Reports what a leg came to through LoginResult, LoginError, LoginID and LoginUsername.
  void Apply(const IWZelkAuthBase::TOAuth1Outcome& Outcome);
  // Raises the post events with a copy of the handler (a handler may replace it).
  void PostFailed(const std::string& Message);
  void PostOK(const std::string& PostID);

  const detail::TTwitterGeneration* FGeneration = nullptr;
  // The sign-in in progress and the signed-in user's access token and secret.
  IWZelkAuthBase::TOAuth1Flow FFlow;
  TIWPostFailedEvent FOnPostFailed;
  TIWPostOKEvent FOnPostOK;
};

// Makes TZIWTwitterAuthClient and its published properties known to the class registry (form
// files): the inherited ServerController, then App, Api (stored only when not apClassic),
// OnLoginOK, OnLoginFailed, OnPostFailed and OnPostOK; and its run-time state (sessions' states):
// the access token and secret Post signs with, the request token and secret of the sign-in in
// progress. Registers the base classes too. Idempotent and thread-safe; loading the library
// registers nothing by itself.
void RegisterTwitterAuthClientClass();

}  // namespace zelk::IWTwitterAuthClient
