// What an OAuth 2.0 provider keeps between the legs of the authorization-code flow: the
// consent pages it showed, the one-time codes it issued and the access tokens it handed out,
// plus the test users and registered applications the simulator plays with. Shared by the
// Google, Facebook and Windows Live endpoints of the simulator; each provider has its own store.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelk::sim {

// A test user at a provider. Empty texts and zero dates count as "not in the profile".
struct TSimUser {
  std::string Id;
  std::string Name;
  std::string FirstName;
  std::string LastName;
  std::string Email;
  std::string Gender;
  int BirthYear = 0;
  int BirthMonth = 0;
  int BirthDay = 0;
  std::string Picture;  // URL of the profile picture
  bool EmailVerified = true;
};

// An application registered at the provider. RedirectURIs, when not empty, lists the only
// return addresses the provider accepts at the authorization step (exact match).
struct TSimApp {
  std::string ClientId;
  std::string Secret;
  std::vector<std::string> RedirectURIs;
};

// The parameters of an authorization request that reached the consent page.
struct TAuthorizationRequest {
  std::string ClientId;
  std::string RedirectURI;
  std::string State;
  bool HasState = false;
  std::vector<std::string> Scopes;
  // PKCE: the challenge and its method ("S256" or "plain"); empty when the request had none.
  std::string CodeChallenge;
  std::string CodeChallengeMethod;
};

// A code or token and what it stands for.
struct TGrant {
  TAuthorizationRequest Request;
  TSimUser User;
};

// Why a code was refused at the token endpoint.
// With PKCE: MissingVerifier when the authorization request had a challenge and the token
// request no verifier, WrongVerifier when the verifier does not answer the challenge,
// UnexpectedVerifier when a verifier comes for a code issued without a challenge.
enum class TCodeRefusal {
  None,
  Unknown,
  Used,
  OtherClient,
  OtherRedirect,
  MissingVerifier,
  WrongVerifier,
  UnexpectedVerifier
};

// Thread-safe: the provider's endpoints run on the simulator's connection threads.
class TOAuth2Grants {
 public:
  void AddApp(TSimApp App);
  std::optional<TSimApp> FindApp(const std::string& ClientId) const;

  // The user signed in at the provider's web site, who answers the consent page.
  void SetUser(TSimUser User);
  TSimUser User() const;
  // Further accounts: with any, the consent page lets the person at the browser choose which
  // account answers ("user_id"), as a browser signed in to several accounts does. An account
  // with the Id of one already known replaces it.
  void AddUser(TSimUser User);
  // Id and name of the signed-in user and of every added account, in that order.
  std::vector<std::pair<std::string, std::string>> Accounts() const;
  // The account a consent form chose: the signed-in user when Id is empty, none when no
  // account has that Id.
  std::optional<TSimUser> ConsentUser(const std::string& Id) const;

  // Remembers a request shown on a consent page; the ticket travels in the page's form.
  std::string OpenConsent(TAuthorizationRequest Request);
  // The request behind a ticket, once: a ticket cannot be answered twice.
  std::optional<TAuthorizationRequest> TakeConsent(const std::string& Ticket);

  // Registers Code as a one-time code for the request and the current user (or User); returns
  // it.
  std::string IssueCode(const TAuthorizationRequest& Request, std::string Code);
  std::string IssueCode(const TAuthorizationRequest& Request, std::string Code,
                        const TSimUser& User);
  // Checks a code against the client and the redirect address, which must equal the one of
  // the authorization request character for character. Only a successful redemption uses the
  // code up; afterwards it is refused as Used.
  TCodeRefusal RedeemCode(const std::string& Code, const std::string& ClientId,
                          const std::string& RedirectURI, TGrant& Grant);
  // The same, with the PKCE check: CodeVerifier is the token request's "code_verifier", none
  // when it sent no such parameter. A code issued with a challenge needs a verifier that
  // answers it, also at an endpoint that takes no verifier (the overload above).
  TCodeRefusal RedeemCode(const std::string& Code, const std::string& ClientId,
                          const std::string& RedirectURI,
                          const std::optional<std::string>& CodeVerifier, TGrant& Grant);

  // For load tests, which cannot visit the consent page for every sign-in: a code this store
  // never issued that is Prefix followed by at least one character is redeemed as if the
  // signed-in user had approved Scopes for the client and the return address of the token
  // request. The return address must be one the client registered (any when it registered
  // none, as at the authorization step). Each such code is good once, like an issued one, and
  // the client's secret is checked as for any code. An empty Prefix (the default) turns this
  // off.
  void SetPreApprovedCodes(std::string Prefix, std::vector<std::string> Scopes);
  std::string PreApprovedCodePrefix() const;

  // Registers Token as an access token for the grant; returns it.
  std::string IssueToken(const TGrant& Grant, std::string Token);
  std::optional<TGrant> FindToken(const std::string& Token) const;
  // Makes every token issued so far invalid (an expired or revoked session).
  void RevokeTokens();

  std::size_t OutstandingCodes() const;

 private:
  struct TCode {
    TGrant Grant;
    bool Used = false;
  };
  // RedeemCode for a code never issued; FMutex is held.
  TCodeRefusal RedeemPreApproved(const std::string& Code, const std::string& ClientId,
                                 const std::string& RedirectURI, TGrant& Grant);
  mutable std::mutex FMutex;
  std::map<std::string, TSimApp> FApps;
  TSimUser FUser;
  std::vector<TSimUser> FAccounts;
  std::map<std::string, TAuthorizationRequest> FConsents;
  std::map<std::string, TCode> FCodes;
  std::map<std::string, TGrant> FTokens;
  std::string FPreApprovedCodePrefix;
  std::vector<std::string> FPreApprovedScopes;
};

// Random text from the system's cryptographic source: Length characters of Alphabet.
std::string RandomText(std::size_t Length, std::string_view Alphabet);

inline constexpr std::string_view kUpperAlphaNumeric = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
inline constexpr std::string_view kAlphaNumeric =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
inline constexpr std::string_view kUrlSafe =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
inline constexpr std::string_view kBase64 =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Appends name=value pairs (values percent-encoded) to a redirect address, after "?" or, when
// the address already has a query, after "&". A fragment of the address is kept at the end.
std::string AppendQuery(const std::string& URL,
                        const std::vector<std::pair<std::string, std::string>>& Params);

// The scopes of a request separated by blanks, as a token reply lists them.
std::string JoinScopes(const TAuthorizationRequest& Request);

// Each name that occurs more than once among name=value entries; a real provider refuses such a
// request rather than guess which value was meant.
std::vector<std::string> DuplicateNames(const std::vector<std::string>& Entries);

// What a simulated OAuth 2.0 provider offers its tests: its applications, its users and its
// grants, kept in one TOAuth2Grants shared with the provider's route handlers.
class TOAuth2ProviderSim {
 public:
  void AddApp(TSimApp App) { FGrants->AddApp(std::move(App)); }
  void SetUser(TSimUser User) { FGrants->SetUser(std::move(User)); }
  TSimUser User() const { return FGrants->User(); }
  // Another account the consent page offers besides the signed-in user ("user_id").
  void AddUser(TSimUser User) { FGrants->AddUser(std::move(User)); }
  // Every token issued so far stops working.
  void RevokeTokens() { FGrants->RevokeTokens(); }
  std::size_t OutstandingCodes() const { return FGrants->OutstandingCodes(); }
  // The prefix of the codes the token endpoint takes without a consent (see
  // TOAuth2Grants::SetPreApprovedCodes); empty while that is off.
  std::string PreApprovedCodePrefix() const { return FGrants->PreApprovedCodePrefix(); }

 protected:
  std::shared_ptr<TOAuth2Grants> FGrants = std::make_shared<TOAuth2Grants>();
};

}  // namespace zelk::sim
