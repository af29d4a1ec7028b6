// A Windows Live sign-in's return fed an arbitrary callback query and arbitrary replies from the
// token and profile endpoints (or transport failures).
//
// Invariants: the return reaches the client only with the flow's identifier; a transport
// failure leaves the outcome and raises no event; otherwise resOK or resFailed with exactly the
// matching event, and a failure always clears LoginError; without a code nothing is sent; the
// token request has exactly its five fields with the code as the browser sent it and the
// return address intact; the profile call carries the token as its only parameter; success needs
// a profile with "id" and "name"; the identifier is spent once an outcome is reached.
#include <cstdint>

#include "providers/IWWindowsLiveAuthClient.h"
#include "support/SignInFlow.h"

using namespace zelk;
using namespace zelk::IWZelkAuthBase;
using zelk::fuzz::Field;
using zelk::fuzz::FieldNames;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  fuzz::TParts In(Data, Size);
  fuzz::TSignInFlow<IWWindowsLiveAuthClient::TZIWWindowsLiveAuthClient> F;
  F.Client->App()->SetID("0000000&4C0FFEE1");
  F.Client->App()->SetSecret("live client=secret");
  IWWindowsLiveAuthClient::TIWScopes Scopes;
  if (In.Option(2)) Scopes.Include(IWWindowsLiveAuthClient::wlEmail);
  if (In.Option(3)) Scopes.Include(IWWindowsLiveAuthClient::wlBirthDay);
  F.Client->SetScopes(Scopes);
  if (In.Option(4)) F.Client->SetStandaloneRedirectURL("https://www.example.test/signin?x=1");
  F.Client->Login(F.App.get());
  const std::string Id = F.Identifier();
  const std::string ReturnAddress =
      (In.Option(4) ? "https://www.example.test/signin?x=1" : "http://localhost/app") +
      std::string("?clientid=") + Id;

  const auto Request =
      web::THttpRequest::FromTarget("/app?" + fuzz::CallbackQuery(In, "clientid", Id));
  const fuzz::TReply TokenReply = fuzz::QueueReply(In, F.Net);
  const fuzz::TReply ProfileReply = fuzz::QueueReply(In, F.Net);

  const bool Threw = F.ReturnFailsInTransport(Request);
  const auto Sent = F.Net.Requests();
  if (!fuzz::RoutesTo(Request, Id)) {
    ZELK_FUZZ_CHECK(Sent.empty() && F.OK + F.Failed == 0, Request.QueryString());
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
  if (Result == resFailed) ZELK_FUZZ_CHECK(F.Client->LoginError().empty(), F.Client->LoginError());

  const std::string Code = Request.Query("code");
  if (Code.empty() || Request.Query("clientid").empty()) {
    ZELK_FUZZ_CHECK(Sent.empty() && Result == resFailed, "a return without a code");
  } else {
    ZELK_FUZZ_CHECK(!Sent.empty(), "no token request");
    const TTransportRequest& T = Sent[0];
    ZELK_FUZZ_CHECK(T.Method == "POST" && T.Host == ProviderHost(phWindowsLiveLogin) &&
                        T.Path == "/oauth20_token.srf" &&
                        T.Headers == "Content-Type: application/x-www-form-urlencoded",
                    T.Path);
    ZELK_FUZZ_CHECK(
        (FieldNames(T.Data) == std::vector<std::string>{"client_id", "redirect_uri",
                                                        "client_secret", "code", "grant_type"}),
        T.Data);
    ZELK_FUZZ_CHECK(Field(T.Data, "code") == Code, T.Data);
    ZELK_FUZZ_CHECK(Field(T.Data, "redirect_uri") == ReturnAddress, T.Data);
    ZELK_FUZZ_CHECK(Field(T.Data, "client_id") == "0000000&4C0FFEE1", T.Data);
    ZELK_FUZZ_CHECK(Field(T.Data, "client_secret") == "live client=secret", T.Data);
    TJSONObject J;
    ParseJSON(TokenReply.Body, J);
    const std::string AccessToken = J.Text("access_token");
    if (TokenReply.Body.empty() || AccessToken.empty()) {
      ZELK_FUZZ_CHECK(Sent.size() == 1 && Result == resFailed, TokenReply.Body);
    } else {
      ZELK_FUZZ_CHECK(Sent.size() == 2, "no profile request");
      const TTransportRequest& P = Sent[1];
      ZELK_FUZZ_CHECK(P.Method == "GET" && P.Host == ProviderHost(phWindowsLiveApis) &&
                          P.Path.starts_with("/v5.0/me?access_token="),
                      P.Path);
      ZELK_FUZZ_CHECK(FieldNames(fuzz::QueryOf(P.Path)) == std::vector<std::string>{"access_token"},
                      P.Path);
      ZELK_FUZZ_CHECK(Field(fuzz::QueryOf(P.Path), "access_token") == AccessToken, P.Path);
      TJSONObject Profile;
      ParseJSON(ProfileReply.Body, Profile);
      const bool Complete = Profile.Has("id") && Profile.Has("name");
      ZELK_FUZZ_CHECK(Complete == (Result == resOK), ProfileReply.Body);
      if (Complete) {
        ZELK_FUZZ_CHECK(F.Client->LoginID() == Profile.Text("id"), F.Client->LoginID());
        ZELK_FUZZ_CHECK(F.Client->LoginUsername() == Profile.Text("name"),
                        F.Client->LoginUsername());
      }
    }
  }
  F.Net.Clear();
  F.Return(Request);
  ZELK_FUZZ_CHECK(F.Net.Count() == 0 && F.OK + F.Failed == 1, "a replayed return was served");
  return 0;
}
