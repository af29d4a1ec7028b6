// The simulated OAuth 2.0 providers check what the real ones check: a code is good once, for
// the client it was issued to, with the return address of its authorization request character
// for character, and only with the right secret; tokens are checked at the profile endpoints.
// The test talks to the endpoints directly, as a misbehaving client would.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "core/IWZelkAuthBase.h"
#include "sim/FacebookSim.h"
#include "sim/GoogleSim.h"
#include "sim/WindowsLiveSim.h"
#include "support/HtmlForm.h"
#include "support/SimBrowser.h"
#include "support/SimulatorFixture.h"

namespace zelk {
namespace {

using nlohmann::json;
using sim::TProviderId;
using TFields = std::vector<std::pair<std::string, std::string>>;

class OAuth2Simulator : public testing::SimulatorFixture {
 protected:
  void SetUp() override {
    SimulatorFixture::SetUp();
    Google = std::make_unique<sim::GoogleSim>(Sim);
    Facebook = std::make_unique<sim::FacebookSim>(Sim);
    Live = std::make_unique<sim::WindowsLiveSim>(Sim);
    Browser = std::make_unique<testing::SimBrowser>(Sim);
  }

  // Opens the authorization page at URL, presses Allow and returns the code of the redirect.
  std::string CodeFor(const std::string& URL) {
    const auto Page = Browser->Get(URL);
    EXPECT_EQ(Page.Status, 200) << Page.Body;
    const auto Form = testing::ReadHtmlForm(Page.Body);
    const auto Answer =
        Browser->PostForm(testing::ResolveURL(URL, Form.Action), Form.Press("Allow"));
    EXPECT_EQ(Answer.Status, 302) << Answer.Body;
    const auto Back = web::THttpRequest::FromTarget(testing::TargetOf(Answer.Location));
    return Back.Query("code");
  }

  std::string GoogleURL(const std::string& Redirect) {
    return Sim.BaseURL(TProviderId::Google) + "/o/oauth2/auth?scope=profile&state=s&redirect_uri=" +
           IWZelkAuthBase::URLEncode(Redirect) +
           "&response_type=code&client_id=" + sim::GoogleSim::DefaultApp().ClientId;
  }
  testing::TBrowserResponse GoogleToken(const TFields& Fields) {
    return Browser->PostForm(Sim.BaseURL(TProviderId::Google) + "/o/oauth2/token", Fields);
  }
  TFields GoogleExchange(const std::string& Code, const std::string& Redirect) {
    return {{"code", Code},
            {"client_id", sim::GoogleSim::DefaultApp().ClientId},
            {"client_secret", sim::GoogleSim::DefaultApp().Secret},
            {"redirect_uri", Redirect},
            {"grant_type", "authorization_code"}};
  }

  std::unique_ptr<sim::GoogleSim> Google;
  std::unique_ptr<sim::FacebookSim> Facebook;
  std::unique_ptr<sim::WindowsLiveSim> Live;
  std::unique_ptr<testing::SimBrowser> Browser;
};

TEST_F(OAuth2Simulator, GoogleCodeIsGoodOnceForItsClientAndReturnAddress) {
  const std::string Redirect = "http://localhost/app/";
  const std::string Code = CodeFor(GoogleURL(Redirect));
  ASSERT_TRUE(Code.starts_with("4/")) << Code;

  struct TCase {
    const char* Name;
    TFields Fields;
    int Status;
    const char* Error;
  };
  const TCase Refused[] = {
      {"return address differs by a slash", GoogleExchange(Code, "http://localhost/app"), 400,
       "redirect_uri_mismatch"},
      {"wrong secret",
       {{"code", Code},
        {"client_id", sim::GoogleSim::DefaultApp().ClientId},
        {"client_secret", "x"},
        {"redirect_uri", Redirect},
        {"grant_type", "authorization_code"}},
       401,
       "invalid_client"},
      {"parameter given twice",
       [&] {
         auto F = GoogleExchange(Code, Redirect);
         F.emplace_back("grant_type", "password");
         return F;
       }(),
       400, "invalid_request"},
      {"unknown code", GoogleExchange(Code + "x", Redirect), 400, "invalid_grant"},
  };
  for (const auto& C : Refused) {
    SCOPED_TRACE(C.Name);
    const auto R = GoogleToken(C.Fields);
    EXPECT_EQ(R.Status, C.Status) << R.Body;
    EXPECT_EQ(json::parse(R.Body).value("error", ""), C.Error);
  }

  // None of the refusals used the code up; the right exchange does.
  const auto OK = GoogleToken(GoogleExchange(Code, Redirect));
  ASSERT_EQ(OK.Status, 200) << OK.Body;
  const json Token = json::parse(OK.Body);
  EXPECT_EQ(Token["token_type"], "Bearer");
  const auto Again = GoogleToken(GoogleExchange(Code, Redirect));
  EXPECT_EQ(Again.Status, 400);
  EXPECT_EQ(json::parse(Again.Body)["error_description"], "Code was already redeemed.");

  // The profile answers for the token only, and only with what the scopes allow.
  const std::string Info = Sim.BaseURL(TProviderId::Google) + "/oauth2/v1/userinfo?access_token=";
  const auto Profile =
      Browser->Get(Info + IWZelkAuthBase::URLEncode(Token["access_token"].get<std::string>()));
  ASSERT_EQ(Profile.Status, 200);
  const json P = json::parse(Profile.Body);
  EXPECT_EQ(P["name"], "Zoë Ünal");
  EXPECT_FALSE(P.contains("email"));
  EXPECT_EQ(Browser->Get(Info + "forged").Status, 401);
}

TEST_F(OAuth2Simulator, GoogleCodeIsBoundToItsClient) {
  Google->AddApp({"other-client", "other-secret", {}});
  const std::string Code = CodeFor(GoogleURL("http://localhost/app/"));
  const auto R = GoogleToken({{"code", Code},
                              {"client_id", "other-client"},
                              {"client_secret", "other-secret"},
                              {"redirect_uri", "http://localhost/app/"},
                              {"grant_type", "authorization_code"}});
  EXPECT_EQ(R.Status, 400);
  EXPECT_EQ(json::parse(R.Body)["error"], "invalid_grant");
}

TEST_F(OAuth2Simulator, RegisteredReturnAddressesAreEnforcedBeforeTheConsentPage) {
  Google->AddApp({"strict", "s", {"https://app.test/cb/"}});
  const std::string Base = Sim.BaseURL(TProviderId::Google) +
                           "/o/oauth2/auth?scope=profile&response_type=code&client_id=strict";
  const auto Refused =
      Browser->Get(Base + "&redirect_uri=" + IWZelkAuthBase::URLEncode("https://evil.test/cb/"));
  EXPECT_EQ(Refused.Status, 400);
  EXPECT_TRUE(Refused.Location.empty());
  EXPECT_NE(Refused.Body.find("redirect_uri_mismatch"), std::string::npos);
  EXPECT_EQ(
      Browser->Get(Base + "&redirect_uri=" + IWZelkAuthBase::URLEncode("https://app.test/cb/"))
          .Status,
      200);
}

TEST_F(OAuth2Simulator, ConsentTicketCannotBeAnsweredTwice) {
  const std::string URL = GoogleURL("http://localhost/app/");
  const auto Page = Browser->Get(URL);
  const auto Form = testing::ReadHtmlForm(Page.Body);
  const std::string Action = testing::ResolveURL(URL, Form.Action);
  EXPECT_EQ(Browser->PostForm(Action, Form.Press("Allow")).Status, 302);
  EXPECT_EQ(Browser->PostForm(Action, Form.Press("Allow")).Status, 400);
}

TEST_F(OAuth2Simulator, FacebookChecksTheReturnAddressAndAnswersBothFormats) {
  const auto App = sim::FacebookSim::DefaultApp();
  const std::string Redirect = "http://localhost:8080/app/?clientid=ABC";
  const std::string Dialog = Sim.BaseURL(TProviderId::Facebook) +
                             "/dialog/oauth?client_id=" + App.ClientId +
                             "&redirect_uri=" + Redirect + "&scope=email";
  auto Exchange = [&](const std::string& Code, const std::string& R) {
    return Browser->Get(Sim.BaseURL(TProviderId::Facebook) + "/oauth/access_token?client_id=" +
                        App.ClientId + "&redirect_uri=" + R + "&client_secret=" + App.Secret +
                        "&code=" + IWZelkAuthBase::URLEncode(Code));
  };
  const std::string Code = CodeFor(Dialog);
  // The unencoded return address puts a second "?" into the target; it arrives as sent.
  EXPECT_EQ(Sim.Received(TProviderId::Facebook).front().Target, testing::TargetOf(Dialog));
  const auto Mismatch = Exchange(Code, "http://localhost:8080/app/?clientid=ABD");
  EXPECT_EQ(Mismatch.Status, 400);
  EXPECT_EQ(json::parse(Mismatch.Body)["error"]["code"], 100);
  const auto OK = Exchange(Code, Redirect);
  ASSERT_EQ(OK.Status, 200) << OK.Body;
  const std::string Token = json::parse(OK.Body)["access_token"];
  EXPECT_EQ(json::parse(Exchange(Code, Redirect).Body)["error"]["message"],
            "This authorization code has been used.");

  const std::string Me = Sim.BaseURL(TProviderId::Facebook) + "/me?access_token=" + Token;
  const auto Profile = Browser->Get(Me + "&fields=id,name,email,birthday");
  ASSERT_EQ(Profile.Status, 200);
  EXPECT_NE(Profile.Body.find("\\u00e9"), std::string::npos);  // written escaped
  const json P = json::parse(Profile.Body);
  EXPECT_EQ(P["email"], sim::FacebookSim::DefaultUser().Email);
  EXPECT_FALSE(P.contains("birthday"));  // user_birthday was not granted
  EXPECT_EQ(json::parse(Browser->Get(Me + "&fields=id,shoe_size").Body)["error"]["code"], 100);

  // Without publish_stream the legacy publishing refuses.
  const auto Post =
      Browser->Get(Sim.BaseURL(TProviderId::Facebook) +
                   "/method/stream.publish?message=hi&access_token=" + Token + "&format=json");
  EXPECT_EQ(json::parse(Post.Body)["error_code"], 200);

  Facebook->SetLegacyTokenReply(true);
  const auto Legacy = Exchange(CodeFor(Dialog), Redirect);
  EXPECT_TRUE(Legacy.Body.starts_with("access_token=EAAB")) << Legacy.Body;
  EXPECT_TRUE(Legacy.Body.ends_with("&expires=5183944")) << Legacy.Body;
}

// Google knows its scopes by their fixed names: the same path on another host (the address the
// client would make from a redirected endpoint table) is an unknown scope.
TEST_F(OAuth2Simulator, GoogleAcceptsOnlyItsOwnScopeNames) {
  const std::string Apis = "https://" + Sim.HostFor(TProviderId::Google);
  const std::pair<std::string, int> Cases[] = {
      {"https://www.googleapis.com/auth/userinfo.profile", 200},
      {"https://www.googleapis.com/auth/userinfo.profile "
       "https://www.googleapis.com/auth/userinfo.email",
       200},
      {"openid profile email", 200},
      {Apis + "/auth/userinfo.profile", 400},
      {"https://www.googleapis.com/auth/userinfo.profile " + Apis + "/auth/userinfo.email", 400},
      {"http://www.googleapis.com/auth/userinfo.profile", 400},
      {"https://www.googleapis.com.evil.test/auth/userinfo.email", 400},
  };
  for (const auto& [Scopes, Status] : Cases) {
    SCOPED_TRACE(Scopes);
    const auto Page =
        Browser->Get(Sim.BaseURL(TProviderId::Google) +
                     "/o/oauth2/auth?scope=" + IWZelkAuthBase::URLEncode(Scopes) +
                     "&state=s&redirect_uri=" + IWZelkAuthBase::URLEncode("http://localhost/app/") +
                     "&response_type=code&client_id=" + sim::GoogleSim::DefaultApp().ClientId);
    EXPECT_EQ(Page.Status, Status);
    if (Status == 400) {
      EXPECT_NE(Page.Body.find("Some requested scopes were invalid: "), std::string::npos);
    }
  }
}

TEST_F(OAuth2Simulator, WindowsLiveTokensNeedEncodingAndCodesTheirReturnAddress) {
  const auto App = sim::WindowsLiveSim::DefaultApp();
  const std::string Redirect = "http://localhost/app?clientid=ABC";
  const std::string Code = CodeFor(
      Sim.BaseURL(TProviderId::WindowsLive) + "/oauth20_authorize.srf?client_id=" + App.ClientId +
      "&scope=wl.basic,wl.emails&response_type=code&redirect_uri=" + Redirect);
  auto Exchange = [&](const std::string& R) {
    return Browser->PostForm(Sim.BaseURL(TProviderId::WindowsLive) + "/oauth20_token.srf",
                             {{"client_id", App.ClientId},
                              {"redirect_uri", R},
                              {"client_secret", App.Secret},
                              {"code", Code},
                              {"grant_type", "authorization_code"}});
  };
  const auto Mismatch = Exchange("http://localhost/app/?clientid=ABC");
  EXPECT_EQ(Mismatch.Status, 400);
  EXPECT_EQ(json::parse(Mismatch.Body)["error"], "invalid_grant");
  const auto OK = Exchange(Redirect);
  ASSERT_EQ(OK.Status, 200) << OK.Body;
  const std::string Token = json::parse(OK.Body)["access_token"];
  EXPECT_NE(Token.find_first_of("+/="), std::string::npos);

  const std::string Me = Sim.BaseURL(TProviderId::WindowsLive) + "/v5.0/me?access_token=";
  if (Token.find('+') != std::string::npos) {
    const auto Raw = Browser->Get(Me + Token);  // "+" arrives as a blank
    EXPECT_EQ(Raw.Status, 401);
    EXPECT_EQ(json::parse(Raw.Body)["error"]["code"], "request_token_invalid");
  }
  const auto Profile = Browser->Get(Me + IWZelkAuthBase::URLEncode(Token));
  ASSERT_EQ(Profile.Status, 200);
  const json P = json::parse(Profile.Body);
  EXPECT_EQ(P["emails"]["preferred"], sim::WindowsLiveSim::DefaultUser().Email);
  EXPECT_FALSE(P.contains("birth_year"));

  // An unknown scope goes back to the application as an error.
  const auto Bad = Browser->Get(
      Sim.BaseURL(TProviderId::WindowsLive) + "/oauth20_authorize.srf?client_id=" + App.ClientId +
      "&scope=wl.basic,wl.everything&response_type=code&redirect_uri=" + Redirect);
  EXPECT_EQ(Bad.Status, 302);
  EXPECT_TRUE(Bad.Location.starts_with(Redirect + "&error=invalid_scope&")) << Bad.Location;
}

}  // namespace
}  // namespace zelk
