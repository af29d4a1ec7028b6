// How the server tells the application's URL from a request: the address the browser used
// (scheme, Host header with its port, the application's path), a configured public base URL
// in its place, or the scheme and host a trusted reverse proxy forwarded. Providers send the
// browser back to this URL, so it must be the one the browser can reach.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/web/HttpRequest.h"

namespace zelk::web {

// A Host header value the server accepts: a DNS name or IPv4 address (letters, digits, "-",
// "." and "_"), or an IPv6 address in brackets, optionally followed by ":" and 1 to 5 digits;
// at most 255 characters. Anything else (blanks, "/", "@", control characters) is refused, so a
// forged header cannot smuggle a path or credentials into the URLs the application builds.
bool IsValidHostHeader(std::string_view Host);

// Whether A and B are the same IP address; an IPv4-mapped IPv6 address ("::ffff:10.0.0.1")
// equals its IPv4 form. Texts that are no IP address never match.
bool SameIPAddress(std::string_view A, std::string_view B);

// "" for the root, otherwise the path with one leading "/" and no trailing "/". Raises
// Exception for a path with "?", "#", "//", a blank or a control character.
std::string NormalizeApplicationPath(std::string_view Path);

// A public base URL as configured: "http://" or "https://", a valid host, an optional path and
// no query, fragment or credentials; returned without a trailing "/". Raises Exception naming
// what is wrong.
std::string NormalizePublicBaseURL(std::string_view URL);

// The rules one server applies to every request.
struct TApplicationURLRules {
  std::string ApplicationPath;              // normalised
  std::string PublicBaseURL;                // normalised; wins when set
  std::vector<std::string> TrustedProxies;  // peers whose X-Forwarded-Proto/-Host count
  bool TLS = false;                         // the server itself speaks HTTPS

  // The application's URL for Request, or none when its Host header is malformed (or the
  // forwarded host of a trusted proxy is). LocalAuthority ("127.0.0.1:8080") stands in for a
  // missing Host header (HTTP/1.0).
  std::optional<std::string> ApplicationURL(const THttpRequest& Request,
                                            std::string_view LocalAuthority) const;
  // The path the browser sees the application under, for the session cookie: the public base
  // URL's path when one is set, otherwise the application path; "/" for the root.
  std::string CookiePath() const;
};

}  // namespace zelk::web
