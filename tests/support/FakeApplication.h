// Test doubles for the web-framework side: an application object with a fixed URL that records
// the redirect, and requests built from a query text.
#pragma once

#include <memory>
#include <string>

#include "platform/web/HttpRequest.h"
#include "platform/web/IWApplication.h"

namespace zelk::testing {

// A session application with the given base URL; GoToURL is recorded in RedirectURL().
std::unique_ptr<web::TIWApplication> MakeApplication(std::string URL = "http://localhost/app",
                                                     std::string SessionID = "S1");

// A request whose query is Query (without "?"), e.g. "state=ABC&code=x".
web::THttpRequest RequestWithQuery(const std::string& Query, const std::string& Path = "/app/");

}  // namespace zelk::testing
