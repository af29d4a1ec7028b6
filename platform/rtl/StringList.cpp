#include "platform/rtl/StringList.h"

#include <algorithm>

#include "platform/rtl/SysUtils.h"

namespace zelk::rtl {

namespace {

unsigned char Lower(unsigned char C) {
  return (C >= 'A' && C <= 'Z') ? C + ('a' - 'A') : C;
}

// Blanks and control characters separate comma-text entries; NUL ends the text.
bool IsBlank(unsigned char C) {
  return C >= 1 && C <= ' ';
}

[[noreturn]] void IndexError(int Index) {
  throw EListError("List index out of bounds (" + std::to_string(Index) + ")");
}

}  // namespace

int CompareText(std::string_view A, std::string_view B) {
  const std::size_t N = std::min(A.size(), B.size());
  for (std::size_t I = 0; I < N; ++I) {
    const unsigned char X = Lower(static_cast<unsigned char>(A[I]));
    const unsigned char Y = Lower(static_cast<unsigned char>(B[I]));
    if (X != Y) return X < Y ? -1 : 1;
  }
  if (A.size() == B.size()) return 0;
  return A.size() < B.size() ? -1 : 1;
}

bool SameText(std::string_view A, std::string_view B) {
  return A.size() == B.size() && CompareText(A, B) == 0;
}

const std::string& TStringList::Strings(int Index) const {
  if (Index < 0 || Index >= Count()) IndexError(Index);
  return FItems[static_cast<std::size_t>(Index)];
}

void TStringList::SetStrings(int Index, std::string Value) {
  if (Index < 0 || Index >= Count()) IndexError(Index);
  FItems[static_cast<std::size_t>(Index)] = std::move(Value);
}

int TStringList::Add(std::string S) {
  FItems.push_back(std::move(S));
  return Count() - 1;
}

void TStringList::Insert(int Index, std::string S) {
  if (Index < 0 || Index > Count()) IndexError(Index);
  FItems.insert(FItems.begin() + Index, std::move(S));
}

void TStringList::Delete(int Index) {
  if (Index < 0 || Index >= Count()) IndexError(Index);
  FItems.erase(FItems.begin() + Index);
}

int TStringList::IndexOf(std::string_view S) const {
  for (int I = 0; I < Count(); ++I)
    if (SameText(FItems[static_cast<std::size_t>(I)], S)) return I;
  return -1;
}

std::string TStringList::Names(int Index) const {
  const std::string& S = Strings(Index);
  const auto P = S.find('=');
  return P == std::string::npos ? std::string() : S.substr(0, P);
}

std::string TStringList::ValueFromIndex(int Index) const {
  const std::string& S = Strings(Index);
  const auto P = S.find('=');
  return P == std::string::npos ? std::string() : S.substr(P + 1);
}

int TStringList::IndexOfName(std::string_view Name) const {
  for (int I = 0; I < Count(); ++I) {
    const std::string& S = FItems[static_cast<std::size_t>(I)];
    const auto P = S.find('=');
    if (P != std::string::npos && SameText(std::string_view(S).substr(0, P), Name)) return I;
  }
  return -1;
}

std::string TStringList::Values(std::string_view Name) const {
  const int I = IndexOfName(Name);
  return I < 0 ? std::string() : ValueFromIndex(I);
}

void TStringList::SetValues(std::string_view Name, std::string Value) {
  const int I = IndexOfName(Name);
  if (Value.empty()) {
    if (I >= 0) Delete(I);
    return;
  }
  // The value's own buffer becomes the entry.
  Value.insert(0, "=").insert(0, Name);
  if (I >= 0)
    FItems[static_cast<std::size_t>(I)] = std::move(Value);
  else
    Add(std::move(Value));
}

std::string TStringList::GetDelimitedText(char Delimiter) const {
  if (FItems.size() == 1 && FItems[0].empty()) return std::string(2, FQuoteChar);
  std::string Result;
  for (std::size_t I = 0; I < FItems.size(); ++I) {
    const std::string& S = FItems[I];
    const bool NeedsQuotes = S.empty() || std::any_of(S.begin(), S.end(), [&](char C) {
                               const auto U = static_cast<unsigned char>(C);
                               return U <= ' ' || C == FQuoteChar || C == Delimiter;
                             });
    if (I > 0) Result += Delimiter;
    if (!NeedsQuotes) {
      Result += S;
      continue;
    }
    Result += FQuoteChar;
    for (char C : S) {
      if (C == FQuoteChar) Result += FQuoteChar;
      Result += C;
    }
    Result += FQuoteChar;
  }
  return Result;
}

void TStringList::SetDelimitedTextWith(std::string_view Text, char Delimiter) {
  // A NUL byte ends the text, as it does for the runtime's null-terminated strings.
  if (const auto Nul = Text.find('\0'); Nul != std::string_view::npos) Text = Text.substr(0, Nul);
  Clear();
  std::size_t P = 0;
  const std::size_t N = Text.size();
  auto At = [&](std::size_t I) -> unsigned char {
    return I < N ? static_cast<unsigned char>(Text[I]) : 0;
  };
  while (IsBlank(At(P)))
    ++P;
  while (P < N) {
    std::string S;
    if (At(P) == static_cast<unsigned char>(FQuoteChar)) {
      ++P;
      while (P < N) {
        if (At(P) == static_cast<unsigned char>(FQuoteChar)) {
          if (At(P + 1) == static_cast<unsigned char>(FQuoteChar)) {
            S += FQuoteChar;
            P += 2;
            continue;
          }
          ++P;
          break;
        }
        S += Text[P++];
      }
    } else {
      const std::size_t Start = P;
      while (P < N && At(P) > ' ' && At(P) != static_cast<unsigned char>(Delimiter))
        ++P;
      S.assign(Text.substr(Start, P - Start));
    }
    Add(std::move(S));
    while (IsBlank(At(P)))
      ++P;
    if (P < N && At(P) == static_cast<unsigned char>(Delimiter)) {
      if (P + 1 >= N) Add(std::string());
      do {
        ++P;
      } while (IsBlank(At(P)));
    }
  }
}

std::string TStringList::DelimitedText() const {
  return GetDelimitedText(FDelimiter);
}
void TStringList::SetDelimitedText(std::string_view Text) {
  SetDelimitedTextWith(Text, FDelimiter);
}
std::string TStringList::CommaText() const {
  return GetDelimitedText(',');
}
void TStringList::SetCommaText(std::string_view Text) {
  SetDelimitedTextWith(Text, ',');
}

std::string TStringList::Text() const {
  std::string R;
  for (const auto& S : FItems) {
    R += S;
    R += '\n';
  }
  return R;
}

void TStringList::SetText(std::string_view Text) {
  Clear();
  std::size_t P = 0;
  while (P < Text.size()) {
    std::size_t E = P;
    while (E < Text.size() && Text[E] != '\r' && Text[E] != '\n')
      ++E;
    Add(std::string(Text.substr(P, E - P)));
    if (E < Text.size() && Text[E] == '\r') ++E;
    if (E < Text.size() && Text[E] == '\n') ++E;
    P = E;
  }
}

void TStringList::Sort() {
  std::stable_sort(FItems.begin(), FItems.end(), [](const std::string& A, const std::string& B) {
    return CompareText(A, B) < 0;
  });
}

}  // namespace zelk::rtl
