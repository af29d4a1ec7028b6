// What providers and returns put on zelk-demo's page comes back as text, never as markup: a
// provider's user data (name, e-mail) and an error text carried by a provider's return.
#include <gtest/gtest.h>

#include <string>

#include "core/IWZelkAuthBase.h"
#include "examples/demo/DemoApplication.h"
#include "examples/demo/DemoOptions.h"
#include "platform/rtl/SysUtils.h"
#include "support/HtmlForm.h"
#include "support/SimBrowser.h"

namespace zelk::demo {
namespace {

class DemoEscaping : public ::testing::Test {
 protected:
  void SetUp() override {
    FSaved = IWZelkAuthBase::TransportSettings();
    TDemoOptions O;
    O.Port = 0;
    Demo = std::make_unique<TDemoApplication>(O, ZELK_DEMO_FORM);
  }
  void TearDown() override {
    Demo.reset();
    IWZelkAuthBase::ResetProviderHosts();
    IWZelkAuthBase::SetTransportSettings(FSaved);
  }

  // A GET or POST to the demo with the session's cookie, following the demo's redirects to its
  // page.
  testing::TBrowserResponse Visit(const std::string& Method, const std::string& URL) {
    if (Method == "POST" && Token.empty()) {
      // The page's forms carry the session's form token; an action needs it.
      const std::string Page = Visit("GET", Demo->URL()).Body;
      const std::string Marker = "name=\"zelk_form_token\" value=\"";
      const auto P = Page.find(Marker);
      EXPECT_NE(P, std::string::npos);
      if (P != std::string::npos) Token = Page.substr(P + Marker.size(), 64);
    }
    Browser->SetHeader("Cookie", Cookie);
    auto R =
        Method == "GET" ? Browser->Get(URL) : Browser->PostForm(URL, {{"zelk_form_token", Token}});
    for (const auto& [Name, Value] : R.Headers)
      if (rtl::SameText(Name, "Set-Cookie")) Cookie = Value.substr(0, Value.find(';'));
    if (R.Status == 303 && R.Location.starts_with(Demo->URL())) return Visit("GET", R.Location);
    return R;
  }

  // Starts the Google sign-in and answers at the consent page; returns where Google sends the
  // browser back to.
  std::string SignIn(const std::string& Button) {
    const auto Started = Visit("POST", Demo->URL() + "google/login");
    EXPECT_EQ(Started.Status, 303) << Started.Body;
    const auto Page = Browser->Get(Started.Location);
    const auto Form = testing::ReadHtmlForm(Page.Body);
    const auto Back =
        Browser->PostForm(testing::ResolveURL(Started.Location, Form.Action), Form.Press(Button));
    EXPECT_EQ(Back.Status, 302) << Back.Body;
    return Back.Location;
  }

  std::unique_ptr<TDemoApplication> Demo;
  std::unique_ptr<testing::SimBrowser> Browser;
  std::string Cookie;
  std::string Token;

 private:
  IWZelkAuthBase::TTransportSettings FSaved;
};

TEST_F(DemoEscaping, ProviderUserDataAndReturnedErrorTextsAreEscaped) {
  sim::TSimUser User = sim::GoogleSim::DefaultUser();
  User.Name = "<script>alert('name')</script> & \"Co\"";
  User.Email = "<b>bold</b>@example.test";
  Demo->Providers()->Google().SetUser(User);
  Demo->Start();
  Browser = std::make_unique<testing::SimBrowser>(*Demo->Simulator());
  ASSERT_EQ(Visit("GET", Demo->URL()).Status, 200);

  const auto Allowed = Visit("GET", SignIn("Allow"));
  ASSERT_EQ(Allowed.Status, 200);
  EXPECT_NE(Allowed.Body.find("Signed in with Google as &lt;script&gt;alert(&#39;name&#39;)&lt;/"
                              "script&gt; &amp; &quot;Co&quot;."),
            std::string::npos)
      << Allowed.Body;
  EXPECT_NE(Allowed.Body.find("<dd>&lt;b&gt;bold&lt;/b&gt;@example.test</dd>"), std::string::npos);
  EXPECT_EQ(Allowed.Body.find("<script>alert"), std::string::npos);
  EXPECT_EQ(Allowed.Body.find("<b>bold"), std::string::npos);

  // The error text of a return ("error" in its query) is shown as the reason.
  std::string Denied = SignIn("Deny");
  const std::string Error = "error=access_denied";
  ASSERT_NE(Denied.find(Error), std::string::npos) << Denied;
  Denied.replace(Denied.find(Error), Error.size(),
                 "error=%3Cimg%20src%3Dx%20onerror%3Dalert(1)%3E");
  const auto Failed = Visit("GET", Denied);
  ASSERT_EQ(Failed.Status, 200);
  EXPECT_NE(Failed.Body.find("Google sign-in failed: &lt;img src=x onerror=alert(1)&gt;"),
            std::string::npos)
      << Failed.Body;
  EXPECT_EQ(Failed.Body.find("<img src=x"), std::string::npos);
}

}  // namespace
}  // namespace zelk::demo
