#include "examples/demo/DemoPage.h"

#include "platform/web/HttpResponse.h"
#include "platform/web/IWApplication.h"

namespace zelk::demo {

const char* const kDemoContentSecurityPolicy =
    "default-src 'none'; style-src 'unsafe-inline'; img-src 'self' https:; base-uri 'none'; "
    "frame-ancestors 'none'";

namespace {

using web::HTMLEncode;

constexpr const char* kStyle =
    "body{font-family:system-ui,sans-serif;max-width:52rem;margin:2rem auto;padding:0 1rem;"
    "color:#222}"
    "section{border:1px solid #ccc;border-radius:6px;padding:0 1rem 1rem;margin:1rem 0}"
    ".ok{color:#0a6b2d}.failed{color:#b00020}.unknown{color:#8a4b00;font-weight:bold}"
    ".note{background:#fff6d5;padding:.5rem}"
    "dl{display:grid;grid-template-columns:max-content auto;gap:.2rem 1rem}dd{margin:0}"
    "table{border-collapse:collapse}td,th{padding:.2rem .6rem;text-align:left}"
    "label{display:inline-block;margin:.2rem 1rem .2rem 0}";

// The hidden field that proves a form came from the session's own page.
std::string TokenField(const TDemoPageModel& M) {
  return std::string("<input type=\"hidden\" name=\"") + web::TIWApplication::FormTokenField +
         "\" value=\"" + HTMLEncode(M.FormToken) + "\">";
}

void Outcome(std::string& H, TDemoFlow Flow, const TDemoOutcome& O) {
  H += "<p id=\"" + FlowId(Flow) + "-outcome\" class=\"outcome";
  if (O.Text.empty()) {
    H += "\">Not tried yet.</p>\n";
  } else {
    const char* Class = O.Unknown ? " unknown" : O.Failed ? " failed" : " ok";
    H += std::string(Class) + "\">" + HTMLEncode(O.Text) + "</p>\n";
  }
}

void Button(std::string& H, const TDemoPageModel& M, const std::string& Action,
            const std::string& Label) {
  H += "<form method=\"post\" action=\"" + Action + "\">" + TokenField(M) +
       "<button type=\"submit\">" + Label + "</button></form>\n";
}

void SignInSection(std::string& H, const TDemoPageModel& M, TDemoFlow Flow,
                   const std::string& Action) {
  const auto& User = M.Users[static_cast<int>(Flow)];
  H += "<section id=\"" + FlowId(Flow) + "\">\n<h2>" + FlowTitle(Flow) + "</h2>\n";
  Outcome(H, Flow, M.Outcomes[static_cast<int>(Flow)]);
  if (!User.empty()) {
    H += "<dl id=\"" + FlowId(Flow) + "-user\">\n";
    for (const auto& [Label, Value] : User)
      H += "<dt>" + HTMLEncode(Label) + "</dt><dd>" + HTMLEncode(Value) + "</dd>\n";
    H += "</dl>\n";
  }
  Button(H, M, Action, FlowTitle(Flow));
  H += "</section>\n";
}

void PostSection(std::string& H, const TDemoPageModel& M, TDemoFlow Flow, const std::string& Action,
                 bool CanPost, const std::string& Provider) {
  H += "<section id=\"" + FlowId(Flow) + "\">\n<h2>" + FlowTitle(Flow) + "</h2>\n";
  Outcome(H, Flow, M.Outcomes[static_cast<int>(Flow)]);
  if (Flow == dfFacebookPost && M.FacebookPostUnavailable)
    H += "<p id=\"facebook-post-unavailable\" class=\"note\">Posting is unavailable here: the "
         "Facebook client speaks Facebook's current API (Api = apCurrent), and since August 2018 "
         "Facebook offers no API for posting to a user's own timeline. The button shows what the "
         "client reports; nothing is sent. Start the demo with --form demo-form-classic.json to "
         "post through the classic API against the simulator.</p>\n";
  if (!CanPost) H += "<p>Sign in with " + Provider + " first.</p>\n";
  H += "<form method=\"post\" action=\"" + Action + "\">" + TokenField(M) +
       "<label>Status <input name=\"status\" size=\"50\" value=\"Hello from the zelk "
       "demo\"></label><button type=\"submit\">Post to " +
       Provider + "</button></form>\n</section>\n";
}

void Option(std::string& H, const std::string& Value, const std::string& Selected) {
  H += "<option" + std::string(Value == Selected ? " selected" : "") + ">" + Value + "</option>";
}

}  // namespace

std::string FlowId(TDemoFlow Flow) {
  switch (Flow) {
    case dfGoogle:
      return "google";
    case dfFacebook:
      return "facebook";
    case dfWindowsLive:
      return "windowslive";
    case dfTwitter:
      return "twitter";
    case dfFacebookPost:
      return "facebook-post";
    case dfTwitterPost:
      return "twitter-post";
    case dfCard:
      return "card";
    case dfCheckout:
      return "checkout";
  }
  return "unknown";
}

std::string FlowTitle(TDemoFlow Flow) {
  switch (Flow) {
    case dfGoogle:
      return "Sign in with Google";
    case dfFacebook:
      return "Sign in with Facebook";
    case dfWindowsLive:
      return "Sign in with Windows Live";
    case dfTwitter:
      return "Sign in with Twitter";
    case dfFacebookPost:
      return "Post a status to Facebook";
    case dfTwitterPost:
      return "Post a status to Twitter";
    case dfCard:
      return "Pay by card";
    case dfCheckout:
      return "Pay with PayPal";
  }
  return "";
}

std::string RenderDemoPage(const TDemoPageModel& M) {
  std::string H =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<title>zelk demo</title>\n<style>" +
      std::string(kStyle) + "</style>\n</head>\n<body>\n<h1>zelk demo</h1>\n";
  if (M.Live) {
    H += "<p id=\"mode\">Talking to the real providers.</p>\n";
  } else {
    H += "<p id=\"mode\">Talking to the built-in provider simulator: every flow works offline. "
         "Its pages are served over HTTPS with a certificate it made at start-up, so the "
         "browser warns once for each provider; accept the certificate to go on.</p>\n";
  }
  if (!M.Notice.empty()) H += "<p id=\"notice\" class=\"note\">" + HTMLEncode(M.Notice) + "</p>\n";
  H += "<section id=\"signout\">\n<p>Signing out ends this browser session: every provider's "
       "user and token and every sign-in or payment in progress are forgotten.</p>\n";
  Button(H, M, "/signout", "Sign out");
  H += "</section>\n";

  SignInSection(H, M, dfGoogle, "/google/login");
  SignInSection(H, M, dfFacebook, "/facebook/login");
  SignInSection(H, M, dfWindowsLive, "/windowslive/login");
  SignInSection(H, M, dfTwitter, "/twitter/login");
  PostSection(H, M, dfFacebookPost, "/facebook/post", M.CanPostToFacebook, "Facebook");
  PostSection(H, M, dfTwitterPost, "/twitter/post", M.CanPostToTwitter, "Twitter");

  const std::string Currency = HTMLEncode(M.Currency);
  H += "<section id=\"cart\">\n<h2>The cart</h2>\n<table>\n"
       "<tr><th>Item</th><th>Quantity</th><th>Price</th></tr>\n";
  for (const auto& L : M.Cart)
    H += "<tr><td>" + HTMLEncode(L.Name) + " <small>" + HTMLEncode(L.Description) +
         "</small></td><td>" + std::to_string(L.Quantity) + "</td><td>" + HTMLEncode(L.Price) +
         " " + Currency + "</td></tr>\n";
  H += "<tr><td>Items</td><td></td><td id=\"item-total\">" + HTMLEncode(M.ItemTotal) + " " +
       Currency + "</td></tr>\n<tr><td>Shipping</td><td></td><td>" + HTMLEncode(M.Shipping) + " " +
       Currency + "</td></tr>\n<tr><td>Tax</td><td></td><td>" + HTMLEncode(M.Tax) + " " + Currency +
       "</td></tr>\n<tr><th>Total</th><td></td><th id=\"order-total\">" + HTMLEncode(M.OrderTotal) +
       " " + Currency + "</th></tr>\n</table>\n</section>\n";

  H += "<section id=\"card\">\n<h2>" + FlowTitle(dfCard) + "</h2>\n";
  Outcome(H, dfCard, M.Outcomes[static_cast<int>(dfCard)]);
  H += "<p>Charges the cart's items (" + HTMLEncode(M.ItemTotal) + " " + Currency +
       ") to a card in one call to PayPal.</p>\n<form method=\"post\" action=\"/card/pay\">" +
       TokenField(M) + "<input type=\"hidden\" name=\"" + kCardTokenField + "\" value=\"" +
       HTMLEncode(M.CardToken) +
       "\"><label>Card number <input name=\"number\" autocomplete=\"off\"";
  // The number and CVV a user typed are never sent back to the browser.
  if (M.Card.Sent)
    H += " value=\"\" placeholder=\"card ending in " + HTMLEncode(M.Card.LastFour) + "\"";
  else
    H += " value=\"4111 1111 1111 1111\"";
  H += "></label><label>Type <select name=\"type\">";
  for (const char* T : {"Visa", "MasterCard", "Discover", "Amex"})
    Option(H, T, M.Card.Type);
  H += "</select></label><label>Expires (MM/YYYY) <input name=\"expiry\" size=\"8\" value=\"" +
       HTMLEncode(M.Card.Expiry) +
       "\"></label><label>CVV <input name=\"cvv\" size=\"4\" autocomplete=\"off\" value=\"" +
       std::string(M.Card.Sent ? "" : "123") +
       "\"></label><button type=\"submit\">Pay by card</button></form>\n"
       "</section>\n";

  H += "<section id=\"checkout\">\n<h2>" + FlowTitle(dfCheckout) + "</h2>\n";
  Outcome(H, dfCheckout, M.Outcomes[static_cast<int>(dfCheckout)]);
  H += "<p>Express Checkout of the whole cart (" + HTMLEncode(M.OrderTotal) + " " + Currency +
       " with shipping and tax): you approve or cancel the payment on PayPal's page.</p>\n";
  Button(H, M, "/paypal/checkout", "Pay with PayPal");
  H += "</section>\n</body>\n</html>\n";
  return H;
}

std::string RenderStatusPage(
    const std::map<std::string, IWZelkAuthBase::TProviderCounters>& Counters) {
  using IWZelkAuthBase::kLatencyBucketBoundsMs;
  std::string H =
      "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>zelk demo status"
      "</title><style>";
  H += kStyle;
  H += "</style></head><body>\n<h1>Status</h1>\n";
  if (Counters.empty()) {
    H += "<p id=\"no-flows\">No flow has started and no provider has been called yet.</p>\n";
  } else {
    H += "<table id=\"counters\"><tr><th>Provider</th><th>Started</th><th>Succeeded</th>"
         "<th>Failed</th><th>Denied</th><th>Unknown</th><th>Transport errors</th><th>Calls</th>";
    for (const long Bound : kLatencyBucketBoundsMs)
      H += "<th>&le; " + std::to_string(Bound) + " ms</th>";
    H += "<th>&gt; " + std::to_string(kLatencyBucketBoundsMs.back()) + " ms</th></tr>\n";
    for (const auto& [Provider, C] : Counters) {
      H += "<tr><td>" + HTMLEncode(Provider) + "</td>";
      for (const std::uint64_t N : {C.FlowsStarted, C.FlowsSucceeded, C.FlowsFailed, C.FlowsDenied,
                                    C.FlowsUnknown, C.TransportErrors, C.Calls})
        H += "<td>" + std::to_string(N) + "</td>";
      for (const std::uint64_t N : C.LatencyBuckets)
        H += "<td>" + std::to_string(N) + "</td>";
      H += "</tr>\n";
    }
    H += "</table>\n";
  }
  H += "<p><a href=\"/\">Back to the demo</a></p>\n</body></html>\n";
  return H;
}

}  // namespace zelk::demo
