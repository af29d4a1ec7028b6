#include "sim/OAuth2Grants.h"

#include <openssl/rand.h>

#include <algorithm>
#include <set>
#include <stdexcept>

#include "core/IWZelkAuthBase.h"
#include "sim/OAuth2Current.h"

namespace zelk::sim {

std::string RandomText(std::size_t Length, std::string_view Alphabet) {
  std::string Result;
  Result.reserve(Length);
  unsigned char Buffer[64];
  // Rejection sampling keeps every character equally likely.
  const unsigned Limit = 256 - 256 % static_cast<unsigned>(Alphabet.size());
  while (Result.size() < Length) {
    if (RAND_bytes(Buffer, sizeof Buffer) != 1)
      throw std::runtime_error("Simulator: the random source failed");
    for (unsigned char B : Buffer)
      if (B < Limit && Result.size() < Length) Result += Alphabet[B % Alphabet.size()];
  }
  return Result;
}

std::string AppendQuery(const std::string& URL,
                        const std::vector<std::pair<std::string, std::string>>& Params) {
  const std::size_t Hash = URL.find('#');
  std::string Base = URL.substr(0, Hash);
  const std::string Fragment = Hash == std::string::npos ? std::string() : URL.substr(Hash);
  char Separator = Base.find('?') == std::string::npos ? '?' : '&';
  for (const auto& [Name, Value] : Params) {
    Base += Separator;
    Base += Name + "=" + IWZelkAuthBase::URLEncode(Value);
    Separator = '&';
  }
  return Base + Fragment;
}

std::string JoinScopes(const TAuthorizationRequest& Request) {
  std::string Text;
  for (const auto& S : Request.Scopes)
    Text += (Text.empty() ? "" : " ") + S;
  return Text;
}

std::vector<std::string> DuplicateNames(const std::vector<std::string>& Entries) {
  std::set<std::string> Seen;
  std::vector<std::string> Duplicates;
  for (const auto& E : Entries) {
    std::string Name = E.substr(0, E.find('='));
    if (!Seen.insert(Name).second) Duplicates.push_back(std::move(Name));
  }
  return Duplicates;
}

void TOAuth2Grants::AddApp(TSimApp App) {
  std::lock_guard L(FMutex);
  std::string Key = App.ClientId;
  FApps.insert_or_assign(std::move(Key), std::move(App));
}

std::optional<TSimApp> TOAuth2Grants::FindApp(const std::string& ClientId) const {
  std::lock_guard L(FMutex);
  const auto It = FApps.find(ClientId);
  if (It == FApps.end()) return std::nullopt;
  return It->second;
}

void TOAuth2Grants::SetUser(TSimUser User) {
  std::lock_guard L(FMutex);
  FUser = std::move(User);
}

TSimUser TOAuth2Grants::User() const {
  std::lock_guard L(FMutex);
  return FUser;
}

void TOAuth2Grants::AddUser(TSimUser User) {
  std::lock_guard L(FMutex);
  for (TSimUser& A : FAccounts)
    if (A.Id == User.Id) {
      A = std::move(User);
      return;
    }
  FAccounts.push_back(std::move(User));
}

std::vector<std::pair<std::string, std::string>> TOAuth2Grants::Accounts() const {
  std::lock_guard L(FMutex);
  std::vector<std::pair<std::string, std::string>> R{{FUser.Id, FUser.Name}};
  for (const TSimUser& A : FAccounts)
    R.emplace_back(A.Id, A.Name);
  return R;
}

std::optional<TSimUser> TOAuth2Grants::ConsentUser(const std::string& Id) const {
  std::lock_guard L(FMutex);
  if (Id.empty() || Id == FUser.Id) return FUser;
  for (const TSimUser& A : FAccounts)
    if (A.Id == Id) return A;
  return std::nullopt;
}

std::string TOAuth2Grants::OpenConsent(TAuthorizationRequest Request) {
  std::string Ticket = RandomText(32, kUrlSafe);
  std::lock_guard L(FMutex);
  FConsents.emplace(Ticket, std::move(Request));
  return Ticket;
}

std::optional<TAuthorizationRequest> TOAuth2Grants::TakeConsent(const std::string& Ticket) {
  std::lock_guard L(FMutex);
  const auto It = FConsents.find(Ticket);
  if (It == FConsents.end()) return std::nullopt;
  TAuthorizationRequest R = std::move(It->second);
  FConsents.erase(It);
  return R;
}

std::string TOAuth2Grants::IssueCode(const TAuthorizationRequest& Request, std::string Code) {
  return IssueCode(Request, std::move(Code), User());
}

std::string TOAuth2Grants::IssueCode(const TAuthorizationRequest& Request, std::string Code,
                                     const TSimUser& User) {
  std::lock_guard L(FMutex);
  FCodes.insert_or_assign(Code, TCode{TGrant{Request, User}, false});
  return Code;
}

TCodeRefusal TOAuth2Grants::RedeemCode(const std::string& Code, const std::string& ClientId,
                                       const std::string& RedirectURI, TGrant& Grant) {
  return RedeemCode(Code, ClientId, RedirectURI, std::nullopt, Grant);
}

TCodeRefusal TOAuth2Grants::RedeemCode(const std::string& Code, const std::string& ClientId,
                                       const std::string& RedirectURI,
                                       const std::optional<std::string>& CodeVerifier,
                                       TGrant& Grant) {
  std::lock_guard L(FMutex);
  const auto It = FCodes.find(Code);
  if (It == FCodes.end()) return RedeemPreApproved(Code, ClientId, RedirectURI, Grant);
  TCode& C = It->second;
  if (C.Used) return TCodeRefusal::Used;
  if (C.Grant.Request.ClientId != ClientId) return TCodeRefusal::OtherClient;
  if (C.Grant.Request.RedirectURI != RedirectURI) return TCodeRefusal::OtherRedirect;
  // A refused verifier leaves the code unused, as the other refusals do.
  if (C.Grant.Request.CodeChallenge.empty()) {
    if (CodeVerifier) return TCodeRefusal::UnexpectedVerifier;
  } else if (!CodeVerifier) {
    return TCodeRefusal::MissingVerifier;
  } else if (!PkceVerifierMatches(C.Grant.Request, *CodeVerifier)) {
    return TCodeRefusal::WrongVerifier;
  }
  C.Used = true;
  Grant = C.Grant;
  return TCodeRefusal::None;
}

void TOAuth2Grants::SetPreApprovedCodes(std::string Prefix, std::vector<std::string> Scopes) {
  std::lock_guard L(FMutex);
  FPreApprovedCodePrefix = std::move(Prefix);
  FPreApprovedScopes = std::move(Scopes);
}

std::string TOAuth2Grants::PreApprovedCodePrefix() const {
  std::lock_guard L(FMutex);
  return FPreApprovedCodePrefix;
}

TCodeRefusal TOAuth2Grants::RedeemPreApproved(const std::string& Code, const std::string& ClientId,
                                              const std::string& RedirectURI, TGrant& Grant) {
  const std::string& Prefix = FPreApprovedCodePrefix;
  if (Prefix.empty() || Code.size() <= Prefix.size() || !Code.starts_with(Prefix))
    return TCodeRefusal::Unknown;
  const auto App = FApps.find(ClientId);
  if (App == FApps.end()) return TCodeRefusal::OtherClient;
  // The authorization step would have refused a missing or unregistered return address, so
  // no approval could exist for it.
  const auto& Registered = App->second.RedirectURIs;
  if (RedirectURI.empty() || (!Registered.empty() && std::find(Registered.begin(), Registered.end(),
                                                               RedirectURI) == Registered.end()))
    return TCodeRefusal::OtherRedirect;
  TAuthorizationRequest Request;
  Request.ClientId = ClientId;
  Request.RedirectURI = RedirectURI;
  Request.Scopes = FPreApprovedScopes;
  // Kept as a spent code, so that a second use is refused as for any code.
  TCode& C = FCodes[Code];
  C.Grant = TGrant{std::move(Request), FUser};
  C.Used = true;
  Grant = C.Grant;
  return TCodeRefusal::None;
}

std::string TOAuth2Grants::IssueToken(const TGrant& Grant, std::string Token) {
  std::lock_guard L(FMutex);
  FTokens.insert_or_assign(Token, Grant);
  return Token;
}

std::optional<TGrant> TOAuth2Grants::FindToken(const std::string& Token) const {
  std::lock_guard L(FMutex);
  const auto It = FTokens.find(Token);
  if (It == FTokens.end()) return std::nullopt;
  return It->second;
}

void TOAuth2Grants::RevokeTokens() {
  std::lock_guard L(FMutex);
  FTokens.clear();
}

std::size_t TOAuth2Grants::OutstandingCodes() const {
  std::lock_guard L(FMutex);
  std::size_t N = 0;
  for (const auto& [K, C] : FCodes)
    if (!C.Used) ++N;
  return N;
}

}  // namespace zelk::sim
