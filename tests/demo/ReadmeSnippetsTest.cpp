// The README's code examples are the compiled ones of examples/snippets, unchanged: each
// "// [readme:NAME]" ... "// [/readme]" region of a snippet file (less its common
// indentation) is the code block between "<!-- snippet: NAME -->" and "<!-- /snippet -->" in
// README.md, and every example the README shows has its compiled source.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string ReadFile(const std::filesystem::path& Path) {
  std::ifstream In(Path, std::ios::binary);
  std::ostringstream Text;
  Text << In.rdbuf();
  return Text.str();
}

std::vector<std::string> Lines(const std::string& Text) {
  std::vector<std::string> Out;
  std::istringstream In(Text);
  for (std::string L; std::getline(In, L);)
    Out.push_back(L);
  return Out;
}

std::string Trimmed(const std::string& S) {
  const auto B = S.find_first_not_of(' ');
  return B == std::string::npos ? "" : S.substr(B);
}

// NAME -> the region's text, dedented, one "\n" after every line.
std::map<std::string, std::string> CompiledSnippets() {
  std::map<std::string, std::string> Found;
  for (const auto& Entry : std::filesystem::directory_iterator(
           std::filesystem::path(ZELK_SOURCE_DIR) / "examples" / "snippets")) {
    if (Entry.path().extension() != ".cpp") continue;
    std::string Name;
    std::vector<std::string> Body;
    for (const auto& L : Lines(ReadFile(Entry.path()))) {
      const std::string T = Trimmed(L);
      if (T.starts_with("// [readme:") && T.ends_with("]")) {
        Name = T.substr(11, T.size() - 12);
        Body.clear();
      } else if (T == "// [/readme]") {
        std::size_t Indent = std::string::npos;
        for (const auto& B : Body)
          if (!Trimmed(B).empty()) Indent = std::min(Indent, B.size() - Trimmed(B).size());
        std::string Text;
        for (const auto& B : Body)
          Text += (B.size() > Indent ? B.substr(Indent) : "") + "\n";
        EXPECT_TRUE(Found.emplace(Name, Text).second) << "two snippets named " << Name;
        Name.clear();
      } else if (!Name.empty()) {
        Body.push_back(L);
      }
    }
    EXPECT_TRUE(Name.empty()) << Entry.path() << ": snippet " << Name << " is not closed";
  }
  return Found;
}

// NAME -> the code block of the README's snippet NAME.
std::map<std::string, std::string> ReadmeSnippets() {
  std::map<std::string, std::string> Found;
  const std::string Readme = ReadFile(std::filesystem::path(ZELK_SOURCE_DIR) / "README.md");
  const std::string Open = "<!-- snippet: ";
  for (auto P = Readme.find(Open); P != std::string::npos; P = Readme.find(Open, P + 1)) {
    const auto NameEnd = Readme.find(" -->\n", P);
    const std::string Name = Readme.substr(P + Open.size(), NameEnd - P - Open.size());
    const auto Close = Readme.find("<!-- /snippet -->", NameEnd);
    std::string Block = Readme.substr(NameEnd + 5, Close - NameEnd - 5);
    if (!Block.starts_with("```cpp\n") || !Block.ends_with("```\n")) {
      ADD_FAILURE() << "README snippet " << Name << " is not one ```cpp block";
      continue;
    }
    Found[Name] = Block.substr(7, Block.size() - 7 - 4);
  }
  return Found;
}

TEST(ReadmeSnippets, TheReadmeShowsEveryCompiledExampleVerbatim) {
  const auto Compiled = CompiledSnippets();
  const auto Shown = ReadmeSnippets();
  EXPECT_GE(Compiled.size(), 10u);
  for (const auto& [Name, Text] : Compiled) {
    const auto It = Shown.find(Name);
    if (It == Shown.end()) {
      ADD_FAILURE() << "README.md does not show the example " << Name;
      continue;
    }
    EXPECT_EQ(It->second, Text) << "README.md's example " << Name
                                << " differs from examples/snippets";
  }
  for (const auto& [Name, Text] : Shown)
    EXPECT_TRUE(Compiled.contains(Name)) << "README.md shows " << Name << ", which is not compiled";
}

}  // namespace
