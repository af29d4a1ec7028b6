// The request and response objects of the web-framework layer: query and form decoding with
// malformed input, cookies, and HTML escaping.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/web/HttpRequest.h"
#include "platform/web/HttpResponse.h"

namespace zelk::web {
namespace {

struct TQueryCase {
  std::string Target;
  std::vector<std::string> Fields;
};

TEST(HttpRequest, QueryDecodingKeepsMalformedEscapes) {
  const std::vector<TQueryCase> Cases = {
      {"/app/?state=A%20B&code=x+y", {"state=A B", "code=x y"}},
      {"/app/?a=%zz&b=%4&c=%", {"a=%zz", "b=%4", "c=%"}},
      {"/app/?a=%4g%41", {"a=%4gA"}},
      {"/app/?&&a&=v&b==c", {"a=", "=v", "b==c"}},
      {"/app/?n%61me=%00x", {"name=" + std::string(1, '\0') + "x"}},
      {"/app/?a=1#frag", {"a=1"}},
      {"/app/", {}},
  };
  for (const auto& C : Cases) {
    const THttpRequest R = THttpRequest::FromTarget(C.Target);
    EXPECT_EQ(R.QueryFields().Items(), C.Fields) << C.Target;
  }
  const THttpRequest R = THttpRequest::FromTarget("/app/?STATE=one&state=two");
  EXPECT_EQ(R.Query("state"), "one");  // first entry wins, names ignore case
  EXPECT_EQ(R.PathInfo(), "/app/");    // not filled in by a server: the whole path
}

TEST(HttpRequest, CookiesFromEveryHeaderInOrder) {
  THttpRequest R;
  R.AddHeader("Cookie", "a=1; zelk_session=\"quoted\";  other = x ;flag");
  R.AddHeader("cookie", "zelk_session=second; Zelk_Session=case; eq=a=b");
  EXPECT_EQ(R.Cookies("zelk_session"), (std::vector<std::string>{"quoted", "second"}));
  EXPECT_EQ(R.Cookie("Zelk_Session"), "case");  // names are case-sensitive
  EXPECT_EQ(R.Cookie("other"), "x");
  EXPECT_EQ(R.Cookie("eq"), "a=b");
  EXPECT_EQ(R.Cookie("flag"), "");
  EXPECT_TRUE(R.Cookies("missing").empty());
}

TEST(HttpRequest, FormBodyBecomesContentFieldsOnlyForFormContent) {
  THttpRequest R = THttpRequest::FromTarget("/app/post?state=q", "POST");
  R.SetBody("msg=Hello+%3Cb%3E&to=%zz", "Application/X-WWW-Form-Urlencoded; charset=UTF-8");
  EXPECT_EQ(R.ContentFields().Items(), (std::vector<std::string>{"msg=Hello <b>", "to=%zz"}));
  EXPECT_EQ(R.ContentField("MSG"), "Hello <b>");
  EXPECT_EQ(R.Query("state"), "q");
  EXPECT_EQ(R.Query("msg"), "");  // body fields are not query fields

  R.SetBody("msg=x", "application/json");
  EXPECT_EQ(R.Body(), "msg=x");
  EXPECT_EQ(R.ContentFields().Count(), 0);
}

TEST(HttpResponse, HeadersAndHTMLEncode) {
  THttpResponse R;
  EXPECT_EQ(R.StatusCode(), 200);
  EXPECT_EQ(R.ContentType(), "text/html; charset=utf-8");
  R.AddHeader("X-A", "1");
  R.AddHeader("x-a", "2");
  R.SetHeader("X-A", "3");
  ASSERT_EQ(R.Headers().size(), 1u);
  EXPECT_EQ(R.Header("x-A"), "3");

  EXPECT_EQ(HTMLEncode("<a href=\"x\">'&amp;'</a>"),
            "&lt;a href=&quot;x&quot;&gt;&#39;&amp;amp;&#39;&lt;/a&gt;");
  EXPECT_EQ(HTMLEncode("caf\xc3\xa9"), "caf\xc3\xa9");
}

}  // namespace
}  // namespace zelk::web
