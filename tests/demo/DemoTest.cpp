// zelk-demo's request handling, in-process against its own simulator: every flow through the
// page and the providers' pages as a browser would click it, what the page shows afterwards,
// and hostile input (huge or malformed queries, invalid escapes, forged and stale identifiers,
// a return arriving in another session) that must neither break the server nor lose another
// session's flow.
#include <gtest/gtest.h>
#include <httplib.h>

#include <latch>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/IWZelkAuthBase.h"
#include "core/Trace.h"
#include "design/IWZelkAuthReg.h"
#include "examples/demo/DemoApplication.h"
#include "examples/demo/DemoOptions.h"
#include "platform/rtl/FormFile.h"
#include "support/HtmlForm.h"
#include "support/SimBrowser.h"

namespace zelk::demo {
namespace {

using sim::TProviderId;
using TFields = std::vector<std::pair<std::string, std::string>>;

struct TAnswer {
  int Status = 0;
  std::string Location;
  std::string Body;
};

// What the page shows for a flow: the text of its outcome line.
std::string OutcomeLine(const std::string& Page, const std::string& Flow) {
  const std::string Start = "<p id=\"" + Flow + "-outcome\" class=\"";
  const auto P = Page.find(Start);
  if (P == std::string::npos) return "<no outcome line>";
  const auto Text = Page.find('>', P) + 1;
  return Page.substr(Text, Page.find("</p>", Text) - Text);
}

class DemoTest : public ::testing::Test {
 protected:
  // The form the demo runs: the classic one here.
  virtual std::string FormFile() const { return ZELK_DEMO_FORM; }
  void SetUp() override {
    FSavedTransport = IWZelkAuthBase::TransportSettings();
    TDemoOptions O;
    O.Port = 0;
    Demo = std::make_unique<TDemoApplication>(O, FormFile());
    auto S = IWZelkAuthBase::TransportSettings();
    S.ConnectTimeout = std::chrono::seconds(5);
    S.StallTimeout = std::chrono::seconds(5);
    IWZelkAuthBase::SetTransportSettings(S);
    Demo->Start();
    Browser = std::make_unique<testing::SimBrowser>(*Demo->Simulator());
  }
  void TearDown() override {
    Demo.reset();
    IWZelkAuthBase::ResetProviderHosts();
    IWZelkAuthBase::SetTransportSettings(FSavedTransport);
  }

  // One browser session with the demo: keeps its cookie.
  struct TSession {
    DemoTest* Test;
    std::string Cookie;

    TAnswer Send(const std::string& Method, const std::string& Target, const std::string& Body,
                 const std::string& Host = "") {
      httplib::Client C("127.0.0.1", Test->Demo->Port());
      C.set_url_encode(false);
      C.set_read_timeout(20, 0);
      httplib::Headers H;
      // The cookie belongs to the demo's own host: a browser sends it nowhere else.
      if (!Cookie.empty() && Host.empty()) H.emplace("Cookie", Cookie);
      if (!Host.empty()) H.emplace("Host", Host);
      auto R = Method == "GET" ? C.Get(Target, H)
                               : C.Post(Target, H, Body, "application/x-www-form-urlencoded");
      if (!R) return {};
      const std::string SetCookie = R->get_header_value("Set-Cookie");
      if (!SetCookie.empty() && Host.empty()) Cookie = SetCookie.substr(0, SetCookie.find(';'));
      return {R->status, R->get_header_value("Location"), R->body};
    }
    TAnswer Get(const std::string& Target) { return Send("GET", Target, ""); }
    // A form of the page: sent with the session's form token, as the page's forms carry it.
    TAnswer Post(const std::string& Target, const std::string& Body = "") {
      if (Token.empty()) {
        const std::string Page = Get("/").Body;
        const std::string Marker = "name=\"zelk_form_token\" value=\"";
        const auto P = Page.find(Marker);
        EXPECT_NE(P, std::string::npos) << "the page carries no form token";
        if (P != std::string::npos) Token = Page.substr(P + Marker.size(), 64);
      }
      return Send("POST", Target, Body + (Body.empty() ? "" : "&") + "zelk_form_token=" + Token);
    }
    std::string Token;
    std::string Page() { return Get("/").Body; }
    // The one-time payment token of the card form the page renders now (and the session's
    // form token, from the same page, when not known yet).
    std::string CardToken() {
      const std::string Page = Get("/").Body;
      const std::string FormMarker = "name=\"zelk_form_token\" value=\"";
      if (const auto F = Page.find(FormMarker); Token.empty() && F != std::string::npos)
        Token = Page.substr(F + FormMarker.size(), 64);
      const std::string Marker = "name=\"card_token\" value=\"";
      const auto P = Page.find(Marker);
      EXPECT_NE(P, std::string::npos) << "the card form carries no payment token";
      return P == std::string::npos ? std::string() : Page.substr(P + Marker.size(), 64);
    }
    // The card form as the page renders it, sent once with Fields.
    TAnswer PayByCard(const std::string& Fields) {
      return Post("/card/pay", Fields + "&card_token=" + CardToken());
    }
    // The browser arrives at an address of the demo (as a provider sends it back) and follows
    // the demo's redirects; returns the last answer.
    TAnswer Arrive(std::string URL) {
      TAnswer A;
      for (int Hops = 0; Hops < 5 && !URL.empty(); ++Hops) {
        const std::string Host = URL.substr(7, URL.find('/', 7) - 7);
        // A return to "localhost" carries no cookie of this session, as in a browser.
        A = Host.starts_with("localhost") ? Send("GET", testing::TargetOf(URL), "", Host)
                                          : Send("GET", testing::TargetOf(URL), "");
        URL = A.Location;
      }
      return A;
    }
  };
  TSession NewSession() {
    TSession S{this, {}, {}};
    EXPECT_EQ(S.Get("/").Status, 200);
    EXPECT_FALSE(S.Cookie.empty());
    return S;
  }

  // Presses the button labelled Label on the provider page at URL; returns where the provider
  // sends the browser.
  std::string Press(const std::string& URL, const std::string& Label) {
    const auto Page = Browser->Get(URL);
    EXPECT_EQ(Page.Status, 200) << URL << "\n" << Page.Body;
    const auto Form = testing::ReadHtmlForm(Page.Body);
    const auto Answer = Browser->PostForm(testing::ResolveURL(URL, Form.Action), Form.Press(Label));
    EXPECT_EQ(Answer.Status, 302) << Answer.Body;
    return Answer.Location;
  }

  // Starts the flow behind the page's button Action; returns the provider page it leads to.
  std::string Start(TSession& S, const std::string& Action) {
    const TAnswer A = S.Post(Action);
    EXPECT_EQ(A.Status, 303) << Action << "\n" << A.Body;
    return A.Location;
  }

  std::unique_ptr<TDemoApplication> Demo;
  std::unique_ptr<testing::SimBrowser> Browser;

 private:
  IWZelkAuthBase::TTransportSettings FSavedTransport;
};

// ---- the flows -------------------------------------------------------------------------------

struct TSignInCase {
  const char* Flow;
  TProviderId Provider;
  std::vector<std::string> Shown;  // in the user's data after Allow
  const char* Denied;              // the outcome after Deny
};

TEST_F(DemoTest, EverySignInAllowedShowsTheUserAndDeniedShowsWhy) {
  const std::vector<TSignInCase> Cases = {
      {"google",
       TProviderId::Google,
       {"<dt>ID</dt><dd>108204268033311374519</dd>", "<dt>Name</dt><dd>Zoë Ünal</dd>",
        "<dt>E-mail</dt><dd>zoe.unal@gmail.test</dd>", "<dt>Gender</dt><dd>female</dd>"},
       "Google sign-in failed: access_denied"},
      {"facebook",
       TProviderId::Facebook,
       {"<dt>Name</dt><dd>Renée 山田</dd>", "<dt>E-mail</dt><dd>renee.yamada@facebook.test</dd>",
        "<dt>Birthday</dt><dd>07/21/1984</dd>",
        "<dt>Picture</dt><dd>https://graph.fb.test/100004471234567/picture</dd>"},
       "Facebook sign-in failed"},
      {"windowslive",
       TProviderId::WindowsLive,
       {"<dt>ID</dt><dd>8c8ce076ca27823f</dd>", "<dt>Name</dt><dd>Łukasz Żółć</dd>",
        "<dt>E-mail</dt><dd>lukasz.zolc@outlook.test</dd>", "<dt>Birthday</dt><dd>1979\\11\\3</dd>",
        "<dt>Gender</dt><dd>male</dd>"},
       "Windows Live sign-in failed"},
      {"twitter",
       TProviderId::Twitter,
       {"<dt>ID</dt><dd>1001</dd>", "<dt>Screen name</dt><dd>zelk_sim</dd>"},
       "Twitter sign-in failed"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Flow);
    TSession S = NewSession();
    const std::string Action = std::string("/") + C.Flow + "/login";

    const std::string Dialog = Start(S, Action);
    ASSERT_TRUE(Dialog.starts_with(Demo->Simulator()->BaseURL(C.Provider) + "/")) << Dialog;
    EXPECT_EQ(OutcomeLine(S.Page(), C.Flow), "Waiting for " +
                                                 std::string(C.Provider == TProviderId::WindowsLive
                                                                 ? "Windows Live"
                                                                 : sim::ProviderName(C.Provider)) +
                                                 "&#39;s answer.");
    const TAnswer Denied = S.Arrive(Press(Dialog, "Deny"));
    EXPECT_EQ(Denied.Status, 200);
    EXPECT_TRUE(OutcomeLine(Denied.Body, C.Flow).starts_with(C.Denied))
        << OutcomeLine(Denied.Body, C.Flow);
    EXPECT_NE(Denied.Body.find("class=\"outcome failed\""), std::string::npos);
    EXPECT_EQ(Denied.Body.find("id=\"" + std::string(C.Flow) + "-user\""), std::string::npos);

    const TAnswer Allowed = S.Arrive(Press(Start(S, Action), "Allow"));
    EXPECT_EQ(Allowed.Status, 200);
    EXPECT_TRUE(OutcomeLine(Allowed.Body, C.Flow).starts_with("Signed in with "))
        << OutcomeLine(Allowed.Body, C.Flow);
    for (const auto& Text : C.Shown)
      EXPECT_NE(Allowed.Body.find(Text), std::string::npos) << Text;
  }
}

TEST_F(DemoTest, PostingNeedsASignInThenReachesTheProviderOrShowsItsRefusal) {
  TSession S = NewSession();
  S.Post("/facebook/post", "status=hi");
  S.Post("/twitter/post", "status=hi");
  std::string Page = S.Page();
  EXPECT_EQ(OutcomeLine(Page, "facebook-post"),
            "Sign in with Facebook first: posting needs the user&#39;s permission.");
  EXPECT_EQ(OutcomeLine(Page, "twitter-post"),
            "Sign in with Twitter first: posting needs the user&#39;s permission.");

  S.Arrive(Press(Start(S, "/facebook/login"), "Allow"));
  S.Arrive(Press(Start(S, "/twitter/login"), "Allow"));
  EXPECT_EQ(S.Post("/facebook/post", "status=Caf%C3%A9+%26+%3Cb%3E").Location,
            Demo->URL());  // back to the page
  S.Post("/twitter/post", "status=Caf%C3%A9+%26+%3Cb%3E");
  Page = S.Page();
  EXPECT_TRUE(OutcomeLine(Page, "facebook-post").starts_with("Posted to Facebook (post id "));
  EXPECT_TRUE(OutcomeLine(Page, "twitter-post").starts_with("Posted to Twitter (status id "));
  ASSERT_EQ(Demo->Providers()->Facebook().Posts().size(), 1u);
  EXPECT_EQ(Demo->Providers()->Facebook().Posts()[0].Message, "Café & <b>");
  ASSERT_EQ(Demo->Providers()->Twitter().Statuses().size(), 1u);
  EXPECT_EQ(Demo->Providers()->Twitter().Statuses()[0].Text, "Café & <b>");

  S.Post("/facebook/post", "status=");
  EXPECT_TRUE(OutcomeLine(S.Page(), "facebook-post").starts_with("Facebook refused the post: "))
      << OutcomeLine(S.Page(), "facebook-post");
}

// The shipped default form: Google, Facebook, Windows Live and Twitter speak the current APIs
// against the simulator's current endpoints.
class DemoCurrentTest : public DemoTest {
 protected:
  std::string FormFile() const override { return ZELK_DEMO_CURRENT_FORM; }
  // As Start, but the provider's address as sent: the HTTP client decodes the Location header,
  // which would turn the encoded blanks of the current scopes into bare ones. The redirect's
  // body links the same address, HTML-encoded.
  std::string StartAsSent(TSession& S, const std::string& Action) {
    const TAnswer A = S.Post(Action);
    EXPECT_EQ(A.Status, 303) << Action << "\n" << A.Body;
    const auto Href = A.Body.find("href=\"");
    if (Href == std::string::npos) return A.Location;
    std::string URL = A.Body.substr(Href + 6, A.Body.find('"', Href + 6) - Href - 6);
    for (auto P = URL.find("&amp;"); P != std::string::npos; P = URL.find("&amp;", P + 1))
      URL.replace(P, 5, "&");
    return URL;
  }
};

TEST_F(DemoCurrentTest, PayPalByCardAndCheckoutOverTheRestApi) {
  TSession S = NewSession();
  EXPECT_EQ(S.PayByCard("number=4111+1111+1111+1111&type=Visa&expiry=12%2F2031&cvv=123").Status,
            303);
  EXPECT_EQ(OutcomeLine(S.Page(), "card"),
            "Card payment accepted: 35.95 EUR charged to the card ending in 1111.");
  ASSERT_EQ(Demo->Providers()->PayPal().RestPayments().size(), 1u);
  EXPECT_EQ(Demo->Providers()->PayPal().RestPayments()[0].Amount, "35.95");

  const std::string Approve = Start(S, "/paypal/checkout");
  EXPECT_NE(Approve.find("/checkoutnow?token="), std::string::npos) << Approve;
  EXPECT_EQ(OutcomeLine(S.Arrive(Press(Approve, "Cancel")).Body, "checkout"),
            "PayPal checkout canceled: Payment canceled");
  EXPECT_EQ(OutcomeLine(S.Arrive(Press(Start(S, "/paypal/checkout"), "Pay")).Body, "checkout"),
            "PayPal payment completed: 35.95 EUR paid.");
  ASSERT_EQ(Demo->Providers()->PayPal().RestPayments().size(), 2u);
  EXPECT_EQ(Demo->Providers()->PayPal().RestPayments()[1].Method, "capture");
}

TEST_F(DemoCurrentTest, ACardOrderWhoseAnswersAreLostIsShownAsUnknown) {
  TSession S = NewSession();
  Demo->Simulator()->SetFault(TProviderId::PayPal, "/v2/checkout/orders",
                              sim::TFault::LoseAnswer());
  EXPECT_EQ(S.PayByCard("number=4111+1111+1111+1111&type=Visa&expiry=12%2F2031&cvv=123").Status,
            303);
  EXPECT_EQ(OutcomeLine(S.Page(), "card"),
            "The card payment&#39;s outcome is unknown: PayPal may have charged the card. Do not "
            "pay again before checking the card&#39;s statement or your PayPal account.");
  EXPECT_EQ(Demo->Providers()->PayPal().RestPayments().size(), 1u);
}

TEST_F(DemoCurrentTest, EveryCurrentSignInAllowedShowsTheUserAndDeniedShowsWhy) {
  const std::vector<TSignInCase> Cases = {
      {"google",
       TProviderId::Google,
       {"<dt>Name</dt><dd>Zoë Ünal</dd>", "<dt>E-mail</dt><dd>zoe.unal@gmail.test</dd>"},
       "Google sign-in failed"},
      {"facebook",
       TProviderId::Facebook,
       {"<dt>Name</dt><dd>Renée 山田</dd>", "<dt>E-mail</dt><dd>renee.yamada@facebook.test</dd>",
        "<dt>Birthday</dt><dd>07/21/1984</dd>"},
       "Facebook sign-in failed"},
      {"windowslive",
       TProviderId::WindowsLive,
       {"<dt>Name</dt><dd>Łukasz Żółć</dd>", "<dt>E-mail</dt><dd>lukasz.zolc@outlook.test</dd>"},
       "Windows Live sign-in failed"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Flow);
    TSession S = NewSession();
    const std::string Action = std::string("/") + C.Flow + "/login";
    const std::string Dialog = StartAsSent(S, Action);
    ASSERT_TRUE(Dialog.starts_with(Demo->Simulator()->BaseURL(C.Provider) + "/")) << Dialog;
    // The current APIs carry the flow in "state" and return to the fixed address.
    EXPECT_NE(Dialog.find("&state="), std::string::npos) << Dialog;
    EXPECT_EQ(Dialog.find("clientid"), std::string::npos) << Dialog;

    const TAnswer Denied = S.Arrive(Press(Dialog, "Deny"));
    EXPECT_TRUE(OutcomeLine(Denied.Body, C.Flow).starts_with(C.Denied))
        << OutcomeLine(Denied.Body, C.Flow);
    EXPECT_EQ(Denied.Body.find("id=\"" + std::string(C.Flow) + "-user\""), std::string::npos);

    const std::string Return = Press(StartAsSent(S, Action), "Allow");
    const TAnswer Allowed = S.Arrive(Return);
    EXPECT_TRUE(OutcomeLine(Allowed.Body, C.Flow).starts_with("Signed in with "))
        << OutcomeLine(Allowed.Body, C.Flow);
    for (const auto& Text : C.Shown)
      EXPECT_NE(Allowed.Body.find(Text), std::string::npos) << Text;
    EXPECT_EQ(Allowed.Body.find("<dt>Gender</dt>"), std::string::npos);
    // A reload of the return page changes nothing: the identifier is spent.
    const TAnswer Reloaded = S.Arrive(Return);
    EXPECT_EQ(OutcomeLine(Reloaded.Body, C.Flow), OutcomeLine(Allowed.Body, C.Flow));
  }
}

TEST_F(DemoCurrentTest, FacebookPostingExplainsWhyItIsUnavailable) {
  TSession S = NewSession();
  EXPECT_NE(S.Page().find("id=\"facebook-post-unavailable\""), std::string::npos);
  S.Arrive(Press(StartAsSent(S, "/facebook/login"), "Allow"));
  S.Post("/facebook/post", "status=hi");
  EXPECT_EQ(OutcomeLine(S.Page(), "facebook-post"),
            "Posting to Facebook is unavailable: Facebook offers no API for posting to a "
            "user&#39;s timeline: Post is unavailable when Api is apCurrent");
  EXPECT_TRUE(Demo->Providers()->Facebook().Posts().empty());
}

TEST_F(DemoCurrentTest, TwitterSignsInThroughTheFixedCallbackAndPostsJson) {
  TSession S = NewSession();
  const std::string Host = IWZelkAuthBase::ProviderHost(IWZelkAuthBase::phXApi);
  const std::string Dialog = StartAsSent(S, "/twitter/login");
  ASSERT_TRUE(Dialog.starts_with("https://" + Host + "/oauth/authenticate?oauth_token=")) << Dialog;
  const TAnswer Denied = S.Arrive(Press(Dialog, "Deny"));
  EXPECT_EQ(OutcomeLine(Denied.Body, "twitter"), "Twitter sign-in failed: Access denied");

  const std::string Return = Press(StartAsSent(S, "/twitter/login"), "Allow");
  // Back to the demo's own address, the flow named only by its request token.
  EXPECT_TRUE(Return.starts_with(Demo->URL() + "?oauth_token=")) << Return;
  const TAnswer Allowed = S.Arrive(Return);
  EXPECT_TRUE(OutcomeLine(Allowed.Body, "twitter").starts_with("Signed in with Twitter"))
      << OutcomeLine(Allowed.Body, "twitter");
  EXPECT_NE(Allowed.Body.find("<dt>Screen name</dt><dd>zelk_sim</dd>"), std::string::npos);
  const TAnswer Reloaded = S.Arrive(Return);
  EXPECT_EQ(OutcomeLine(Reloaded.Body, "twitter"), OutcomeLine(Allowed.Body, "twitter"));

  S.Post("/twitter/post", "status=Caf%C3%A9+%26+%3Cb%3E");
  EXPECT_TRUE(OutcomeLine(S.Page(), "twitter-post").starts_with("Posted to Twitter (status id "));
  ASSERT_EQ(Demo->Providers()->Twitter().Statuses().size(), 1u);
  EXPECT_EQ(Demo->Providers()->Twitter().Statuses()[0].Text, "Café & <b>");
  S.Post("/twitter/post", "status=Caf%C3%A9+%26+%3Cb%3E");
  EXPECT_EQ(OutcomeLine(S.Page(), "twitter-post"),
            "Twitter refused the post: You are not allowed to create a Tweet with duplicate "
            "content.");
}

// An attacker planted a session id in the victim's browser before the victim signs in with X
// through its fixed callback (the return names its flow by the request token only); then the
// victim signs out.
TEST_F(DemoCurrentTest, ATwitterSignInRenewsAPlantedSessionAndSigningOutEndsIt) {
  TSession S = NewSession();
  TSession Attacker{this, S.Cookie, {}};
  const TAnswer Allowed = S.Arrive(Press(StartAsSent(S, "/twitter/login"), "Allow"));
  ASSERT_TRUE(OutcomeLine(Allowed.Body, "twitter").starts_with("Signed in with Twitter"));
  EXPECT_NE(S.Cookie, Attacker.Cookie);
  // The planted id names nothing: the attacker gets a fresh page and cannot post as the victim.
  EXPECT_EQ(Attacker.Page().find("<dt>Screen name</dt>"), std::string::npos);
  Attacker.Post("/twitter/post", "status=pwned");
  EXPECT_TRUE(Demo->Providers()->Twitter().Statuses().empty());

  S.Post("/signout");
  EXPECT_EQ(S.Cookie, "zelk_session=");  // the browser was told to forget it
  const std::string After = S.Page();
  EXPECT_EQ(After.find("<dt>Screen name</dt>"), std::string::npos);
  EXPECT_EQ(OutcomeLine(After, "twitter"), "Not tried yet.");
  S.Token.clear();
  S.Post("/twitter/post", "status=after");
  EXPECT_EQ(OutcomeLine(S.Page(), "twitter-post"),
            "Sign in with Twitter first: posting needs the user&#39;s permission.");
  EXPECT_TRUE(Demo->Providers()->Twitter().Statuses().empty());
}

TEST_F(DemoTest, ClassicFormShowsNoPostingNote) {
  TSession S = NewSession();
  EXPECT_EQ(S.Page().find("facebook-post-unavailable"), std::string::npos);
}

TEST_F(DemoTest, CardPaymentAcceptedRefusedAndNotSent) {
  TSession S = NewSession();
  struct TCase {
    std::string Body;
    std::string Outcome;
    std::size_t Payments;
  };
  const std::vector<TCase> Cases = {
      {"number=4111+1111+1111+1111&type=Visa&expiry=12%2F2031&cvv=123",
       "Card payment accepted: 28.75 EUR charged to the card ending in 1111.", 1},
      {"number=4111+1111+1111+1112&type=Visa&expiry=12%2F2031&cvv=123",
       "PayPal refused the card payment: check the card&#39;s number, type, expiry date and "
       "CVV.",
       1},
      {"number=4111111111111111&type=Visa&expiry=13%2F2031&cvv=123",
       "Card payment not sent: the expiry date must be MM/YYYY, e.g. 07/2031.", 1},
      {"number=4111111111111111&type=Diners&expiry=12%2F2031&cvv=123",
       "Card payment not sent: choose Visa, MasterCard, Discover or Amex.", 1},
      {"number=%zz%3Cscript%3E%&type=Visa&expiry=%4%2F20%&cvv=%%",
       "Card payment not sent: the expiry date must be MM/YYYY, e.g. 07/2031.", 1},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Body);
    EXPECT_EQ(S.PayByCard(C.Body).Status, 303);
    const std::string Page = S.Page();
    EXPECT_EQ(OutcomeLine(Page, "card"), C.Outcome);
    EXPECT_EQ(Page.find("<script>"), std::string::npos);  // what was typed comes back escaped
    EXPECT_EQ(Demo->Providers()->PayPal().Payments().size(), C.Payments);
  }
  EXPECT_EQ(Demo->Providers()->PayPal().Payments()[0].Amount, "28.75");
  EXPECT_EQ(Demo->Providers()->PayPal().Payments()[0].CardLastFour, "1111");
}

TEST_F(DemoTest, TheCardNumberAndCVVAreNeverShownAgain) {
  TSession S = NewSession();
  const std::string Before = S.Page();
  const std::string OldCookie = S.Cookie;
  EXPECT_EQ(S.PayByCard("number=4111+1111+1111+1111&type=Visa&expiry=12%2F2031&cvv=987").Status,
            303);
  // A payment gives the session a new identifier.
  EXPECT_NE(S.Cookie, OldCookie);
  EXPECT_EQ(S.PayByCard("number=4000-0000-0000-0002&type=Visa&expiry=12%2F2031&cvv=654").Status,
            303);
  // The page's form token is 64 random hex digits, which may hold any short run of digits.
  const std::string Page =
      std::regex_replace(S.Page(), std::regex("[0-9a-f]{32,}"), "<random hex>");
  EXPECT_EQ(Page.find("4000"), std::string::npos) << Page;
  EXPECT_EQ(Page.find("0000-0002"), std::string::npos);
  EXPECT_EQ(Page.find("654"), std::string::npos);
  EXPECT_EQ(Page.find("987"), std::string::npos);
  EXPECT_NE(Page.find("placeholder=\"card ending in 0002\""), std::string::npos);
  EXPECT_NE(Page.find("<input name=\"cvv\" size=\"4\" autocomplete=\"off\" value=\"\">"),
            std::string::npos);
  EXPECT_NE(Before.find("value=\"4111 1111 1111 1111\""), std::string::npos);  // the test card
}

// What the page says when a card form comes again.
constexpr const char* kAlreadySent =
    "<p id=\"notice\" class=\"note\">This card form was already sent (or has expired), so "
    "nothing was charged this time.";

// A rendered card form pays once: sent again (a double click, a reload, a replay), an older
// page's form, a form without its payment token or with a forged one charge nothing.
TEST_F(DemoTest, ACardFormChargesOnceHoweverOftenItIsSent) {
  TSession S = NewSession();
  const std::string Card = "number=4111+1111+1111+1111&type=Visa&expiry=12%2F2031&cvv=123";
  const std::string Older = S.CardToken();
  const std::string Form = Card + "&card_token=" + S.CardToken();
  EXPECT_NE(Form.substr(Form.size() - 64), Older);
  EXPECT_EQ(S.Post("/card/pay", Form).Status, 303);
  ASSERT_EQ(Demo->Providers()->PayPal().Payments().size(), 1u);
  const std::string Accepted =
      "Card payment accepted: 28.75 EUR charged to the card ending in 1111.";
  std::string Page = S.Page();
  EXPECT_EQ(OutcomeLine(Page, "card"), Accepted);
  EXPECT_EQ(Page.find(kAlreadySent), std::string::npos);
  for (const std::string& Body :
       {Form, Form, Card + "&card_token=" + Older, Card, Card + "&card_token=",
        Card + "&card_token=" + std::string(64, '0'), Form + "&card_token=" + Older}) {
    SCOPED_TRACE(Body);
    EXPECT_EQ(S.Post("/card/pay", Body).Status, 303);
    Page = S.Page();
    EXPECT_NE(Page.find(kAlreadySent), std::string::npos) << Page;
    EXPECT_EQ(OutcomeLine(Page, "card"), Accepted);  // the payment's own outcome stays
  }
  EXPECT_EQ(Demo->Providers()->PayPal().Payments().size(), 1u);
  // The form the page renders now pays again, once.
  EXPECT_EQ(S.PayByCard(Card).Status, 303);
  EXPECT_EQ(Demo->Providers()->PayPal().Payments().size(), 2u);
  EXPECT_EQ(S.Page().find(kAlreadySent), std::string::npos);
}

// Thirty sendings of one card form at once, in the same session: one payment.
TEST_F(DemoTest, ThirtyConcurrentSendingsOfOneCardFormChargeOnce) {
  TSession S = NewSession();
  const std::string CardToken = S.CardToken();
  const std::string Body = "number=4111+1111+1111+1111&type=Visa&expiry=12%2F2031&cvv=123" +
                           std::string("&zelk_form_token=") + S.Token + "&card_token=" + CardToken;
  constexpr int kSendings = 30;
  std::vector<int> Statuses(kSendings, 0);
  std::latch Ready(kSendings);
  std::vector<std::thread> Threads;
  for (int I = 0; I < kSendings; ++I)
    Threads.emplace_back([&, I] {
      httplib::Client C("127.0.0.1", Demo->Port());
      C.set_read_timeout(60, 0);
      Ready.arrive_and_wait();
      const auto R =
          C.Post("/card/pay", {{"Cookie", S.Cookie}}, Body, "application/x-www-form-urlencoded");
      Statuses[static_cast<std::size_t>(I)] = R ? R->status : -1;
    });
  for (auto& T : Threads)
    T.join();
  EXPECT_EQ(Demo->Providers()->PayPal().Payments().size(), 1u);
  // Each one was answered: the page (303), or, once the payment gave the session a new
  // identifier, a refusal of the form in the new session the old cookie now opens (403).
  int Redirects = 0;
  for (const int Status : Statuses) {
    EXPECT_TRUE(Status == 303 || Status == 403 || Status == 503) << Status;
    if (Status == 303) ++Redirects;
  }
  EXPECT_GE(Redirects, 1);
}

// An answer lost after PayPal took the payment: the page says the outcome is unknown and not
// to pay again before checking, never that the payment failed.
TEST_F(DemoTest, APaymentWhoseAnswerIsLostIsShownAsUnknownNeverAsFailed) {
  IWZelkAuthBase::ResetProviderCounters();
  TSession S = NewSession();
  Demo->Simulator()->SetFault(TProviderId::PayPal, "/nvp", sim::TFault::LoseAnswer());
  EXPECT_EQ(S.PayByCard("number=4111+1111+1111+1111&type=Visa&expiry=12%2F2031&cvv=123").Status,
            303);
  std::string Page = S.Page();
  EXPECT_EQ(OutcomeLine(Page, "card"),
            "The card payment&#39;s outcome is unknown: PayPal may have charged the card. Do not "
            "pay again before checking the card&#39;s statement or your PayPal account.");
  EXPECT_NE(Page.find("<p id=\"card-outcome\" class=\"outcome unknown\">"), std::string::npos);
  EXPECT_EQ(Demo->Providers()->PayPal().Payments().size(), 1u);

  // Express Checkout: the payment's answer and the status check's both lost.
  Demo->Simulator()->ClearFaults();
  const std::string Back = Press(Start(S, "/paypal/checkout"), "Pay");
  Demo->Simulator()->SetFault(TProviderId::PayPal, "/nvp",
                              sim::TFault::LoseAnswer().AfterPassing(1));
  Page = S.Arrive(Back).Body;
  EXPECT_EQ(OutcomeLine(Page, "checkout"),
            "The PayPal payment&#39;s outcome is unknown: PayPal may have taken the payment. Do "
            "not pay again before checking your PayPal account.");
  EXPECT_NE(Page.find("<p id=\"checkout-outcome\" class=\"outcome unknown\">"), std::string::npos);
  EXPECT_EQ(Page.find("class=\"outcome failed\""), std::string::npos);
  EXPECT_EQ(Demo->Providers()->PayPal().Payments().size(), 2u);
  // Counted and traced as unknown, never as a failure.
  const auto PayPal = IWZelkAuthBase::ProviderCounters().at("PayPal");
  EXPECT_EQ(PayPal.FlowsUnknown, 1u);
  EXPECT_EQ(PayPal.FlowsFailed, 0u);
}

TEST_F(DemoTest, ActionsNeedTheSessionsFormTokenAndPagesForbidScriptsAndFraming) {
  TSession S = NewSession();
  const std::string Page = S.Page();
  httplib::Client C("127.0.0.1", Demo->Port());
  auto Answer = C.Get("/", {{"Cookie", S.Cookie}});
  ASSERT_TRUE(Answer);
  const std::string Policy = Answer->get_header_value("Content-Security-Policy");
  EXPECT_NE(Policy.find("default-src 'none'"), std::string::npos) << Policy;
  EXPECT_NE(Policy.find("frame-ancestors 'none'"), std::string::npos) << Policy;
  EXPECT_EQ(Policy.find("script-src"), std::string::npos) << Policy;
  EXPECT_EQ(Answer->get_header_value("Referrer-Policy"), "no-referrer");
  EXPECT_EQ(Answer->get_header_value("X-Frame-Options"), "DENY");
  EXPECT_EQ(Page.find("<script"), std::string::npos);

  // Every form of the page carries the token.
  std::size_t Forms = 0;
  std::size_t Tokens = 0;
  for (auto P = Page.find("<form"); P != std::string::npos; P = Page.find("<form", P + 1)) {
    ++Forms;
    const auto End = Page.find("</form>", P);
    if (Page.substr(P, End - P).find("name=\"zelk_form_token\"") != std::string::npos) ++Tokens;
  }
  EXPECT_GE(Forms, 7u);
  EXPECT_EQ(Tokens, Forms);

  // Without the token, or with another session's, an action does nothing.
  TSession Other = NewSession();
  Other.Post("/facebook/post", "status=x");  // fetches Other's token
  for (const std::string& Body :
       {std::string("status=x"), "status=x&zelk_form_token=" + std::string(64, '0'),
        "status=x&zelk_form_token=" + Other.Token}) {
    SCOPED_TRACE(Body);
    const TAnswer A = S.Send("POST", "/google/login", Body);
    EXPECT_EQ(A.Status, 403);
    EXPECT_NE(A.Body.find("This form has expired or was not sent from this application"),
              std::string::npos);
  }
  EXPECT_EQ(OutcomeLine(S.Page(), "google"), "Not tried yet.");
  // With its own token the same action goes on to the provider.
  EXPECT_NE(Start(S, "/google/login").find("state="), std::string::npos);
}

TEST_F(DemoTest, ExpressCheckoutCanceledThenPaidOnceEvenWhenTheReturnIsReloaded) {
  TSession S = NewSession();
  const TAnswer Canceled = S.Arrive(Press(Start(S, "/paypal/checkout"), "Cancel"));
  EXPECT_EQ(OutcomeLine(Canceled.Body, "checkout"), "PayPal checkout canceled: Payment canceled");
  EXPECT_TRUE(Demo->Providers()->PayPal().Payments().empty());

  const std::string Return = Press(Start(S, "/paypal/checkout"), "Pay");
  const TAnswer Paid = S.Arrive(Return);
  EXPECT_EQ(OutcomeLine(Paid.Body, "checkout"), "PayPal payment completed: 35.95 EUR paid.");
  ASSERT_EQ(Demo->Providers()->PayPal().Payments().size(), 1u);
  EXPECT_EQ(Demo->Providers()->PayPal().Payments()[0].ApprovedAmount, "35.95");

  const TAnswer Reloaded = S.Arrive(Return);
  EXPECT_NE(Reloaded.Body.find("<p id=\"notice\" class=\"note\">A provider&#39;s answer arrived "
                               "for a sign-in or payment that is not in progress in this session"),
            std::string::npos);
  EXPECT_EQ(Demo->Providers()->PayPal().Payments().size(), 1u);
}

// ---- hostile input ---------------------------------------------------------------------------

TEST_F(DemoTest, HostileRequestsGetClearAnswersAndAnotherSessionsFlowSurvives) {
  TSession Victim = NewSession();
  const std::string Dialog = Start(Victim, "/google/login");
  const std::string Flow = Dialog.substr(Dialog.find("state=") + 6, 36);
  TSession Attacker = NewSession();

  struct TCase {
    const char* Name;
    std::string Method;
    std::string Target;
    int Status;
    std::string Text;  // in the answer's body, or the page after the redirect
  };
  const std::vector<TCase> Cases = {
      {"huge query", "GET", "/?q=" + std::string(20000, 'a'), 414, "too long"},
      {"invalid escapes", "GET", "/?state=%zz%4&clientid=%&code=%%", 303, "not in progress"},
      {"forged state", "GET", "/?state=" + std::string(36, 'f') + "&code=x", 303,
       "not in progress"},
      {"forged clientid", "GET", "/?clientid=<script>&paypalcallback=1&token=x", 303,
       "not in progress"},
      {"the victim's flow in another session", "GET", "/?state=" + Flow + "&error=access_denied",
       403, "belongs to another session"},
      {"an action by GET", "GET", "/google/login", 405, "does not accept GET"},
      {"no such page", "POST", "/%3Cb%3E", 404, "There is no page"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TAnswer A = Attacker.Send(C.Method, C.Target, "");
    EXPECT_EQ(A.Status, C.Status) << A.Body;
    if (A.Status == 303) {
      EXPECT_EQ(A.Location, Demo->URL());
      A = Attacker.Get("/");
    }
    EXPECT_NE(A.Body.find(C.Text), std::string::npos) << A.Body;
    EXPECT_EQ(A.Body.find("<script>"), std::string::npos);
  }
  EXPECT_EQ(OutcomeLine(Attacker.Page(), "google"), "Not tried yet.");

  // The victim's sign-in was never disturbed and still completes.
  const TAnswer Done = Victim.Arrive(Press(Dialog, "Allow"));
  EXPECT_EQ(OutcomeLine(Done.Body, "google"), "Signed in with Google as Zoë Ünal.");
}

// ---- several instances -----------------------------------------------------------------------

// The instance that started two flows stops; the browsers' returns reach another one (a restart
// here) with cookies it does not know. Each ends on the start page of a fresh session asking the
// user to sign in again, and nothing reaches a provider: no payment, no token exchange.
TEST_F(DemoTest, ReturnsForAnInstanceThatHasGoneAskToSignInAgainAndCompleteNothing) {
  TSession Payer = NewSession();
  const std::string Paid = Press(Start(Payer, "/paypal/checkout"), "Pay");
  TSession Reader = NewSession();
  const std::string Allowed = Press(Start(Reader, "/google/login"), "Allow");

  Demo.reset();
  IWZelkAuthBase::ResetProviderHosts();
  TDemoOptions O;
  O.Port = 0;
  Demo = std::make_unique<TDemoApplication>(O, FormFile());
  Demo->Start();
  Browser = std::make_unique<testing::SimBrowser>(*Demo->Simulator());

  for (auto* Case : {&Payer, &Reader}) {
    const std::string Old = Case->Cookie;
    const TAnswer A = Case->Arrive(Case == &Payer ? Paid : Allowed);
    EXPECT_EQ(A.Status, 200) << A.Body;
    EXPECT_NE(Case->Cookie, Old);
    EXPECT_NE(A.Body.find("<p id=\"notice\" class=\"note\">This sign-in or payment was started "
                          "on a server that is no longer available, or its session has expired, "
                          "so it was not completed. Please sign in again.</p>"),
              std::string::npos)
        << A.Body;
    for (const char* Flow : {"google", "facebook", "windowslive", "twitter", "checkout"})
      EXPECT_EQ(OutcomeLine(A.Body, Flow), "Not tried yet.") << Flow;
  }
  EXPECT_TRUE(Demo->Simulator()->Received(TProviderId::PayPal).empty());
  EXPECT_TRUE(Demo->Simulator()->Received(TProviderId::Google).empty());
  EXPECT_TRUE(Demo->Providers()->PayPal().Payments().empty());
  // A session that has shown its page is told the flow is not in progress there instead.
  const TAnswer Again = Payer.Arrive(Paid);
  EXPECT_NE(Again.Body.find("is not in progress in this session"), std::string::npos);
}

// ---- diagnostics -------------------------------------------------------------------------------

TEST_F(DemoTest, StatusPageCountsEachProvidersFlows) {
  IWZelkAuthBase::ResetProviderCounters();
  TSession S = NewSession();
  EXPECT_NE(S.Get("/status").Body.find("id=\"no-flows\""), std::string::npos);
  S.Arrive(Press(Start(S, "/google/login"), "Deny"));
  S.Arrive(Press(Start(S, "/google/login"), "Allow"));
  Start(S, "/twitter/login");
  const TAnswer Status = S.Get("/status");
  EXPECT_EQ(Status.Status, 200);
  // Provider, started, succeeded, failed, denied, unknown, transport errors, then the calls.
  EXPECT_NE(Status.Body.find("<tr><td>Google</td><td>2</td><td>1</td><td>0</td><td>1</td>"
                             "<td>0</td><td>0</td><td>2</td>"),
            std::string::npos)
      << Status.Body;
  // Twitter's flow began with its request-token call and has not come back.
  EXPECT_NE(Status.Body.find("<tr><td>Twitter</td><td>1</td><td>0</td><td>0</td><td>0</td>"
                             "<td>0</td><td>0</td><td>1</td>"),
            std::string::npos)
      << Status.Body;
}

TEST(DemoOptionsTest, TraceAndAccessLog) {
  EXPECT_FALSE(ParseDemoOptions(0, nullptr).Trace);
  EXPECT_EQ(ParseDemoOptions(0, nullptr).AccessLogFile, "");
  const char* Args[] = {"--trace", "--access-log", "/tmp/a.log"};
  const TDemoOptions O = ParseDemoOptions(3, Args);
  EXPECT_TRUE(O.Trace);
  EXPECT_EQ(O.AccessLogFile, "/tmp/a.log");
  for (const auto& Bad :
       std::vector<std::vector<const char*>>{{"--access-log"}, {"--access-log", ""}}) {
    try {
      ParseDemoOptions(static_cast<int>(Bad.size()), Bad.data());
      ADD_FAILURE() << "accepted";
    } catch (const rtl::Exception& E) {
      EXPECT_TRUE(E.Message().starts_with("--access-log needs a")) << E.Message();
    }
  }
}

// ---- start-up ----------------------------------------------------------------------------------

TEST(DemoOptionsTest, ParsesTheCommandLineAndRefusesWhatItCannotUse) {
  const char* Good[] = {"--port", "0", "--bind", "0.0.0.0", "--live", "--form", "f.json"};
  const TDemoOptions O = ParseDemoOptions(7, Good);
  EXPECT_EQ(O.Port, 0);
  EXPECT_EQ(O.BindAddress, "0.0.0.0");
  EXPECT_TRUE(O.Live);
  EXPECT_EQ(O.FormFile, "f.json");
  EXPECT_EQ(ParseDemoOptions(0, nullptr).Port, 8080);

  const std::vector<std::pair<std::vector<const char*>, std::string>> Bad = {
      {{"--port", "65536"}, "--port needs a number from 0 to 65535, not \"65536\""},
      {{"--port", "80x"}, "--port needs a number from 0 to 65535, not \"80x\""},
      {{"--port"}, "--port needs a value"},
      {{"--live"}, "--live needs --form FILE"},
      {{"--verbose"}, "unknown argument \"--verbose\""},
  };
  for (const auto& [Args, Message] : Bad) {
    try {
      ParseDemoOptions(static_cast<int>(Args.size()), Args.data());
      ADD_FAILURE() << Message;
    } catch (const rtl::Exception& E) {
      EXPECT_TRUE(E.Message().starts_with(Message)) << E.Message();
    }
  }
}

TEST(DemoOptionsTest, DeploymentOptionsBehindALoadBalancer) {
  const TDemoOptions Defaults = ParseDemoOptions(0, nullptr);
  EXPECT_EQ(Defaults.DrainTimeoutSeconds, -1);
  EXPECT_EQ(Defaults.MaxNewSessionsPerMinute, -1);
  EXPECT_EQ(Defaults.PublicBaseURL, "");
  const char* Good[] = {
      "--drain-timeout",     "0", "--max-new-sessions-per-minute", "0", "--public-base-url",
      "https://shop.example"};
  const TDemoOptions O = ParseDemoOptions(6, Good);
  EXPECT_EQ(O.DrainTimeoutSeconds, 0);
  EXPECT_EQ(O.MaxNewSessionsPerMinute, 0);
  EXPECT_EQ(O.PublicBaseURL, "https://shop.example");
  const char* Most[] = {"--drain-timeout", "3600",  "--max-new-sessions-per-minute", "600",
                        "--max-sessions",  "200000"};
  const TDemoOptions M = ParseDemoOptions(6, Most);
  EXPECT_EQ(M.DrainTimeoutSeconds, 3600);
  EXPECT_EQ(M.MaxNewSessionsPerMinute, 600);
  EXPECT_EQ(M.MaxSessions, 200000);
  EXPECT_EQ(Defaults.MaxSessions, 0);

  const std::vector<std::pair<std::vector<const char*>, std::string>> Bad = {
      {{"--drain-timeout", "3601"}, "--drain-timeout needs a number from 0 to 3600, not \"3601\""},
      {{"--drain-timeout", "-1"}, "--drain-timeout needs a number from 0 to 3600, not \"-1\""},
      {{"--drain-timeout", "5s"}, "--drain-timeout needs a number from 0 to 3600, not \"5s\""},
      {{"--max-new-sessions-per-minute", "x"},
       "--max-new-sessions-per-minute needs a number from 0 to 1000000, not \"x\""},
      {{"--max-new-sessions-per-minute", "-1"},
       "--max-new-sessions-per-minute needs a number from 0 to 1000000, not \"-1\""},
      {{"--max-new-sessions-per-minute", ""},
       "--max-new-sessions-per-minute needs a number from 0 to 1000000, not \"\""},
      {{"--max-sessions", "0"}, "--max-sessions needs a number from 1 to 10000000, not \"0\""},
      {{"--max-sessions", "10000001"},
       "--max-sessions needs a number from 1 to 10000000, not \"10000001\""},
      {{"--max-sessions", "1k"}, "--max-sessions needs a number from 1 to 10000000, not \"1k\""},
      {{"--public-base-url", ""}, "--public-base-url needs an address"},
      {{"--public-base-url"}, "--public-base-url needs a value"},
  };
  for (const auto& [Args, Message] : Bad) {
    try {
      ParseDemoOptions(static_cast<int>(Args.size()), Args.data());
      ADD_FAILURE() << Message;
    } catch (const rtl::Exception& E) {
      EXPECT_EQ(E.Message(), Message);
    }
  }
}

TEST(DemoOptionsTest, KeepAliveTimeoutInSecondsWithinItsRange) {
  EXPECT_EQ(ParseDemoOptions(0, nullptr).KeepAliveSeconds, 0);
  const char* One[] = {"--keep-alive-timeout", "1"};
  EXPECT_EQ(ParseDemoOptions(2, One).KeepAliveSeconds, 1);
  const char* Most[] = {"--port", "0", "--keep-alive-timeout", "3600"};
  const TDemoOptions O = ParseDemoOptions(4, Most);
  EXPECT_EQ(O.KeepAliveSeconds, 3600);
  EXPECT_EQ(O.Port, 0);
  for (const char* Bad : {"0", "3601", "-5", "12s", ""}) {
    const char* Args[] = {"--keep-alive-timeout", Bad};
    try {
      ParseDemoOptions(2, Args);
      ADD_FAILURE() << "accepted \"" << Bad << "\"";
    } catch (const rtl::Exception& E) {
      EXPECT_EQ(
          E.Message(),
          std::string("--keep-alive-timeout needs a number of seconds from 1 to 3600, not \"") +
              Bad + "\"");
    }
  }
}

TEST(DemoOptionsTest, MaxConnectionsPerAddressWithinItsRange) {
  EXPECT_EQ(ParseDemoOptions(0, nullptr).MaxConnectionsPerAddress, 0);
  const char* Many[] = {"--max-connections-per-address", "20000", "--keep-alive-timeout", "9"};
  const TDemoOptions O = ParseDemoOptions(4, Many);
  EXPECT_EQ(O.MaxConnectionsPerAddress, 20000);
  EXPECT_EQ(O.KeepAliveSeconds, 9);
  for (const char* Bad : {"0", "20001", "1e3", ""}) {
    const char* Args[] = {"--max-connections-per-address", Bad};
    try {
      ParseDemoOptions(2, Args);
      ADD_FAILURE() << "accepted \"" << Bad << "\"";
    } catch (const rtl::Exception& E) {
      EXPECT_EQ(
          E.Message(),
          std::string("--max-connections-per-address needs a number from 1 to 20000, not \"") +
              Bad + "\"");
    }
  }
}

TEST(DemoFormTest, AFormFileWithoutTheDemosComponentsIsRefusedByName) {
  IWZelkAuthReg::RegisterClasses();
  const std::vector<std::pair<std::string, std::string>> Cases = {
      {R"({"components": []})", "f.json: the demo needs a TZIWGAuthClient named \"Google\""},
      {R"({"components": [{"class": "TZIWPayPalClient", "name": "Google", "properties": {}}]})",
       "f.json: \"Google\" must be a TZIWGAuthClient, not a TZIWPayPalClient"},
      {R"({"components": [)", "f.json:1:17: invalid JSON"},
  };
  for (const auto& [Text, Message] : Cases) {
    rtl::TComponent Root(nullptr);
    try {
      LoadDemoComponents(&Root, Text, "f.json");
      ADD_FAILURE() << Message;
    } catch (const rtl::EFormError& E) {
      EXPECT_TRUE(E.Message().starts_with(Message)) << E.Message();
    }
  }
}

TEST(DemoFormTest, TheShippedFormHoldsNoCredentialsSoLiveUseNamesWhatIsMissing) {
  TDemoOptions O;
  O.Live = true;
  O.FormFile = ZELK_DEMO_FORM;
  O.Port = 0;
  const TDemoApplication Live(O, "");
  EXPECT_EQ(Live.Simulator(), nullptr);
  EXPECT_EQ(
      Live.Unconfigured(),
      (std::vector<std::string>{"Google (App.ID, App.Secret)", "Facebook (App.ID, App.Secret)",
                                "Windows Live (App.ID, App.Secret)", "Twitter (App.ID, App.Secret)",
                                "PayPal (Seller.UserName, Seller.Password, Seller.Signature)"}));

  O.FormFile = "/nonexistent/form.json";
  try {
    const TDemoApplication Missing(O, "");
    ADD_FAILURE();
  } catch (const rtl::Exception& E) {
    EXPECT_EQ(E.Message(), "Cannot read the form file \"/nonexistent/form.json\"");
  }
}

}  // namespace
}  // namespace zelk::demo
