// Reads the first form of an HTML page the way a browser would submit it: its action, its
// hidden fields and its submit buttons, so that a test can "press" a button.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace zelk::testing {

struct THtmlForm {
  std::string Method;  // lower case; "get" when the form names none
  std::string Action;  // as written in the page (entities decoded)
  std::vector<std::pair<std::string, std::string>> Hidden;
  struct TButton {
    std::string Name;
    std::string Value;
    std::string Label;
  };
  std::vector<TButton> Buttons;

  // The fields a browser sends when the button labelled Label is pressed: the hidden fields,
  // then the button's name and value. Fails the test when there is no such button.
  std::vector<std::pair<std::string, std::string>> Press(const std::string& Label) const;
};

// The first <form> of Html; fails the test (and returns an empty form) when there is none.
THtmlForm ReadHtmlForm(const std::string& Html);

// "https://host:port/path?query" with a path that is absolute ("/...") resolved against the
// scheme and authority of PageURL.
std::string ResolveURL(const std::string& PageURL, const std::string& Link);

// The request target ("/path?query") of an absolute URL, without any fragment.
std::string TargetOf(const std::string& URL);

}  // namespace zelk::testing
