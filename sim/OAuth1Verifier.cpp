// RFC 5849 signature base string and HMAC-SHA1, server side.
#include "sim/OAuth1Verifier.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <array>

#include "core/Helpers.h"
#include "platform/rtl/PercentDecode.h"

namespace zelk::sim::oauth1 {

namespace {

char Lower(char C) {
  return (C >= 'A' && C <= 'Z') ? static_cast<char>(C - 'A' + 'a') : C;
}

std::string LowerCase(std::string_view S) {
  std::string R(S);
  std::transform(R.begin(), R.end(), R.begin(), Lower);
  return R;
}

// Blanks, and the line breaks of a folded header.
bool IsBlank(char C) {
  return C == ' ' || C == '\t' || C == '\r' || C == '\n';
}

std::string_view Trim(std::string_view S) {
  while (!S.empty() && IsBlank(S.front()))
    S.remove_prefix(1);
  while (!S.empty() && IsBlank(S.back()))
    S.remove_suffix(1);
  return S;
}

bool StartsWithOAuthPrefix(std::string_view Name) {
  return Name.rfind("oauth_", 0) == 0;
}

}  // namespace

std::string PercentEncode(std::string_view Value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string R;
  R.reserve(Value.size() * 3);
  for (const char C : Value) {
    const auto U = static_cast<unsigned char>(C);
    const bool Unreserved = (U >= 'A' && U <= 'Z') || (U >= 'a' && U <= 'z') ||
                            (U >= '0' && U <= '9') || U == '-' || U == '.' || U == '_' || U == '~';
    if (Unreserved) {
      R += C;
    } else {
      R += '%';
      R += kHex[U >> 4];
      R += kHex[U & 15];
    }
  }
  return R;
}

std::optional<std::string> PercentDecode(std::string_view Value, bool Plus) {
  return rtl::PercentDecodeStrict(Value, Plus ? rtl::TPlus::Blank : rtl::TPlus::Literal);
}

std::optional<TParams> ParseFormEncoded(std::string_view Text) {
  TParams Params;
  while (!Text.empty()) {
    const auto Amp = Text.find('&');
    const std::string_view Pair = Text.substr(0, Amp);
    Text = Amp == std::string_view::npos ? std::string_view() : Text.substr(Amp + 1);
    if (Pair.empty()) continue;
    const auto Eq = Pair.find('=');
    auto Name = PercentDecode(Pair.substr(0, Eq), true);
    auto Value = Eq == std::string_view::npos ? std::optional<std::string>(std::string())
                                              : PercentDecode(Pair.substr(Eq + 1), true);
    if (!Name || !Value) return std::nullopt;
    Params.push_back({std::move(*Name), std::move(*Value)});
  }
  return Params;
}

std::optional<TParams> ParseAuthorizationHeader(std::string_view Header) {
  Header = Trim(Header);
  const auto Space = Header.find_first_of(" \t\r\n");
  if (Space == std::string_view::npos || LowerCase(Header.substr(0, Space)) != "oauth")
    return std::nullopt;
  std::string_view Rest = Trim(Header.substr(Space));
  TParams Params;
  while (!Rest.empty()) {
    const auto Eq = Rest.find('=');
    if (Eq == std::string_view::npos) return std::nullopt;
    const std::string_view RawName = Trim(Rest.substr(0, Eq));
    Rest = Rest.substr(Eq + 1);
    if (RawName.empty() || Rest.empty() || Rest.front() != '"') return std::nullopt;
    const auto Close = Rest.find('"', 1);
    if (Close == std::string_view::npos) return std::nullopt;
    const std::string_view RawValue = Rest.substr(1, Close - 1);
    Rest = Trim(Rest.substr(Close + 1));
    auto Name = PercentDecode(RawName, false);
    auto Value = PercentDecode(RawValue, false);
    if (!Name || !Value) return std::nullopt;
    Params.push_back({std::move(*Name), std::move(*Value)});
    if (Rest.empty()) break;
    if (Rest.front() != ',') return std::nullopt;
    Rest = Trim(Rest.substr(1));
  }
  return Params;
}

std::string BaseStringURI(std::string_view Scheme, std::string_view HostHeader,
                          std::string_view Path) {
  const std::string S = LowerCase(Scheme);
  std::string Host = LowerCase(HostHeader);
  // The port follows the last ":" unless that colon is inside a bracketed IPv6 address.
  const auto Colon = Host.rfind(':');
  if (Colon != std::string::npos && Host.find(']', Colon) == std::string::npos) {
    const std::string Port = Host.substr(Colon + 1);
    if ((S == "https" && Port == "443") || (S == "http" && Port == "80") || Port.empty())
      Host.erase(Colon);
  }
  return S + "://" + Host + (Path.empty() ? std::string("/") : std::string(Path));
}

std::string NormalizeParameters(const TParams& Params) {
  std::vector<std::pair<std::string, std::string>> Encoded;
  Encoded.reserve(Params.size());
  for (const auto& P : Params)
    Encoded.emplace_back(PercentEncode(P.Name), PercentEncode(P.Value));
  // Byte order of the encoded names, then of the encoded values.
  std::sort(Encoded.begin(), Encoded.end());
  std::string R;
  for (const auto& [N, V] : Encoded) {
    if (!R.empty()) R += '&';
    R += N;
    R += '=';
    R += V;
  }
  return R;
}

std::string SignatureBaseString(std::string_view Method, std::string_view BaseURI,
                                const TParams& Params) {
  std::string M(Method);
  std::transform(M.begin(), M.end(), M.begin(),
                 [](char C) { return (C >= 'a' && C <= 'z') ? static_cast<char>(C - 32) : C; });
  return M + "&" + PercentEncode(BaseURI) + "&" + PercentEncode(NormalizeParameters(Params));
}

std::string HmacSha1Signature(std::string_view BaseString, std::string_view ClientSecret,
                              std::string_view TokenSecret) {
  const std::string Key = PercentEncode(ClientSecret) + "&" + PercentEncode(TokenSecret);
  std::array<unsigned char, EVP_MAX_MD_SIZE> Digest{};
  unsigned int Length = 0;
  if (HMAC(EVP_sha1(), Key.data(), static_cast<int>(Key.size()),
           reinterpret_cast<const unsigned char*>(BaseString.data()), BaseString.size(),
           Digest.data(), &Length) == nullptr)
    return {};  // matches no signature
  return IWZelkAuthBase::Base64Encode(
      std::string_view(reinterpret_cast<const char*>(Digest.data()), Length),
      IWZelkAuthBase::TBase64::Standard);
}

bool SameSignature(std::string_view A, std::string_view B) {
  return A.size() == B.size() && CRYPTO_memcmp(A.data(), B.data(), A.size()) == 0;
}

TCollectResult Collect(const TReceived& Request) {
  TCollected C;
  const auto Q = Request.Target.find('?');
  C.Path = Request.Target.substr(0, Q);
  TParams Header;
  if (!Request.Authorization.empty()) {
    auto Parsed = ParseAuthorizationHeader(Request.Authorization);
    if (!Parsed)
      return {std::nullopt, "the Authorization header is not a well-formed OAuth header"};
    Header = std::move(*Parsed);
  }
  TParams Query;
  if (Q != std::string::npos) {
    auto Parsed = ParseFormEncoded(std::string_view(Request.Target).substr(Q + 1));
    if (!Parsed) return {std::nullopt, "the query holds a malformed percent escape"};
    Query = std::move(*Parsed);
  }
  TParams Body;
  const std::string Type = LowerCase(Request.ContentType);
  const bool FormBody = Type.rfind("application/x-www-form-urlencoded", 0) == 0 ||
                        (Type.empty() && LowerCase(Request.Method) == "post");
  if (FormBody && !Request.Body.empty()) {
    auto Parsed = ParseFormEncoded(Request.Body);
    if (!Parsed) return {std::nullopt, "the form body holds a malformed percent escape"};
    Body = std::move(*Parsed);
  }

  int Signatures = 0;
  auto Take = [&](const TParams& From, bool FromHeader) -> std::string {
    for (const auto& P : From) {
      if (FromHeader && P.Name == "realm") continue;
      if (P.Name == "oauth_signature") {
        ++Signatures;
        C.Signature = P.Value;
        continue;
      }
      C.Signed.push_back(P);
      if (StartsWithOAuthPrefix(P.Name)) {
        // Each protocol parameter appears once per request, in one place (section 3.1).
        if (Has(C.Protocol, P.Name)) return "the protocol parameter " + P.Name + " appears twice";
        C.Protocol.push_back(P);
      } else if (!FromHeader) {
        C.Request.push_back(P);
      }
    }
    return {};
  };
  for (const auto& [From, FromHeader] :
       {std::pair<const TParams*, bool>{&Query, false}, {&Header, true}, {&Body, false}}) {
    if (std::string Error = Take(*From, FromHeader); !Error.empty()) return {std::nullopt, Error};
  }
  if (Signatures > 1) return {std::nullopt, "oauth_signature appears more than once"};
  return {std::move(C), {}};
}

std::string Find(const TParams& Params, std::string_view Name) {
  for (const auto& P : Params)
    if (P.Name == Name) return P.Value;
  return {};
}

bool Has(const TParams& Params, std::string_view Name) {
  return std::any_of(Params.begin(), Params.end(), [&](const TParam& P) { return P.Name == Name; });
}

}  // namespace zelk::sim::oauth1
