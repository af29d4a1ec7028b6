// The Twitter client over the real transport against the simulator over TLS: the three legs
// with Allow and Deny, posting, and the simulator's own refusals.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "providers/IWTwitterAuthClient.h"
#include "sim/Simulator.h"
#include "sim/TwitterSim.h"
#include "support/HtmlForm.h"
#include "support/TwitterFlowFixture.h"

namespace zelk::IWTwitterAuthClient {
namespace {

using sim::TProviderId;

class TwitterFlowTest : public testing::TwitterFlowFixture {
 protected:
  void TearDown() override {
    for (const auto& R : Twitter->Rejections())
      ADD_FAILURE() << "unexpected refusal: " << R;
    TwitterFlowFixture::TearDown();
  }

  // Login, then the browser: the consent page, the user's choice, back to the application.
  // Returns the return address Twitter sent the browser to.
  std::string SignIn(const std::string& Decision, const std::string& UserID = "1001") {
    App->ClearRedirect();
    Client->Login(App.get());
    const std::string Authorize = App->RedirectURL();
    EXPECT_EQ(
        Authorize.rfind(
            "https://" + Sim.HostFor(TProviderId::Twitter) + "/oauth/authorize?oauth_token=", 0),
        0u)
        << Authorize;
    EXPECT_EQ(Authorize.find("secret"), std::string::npos) << Authorize;

    const auto Page = Browser->Get(Authorize);
    EXPECT_EQ(Page.Status, 200) << Page.Body;
    EXPECT_NE(Page.Body.find(">Allow<"), std::string::npos);
    EXPECT_NE(Page.Body.find(">Deny<"), std::string::npos);
    const std::string Token = Authorize.substr(Authorize.find("oauth_token=") + 12);
    const auto Back =
        Browser->PostForm(Sim.BaseURL(TProviderId::Twitter) + "/oauth/authorize",
                          {{"oauth_token", Token}, {"user_id", UserID}, {"decision", Decision}});
    EXPECT_EQ(Back.Status, 302) << Back.Body;
    EXPECT_EQ(Back.Location.rfind(App->GetApplicationURL() + "/?clientid=", 0), 0u)
        << Back.Location;
    Controller->ProcessRequest(web::THttpRequest::FromTarget(testing::TargetOf(Back.Location)));
    return Back.Location;
  }

  std::size_t CountReceived(const std::string& Path) const {
    std::size_t N = 0;
    for (const auto& R : Sim.Received(TProviderId::Twitter))
      N += R.Path == Path;
    return N;
  }
};

TEST_F(TwitterFlowTest, AllowSignsInAndPostsAStatusWithEveryAwkwardCharacter) {
  const std::string Back = SignIn("allow");
  EXPECT_NE(Back.find("&oauth_verifier="), std::string::npos);
  EXPECT_EQ(Client->LoginResult(), IWZelkAuthBase::resOK) << Client->LoginError();
  EXPECT_EQ(Client->LoginID(), "1001");
  EXPECT_EQ(Client->LoginUsername(), "zelk_sim");
  EXPECT_EQ(LoginOK, 1);
  EXPECT_EQ(LoginFailed, 0);

  const std::string Status =
      "Blanks & ampersand = equals + plus ~ tilde, caf\xC3\xA9 \xE2\x82\xAC "
      "\xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x90\xA6";
  Client->Post(Status);
  ASSERT_EQ(PostFailed, std::vector<std::string>{});
  ASSERT_EQ(PostOK.size(), 1u);
  const auto Statuses = Twitter->Statuses();
  ASSERT_EQ(Statuses.size(), 1u);
  EXPECT_EQ(Statuses[0].Text, Status);
  EXPECT_EQ(Statuses[0].UserID, "1001");
  EXPECT_EQ(Statuses[0].ID, PostOK[0]);
}

TEST_F(TwitterFlowTest, DenyFailsWithoutAnAccessTokenCall) {
  const std::string Back = SignIn("deny");
  EXPECT_NE(Back.find("&denied="), std::string::npos) << Back;
  EXPECT_EQ(Client->LoginResult(), IWZelkAuthBase::resFailed);
  EXPECT_EQ(Client->LoginError(), "Access denied");
  EXPECT_EQ(LoginFailed, 1);
  EXPECT_EQ(LoginOK, 0);
  EXPECT_EQ(CountReceived("/oauth/access_token"), 0u);
}

TEST_F(TwitterFlowTest, TwoSignInsInTheSameSecond) {
  // The client's clock stands still: both sign-ins (and the post) carry one time stamp, so
  // only distinct nonces keep the simulator from refusing the second as a replay.
  const auto Now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
  IWZelkAuthBase::SetClock([Now] { return Now; });
  SignIn("allow", "1001");
  ASSERT_EQ(Client->LoginResult(), IWZelkAuthBase::resOK);
  SignIn("allow", "1002");
  EXPECT_EQ(Client->LoginResult(), IWZelkAuthBase::resOK);
  EXPECT_EQ(Client->LoginUsername(), "zelk_other");
  EXPECT_EQ(LoginOK, 2);
  Client->Post("second account");
  ASSERT_EQ(PostOK.size(), 1u);
  EXPECT_EQ(Twitter->Statuses().at(0).UserID, "1002");
  EXPECT_EQ(CountReceived("/oauth/request_token"), 2u);
  EXPECT_EQ(CountReceived("/oauth/access_token"), 2u);
}

TEST_F(TwitterFlowTest, AnAbandonedSignInLeavesPostingWorking) {
  SignIn("allow");
  Client->Login(App.get());  // the user never returns from the consent page
  Client->Post("still signed in");
  EXPECT_EQ(PostOK.size(), 1u);
  EXPECT_EQ(PostFailed, std::vector<std::string>{});
}

// ---------------------------------------------------------------------------------------------
// What the simulator refuses, as the client sees it.

TEST_F(TwitterFlowTest, WrongConsumerSecretIsRefusedAtTheRequestToken) {
  Client->App()->SetSecret("not the secret");
  Client->Login(App.get());
  EXPECT_EQ(Client->LoginResult(), IWZelkAuthBase::resFailed);
  EXPECT_EQ(Client->LoginError(),
            R"({"errors":[{"code":32,"message":"Could not authenticate you."}]})");
  EXPECT_EQ(App->RedirectURL(), "");
  const auto Refused = Twitter->Rejections();
  ASSERT_EQ(Refused.size(), 1u);
  EXPECT_NE(Refused[0].find("does not match"), std::string::npos) << Refused[0];
  Twitter->ClearRejections();
}

TEST_F(TwitterFlowTest, UnknownConsumerAndStaleTimeStampAreRefused) {
  Client->App()->SetID("nobody");
  Client->Login(App.get());
  EXPECT_EQ(Client->LoginResult(), IWZelkAuthBase::resFailed);
  EXPECT_NE(Client->LoginError().find("Could not authenticate you."), std::string::npos);

  Client->App()->SetID(sim::TwitterSim::kDefaultConsumerKey);
  const auto Stale = std::chrono::system_clock::now() - std::chrono::hours(1);
  IWZelkAuthBase::SetClock([Stale] { return Stale; });
  Client->Login(App.get());
  EXPECT_EQ(Client->LoginError(),
            R"({"errors":[{"code":135,"message":"Timestamp out of bounds."}]})");
  const auto Refused = Twitter->Rejections();
  ASSERT_EQ(Refused.size(), 2u);
  EXPECT_NE(Refused[0].find("unknown consumer key nobody"), std::string::npos) << Refused[0];
  EXPECT_NE(Refused[1].find("oauth_timestamp"), std::string::npos) << Refused[1];
  Twitter->ClearRejections();
}

TEST_F(TwitterFlowTest, AReturnWithoutTheVerifierIsRefusedAsTwitterDoes) {
  Client->Login(App.get());
  const std::string Authorize = App->RedirectURL();
  const std::string Token = Authorize.substr(Authorize.find("oauth_token=") + 12);
  const auto Back = Browser->PostForm(Sim.BaseURL(TProviderId::Twitter) + "/oauth/authorize",
                                      {{"oauth_token", Token}, {"decision", "allow"}});
  std::string Target = testing::TargetOf(Back.Location);
  Target.erase(Target.find("&oauth_verifier="));
  Controller->ProcessRequest(web::THttpRequest::FromTarget(Target));
  EXPECT_EQ(Client->LoginResult(), IWZelkAuthBase::resFailed);
  EXPECT_EQ(LoginFailed, 1);
  const auto Refused = Twitter->Rejections();
  ASSERT_EQ(Refused.size(), 1u);
  EXPECT_NE(Refused[0].find("oauth_verifier is missing"), std::string::npos) << Refused[0];
  Twitter->ClearRejections();
}

TEST_F(TwitterFlowTest, AReplayedStatusUpdateIsRefused) {
  SignIn("allow");
  Client->Post("once");
  ASSERT_EQ(PostOK.size(), 1u);
  const auto Received = Sim.Received(TProviderId::Twitter);
  const auto& Update = Received.back();
  ASSERT_EQ(Update.Path, "/1/statuses/update.json");
  // The same bytes again: same nonce and time stamp.
  std::string Reply;
  IWZelkAuthBase::Https_Post(Sim.HostFor(TProviderId::Twitter), Update.Target,
                             "Authorization: " + Update.Header("Authorization"), Update.Body,
                             Reply);
  EXPECT_EQ(Reply, R"({"errors":[{"code":32,"message":"Could not authenticate you."}]})");
  EXPECT_EQ(Twitter->Statuses().size(), 1u);
  const auto Refused = Twitter->Rejections();
  ASSERT_EQ(Refused.size(), 1u);
  EXPECT_NE(Refused[0].find("was already used"), std::string::npos) << Refused[0];
  Twitter->ClearRejections();
}

TEST_F(TwitterFlowTest, PostingWithoutSignInIsRefusedThroughOnPostFailed) {
  Client->Post("nobody signed in");
  EXPECT_TRUE(PostOK.empty());
  EXPECT_EQ(PostFailed, std::vector<std::string>{
                            R"({"errors":[{"code":89,"message":"Invalid or expired token."}]})"});
  EXPECT_EQ(Twitter->Rejections().size(), 1u);
  Twitter->ClearRejections();
}

TEST_F(TwitterFlowTest, TheAuthorizePageRefusesASecretInItsAddress) {
  Client->Login(App.get());
  const auto Page = Browser->Get(App->RedirectURL() + "&oauth_token_secret=leaked");
  EXPECT_EQ(Page.Status, 400);
  EXPECT_EQ(Twitter->Rejections().size(), 1u);
  Twitter->ClearRejections();
}

}  // namespace
}  // namespace zelk::IWTwitterAuthClient
