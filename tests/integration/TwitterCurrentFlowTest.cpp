// The Twitter client in current mode over the real transport against the simulator over TLS:
// the sign-in with a fixed callback routed by the request token, Allow and Deny, posts of
// awkward texts, a duplicate refused and a replayed return ignored.
#include <gtest/gtest.h>

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

class TwitterCurrentFlowTest : public testing::TwitterFlowFixture {
 protected:
  void SetUp() override {
    TwitterFlowFixture::SetUp();
    Twitter->AllowCallback(sim::TwitterSim::kDefaultConsumerKey, "http://127.0.0.1:9/app/");
    Client->SetApi(IWZelkAuthBase::apCurrent);
  }

  std::string XBase() const {
    return "https://" + IWZelkAuthBase::ProviderHost(IWZelkAuthBase::phXApi);
  }

  // Login, the consent page, the user's choice; gives the return address.
  std::string SignIn(const std::string& Decision) {
    App->ClearRedirect();
    Client->Login(App.get());
    const std::string Authenticate = App->RedirectURL();
    EXPECT_EQ(Authenticate.rfind(XBase() + "/oauth/authenticate?oauth_token=", 0), 0u)
        << Authenticate << " " << Client->LoginError();
    const auto Page = Browser->Get(Authenticate);
    EXPECT_EQ(Page.Status, 200) << Page.Body;
    const std::string Token = Authenticate.substr(Authenticate.find("oauth_token=") + 12);
    const auto Back =
        Browser->PostForm(XBase() + "/oauth/authorize",
                          {{"oauth_token", Token}, {"user_id", "1001"}, {"decision", Decision}});
    EXPECT_EQ(Back.Status, 302) << Back.Body;
    // The fixed callback: no per-flow query.
    EXPECT_EQ(Back.Location.rfind("http://127.0.0.1:9/app/?", 0), 0u) << Back.Location;
    EXPECT_EQ(Back.Location.find("clientid"), std::string::npos);
    Controller->ProcessRequest(web::THttpRequest::FromTarget(testing::TargetOf(Back.Location)));
    return Back.Location;
  }
};

TEST_F(TwitterCurrentFlowTest, SignsInPostsAwkwardTextsAndRefusesADuplicate) {
  const std::string Back = SignIn("allow");
  EXPECT_NE(Back.find("oauth_verifier="), std::string::npos);
  EXPECT_EQ(Client->LoginResult(), IWZelkAuthBase::resOK) << Client->LoginError();
  EXPECT_EQ(Client->LoginID(), "1001");
  EXPECT_EQ(Client->LoginUsername(), "zelk_sim");
  EXPECT_EQ(LoginOK, 1);

  const std::string Text = "blanks & = + ~ \"quotes\" back\\slash Caf\xC3\xA9 \xE2\x9C\x93";
  Client->Post(Text);
  ASSERT_EQ(PostOK.size(), 1u) << (PostFailed.empty() ? "" : PostFailed[0]);
  const auto Statuses = Twitter->Statuses();
  ASSERT_EQ(Statuses.size(), 1u);
  EXPECT_EQ(Statuses[0].Text, Text);
  EXPECT_EQ(Statuses[0].ID, PostOK[0]);
  EXPECT_TRUE(Twitter->Rejections().empty());

  Client->Post(Text);
  EXPECT_EQ(PostOK.size(), 1u);
  EXPECT_EQ(PostFailed, std::vector<std::string>{
                            "You are not allowed to create a Tweet with duplicate content."});
  EXPECT_EQ(Twitter->Statuses().size(), 1u);

  // A reply without an error document: the status line tells what happened.
  Sim.SetFault(TProviderId::Twitter, "/2/tweets", sim::TFault::Reply(503, ""));
  Client->Post("while the service is down");
  Sim.ClearFaults();
  ASSERT_EQ(PostFailed.size(), 2u);
  EXPECT_EQ(PostFailed[1].rfind("HTTP/1.1 503", 0), 0u) << PostFailed[1];

  // A replayed return reaches nobody: the simulator sees no second exchange.
  const std::size_t Before = Sim.Received(TProviderId::Twitter).size();
  Controller->ProcessRequest(web::THttpRequest::FromTarget(testing::TargetOf(Back)));
  EXPECT_EQ(Sim.Received(TProviderId::Twitter).size(), Before);
  EXPECT_EQ(LoginOK, 1);
  EXPECT_EQ(LoginFailed, 0);
}

TEST_F(TwitterCurrentFlowTest, DenyFailsAndACallbackOffTheAllowListIsRefused) {
  const std::string Back = SignIn("deny");
  EXPECT_NE(Back.find("denied="), std::string::npos);
  EXPECT_EQ(Client->LoginResult(), IWZelkAuthBase::resFailed);
  EXPECT_EQ(Client->LoginError(), "Access denied");
  EXPECT_EQ(LoginFailed, 1);

  auto Other = testing::MakeApplication("http://127.0.0.1:9/other");
  Client->Login(Other.get());
  EXPECT_EQ(Other->RedirectURL(), "");
  EXPECT_EQ(Client->LoginError(),
            "Callback URL not approved for this client application. Approved callback URLs can "
            "be adjusted in your application settings");
  EXPECT_EQ(LoginFailed, 1);
}

}  // namespace
}  // namespace zelk::IWTwitterAuthClient
