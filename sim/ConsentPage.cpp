#include "sim/ConsentPage.h"

namespace zelk::sim {

std::string HtmlEscape(std::string_view Text) {
  std::string R;
  R.reserve(Text.size());
  for (char C : Text) {
    switch (C) {
      case '&':
        R += "&amp;";
        break;
      case '<':
        R += "&lt;";
        break;
      case '>':
        R += "&gt;";
        break;
      case '"':
        R += "&quot;";
        break;
      case '\'':
        R += "&#39;";
        break;
      default:
        R += C;
    }
  }
  return R;
}

std::string RenderConsentPage(const TConsentPage& Page) {
  std::string H = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" +
                  HtmlEscape(Page.Provider) + " - Request for permission</title></head>\n<body>\n";
  H += "<p id=\"user\">Signed in as " + HtmlEscape(Page.UserName) + "</p>\n";
  H += "<p>The application <strong id=\"client\">" + HtmlEscape(Page.ClientId) +
       "</strong> would like to:</p>\n<ul id=\"scopes\">\n";
  for (const auto& [Scope, Description] : Page.Scopes)
    H += "  <li data-scope=\"" + HtmlEscape(Scope) + "\">" + HtmlEscape(Description) + "</li>\n";
  H += "</ul>\n<form method=\"post\" action=\"" + HtmlEscape(Page.Action) + "\">\n";
  H += "  <input type=\"hidden\" name=\"consent\" value=\"" + HtmlEscape(Page.Ticket) + "\">\n";
  if (Page.Accounts.size() > 1) {
    H += "  <label>Continue as <select name=\"user_id\">";
    for (std::size_t I = 0; I < Page.Accounts.size(); ++I)
      H += "<option value=\"" + HtmlEscape(Page.Accounts[I].first) + "\"" +
           (I == 0 ? " selected" : "") + ">" + HtmlEscape(Page.Accounts[I].second) + "</option>";
    H += "</select></label>\n";
  }
  H += "  <button type=\"submit\" name=\"decision\" value=\"allow\">Allow</button>\n";
  H += "  <button type=\"submit\" name=\"decision\" value=\"deny\">Deny</button>\n";
  H += "</form>\n</body></html>\n";
  return H;
}

std::string RenderErrorPage(std::string_view Provider, std::string_view Error,
                            std::string_view Description) {
  return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + HtmlEscape(Provider) +
         " - Error</title></head>\n<body>\n<h1 id=\"error\">" + HtmlEscape(Error) +
         "</h1>\n<p id=\"description\">" + HtmlEscape(Description) + "</p>\n</body></html>\n";
}

}  // namespace zelk::sim
