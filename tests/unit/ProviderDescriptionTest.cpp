// Providers describe themselves: the registry and endpoint table built from the provider units'
// registrations, core that names no provider, per-client host settings, and the generic OAuth
// 2.0 flow run with a description of a provider of the test's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/OAuth2Client.h"
#include "core/ProviderRegistry.h"
#include "payments/PayPalHosts.h"
#include "platform/web/LogText.h"
#include "providers/FacebookHosts.h"
#include "providers/GoogleHosts.h"
#include "providers/IWGAuthClient.h"
#include "providers/TwitterHosts.h"
#include "providers/WindowsLiveHosts.h"
#include "support/FakeApplication.h"
#include "support/RecordingTransport.h"

namespace zelk::IWZelkAuthBase {
namespace {

// Every host setting of every provider unit, with the provider that owns it.
const std::pair<TProviderHost, const char*> kAllHosts[] = {{phFacebookWeb, "Facebook"},
                                                           {phFacebookGraph, "Facebook"},
                                                           {phFacebookRest, "Facebook"},
                                                           {phGoogleAccounts, "Google"},
                                                           {phGoogleApis, "Google"},
                                                           {phGoogleOAuth2, "Google"},
                                                           {phGoogleOpenId, "Google"},
                                                           {phWindowsLiveLogin, "WindowsLive"},
                                                           {phWindowsLiveApis, "WindowsLive"},
                                                           {phMicrosoftLogin, "WindowsLive"},
                                                           {phMicrosoftGraph, "WindowsLive"},
                                                           {phTwitterApi, "Twitter"},
                                                           {phXApi, "Twitter"},
                                                           {phPayPalLiveNvp, "PayPal"},
                                                           {phPayPalSandboxNvp, "PayPal"},
                                                           {phPayPalLiveWeb, "PayPal"},
                                                           {phPayPalSandboxWeb, "PayPal"},
                                                           {phPayPalLiveRest, "PayPal"},
                                                           {phPayPalSandboxRest, "PayPal"}};

std::string Lower(std::string S) {
  std::transform(S.begin(), S.end(), S.begin(),
                 [](unsigned char C) { return static_cast<char>(std::tolower(C)); });
  return S;
}

// The core sources name no provider: not its name, not a class-name part, not a host setting's
// key or default host. The words come from the registrations themselves, plus the spellings a
// comment might use.
TEST(CoreNamesNoProvider, NoProviderWordInAnyCoreSource) {
  std::set<std::string> Words = {"google",  "facebook", "windows live", "windowslive",
                                 "twitter", "paypal",   "microsoft",    "gauth"};
  for (const std::string& Name : ProviderNames())
    Words.insert(Lower(Name));
  for (const auto& [Host, Provider] : kAllHosts) {
    Words.insert(Lower(Host.Setting()->Default));
    Words.insert(Lower(Host.Setting()->Key));
  }
  const std::filesystem::path Core = std::filesystem::path(ZELK_SOURCE_DIR) / "core";
  ASSERT_TRUE(std::filesystem::is_directory(Core)) << Core;
  std::vector<std::string> Hits;
  std::size_t Files = 0;
  for (const auto& Entry : std::filesystem::directory_iterator(Core)) {
    if (!Entry.is_regular_file()) continue;
    ++Files;
    std::ifstream In(Entry.path());
    std::string Line;
    for (int N = 1; std::getline(In, Line); ++N)
      for (const std::string& Word : Words)
        if (Lower(Line).find(Word) != std::string::npos)
          Hits.push_back(Entry.path().filename().string() + ":" + std::to_string(N) + ": " + Word);
  }
  EXPECT_GT(Files, 20u);
  EXPECT_TRUE(Hits.empty()) << ::testing::PrintToString(Hits);
}

// The table knows every setting the units declare, in key order, each with its key and real
// host as default; the provider of a host and of a class name come from the registrations.
TEST(ProviderRegistry, TheTableAndTheNamesComeFromTheRegistrations) {
  ResetProviderHosts();
  const std::vector<TProviderHost> Known = ProviderHosts();
  std::vector<std::string> Keys;
  for (const TProviderHost H : Known)
    Keys.push_back(ProviderHostKey(H));
  EXPECT_TRUE(std::is_sorted(Keys.begin(), Keys.end()));
  EXPECT_EQ(std::set<std::string>(Keys.begin(), Keys.end()).size(), Keys.size());
  for (const auto& [Host, Provider] : kAllHosts) {
    SCOPED_TRACE(ProviderHostKey(Host));
    EXPECT_NE(std::find(Known.begin(), Known.end(), Host), Known.end());
    EXPECT_EQ(ProviderHost(Host), Host.Setting()->Default);
    EXPECT_EQ(ProviderOfHost(ProviderHost(Host)), Provider);
  }
  EXPECT_EQ(ProviderHostKey(phGoogleAccounts), "google.accounts");
  EXPECT_EQ(ProviderHost(phMicrosoftLogin), "login.microsoftonline.com");
  EXPECT_EQ(ProviderOfHost("nobody.example.test"), "");
  const std::pair<const char*, const char*> Classes[] = {
      {"TZIWGAuthClient", "Google"},
      {"TZIWFacebookAuthClient", "Facebook"},
      {"TZIWWindowsLiveAuthClient", "WindowsLive"},
      {"TZIWTwitterAuthClient", "Twitter"},
      {"TZIWPayPalClient", "PayPal"},
      {"TOther", "TOther"}};
  for (const auto& [Class, Name] : Classes)
    EXPECT_EQ(ProviderNameOfClass(Class), Name) << Class;
  EXPECT_EQ(ProviderStepOfPath("PayPal", "/nvp"), "NVP call");
  EXPECT_EQ(ProviderStepOfPath("PayPal", "/v2/checkout/orders"), "REST call");
  EXPECT_EQ(ProviderStepOfPath("Google", "/token"), "");
}

// Key-based settings are all or nothing: an unknown key or a bad host anywhere leaves every
// setting as it was, with a message that names the culprit.
// The logs redact a provider's own parameters because its unit registered them, not because
// core or the log writer knows the provider.
TEST(ProviderRegistry, TheLogsRedactTheSecretNamesProvidersRegister) {
  const std::string Before =
      web::RedactSecrets("zexample_proof=abc&zexample_card=4111111111111111");
  EXPECT_EQ(Before, "zexample_proof=abc&zexample_card=4111111111111111");
  RegisterProvider({.Name = "ZExample",
                    .ClassNameParts = {"ZExample"},
                    .SecretNames = {"zexample_proof"},
                    .CardNumberNames = {"zexample_card"}});
  const std::pair<const char*, const char*> Cases[] = {
      {"zexample_proof=abc&x=1", "zexample_proof=[redacted]&x=1"},
      {"ZEXAMPLE_PROOF=abc", "ZEXAMPLE_PROOF=[redacted]"},
      {"zexample_pr%6Fof=abc", "zexample_pr%6Fof=[redacted]"},
      {"{\"zexample_proof\": \"abc\"}", "{\"zexample_proof\": \"[redacted]\"}"},
      {"zexample_card=4111111111111111", "zexample_card=[redacted]1111"},
      {"my_zexample_proof=abc", "my_zexample_proof=abc"}};
  for (const auto& [In, Out] : Cases)
    EXPECT_EQ(web::RedactSecrets(In), Out) << In;
  // The providers' own names, registered by their units.
  const std::pair<const char*, const char*> Registered[] = {
      {"appsecret_proof=p", "appsecret_proof=[redacted]"},
      {"wrap_verification_code=v", "wrap_verification_code=[redacted]"},
      {"PWD=x&SIGNATURE=y&CVV2=123", "PWD=[redacted]&SIGNATURE=[redacted]&CVV2=[redacted]"},
      {"ACCT=4111111111111111", "ACCT=[redacted]1111"}};
  for (const auto& [In, Out] : Registered)
    EXPECT_EQ(web::RedactSecrets(In), Out) << In;
}

TEST(ProviderRegistry, KeyedSettingsAreAllOrNothing) {
  ResetProviderHosts();
  const struct {
    const char* Settings;
    const char* Message;
  } Cases[] = {
      {"google.apis=a.test,nobody.api=b.test", "Unknown provider host key \"nobody.api\""},
      {"google.apis=a.test,x.api=b.test/path",
       "Provider host \"b.test/path\" for x.api is not a host name or address with an optional "
       "port"},
      {"google.apis=a.test,x.api",
       "Provider host setting \"x.api\" is not of the form "
       "key=host[:port]"},
  };
  for (const auto& C : Cases) {
    try {
      SetProviderHosts(C.Settings);
      ADD_FAILURE() << C.Settings;
    } catch (const rtl::Exception& E) {
      EXPECT_EQ(E.Message(), C.Message);
    }
    EXPECT_EQ(ProviderHost(phGoogleApis), "www.googleapis.com");
    EXPECT_EQ(ProviderHost(phXApi), "api.x.com");
  }
  EXPECT_THROW(ProviderHost(TProviderHost()), rtl::Exception);
  SetProviderHosts(" google.apis=a.test:8443 , x.api=b.test");
  EXPECT_EQ(ProviderHost(phGoogleApis), "a.test:8443");
  EXPECT_EQ(ProviderHost(phXApi), "b.test");
  ResetProviderHosts();
  EXPECT_EQ(ProviderHost(phXApi), "api.x.com");
}

// A client's own host settings: two Google clients side by side, each calling its own hosts,
// while the process-wide table stays as it was.
TEST(ClientEndpoints, TwoClientsOfOneProviderCallTheirOwnHosts) {
  ResetProviderHosts();
  testing::RecordingTransport T;
  rtl::TComponent Owner(nullptr);
  auto* Controller = new TZIWAuthServerController(&Owner);
  auto App = testing::MakeApplication("http://localhost/app");
  std::vector<std::string> Seen;
  for (const char* Name : {"one", "two"}) {
    auto* Client = new IWGAuthClient::TZIWGAuthClient(&Owner);
    Client->SetServerController(Controller);
    TEndpoints Mine;
    Mine.Apply(std::string("google.accounts=accounts.") + Name + ".test,google.apis=apis." + Name +
               ".test:8443");
    Client->SetEndpoints(Mine);
    Client->Login(App.get());
    EXPECT_TRUE(App->RedirectURL().starts_with(std::string("https://accounts.") + Name +
                                               ".test/o/oauth2/auth?"))
        << App->RedirectURL();
    T.Reply(R"({"access_token":"t"})");
    T.Reply(R"({"id":"1","name":"n"})");
    Client->HandleReturn(testing::RequestWithQuery("code=c"));
    EXPECT_EQ(Client->LoginResult(), resOK);
  }
  ASSERT_EQ(T.Count(), 4u);
  for (const auto& R : T.Requests())
    Seen.push_back(R.Host);
  EXPECT_EQ(Seen, (std::vector<std::string>{"accounts.one.test", "apis.one.test:8443",
                                            "accounts.two.test", "apis.two.test:8443"}));
  EXPECT_EQ(ProviderHost(phGoogleAccounts), "accounts.google.com");
  TEndpoints Bad;
  EXPECT_THROW(Bad.Set(phGoogleApis, "a.test/x"), rtl::Exception);
  EXPECT_THROW(Bad.Apply("google.apis=a.test,nobody.key=b.test"), rtl::Exception);
  EXPECT_TRUE(Bad.Empty());
}

}  // namespace
// A sign-in client given a transport of its own sends its whole flow there, never through the
// process-wide hook, so that tests of several providers can run side by side.
TEST(ClientEndpoints, AnOAuth2ClientOnATransportOfItsOwnLeavesTheProcessWideHookAlone) {
  ResetProviderHosts();
  testing::RecordingTransport Shared;  // the process-wide hook: must see nothing
  std::vector<TTransportRequest> Mine;
  const std::string Replies[] = {R"({"access_token":"t"})", R"({"id":"1","name":"n"})"};
  rtl::TComponent Owner(nullptr);
  auto* Controller = new TZIWAuthServerController(&Owner);
  auto App = testing::MakeApplication("http://localhost/app");
  auto* Client = new IWGAuthClient::TZIWGAuthClient(&Owner);
  Client->SetServerController(Controller);
  Client->SetTransport(TTransport([&](const TTransportRequest& R) {
    Mine.push_back(R);
    return THttpReply{"HTTP/1.0 200 OK", Replies[std::min<std::size_t>(Mine.size() - 1, 1)]};
  }));
  Client->Login(App.get());
  Client->HandleReturn(testing::RequestWithQuery("code=c"));
  EXPECT_EQ(Client->LoginResult(), resOK);
  EXPECT_EQ(Client->LoginID(), "1");
  EXPECT_EQ(Shared.Count(), 0u);
  ASSERT_EQ(Mine.size(), 2u);
  EXPECT_EQ(Mine[0].Method + " " + Mine[0].Host + Mine[0].Path,
            "POST accounts.google.com/o/oauth2/token");
  EXPECT_TRUE(Mine[1].Path.starts_with("/oauth2/v1/userinfo?access_token=t")) << Mine[1].Path;
}

}  // namespace zelk::IWZelkAuthBase
