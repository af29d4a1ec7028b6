// Percent-decoding ("%XX" escapes) of URL queries, form bodies and the values servers send in
// them, in the two forms the library's readers need: lenient (a browser's query, a provider's
// reply) and strict (a value that must be well-formed or refused).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zelk::rtl {

// What a "+" stands for: itself (a path, a header value, a reply field) or a blank (form
// encoding: queries and form bodies).
enum class TPlus { Literal, Blank };

// The value of a hexadecimal digit in either letter case, or -1 for any other character.
int HexDigitValue(char C);

// Decodes every "%XX" escape; a "%" that two hexadecimal digits do not follow stays as it is,
// so text a browser or a provider wrote loosely still reads.
std::string PercentDecode(std::string_view Text, TPlus Plus);

// The same, but a "%" that two hexadecimal digits do not follow makes the whole text invalid
// (no value), for readers that must refuse what they cannot read exactly.
std::optional<std::string> PercentDecodeStrict(std::string_view Text, TPlus Plus);

}  // namespace zelk::rtl
