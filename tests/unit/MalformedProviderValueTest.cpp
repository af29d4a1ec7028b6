// Provider replies whose tokens hold bytes no URL or header line may carry (found by the fuzz
// targets): a token the client passes on as it came (already encoded by the provider) keeps
// every well-formed byte and has the others percent-encoded, so a malformed reply can neither
// break the redirect's Location line, end a header line, start a fragment, add a parameter nor
// make the transport refuse the next call.
#include <gtest/gtest.h>

#include <string>

#include "payments/IWPayPalClient.h"
#include "providers/IWFacebookAuthClient.h"
#include "providers/IWTwitterAuthClient.h"
#include "support/FakeApplication.h"
#include "support/PayPalTestClient.h"
#include "support/RecordingTransport.h"

namespace zelk {
namespace {

using IWZelkAuthBase::EncodeURLUnsafe;
using IWZelkAuthBase::resOK;
using IWZelkAuthBase::TZIWAuthServerController;
using namespace std::string_literals;

TEST(EncodeURLUnsafe, EscapesOnlyWhatAURLCannotHold) {
  const struct {
    std::string In;
    std::string Out;
  } Cases[] = {
      {"", ""},
      // Well-formed encoded tokens pass unchanged, their escapes included.
      {"EC%2d1NK66318YB717835M", "EC%2d1NK66318YB717835M"},
      {"AAAB%2Bx-_.~!$'()*+,;=:@/?", "AAAB%2Bx-_.~!$'()*+,;=:@/?"},
      {"a b", "a%20b"},
      {"\r\nSet-Cookie: x", "%0D%0ASet-Cookie:%20x"},
      {"\0\x01\x1f\x7f"s, "%00%01%1F%7F"},
      {"t\"#&<>\\^`{|}", "t%22%23%26%3C%3E%5C%5E%60%7B%7C%7D"},
      {"Zo\xC3\xAB", "Zo%C3%AB"},
  };
  for (const auto& C : Cases)
    EXPECT_EQ(EncodeURLUnsafe(C.In), C.Out) << C.In;
}

TEST(MalformedProviderValue, FacebookFormTokenWithControlBytesStillReachesTheProfileCall) {
  IWZelkAuthBase::SetProviderHost(IWZelkAuthBase::phFacebookGraph, "graph.fb.test");
  IWZelkAuthBase::SetProviderHost(IWZelkAuthBase::phFacebookRest, "rest.fb.test");
  testing::RecordingTransport T;
  rtl::TComponent Owner(nullptr);
  auto* Controller = new TZIWAuthServerController(&Owner);
  auto* Client = new IWFacebookAuthClient::TZIWFacebookAuthClient(&Owner);
  Client->SetServerController(Controller);
  int OK = 0;
  Client->SetOnLoginOK([&](rtl::TObject*) { ++OK; });
  auto App = testing::MakeApplication("http://localhost/app");
  Client->Login(App.get());

  // The older form-encoded reply, as the fuzzer sent it: NUL and control bytes in the token.
  T.Reply("access_token=AAAB%2\0\0\x06 x#y&expires=5183944"s);
  T.Reply(R"({"id":"100001","name":"Ada"})");
  Controller->ProcessRequest(
      testing::RequestWithQuery("clientid=" + Controller->Clients()->Items(0)->ID() + "&code=AQx"));
  ASSERT_EQ(T.Count(), 2u);
  EXPECT_EQ(T.At(1).Path, "/me?access_token=AAAB%2%00%00%06%20x%23y&fields=id,name,picture");
  EXPECT_EQ(Client->LoginResult(), resOK);
  EXPECT_EQ(OK, 1);

  // Posting carries the token the same way.
  T.Reply("\"100001_5566\"");
  Client->Post("hi");
  EXPECT_EQ(T.At(2).Path,
            "/method/stream.publish?message=hi&access_token=AAAB%2%00%00%06%20x%23y&format=json");
  IWZelkAuthBase::ResetProviderHosts();
}

TEST(MalformedProviderValue, TwitterRequestTokenOutsideASCIIGivesAWellFormedRedirect) {
  IWZelkAuthBase::SetProviderHost(IWZelkAuthBase::phTwitterApi, "api.twitter.com");
  testing::RecordingTransport T;
  TZIWAuthServerController Controller(nullptr);
  IWTwitterAuthClient::TZIWTwitterAuthClient Client(nullptr);
  Client.SetServerController(&Controller);
  auto App = testing::MakeApplication("http://localhost/app");
  // The fuzzer's token, bytes above 126, then a blank and a line break, which an entry in
  // quotes keeps.
  T.Reply("\"oauth_token=\xAA\xAA A\r\nB\"&oauth_token_secret=B&oauth_callback_confirmed=true");
  Client.Login(App.get());
  EXPECT_EQ(App->RedirectURL(),
            "https://api.twitter.com/oauth/authorize?oauth_token=%AA%AA%20A%0D%0AB");
  IWZelkAuthBase::ResetProviderHosts();
}

TEST(MalformedProviderValue, TwitterAccessTokenCannotBreakThePostsHeaderLine) {
  IWZelkAuthBase::SetProviderHost(IWZelkAuthBase::phTwitterApi, "api.twitter.com");
  testing::RecordingTransport T;
  TZIWAuthServerController Controller(nullptr);
  IWTwitterAuthClient::TZIWTwitterAuthClient Client(nullptr);
  Client.SetServerController(&Controller);
  Client.App()->SetID("key");
  Client.App()->SetSecret("secret");
  std::vector<std::string> Failed;
  Client.SetOnPostFailed([&](rtl::TObject*, std::string M) { Failed.push_back(std::move(M)); });
  auto App = testing::MakeApplication("http://localhost/app");
  T.Reply("oauth_token=RT&oauth_token_secret=RTS&oauth_callback_confirmed=true");
  Client.Login(App.get());
  // An entry in quotes, where "" is one quote: the token holds a line break and quotes.
  T.Reply(
      "\"oauth_token=t\r\n\"\",oauth_signature=\"\"x\"&oauth_token_secret=s&user_id=1"
      "&screen_name=n");
  Controller.ProcessRequest(testing::RequestWithQuery(
      "clientid=" + Controller.Clients()->Items(0)->ID() + "&oauth_token=RT&oauth_verifier=v"));
  ASSERT_EQ(Client.LoginResult(), resOK);

  T.Reply(R"({"errors":[{"code":89,"message":"Invalid or expired token."}]})");
  EXPECT_NO_THROW(Client.Post("hello"));
  const std::string Header = T.Last().Headers;
  EXPECT_NE(Header.find(",oauth_token=\"t%0D%0A%22,oauth_signature=%22x\","), std::string::npos)
      << Header;
  EXPECT_EQ(Failed.size(), 1u);
  IWZelkAuthBase::ResetProviderHosts();
}

TEST(MalformedProviderValue, PayPalTokenWithControlBytesGivesAWellFormedRedirect) {
  testing::RecordingTransport T;
  testing::TPayPalWiring W;
  auto App = testing::MakeApplication("http://localhost/app");
  // The fuzzer's SetExpressCheckout reply: the token starts with SOH, NUL, NUL and CR.
  T.Reply("TOKEN=\x01\0\0\rEC%2d1NK&ACK=Success&PAYERID=QYR5Z8XDVJNXQ"s);
  ASSERT_EQ(W.Client->PayOnline(App.get()), resOK);
  EXPECT_EQ(App->RedirectURL(),
            "https://" + IWZelkAuthBase::ProviderHost(IWZelkAuthBase::phPayPalSandboxWeb) +
                "/webscr?cmd=_express-checkout&token=%01%00%00%0DEC%2d1NK");
}

}  // namespace
}  // namespace zelk
