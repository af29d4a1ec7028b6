// The class metadata of the sign-in clients: what a form file can create, which published
// properties it stores, in which order, with which defaults.
#include <gtest/gtest.h>

#include "platform/rtl/ClassRegistry.h"
#include "providers/IWFacebookAuthClient.h"
#include "providers/IWGAuthClient.h"
#include "providers/IWWindowsLiveAuthClient.h"

namespace zelk {
namespace {

using rtl::TClassRegistry;
using rtl::TPropertyKind;

class OAuth2ClassInfo : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    IWGAuthClient::RegisterClasses();
    IWFacebookAuthClient::RegisterClasses();
    IWWindowsLiveAuthClient::RegisterClasses();
  }
  static std::vector<std::string> Names(const std::string& Class) {
    std::vector<std::string> R;
    for (const auto& P : TClassRegistry::PublishedProperties(Class))
      R.push_back(P.Name);
    return R;
  }
  static rtl::TPropertyInfo Property(const std::string& Class, const std::string& Name) {
    for (const auto& P : TClassRegistry::PublishedProperties(Class))
      if (P.Name == Name) return P;
    ADD_FAILURE() << Class << " has no property " << Name;
    return {};
  }
};

TEST_F(OAuth2ClassInfo, PublishedPropertiesInOrder) {
  using V = std::vector<std::string>;
  EXPECT_EQ(Names("TZIWGAuthClient"),
            (V{"ServerController", "App", "Scopes", "OnLoginOK", "OnLoginFailed"}));
  EXPECT_EQ(Names("TZIWFacebookAuthClient"), (V{"ServerController", "App", "Scopes", "OnLoginOK",
                                                "OnLoginFailed", "OnPostFailed", "OnPostOK"}));
  EXPECT_EQ(Names("TZIWWindowsLiveAuthClient"),
            (V{"ServerController", "App", "Scopes", "StandaloneRedirectURL", "OnLoginOK",
               "OnLoginFailed"}));
  EXPECT_EQ(Names("TIWApp"), (V{"ID", "Secret"}));
}

TEST_F(OAuth2ClassInfo, CreatesEachClassWithItsOwner) {
  rtl::TComponent Owner(nullptr);
  for (const char* Name :
       {"TZIWGAuthClient", "TZIWFacebookAuthClient", "TZIWWindowsLiveAuthClient"}) {
    rtl::TComponent* C = TClassRegistry::CreateComponent(Name, &Owner);
    EXPECT_EQ(C->ClassName(), Name);
    EXPECT_EQ(C->Owner(), &Owner);
  }
  EXPECT_EQ(Owner.ComponentCount(), 3);
}

TEST_F(OAuth2ClassInfo, ScopesAreAlwaysStoredAsNames) {
  IWFacebookAuthClient::TZIWFacebookAuthClient Client(nullptr);
  const auto Scopes = Property("TZIWFacebookAuthClient", "Scopes");
  EXPECT_EQ(Scopes.Kind, TPropertyKind::pkSet);
  EXPECT_FALSE(Scopes.Default.has_value());
  EXPECT_EQ(Scopes.Get(&Client), nlohmann::json::array());
  Scopes.Set(&Client, nlohmann::json{"fbBirthDay"});
  EXPECT_EQ(Client.Scopes(), IWFacebookAuthClient::TIWScopes{IWFacebookAuthClient::fbBirthDay});
  Scopes.Set(&Client, nlohmann::json{"fbEmail", "fbBirthDay"});
  EXPECT_EQ(Scopes.Get(&Client), (nlohmann::json{"fbEmail", "fbBirthDay"}));
  EXPECT_THROW(Scopes.Set(&Client, nlohmann::json{"gEmail"}), rtl::Exception);
  EXPECT_EQ(Client.Scopes().Bits(), 3u);  // a refused value changes nothing
}

TEST_F(OAuth2ClassInfo, StoredDefaultsAndSubObjects) {
  IWWindowsLiveAuthClient::TZIWWindowsLiveAuthClient Client(nullptr);
  const auto Url = Property("TZIWWindowsLiveAuthClient", "StandaloneRedirectURL");
  EXPECT_EQ(Url.Default, nlohmann::json(""));
  Url.Set(&Client, "https://x.test/cb");
  EXPECT_EQ(Client.StandaloneRedirectURL(), "https://x.test/cb");

  const auto App = Property("TZIWWindowsLiveAuthClient", "App");
  EXPECT_EQ(App.Kind, TPropertyKind::pkObject);
  rtl::TPersistent* Credentials = App.Object(&Client);
  EXPECT_EQ(Credentials, Client.App());
  Property("TIWApp", "Secret").Set(Credentials, "s3");
  EXPECT_EQ(Client.App()->Secret(), "s3");
  EXPECT_EQ(Property("TIWApp", "ID").Default, nlohmann::json(""));

  EXPECT_EQ(Property("TZIWWindowsLiveAuthClient", "OnLoginOK").Kind, TPropertyKind::pkEvent);

  IWZelkAuthBase::TZIWAuthServerController Controller(nullptr);
  const auto Link = Property("TZIWWindowsLiveAuthClient", "ServerController");
  Link.SetComponent(&Client, &Controller);
  EXPECT_EQ(Client.ServerController(), &Controller);
  EXPECT_EQ(Controller.Clients()->Count(), 1);
  rtl::TComponent NotAController(nullptr);
  EXPECT_THROW(Link.SetComponent(&Client, &NotAController), rtl::EInvalidCast);
  Link.SetComponent(&Client, nullptr);
  EXPECT_EQ(Controller.Clients()->Count(), 0);
}

}  // namespace
}  // namespace zelk
