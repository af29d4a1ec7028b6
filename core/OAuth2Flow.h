// Unit OAuth2Flow: the authorization-code flow every client speaks in current mode (Api =
// apCurrent).
//
// The flow, step by step:
//  1. Login makes a fresh flow identifier, which travels as "state", and begins a
//     TOAuth2CodeFlow with it and the registered return address (never a per-flow query). With
//     PKCE the flow draws a fresh verifier from the CSPRNG and keeps it; the authorization
//     address carries its challenge, Base64url(SHA-256(verifier)).
//  2. The provider sends the browser back with "code" and "state" (or "error" and
//     "error_description"); the controller routes the return by "state".
//  3. Complete exchanges the code for a token (the client's token call, with the verifier), reads
//     the JSON reply, reads the profile with the token (the client's profile call) and lets the
//     client map it. A provider's error text lands in LoginError. The flow, verifier included,
//     is forgotten once an outcome is reached.
// Each client contributes only its endpoints, scopes and profile mapping (TOAuth2Provider).
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/IWZelkAuthBase.h"
#include "platform/rtl/ClassRegistry.h"

namespace zelk::IWZelkAuthBase {

// Name and value pairs in the order they go out.
using TParams = std::vector<std::pair<std::string, std::string>>;

// The pairs as "name=value" joined by "&", each value percent-encoded (URLEncode): a query or a
// form body.
std::string EncodeQuery(const TParams& Params);

// A PKCE code verifier: 64 characters of the unreserved set, from 48 bytes of the random
// source. Raises Exception when no random bytes could be had.
std::string NewCodeVerifier();
// The S256 challenge of a verifier: Base64url of its SHA-256 digest, without padding.
std::string CodeChallenge(std::string_view Verifier);
// Base64url (RFC 4648 section 5) without padding.
std::string Base64URLEncode(std::string_view Bytes);
// HMAC-SHA256 of Message under Key, as 64 lower-case hexadecimal digits.
std::string HMACSha256Hex(std::string_view Key, std::string_view Message);

// The error text of a provider's JSON reply: the "message" of an "error" object, else
// "error_description", else "error"; empty when the reply carries none.
std::string OAuth2ErrorText(const TJSONObject& Reply);

// The member's text when it is a JSON string; empty otherwise (absent, null, a number, ...).
std::string JSONString(const TJSONObject& Object, std::string_view Name);

// One server-to-server call of the flow as a client describes it. It goes out over HTTP/1.1.
struct TOAuth2Call {
  std::string Host;
  std::string Path;  // path and query, already encoded
  std::vector<std::string> HeaderLines;
  bool Post = false;
  std::string Data;  // the form body of a POST
};

// What a client contributes to the shared flow.
class TOAuth2Provider {
 public:
  TOAuth2Provider() = default;
  TOAuth2Provider(const TOAuth2Provider&) = delete;
  TOAuth2Provider& operator=(const TOAuth2Provider&) = delete;
  virtual ~TOAuth2Provider() = default;
  // The code exchange. Verifier is empty for a flow without PKCE.
  virtual TOAuth2Call TokenCall(const std::string& Code, const std::string& RedirectURI,
                                const std::string& Verifier) const = 0;
  // The profile read with the access token.
  virtual TOAuth2Call ProfileCall(const std::string& Token) const = 0;
  // Fills the client's user from the profile; false when the profile does not identify a user.
  virtual bool MapProfile(const TJSONObject& Profile) = 0;
};

// One flow from Login to its outcome: its state, return address and PKCE verifier. Not locked:
// it lives inside a client and is reached under the client's lock.
class TOAuth2CodeFlow {
 public:
  // Starts a flow, forgetting any earlier one. Pkce: draws a fresh verifier.
  void Begin(std::string State, std::string RedirectURI, bool Pkce);
  // Forgets the flow, verifier included.
  void Forget();
  bool Active() const { return !FState.empty(); }
  const std::string& State() const { return FState; }
  const std::string& RedirectURI() const { return FRedirectURI; }
  const std::string& Verifier() const { return FVerifier; }
  // The verifier's S256 challenge; empty for a flow without PKCE.
  std::string Challenge() const;

  // Restoring a saved session: the flow's state, return address and verifier as they were.
  // SetVerifier raises Exception for a value that is no PKCE verifier (43 to 128 characters of
  // the unreserved set), keeping the one it has.
  void SetState(std::string Value) { FState = std::move(Value); }
  void SetRedirectURI(std::string Value) { FRedirectURI = std::move(Value); }
  void SetVerifier(std::string Value);

  // Base, "?" and the encoded parameters.
  static std::string AuthorizationURL(std::string_view Base, const TParams& Params);

  struct TOutcome {
    TIWResult Result = resFailed;
    std::string Error;  // the reason of a failure, empty on success
  };
  // Takes the provider's return to an outcome: the code exchange, the profile read and the
  // client's mapping. The flow is forgotten once an outcome is reached; a transport failure
  // raises its Exception and leaves the flow as it was.
  TOutcome Complete(const THttpRequest& Request, TOAuth2Provider& Provider);

 private:
  std::string FState;
  std::string FRedirectURI;
  std::string FVerifier;
};

// The run-time state of the flow in progress of client class C: "FlowState", "FlowRedirectURI"
// and "FlowVerifier", so that a restored session completes it. WithFlow(Client, Fn) calls Fn
// with the client's flow under the client's lock.
template <typename C, typename F>
std::vector<rtl::TPropertyInfo> CodeFlowState(F WithFlow) {
  using TFlow = TOAuth2CodeFlow;
  auto Text = [WithFlow](std::string Name, const std::string& (TFlow::*Get)() const,
                         void (TFlow::*Set)(std::string)) {
    return rtl::props::String<C>(
        std::move(Name),
        [WithFlow, Get](C* Client) {
          std::string Value;
          WithFlow(Client, [&](TFlow& Flow) { Value = (Flow.*Get)(); });
          return Value;
        },
        [WithFlow, Set](C* Client, std::string Value) {
          WithFlow(Client, [&](TFlow& Flow) { (Flow.*Set)(std::move(Value)); });
        });
  };
  return {Text("FlowState", &TFlow::State, &TFlow::SetState),
          Text("FlowRedirectURI", &TFlow::RedirectURI, &TFlow::SetRedirectURI),
          Text("FlowVerifier", &TFlow::Verifier, &TFlow::SetVerifier)};
}

// A run-time state entry Name of client class C: a text field of its User record (of type U),
// read and written through the record's accessors.
template <typename C, typename U>
rtl::TPropertyInfo UserState(std::string Name, std::string (U::*Get)() const,
                             void (U::*Set)(std::string)) {
  return rtl::props::String<C>(
      std::move(Name), [Get](C* Client) { return (Client->User()->*Get)(); },
      [Set](C* Client, std::string V) { (Client->User()->*Set)(std::move(V)); });
}

// The published "Api" property of the client class C, stored in form files only when it is not
// apClassic.
template <typename C>
rtl::TPropertyInfo ApiProperty() {
  return rtl::props::Enumeration<C, TIWApi>(
      "Api", {"apClassic", "apCurrent"}, [](C* Client) { return Client->Api(); },
      [](C* Client, TIWApi Value) { Client->SetApi(Value); }, std::optional<TIWApi>(apClassic));
}

}  // namespace zelk::IWZelkAuthBase
