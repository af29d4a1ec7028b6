// The simulator's server-side OAuth 1.0 signature check against the RFC 5849 examples, taken
// from the raw requests as the RFC prints them.
#include <gtest/gtest.h>

#include "sim/OAuth1Verifier.h"

namespace zelk::sim::oauth1 {
namespace {

// RFC 5849 section 3.4.1: parameters from the query, the folded Authorization header and the
// form body, with "realm" and "oauth_signature" left out.
TEST(OAuth1Verifier, Rfc5849Section341BaseString) {
  TReceived R;
  R.Method = "POST";
  R.Scheme = "http";
  R.HostHeader = "example.com";
  R.Target = "/request?b5=%3D%253D&a3=a&c%40=&a2=r%20b";
  R.ContentType = "application/x-www-form-urlencoded";
  R.Authorization =
      "OAuth realm=\"Example\",\r\n"
      "  oauth_consumer_key=\"9djdj82h48djs9d2\",\r\n"
      "  oauth_token=\"kkk9d7dh3k39sjv7\",\r\n"
      "  oauth_signature_method=\"HMAC-SHA1\",\r\n"
      "  oauth_timestamp=\"137131201\",\r\n"
      "  oauth_nonce=\"7d8f3e4a\",\r\n"
      "  oauth_signature=\"bYT5CMsGcbgUdFHObYMEfcx6bsw%3D\"";
  R.Body = "c2&a3=2+q";
  const TCollectResult C = Collect(R);
  ASSERT_TRUE(C.Params) << C.Error;
  EXPECT_EQ(C.Params->Signature, "bYT5CMsGcbgUdFHObYMEfcx6bsw=");
  EXPECT_EQ(NormalizeParameters(C.Params->Signed),
            "a2=r%20b&a3=2%20q&a3=a&b5=%3D%253D&c%40=&c2=&oauth_consumer_key=9djdj82h48djs9d2&"
            "oauth_nonce=7d8f3e4a&oauth_signature_method=HMAC-SHA1&oauth_timestamp=137131201&"
            "oauth_token=kkk9d7dh3k39sjv7");
  EXPECT_EQ(SignatureBaseString(R.Method, BaseStringURI(R.Scheme, R.HostHeader, C.Params->Path),
                                C.Params->Signed),
            "POST&http%3A%2F%2Fexample.com%2Frequest&a2%3Dr%2520b%26a3%3D2%2520q"
            "%26a3%3Da%26b5%3D%253D%25253D%26c%2540%3D%26c2%3D%26oauth_consumer_"
            "key%3D9djdj82h48djs9d2%26oauth_nonce%3D7d8f3e4a%26oauth_signature_m"
            "ethod%3DHMAC-SHA1%26oauth_timestamp%3D137131201%26oauth_token%3Dkkk"
            "9d7dh3k39sjv7");
  // The request's own parameters are those of the query and the body.
  EXPECT_EQ(Find(C.Params->Request, "a2"), "r b");
  EXPECT_EQ(Find(C.Params->Request, "c@"), "");
  EXPECT_TRUE(Has(C.Params->Request, "c@"));
  EXPECT_FALSE(Has(C.Params->Request, "realm"));
}

// RFC 5849 section 1.2: the photo request, verified end to end with the secrets the RFC gives.
TEST(OAuth1Verifier, Rfc5849Section12SignatureVerifies) {
  TReceived R;
  R.Method = "GET";
  R.Scheme = "http";
  R.HostHeader = "photos.example.net";
  R.Target = "/photos?file=vacation.jpg&size=original";
  R.Authorization =
      "OAuth realm=\"Photos\", oauth_consumer_key=\"dpf43f3p2l4k3l03\", "
      "oauth_token=\"nnch734d00sl2jdk\", oauth_signature_method=\"HMAC-SHA1\", "
      "oauth_timestamp=\"137131202\", oauth_nonce=\"chapoH\", "
      "oauth_signature=\"MdpQcU8iPSUjWoN%2FUDMsK2sui9I%3D\"";
  const TCollectResult C = Collect(R);
  ASSERT_TRUE(C.Params) << C.Error;
  const std::string Base = SignatureBaseString(
      R.Method, BaseStringURI(R.Scheme, R.HostHeader, C.Params->Path), C.Params->Signed);
  const std::string Signature = HmacSha1Signature(Base, "kd94hf93k423kf44", "pfkkdhi9sl3r4s00");
  EXPECT_EQ(Signature, "MdpQcU8iPSUjWoN/UDMsK2sui9I=");
  EXPECT_TRUE(SameSignature(Signature, C.Params->Signature));
  EXPECT_FALSE(SameSignature(HmacSha1Signature(Base, "kd94hf93k423kf44", ""), C.Params->Signature));
}

TEST(OAuth1Verifier, BaseStringURI) {
  const std::tuple<const char*, const char*, const char*, const char*> Cases[] = {
      {"HTTPS", "API.Example.COM", "/r", "https://api.example.com/r"},
      {"https", "example.com:443", "/r", "https://example.com/r"},
      {"http", "example.com:80", "/r", "http://example.com/r"},
      {"https", "127.0.0.1:8443", "/oauth/x", "https://127.0.0.1:8443/oauth/x"},
      {"http", "example.com:443", "", "http://example.com:443/"},
      {"https", "[::1]:443", "/p", "https://[::1]/p"},
      {"https", "[::1]", "/p", "https://[::1]/p"},
  };
  for (const auto& [Scheme, Host, Path, Expected] : Cases)
    EXPECT_EQ(BaseStringURI(Scheme, Host, Path), Expected) << Host;
}

TEST(OAuth1Verifier, EncodingAndDecoding) {
  EXPECT_EQ(PercentEncode("a b+c/d~e=&%\xC3\xA9"), "a%20b%2Bc%2Fd~e%3D%26%25%C3%A9");
  EXPECT_EQ(PercentDecode("a+b%2B%7e", true), "a b+~");
  EXPECT_EQ(PercentDecode("a+b", false), "a+b");
  for (const char* Bad : {"%", "%4", "%G0", "a%2"})
    EXPECT_FALSE(PercentDecode(Bad, true)) << Bad;
  const auto Form = ParseFormEncoded("a=1&&b&c=x%3Dy=z");
  ASSERT_TRUE(Form);
  EXPECT_EQ(*Form, (TParams{{"a", "1"}, {"b", ""}, {"c", "x=y=z"}}));
}

TEST(OAuth1Verifier, MalformedOrForeignAuthorizationHeaders) {
  for (const char* Bad : {"Basic dXNlcjpwdw==", "OAuth", "OAuth a=b", "OAuth a=\"b",
                          "OAuth a=\"b\" c=\"d\"", "OAuth a=\"%zz\"", "OAuth =\"x\""})
    EXPECT_FALSE(ParseAuthorizationHeader(Bad)) << Bad;
  const auto P = ParseAuthorizationHeader("oauth a=\"1\" ,b=\"x%20y\",c=\"\"");
  ASSERT_TRUE(P);
  EXPECT_EQ(*P, (TParams{{"a", "1"}, {"b", "x y"}, {"c", ""}}));
}

TEST(OAuth1Verifier, CollectRefusesRepeatedProtocolParameters) {
  TReceived R;
  R.Method = "POST";
  R.HostHeader = "h";
  R.Target = "/p?oauth_nonce=1";
  R.Authorization = "OAuth oauth_nonce=\"2\",oauth_signature=\"s\"";
  EXPECT_FALSE(Collect(R).Params);
  R.Target = "/p";
  R.Body = "oauth_signature=t";
  EXPECT_FALSE(Collect(R).Params);
  R.Body = "status=x";
  ASSERT_TRUE(Collect(R).Params);
}

TEST(OAuth1Verifier, BodyCountsOnlyAsAForm) {
  TReceived R;
  R.Method = "POST";
  R.HostHeader = "h";
  R.Target = "/p";
  R.Body = "status=a+b";
  // A POST that declares no type is read as a form.
  EXPECT_EQ(Find(Collect(R).Params->Signed, "status"), "a b");
  R.ContentType = "application/x-www-form-urlencoded; charset=utf-8";
  EXPECT_EQ(Find(Collect(R).Params->Signed, "status"), "a b");
  R.ContentType = "application/json";
  EXPECT_FALSE(Has(Collect(R).Params->Signed, "status"));
  R.Method = "GET";
  R.ContentType.clear();
  EXPECT_FALSE(Has(Collect(R).Params->Signed, "status"));
}

}  // namespace
}  // namespace zelk::sim::oauth1
