// THttpResponse: what a page handler answers: a status, a content type, a body and extra
// header lines. The server adds the session cookie and turns a pending GoToURL into a
// redirect; a handler only fills in its page.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelk::web {

class THttpResponse {
 public:
  THttpResponse() = default;

  int StatusCode() const { return FStatusCode; }
  void SetStatusCode(int Value) { FStatusCode = Value; }
  const std::string& ContentType() const { return FContentType; }
  void SetContentType(std::string Value) { FContentType = std::move(Value); }
  const std::string& Body() const { return FBody; }
  void SetBody(std::string Value) { FBody = std::move(Value); }
  // Sets the body and its type in one step, e.g. SetContent(Page, "text/html; charset=utf-8").
  void SetContent(std::string Body, std::string ContentType);

  // Header lines besides Content-Type and Content-Length. SetHeader replaces every earlier line
  // of that name (letter case ignored), AddHeader appends one more.
  void SetHeader(std::string_view Name, std::string Value);
  void AddHeader(std::string Name, std::string Value);
  // The first header named Name (letter case ignored), or empty.
  std::string Header(std::string_view Name) const;
  const std::vector<std::pair<std::string, std::string>>& Headers() const { return FHeaders; }

 private:
  int FStatusCode = 200;
  std::string FContentType = "text/html; charset=utf-8";
  std::string FBody;
  std::vector<std::pair<std::string, std::string>> FHeaders;
};

// Escapes text for HTML element content and quoted attribute values: & < > " ' become
// entities; everything else passes byte for byte.
std::string HTMLEncode(std::string_view Text);

}  // namespace zelk::web
