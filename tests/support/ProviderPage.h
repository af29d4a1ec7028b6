// Plays the person at a provider's page: opens the consent or checkout page the browser was
// sent to and presses one of its buttons ("Allow", "Deny", "Pay", "Cancel"), first choosing the
// account to continue as when one is given ("user_id", the simulator's account choice).
#pragma once

#include <string>

#include "support/SimBrowser.h"

namespace zelk::testing {

// The provider's answer to the pressed button: normally a redirect back to the application.
// Raises rtl::Exception naming the page when it is no page with a form to answer.
TBrowserResponse AnswerProviderPage(SimBrowser& Browser, const std::string& PageURL,
                                    const std::string& Button, const std::string& UserID = {});

}  // namespace zelk::testing
