// The OAuth 1.0a request signing shared by Twitter's request-token call and status updates, and
// the reader of Twitter's form-encoded token replies.
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
  rtl::TStringList Signed = OAuth;
  for (const std::string& Entry : Request.Items())
    Signed.Add(Entry);
  P.ParameterString = EncodeParams(Signed, "&", false, false);
  // The parameter string is encoded a second time with the same unreserved set ("~" kept), as
  // the server does when it builds its own base string from what it received.
  P.BaseString = "POST&" + URLEncode("https://" + Host + Path) + "&" + URLEncode(P.ParameterString);
  P.SigningKey = SigningKey(ConsumerSecret, TokenSecret);
  P.Signature = SignatureWithKey(P.BaseString, P.SigningKey);

  rtl::TStringList Header = OAuth;
  Header.Add("oauth_signature=" + P.Signature);
  P.Header = "Authorization: OAuth " + EncodeParams(Header, ",", true, false);
  P.Body = EncodeParams(Request, "&", false, false);
  return P;
}

std::string SignedPost(const std::string& Host, const std::string& Path,
                       const rtl::TStringList& OAuth, const rtl::TStringList& Request,
                       const std::string& ConsumerSecret, const std::string& TokenSecret) {
  const TSignedPost P = SignPost(Host, Path, OAuth, Request, ConsumerSecret, TokenSecret);
  std::string Reply;
  Https_Post(Host, Path, P.Header, P.Body, Reply);
  return Reply;
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
