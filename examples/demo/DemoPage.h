// The demo's HTML page: a section per flow with its button(s) and its last outcome. Every text
// that came from a user, a provider or the form file is HTML-escaped.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/Trace.h"

namespace zelk::demo {

enum class TDemoFlow {
  dfGoogle,
  dfFacebook,
  dfWindowsLive,
  dfTwitter,
  dfFacebookPost,
  dfTwitterPost,
  dfCard,
  dfCheckout
};
using enum TDemoFlow;
inline constexpr int kDemoFlowCount = 8;

// The section's id in the page ("google", "facebook-post", ...) and its title.
std::string FlowId(TDemoFlow Flow);
std::string FlowTitle(TDemoFlow Flow);

// How a flow ended last; an empty Text means it has not run yet. Unknown: a payment that may or
// may not have been taken, shown as neither success nor failure.
struct TDemoOutcome {
  std::string Text;
  bool Failed = false;
  bool Unknown = false;
};

// The card form. Until a card is sent it offers a test card; afterwards only the last four
// digits of the card sent are kept, and its number and CVV are never shown again.
struct TDemoCard {
  bool Sent = false;
  std::string LastFour;
  std::string Type = "Visa";
  std::string Expiry;  // MM/YYYY
};

struct TDemoCartLine {
  std::string Name;
  std::string Description;
  int Quantity = 0;
  std::string Price;  // e.g. "12.50"
};

struct TDemoPageModel {
  bool Live = false;
  // A note above every section (e.g. a provider's return that matched no flow).
  std::string Notice;
  TDemoOutcome Outcomes[kDemoFlowCount];
  // The signed-in user of each sign-in flow, as label/value pairs; empty when not signed in.
  std::vector<std::pair<std::string, std::string>> Users[4];
  bool CanPostToFacebook = false;
  // The Facebook client speaks the current API, which offers no posting to a user's timeline.
  bool FacebookPostUnavailable = false;
  bool CanPostToTwitter = false;
  TDemoCard Card;
  // The session's form token, sent back by every form.
  std::string FormToken;
  // The card form's one-time payment token, new with each page: a payment is taken once per
  // rendered form.
  std::string CardToken;
  std::vector<TDemoCartLine> Cart;
  std::string Currency;
  // Amounts with two decimals.
  std::string ItemTotal, Shipping, Tax, OrderTotal;
};

std::string RenderDemoPage(const TDemoPageModel& Model);

// The /status page: a table row per provider with its flow counters, transport errors and
// provider-call latency buckets.
std::string RenderStatusPage(
    const std::map<std::string, IWZelkAuthBase::TProviderCounters>& Counters);

// The card form's field that carries its one-time payment token.
inline constexpr const char* kCardTokenField = "card_token";

// The demo page's Content-Security-Policy: nothing but its own inline style, no script at all,
// and no framing.
extern const char* const kDemoContentSecurityPolicy;

}  // namespace zelk::demo
