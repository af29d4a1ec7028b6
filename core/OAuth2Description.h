// A provider's OAuth 2.0 authorization-code flow as data plus a few hooks: TOAuth2Description.
//
// One description per provider and generation (classic and current are two descriptions of the
// same client). The options say where the flow goes and how (endpoints on the provider's host
// settings, scope, PKCE, how the client authenticates at the token endpoint, which transport);
// the hooks have default bodies that speak plain OAuth 2.0, and a provider overrides only what
// it does differently (the order of its parameters, a version in its paths, its profile call,
// its token reply, its profile mapping). The generic flow (core/OAuth2Client.h) runs them:
//
//   Login:  ReturnAddress, then AuthorizationURL (AuthorizationParams, Scope, Path).
//   Return: CheckReturn; TokenRequest (TokenParams, by ClientAuthentication) and ReadToken;
//           ProfileRequest and ReadProfile (ErrorText, MapProfile).
//
// Example: a provider whose token endpoint takes HTTP Basic client authentication.
//
//   class TExampleCurrent final : public TOAuth2Description {
//    public:
//     explicit TExampleCurrent(TZIWExampleClient& Client)
//         : TOAuth2Description({.Provider = "Example",
//                               .Authorize = {phExampleLogin, "/authorize"},
//                               .Token = {phExampleLogin, "/token"},
//                               .Profile = {phExampleApi, "/me"},
//                               .Scope = "openid profile",
//                               .ClientAuthentication = TClientAuthentication::caBasic}),
//           FClient(Client) {}
//     bool MapProfile(const TJSONObject& Profile) const override;  // fills FClient's user
//    private:
//     TZIWExampleClient& FClient;
//   };
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/AuthTypes.h"
#include "core/Endpoints.h"
#include "core/Json.h"
#include "core/Transport.h"

namespace zelk::IWZelkAuthBase {

// Name and value pairs in the order they go out.
using TParams = std::vector<std::pair<std::string, std::string>>;

// How the client proves itself at the token endpoint: client_id and client_secret among the
// form fields of a POST, among the query parameters of a GET, or as an HTTP Basic header of a
// POST (both URL-encoded, then joined by ":" and Base64-encoded).
enum class TClientAuthentication : std::uint8_t { caFormFields, caQuery, caBasic };

// One endpoint: the host setting it is on and its path.
struct TOAuth2Endpoint {
  TProviderHost Host{};
  std::string Path{};
};

// The data of a description.
struct TOAuth2Options {
  std::string Provider{};  // the provider's registered name (core/ProviderRegistry.h)
  TOAuth2Endpoint Authorize{};
  TOAuth2Endpoint Token{};
  TOAuth2Endpoint Profile{};
  std::string Scope{};  // what Scope gives unless a provider's hook adds to it
  bool Pkce = true;     // S256 challenge in the authorization address, verifier at the token call
  TClientAuthentication ClientAuthentication = TClientAuthentication::caFormFields;
  // HTTP/1.1 with header blocks (Accept: application/json), each call traced as its flow step;
  // false: the classic transport (HTTP/1.0, one header line on a POST).
  bool Http11 = true;
  // The flow keeps its state, return address and verifier (TOAuth2CodeFlow), the return must
  // carry that state, and the flow is forgotten once an outcome is reached. False: the return
  // address is kept by itself and routing alone ties the return to the flow.
  bool ChecksState = true;
};

// What the hooks of one flow read: the client's credentials and the flow's values.
struct TOAuth2Context {
  std::string ClientID;
  std::string ClientSecret;
  std::string ApplicationURL;  // at Login only
  std::string State;           // the flow identifier
  std::string RedirectURI;     // the return address as the flow keeps it
  std::string Verifier;        // empty without PKCE
  std::string Challenge;
  TEndpoints Endpoints;  // the client's own host settings over the process-wide table
  TTransport Transport;  // the client's own transport, else the process-wide one
  std::string Host(TProviderHost Which) const { return Endpoints.Host(Which); }
};

// One server-to-server call of the flow.
struct TOAuth2Request {
  TProviderHost Host;
  std::string Path;  // path and query, already encoded
  bool Post = false;
  std::string Body;                      // the form body of a POST
  std::vector<std::string> HeaderLines;  // HTTP/1.1 calls
  std::string Header;                    // the one header line of a classic POST
  bool Http11 = true;
};

// What a return came to. Error: the reason to show in LoginError; none leaves LoginError as it
// was (some classic flows never touch it).
struct TOAuth2Result {
  TIWResult Result = resFailed;
  std::optional<std::string> Error;
  static TOAuth2Result Failed(std::optional<std::string> Why) {
    return {resFailed, std::move(Why)};
  }
};

// The access token a token reply carried, or why there is none.
struct TOAuth2Token {
  std::string Token;
  std::optional<TOAuth2Result> Failure;
};

class TOAuth2Description {
 public:
  explicit TOAuth2Description(TOAuth2Options Options) : FOptions(std::move(Options)) {}
  TOAuth2Description(const TOAuth2Description&) = delete;
  TOAuth2Description& operator=(const TOAuth2Description&) = delete;
  virtual ~TOAuth2Description() = default;
  const TOAuth2Options& Options() const { return FOptions; }

  // An options path as it goes out; a provider with a version or tenant in its paths puts it
  // in front here.
  virtual std::string Path(std::string_view OptionsPath) const { return std::string(OptionsPath); }
  virtual std::string Scope() const { return FOptions.Scope; }
  // The return address the flow registers (Context.ApplicationURL is set): the application's
  // URL and "/".
  virtual std::string ReturnAddress(const TOAuth2Context& Context) const;
  // client_id, redirect_uri, response_type, scope, state and, with PKCE, the challenge.
  virtual TParams AuthorizationParams(const TOAuth2Context& Context) const;
  // The authorize endpoint with the encoded parameters (traced as "authorize redirect").
  virtual std::string AuthorizationURL(const TOAuth2Context& Context) const;

  // Why the return reached an outcome before any call (the state is not the flow's, the
  // provider sent an error, no code came); none: go on with the code exchange.
  virtual std::optional<TOAuth2Result> CheckReturn(const THttpRequest& Request,
                                                   const TOAuth2Context& Context) const;
  // code, client_id, client_secret (as ClientAuthentication puts them), redirect_uri,
  // grant_type and, with PKCE, code_verifier.
  virtual TParams TokenParams(const TOAuth2Context& Context, const std::string& Code) const;
  // The token endpoint's call with TokenParams, as ClientAuthentication asks.
  virtual TOAuth2Request TokenRequest(const TOAuth2Context& Context, const std::string& Code) const;
  // The JSON reply's "access_token" (visible ASCII only), else the reply's error text.
  virtual TOAuth2Token ReadToken(const std::string& Reply) const;
  // The profile endpoint with the token in a Bearer header.
  virtual TOAuth2Request ProfileRequest(const TOAuth2Context& Context,
                                        const std::string& Token) const;
  // The JSON profile: its error text when it carries one, else what MapProfile makes of it.
  virtual TOAuth2Result ReadProfile(const std::string& Reply) const;
  // A provider's error text in a JSON reply (OAuth2ErrorText).
  virtual std::string ErrorText(const TJSONObject& Reply) const;
  // Fills the client's user from the profile; false when it does not identify a user.
  virtual bool MapProfile(const TJSONObject& Profile) const = 0;

 protected:
  // A call of the options' transport to Endpoint (Path applied).
  TOAuth2Request Request(const TOAuth2Endpoint& Endpoint) const;

 private:
  TOAuth2Options FOptions;
};

}  // namespace zelk::IWZelkAuthBase
