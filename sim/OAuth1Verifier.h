// Server-side OAuth 1.0 signature checking (RFC 5849 section 3.4) for the simulator: the
// signature base string rebuilt from the request as received, and HMAC-SHA1 over it.
//
// This is deliberately separate from the library's client-side signing: it is the independent
// check that the clients sign what a real OAuth server verifies. Everything here follows the
// RFC: parameters come from the query, the Authorization header (without "realm" and
// "oauth_signature") and a form-encoded body; they are decoded, then encoded again with the
// RFC 3986 unreserved set, sorted by name and then value, and joined.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelk::sim::oauth1 {

// A decoded name and value.
struct TParam {
  std::string Name;
  std::string Value;
  bool operator==(const TParam&) const = default;
};
using TParams = std::vector<TParam>;

// Percent-encodes every byte outside ALPHA, DIGIT, "-", ".", "_", "~" as "%XX" (upper-case
// hexadecimal), one escape per byte of a multi-byte character (RFC 5849 section 3.6).
std::string PercentEncode(std::string_view Value);

// Decodes "%XX" escapes, and with Plus also "+" as a blank (form encoding). Empty when an
// escape is malformed ("%" not followed by two hexadecimal digits).
std::optional<std::string> PercentDecode(std::string_view Value, bool Plus);

// Decodes an application/x-www-form-urlencoded text (a query or a form body) into its pairs in
// order; a pair without "=" has an empty value. Empty when an escape is malformed.
std::optional<TParams> ParseFormEncoded(std::string_view Text);

// Parses an "OAuth" Authorization header (RFC 5849 section 3.5.1): the scheme (any letter
// case), then name="value" pairs separated by commas with optional blanks, names and values
// percent-decoded. Empty when the scheme is not OAuth or the header is malformed. "realm" is
// returned like any other pair.
std::optional<TParams> ParseAuthorizationHeader(std::string_view Header);

// The base string URI (RFC 5849 section 3.4.1.2): lower-case scheme and host, the port only
// when it is not the scheme's default, and the path ("/" when empty).
std::string BaseStringURI(std::string_view Scheme, std::string_view HostHeader,
                          std::string_view Path);

// The normalized parameters (section 3.4.1.3.2): encoded, sorted by name then value (byte
// order), "name=value" joined with "&".
std::string NormalizeParameters(const TParams& Params);

// Method in upper case "&" encoded URI "&" encoded normalized parameters (section 3.4.1.1).
std::string SignatureBaseString(std::string_view Method, std::string_view BaseURI,
                                const TParams& Params);

// HMAC-SHA1 of the base string under encoded client secret "&" encoded token secret, in Base64
// (section 3.4.2).
std::string HmacSha1Signature(std::string_view BaseString, std::string_view ClientSecret,
                              std::string_view TokenSecret);

// Compares two signatures in time that does not depend on where they differ.
bool SameSignature(std::string_view A, std::string_view B);

// A request as the server received it.
struct TReceived {
  std::string Method;
  std::string Scheme = "https";
  std::string HostHeader;  // the Host header, port included when the client sent one
  std::string Target;      // path and query as received
  std::string Authorization;
  std::string ContentType;
  std::string Body;
};

// The parameters of a received request, gathered from its three sources.
struct TCollected {
  // Every parameter that enters the base string (without "realm" and "oauth_signature").
  TParams Signed;
  // The "oauth_*" protocol parameters, wherever they came from, except "oauth_signature".
  TParams Protocol;
  // The decoded "oauth_signature".
  std::string Signature;
  // The request's own parameters (query and body, without the "oauth_*" ones).
  TParams Request;
  std::string Path;
};

// Gathers the parameters of a request. The body counts when its content type is
// application/x-www-form-urlencoded, or when a POST declares no type at all (a form is the
// only body an OAuth 1.0 request signs). Raises nothing: Error describes what was wrong.
struct TCollectResult {
  std::optional<TCollected> Params;
  std::string Error;
};
TCollectResult Collect(const TReceived& Request);

// The value of the first parameter named Name, or empty.
std::string Find(const TParams& Params, std::string_view Name);
bool Has(const TParams& Params, std::string_view Name);

}  // namespace zelk::sim::oauth1
