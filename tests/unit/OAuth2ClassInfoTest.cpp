// The class metadata of the sign-in clients: which published properties a form file stores, in
// which order and with which defaults, and that a stored form loads back into working clients.
#include <gtest/gtest.h>

#include "design/IWZelkAuthReg.h"
#include "platform/rtl/ClassRegistry.h"
#include "platform/rtl/FormFile.h"
#include "providers/IWFacebookAuthClient.h"
#include "providers/IWGAuthClient.h"
#include "providers/IWWindowsLiveAuthClient.h"

namespace zelk {
namespace {

using nlohmann::json;
using rtl::TClassRegistry;

std::vector<std::string> Names(const std::string& Class) {
  std::vector<std::string> R;
  for (const auto& P : TClassRegistry::PublishedProperties(Class))
    R.push_back(P.Name);
  return R;
}

TEST(OAuth2ClassInfo, PublishedPropertiesInOrder) {
  IWZelkAuthReg::RegisterClasses();
  using V = std::vector<std::string>;
  EXPECT_EQ(Names("TZIWGAuthClient"),
            (V{"Tag", "ServerController", "App", "Scopes", "Api", "OnLoginOK", "OnLoginFailed"}));
  EXPECT_EQ(Names("TZIWFacebookAuthClient"),
            (V{"Tag", "ServerController", "App", "Scopes", "Api", "GraphVersion", "OnLoginOK",
               "OnLoginFailed", "OnPostFailed", "OnPostOK"}));
  EXPECT_EQ(Names("TZIWWindowsLiveAuthClient"),
            (V{"Tag", "ServerController", "App", "Scopes", "StandaloneRedirectURL", "Api", "Tenant",
               "OnLoginOK", "OnLoginFailed"}));
}

TEST(OAuth2ClassInfo, FormFileRoundTrip) {
  IWZelkAuthReg::RegisterClasses();
  rtl::TComponent Root(nullptr);
  auto* Auth = new IWZelkAuthBase::TZIWAuthServerController(&Root);
  Auth->SetName("Auth");
  auto* Live = new IWWindowsLiveAuthClient::TZIWWindowsLiveAuthClient(&Root);
  Live->SetName("Live");
  Live->App()->SetID("000000004C0FFEE1");
  Live->SetScopes({IWWindowsLiveAuthClient::wlBirthDay});
  Live->SetStandaloneRedirectURL("https://www.example.test/live");
  Live->SetServerController(Auth);
  Live->SetOnLoginOK([](rtl::TObject*) {});
  auto* Fb = new IWFacebookAuthClient::TZIWFacebookAuthClient(&Root);
  Fb->SetName("Fb");
  auto* G = new IWGAuthClient::TZIWGAuthClient(&Root);
  G->SetName("G");
  G->SetScopes({IWGAuthClient::gEmail});
  G->App()->SetSecret("s");

  const json Form = rtl::WriteFormJSON(&Root);
  ASSERT_EQ(Form["components"].size(), 4u);
  EXPECT_EQ(Form["components"][1],
            (json{{"class", "TZIWWindowsLiveAuthClient"},
                  {"name", "Live"},
                  {"properties",
                   {{"ServerController", "Auth"},
                    {"App", {{"ID", "000000004C0FFEE1"}}},
                    {"Scopes", {"wlBirthDay"}},
                    {"StandaloneRedirectURL", "https://www.example.test/live"}}}}));
  // Scopes has no stored default: an empty set is written too. Empty texts are not.
  EXPECT_EQ(Form["components"][2]["properties"], (json{{"Scopes", json::array()}}));
  EXPECT_EQ(Form["components"][3]["properties"],
            (json{{"App", {{"Secret", "s"}}}, {"Scopes", {"gEmail"}}}));

  rtl::TComponent Loaded(nullptr);
  rtl::ReadForm(&Loaded, Form.dump());
  auto* LoadedLive = dynamic_cast<IWWindowsLiveAuthClient::TZIWWindowsLiveAuthClient*>(
      Loaded.FindComponent("Live"));
  auto* LoadedAuth =
      dynamic_cast<IWZelkAuthBase::TZIWAuthServerController*>(Loaded.FindComponent("Auth"));
  ASSERT_NE(LoadedLive, nullptr);
  ASSERT_NE(LoadedAuth, nullptr);
  EXPECT_EQ(LoadedLive->App()->ID(), "000000004C0FFEE1");
  EXPECT_EQ(LoadedLive->Scopes(),
            IWWindowsLiveAuthClient::TIWScopes{IWWindowsLiveAuthClient::wlBirthDay});
  EXPECT_EQ(LoadedLive->StandaloneRedirectURL(), "https://www.example.test/live");
  EXPECT_EQ(LoadedLive->ServerController(), LoadedAuth);
  ASSERT_EQ(LoadedAuth->Clients()->Count(), 1);
  EXPECT_EQ(LoadedAuth->Clients()->Items(0)->Client(), LoadedLive);
  EXPECT_FALSE(LoadedLive->OnLoginOK());
  auto* LoadedG = dynamic_cast<IWGAuthClient::TZIWGAuthClient*>(Loaded.FindComponent("G"));
  ASSERT_NE(LoadedG, nullptr);
  EXPECT_EQ(LoadedG->Scopes(), IWGAuthClient::TIWScopes{IWGAuthClient::gEmail});
  EXPECT_EQ(LoadedG->App()->Secret(), "s");
}

// Api, GraphVersion and Tenant are stored only when they differ from apClassic, "v25.0" and
// "common", and load back.
TEST(OAuth2ClassInfo, CurrentModePropertiesStoredOnlyWhenNotDefault) {
  IWZelkAuthReg::RegisterClasses();
  rtl::TComponent Root(nullptr);
  auto* G = new IWGAuthClient::TZIWGAuthClient(&Root);
  G->SetName("G");
  auto* Fb = new IWFacebookAuthClient::TZIWFacebookAuthClient(&Root);
  Fb->SetName("Fb");
  auto* Live = new IWWindowsLiveAuthClient::TZIWWindowsLiveAuthClient(&Root);
  Live->SetName("Live");
  json Form = rtl::WriteFormJSON(&Root);
  for (const auto& C : Form["components"])
    for (const char* Name : {"Api", "GraphVersion", "Tenant"})
      EXPECT_FALSE(C["properties"].contains(Name)) << C["name"] << " " << Name;

  G->SetApi(IWZelkAuthBase::apCurrent);
  Fb->SetApi(IWZelkAuthBase::apCurrent);
  Fb->SetGraphVersion("v24.0");
  Live->SetApi(IWZelkAuthBase::apCurrent);
  Live->SetTenant("consumers");
  Form = rtl::WriteFormJSON(&Root);
  EXPECT_EQ(Form["components"][0]["properties"],
            (json{{"Scopes", json::array()}, {"Api", "apCurrent"}}));
  EXPECT_EQ(Form["components"][1]["properties"],
            (json{{"Scopes", json::array()}, {"Api", "apCurrent"}, {"GraphVersion", "v24.0"}}));
  EXPECT_EQ(Form["components"][2]["properties"],
            (json{{"Scopes", json::array()}, {"Api", "apCurrent"}, {"Tenant", "consumers"}}));

  rtl::TComponent Loaded(nullptr);
  rtl::ReadForm(&Loaded, Form.dump());
  auto* LG = dynamic_cast<IWGAuthClient::TZIWGAuthClient*>(Loaded.FindComponent("G"));
  auto* LFb =
      dynamic_cast<IWFacebookAuthClient::TZIWFacebookAuthClient*>(Loaded.FindComponent("Fb"));
  auto* LLive = dynamic_cast<IWWindowsLiveAuthClient::TZIWWindowsLiveAuthClient*>(
      Loaded.FindComponent("Live"));
  ASSERT_TRUE(LG && LFb && LLive);
  EXPECT_EQ(LG->Api(), IWZelkAuthBase::apCurrent);
  EXPECT_EQ(LFb->Api(), IWZelkAuthBase::apCurrent);
  EXPECT_EQ(LFb->GraphVersion(), "v24.0");
  EXPECT_EQ(LLive->Api(), IWZelkAuthBase::apCurrent);
  EXPECT_EQ(LLive->Tenant(), "consumers");

  rtl::TComponent Refused(nullptr);
  EXPECT_THROW(rtl::ReadForm(&Refused, R"({"components":[{"class":"TZIWGAuthClient",
      "name":"G","properties":{"Api":"apFuture"}}]})"),
               rtl::Exception);
  EXPECT_THROW(rtl::ReadForm(&Refused, R"({"components":[{"class":"TZIWWindowsLiveAuthClient",
      "name":"L","properties":{"Tenant":"a/b"}}]})"),
               rtl::Exception);
}

TEST(OAuth2ClassInfo, UnknownScopeNameIsRefused) {
  IWZelkAuthReg::RegisterClasses();
  rtl::TComponent Root(nullptr);
  EXPECT_THROW(rtl::ReadForm(&Root, R"({"components":[{"class":"TZIWFacebookAuthClient",
      "name":"Fb","properties":{"Scopes":["gEmail"]}}]})"),
               rtl::Exception);
  EXPECT_EQ(Root.ComponentCount(), 0);
}

}  // namespace
}  // namespace zelk
