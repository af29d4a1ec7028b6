// THttpRequest: an incoming request as the components see it: its path and its query
// parameters as a name=value list, already percent-decoded.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/rtl/StringList.h"

namespace zelk::web {

class THttpRequest {
 public:
  THttpRequest() = default;
  // Builds a request from a raw request target such as "/app/?state=A%20B&code=x".
  static THttpRequest FromTarget(std::string_view Target, std::string Method = "GET");

  const std::string& Method() const { return FMethod; }
  const std::string& Path() const { return FPath; }
  const std::string& QueryString() const { return FQueryString; }
  // Query parameters as "name=value" entries in their order; names and values decoded ("+" is
  // a blank, "%XX" a byte; a "%" not followed by two hexadecimal digits stays as it is).
  const rtl::TStringList& QueryFields() const { return FQueryFields; }
  rtl::TStringList& QueryFields() { return FQueryFields; }
  // The value of the first parameter named Name (letter case ignored), or empty.
  std::string Query(std::string_view Name) const { return FQueryFields.Values(Name); }

  void AddHeader(std::string Name, std::string Value);
  // The first header named Name (letter case ignored), or empty.
  std::string Header(std::string_view Name) const;
  const std::vector<std::pair<std::string, std::string>>& Headers() const { return FHeaders; }

 private:
  std::string FMethod = "GET";
  std::string FPath = "/";
  std::string FQueryString;
  rtl::TStringList FQueryFields;
  std::vector<std::pair<std::string, std::string>> FHeaders;
};

// Decodes a query-string component: "+" to a blank, "%XX" to its byte; malformed escapes stay.
std::string DecodeQueryComponent(std::string_view S);

}  // namespace zelk::web
