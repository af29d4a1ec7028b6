// A Facebook sign-in's return fed an arbitrary callback query and arbitrary replies from the
// token and profile calls, then a wall post of an arbitrary message fed an arbitrary reply.
//
// Invariants: the return reaches the client only with the flow's identifier; a transport
// failure leaves the outcome and raises no event; otherwise resOK or resFailed with exactly the
// matching event; without a code nothing is sent; the token request's query has exactly its
// four fields, the code as the browser sent it; LoginError changes only to the message of a
// Graph error document; the profile call carries the token as its access_token, and success
// needs "id" and "name"; the identifier is spent once an outcome is reached. A post without a
// token sends nothing; otherwise its query has exactly message, access_token and format, the
// message intact; only a post id (digits "_" digits, bare or quoted) succeeds, with the part
// after the "_"; anything else fails with the error document's message or the reply's start.
#include <cstdint>

#include "providers/IWFacebookAuthClient.h"
#include "support/SignInFlow.h"

using namespace zelk;
using namespace zelk::IWZelkAuthBase;
using zelk::fuzz::Field;
using zelk::fuzz::FieldNames;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  fuzz::TParts In(Data, Size);
  fuzz::TSignInFlow<IWFacebookAuthClient::TZIWFacebookAuthClient> F;
  F.Client->App()->SetID("1234567890123");
  F.Client->App()->SetSecret("facebook-app-secret");
  IWFacebookAuthClient::TIWScopes Scopes;
  if (In.Option(2)) Scopes.Include(IWFacebookAuthClient::fbEmail);
  if (In.Option(3)) Scopes.Include(IWFacebookAuthClient::fbBirthDay);
  F.Client->SetScopes(Scopes);
  std::vector<std::string> PostOK;
  std::vector<std::string> PostFailed;
  F.Client->SetOnPostOK([&](rtl::TObject*, std::string Id) { PostOK.push_back(std::move(Id)); });
  F.Client->SetOnPostFailed(
      [&](rtl::TObject*, std::string Message) { PostFailed.push_back(std::move(Message)); });
  F.Client->Login(F.App.get());
  const std::string Id = F.Identifier();

  const auto Request =
      web::THttpRequest::FromTarget("/app/?" + fuzz::CallbackQuery(In, "clientid", Id));
  const fuzz::TReply TokenReply = fuzz::QueueReply(In, F.Net);
  const fuzz::TReply ProfileReply = fuzz::QueueReply(In, F.Net);

  const bool Threw = F.ReturnFailsInTransport(Request);
  const auto Sent = F.Net.Requests();
  std::string Token;  // the token the client took, and how it must travel
  bool TokenFromJSON = false;
  if (!fuzz::RoutesTo(Request, Id)) {
    ZELK_FUZZ_CHECK(Sent.empty() && F.OK + F.Failed == 0, Request.QueryString());
    ZELK_FUZZ_CHECK(F.Client->LoginResult() == resNone, Request.QueryString());
  } else if (Threw) {
    F.CheckTransportFailure(TokenReply, ProfileReply);
  } else {
    const TIWResult Result = F.Client->LoginResult();
    ZELK_FUZZ_CHECK(Result != resNone, "no outcome");
    ZELK_FUZZ_CHECK(F.OK == (Result == resOK ? 1 : 0) && F.Failed == (Result == resFailed ? 1 : 0),
                    "events do not match the outcome");
    const std::string Code = Request.Query("code");
    if (Code.empty()) {
      ZELK_FUZZ_CHECK(Sent.empty() && Result == resFailed, "a return without a code");
      ZELK_FUZZ_CHECK(F.Client->LoginError() == "earlier error", F.Client->LoginError());
    } else {
      ZELK_FUZZ_CHECK(!Sent.empty(), "no token request");
      const TTransportRequest& T = Sent[0];
      ZELK_FUZZ_CHECK(T.Method == "GET" && T.Host == ProviderHost(phFacebookGraph) &&
                          T.Path.starts_with("/oauth/access_token?client_id=1234567890123&"
                                             "redirect_uri=http://localhost/app/?clientid=" +
                                             Id + "&client_secret=facebook-app-secret&code="),
                      T.Path);
      ZELK_FUZZ_CHECK(
          (FieldNames(fuzz::QueryOf(T.Path)) ==
           std::vector<std::string>{"client_id", "redirect_uri", "client_secret", "code"}),
          T.Path);
      ZELK_FUZZ_CHECK(Field(fuzz::QueryOf(T.Path), "code") == Code, T.Path);

      TJSONObject J;
      ParseJSON(TokenReply.Body, J);
      const auto& Doc = J.Json();
      if (const auto It = Doc.find("access_token"); It != Doc.end() && It->is_string()) {
        Token = It->get<std::string>();
        TokenFromJSON = true;
      }
      if (TokenReply.Body.find("access_token") == std::string::npos) {
        const std::string Message = J.IsObject("error") && J.Object("error").Has("message")
                                        ? J.Object("error").Text("message")
                                        : std::string("earlier error");
        ZELK_FUZZ_CHECK(F.Client->LoginError() == Message, F.Client->LoginError());
      } else {
        ZELK_FUZZ_CHECK(F.Client->LoginError() == "earlier error", F.Client->LoginError());
      }
      if (Sent.size() == 1) {
        ZELK_FUZZ_CHECK(Result == resFailed, "success without a profile");
        ZELK_FUZZ_CHECK(Token.empty(), "a JSON token that was not used");
      } else {
        ZELK_FUZZ_CHECK(Sent.size() == 2, "more than two calls");
        const TTransportRequest& P = Sent[1];
        ZELK_FUZZ_CHECK(P.Method == "GET" && P.Host == ProviderHost(phFacebookGraph) &&
                            P.Path.starts_with("/me?access_token="),
                        P.Path);
        const std::string_view Query = fuzz::QueryOf(P.Path);
        ZELK_FUZZ_CHECK((FieldNames(Query) == std::vector<std::string>{"access_token", "fields"}),
                        P.Path);
        if (TokenFromJSON) {
          ZELK_FUZZ_CHECK(Field(Query, "access_token") == Token, P.Path);
        } else {
          // The older form reply's token is already encoded: it travels as it came, only bytes
          // no request target may hold escaped.
          const auto Eq = TokenReply.Body.find('=');
          Token = TokenReply.Body.substr(Eq + 1, TokenReply.Body.find('&') - Eq - 1);
          const std::string_view InPath = Query.substr(13, Query.find('&') - 13);
          ZELK_FUZZ_CHECK(!Token.empty() && InPath == EncodeURLUnsafe(Token), P.Path);
          ZELK_FUZZ_CHECK(!fuzz::HasUnsafeByte(P.Path), P.Path);
        }
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
  }

  // A post of an arbitrary message, answered by an arbitrary reply.
  F.Net.Clear();
  const std::string Message = In.Next();
  const fuzz::TReply PostReply = fuzz::QueueReply(In, F.Net);
  bool PostThrew = false;
  try {
    F.Client->Post(Message);
  } catch (const rtl::Exception& E) {
    ZELK_FUZZ_CHECK(E.Message() == fuzz::kTransportFailure && PostReply.Failure, E.Message());
    PostThrew = true;
  }
  const auto Posted = F.Net.Requests();
  if (Token.empty() && !(Threw && Sent.size() == 2)) {
    // No token was ever taken (after a failed profile call the token is kept: see above).
    ZELK_FUZZ_CHECK(Posted.empty() && PostOK.empty() && PostFailed.empty(), "post without token");
    return 0;
  }
  if (Posted.empty()) return 0;
  const TTransportRequest& P = Posted[0];
  ZELK_FUZZ_CHECK(P.Method == "GET" && P.Host == ProviderHost(phFacebookRest) &&
                      P.Path.starts_with("/method/stream.publish?message="),
                  P.Path);
  const std::string_view Query = fuzz::QueryOf(P.Path);
  ZELK_FUZZ_CHECK(
      (FieldNames(Query) == std::vector<std::string>{"message", "access_token", "format"}), P.Path);
  ZELK_FUZZ_CHECK(Field(Query, "message") == Message, P.Path);
  ZELK_FUZZ_CHECK(Field(Query, "format") == "json", P.Path);
  if (PostThrew) {
    ZELK_FUZZ_CHECK(PostOK.empty() && PostFailed.empty(), "an event after a transport failure");
    return 0;
  }
  const std::string& Reply = PostReply.Body;
  ZELK_FUZZ_CHECK(PostOK.size() + PostFailed.size() == 1, Reply);
  if (!PostOK.empty()) {
    // Only "<digits>_<digits>", bare or quoted, with blanks around it, is a post id.
    const auto First = Reply.find_first_not_of(" \t\r\n");
    std::string Core = Reply.substr(First, Reply.find_last_not_of(" \t\r\n") - First + 1);
    if (Core.size() >= 2 && Core.front() == '"' && Core.back() == '"')
      Core = Core.substr(1, Core.size() - 2);
    const auto Underscore = Core.find('_');
    ZELK_FUZZ_CHECK(Underscore != std::string::npos && Underscore > 0 &&
                        Core.substr(Underscore + 1) == PostOK[0] && !PostOK[0].empty(),
                    Reply);
    ZELK_FUZZ_CHECK(Core.erase(Underscore, 1).find_first_not_of("0123456789") == std::string::npos,
                    Reply);
  } else {
    TJSONObject J;
    ParseJSON(Reply, J);
    const std::string Message = J.Has("error_msg")    ? J.Text("error_msg")
                                : J.IsObject("error") ? J.Object("error").Text("message")
                                                      : std::string();
    ZELK_FUZZ_CHECK(!PostFailed[0].empty(), Reply);
    // The provider's message, or a start of the reply no longer than 200 characters.
    ZELK_FUZZ_CHECK(Message.empty()
                        ? (Reply.starts_with(PostFailed[0]) && PostFailed[0].size() <= 200 * 4) ||
                              Reply.find_first_not_of(" \t\r\n") == std::string::npos
                        : PostFailed[0] == Message,
                    Reply);
  }
  return 0;
}
