// THttpRequest: an incoming request as the components see it: its method, path and query
// parameters as a name=value list (already percent-decoded), its headers and cookies, the
// fields of a form-encoded body and the address it came from.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/rtl/StringList.h"
#include "platform/web/FlowName.h"

namespace zelk::web {

class THttpRequest {
 public:
  THttpRequest() = default;
  // Builds a request from a raw request target such as "/app/?state=A%20B&code=x".
  static THttpRequest FromTarget(std::string_view Target, std::string Method = "GET");

  const std::string& Method() const { return FMethod; }
  // The path as the browser sent it (not decoded).
  const std::string& Path() const { return FPath; }
  const std::string& QueryString() const { return FQueryString; }
  // Query parameters as "name=value" entries in their order; names and values decoded ("+" is
  // a blank, "%XX" a byte; a "%" not followed by two hexadecimal digits stays as it is).
  const rtl::TStringList& QueryFields() const { return FQueryFields; }
  rtl::TStringList& QueryFields() { return FQueryFields; }
  // The value of the first parameter named Name (letter case ignored), or empty.
  std::string Query(std::string_view Name) const { return FQueryFields.Values(Name); }

  // The path inside the application: what follows the application's path (and the session's
  // segment when sessions are tracked in the URL), always starting with "/". The server fills
  // it in; a request built by FromTarget has its whole path here.
  const std::string& PathInfo() const { return FPathInfo.empty() ? FPath : FPathInfo; }
  void SetPathInfo(std::string Value) { FPathInfo = std::move(Value); }

  void AddHeader(std::string Name, std::string Value);
  // The first header named Name (letter case ignored), or empty.
  std::string Header(std::string_view Name) const;
  const std::vector<std::pair<std::string, std::string>>& Headers() const { return FHeaders; }

  // Cookies from every "Cookie" header, in the order sent. Cookie names are case-sensitive; a
  // value in double quotes loses the quotes. Cookie gives the first value named Name or empty,
  // Cookies every value named Name (a browser may send several with one name).
  std::string Cookie(std::string_view Name) const;
  std::vector<std::string> Cookies(std::string_view Name) const;

  // The request body as received. With a ContentType of application/x-www-form-urlencoded its
  // fields also become ContentFields, decoded like the query.
  const std::string& Body() const { return FBody; }
  void SetBody(std::string Body, std::string_view ContentType);
  const rtl::TStringList& ContentFields() const { return FContentFields; }
  // The value of the first form field named Name (letter case ignored), or empty.
  std::string ContentField(std::string_view Name) const { return FContentFields.Values(Name); }

  // What the server found for the flow this request returns from, or none (no return, or a
  // request that did not come through the server).
  const std::optional<TRoutedFlow>& RoutedFlow() const { return FRoutedFlow; }
  void SetRoutedFlow(std::optional<TRoutedFlow> Value) { FRoutedFlow = std::move(Value); }

  // The peer's IP address as the server's socket saw it.
  const std::string& RemoteAddress() const { return FRemoteAddress; }
  void SetRemoteAddress(std::string Value) { FRemoteAddress = std::move(Value); }

 private:
  std::string FMethod = "GET";
  std::string FPath = "/";
  std::string FPathInfo;
  std::string FQueryString;
  rtl::TStringList FQueryFields;
  std::vector<std::pair<std::string, std::string>> FHeaders;
  std::string FBody;
  rtl::TStringList FContentFields;
  std::string FRemoteAddress;
  std::optional<TRoutedFlow> FRoutedFlow;
};

// Decodes a query-string component: "+" to a blank, "%XX" to its byte; malformed escapes stay.
std::string DecodeQueryComponent(std::string_view S);

// Appends the "name=value" pairs of a query string or form body ("a=1&b=2") to Fields, each
// name and value decoded by DecodeQueryComponent; empty pieces are skipped and a piece without
// "=" gives an empty value.
void ParseFormFields(std::string_view Text, rtl::TStringList& Fields);

}  // namespace zelk::web
