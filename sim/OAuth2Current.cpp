#include "sim/OAuth2Current.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <algorithm>
#include <stdexcept>

#include "core/Helpers.h"
#include "platform/rtl/SysUtils.h"

namespace zelk::sim {

std::string PkceS256Challenge(std::string_view Verifier) {
  unsigned char Digest[SHA256_DIGEST_LENGTH];
  if (EVP_Digest(Verifier.data(), Verifier.size(), Digest, nullptr, EVP_sha256(), nullptr) != 1)
    throw std::runtime_error("Simulator: SHA-256 failed");
  return IWZelkAuthBase::Base64Encode(
      std::string_view(reinterpret_cast<const char*>(Digest), sizeof Digest),
      IWZelkAuthBase::TBase64::URL);
}

bool ValidPkceText(std::string_view Text) {
  if (Text.size() < 43 || Text.size() > 128) return false;
  return std::all_of(Text.begin(), Text.end(), [](char C) {
    return (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') || (C >= '0' && C <= '9') || C == '-' ||
           C == '.' || C == '_' || C == '~';
  });
}

std::string ReadPkceChallenge(const TSimRequest& R, TAuthorizationRequest& Request) {
  const bool HasChallenge = R.Query.IndexOfName("code_challenge") >= 0;
  const bool HasMethod = R.Query.IndexOfName("code_challenge_method") >= 0;
  const std::string Challenge = R.Query.Values("code_challenge");
  const std::string Method = HasMethod ? R.Query.Values("code_challenge_method") : "plain";
  if (!HasChallenge) {
    if (HasMethod) return "Missing code_challenge: code_challenge_method was given without it.";
    return {};
  }
  if (Method != "S256" && Method != "plain")
    return "Invalid code_challenge_method: " + Method + " (S256 or plain).";
  if (!ValidPkceText(Challenge))
    return "Invalid code_challenge: 43 to 128 characters of A-Z, a-z, 0-9, \"-._~\" expected.";
  Request.CodeChallenge = Challenge;
  Request.CodeChallengeMethod = Method;
  return {};
}

bool PkceVerifierMatches(const TAuthorizationRequest& Request, std::string_view Verifier) {
  if (!ValidPkceText(Verifier)) return false;
  if (Request.CodeChallengeMethod == "S256")
    return PkceS256Challenge(Verifier) == Request.CodeChallenge;
  return Verifier == Request.CodeChallenge;
}

bool AcceptableReturnAddress(const TSimApp& App, const std::string& RedirectURI) {
  if (!RedirectURI.starts_with("https://") && !RedirectURI.starts_with("http://")) return false;
  if (RedirectURI.find_first_of("?#") != std::string::npos) return false;
  return App.RedirectURIs.empty() || std::find(App.RedirectURIs.begin(), App.RedirectURIs.end(),
                                               RedirectURI) != App.RedirectURIs.end();
}

std::string BearerToken(const TSimRequest& R) {
  const std::string Auth = R.Header("Authorization");
  if (Auth.size() <= 7 || !rtl::SameText(Auth.substr(0, 7), "Bearer ")) return {};
  return Auth.substr(7);
}

std::string AppSecretProof(std::string_view Token, std::string_view Secret) {
  unsigned char Mac[EVP_MAX_MD_SIZE];
  unsigned int Length = 0;
  if (HMAC(EVP_sha256(), Secret.data(), static_cast<int>(Secret.size()),
           reinterpret_cast<const unsigned char*>(Token.data()), Token.size(), Mac,
           &Length) == nullptr)
    throw std::runtime_error("Simulator: HMAC-SHA256 failed");
  static constexpr char Hex[] = "0123456789abcdef";
  std::string Out;
  for (unsigned I = 0; I < Length; ++I) {
    Out += Hex[Mac[I] >> 4];
    Out += Hex[Mac[I] & 0x0F];
  }
  return Out;
}

std::vector<std::string> SplitScopeList(const std::string& Text, std::string_view Separators) {
  std::vector<std::string> Items;
  std::size_t Start = 0;
  for (;;) {
    const std::size_t End = Text.find_first_of(Separators, Start);
    std::string S = Text.substr(Start, End == std::string::npos ? std::string::npos : End - Start);
    if (!S.empty()) Items.push_back(std::move(S));
    if (End == std::string::npos) break;
    Start = End + 1;
  }
  return Items;
}

}  // namespace zelk::sim
