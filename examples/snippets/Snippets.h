// The README's code examples, compiled so that they keep matching the library. Each example is
// the text between a "// [readme:NAME]" line and the next "// [/readme]" line of a .cpp file
// here; the README holds it verbatim (a test compares them).
#pragma once

#include <string>

#include "platform/web/HttpRequest.h"
#include "platform/web/HttpResponse.h"
#include "platform/web/IWApplication.h"

namespace zelk::snippets {

// Stands for the application's own way of telling the user something.
void Show(web::TIWApplication& Session, const std::string& Text);
// Stands for the application's own page.
void ShowPage(web::TIWApplication& Session, const web::THttpRequest& Request,
              web::THttpResponse& Response);
// Switches the session's Google, Facebook and Windows Live clients to the current APIs.
void UseCurrentApis(web::TIWApplication& Session);

}  // namespace zelk::snippets
