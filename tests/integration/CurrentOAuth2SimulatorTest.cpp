// The simulated providers' current endpoints check what the real ones check today: a return
// address registered exactly and without a query, PKCE, one-time codes bound to client, return
// address and challenge, the client secret, the Bearer token on the profile call and Facebook's
// appsecret_proof. The test talks to the endpoints directly over TLS, as a misbehaving client
// would.
#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include <nlohmann/json.hpp>

#include "core/IWZelkAuthBase.h"
#include "sim/FacebookSim.h"
#include "sim/GoogleSim.h"
#include "sim/OAuth2Current.h"
#include "sim/WindowsLiveSim.h"
#include "support/HtmlForm.h"
#include "support/SimBrowser.h"
#include "support/SimulatorFixture.h"

namespace zelk {
namespace {

using nlohmann::json;
using sim::TProviderId;
using TFields = std::vector<std::pair<std::string, std::string>>;

// The verifier and challenge of RFC 7636, Appendix B.
constexpr const char* kVerifier = "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk";
constexpr const char* kChallenge = "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM";
constexpr const char* kReturn = "http://127.0.0.1:8080/app/";
constexpr const char* kFacebookWrongVerifier =
    "Error validating verification code. The code_verifier does not match the code_challenge of "
    "the OAuth dialog request.";
constexpr const char* kFacebookMissingVerifier =
    "Error validating verification code. The code_verifier parameter is required: the OAuth "
    "dialog request carried a code_challenge.";

enum class TWho { Google, Microsoft, Facebook };

struct TProvider {
  const char* Name;
  TWho Who;
  TProviderId Listener;
  sim::TSimApp App;
  std::string AuthorizePath;
  std::string Scope;
  std::string TokenPath;
  std::string ProfilePath;
};

const TProvider kProviders[] = {
    {"Google", TWho::Google, TProviderId::Google, sim::GoogleSim::DefaultApp(), "/o/oauth2/v2/auth",
     "openid profile email", "/token", "/v1/userinfo"},
    {"Microsoft", TWho::Microsoft, TProviderId::WindowsLive, sim::WindowsLiveSim::DefaultApp(),
     "/common/oauth2/v2.0/authorize", "openid profile email User.Read", "/common/oauth2/v2.0/token",
     "/v1.0/me"},
    {"Facebook", TWho::Facebook, TProviderId::Facebook, sim::FacebookSim::DefaultApp(),
     "/v25.0/dialog/oauth", "public_profile,email,user_birthday", "/v25.0/oauth/access_token",
     "/v25.0/me"},
};

class CurrentOAuth2Simulator : public testing::SimulatorFixture {
 protected:
  void SetUp() override {
    SimulatorFixture::SetUp();
    Google = std::make_unique<sim::GoogleSim>(Sim);
    Facebook = std::make_unique<sim::FacebookSim>(Sim);
    Live = std::make_unique<sim::WindowsLiveSim>(Sim);
    Browser = std::make_unique<testing::SimBrowser>(Sim);
  }

 public:
  // The authorization address a current client sends the browser to, with its PKCE challenge.
  std::string AuthorizeURL(const TProvider& P, const std::string& Redirect = kReturn) const {
    std::string URL = Sim.BaseURL(P.Listener) + P.AuthorizePath +
                      "?client_id=" + IWZelkAuthBase::URLEncode(P.App.ClientId) +
                      "&redirect_uri=" + IWZelkAuthBase::URLEncode(Redirect) +
                      "&response_type=code&scope=" + IWZelkAuthBase::URLEncode(P.Scope) +
                      "&state=flow-1";
    URL += std::string("&code_challenge=") + kChallenge + "&code_challenge_method=S256";
    if (P.Who == TWho::Microsoft) URL += "&response_mode=query";
    return URL;
  }

  // Opens the authorization page and presses Label; returns where the browser goes next.
  std::string Press(const std::string& URL, const std::string& Label) {
    const auto Page = Browser->Get(URL);
    EXPECT_EQ(Page.Status, 200) << Page.Body;
    const auto Form = testing::ReadHtmlForm(Page.Body);
    const auto Answer = Browser->PostForm(testing::ResolveURL(URL, Form.Action), Form.Press(Label));
    EXPECT_EQ(Answer.Status, 302) << Answer.Body;
    return Answer.Location;
  }

  std::string CodeFor(const TProvider& P) {
    const std::string Location = Press(AuthorizeURL(P), "Allow");
    return web::THttpRequest::FromTarget(testing::TargetOf(Location)).Query("code");
  }

  // The code exchange as the provider wants it: a form POST, or Facebook's GET.
  testing::TBrowserResponse Exchange(const TProvider& P, const std::string& Code,
                                     const std::string& Redirect = kReturn,
                                     std::optional<std::string> Secret = std::nullopt,
                                     std::optional<std::string> Verifier = kVerifier) {
    TFields F = {{"client_id", P.App.ClientId},
                 {"client_secret", Secret.value_or(P.App.Secret)},
                 {"code", Code},
                 {"redirect_uri", Redirect}};
    if (P.Who == TWho::Facebook) {
      if (Verifier) F.emplace_back("code_verifier", *Verifier);
      std::string URL = Sim.BaseURL(P.Listener) + P.TokenPath;
      char Sep = '?';
      for (const auto& [N, V] : F) {
        URL += Sep + N + "=" + IWZelkAuthBase::URLEncode(V);
        Sep = '&';
      }
      return Browser->Get(URL);
    }
    F.emplace_back("grant_type", "authorization_code");
    if (P.Who == TWho::Microsoft) F.emplace_back("scope", P.Scope);
    if (Verifier) F.emplace_back("code_verifier", *Verifier);
    return Browser->PostForm(Sim.BaseURL(P.Listener) + P.TokenPath, F);
  }

  // The error a token reply names: "error" for Google and Microsoft, Facebook's error.message.
  static std::string ErrorOf(const TProvider& P, const std::string& Body) {
    const json J = json::parse(Body);
    if (P.Who == TWho::Facebook) return J["error"]["message"];
    return J["error"];
  }

  testing::TBrowserResponse Profile(const TProvider& P, const std::string& Token) {
    if (P.Who == TWho::Facebook)
      return Browser->Get(Sim.BaseURL(P.Listener) + P.ProfilePath +
                          "?fields=id,name,picture,email,birthday&access_token=" +
                          IWZelkAuthBase::URLEncode(Token) +
                          "&appsecret_proof=" + sim::AppSecretProof(Token, P.App.Secret));
    Browser->SetHeader("Authorization", "Bearer " + Token);
    auto R = Browser->Get(Sim.BaseURL(P.Listener) + P.ProfilePath);
    Browser->SetHeader("Authorization", "");
    return R;
  }

  std::unique_ptr<sim::GoogleSim> Google;
  std::unique_ptr<sim::FacebookSim> Facebook;
  std::unique_ptr<sim::WindowsLiveSim> Live;
  std::unique_ptr<testing::SimBrowser> Browser;
};

TEST(CurrentOAuth2Checks, PkceAndAppSecretProofMatchIndependentValues) {
  EXPECT_EQ(sim::PkceS256Challenge(kVerifier), kChallenge);
  // openssl dgst -sha256 -hmac facebook-app-secret <<< "EAAB-token-of-the-test" (no newline)
  EXPECT_EQ(sim::AppSecretProof("EAAB-token-of-the-test", "facebook-app-secret"),
            "61cf970c989e95f77b3849bfc66cee2db51b4e46c3e84f65ab166592aaeaf4e2");
  EXPECT_TRUE(sim::ValidPkceText(kVerifier));
  EXPECT_FALSE(sim::ValidPkceText(std::string(kVerifier).substr(0, 42)));  // too short
  EXPECT_FALSE(sim::ValidPkceText(std::string(129, 'a')));                 // too long
  EXPECT_FALSE(sim::ValidPkceText(std::string(kVerifier) + "+"));          // not unreserved

  const sim::TSimApp Open{"id", "s", {}};
  const sim::TSimApp Strict{"id", "s", {"https://app.test/"}};
  EXPECT_TRUE(sim::AcceptableReturnAddress(Open, "http://127.0.0.1:8080/app/"));
  EXPECT_FALSE(sim::AcceptableReturnAddress(Open, "http://127.0.0.1:8080/app/?clientid=1"));
  EXPECT_FALSE(sim::AcceptableReturnAddress(Open, "http://127.0.0.1:8080/app/#x"));
  EXPECT_FALSE(sim::AcceptableReturnAddress(Open, "javascript:alert(1)"));
  EXPECT_TRUE(sim::AcceptableReturnAddress(Strict, "https://app.test/"));
  EXPECT_FALSE(sim::AcceptableReturnAddress(Strict, "https://app.test"));
}

TEST_F(CurrentOAuth2Simulator, AllowIssuesAOneTimeCodeForAProfileToken) {
  for (const TProvider& P : kProviders) {
    SCOPED_TRACE(P.Name);
    const std::string Location = Press(AuthorizeURL(P), "Allow");
    ASSERT_TRUE(Location.starts_with(std::string(kReturn) + "?")) << Location;
    const auto Back = web::THttpRequest::FromTarget(testing::TargetOf(Location));
    EXPECT_EQ(Back.Query("state"), "flow-1");
    const std::string Code = Back.Query("code");
    ASSERT_FALSE(Code.empty()) << Location;

    const auto OK = Exchange(P, Code);
    ASSERT_EQ(OK.Status, 200) << OK.Body;
    const json T = json::parse(OK.Body);
    const std::string Token = T["access_token"];
    EXPECT_GT(T["expires_in"].get<int>(), 0);
    EXPECT_TRUE(rtl::SameText(T["token_type"].get<std::string>(), "Bearer")) << OK.Body;

    const auto Again = Exchange(P, Code);
    EXPECT_EQ(Again.Status, 400) << Again.Body;
    const std::string Replayed[] = {"Code was already redeemed.", "invalid_grant",
                                    "This authorization code has been used."};
    EXPECT_EQ(P.Who == TWho::Google
                  ? json::parse(Again.Body)["error_description"].get<std::string>()
                  : ErrorOf(P, Again.Body),
              Replayed[static_cast<int>(P.Who)]);

    const auto Me = Profile(P, Token);
    ASSERT_EQ(Me.Status, 200) << Me.Body;
    const json U = json::parse(Me.Body);
    switch (P.Who) {
      case TWho::Google:
        EXPECT_EQ(U["sub"], sim::GoogleSim::DefaultUser().Id);
        EXPECT_EQ(U["name"], "Zoë Ünal");
        EXPECT_EQ(U["email"], sim::GoogleSim::DefaultUser().Email);
        EXPECT_EQ(U["email_verified"], true);
        EXPECT_EQ(U["picture"], sim::GoogleSim::DefaultUser().Picture);
        EXPECT_FALSE(U.contains("gender"));
        break;
      case TWho::Microsoft:
        EXPECT_EQ(U["id"], sim::WindowsLiveSim::DefaultUser().Id);
        EXPECT_EQ(U["displayName"], "Łukasz Żółć");
        EXPECT_EQ(U["mail"], sim::WindowsLiveSim::DefaultUser().Email);
        EXPECT_EQ(U["userPrincipalName"], sim::WindowsLiveSim::DefaultUser().Email);
        break;
      case TWho::Facebook:
        EXPECT_EQ(U["id"], sim::FacebookSim::DefaultUser().Id);
        EXPECT_EQ(U["birthday"], "07/21/1984");
        EXPECT_EQ(U["picture"]["data"]["url"], sim::FacebookSim::DefaultUser().Picture);
        break;
    }
  }
}

TEST_F(CurrentOAuth2Simulator, DenyGoesBackWithTheProvidersError) {
  const std::string Expected[] = {
      std::string(kReturn) + "?error=access_denied&state=flow-1",
      std::string(kReturn) +
          "?error=access_denied&error_description=AADSTS65004%3A%20User%20declined%20to%20consent%"
          "20to%20access%20the%20app.&state=flow-1",
      std::string(kReturn) +
          "?error=access_denied&error_code=200&error_description=Permissions%20error&error_reason="
          "user_denied&state=flow-1#_=_",
  };
  for (const TProvider& P : kProviders) {
    SCOPED_TRACE(P.Name);
    EXPECT_EQ(Press(AuthorizeURL(P), "Deny"), Expected[static_cast<int>(P.Who)]);
  }
  EXPECT_EQ(Google->OutstandingCodes() + Live->OutstandingCodes() + Facebook->OutstandingCodes(),
            0u);
}

TEST_F(CurrentOAuth2Simulator, ReturnAddressWithAQueryOrUnregisteredIsRefusedBeforeConsent) {
  const char* Page[] = {"redirect_uri_mismatch", "AADSTS50011", "URL Blocked"};
  for (const TProvider& P : kProviders) {
    SCOPED_TRACE(P.Name);
    for (const std::string& Redirect :
         {std::string(kReturn) + "?clientid=ABC", std::string(kReturn) + "#top"}) {
      const auto R = Browser->Get(AuthorizeURL(P, Redirect));
      EXPECT_EQ(R.Status, 400) << Redirect;
      EXPECT_TRUE(R.Location.empty()) << R.Location;
      EXPECT_NE(R.Body.find(Page[static_cast<int>(P.Who)]), std::string::npos) << R.Body;
    }
  }
  // An application that registered its address is held to it exactly.
  Google->AddApp({"strict-client", "strict-secret", {kReturn}});
  TProvider Strict = kProviders[0];
  Strict.App = {"strict-client", "strict-secret", {kReturn}};
  EXPECT_EQ(Browser->Get(AuthorizeURL(Strict)).Status, 200);
  EXPECT_EQ(Browser->Get(AuthorizeURL(Strict, "http://127.0.0.1:8080/app")).Status, 400);
}

TEST_F(CurrentOAuth2Simulator, RefusedExchangesLeaveTheCodeUsable) {
  struct TCase {
    const char* Name;
    std::function<testing::TBrowserResponse(CurrentOAuth2Simulator&, const TProvider&,
                                            const std::string&)>
        Send;
    int Status[3];
    const char* Error[3];
  };
  const TCase Cases[] = {
      {"wrong secret",
       [](auto& T, const auto& P, const auto& C) { return T.Exchange(P, C, kReturn, "nope"); },
       {401, 401, 400},
       {"invalid_client", "invalid_client", "Error validating client secret."}},
      {"other return address",
       [](auto& T, const auto& P, const auto& C) {
         return T.Exchange(P, C, "http://127.0.0.1:8080/other/");
       },
       {400, 400, 400},
       {"redirect_uri_mismatch", "invalid_grant",
        "Error validating verification code. Please make sure your redirect_uri is identical to "
        "the one you used in the OAuth dialog request"}},
      {"unknown code",
       [](auto& T, const auto& P, const auto& C) { return T.Exchange(P, C + "x"); },
       {400, 400, 400},
       {"invalid_grant", "invalid_grant", "Invalid verification code format."}},
      {"wrong verifier",
       [](auto& T, const auto& P, const auto& C) {
         return T.Exchange(P, C, kReturn, std::nullopt, std::string(43, 'a'));
       },
       {400, 400, 400},
       {"invalid_grant", "invalid_grant", kFacebookWrongVerifier}},
      {"malformed verifier",
       [](auto& T, const auto& P, const auto& C) {
         return T.Exchange(P, C, kReturn, std::nullopt, kChallenge + std::string("+"));
       },
       {400, 400, 400},
       {"invalid_grant", "invalid_grant", kFacebookWrongVerifier}},
      {"missing verifier",
       [](auto& T, const auto& P, const auto& C) {
         return T.Exchange(P, C, kReturn, std::nullopt, std::nullopt);
       },
       {400, 400, 400},
       {"invalid_grant", "invalid_grant", kFacebookMissingVerifier}},
  };
  for (const TProvider& P : kProviders) {
    SCOPED_TRACE(P.Name);
    const std::string Code = CodeFor(P);
    for (const TCase& C : Cases) {
      const int I = static_cast<int>(P.Who);
      SCOPED_TRACE(C.Name);
      const auto R = C.Send(*this, P, Code);
      EXPECT_EQ(R.Status, C.Status[I]) << R.Body;
      EXPECT_EQ(ErrorOf(P, R.Body), C.Error[I]) << R.Body;
    }
    EXPECT_EQ(Exchange(P, Code).Status, 200);
  }
}

TEST_F(CurrentOAuth2Simulator, VerifierErrorsSayWhatWasWrong) {
  const TProvider& G = kProviders[0];
  EXPECT_EQ(
      json::parse(
          Exchange(G, CodeFor(G), kReturn, std::nullopt, std::nullopt).Body)["error_description"],
      "Missing code verifier.");
  EXPECT_EQ(json::parse(Exchange(G, CodeFor(G), kReturn, std::nullopt, std::string(43, 'a'))
                            .Body)["error_description"],
            "Invalid code verifier.");
  // The classic token endpoint cannot be used to skip the verifier.
  const auto Classic = Browser->PostForm(Sim.BaseURL(TProviderId::Google) + "/o/oauth2/token",
                                         {{"code", CodeFor(G)},
                                          {"client_id", G.App.ClientId},
                                          {"client_secret", G.App.Secret},
                                          {"redirect_uri", kReturn},
                                          {"grant_type", "authorization_code"}});
  EXPECT_EQ(Classic.Status, 400);
  EXPECT_EQ(json::parse(Classic.Body)["error_description"], "Missing code verifier.");

  // A code issued without a challenge takes no verifier.
  const TProvider& M = kProviders[1];
  const std::string Plain =
      Press(Sim.BaseURL(M.Listener) + M.AuthorizePath + "?client_id=" + M.App.ClientId +
                "&redirect_uri=" + IWZelkAuthBase::URLEncode(kReturn) +
                "&response_type=code&scope=User.Read",
            "Allow");
  const std::string Code = web::THttpRequest::FromTarget(testing::TargetOf(Plain)).Query("code");
  const auto R = Exchange(M, Code);
  EXPECT_EQ(R.Status, 400);
  EXPECT_TRUE(
      json::parse(R.Body)["error_description"].get<std::string>().starts_with("AADSTS50148: "))
      << R.Body;
  EXPECT_EQ(Exchange(M, Code, kReturn, std::nullopt, std::nullopt).Status, 200);
}

// Facebook's versioned dialog binds a challenge to the code, refuses one of the wrong form, and
// the code then needs its verifier at the unversioned token endpoint too, which takes none.
TEST_F(CurrentOAuth2Simulator, FacebookBindsTheCodeToItsChallengeAtBothTokenEndpoints) {
  const TProvider& F = kProviders[2];
  for (const char* Bad :
       {"&code_challenge=short&code_challenge_method=S256", "&code_challenge_method=S256",
        "&code_challenge=E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"
        "&code_challenge_method=S512"}) {
    const std::string URL = Sim.BaseURL(F.Listener) + F.AuthorizePath +
                            "?client_id=" + F.App.ClientId +
                            "&redirect_uri=" + IWZelkAuthBase::URLEncode(kReturn) +
                            "&response_type=code&scope=public_profile" + Bad;
    const auto Page = Browser->Get(URL);
    EXPECT_EQ(Page.Status, 400) << Bad;
    EXPECT_NE(Page.Body.find("code_challenge"), std::string::npos) << Page.Body;
  }

  const std::string Code = CodeFor(F);
  const auto Classic =
      Browser->Get(Sim.BaseURL(F.Listener) + "/oauth/access_token?client_id=" + F.App.ClientId +
                   "&redirect_uri=" + IWZelkAuthBase::URLEncode(kReturn) +
                   "&client_secret=" + F.App.Secret + "&code=" + IWZelkAuthBase::URLEncode(Code));
  EXPECT_EQ(Classic.Status, 400);
  EXPECT_EQ(ErrorOf(F, Classic.Body), kFacebookMissingVerifier);
  EXPECT_EQ(Exchange(F, Code).Status, 200);

  // A code issued without a challenge takes no verifier.
  const std::string Plain =
      Press(Sim.BaseURL(F.Listener) + F.AuthorizePath + "?client_id=" + F.App.ClientId +
                "&redirect_uri=" + IWZelkAuthBase::URLEncode(kReturn) +
                "&response_type=code&scope=public_profile",
            "Allow");
  const std::string PlainCode =
      web::THttpRequest::FromTarget(testing::TargetOf(Plain)).Query("code");
  const auto R = Exchange(F, PlainCode);
  EXPECT_EQ(R.Status, 400);
  EXPECT_EQ(ErrorOf(F, R.Body),
            "Error validating verification code. A code_verifier was sent, but the OAuth dialog "
            "request carried no code_challenge.");
  EXPECT_EQ(Exchange(F, PlainCode, kReturn, std::nullopt, std::nullopt).Status, 200);
}

TEST_F(CurrentOAuth2Simulator, ProfileNeedsTheBearerToken) {
  for (const TProvider& P : {kProviders[0], kProviders[1]}) {
    SCOPED_TRACE(P.Name);
    const std::string Token = json::parse(Exchange(P, CodeFor(P)).Body)["access_token"];
    const std::string URL = Sim.BaseURL(P.Listener) + P.ProfilePath;
    const auto Missing = Browser->Get(URL);
    EXPECT_EQ(Missing.Status, 401);
    // The token in the query is not how these endpoints take it.
    const auto InQuery = Browser->Get(URL + "?access_token=" + IWZelkAuthBase::URLEncode(Token));
    EXPECT_EQ(InQuery.Status, 401);
    Browser->SetHeader("Authorization", "Bearer " + Token + "x");
    const auto Wrong = Browser->Get(URL);
    Browser->SetHeader("Authorization", "");
    EXPECT_EQ(Wrong.Status, 401);
    const json E = json::parse(Wrong.Body);
    if (P.Who == TWho::Google) {
      EXPECT_EQ(E["error"], "invalid_token");
      EXPECT_EQ(E["error_description"], "Invalid Credentials");
      EXPECT_NE(Wrong.Header("WWW-Authenticate").find("invalid_token"), std::string::npos);
    } else {
      EXPECT_EQ(E["error"]["code"], "InvalidAuthenticationToken");
      EXPECT_EQ(json::parse(Missing.Body)["error"]["message"], "Access token is empty.");
    }
    EXPECT_EQ(Profile(P, Token).Status, 200);
  }
}

TEST_F(CurrentOAuth2Simulator, FacebookProfileChecksTheAppSecretProof) {
  const TProvider& P = kProviders[2];
  const std::string Token = json::parse(Exchange(P, CodeFor(P)).Body)["access_token"];
  const std::string Me = Sim.BaseURL(P.Listener) + "/v25.0/me?fields=id,name&access_token=" +
                         IWZelkAuthBase::URLEncode(Token);
  auto Message = [&](const std::string& URL) {
    const auto R = Browser->Get(URL);
    return R.Status == 200 ? std::string("OK") : ErrorOf(P, R.Body);
  };
  const std::string Required = "API calls from the server require an appsecret_proof argument";
  const std::string Invalid = "Invalid appsecret_proof provided in the API argument";
  EXPECT_EQ(Message(Me), Required);
  EXPECT_EQ(Message(Me + "&appsecret_proof=" + sim::AppSecretProof(Token, "other-secret")),
            Invalid);
  EXPECT_EQ(Message(Me + "&appsecret_proof=" + sim::AppSecretProof(Token, P.App.Secret)), "OK");
  // Switched off: no longer required, still checked when sent.
  Facebook->SetRequireAppSecretProof(false);
  EXPECT_EQ(Message(Me), "OK");
  EXPECT_EQ(Message(Me + "&appsecret_proof=00"), Invalid);
  // The unversioned profile call never asked for it.
  Facebook->SetRequireAppSecretProof(true);
  EXPECT_EQ(
      Browser->Get(Sim.BaseURL(P.Listener) + "/me?access_token=" + IWZelkAuthBase::URLEncode(Token))
          .Status,
      200);
}

TEST_F(CurrentOAuth2Simulator, UnknownScopesTenantsAndVersionsAreRefused) {
  // Google and Facebook show an error page; Microsoft sends request errors back to the
  // (trusted) return address.
  TProvider G = kProviders[0];
  G.Scope = "openid profile https://www.googleapis.com/auth/drive";
  EXPECT_NE(Browser->Get(AuthorizeURL(G)).Body.find("invalid_scope"), std::string::npos);
  TProvider F = kProviders[2];
  F.Scope = "email,publish_stream";
  EXPECT_NE(Browser->Get(AuthorizeURL(F)).Body.find("Invalid Scopes: publish_stream"),
            std::string::npos);
  TProvider M = kProviders[1];
  M.Scope = "openid wl.basic";
  const auto Scope = Browser->Get(AuthorizeURL(M));
  EXPECT_EQ(Scope.Status, 302);
  EXPECT_TRUE(Scope.Location.starts_with(std::string(kReturn) + "?error=invalid_scope&"))
      << Scope.Location;

  M = kProviders[1];
  M.AuthorizePath = "/no-such-tenant/oauth2/v2.0/authorize";
  EXPECT_NE(Browser->Get(AuthorizeURL(M)).Body.find("AADSTS90002"), std::string::npos);
  for (const char* Tenant :
       {"consumers", "organizations", "9188040d-6c67-4c5b-b112-36a304b66dad"}) {
    M.AuthorizePath = std::string("/") + Tenant + "/oauth2/v2.0/authorize";
    EXPECT_EQ(Browser->Get(AuthorizeURL(M)).Status, 200) << Tenant;
  }
  F = kProviders[2];
  F.AuthorizePath = "/latest/dialog/oauth";
  EXPECT_EQ(Browser->Get(AuthorizeURL(F)).Status, 400);
  EXPECT_EQ(
      json::parse(
          Browser->Get(Sim.BaseURL(F.Listener) + "/v2x/me?access_token=t").Body)["error"]["code"],
      2500);

  // PKCE parameters of the wrong form are refused at the authorization step.
  const std::string Bad =
      Sim.BaseURL(TProviderId::Google) + "/o/oauth2/v2/auth?client_id=" + G.App.ClientId +
      "&redirect_uri=" + IWZelkAuthBase::URLEncode(kReturn) + "&response_type=code&scope=openid";
  EXPECT_EQ(
      Browser->Get(Bad + "&code_challenge=" + kChallenge + "&code_challenge_method=S512").Status,
      400);
  EXPECT_EQ(Browser->Get(Bad + "&code_challenge=short&code_challenge_method=S256").Status, 400);
  EXPECT_EQ(Browser->Get(Bad + "&code_challenge_method=S256").Status, 400);
}

TEST_F(CurrentOAuth2Simulator, WildcardSegmentsMatchOneWholeSegment) {
  Sim.Route(TProviderId::PayPal, "GET", "/*/probe",
            [](const sim::TSimRequest& R) { return sim::TSimResponse::Text(R.Path); });
  const std::string Base = Sim.BaseURL(TProviderId::PayPal);
  EXPECT_EQ(Browser->Get(Base + "/v1/probe").Body, "/v1/probe");
  for (const char* Path : {"/probe", "//probe", "/a/b/probe", "/v1/probe/x", "/v1/probes"})
    EXPECT_EQ(Browser->Get(Base + Path).Status, 404) << Path;
}

}  // namespace
}  // namespace zelk
