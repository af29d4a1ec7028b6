// Twitter's OAuth 1.0a legs and status updates in the simulator.
#include "sim/TwitterSim.h"

#include <algorithm>
#include <array>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "platform/web/HttpResponse.h"
#include "sim/OAuth1Verifier.h"
#include "sim/OAuth2Grants.h"

namespace zelk::sim {

namespace {

using oauth1::TParams;

constexpr TProviderId kTwitter = TProviderId::Twitter;

// Twitter's error document.
TSimResponse Error(int Status, int Code, const std::string& Message) {
  TSimResponse R;
  R.Status = Status;
  R.ContentType = "application/json; charset=utf-8";
  R.Body = nlohmann::json{{"errors", {{{"code", Code}, {"message", Message}}}}}.dump();
  return R;
}

TSimResponse ErrorPage(int Status, const std::string& Title, const std::string& Text) {
  return TSimResponse::Html("<!DOCTYPE html>\n<html><head><title>" + web::HTMLEncode(Title) +
                                "</title></head><body><h1>" + web::HTMLEncode(Title) + "</h1><p>" +
                                web::HTMLEncode(Text) + "</p></body></html>\n",
                            Status);
}

// "Wed Oct 10 20:19:24 +0000 2018", independent of the process's locale.
std::string CreatedAt(std::chrono::system_clock::time_point T) {
  static constexpr std::array<const char*, 7> kDays{"Sun", "Mon", "Tue", "Wed",
                                                    "Thu", "Fri", "Sat"};
  static constexpr std::array<const char*, 12> kMonths{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t Seconds = std::chrono::system_clock::to_time_t(T);
  std::tm U{};
  gmtime_r(&Seconds, &U);
  char Buffer[64];
  std::snprintf(Buffer, sizeof Buffer, "%s %s %02d %02d:%02d:%02d +0000 %d",
                kDays[static_cast<std::size_t>(U.tm_wday)],
                kMonths[static_cast<std::size_t>(U.tm_mon)], U.tm_mday, U.tm_hour, U.tm_min,
                U.tm_sec, U.tm_year + 1900);
  return Buffer;
}

// Characters as Twitter counts them: code points, not bytes.
std::size_t CodePoints(std::string_view S) {
  return static_cast<std::size_t>(std::count_if(
      S.begin(), S.end(), [](char C) { return (static_cast<unsigned char>(C) & 0xC0) != 0x80; }));
}

bool IsAbsoluteHttpURL(std::string_view URL) {
  return URL.rfind("http://", 0) == 0 || URL.rfind("https://", 0) == 0;
}

}  // namespace

struct TwitterSim::TState {
  enum class TRequestTokenState { Issued, Authorized, Denied, Used };
  struct TRequestToken {
    std::string Secret;
    std::string ConsumerKey;
    std::string Callback;
    TRequestTokenState State = TRequestTokenState::Issued;
    std::string Verifier;
    std::string UserID;
    bool Current = false;  // issued by the current API's host
  };
  struct TAccessToken {
    std::string Secret;
    std::string ConsumerKey;
    std::string UserID;
  };
  // The result of checking a signed request: the parameters, or the refusal to answer.
  struct TChecked {
    std::optional<TSimResponse> Refusal;
    oauth1::TCollected Params;
  };
  enum class TTokenKind { None, Request, Access };

  Simulator* Sim = nullptr;
  mutable std::mutex Mutex;
  std::vector<TTwitterConsumer> Consumers;
  std::vector<TTwitterUser> Users;
  std::chrono::seconds Window{300};
  std::function<std::chrono::system_clock::time_point()> Clock;
  std::map<std::string, TRequestToken> RequestTokens;
  std::map<std::string, TAccessToken> AccessTokens;
  // Nonces seen, by consumer and time stamp.
  std::map<std::pair<std::string, long long>, std::set<std::string>> Nonces;
  std::vector<TTwitterStatus> Statuses;
  std::vector<std::string> Rejections;
  unsigned long long NextStatusID = 1050118621198921728ULL;

  std::chrono::system_clock::time_point Now() const {
    return Clock ? Clock() : std::chrono::system_clock::now();
  }

  const TTwitterConsumer* Consumer(const std::string& Key) const {
    const auto It = std::find_if(Consumers.begin(), Consumers.end(),
                                 [&](const TTwitterConsumer& C) { return C.Key == Key; });
    return It == Consumers.end() ? nullptr : &*It;
  }

  const TTwitterUser* User(const std::string& ID) const {
    const auto It = std::find_if(Users.begin(), Users.end(),
                                 [&](const TTwitterUser& U) { return U.UserID == ID; });
    return It == Users.end() ? nullptr : &*It;
  }

  TSimResponse Reject(const TSimRequest& R, std::string Reason, TSimResponse Reply) {
    Rejections.push_back(R.Method + " " + R.Path + ": " + std::move(Reason));
    return Reply;
  }

  // Everything an OAuth 1.0a server checks before it looks at what the request asks for.
  TChecked Check(const TSimRequest& R, TTokenKind Kind) {
    oauth1::TReceived Received;
    Received.Method = R.Method;
    Received.HostHeader = R.Header("Host");
    if (Received.HostHeader.empty()) Received.HostHeader = Sim->HostFor(kTwitter);
    Received.Target = R.Target;
    Received.Authorization = R.Header("Authorization");
    Received.ContentType = R.Header("Content-Type");
    Received.Body = R.Body;
    auto Collected = oauth1::Collect(Received);
    if (!Collected.Params)
      return {Reject(R, Collected.Error, Error(400, 215, "Bad Authentication data.")), {}};
    oauth1::TCollected& P = *Collected.Params;

    for (const char* Name :
         {"oauth_consumer_key", "oauth_signature_method", "oauth_timestamp", "oauth_nonce"})
      if (oauth1::Find(P.Protocol, Name).empty())
        return {Reject(R, std::string(Name) + " is missing",
                       Error(400, 215, "Bad Authentication data.")),
                {}};
    if (P.Signature.empty())
      return {Reject(R, "oauth_signature is missing", Error(400, 215, "Bad Authentication data.")),
              {}};
    if (oauth1::Find(P.Protocol, "oauth_signature_method") != "HMAC-SHA1")
      return {Reject(R,
                     "signature method " + oauth1::Find(P.Protocol, "oauth_signature_method") +
                         " is not HMAC-SHA1",
                     Error(401, 32, "Could not authenticate you.")),
              {}};
    if (oauth1::Has(P.Protocol, "oauth_version") &&
        oauth1::Find(P.Protocol, "oauth_version") != "1.0")
      return {Reject(R, "oauth_version is not 1.0", Error(401, 32, "Could not authenticate you.")),
              {}};

    const std::string ConsumerKey = oauth1::Find(P.Protocol, "oauth_consumer_key");
    const TTwitterConsumer* Consumer = this->Consumer(ConsumerKey);
    if (Consumer == nullptr)
      return {Reject(R, "unknown consumer key " + ConsumerKey,
                     Error(401, 32, "Could not authenticate you.")),
              {}};

    const std::string Stamp = oauth1::Find(P.Protocol, "oauth_timestamp");
    if (Stamp.size() > 12 || Stamp.find_first_not_of("0123456789") != std::string::npos)
      return {Reject(R, "oauth_timestamp " + Stamp + " is not a number of seconds",
                     Error(401, 135, "Timestamp out of bounds.")),
              {}};
    const long long Seconds = std::stoll(Stamp);
    const long long Now =
        std::chrono::duration_cast<std::chrono::seconds>(this->Now().time_since_epoch()).count();
    if (Seconds < Now - Window.count() || Seconds > Now + Window.count())
      return {
          Reject(R,
                 "oauth_timestamp " + Stamp + " is more than " + std::to_string(Window.count()) +
                     " s from the server's " + std::to_string(Now),
                 Error(401, 135, "Timestamp out of bounds.")),
          {}};

    const std::string Token = oauth1::Find(P.Protocol, "oauth_token");
    std::string TokenSecret;
    if (Kind == TTokenKind::None) {
      if (!Token.empty())
        return {Reject(R, "a request-token call carries oauth_token",
                       Error(401, 32, "Could not authenticate you.")),
                {}};
    } else if (Kind == TTokenKind::Request) {
      const auto It = RequestTokens.find(Token);
      if (Token.empty() || It == RequestTokens.end() || It->second.ConsumerKey != ConsumerKey)
        return {Reject(R, "oauth_token \"" + Token + "\" is not a request token of this consumer",
                       TSimResponse::Text("Invalid request token.", "text/plain", 401)),
                {}};
      TokenSecret = It->second.Secret;
    } else {
      const auto It = AccessTokens.find(Token);
      if (Token.empty() || It == AccessTokens.end() || It->second.ConsumerKey != ConsumerKey)
        return {Reject(R, "oauth_token \"" + Token + "\" is not an access token of this consumer",
                       Error(401, 89, "Invalid or expired token.")),
                {}};
      TokenSecret = It->second.Secret;
    }

    const std::string BaseString = oauth1::SignatureBaseString(
        R.Method, oauth1::BaseStringURI("https", Received.HostHeader, P.Path), P.Signed);
    const std::string Expected =
        oauth1::HmacSha1Signature(BaseString, Consumer->Secret, TokenSecret);
    if (!oauth1::SameSignature(Expected, P.Signature))
      return {Reject(R,
                     "signature " + P.Signature + " does not match; the server's base string is " +
                         BaseString,
                     Error(401, 32, "Could not authenticate you.")),
              {}};

    // Checked after the signature, so that forged requests cannot use up nonces.
    const std::string Nonce = oauth1::Find(P.Protocol, "oauth_nonce");
    for (auto It = Nonces.begin(); It != Nonces.end();) {
      if (It->first.second < Now - Window.count())
        It = Nonces.erase(It);
      else
        ++It;
    }
    if (!Nonces[{ConsumerKey, Seconds}].insert(Nonce).second)
      return {Reject(R, "nonce " + Nonce + " was already used with time stamp " + Stamp,
                     Error(401, 32, "Could not authenticate you.")),
              {}};
    return {std::nullopt, std::move(P)};
  }

  TSimResponse RequestToken(const TSimRequest& R) {
    std::lock_guard L(Mutex);
    TChecked C = Check(R, TTokenKind::None);
    if (C.Refusal) return *C.Refusal;
    const std::string Callback = oauth1::Find(C.Params.Protocol, "oauth_callback");
    if (Callback.empty())
      return Reject(R, "oauth_callback is missing", Error(401, 32, "Could not authenticate you."));
    if (Callback != "oob" && !IsAbsoluteHttpURL(Callback))
      return Reject(R, "oauth_callback " + Callback + " is neither an absolute URL nor oob",
                    Error(401, 32, "Could not authenticate you."));
    const std::string ConsumerKey = oauth1::Find(C.Params.Protocol, "oauth_consumer_key");
    const bool Current = IsCurrentHost(R.Header("Host"));
    if (Current) {
      const TTwitterConsumer* Consumer = this->Consumer(ConsumerKey);
      const auto& Allowed = Consumer->Callbacks;
      if (std::find(Allowed.begin(), Allowed.end(), Callback) == Allowed.end())
        return Reject(R, "oauth_callback " + Callback + " is not on the allow list",
                      Error(403, 415,
                            "Callback URL not approved for this client application. Approved "
                            "callback URLs can be adjusted in your application settings"));
    }
    const std::string Token = RandomText(27, kAlphaNumeric);
    TRequestToken T;
    T.Secret = RandomText(32, kAlphaNumeric);
    T.ConsumerKey = ConsumerKey;
    T.Callback = Callback;
    T.Current = Current;
    const std::string Reply = "oauth_token=" + Token + "&oauth_token_secret=" + T.Secret +
                              "&oauth_callback_confirmed=true";
    RequestTokens.emplace(Token, std::move(T));
    return TSimResponse::Text(Reply, "application/x-www-form-urlencoded");
  }

  TSimResponse ConsentPage(const TSimRequest& R) {
    std::lock_guard L(Mutex);
    // A token secret in a browser URL ends up in histories and logs; no client may send one.
    if (R.Query.IndexOfName("oauth_token_secret") >= 0) {
      Rejections.push_back(R.Method + " " + R.Path +
                           ": the request-token secret was sent to the authorize page");
      return ErrorPage(400, "Secret in the URL",
                       "The request-token secret must not be sent to the authorize page.");
    }
    const std::string Token = R.Query.Values("oauth_token");
    const auto It = RequestTokens.find(Token);
    if (Token.empty() || It == RequestTokens.end() ||
        It->second.State != TRequestTokenState::Issued) {
      Rejections.push_back(R.Method + " " + R.Path + ": no request token awaits consent");
      return ErrorPage(400, "Whoa there!", "The request token for this page is invalid.");
    }
    const TTwitterConsumer* Consumer = this->Consumer(It->second.ConsumerKey);
    const std::string App = Consumer != nullptr ? Consumer->Name : std::string("the application");
    std::string Options;
    for (std::size_t I = 0; I < Users.size(); ++I)
      Options += "<option value=\"" + web::HTMLEncode(Users[I].UserID) + "\"" +
                 (I == 0 ? " selected" : "") + ">@" + web::HTMLEncode(Users[I].ScreenName) + " (" +
                 web::HTMLEncode(Users[I].Name) + ")</option>";
    return TSimResponse::Html(
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Authorize " +
        web::HTMLEncode(App) + "</title></head><body>\n<h1>Authorize " + web::HTMLEncode(App) +
        " to use your account?</h1>\n<form method=\"post\" action=\"/oauth/authorize\">\n"
        "<input type=\"hidden\" name=\"oauth_token\" value=\"" +
        web::HTMLEncode(Token) + "\">\n<label>Sign in as <select name=\"user_id\">" + Options +
        "</select></label>\n<button type=\"submit\" id=\"allow\" name=\"decision\" "
        "value=\"allow\">Allow</button>\n<button type=\"submit\" id=\"deny\" name=\"decision\" "
        "value=\"deny\">Deny</button>\n</form>\n</body></html>\n");
  }

  TSimResponse Decision(const TSimRequest& R) {
    std::lock_guard L(Mutex);
    const rtl::TStringList Form = R.Form();
    const std::string Token = Form.Values("oauth_token");
    const std::string Decision = Form.Values("decision");
    const auto It = RequestTokens.find(Token);
    if (Token.empty() || It == RequestTokens.end() ||
        It->second.State != TRequestTokenState::Issued) {
      Rejections.push_back(R.Method + " " + R.Path + ": no request token awaits consent");
      return ErrorPage(400, "Whoa there!", "The request token for this page is invalid.");
    }
    TRequestToken& T = It->second;
    const std::string Separator = T.Callback.find('?') == std::string::npos ? "?" : "&";
    if (Decision == "deny") {
      T.State = TRequestTokenState::Denied;
      if (T.Callback == "oob")
        return ErrorPage(200, "Access denied", "You did not allow the application to sign in.");
      return TSimResponse::Redirect(T.Callback + Separator +
                                    "denied=" + oauth1::PercentEncode(Token));
    }
    if (Decision != "allow") {
      Rejections.push_back(R.Method + " " + R.Path + ": decision \"" + Decision +
                           "\" is neither allow nor deny");
      return ErrorPage(400, "Unknown decision", "Choose Allow or Deny.");
    }
    std::string UserID = Form.Values("user_id");
    if (UserID.empty() && !Users.empty()) UserID = Users.front().UserID;
    if (User(UserID) == nullptr) {
      Rejections.push_back(R.Method + " " + R.Path + ": unknown user \"" + UserID + "\"");
      return ErrorPage(400, "Unknown user", "There is no such account.");
    }
    T.State = TRequestTokenState::Authorized;
    T.UserID = UserID;
    T.Verifier = RandomText(32, kAlphaNumeric);
    if (T.Callback == "oob")
      return TSimResponse::Html("<!DOCTYPE html>\n<html><body><p>Your PIN: <code id=\"pin\">" +
                                T.Verifier + "</code></p></body></html>\n");
    return TSimResponse::Redirect(T.Callback + Separator +
                                  "oauth_token=" + oauth1::PercentEncode(Token) +
                                  "&oauth_verifier=" + oauth1::PercentEncode(T.Verifier));
  }

  TSimResponse AccessToken(const TSimRequest& R) {
    std::lock_guard L(Mutex);
    TChecked C = Check(R, TTokenKind::Request);
    if (C.Refusal) return *C.Refusal;
    const std::string Token = oauth1::Find(C.Params.Protocol, "oauth_token");
    TRequestToken& T = RequestTokens.at(Token);
    if (T.State != TRequestTokenState::Authorized)
      return Reject(R,
                    T.State == TRequestTokenState::Used ? "the request token was already exchanged"
                    : T.State == TRequestTokenState::Denied
                        ? "the user denied this request token"
                        : "the user has not authorized this request token yet",
                    TSimResponse::Text("Invalid request token.", "text/plain", 401));
    // OAuth 1.0a: the verifier proves that the user who authorized is the one coming back.
    const std::string Verifier = oauth1::Find(C.Params.Protocol, "oauth_verifier");
    if (Verifier.empty())
      return Reject(
          R, "oauth_verifier is missing",
          TSimResponse::Text("Required oauth_verifier parameter not provided", "text/plain", 401));
    if (!oauth1::SameSignature(Verifier, T.Verifier))
      return Reject(
          R, "oauth_verifier does not match",
          TSimResponse::Text("Error processing your OAuth request: Invalid oauth_verifier "
                             "parameter",
                             "text/plain", 401));
    T.State = TRequestTokenState::Used;
    const TTwitterUser* U = User(T.UserID);
    if (U == nullptr)
      return Reject(R, "the user of this request token no longer exists",
                    Error(401, 89, "Invalid or expired token."));
    const std::string Access = U->UserID + "-" + RandomText(40, kAlphaNumeric);
    TAccessToken A{RandomText(45, kAlphaNumeric), T.ConsumerKey, U->UserID};
    const std::string Reply = "oauth_token=" + Access + "&oauth_token_secret=" + A.Secret +
                              "&user_id=" + oauth1::PercentEncode(U->UserID) +
                              "&screen_name=" + oauth1::PercentEncode(U->ScreenName);
    AccessTokens.emplace(Access, std::move(A));
    return TSimResponse::Text(Reply, "application/x-www-form-urlencoded");
  }

  TSimResponse StatusUpdate(const TSimRequest& R) {
    std::lock_guard L(Mutex);
    TChecked C = Check(R, TTokenKind::Access);
    if (C.Refusal) return *C.Refusal;
    const TAccessToken& A = AccessTokens.at(oauth1::Find(C.Params.Protocol, "oauth_token"));
    if (!oauth1::Has(C.Params.Request, "status"))
      return Reject(R, "status is missing", Error(403, 170, "Missing required parameter: status."));
    const std::string Text = oauth1::Find(C.Params.Request, "status");
    if (CodePoints(Text) > 140)
      return Reject(R, "status has " + std::to_string(CodePoints(Text)) + " characters",
                    Error(403, 186, "Status is over 140 characters."));
    for (const auto& S : Statuses)
      if (S.UserID == A.UserID && S.Text == Text)
        return Reject(R, "status repeats status " + S.ID,
                      Error(403, 187, "Status is a duplicate."));

    const unsigned long long ID = NextStatusID++;
    const TTwitterUser* U = User(A.UserID);
    nlohmann::json Status{{"created_at", CreatedAt(Now())},
                          {"id", ID},
                          {"id_str", std::to_string(ID)},
                          {"text", Text},
                          {"truncated", false}};
    if (oauth1::Find(C.Params.Request, "include_entities") != "false")
      Status["entities"] = {{"hashtags", nlohmann::json::array()},
                            {"symbols", nlohmann::json::array()},
                            {"urls", nlohmann::json::array()},
                            {"user_mentions", nlohmann::json::array()}};
    nlohmann::json UserJSON{{"id", std::stoull(A.UserID)}, {"id_str", A.UserID}};
    if (oauth1::Find(C.Params.Request, "trim_user") != "true" && U != nullptr) {
      UserJSON["name"] = U->Name;
      UserJSON["screen_name"] = U->ScreenName;
    }
    Status["user"] = std::move(UserJSON);
    Statuses.push_back({std::to_string(ID), A.UserID, Text});
    TSimResponse Reply;
    Reply.ContentType = "application/json; charset=utf-8";
    // Non-ASCII text goes out as \u escapes, as Twitter writes it.
    Reply.Body = Status.dump(-1, ' ', true);
    return Reply;
  }

  // A v2 problem document.
  static TSimResponse Problem(int Status, const std::string& Title, const std::string& Detail) {
    TSimResponse R;
    R.Status = Status;
    R.ContentType = "application/problem+json";
    R.Body = nlohmann::json{
        {"title", Title},
        {"type", "about:blank"},
        {"status", Status},
        {"detail",
         Detail}}.dump();
    return R;
  }

  TSimResponse Tweet(const TSimRequest& R) {
    std::lock_guard L(Mutex);
    if (!IsCurrentHost(R.Header("Host")))
      return Reject(R, "POST /2/tweets on the classic host",
                    Problem(404, "Not Found Error", "Sorry, that page does not exist."));
    // The JSON body is not part of the signature: a form body would be, and is refused.
    if (R.Header("Content-Type").rfind("application/json", 0) != 0)
      return Reject(R, "the body is not declared application/json",
                    Problem(415, "Unsupported Media Type", "The body must be JSON."));
    TChecked C = Check(R, TTokenKind::Access);
    if (C.Refusal) return Problem(401, "Unauthorized", "Unauthorized");
    const TAccessToken& A = AccessTokens.at(oauth1::Find(C.Params.Protocol, "oauth_token"));
    const nlohmann::json Body = nlohmann::json::parse(R.Body, nullptr, false);
    if (!Body.is_object() || !Body.contains("text") || !Body["text"].is_string())
      return Reject(
          R, "the body is not a JSON object with a text",
          Problem(400, "Invalid Request", "One or more parameters to your request was invalid."));
    const std::string Text = Body["text"].get<std::string>();
    if (CodePoints(Text) > 280)
      return Reject(R, "text has " + std::to_string(CodePoints(Text)) + " characters",
                    Problem(400, "Invalid Request", "Your text is over 280 characters."));
    for (const auto& S : Statuses)
      if (S.UserID == A.UserID && S.Text == Text)
        return Reject(R, "text repeats post " + S.ID,
                      Problem(403, "Forbidden",
                              "You are not allowed to create a Tweet with duplicate content."));
    const std::string ID = std::to_string(NextStatusID++);
    Statuses.push_back({ID, A.UserID, Text});
    TSimResponse Reply;
    Reply.Status = 201;
    Reply.ContentType = "application/json; charset=utf-8";
    Reply.Body =
        nlohmann::json{{"data", {{"id", ID}, {"text", Text}, {"edit_history_tweet_ids", {ID}}}}}
            .dump();
    return Reply;
  }
};

bool TwitterSim::IsCurrentHost(std::string_view HostHeader) {
  return HostHeader.substr(0, HostHeader.find(':')) == "localhost";
}

TwitterSim::TwitterSim(Simulator& Sim) : FState(std::make_shared<TState>()) {
  FState->Sim = &Sim;
  FState->Consumers.push_back({kDefaultConsumerKey, kDefaultConsumerSecret, "Zelk demo", {}});
  FState->Users.push_back({"1001", "zelk_sim", "Zelk Simulated"});
  FState->Users.push_back({"1002", "zelk_other", "Other Simulated"});
  // The routes share the state, so they stay valid whatever goes first.
  const std::shared_ptr<TState> S = FState;
  Sim.Route(kTwitter, "POST", "/oauth/request_token",
            [S](const TSimRequest& R) { return S->RequestToken(R); });
  Sim.Route(kTwitter, "GET", "/oauth/authorize",
            [S](const TSimRequest& R) { return S->ConsentPage(R); });
  Sim.Route(kTwitter, "POST", "/oauth/authorize",
            [S](const TSimRequest& R) { return S->Decision(R); });
  Sim.Route(kTwitter, "GET", "/oauth/access_token",
            [S](const TSimRequest& R) { return S->AccessToken(R); });
  Sim.Route(kTwitter, "POST", "/oauth/access_token",
            [S](const TSimRequest& R) { return S->AccessToken(R); });
  Sim.Route(kTwitter, "POST", "/1/statuses/update.json",
            [S](const TSimRequest& R) { return S->StatusUpdate(R); });
  Sim.Route(kTwitter, "GET", "/oauth/authenticate",
            [S](const TSimRequest& R) { return S->ConsentPage(R); });
  Sim.Route(kTwitter, "POST", "/2/tweets", [S](const TSimRequest& R) { return S->Tweet(R); });
}

TwitterSim::~TwitterSim() = default;

void TwitterSim::AddConsumer(TTwitterConsumer Consumer) {
  std::lock_guard L(FState->Mutex);
  auto& Cs = FState->Consumers;
  std::erase_if(Cs, [&](const TTwitterConsumer& C) { return C.Key == Consumer.Key; });
  Cs.push_back(std::move(Consumer));
}

void TwitterSim::RemoveConsumer(const std::string& Key) {
  std::lock_guard L(FState->Mutex);
  std::erase_if(FState->Consumers, [&](const TTwitterConsumer& C) { return C.Key == Key; });
}

void TwitterSim::AllowCallback(const std::string& Key, const std::string& URL) {
  std::lock_guard L(FState->Mutex);
  for (TTwitterConsumer& C : FState->Consumers)
    if (C.Key == Key) C.Callbacks.push_back(URL);
}

void TwitterSim::AddUser(TTwitterUser User) {
  if (User.UserID.empty() || User.UserID.size() > 19 ||
      User.UserID.find_first_not_of("0123456789") != std::string::npos)
    throw std::invalid_argument("Twitter simulator: a user id is a decimal number, not \"" +
                                User.UserID + "\"");
  std::lock_guard L(FState->Mutex);
  auto& Us = FState->Users;
  const auto It = std::find_if(Us.begin(), Us.end(),
                               [&](const TTwitterUser& U) { return U.UserID == User.UserID; });
  if (It != Us.end())
    *It = std::move(User);
  else
    Us.push_back(std::move(User));
}

std::vector<TTwitterUser> TwitterSim::Users() const {
  std::lock_guard L(FState->Mutex);
  return FState->Users;
}

void TwitterSim::SetTimestampWindow(std::chrono::seconds Window) {
  std::lock_guard L(FState->Mutex);
  FState->Window = Window;
}

void TwitterSim::SetClock(std::function<std::chrono::system_clock::time_point()> Clock) {
  std::lock_guard L(FState->Mutex);
  FState->Clock = std::move(Clock);
}

std::vector<TTwitterStatus> TwitterSim::Statuses() const {
  std::lock_guard L(FState->Mutex);
  return FState->Statuses;
}

std::vector<std::string> TwitterSim::Rejections() const {
  std::lock_guard L(FState->Mutex);
  return FState->Rejections;
}

void TwitterSim::ClearRejections() {
  std::lock_guard L(FState->Mutex);
  FState->Rejections.clear();
}

}  // namespace zelk::sim
