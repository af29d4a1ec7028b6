// Unit OAuth1Flow: the three legs of an OAuth 1.0a sign-in, run by a description of the
// provider's API (TOAuth1Description), the same for every provider and generation.
//
// The flow, step by step:
//  1. Start (the client's Login, after it made a fresh flow identifier): the description names
//     the callback for the identifier and asks the provider for a request token, signed with
//     the consumer secret alone. A refusal ends the start with what the description made of the
//     reply. A granted token's secret stays in the flow (it never travels through the browser:
//     its URLs end up in history and logs) and the browser goes to the description's authorize
//     address for the token.
//  2. The user allows or denies access; the provider sends the browser back with "oauth_token"
//     and "oauth_verifier", or with "denied". The controller routes the return by the
//     identifier in the callback or, for a description that routes by request token, by the
//     token the client registered.
//  3. Return (the client's LoginResponse): the description reads the return (the user's
//     refusal, a token and verifier to trade, or a return that belongs to no sign-in in
//     progress). A trade is the description's access-token call, signed with the request-token
//     secret; its reply gives the access token and secret, the user's id and screen name.
//  4. A flow routed by request token forgets that token and its secret once its return reached
//     an outcome, so that it is traded once only. A transport failure raises its exception and
//     leaves the flow as it was, so the return can be tried again.
// The access token and secret are written only by a completed trade: a new sign-in that is
// never finished does not take away the signed-in user's, which the client's own calls (a
// status update) are signed with.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/IWZelkAuthBase.h"
#include "platform/rtl/ClassRegistry.h"

namespace zelk::IWZelkAuthBase {

// The consumer a flow signs for, and the transport its calls take.
struct TOAuth1Consumer {
  std::string Key;
  std::string Secret;
  TTransport Transport{};
  TEndpoints Endpoints{};  // the client's own host settings over the process-wide table
};

// A token with its secret.
struct TOAuth1Token {
  std::string Token;
  std::string Secret;
  bool Empty() const { return Token.empty() && Secret.empty(); }
  // Overwrites both before clearing them.
  void Forget();
};

// What a leg changes of the client's outcome and user.
struct TOAuth1Outcome {
  // resNone: the leg reached no outcome; LoginResult stays as it is.
  TIWResult Result = resNone;
  // The new LoginError; none: it stays as it is.
  std::optional<std::string> Error;
  // With resOK: the user's id and screen name.
  std::string UserID;
  std::string ScreenName;
  // The return belongs to no sign-in: LoginID and LoginUsername are cleared.
  bool ClearUser = false;

  static TOAuth1Outcome Failed(std::optional<std::string> Error) {
    TOAuth1Outcome O;
    O.Result = resFailed;
    O.Error = std::move(Error);
    return O;
  }
};

// The request-token leg's answer: the granted token, or (Granted.Token empty) what the refusal
// comes to.
struct TOAuth1RequestToken {
  TOAuth1Token Granted;
  TOAuth1Outcome Refusal;
};

// The access-token leg's answer. Access, when set, replaces the user's access token and secret.
struct TOAuth1Access {
  std::optional<TOAuth1Token> Access;
  TOAuth1Outcome Outcome;
};

// What a return asks for: the trade of Token and Verifier, or (Trade false) an outcome without
// any call.
struct TOAuth1Return {
  bool Trade = false;
  std::string Token;
  std::string Verifier;
  TOAuth1Outcome Outcome;
};

// One generation of a provider's OAuth 1.0a API: its hosts, paths, signing and reply formats.
// The descriptions are immutable and shared by every client that speaks them.
class TOAuth1Description {
 public:
  TOAuth1Description() = default;
  TOAuth1Description(const TOAuth1Description&) = delete;
  TOAuth1Description& operator=(const TOAuth1Description&) = delete;
  virtual ~TOAuth1Description() = default;

  // Whether the return is routed by the request token (the default): the callback is then the
  // same for every flow, the flow keeps the token, a return must carry it, and it is spent
  // with the flow's outcome. Otherwise the callback carries the flow identifier and the return
  // names the token it trades; the flow keeps only the secret.
  virtual bool RoutesByRequestToken() const { return true; }
  // The callback for the flow Identifier of the application at ApplicationURL. Default: the
  // application's address and "/", whatever the identifier.
  virtual std::string Callback(const std::string& ApplicationURL,
                               const std::string& Identifier) const;
  // Leg 1: asks for a request token with Callback.
  virtual TOAuth1RequestToken RequestToken(const TOAuth1Consumer& Consumer,
                                           const std::string& Callback) const = 0;
  // Leg 2: the provider's authorize page for a granted Token.
  virtual std::string AuthorizeURL(const TOAuth1Consumer& Consumer,
                                   const std::string& Token) const = 0;
  // Reads a return; FlowToken is the request token the flow keeps (empty when none). Default:
  // the token the return carries ("oauth_token", or "denied", which carries the refused one)
  // must be FlowToken; "denied" is the user's refusal; otherwise "oauth_verifier" is traded.
  virtual TOAuth1Return ReadReturn(const THttpRequest& Request, const std::string& FlowToken) const;
  // Leg 3: trades the request token (with its secret) and Verifier for the access token.
  virtual TOAuth1Access AccessToken(const TOAuth1Consumer& Consumer, const TOAuth1Token& Request,
                                    const std::string& Verifier) const = 0;
  // The provider's name as its error texts start ("<Name> sign-in failed: ...").
  virtual std::string ProviderName() const = 0;
};

// What Start came to: the outcome to report, the request token to route the return by (empty:
// routed by the identifier) and where the browser goes (empty: nowhere).
struct TOAuth1Start {
  TOAuth1Outcome Outcome;
  std::string RouteToken;
  std::string RedirectURL;
};

// One client's flow and the signed-in user's access token. Not locked: it lives inside a client
// and is reached under the client's lock.
class TOAuth1Flow {
 public:
  // Steps 1 and 2 for the flow Identifier.
  TOAuth1Start Start(const TOAuth1Description& Description, const TOAuth1Consumer& Consumer,
                     const std::string& ApplicationURL, const std::string& Identifier);
  // Steps 3 and 4.
  TOAuth1Outcome Return(const TOAuth1Description& Description, const TOAuth1Consumer& Consumer,
                        const THttpRequest& Request);
  // Forgets every token and secret (signing out).
  void Forget();

  const TOAuth1Token& Access() const { return FAccess; }
  const TOAuth1Token& Request() const { return FRequest; }
  // Restoring a saved session.
  TOAuth1Token& MutableAccess() { return FAccess; }
  TOAuth1Token& MutableRequest() { return FRequest; }

 private:
  TOAuth1Token FAccess;
  TOAuth1Token FRequest;
};

// The run-time state of the flow of client class C: "AccessToken", "AccessTokenSecret",
// "RequestToken" and "RequestTokenSecret", so that a restored session signs its calls and
// completes the sign-in in progress. WithFlow(Client, Fn) calls Fn with the client's flow under
// the client's lock.
template <typename C, typename F>
std::vector<rtl::TPropertyInfo> OAuth1FlowState(F WithFlow) {
  using TField = std::string TOAuth1Token::*;
  auto Text = [WithFlow](std::string Name, bool Access, TField Field) {
    return rtl::props::String<C>(
        std::move(Name),
        [WithFlow, Access, Field](C* Client) {
          std::string Value;
          WithFlow(Client, [&](TOAuth1Flow& Flow) {
            Value = (Access ? Flow.Access() : Flow.Request()).*Field;
          });
          return Value;
        },
        [WithFlow, Access, Field](C* Client, std::string Value) {
          WithFlow(Client, [&](TOAuth1Flow& Flow) {
            (Access ? Flow.MutableAccess() : Flow.MutableRequest()).*Field = std::move(Value);
          });
        });
  };
  return {Text("AccessToken", true, &TOAuth1Token::Token),
          Text("AccessTokenSecret", true, &TOAuth1Token::Secret),
          Text("RequestToken", false, &TOAuth1Token::Token),
          Text("RequestTokenSecret", false, &TOAuth1Token::Secret)};
}

}  // namespace zelk::IWZelkAuthBase
