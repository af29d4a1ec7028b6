// The generic OAuth 2.0 authorization-code flow: Login and LoginResponse of every OAuth 2.0
// sign-in client, run with the client's descriptions.
#include "core/OAuth2Client.h"

#include <openssl/crypto.h>

#include "core/Trace.h"

namespace zelk::IWZelkAuthBase {

namespace {

// One call of the flow, over the transport the description chose; HTTP/1.1 calls are traced as
// Step of the flow.
std::string Send(const TOAuth2Request& Call, const TOAuth2Context& Context,
                 const std::string& Provider, std::string Step) {
  const std::string Host = Context.Host(Call.Host);
  const TTransport& Via = Context.Transport;
  if (!Call.Http11)
    return (Call.Post ? Via.Post(Host, Call.Path, Call.Header, Call.Body)
                      : Via.Get(Host, Call.Path))
        .Body;
  const TTraceScope Scope(Provider, {}, std::move(Step));
  return (Call.Post ? Via.Post11(Host, Call.Path, Call.HeaderLines, Call.Body)
                    : Via.Get11(Host, Call.Path, Call.HeaderLines))
      .Body;
}

}  // namespace

TOAuth2Context TZIWOAuth2Client::Context(const TOAuth2Description& Description) const {
  TOAuth2Context C;
  C.ClientID = App()->ID();
  C.ClientSecret = App()->Secret();
  C.Endpoints = Endpoints();
  C.Transport = Transport();
  if (Description.Options().ChecksState) {
    C.State = FFlow.State();
    C.RedirectURI = FFlow.RedirectURI();
    C.Verifier = FFlow.Verifier();
    C.Challenge = FFlow.Challenge();
  } else {
    C.RedirectURI = FReturnURL;
  }
  return C;
}

void TZIWOAuth2Client::Login(TIWApplication* WebApplication) {
  auto L = Lock();
  CheckServerController();
  if (WebApplication == nullptr)
    throw rtl::Exception(ClassName() +
                         ".Login: WebApplication is not assigned; pass the session's application "
                         "object so the browser can be redirected");
  TZIWSignInClient::Login(WebApplication);
  const std::string Id = NewFlowIdentifier();
  const TOAuth2Description& D = DescriptionOf(Api());
  FChosen = &D;
  TOAuth2Context C = Context(D);
  C.ApplicationURL = WebApplication->GetApplicationURL();
  C.State = Id;
  C.RedirectURI = D.ReturnAddress(C);
  if (D.Options().ChecksState) {
    FFlow.Begin(Id, C.RedirectURI, D.Options().Pkce);
    C.Verifier = FFlow.Verifier();
    C.Challenge = FFlow.Challenge();
  } else {
    FReturnURL = C.RedirectURI;
  }
  WebApplication->GoToURL(D.AuthorizationURL(C));
}

TOAuth2Result TZIWOAuth2Client::Complete(const TOAuth2Description& D, const THttpRequest& Request) {
  const TOAuth2Context C = Context(D);
  if (std::optional<TOAuth2Result> Early = D.CheckReturn(Request, C)) return *Early;
  const std::string& Provider = D.Options().Provider;
  TOAuth2Token T =
      D.ReadToken(Send(D.TokenRequest(C, Request.Query("code")), C, Provider, "token exchange"));
  if (T.Failure) return *T.Failure;
  std::string Reply;
  try {
    Reply = Send(D.ProfileRequest(C, T.Token), C, Provider, "profile");
  } catch (...) {
    OPENSSL_cleanse(T.Token.data(), T.Token.size());
    throw;
  }
  // The token is not kept by the flow: no copy outlives the profile call.
  OPENSSL_cleanse(T.Token.data(), T.Token.size());
  return D.ReadProfile(Reply);
}

void TZIWOAuth2Client::LoginResponse(const THttpRequest& Request) {
  auto L = Lock();
  const TOAuth2Description& D = FChosen != nullptr ? *FChosen : DescriptionOf(Api());
  TOAuth2Result R = Complete(D, Request);
  if (D.Options().ChecksState) FFlow.Forget();
  SetLoginResult(R.Result);
  if (R.Error) SetLoginError(std::move(*R.Error));
  ReachOutcome(Refused(Request));
  TZIWSignInClient::LoginResponse(Request);
}

void TZIWOAuth2Client::SignOut() {
  auto L = Lock();
  FFlow.Forget();
  FChosen = nullptr;
  TZIWSignInClient::SignOut();
}

}  // namespace zelk::IWZelkAuthBase
