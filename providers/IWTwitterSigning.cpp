// The OAuth 1.0a request signing shared by Twitter's request-token call and status updates, and
// the reader of Twitter's form-encoded token replies.
#include <string_view>
#include <vector>

#include "providers/IWTwitterAuthClient.h"

namespace zelk::IWTwitterAuthClient {

using namespace IWZelkAuthBase;

namespace {

// With no token yet (the request-token call) the key still ends in "&".
std::string SigningKey(const std::string& ConsumerSecret, const std::string& TokenSecret) {
  return URLEncode(ConsumerSecret) + "&" + URLEncode(TokenSecret);
}

std::string SignatureWithKey(const std::string& BaseString, const std::string& Key) {
  return URLEncode(Base64Encode(EncryptHMACSha1(BaseString, Key)));
}

}  // namespace

std::string OAuthSignature(const std::string& BaseString, const std::string& ConsumerSecret,
                           const std::string& TokenSecret) {
  return SignatureWithKey(BaseString, SigningKey(ConsumerSecret, TokenSecret));
}

TSignedPost SignPost(const std::string& Host, const std::string& Path,
                     const rtl::TStringList& OAuth, const rtl::TStringList& Request,
                     const std::string& ConsumerSecret, const std::string& TokenSecret) {
  TSignedPost P;
  // Everything that is sent is signed: the OAuth entries and the request's own.
  std::vector<std::string_view> Signed;
  Signed.reserve(static_cast<std::size_t>(OAuth.Count()) +
                 static_cast<std::size_t>(Request.Count()));
  for (const std::string& Entry : OAuth.Items())
    Signed.emplace_back(Entry);
  for (const std::string& Entry : Request.Items())
    Signed.emplace_back(Entry);
  P.ParameterString = EncodeParamEntries(Signed, "&", false, false);
  // The parameter string is encoded a second time with the same unreserved set ("~" kept), as
  // the server does when it builds its own base string from what it received.
  const std::string URL = URLEncode("https://" + Host + Path);
  P.BaseString.reserve(6 + URL.size() + P.ParameterString.size() * 3);
  P.BaseString += "POST&";
  P.BaseString += URL;
  P.BaseString += '&';
  P.BaseString += URLEncode(P.ParameterString);
  P.SigningKey = SigningKey(ConsumerSecret, TokenSecret);
  P.Signature = SignatureWithKey(P.BaseString, P.SigningKey);

  // The OAuth entries in their order, then the signature, each as name="value" (what
  // EncodeParams gives with quoted values), written straight into the header line.
  P.Header.reserve(256);
  P.Header = "Authorization: OAuth ";
  auto AddQuoted = [&P](std::string_view Name, std::string_view Value) {
    P.Header += Name;
    P.Header += "=\"";
    P.Header += Value;
    P.Header += "\",";
  };
  for (const std::string& Entry : OAuth.Items()) {
    const auto Eq = Entry.find('=');
    if (Eq == std::string::npos)
      AddQuoted({}, {});
    else
      AddQuoted(std::string_view(Entry).substr(0, Eq), std::string_view(Entry).substr(Eq + 1));
  }
  AddQuoted("oauth_signature", P.Signature);
  P.Header.pop_back();  // the last ","
  P.Body = EncodeParams(Request, "&", false, false);
  return P;
}

std::string SignedPost(const std::string& Host, const std::string& Path,
                       const rtl::TStringList& OAuth, const rtl::TStringList& Request,
                       const std::string& ConsumerSecret, const std::string& TokenSecret,
                       const TTransport& Via) {
  const TSignedPost P = SignPost(Host, Path, OAuth, Request, ConsumerSecret, TokenSecret);
  return Via.Post(Host, Path, P.Header, P.Body).Body;
}

rtl::TStringList ReadFormReply(const std::string& Reply) {
  std::string Text;
  Text.reserve(Reply.size() + Reply.size() / 8);
  for (char C : Reply) {
    if (C == '&')
      Text += ", ";
    else
      Text += C;
  }
  rtl::TStringList Values;
  Values.SetCommaText(Text);
  return Values;
}

}  // namespace zelk::IWTwitterAuthClient
