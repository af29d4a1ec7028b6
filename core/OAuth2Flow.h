// Unit OAuth2Flow: the pieces of the OAuth 2.0 authorization-code flow every description
// (core/OAuth2Description.h) is run with: the flow's own state (TOAuth2CodeFlow: its
// identifier, which travels as "state", the registered return address and the PKCE verifier),
// the encodings and digests it needs, and the declarations of its run-time state.
//
// The flow, step by step (core/OAuth2Client.h runs it):
//  1. Login makes a fresh flow identifier and begins a TOAuth2CodeFlow with it and the
//     registered return address (never a per-flow query). With PKCE the flow draws a fresh
//     verifier from the CSPRNG and keeps it; the authorization address carries its challenge,
//     Base64url(SHA-256(verifier)).
//  2. The provider sends the browser back with "code" and "state" (or "error" and
//     "error_description"); the controller routes the return by "state".
//  3. The code is exchanged for a token (with the verifier), the profile is read with the token
//     and mapped by the description. A provider's error text lands in LoginError. The flow,
//     verifier included, is forgotten once an outcome is reached.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/IWZelkAuthBase.h"
#include "core/OAuth2Description.h"
#include "platform/rtl/ClassRegistry.h"

namespace zelk::IWZelkAuthBase {

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
