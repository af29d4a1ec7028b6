#include "examples/snippets/Snippets.h"

#include <iostream>

namespace zelk::snippets {

void Show(web::TIWApplication& Session, const std::string& Text) {
  std::cout << Session.SessionID() << ": " << Text << "\n";
}

void ShowPage(web::TIWApplication&, const web::THttpRequest&, web::THttpResponse& Response) {
  Response.SetContent("<!DOCTYPE html><title>app</title>", "text/html; charset=utf-8");
}

}  // namespace zelk::snippets
