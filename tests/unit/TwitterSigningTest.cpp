// Known-answer tests of the OAuth 1.0a signed POST and the token-reply reader.
#include <gtest/gtest.h>

#include "providers/IWTwitterAuthClient.h"

namespace zelk::IWTwitterAuthClient {
namespace {

// The widely published status-update example: its consumer and token, its nonce and time
// stamp, signed for POST https://api.twitter.com/1/statuses/update.json.
TEST(SignPost, ReproducesThePublishedStatusUpdateExample) {
  const rtl::TStringList OAuth{"oauth_consumer_key=xvz1evFS4wEEPTGEFPHBog",
                               "oauth_nonce=kYjzVBB8Y0ZFabxSWbWovY3uYSQ2pTgmZeNu2VS4cg",
                               "oauth_signature_method=HMAC-SHA1",
                               "oauth_timestamp=1318622958",
                               "oauth_token=370773112-GmHxMAgYyLbNEtIKZeRNFsMKPR9EyMZeS9weJAEb",
                               "oauth_version=1.0"};
  const rtl::TStringList Request{"status=Hello Ladies + Gentlemen, a signed OAuth request!",
                                 "include_entities=true"};
  const TSignedPost P = SignPost("api.twitter.com", "/1/statuses/update.json", OAuth, Request,
                                 "kAcSOqF21Fu85e7zjz7ZN2U4ZRhfV3WpwPAoE3Z7kBw",
                                 "LswwdoUaIvS8ltyTt5jkRh4J50vUPVVHtR2YPi5kE");

  EXPECT_EQ(P.ParameterString,
            "include_entities=true&oauth_consumer_key=xvz1evFS4wEEPTGEFPHBog&oauth_nonce="
            "kYjzVBB8Y0ZFabxSWbWovY3uYSQ2pTgmZeNu2VS4cg&oauth_signature_method=HMAC-SHA1&oauth_"
            "timestamp=1318622958&oauth_token=370773112-GmHxMAgYyLbNEtIKZeRNFsMKPR9EyMZeS9weJAEb&"
            "oauth_version=1.0&status=Hello%20Ladies%20%2B%20Gentlemen%2C%20a%20signed%20OAuth%"
            "20request%21");
  EXPECT_EQ(P.BaseString,
            "POST&https%3A%2F%2Fapi.twitter.com%2F1%2Fstatuses%2Fupdate.json&include_entities%"
            "3Dtrue%26oauth_consumer_key%3Dxvz1evFS4wEEPTGEFPHBog%26oauth_nonce%"
            "3DkYjzVBB8Y0ZFabxSWbWovY3uYSQ2pTgmZeNu2VS4cg%26oauth_signature_method%3DHMAC-SHA1%"
            "26oauth_timestamp%3D1318622958%26oauth_token%3D370773112-"
            "GmHxMAgYyLbNEtIKZeRNFsMKPR9EyMZeS9weJAEb%26oauth_version%3D1.0%26status%3DHello%"
            "2520Ladies%2520%252B%2520Gentlemen%252C%2520a%2520signed%2520OAuth%2520request%2521");
  EXPECT_EQ(
      P.SigningKey,
      "kAcSOqF21Fu85e7zjz7ZN2U4ZRhfV3WpwPAoE3Z7kBw&LswwdoUaIvS8ltyTt5jkRh4J50vUPVVHtR2YPi5kE");
  // tnnArxj06cWHq44gCs1OSKk/jLY= as it travels in the header.
  EXPECT_EQ(P.Signature, "tnnArxj06cWHq44gCs1OSKk%2FjLY%3D");
  EXPECT_EQ(P.Header,
            "Authorization: OAuth oauth_consumer_key=\"xvz1evFS4wEEPTGEFPHBog\",oauth_nonce="
            "\"kYjzVBB8Y0ZFabxSWbWovY3uYSQ2pTgmZeNu2VS4cg\",oauth_signature_method=\"HMAC-SHA1\","
            "oauth_timestamp=\"1318622958\",oauth_token=\"370773112-"
            "GmHxMAgYyLbNEtIKZeRNFsMKPR9EyMZeS9weJAEb\",oauth_version=\"1.0\",oauth_signature="
            "\"tnnArxj06cWHq44gCs1OSKk%2FjLY%3D\"");
  EXPECT_EQ(P.Body,
            "include_entities=true&status=Hello%20Ladies%20%2B%20Gentlemen%2C%20a%20signed%"
            "20OAuth%20request%21");
}

// RFC 5849 section 3.4.1: the example request's parameters (from its query, body and
// Authorization header) give exactly the RFC's normalized parameters and base string; the
// request here goes over https. Names enter as they appear on the wire ("c@" as "c%40").
TEST(SignPost, ReproducesTheRfc5849BaseStringExample) {
  const rtl::TStringList OAuth{"oauth_consumer_key=9djdj82h48djs9d2",
                               "oauth_token=kkk9d7dh3k39sjv7", "oauth_signature_method=HMAC-SHA1",
                               "oauth_timestamp=137131201", "oauth_nonce=7d8f3e4a"};
  const rtl::TStringList Request{"b5==%3D", "a3=a", "c%40=", "a2=r b", "c2=", "a3=2 q"};
  const TSignedPost P =
      SignPost("example.com", "/request", OAuth, Request, "j49sk3j29djd", "dh893hdasih9");

  EXPECT_EQ(P.ParameterString,
            "a2=r%20b&a3=2%20q&a3=a&b5=%3D%253D&c%40=&c2=&oauth_consumer_key=9djdj82h48djs9d2&"
            "oauth_nonce=7d8f3e4a&oauth_signature_method=HMAC-SHA1&oauth_timestamp=137131201&"
            "oauth_token=kkk9d7dh3k39sjv7");
  std::string RfcBaseString =
      "POST&http%3A%2F%2Fexample.com%2Frequest&a2%3Dr%2520b%26a3%3D2%2520q"
      "%26a3%3Da%26b5%3D%253D%25253D%26c%2540%3D%26c2%3D%26oauth_consumer_"
      "key%3D9djdj82h48djs9d2%26oauth_nonce%3D7d8f3e4a%26oauth_signature_m"
      "ethod%3DHMAC-SHA1%26oauth_timestamp%3D137131201%26oauth_token%3Dkkk"
      "9d7dh3k39sjv7";
  RfcBaseString.replace(0, 12, "POST&https%3A");
  EXPECT_EQ(P.BaseString, RfcBaseString);
  EXPECT_EQ(P.SigningKey, "j49sk3j29djd&dh893hdasih9");
  EXPECT_EQ(P.Signature, "P%2FjYPiBOyvg0PlXr7NJwJu8qroc%3D");
  EXPECT_EQ(P.Body, "a2=r%20b&a3=2%20q&a3=a&b5=%3D%253D&c%40=&c2=");
  // The header keeps the caller's order and the values as given.
  EXPECT_EQ(P.Header,
            "Authorization: OAuth oauth_consumer_key=\"9djdj82h48djs9d2\",oauth_token="
            "\"kkk9d7dh3k39sjv7\",oauth_signature_method=\"HMAC-SHA1\",oauth_timestamp="
            "\"137131201\",oauth_nonce=\"7d8f3e4a\",oauth_signature="
            "\"P%2FjYPiBOyvg0PlXr7NJwJu8qroc%3D\"");
}

TEST(SignPost, SecondEncodingPassKeepsTildeAndEscapesPercentEqualsAndAmpersand) {
  const TSignedPost P =
      SignPost("h", "/p", rtl::TStringList{"k=%41"}, rtl::TStringList{"s=a~b&c"}, "", "");
  EXPECT_EQ(P.ParameterString, "k=%2541&s=a~b%26c");
  EXPECT_EQ(P.BaseString, "POST&https%3A%2F%2Fh%2Fp&k%3D%252541%26s%3Da~b%2526c");
  EXPECT_EQ(P.SigningKey, "&");
  EXPECT_EQ(P.Body, "s=a~b%26c");
}

TEST(SignPost, SecretsAreEncodedIntoTheKey) {
  const TSignedPost P = SignPost("h", "/p", {}, {}, "a b&c", "~x/");
  EXPECT_EQ(P.SigningKey, "a%20b%26c&~x%2F");
  EXPECT_EQ(P.Signature, OAuthSignature(P.BaseString, "a b&c", "~x/"));
  EXPECT_NE(P.Signature, OAuthSignature(P.BaseString, "a b&c", ""));
  EXPECT_EQ(P.Header, "Authorization: OAuth oauth_signature=\"" + P.Signature + "\"");
  EXPECT_EQ(P.Body, "");
}

TEST(ReadFormReply, CommaTextRule) {
  struct TCase {
    const char* Reply;
    const char* Name;
    const char* Value;
  };
  const TCase Cases[] = {
      {"oauth_token=T&oauth_token_secret=S&oauth_callback_confirmed=true", "oauth_token", "T"},
      {"oauth_token=T&oauth_token_secret=S&oauth_callback_confirmed=true", "oauth_token_secret",
       "S"},
      {"oauth_token=T&oauth_token_secret=S", "OAUTH_TOKEN", "T"},  // names ignore case
      {"a=1&b=2", "missing", ""},
      {"screen_name=a%20b", "screen_name", "a%20b"},              // not percent-decoded
      {"screen_name=John Doe&user_id=7", "screen_name", "John"},  // a blank ends an entry
      {"screen_name=John Doe&user_id=7", "user_id", "7"},
      {"x=\"quoted, text\"&y=1", "y", "1"},
      {"\"x=quoted, text\"&y=1", "x", "quoted, text"},  // quotes group an entry
      {"v=a=b&w=", "v", "a=b"},                         // everything after the first "="
      {"v=1&v=2", "v", "1"},                            // the first entry wins
      {"", "v", ""},
  };
  for (const auto& C : Cases)
    EXPECT_EQ(ReadFormReply(C.Reply).Values(C.Name), C.Value) << C.Reply << " / " << C.Name;
  EXPECT_EQ(ReadFormReply("a=1&b=2&c=3").Count(), 3);
}

}  // namespace
}  // namespace zelk::IWTwitterAuthClient
