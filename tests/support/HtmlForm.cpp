#include "support/HtmlForm.h"

#include <gtest/gtest.h>

#include <regex>

namespace zelk::testing {

namespace {

std::string DecodeEntities(std::string S) {
  const std::pair<const char*, const char*> Entities[] = {
      {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&#39;", "'"}, {"&amp;", "&"}};
  for (const auto& [From, To] : Entities)
    for (auto P = S.find(From); P != std::string::npos; P = S.find(From, P + 1))
      S.replace(P, std::string(From).size(), To);
  return S;
}

// The value of attribute Name in the text of one tag, or empty.
std::string Attribute(const std::string& Tag, const std::string& Name) {
  const std::regex Re("\\s" + Name + "\\s*=\\s*\"([^\"]*)\"", std::regex::icase);
  std::smatch M;
  return std::regex_search(Tag, M, Re) ? DecodeEntities(M[1].str()) : std::string();
}

}  // namespace

std::vector<std::pair<std::string, std::string>> THtmlForm::Press(const std::string& Label) const {
  auto Fields = Hidden;
  for (const auto& B : Buttons)
    if (B.Label == Label) {
      if (!B.Name.empty()) Fields.emplace_back(B.Name, B.Value);
      return Fields;
    }
  ADD_FAILURE() << "the form has no button labelled \"" << Label << "\"";
  return Fields;
}

THtmlForm ReadHtmlForm(const std::string& Html) {
  THtmlForm F;
  std::smatch M;
  if (!std::regex_search(Html, M,
                         std::regex("<form\\b([^>]*)>([\\s\\S]*?)</form>", std::regex::icase))) {
    ADD_FAILURE() << "the page has no form:\n" << Html;
    return F;
  }
  const std::string Open = " " + M[1].str();
  const std::string Inner = M[2].str();
  F.Method = Attribute(Open, "method");
  for (auto& C : F.Method)
    C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
  if (F.Method.empty()) F.Method = "get";
  F.Action = Attribute(Open, "action");

  const std::regex Input("<input\\b([^>]*)>", std::regex::icase);
  for (auto It = std::sregex_iterator(Inner.begin(), Inner.end(), Input);
       It != std::sregex_iterator(); ++It) {
    const std::string Tag = " " + (*It)[1].str();
    if (Attribute(Tag, "type") == "hidden")
      F.Hidden.emplace_back(Attribute(Tag, "name"), Attribute(Tag, "value"));
  }
  const std::regex Button("<button\\b([^>]*)>([\\s\\S]*?)</button>", std::regex::icase);
  for (auto It = std::sregex_iterator(Inner.begin(), Inner.end(), Button);
       It != std::sregex_iterator(); ++It) {
    const std::string Tag = " " + (*It)[1].str();
    F.Buttons.push_back(
        {Attribute(Tag, "name"), Attribute(Tag, "value"), DecodeEntities((*It)[2].str())});
  }
  return F;
}

std::string ResolveURL(const std::string& PageURL, const std::string& Link) {
  if (Link.find("://") != std::string::npos) return Link;
  const auto Scheme = PageURL.find("://");
  const auto PathStart = PageURL.find('/', Scheme == std::string::npos ? 0 : Scheme + 3);
  return PageURL.substr(0, PathStart) + Link;
}

std::string TargetOf(const std::string& URL) {
  const auto Scheme = URL.find("://");
  const auto PathStart = URL.find_first_of("/?", Scheme == std::string::npos ? 0 : Scheme + 3);
  std::string Target = PathStart == std::string::npos ? "/" : URL.substr(PathStart);
  if (Target.front() == '?') Target.insert(0, "/");
  return Target.substr(0, Target.find('#'));
}

}  // namespace zelk::testing
