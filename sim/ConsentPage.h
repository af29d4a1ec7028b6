// The consent page a provider shows the browser: who is signed in, which application asks,
// what it asks for, and a form with Allow and Deny. Everything that came from the request is
// HTML-escaped, since the application id and the scopes are the requester's text.
//
// The form posts to Action with the hidden field "consent" (the ticket of the request) and the
// pressed button as "decision" = "allow" or "deny".
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelk::sim {

struct TConsentPage {
  std::string Provider;  // e.g. "Google"
  std::string UserName;
  std::string ClientId;
  // Each requested scope as requested, with a description for the user.
  std::vector<std::pair<std::string, std::string>> Scopes;
  // Id and name of each account the browser is signed in to, the first preselected; with more
  // than one the form lets the user choose ("user_id").
  std::vector<std::pair<std::string, std::string>> Accounts;
  std::string Action;  // path the form posts to
  std::string Ticket;
};

std::string RenderConsentPage(const TConsentPage& Page);
// A provider's error page for a request it will not send back to the application (unknown
// client, missing or unregistered return address).
std::string RenderErrorPage(std::string_view Provider, std::string_view Error,
                            std::string_view Description);

// PayPal's checkout page, the same for both of its APIs: Order (the order's markup, already
// escaped) and a form that posts the Hidden fields to Action, with the pressed button as
// "action" = "pay" or "cancel".
std::string RenderCheckoutPage(std::string_view Order, std::string_view Action,
                               const std::vector<std::pair<std::string, std::string>>& Hidden);

}  // namespace zelk::sim
