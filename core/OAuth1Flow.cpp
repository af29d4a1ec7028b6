// TOAuth1Flow: the order of the three legs, what the flow keeps between them and what an
// outcome spends; the default hooks of TOAuth1Description.
#include "core/OAuth1Flow.h"

#include <openssl/crypto.h>

namespace zelk::IWZelkAuthBase {

void TOAuth1Token::Forget() {
  for (std::string* Text : {&Token, &Secret}) {
    OPENSSL_cleanse(Text->data(), Text->size());
    Text->clear();
  }
}

std::string TOAuth1Description::Callback(const std::string& ApplicationURL,
                                         const std::string& /*Identifier*/) const {
  // The provider accepts only callbacks on the application's allow list, exactly as
  // registered: the identifier cannot travel in it.
  return ApplicationURL + "/";
}

TOAuth1Return TOAuth1Description::ReadReturn(const THttpRequest& Request,
                                             const std::string& FlowToken) const {
  TOAuth1Return R;
  const std::string Denied = Request.Query("denied");
  const std::string Token = Denied.empty() ? Request.Query("oauth_token") : Denied;
  if (FlowToken.empty() || Token != FlowToken) {
    R.Outcome = TOAuth1Outcome::Failed(
        ProviderName() + " sign-in failed: the return does not belong to the sign-in in progress");
  } else if (!Denied.empty()) {
    R.Outcome = TOAuth1Outcome::Failed("Access denied");
  } else if (std::string Verifier = Request.Query("oauth_verifier"); Verifier.empty()) {
    R.Outcome = TOAuth1Outcome::Failed(ProviderName() +
                                       " sign-in failed: the return carries no \"oauth_verifier\"");
  } else {
    R.Trade = true;
    R.Token = Token;
    R.Verifier = std::move(Verifier);
  }
  return R;
}

TOAuth1Start TOAuth1Flow::Start(const TOAuth1Description& Description,
                                const TOAuth1Consumer& Consumer, const std::string& ApplicationURL,
                                const std::string& Identifier) {
  const bool ByToken = Description.RoutesByRequestToken();
  // A new sign-in spends the token of the one before it, whose return must no longer trade.
  if (ByToken) FRequest.Forget();
  TOAuth1RequestToken Granted =
      Description.RequestToken(Consumer, Description.Callback(ApplicationURL, Identifier));
  TOAuth1Start S;
  if (Granted.Granted.Token.empty()) {
    S.Outcome = std::move(Granted.Refusal);
    return S;
  }
  FRequest.Secret = Granted.Granted.Secret;
  if (ByToken) {
    FRequest.Token = Granted.Granted.Token;
    S.RouteToken = Granted.Granted.Token;
  }
  S.RedirectURL = Description.AuthorizeURL(Consumer, Granted.Granted.Token);
  return S;
}

TOAuth1Outcome TOAuth1Flow::Return(const TOAuth1Description& Description,
                                   const TOAuth1Consumer& Consumer, const THttpRequest& Request) {
  TOAuth1Return R = Description.ReadReturn(Request, FRequest.Token);
  TOAuth1Outcome Outcome = std::move(R.Outcome);
  if (R.Trade) {
    // A transport failure raises here and leaves the flow as it was.
    TOAuth1Access Traded =
        Description.AccessToken(Consumer, {R.Token, FRequest.Secret}, R.Verifier);
    if (Traded.Access) FAccess = std::move(*Traded.Access);
    Outcome = std::move(Traded.Outcome);
  }
  // An outcome spends the flow: its request token can be traded only once.
  if (Description.RoutesByRequestToken()) FRequest.Forget();
  return Outcome;
}

void TOAuth1Flow::Forget() {
  FAccess.Forget();
  FRequest.Forget();
}

}  // namespace zelk::IWZelkAuthBase
