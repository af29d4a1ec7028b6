// The encoding, signing and parsing helpers the clients build requests with, and the seams
// (clock, random source) for known-answer tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/rtl/StringList.h"

namespace zelk::IWZelkAuthBase {

using TBytes = std::vector<std::uint8_t>;

// Clears Strings and fills it with the pieces of Text between the delimiters (n delimiters give
// n + 1 pieces). A missing list raises EAssertionFailed.
void Split(char Delimiter, const std::string& Text, rtl::TStringList* Strings);
// 32 upper-case hexadecimal digits, unique per call: the MD5 digest of the time stamp and 128
// random bits.
std::string GenerateNonce();
// Seconds since 1970-01-01 00:00:00 UTC, in decimal.
std::string GenerateTimeStamp();
// The two forms of Base64 the clients write, neither with line breaks: the standard alphabet
// with "=" padding, and the URL alphabet ("-" and "_" in place of "+" and "/") without padding.
enum class TBase64 { Standard, URL };
std::string Base64Encode(std::string_view Bytes, TBase64 Form);
// Standard Base64 with "=" padding and no line breaks.
std::string Base64Encode(const TBytes& Bytes);
// HMAC-SHA1 of Value under Key (message first, key second): 20 bytes.
TBytes EncryptHMACSha1(const std::string& Value, const std::string& Key);
// Percent-encodes every byte outside the unreserved set A-Z a-z 0-9 - . _ ~ as "%XX" (upper
// case); a multi-byte UTF-8 character becomes one escape per byte.
std::string URLEncode(std::string_view Value);
// Percent-encodes only the bytes that cannot stand in a URL's query as they are: control
// characters, the blank, bytes above 126, and " # & < > \ ^ ` { | }. Everything else, "%"
// included, stays. For a value a provider sent already encoded (a token) that goes on into a
// URL or header as it came: a well-formed one passes unchanged, a malformed one can neither end
// the line, start a fragment nor add a parameter.
std::string EncodeURLUnsafe(std::string_view Value);
// Joins the name=value entries of Params with Separator. QuoteValues: name="value" in the
// list's order, values unencoded. Otherwise name=encoded value (FormEncode: form encoding;
// else URLEncode), sorted case-insensitively.
std::string EncodeParams(const rtl::TStringList& Params, const std::string& Separator,
                         bool QuoteValues, bool FormEncode);
// The same over entries already at hand ("name=value" each), without building a list of them:
// the signed-request procedure encodes the OAuth entries and the request's together.
std::string EncodeParamEntries(std::span<const std::string_view> Entries,
                               std::string_view Separator, bool QuoteValues, bool FormEncodeValues);
// A new version-4 GUID from the system's random source in registry form
// "{XXXXXXXX-XXXX-4XXX-YXXX-XXXXXXXXXXXX}"; empty when no random bytes could be had.
std::string CreateGuid();

// Seams for known-answer tests. Passing an empty function restores the real source.
using TClock = std::function<std::chrono::system_clock::time_point()>;
using TRandomSource = std::function<bool(std::uint8_t* Buffer, std::size_t Count)>;
void SetClock(TClock Clock);
void SetRandomSource(TRandomSource Source);

}  // namespace zelk::IWZelkAuthBase
