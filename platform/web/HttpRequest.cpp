#include "platform/web/HttpRequest.h"

#include "platform/rtl/PercentDecode.h"

namespace zelk::web {

namespace {

std::string_view Trim(std::string_view S) {
  while (!S.empty() && (S.front() == ' ' || S.front() == '\t'))
    S.remove_prefix(1);
  while (!S.empty() && (S.back() == ' ' || S.back() == '\t'))
    S.remove_suffix(1);
  return S;
}

}  // namespace

std::string DecodeQueryComponent(std::string_view S) {
  return rtl::PercentDecode(S, rtl::TPlus::Blank);
}

THttpRequest THttpRequest::FromTarget(std::string_view Target, std::string Method) {
  THttpRequest R;
  R.FMethod = std::move(Method);
  // A fragment never reaches a server; drop one if a caller passes it.
  if (const auto Hash = Target.find('#'); Hash != std::string_view::npos)
    Target = Target.substr(0, Hash);
  const auto Q = Target.find('?');
  R.FPath = std::string(Target.substr(0, Q));
  if (R.FPath.empty()) R.FPath.push_back('/');
  if (Q == std::string_view::npos) return R;
  R.FQueryString = std::string(Target.substr(Q + 1));
  ParseFormFields(R.FQueryString, R.FQueryFields);
  return R;
}

void ParseFormFields(std::string_view Text, rtl::TStringList& Fields) {
  while (!Text.empty()) {
    const auto Amp = Text.find('&');
    const std::string_view Piece = Text.substr(0, Amp);
    Text = Amp == std::string_view::npos ? std::string_view() : Text.substr(Amp + 1);
    if (Piece.empty()) continue;
    const auto Eq = Piece.find('=');
    std::string Entry = DecodeQueryComponent(Piece.substr(0, Eq));
    Entry += '=';
    if (Eq != std::string_view::npos) Entry += DecodeQueryComponent(Piece.substr(Eq + 1));
    Fields.Add(std::move(Entry));
  }
}

void THttpRequest::AddHeader(std::string Name, std::string Value) {
  FHeaders.emplace_back(std::move(Name), std::move(Value));
}

std::string THttpRequest::Header(std::string_view Name) const {
  for (const auto& [N, V] : FHeaders)
    if (rtl::SameText(N, Name)) return V;
  return {};
}

std::vector<std::string> THttpRequest::Cookies(std::string_view Name) const {
  std::vector<std::string> Values;
  for (const auto& [N, V] : FHeaders) {
    if (!rtl::SameText(N, "Cookie")) continue;
    std::string_view Rest = V;
    while (!Rest.empty()) {
      const auto Semi = Rest.find(';');
      std::string_view Pair = Trim(Rest.substr(0, Semi));
      Rest = Semi == std::string_view::npos ? std::string_view() : Rest.substr(Semi + 1);
      const auto Eq = Pair.find('=');
      if (Eq == std::string_view::npos || Trim(Pair.substr(0, Eq)) != Name) continue;
      std::string_view Value = Trim(Pair.substr(Eq + 1));
      if (Value.size() >= 2 && Value.front() == '"' && Value.back() == '"')
        Value = Value.substr(1, Value.size() - 2);
      Values.emplace_back(Value);
    }
  }
  return Values;
}

std::string THttpRequest::Cookie(std::string_view Name) const {
  auto Values = Cookies(Name);
  return Values.empty() ? std::string() : std::move(Values.front());
}

void THttpRequest::SetBody(std::string Body, std::string_view ContentType) {
  FBody = std::move(Body);
  FContentFields.Clear();
  // The media type may carry parameters ("; charset=UTF-8"); its name ignores letter case.
  const std::string_view Type = Trim(ContentType.substr(0, ContentType.find(';')));
  if (rtl::SameText(Type, "application/x-www-form-urlencoded"))
    ParseFormFields(FBody, FContentFields);
}

TFlowName FlowNameOf(const THttpRequest& Request) {
  if (Request.RoutedFlow()) return Request.RoutedFlow()->Name;
  using TBy = TFlowName::TBy;
  for (const auto& [Field, By] :
       {std::pair{"state", TBy::State}, std::pair{"clientid", TBy::ClientID},
        std::pair{"oauth_token", TBy::RequestToken}, std::pair{"denied", TBy::Denied}})
    if (std::string Key = Request.Query(Field); !Key.empty()) return {By, std::move(Key)};
  return {};
}

}  // namespace zelk::web
