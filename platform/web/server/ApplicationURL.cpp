#include "platform/web/server/ApplicationURL.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

#include "platform/rtl/StringList.h"
#include "platform/rtl/SysUtils.h"

namespace zelk::web {

namespace {

bool IsDigit(char C) {
  return C >= '0' && C <= '9';
}
bool IsAlnum(char C) {
  return IsDigit(C) || (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z');
}
bool IsHex(char C) {
  return IsDigit(C) || (C >= 'a' && C <= 'f') || (C >= 'A' && C <= 'F');
}

bool IsPort(std::string_view S) {
  return !S.empty() && S.size() <= 5 && std::all_of(S.begin(), S.end(), IsDigit);
}

std::string_view Trim(std::string_view S) {
  while (!S.empty() && (S.front() == ' ' || S.front() == '\t'))
    S.remove_prefix(1);
  while (!S.empty() && (S.back() == ' ' || S.back() == '\t'))
    S.remove_suffix(1);
  return S;
}

// The first element of a comma-separated header value: a proxy chain lists the client's side
// first.
std::string_view FirstElement(std::string_view Value) {
  return Trim(Value.substr(0, Value.find(',')));
}

// IPv4 or IPv6 text as 16 bytes, IPv4 in its mapped form.
std::optional<in6_addr> ParseIP(std::string_view Text) {
  const std::string S(Text);
  in6_addr A6{};
  if (inet_pton(AF_INET6, S.c_str(), &A6) == 1) return A6;
  in_addr A4{};
  if (inet_pton(AF_INET, S.c_str(), &A4) != 1) return std::nullopt;
  in6_addr Mapped{};
  Mapped.s6_addr[10] = 0xff;
  Mapped.s6_addr[11] = 0xff;
  std::memcpy(&Mapped.s6_addr[12], &A4, 4);
  return Mapped;
}

bool PathIsClean(std::string_view Path) {
  if (Path.find("//") != std::string_view::npos) return false;
  return std::none_of(Path.begin(), Path.end(), [](char C) {
    return C == '?' || C == '#' || C == ' ' || static_cast<unsigned char>(C) < 0x20 || C == 0x7f;
  });
}

}  // namespace

bool IsValidHostHeader(std::string_view Host) {
  if (Host.empty() || Host.size() > 255) return false;
  std::string_view Name = Host;
  std::string_view Port;
  if (Host.front() == '[') {
    const auto Close = Host.find(']');
    if (Close == std::string_view::npos || Close < 3) return false;
    const std::string_view Inside = Host.substr(1, Close - 1);
    if (!std::all_of(Inside.begin(), Inside.end(),
                     [](char C) { return IsHex(C) || C == ':' || C == '.'; }))
      return false;
    const std::string_view After = Host.substr(Close + 1);
    if (After.empty()) return true;
    return After.front() == ':' && IsPort(After.substr(1));
  }
  if (const auto Colon = Host.find(':'); Colon != std::string_view::npos) {
    Name = Host.substr(0, Colon);
    Port = Host.substr(Colon + 1);
    if (!IsPort(Port)) return false;
  }
  return !Name.empty() && std::all_of(Name.begin(), Name.end(), [](char C) {
    return IsAlnum(C) || C == '-' || C == '.' || C == '_';
  });
}

bool SameIPAddress(std::string_view A, std::string_view B) {
  const auto X = ParseIP(A);
  const auto Y = ParseIP(B);
  return X && Y && std::memcmp(X->s6_addr, Y->s6_addr, 16) == 0;
}

std::string NormalizeApplicationPath(std::string_view Path) {
  while (!Path.empty() && Path.back() == '/')
    Path.remove_suffix(1);
  if (Path.empty()) return {};
  std::string R;
  if (Path.front() != '/') R += '/';
  R += Path;
  if (!PathIsClean(R))
    throw rtl::Exception("Invalid application path \"" + std::string(Path) +
                         "\": use a plain path such as /app");
  return R;
}

std::string NormalizePublicBaseURL(std::string_view URL) {
  const auto Fail = [&](const std::string& Why) {
    return rtl::Exception("Invalid public base URL \"" + std::string(URL) + "\": " + Why);
  };
  std::string_view Rest;
  std::string Scheme;
  if (URL.starts_with("https://")) {
    Scheme = "https://";
  } else if (URL.starts_with("http://")) {
    Scheme = "http://";
  } else {
    throw Fail("it must start with http:// or https://");
  }
  Rest = URL.substr(Scheme.size());
  const auto Slash = Rest.find('/');
  const std::string_view Host = Rest.substr(0, Slash);
  if (!IsValidHostHeader(Host)) throw Fail("the host is missing or malformed");
  std::string_view Path = Slash == std::string_view::npos ? std::string_view() : Rest.substr(Slash);
  if (!PathIsClean(Path)) throw Fail("it may not carry a query, a fragment or blanks");
  while (!Path.empty() && Path.back() == '/')
    Path.remove_suffix(1);
  return Scheme + std::string(Host) + std::string(Path);
}

std::optional<std::string> TApplicationURLRules::ApplicationURL(
    const THttpRequest& Request, std::string_view LocalAuthority) const {
  if (!PublicBaseURL.empty()) return PublicBaseURL;
  std::string Scheme = TLS ? "https" : "http";
  std::string Host = Request.Header("Host");
  if (Host.empty()) {
    Host = LocalAuthority;
  } else if (!IsValidHostHeader(Host)) {
    return std::nullopt;
  }
  // Only a proxy we were told to trust may say what the browser used; anybody else could make
  // the application send providers' return addresses to a host of their choosing.
  const bool Trusted =
      std::any_of(TrustedProxies.begin(), TrustedProxies.end(),
                  [&](const auto& P) { return SameIPAddress(P, Request.RemoteAddress()); });
  if (Trusted) {
    const std::string ForwardedProto = Request.Header("X-Forwarded-Proto");
    const std::string_view Proto = FirstElement(ForwardedProto);
    if (rtl::SameText(Proto, "https")) Scheme = "https";
    if (rtl::SameText(Proto, "http")) Scheme = "http";
    const std::string ForwardedHost = Request.Header("X-Forwarded-Host");
    if (!ForwardedHost.empty()) {
      const std::string_view First = FirstElement(ForwardedHost);
      if (!IsValidHostHeader(First)) return std::nullopt;
      Host = First;
    }
  }
  return Scheme + "://" + Host + ApplicationPath;
}

std::string TApplicationURLRules::CookiePath() const {
  std::string_view Path = ApplicationPath;
  if (!PublicBaseURL.empty()) {
    const std::string_view U = PublicBaseURL;
    const auto HostStart = U.find("://") + 3;
    const auto Slash = U.find('/', HostStart);
    Path = Slash == std::string_view::npos ? std::string_view() : U.substr(Slash);
  }
  return Path.empty() ? "/" : std::string(Path);
}

}  // namespace zelk::web
