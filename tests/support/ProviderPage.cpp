#include "support/ProviderPage.h"

#include "platform/rtl/SysUtils.h"
#include "support/HtmlForm.h"

namespace zelk::testing {

TBrowserResponse AnswerProviderPage(SimBrowser& Browser, const std::string& PageURL,
                                    const std::string& Button, const std::string& UserID) {
  const TBrowserResponse Page = Browser.Get(PageURL);
  if (Page.Status != 200 || Page.Body.find("<form") == std::string::npos)
    throw rtl::Exception("The provider's page " + PageURL + " answered " +
                         std::to_string(Page.Status) +
                         " without a form: " + Page.Body.substr(0, 300));
  const THtmlForm Form = ReadHtmlForm(Page.Body);
  auto Fields = Form.Press(Button);
  if (!UserID.empty()) Fields.emplace_back("user_id", UserID);
  return Browser.PostForm(ResolveURL(PageURL, Form.Action), Fields);
}

}  // namespace zelk::testing
