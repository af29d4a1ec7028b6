// Redaction and escaping of logged text.
#include "platform/web/LogText.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/rtl/StringList.h"
#include "platform/web/HttpRequest.h"
#include "platform/web/IWApplication.h"

namespace zelk::web {

namespace {

enum class TKind : std::uint8_t { kSecret, kCard, kFlow };

struct TSecretName {
  std::string_view Name;
  TKind Kind;
};

// Parameter and member names whose values are secrets, matched without regard to case.
constexpr std::array<TSecretName, 25> kSecretNames{{
    {"client_secret", TKind::kSecret},
    {"code", TKind::kSecret},
    {"access_token", TKind::kSecret},
    {"refresh_token", TKind::kSecret},
    {"id_token", TKind::kSecret},
    {"token", TKind::kSecret},
    {"oauth_token", TKind::kSecret},
    {"oauth_token_secret", TKind::kSecret},
    {"oauth_verifier", TKind::kSecret},
    {"oauth_signature", TKind::kSecret},
    {"code_verifier", TKind::kSecret},
    {"secret", TKind::kSecret},
    {"password", TKind::kSecret},
    {"cvv", TKind::kSecret},
    {"cvc", TKind::kSecret},
    {"security_code", TKind::kSecret},
    {"client_assertion", TKind::kSecret},
    {"verifier", TKind::kSecret},
    // The session's form token: a form sent with GET carries it in the query.
    {TIWApplication::FormTokenField, TKind::kSecret},
    // The one-time value that hands an adopted return's session cookie to its browser.
    {"zelk_handoff", TKind::kSecret},
    {"number", TKind::kCard},
    {"card_number", TKind::kCard},
    {"state", TKind::kFlow},
    {"clientid", TKind::kFlow},
    {"denied", TKind::kSecret},
}};

// The names providers add (their own parameters), as one immutable list that a new
// registration replaces: a redaction reads the list it started with, without holding a lock.
struct TAddedName {
  std::string Name;
  TKind Kind;
};
using TAddedNames = std::vector<TAddedName>;

struct TAddedTable {
  std::mutex Mutex;
  std::shared_ptr<const TAddedNames> Names = std::make_shared<const TAddedNames>();
};

TAddedTable& Added() {
  static TAddedTable T;
  return T;
}

std::shared_ptr<const TAddedNames> AddedNames() {
  TAddedTable& T = Added();
  std::lock_guard L(T.Mutex);
  return T.Names;
}

void Add(const std::vector<std::string>& Names, TKind Kind) {
  TAddedTable& T = Added();
  std::lock_guard L(T.Mutex);
  auto Next = std::make_shared<TAddedNames>(*T.Names);
  for (const std::string& N : Names)
    if (std::none_of(Next->begin(), Next->end(),
                     [&](const TAddedName& A) { return rtl::SameText(A.Name, N); }))
      Next->push_back({N, Kind});
  T.Names = std::move(Next);
}

bool IsNameChar(char C) {
  return std::isalnum(static_cast<unsigned char>(C)) != 0 || C == '_' || C == '-';
}

// A name as written may hold percent escapes ("c%6Fde"): they belong to the word.
bool IsWordChar(char C) {
  return IsNameChar(C) || C == '%';
}

// The word that starts at I (its end), and the secret name it spells as the server reads it
// (percent-decoded), if any.
struct TWord {
  std::size_t End;
  std::optional<TKind> Secret;
};

TWord WordAt(std::string_view Text, std::size_t I, const TAddedNames& More) {
  std::size_t End = I;
  while (End < Text.size() && IsWordChar(Text[End]))
    ++End;
  if (End == I || (I > 0 && IsWordChar(Text[I - 1]))) return {End, std::nullopt};
  const std::string_view Word = Text.substr(I, End - I);
  const bool Encoded = Word.find('%') != std::string_view::npos;
  const std::string Decoded = Encoded ? DecodeQueryComponent(Word) : std::string();
  const std::string_view Spelled = Encoded ? std::string_view(Decoded) : Word;
  for (const TSecretName& N : kSecretNames)
    if (rtl::SameText(Spelled, N.Name)) return {End, N.Kind};
  for (const TAddedName& N : More)
    if (rtl::SameText(Spelled, N.Name)) return {End, N.Kind};
  return {End, std::nullopt};
}

// What replaces Value: the marker, for a card number the marker and its last four digits.
std::string Replacement(std::string_view Value, TKind Kind) {
  if (Kind == TKind::kCard) {
    std::string Digits;
    for (char C : Value)
      if (std::isdigit(static_cast<unsigned char>(C)) != 0) Digits += C;
    if (Digits.size() > 4) return std::string(kRedacted) + Digits.substr(Digits.size() - 4);
  }
  return std::string(kRedacted);
}

bool EndsBareValue(char C) {
  return C == '&' || C == '"' || C == '\'' || C == ',' || C == ';' || C == '<' || C == '>' ||
         C == '}' || C == ']' || std::isspace(static_cast<unsigned char>(C)) != 0;
}

// Redacts the value that starts at Text[Start] (quoted or bare); returns the index after it.
std::size_t RedactValue(std::string_view Text, std::size_t Start, TKind Kind, std::string& Out) {
  std::size_t I = Start;
  if (I < Text.size() && Text[I] == '"') {
    std::size_t J = I + 1;
    while (J < Text.size() && Text[J] != '"') {
      if (Text[J] == '\\') ++J;
      ++J;
    }
    J = std::min(J, Text.size());
    Out += '"';
    if (J > I + 1) Out += Replacement(Text.substr(I + 1, J - I - 1), Kind);
    return J;  // the closing quote is copied by the caller
  }
  std::size_t J = I;
  // A card number may be written in groups: blanks and dashes between digits belong to it.
  auto InCard = [&](std::size_t K) {
    return Kind == TKind::kCard && (Text[K] == ' ' || Text[K] == '-') && K + 1 < Text.size() &&
           std::isdigit(static_cast<unsigned char>(Text[K + 1])) != 0 && K > I &&
           std::isdigit(static_cast<unsigned char>(Text[K - 1])) != 0;
  };
  while (J < Text.size() && (!EndsBareValue(Text[J]) || InCard(J)))
    ++J;
  if (J > I) Out += Replacement(Text.substr(I, J - I), Kind);
  return J;
}

bool StartsWithNoCase(std::string_view Text, std::size_t I, std::string_view Prefix) {
  return Text.size() - I >= Prefix.size() && rtl::SameText(Text.substr(I, Prefix.size()), Prefix);
}

// At an Authorization header that starts at Text[I]: copies the header's name and the scheme,
// and redacts the rest of the line, except after the OAuth scheme, whose parameters are
// redacted one by one (their names are secret names). Returns where reading goes on.
std::size_t RedactAuthorization(std::string_view Text, std::size_t I, std::string& Out) {
  std::size_t J = I + 14;
  while (J < Text.size() && Text[J] == ' ')
    ++J;
  std::size_t SchemeEnd = J;
  while (SchemeEnd < Text.size() && IsNameChar(Text[SchemeEnd]))
    ++SchemeEnd;
  Out.append(Text.substr(I, SchemeEnd - I));
  if (StartsWithNoCase(Text, J, "oauth ")) return SchemeEnd;
  std::size_t LineEnd = SchemeEnd;
  while (LineEnd < Text.size() && Text[LineEnd] != '\r' && Text[LineEnd] != '\n' &&
         Text[LineEnd] != ';')
    ++LineEnd;
  if (LineEnd > SchemeEnd) Out += " " + std::string(kRedacted);
  return LineEnd;
}

// After a quoted secret name that ends at Text[J] (its closing quote): when it names a JSON
// member ("name" : "value", or a bare number for a card), copies up to the value and redacts
// it. Returns where reading goes on: J when the name is no member's.
std::size_t RedactMember(std::string_view Text, std::size_t J, TKind Kind, std::string& Out) {
  std::size_t K = J + 1;
  while (K < Text.size() && std::isspace(static_cast<unsigned char>(Text[K])) != 0)
    ++K;
  if (K >= Text.size() || Text[K] != ':') return J;
  ++K;
  while (K < Text.size() && std::isspace(static_cast<unsigned char>(Text[K])) != 0)
    ++K;
  const bool Number = K < Text.size() && std::isdigit(static_cast<unsigned char>(Text[K]));
  if (K >= Text.size() || (Text[K] != '"' && !(Number && Kind == TKind::kCard))) return J;
  Out.append(Text.substr(J, K - J));
  return RedactValue(Text, K, Kind, Out);
}

std::string Redact(std::string_view Text, bool FlowIdentifiers) {
  std::string Out;
  Out.reserve(Text.size());
  const std::shared_ptr<const TAddedNames> More = AddedNames();
  std::size_t I = 0;
  while (I < Text.size()) {
    if ((I == 0 || !IsNameChar(Text[I - 1])) && StartsWithNoCase(Text, I, "authorization:")) {
      I = RedactAuthorization(Text, I, Out);
      continue;
    }
    const TWord Word = WordAt(Text, I, *More);
    const std::optional<TKind> Name = Word.Secret;
    // The whole word is copied, so that a secret name inside a longer word never matches.
    const std::size_t J = std::max(Word.End, I + 1);
    Out.append(Text.substr(I, J - I));
    const bool Redacts = Name && (*Name != TKind::kFlow || FlowIdentifiers);
    if (Redacts && I > 0 && Text[I - 1] == '"' && J < Text.size() && Text[J] == '"') {
      I = RedactMember(Text, J, *Name, Out);
    } else if (Redacts && J < Text.size() && Text[J] == '=') {
      Out += '=';
      I = RedactValue(Text, J + 1, *Name, Out);
    } else {
      I = J;
    }
  }
  return Out;
}

}  // namespace

void AddSecretNames(const std::vector<std::string>& Names) {
  Add(Names, TKind::kSecret);
}

void AddCardNumberNames(const std::vector<std::string>& Names) {
  Add(Names, TKind::kCard);
}

std::string RedactSecrets(std::string_view Text) {
  return Redact(Text, false);
}

std::string RedactQueryString(std::string_view Query) {
  return Redact(Query, true);
}

std::string EscapeLogText(std::string_view Text) {
  static constexpr std::string_view kHex = "0123456789ABCDEF";
  std::string Out;
  Out.reserve(Text.size());
  for (const char C : Text) {
    const auto U = static_cast<unsigned char>(C);
    if (C == '"' || C == '\\') {
      Out += '\\';
      Out += C;
    } else if (U < 32 || U >= 127) {
      Out += "\\x";
      Out += kHex[U >> 4];
      Out += kHex[U & 15];
    } else {
      Out += C;
    }
  }
  return Out;
}

}  // namespace zelk::web
