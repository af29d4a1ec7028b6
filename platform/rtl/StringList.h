// TStringList: an ordered list of texts with name=value access and the runtime's comma-text
// rules. Names are looked up without regard to ASCII letter case; the first entry wins.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zelk::rtl {

class TStringList {
 public:
  TStringList() = default;
  TStringList(std::initializer_list<std::string> Items) : FItems(Items) {}

  int Count() const { return static_cast<int>(FItems.size()); }
  // Raises EListError for an index outside 0 .. Count - 1.
  const std::string& Strings(int Index) const;
  void SetStrings(int Index, std::string Value);
  const std::string& operator[](int Index) const { return Strings(Index); }

  int Add(std::string S);
  void Insert(int Index, std::string S);
  void Delete(int Index);
  void Clear() { FItems.clear(); }
  int IndexOf(std::string_view S) const;  // case-insensitive, like the runtime's default

  // Name=value access. The name is the text before the first "=", the value the text after it.
  std::string Names(int Index) const;
  std::string ValueFromIndex(int Index) const;
  int IndexOfName(std::string_view Name) const;
  // The value of the first entry named Name, or empty.
  std::string Values(std::string_view Name) const;
  // Replaces the first entry named Name, appends one when there is none; an empty value
  // deletes the entry.
  void SetValues(std::string_view Name, std::string Value);

  // Entries separated by the delimiter or by blanks and control characters; a double quote
  // groups an entry and "" inside it stands for one quote.
  std::string DelimitedText() const;
  void SetDelimitedText(std::string_view Text);
  std::string CommaText() const;
  void SetCommaText(std::string_view Text);
  char Delimiter() const { return FDelimiter; }
  void SetDelimiter(char D) { FDelimiter = D; }
  char QuoteChar() const { return FQuoteChar; }

  // Entries joined with line feeds; setting splits at CR, LF or CRLF.
  std::string Text() const;
  void SetText(std::string_view Text);

  // Sorts case-insensitively (ASCII letters folded), keeping equal entries in their order.
  void Sort();

  const std::vector<std::string>& Items() const { return FItems; }
  bool operator==(const TStringList& O) const { return FItems == O.FItems; }

 private:
  std::string GetDelimitedText(char Delimiter) const;
  void SetDelimitedTextWith(std::string_view Text, char Delimiter);

  std::vector<std::string> FItems;
  char FDelimiter = ',';
  char FQuoteChar = '"';
};

// Compares two texts with ASCII letters folded to lower case: < 0, 0 or > 0.
int CompareText(std::string_view A, std::string_view B);
bool SameText(std::string_view A, std::string_view B);

}  // namespace zelk::rtl
