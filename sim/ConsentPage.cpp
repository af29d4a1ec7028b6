#include "sim/ConsentPage.h"
#include "platform/web/HttpResponse.h"

namespace zelk::sim {

std::string RenderConsentPage(const TConsentPage& Page) {
  std::string H = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" +
                  web::HTMLEncode(Page.Provider) +
                  " - Request for permission</title></head>\n<body>\n";
  H += "<p id=\"user\">Signed in as " + web::HTMLEncode(Page.UserName) + "</p>\n";
  H += "<p>The application <strong id=\"client\">" + web::HTMLEncode(Page.ClientId) +
       "</strong> would like to:</p>\n<ul id=\"scopes\">\n";
  for (const auto& [Scope, Description] : Page.Scopes)
    H += "  <li data-scope=\"" + web::HTMLEncode(Scope) + "\">" + web::HTMLEncode(Description) +
         "</li>\n";
  H += "</ul>\n<form method=\"post\" action=\"" + web::HTMLEncode(Page.Action) + "\">\n";
  H +=
      "  <input type=\"hidden\" name=\"consent\" value=\"" + web::HTMLEncode(Page.Ticket) + "\">\n";
  if (Page.Accounts.size() > 1) {
    H += "  <label>Continue as <select name=\"user_id\">";
    for (std::size_t I = 0; I < Page.Accounts.size(); ++I)
      H += "<option value=\"" + web::HTMLEncode(Page.Accounts[I].first) + "\"" +
           (I == 0 ? " selected" : "") + ">" + web::HTMLEncode(Page.Accounts[I].second) +
           "</option>";
    H += "</select></label>\n";
  }
  H += "  <button type=\"submit\" name=\"decision\" value=\"allow\">Allow</button>\n";
  H += "  <button type=\"submit\" name=\"decision\" value=\"deny\">Deny</button>\n";
  H += "</form>\n</body></html>\n";
  return H;
}

std::string RenderErrorPage(std::string_view Provider, std::string_view Error,
                            std::string_view Description) {
  return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" +
         web::HTMLEncode(Provider) + " - Error</title></head>\n<body>\n<h1 id=\"error\">" +
         web::HTMLEncode(Error) + "</h1>\n<p id=\"description\">" + web::HTMLEncode(Description) +
         "</p>\n</body></html>\n";
}

std::string RenderCheckoutPage(std::string_view Order, std::string_view Action,
                               const std::vector<std::pair<std::string, std::string>>& Hidden) {
  std::string H =
      "<!DOCTYPE html><html><head><title>PayPal Checkout</title></head><body><h1>PayPal "
      "Checkout</h1>";
  H += Order;
  H += "<form method=\"post\" action=\"" + web::HTMLEncode(Action) + "\">";
  for (const auto& [Name, Value] : Hidden)
    H += "<input type=\"hidden\" name=\"" + web::HTMLEncode(Name) + "\" value=\"" +
         web::HTMLEncode(Value) + "\">";
  H += "<button type=\"submit\" name=\"action\" value=\"pay\" id=\"pay\">Pay</button>"
       "<button type=\"submit\" name=\"action\" value=\"cancel\" id=\"cancel\">Cancel</button>"
       "</form></body></html>";
  return H;
}

}  // namespace zelk::sim
