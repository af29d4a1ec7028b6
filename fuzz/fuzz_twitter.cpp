// A Twitter sign-in fed an arbitrary request-token reply, an arbitrary callback query and an
// arbitrary access-token reply, then a status update of an arbitrary text fed an arbitrary
// reply. Every signed request is checked the way an OAuth 1.0a server checks it (the
// simulator's independent verifier, RFC 5849).
//
// Invariants. Login: the request-token call carries exactly the six OAuth header entries and the
// return address as its only body field, and its signature verifies; a reply without the
// confirmation fails the sign-in with the reply as LoginError and sends the browser nowhere;
// otherwise the browser goes to Twitter's authorize page for the reply's token, with no byte a
// Location header must not carry, or nowhere when the token or secret is missing.
// Return: only the flow's identifier routes; a transport failure leaves the outcome and raises
// no event; "denied" fails with "Access denied" and sends nothing; without a token it fails
// with a message, forgets the previous user and cannot be replayed; otherwise the access-token call
// carries exactly the OAuth parameters with the browser's token and verifier intact (no value can
// add one) and its signature verifies under the request-token secret; success needs "&user_id" and
// "&screen_name" with non-empty values, which become LoginID and LoginUsername.
// Post: the update carries exactly the OAuth header entries and the three body fields with the
// status text intact, and its signature verifies; a reply without "id_str" fails the post with
// the whole reply; OnPostOK carries the top-level "id_str".
#include <cstdint>

#include "providers/IWTwitterAuthClient.h"
#include "sim/OAuth1Verifier.h"
#include "support/SignInFlow.h"

using namespace zelk;
using namespace zelk::IWZelkAuthBase;
using zelk::fuzz::Field;
using zelk::fuzz::FieldNames;
namespace oauth1 = zelk::sim::oauth1;

namespace {

constexpr const char* kConsumerKey = "zelkfuzzconsumer";
constexpr const char* kConsumerSecret = "fuzz secret&=%";

// Letters, digits, "-", ".", "_" and "~": what keys and tokens are made of. Others travel raw
// in the Authorization header, where a server decodes them, so only such values verify.
bool Unreserved(std::string_view S) {
  return URLEncode(S) == S;
}

std::vector<std::string> Names(const oauth1::TParams& Params) {
  std::vector<std::string> R;
  for (const auto& P : Params)
    R.push_back(P.Name);
  return R;
}

// Checks Request as a server would: its parameters, then its signature under TokenSecret.
oauth1::TCollected Verify(const TTransportRequest& Request, const std::string& TokenSecret) {
  oauth1::TReceived R;
  R.Method = Request.Method;
  R.HostHeader = Request.Host;
  R.Target = Request.Path;
  if (Request.Headers.starts_with("Authorization: ")) R.Authorization = Request.Headers.substr(15);
  R.Body = Request.Data;
  const oauth1::TCollectResult C = oauth1::Collect(R);
  ZELK_FUZZ_CHECK(C.Params.has_value(), C.Error + " in " + Request.Path + " " + Request.Headers);
  const std::string Base = oauth1::SignatureBaseString(
      Request.Method, oauth1::BaseStringURI("https", Request.Host, C.Params->Path),
      C.Params->Signed);
  ZELK_FUZZ_CHECK(
      oauth1::SameSignature(C.Params->Signature,
                            oauth1::HmacSha1Signature(Base, kConsumerSecret, TokenSecret)),
      "signature over " + Base);
  return *C.Params;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  fuzz::TParts In(Data, Size);
  fuzz::TSignInFlow<IWTwitterAuthClient::TZIWTwitterAuthClient> F;
  F.Client->App()->SetID(kConsumerKey);
  F.Client->App()->SetSecret(kConsumerSecret);
  std::vector<std::string> PostOK;
  std::vector<std::string> PostFailed;
  F.Client->SetOnPostOK([&](rtl::TObject*, std::string Id) { PostOK.push_back(std::move(Id)); });
  F.Client->SetOnPostFailed(
      [&](rtl::TObject*, std::string Message) { PostFailed.push_back(std::move(Message)); });
  const std::string Host = ProviderHost(phTwitterApi);

  // Leg 1: the request token.
  const fuzz::TReply RequestTokenReply = fuzz::QueueReply(In, F.Net);
  try {
    F.Client->Login(F.App.get());
  } catch (const rtl::Exception& E) {
    ZELK_FUZZ_CHECK(E.Message() == fuzz::kTransportFailure && RequestTokenReply.Failure,
                    E.Message());
    ZELK_FUZZ_CHECK(F.App->RedirectURL().empty() && F.Client->LoginResult() == resNone,
                    "a failed request-token call went on");
    return 0;
  }
  const std::string Id = F.Identifier();
  {
    const TTransportRequest T = F.Net.At(0);
    ZELK_FUZZ_CHECK(T.Method == "POST" && T.Host == Host && T.Path == "/oauth/request_token",
                    T.Path);
    ZELK_FUZZ_CHECK(FieldNames(T.Data) == std::vector<std::string>{"oauth_callback"}, T.Data);
    ZELK_FUZZ_CHECK(Field(T.Data, "oauth_callback") == "http://localhost/app/?clientid=" + Id,
                    T.Data);
    const auto P = Verify(T, "");
    ZELK_FUZZ_CHECK(
        (Names(P.Protocol) ==
         std::vector<std::string>{"oauth_consumer_key", "oauth_signature_method", "oauth_timestamp",
                                  "oauth_nonce", "oauth_version", "oauth_callback"}),
        T.Headers);
  }
  const std::string& Reply1 = RequestTokenReply.Body;
  std::string RequestTokenSecret;
  if (Reply1.find("&oauth_callback_confirmed=true") == std::string::npos) {
    ZELK_FUZZ_CHECK(F.Client->LoginResult() == resFailed && F.Client->LoginError() == Reply1,
                    F.Client->LoginError());
    ZELK_FUZZ_CHECK(F.App->RedirectURL().empty(), F.App->RedirectURL());
  } else {
    const rtl::TStringList Values = IWTwitterAuthClient::ReadFormReply(Reply1);
    const std::string Token = Values.Values("oauth_token");
    const std::string Secret = Values.Values("oauth_token_secret");
    ZELK_FUZZ_CHECK(F.Client->LoginResult() == resNone, "an outcome from a confirmed reply");
    if (Token.empty() || Secret.empty()) {
      ZELK_FUZZ_CHECK(F.App->RedirectURL().empty(), F.App->RedirectURL());
    } else {
      RequestTokenSecret = Secret;
      const std::string& To = F.App->RedirectURL();
      ZELK_FUZZ_CHECK(
          To == "https://" + Host + "/oauth/authorize?oauth_token=" + EncodeURLUnsafe(Token) ||
              To.empty(),
          To);
      ZELK_FUZZ_CHECK(!fuzz::HasUnsafeByte(To), To);
    }
  }
  ZELK_FUZZ_CHECK(F.OK + F.Failed == 0, "an event from Login");
  const TIWResult AfterLogin = F.Client->LoginResult();

  // Legs 2 and 3: the return and the access token.
  F.Net.Clear();
  const auto Request =
      web::THttpRequest::FromTarget("/app/?" + fuzz::CallbackQuery(In, "clientid", Id));
  const fuzz::TReply AccessReply = fuzz::QueueReply(In, F.Net);
  bool Threw = false;
  try {
    F.Return(Request);
  } catch (const rtl::Exception& E) {
    ZELK_FUZZ_CHECK(E.Message() == fuzz::kTransportFailure && AccessReply.Failure, E.Message());
    Threw = true;
  }
  const auto Sent = F.Net.Requests();
  std::string TokenSecret;  // what the client signs posts with
  bool SignedIn = false;
  if (!fuzz::RoutesTo(Request, Id)) {
    ZELK_FUZZ_CHECK(Sent.empty() && F.OK + F.Failed == 0, Request.QueryString());
  } else if (Threw) {
    ZELK_FUZZ_CHECK(F.OK + F.Failed == 0 && F.Client->LoginResult() == AfterLogin,
                    "outcome or event after a transport failure");
  } else if (!Request.Query("denied").empty()) {
    ZELK_FUZZ_CHECK(Sent.empty() && F.Failed == 1 && F.OK == 0, "a denied return");
    ZELK_FUZZ_CHECK(
        F.Client->LoginResult() == resFailed && F.Client->LoginError() == "Access denied",
        F.Client->LoginError());
  } else if (Request.Query("oauth_token").empty()) {
    ZELK_FUZZ_CHECK(
        Sent.empty() && F.Client->LoginResult() == resFailed && !F.Client->LoginError().empty(),
        "a return without token");
    ZELK_FUZZ_CHECK(F.Failed == 1 && F.OK == 0, "a return without token must fail");
    ZELK_FUZZ_CHECK(F.Client->LoginID().empty() && F.Client->LoginUsername().empty(),
                    "a user kept after a return without token");
    F.Return(Request);
    ZELK_FUZZ_CHECK(F.OK + F.Failed == 1, "a replayed return without token was served");
  } else {
    ZELK_FUZZ_CHECK(Sent.size() == 1, "no access-token request");
    const TTransportRequest& T = Sent[0];
    ZELK_FUZZ_CHECK(T.Method == "GET" && T.Host == Host &&
                        T.Path.starts_with("/oauth/access_token?") && T.Headers.empty(),
                    T.Path);
    const std::string Verifier = Request.Query("oauth_verifier");
    std::vector<std::string> Expected{"oauth_consumer_key", "oauth_nonce", "oauth_signature_method",
                                      "oauth_timestamp", "oauth_token"};
    if (!Verifier.empty()) Expected.push_back("oauth_verifier");
    Expected.push_back("oauth_version");
    Expected.push_back("oauth_signature");
    ZELK_FUZZ_CHECK(FieldNames(fuzz::QueryOf(T.Path)) == Expected, T.Path);
    ZELK_FUZZ_CHECK(Field(fuzz::QueryOf(T.Path), "oauth_token") == Request.Query("oauth_token"),
                    T.Path);
    if (!Verifier.empty())
      ZELK_FUZZ_CHECK(Field(fuzz::QueryOf(T.Path), "oauth_verifier") == Verifier, T.Path);
    Verify(T, RequestTokenSecret);

    const std::string& Reply = AccessReply.Body;
    const TIWResult Result = F.Client->LoginResult();
    ZELK_FUZZ_CHECK(F.OK == (Result == resOK ? 1 : 0) && F.Failed == (Result == resFailed ? 1 : 0),
                    "events do not match the outcome");
    if (Reply.find("&user_id") == std::string::npos ||
        Reply.find("&screen_name") == std::string::npos) {
      ZELK_FUZZ_CHECK(Result == resFailed && F.Client->LoginError().empty(), Reply);
    } else {
      const rtl::TStringList Values = IWTwitterAuthClient::ReadFormReply(Reply);
      TokenSecret = Values.Values("oauth_token_secret");
      const bool Complete =
          !Values.Values("user_id").empty() && !Values.Values("screen_name").empty();
      ZELK_FUZZ_CHECK(Complete == (Result == resOK), Reply);
      if (Complete) {
        ZELK_FUZZ_CHECK(F.Client->LoginID() == Values.Values("user_id") &&
                            F.Client->LoginUsername() == Values.Values("screen_name"),
                        Reply);
        SignedIn = Unreserved(Values.Values("oauth_token")) && Unreserved(TokenSecret);
      }
    }
    F.Net.Clear();
    F.Return(Request);
    ZELK_FUZZ_CHECK(F.Net.Count() == 0 && F.OK + F.Failed == 1, "a replayed return was served");
  }

  // A status update of an arbitrary text. Checked in full after a sign-in with well-formed
  // tokens, and before any sign-in (empty token).
  F.Net.Clear();
  const std::string Status = In.Next();
  const fuzz::TReply PostReply = fuzz::QueueReply(In, F.Net);
  try {
    F.Client->Post(Status);
  } catch (const rtl::Exception& E) {
    ZELK_FUZZ_CHECK(E.Message() == fuzz::kTransportFailure && PostReply.Failure, E.Message());
    ZELK_FUZZ_CHECK(PostOK.empty() && PostFailed.empty(), "an event after a transport failure");
    return 0;
  }
  const bool NeverSignedIn = Sent.empty() || Threw;
  if (SignedIn || (NeverSignedIn && AfterLogin == resNone && RequestTokenSecret.empty())) {
    const TTransportRequest T = F.Net.At(0);
    ZELK_FUZZ_CHECK(T.Method == "POST" && T.Host == Host && T.Path == "/1/statuses/update.json",
                    T.Path);
    ZELK_FUZZ_CHECK(
        (FieldNames(T.Data) == std::vector<std::string>{"include_entities", "status", "trim_user"}),
        T.Data);
    ZELK_FUZZ_CHECK(Field(T.Data, "status") == Status, T.Data);
    const auto P = Verify(T, SignedIn ? TokenSecret : std::string());
    ZELK_FUZZ_CHECK(
        (Names(P.Protocol) ==
         std::vector<std::string>{"oauth_consumer_key", "oauth_signature_method", "oauth_timestamp",
                                  "oauth_nonce", "oauth_version", "oauth_token"}),
        T.Headers);
  }
  const std::string& Reply = PostReply.Body;
  if (Reply.find("id_str") == std::string::npos) {
    ZELK_FUZZ_CHECK(PostOK.empty() && PostFailed == std::vector<std::string>{Reply}, Reply);
  } else {
    TJSONObject J;
    ParseJSON(Reply, J);
    ZELK_FUZZ_CHECK(PostFailed.empty(), Reply);
    ZELK_FUZZ_CHECK(
        J.Has("id_str") ? PostOK == std::vector<std::string>{J.Text("id_str")} : PostOK.empty(),
        Reply);
  }
  return 0;
}
