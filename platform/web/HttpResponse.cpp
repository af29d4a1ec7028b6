#include "platform/web/HttpResponse.h"

#include <algorithm>

#include "platform/rtl/StringList.h"

namespace zelk::web {

void THttpResponse::SetContent(std::string Body, std::string ContentType) {
  FBody = std::move(Body);
  FContentType = std::move(ContentType);
}

void THttpResponse::SetHeader(std::string_view Name, std::string Value) {
  std::erase_if(FHeaders, [&](const auto& H) { return rtl::SameText(H.first, Name); });
  FHeaders.emplace_back(std::string(Name), std::move(Value));
}

void THttpResponse::AddHeader(std::string Name, std::string Value) {
  FHeaders.emplace_back(std::move(Name), std::move(Value));
}

std::string THttpResponse::Header(std::string_view Name) const {
  for (const auto& [N, V] : FHeaders)
    if (rtl::SameText(N, Name)) return V;
  return {};
}

std::string HTMLEncode(std::string_view Text) {
  std::string R;
  R.reserve(Text.size());
  for (const char C : Text) {
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

}  // namespace zelk::web
