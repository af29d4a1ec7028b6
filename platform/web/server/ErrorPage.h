// The page the server answers a refused or failed request with. Whatever the message echoes of
// the request is HTML-escaped here, so no request can inject markup into the page.
#pragma once

#include <string>
#include <string_view>

#include "platform/web/HttpResponse.h"

namespace zelk::web {

// The reason phrase of a status code ("Not Found"), or "Error" for one not listed.
std::string_view StatusText(int Status);

// A small HTML page with the status as its title, Message as its text and, when StartLink is
// not empty, a link to it to start again. Never cached by the browser.
THttpResponse ErrorPage(int Status, std::string_view Message, std::string_view StartLink = {});

}  // namespace zelk::web
