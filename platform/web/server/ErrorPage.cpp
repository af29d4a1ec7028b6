#include "platform/web/server/ErrorPage.h"

namespace zelk::web {

std::string_view StatusText(int Status) {
  switch (Status) {
    case 303:
      return "See Other";
    case 302:
      return "Found";
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 409:
      return "Conflict";
    case 413:
      return "Payload Too Large";
    case 414:
      return "URI Too Long";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 503:
      return "Service Unavailable";
    default:
      return "Error";
  }
}

THttpResponse ErrorPage(int Status, std::string_view Message, std::string_view StartLink) {
  const std::string Title = std::to_string(Status) + " " + std::string(StatusText(Status));
  std::string Page = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + Title +
                     "</title></head>\n<body><h1>" + Title + "</h1>\n<p>" + HTMLEncode(Message) +
                     "</p>\n";
  if (!StartLink.empty())
    Page += "<p><a href=\"" + HTMLEncode(StartLink) + "\">Start again</a></p>\n";
  Page += "</body></html>\n";
  THttpResponse R;
  R.SetStatusCode(Status);
  R.SetContent(std::move(Page), "text/html; charset=utf-8");
  R.SetHeader("Cache-Control", "no-store");
  return R;
}

}  // namespace zelk::web
