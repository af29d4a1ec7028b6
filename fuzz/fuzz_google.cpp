// A Google sign-in's return fed an arbitrary callback query and arbitrary replies from the token
// and user-info endpoints (or transport failures).
//
// Invariants: the return reaches the client only when it carries the flow's identifier; a
// transport failure leaves the outcome as it was and raises no event; otherwise the outcome is
// resOK or resFailed with exactly the matching event; a refusal in the query sends nothing; the
// token request has exactly its five fields, the code among them as the browser sent it, so no
// callback value can add a field; the token reaches the user-info call intact as its only
// parameter; a sign-in succeeds only with a profile that has "id" and "name", which become
// LoginID and LoginUsername; and once an outcome is reached the same return reaches nobody.
#include <cstdint>

#include "providers/IWGAuthClient.h"
#include "support/SignInFlow.h"

using namespace zelk;
using namespace zelk::IWZelkAuthBase;
using zelk::fuzz::Field;
using zelk::fuzz::FieldNames;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  fuzz::TParts In(Data, Size);
  fuzz::TSignInFlow<IWGAuthClient::TZIWGAuthClient> F;
  // Credentials with characters that need encoding in a form body.
  F.Client->App()->SetID("client&id=1+2");
  F.Client->App()->SetSecret("s%cr t");
  if (In.Option(2)) F.Client->SetScopes(IWGAuthClient::TIWScopes{IWGAuthClient::gEmail});
  F.Client->Login(F.App.get());
  const std::string Id = F.Identifier();
  const std::string ReturnAddress = URLEncode("http://localhost/app/");

  const auto Request =
      web::THttpRequest::FromTarget("/app/?" + fuzz::CallbackQuery(In, "state", Id));
  const fuzz::TReply TokenReply = fuzz::QueueReply(In, F.Net);
  const fuzz::TReply ProfileReply = fuzz::QueueReply(In, F.Net);

  const bool Threw = F.ReturnFailsInTransport(Request);
  const auto Sent = F.Net.Requests();
  if (!fuzz::RoutesTo(Request, Id)) {
    ZELK_FUZZ_CHECK(Sent.empty() && F.OK + F.Failed == 0, Request.QueryString());
    ZELK_FUZZ_CHECK(F.Client->LoginResult() == resNone, Request.QueryString());
    return 0;
  }
  if (Threw) {
    F.CheckTransportFailure(TokenReply, ProfileReply);
    return 0;
  }
  const TIWResult Result = F.Client->LoginResult();
  ZELK_FUZZ_CHECK(Result != resNone, "no outcome");
  ZELK_FUZZ_CHECK(F.OK == (Result == resOK ? 1 : 0) && F.Failed == (Result == resFailed ? 1 : 0),
                  "events do not match the outcome");

  const std::string Code = Request.Query("code");
  const std::string Error = Request.Query("error");
  if (!Error.empty() || Code.empty()) {
    ZELK_FUZZ_CHECK(Sent.empty(), "a refused return called the provider");
    ZELK_FUZZ_CHECK(Result == resFailed && F.Client->LoginError() == Error, F.Client->LoginError());
  } else {
    ZELK_FUZZ_CHECK(!Sent.empty(), "no token request");
    const TTransportRequest& Token = Sent[0];
    ZELK_FUZZ_CHECK(Token.Method == "POST" && Token.Host == ProviderHost(phGoogleAccounts) &&
                        Token.Path == "/o/oauth2/token" &&
                        Token.Headers == "Content-Type: application/x-www-form-urlencoded",
                    Token.Path);
    ZELK_FUZZ_CHECK(
        (FieldNames(Token.Data) == std::vector<std::string>{"code", "client_id", "client_secret",
                                                            "redirect_uri", "grant_type"}),
        Token.Data);
    ZELK_FUZZ_CHECK(Field(Token.Data, "code") == Code, Token.Data);
    ZELK_FUZZ_CHECK(Field(Token.Data, "client_id") == "client&id=1+2", Token.Data);
    ZELK_FUZZ_CHECK(Field(Token.Data, "client_secret") == "s%cr t", Token.Data);
    ZELK_FUZZ_CHECK(Token.Data.find("&redirect_uri=" + ReturnAddress + "&") != std::string::npos,
                    Token.Data);
    TJSONObject TokenJSON;
    ParseJSON(TokenReply.Body, TokenJSON);
    const std::string AccessToken = TokenJSON.Text("access_token");
    if (AccessToken.empty()) {
      ZELK_FUZZ_CHECK(Sent.size() == 1 && Result == resFailed, TokenReply.Body);
      ZELK_FUZZ_CHECK(F.Client->LoginError() == "earlier error", F.Client->LoginError());
    } else {
      ZELK_FUZZ_CHECK(Sent.size() == 2, "no user-info request");
      const TTransportRequest& Profile = Sent[1];
      ZELK_FUZZ_CHECK(Profile.Method == "GET" && Profile.Host == ProviderHost(phGoogleApis) &&
                          Profile.Path.starts_with("/oauth2/v1/userinfo?access_token="),
                      Profile.Path);
      ZELK_FUZZ_CHECK(
          FieldNames(fuzz::QueryOf(Profile.Path)) == std::vector<std::string>{"access_token"},
          Profile.Path);
      ZELK_FUZZ_CHECK(Field(fuzz::QueryOf(Profile.Path), "access_token") == AccessToken,
                      Profile.Path);
      TJSONObject P;
      ParseJSON(ProfileReply.Body, P);
      const bool Complete = P.Has("id") && P.Has("name");
      ZELK_FUZZ_CHECK(Complete == (Result == resOK), ProfileReply.Body);
      if (Complete) {
        ZELK_FUZZ_CHECK(F.Client->LoginID() == P.Text("id"), F.Client->LoginID());
        ZELK_FUZZ_CHECK(F.Client->LoginUsername() == P.Text("name"), F.Client->LoginUsername());
      }
    }
  }

  // The identifier is spent: the same return again reaches nobody.
  F.Net.Clear();
  F.Return(Request);
  ZELK_FUZZ_CHECK(F.Net.Count() == 0 && F.OK + F.Failed == 1, "a replayed return was served");
  return 0;
}
