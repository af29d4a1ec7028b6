// What the three OAuth 2.0 sign-in clients share: misuse is refused before anything is sent,
// only the latest Login's identifier is routed, an identifier is spent once the flow reached an
// outcome, and a transport failure changes nothing and raises no event.
#include <gtest/gtest.h>

#include "providers/IWFacebookAuthClient.h"
#include "providers/IWGAuthClient.h"
#include "providers/IWWindowsLiveAuthClient.h"
#include "support/FakeApplication.h"
#include "support/RecordingTransport.h"

namespace zelk {
namespace {

using IWZelkAuthBase::TIWResult;
using IWZelkAuthBase::TZIWAuthServerController;

// How each client is called back and what a successful exchange looks like.
template <class TClient>
struct TFlow;

template <>
struct TFlow<IWGAuthClient::TZIWGAuthClient> {
  static constexpr const char* kKey = "state";
  static void ScriptSuccess(testing::RecordingTransport& T) {
    T.Reply(R"({"access_token":"ya29.tok","token_type":"Bearer","expires_in":3599})");
    T.Reply(R"({"id":"1089","name":"Ada"})");
  }
};

template <>
struct TFlow<IWFacebookAuthClient::TZIWFacebookAuthClient> {
  static constexpr const char* kKey = "clientid";
  static void ScriptSuccess(testing::RecordingTransport& T) {
    T.Reply(R"({"access_token":"EAAB","token_type":"bearer","expires_in":5183944})");
    T.Reply(R"({"id":"1089","name":"Ada"})");
  }
};

template <>
struct TFlow<IWWindowsLiveAuthClient::TZIWWindowsLiveAuthClient> {
  static constexpr const char* kKey = "clientid";
  static void ScriptSuccess(testing::RecordingTransport& T) {
    T.Reply(R"({"token_type":"bearer","access_token":"EwB"})");
    T.Reply(R"({"id":"1089","name":"Ada"})");
  }
};

template <class TClient>
class OAuth2ClientFlow : public ::testing::Test {
 protected:
  OAuth2ClientFlow()
      : Owner(nullptr),
        Controller(new TZIWAuthServerController(&Owner)),
        Client(new TClient(&Owner)),
        App(testing::MakeApplication("http://localhost/app")) {
    Client->SetServerController(Controller);
    Client->App()->SetID("client-id");
    Client->App()->SetSecret("secret");
    Client->SetOnLoginOK([this](rtl::TObject* Sender) {
      EXPECT_EQ(Sender, Client);
      ++OK;
    });
    Client->SetOnLoginFailed([this](rtl::TObject* Sender) {
      EXPECT_EQ(Sender, Client);
      ++Failed;
    });
  }

  std::string EntryID() const { return Controller->Clients()->Items(0)->ID(); }
  std::string Callback(const std::string& Id, const std::string& Code = "code-1") {
    return std::string(TFlow<TClient>::kKey) + "=" + Id + "&code=" + Code;
  }
  void Return(const std::string& Query) {
    Controller->ProcessRequest(testing::RequestWithQuery(Query));
  }

  testing::RecordingTransport T;
  rtl::TComponent Owner;
  TZIWAuthServerController* Controller;  // owned by Owner
  TClient* Client;                       // owned by Owner
  std::unique_ptr<web::TIWApplication> App;
  int OK = 0;
  int Failed = 0;
};

using TClients =
    ::testing::Types<IWGAuthClient::TZIWGAuthClient, IWFacebookAuthClient::TZIWFacebookAuthClient,
                     IWWindowsLiveAuthClient::TZIWWindowsLiveAuthClient>;
TYPED_TEST_SUITE(OAuth2ClientFlow, TClients);

TYPED_TEST(OAuth2ClientFlow, LoginWithoutServerControllerRaisesBeforeAnythingHappens) {
  this->Client->SetServerController(nullptr);
  try {
    this->Client->Login(this->App.get());
    FAIL() << "Login without a ServerController must raise";
  } catch (const rtl::Exception& E) {
    EXPECT_EQ(E.Message(), this->Client->ClassName() +
                               ".Login: ServerController is not assigned; set it to a "
                               "TZIWAuthServerController so that the provider's return can be "
                               "routed");
  }
  EXPECT_EQ(this->App->RedirectURL(), "");
  EXPECT_EQ(this->T.Count(), 0u);
}

TYPED_TEST(OAuth2ClientFlow, LoginWithoutApplicationRaisesAndKeepsTheIdentifier) {
  this->Client->Login(this->App.get());
  const std::string Id = this->EntryID();
  try {
    this->Client->Login(nullptr);
    FAIL() << "Login without an application must raise";
  } catch (const rtl::Exception& E) {
    EXPECT_EQ(E.Message(), this->Client->ClassName() +
                               ".Login: WebApplication is not assigned; pass the session's "
                               "application object so the browser can be redirected");
  }
  EXPECT_EQ(this->EntryID(), Id);
}

TYPED_TEST(OAuth2ClientFlow, IdentifierIsAFreshGuidWithoutBraces) {
  this->Client->Login(this->App.get());
  const std::string First = this->EntryID();
  this->Client->Login(this->App.get());
  const std::string Second = this->EntryID();
  ASSERT_EQ(First.size(), 36u);
  EXPECT_EQ(First.find_first_of("{}"), std::string::npos);
  EXPECT_NE(First, Second);
  EXPECT_NE(this->App->RedirectURL().find(Second), std::string::npos);
}

TYPED_TEST(OAuth2ClientFlow, OnlyTheLatestLoginIsRouted) {
  this->Client->Login(this->App.get());
  const std::string First = this->EntryID();
  this->Client->Login(this->App.get());
  const std::string Second = this->EntryID();

  this->Return(this->Callback(First));
  EXPECT_EQ(this->T.Count(), 0u);
  EXPECT_EQ(this->OK + this->Failed, 0);
  EXPECT_EQ(this->Client->LoginResult(), TIWResult::resNone);

  TFlow<TypeParam>::ScriptSuccess(this->T);
  this->Return(this->Callback(Second));
  EXPECT_EQ(this->T.Count(), 2u);
  EXPECT_EQ(this->OK, 1);
  EXPECT_EQ(this->Client->LoginResult(), TIWResult::resOK);
  EXPECT_EQ(this->Client->LoginID(), "1089");
  EXPECT_EQ(this->Client->LoginUsername(), "Ada");
}

TYPED_TEST(OAuth2ClientFlow, IdentifierIsSpentAfterSuccess) {
  this->Client->Login(this->App.get());
  const std::string Query = this->Callback(this->EntryID());
  TFlow<TypeParam>::ScriptSuccess(this->T);
  this->Return(Query);
  ASSERT_EQ(this->OK, 1);

  // A reload of the return page: nothing is sent again and the outcome stays.
  this->Return(Query);
  EXPECT_EQ(this->T.Count(), 2u);
  EXPECT_EQ(this->OK, 1);
  EXPECT_EQ(this->Failed, 0);
  EXPECT_EQ(this->Client->LoginResult(), TIWResult::resOK);
}

TYPED_TEST(OAuth2ClientFlow, IdentifierIsSpentAfterFailure) {
  this->Client->Login(this->App.get());
  const std::string Query = std::string(TFlow<TypeParam>::kKey) + "=" + this->EntryID();
  this->Return(Query);  // no code: the flow fails
  ASSERT_EQ(this->Failed, 1);
  this->Return(Query);
  EXPECT_EQ(this->Failed, 1);
}

TYPED_TEST(OAuth2ClientFlow, TransportFailureChangesNothingAndRaisesNoEvent) {
  for (int FailingCall = 0; FailingCall < 2; ++FailingCall) {
    SCOPED_TRACE(FailingCall);
    this->T.Clear();
    this->Client->SetLoginResult(TIWResult::resOK);
    this->Client->SetLoginError("earlier error");
    this->Client->SetLoginID("earlier id");
    this->Client->SetLoginUsername("earlier name");
    this->OK = this->Failed = 0;

    this->Client->Login(this->App.get());
    const std::string Query = this->Callback(this->EntryID());
    if (FailingCall == 1) this->T.Reply(R"({"access_token":"tok"})");
    this->T.Fail("HttpSendRequest Error 7 Description Couldn't connect to server");
    try {
      this->Return(Query);
      FAIL() << "the transport failure must reach the caller";
    } catch (const rtl::Exception& E) {
      EXPECT_EQ(E.Message(), "HttpSendRequest Error 7 Description Couldn't connect to server");
    }
    EXPECT_EQ(this->T.Count(), static_cast<std::size_t>(FailingCall + 1));
    EXPECT_EQ(this->Client->LoginResult(), TIWResult::resOK);
    EXPECT_EQ(this->Client->LoginError(), "earlier error");
    EXPECT_EQ(this->Client->LoginID(), "earlier id");
    EXPECT_EQ(this->Client->LoginUsername(), "earlier name");
    EXPECT_EQ(this->OK + this->Failed, 0);

    // No outcome was reached, so the identifier still routes: the user may retry.
    TFlow<TypeParam>::ScriptSuccess(this->T);
    this->Return(Query);
    EXPECT_EQ(this->OK, 1);
    EXPECT_EQ(this->Client->LoginID(), "1089");
  }
}

TYPED_TEST(OAuth2ClientFlow, DestroyedClientIsNoLongerRouted) {
  this->Client->Login(this->App.get());
  const std::string Query = this->Callback(this->EntryID());
  delete this->Client;
  EXPECT_EQ(this->Controller->Clients()->Count(), 0);
  this->Return(Query);
  EXPECT_EQ(this->T.Count(), 0u);
}

TYPED_TEST(OAuth2ClientFlow, NoIdentifierWhenNoGuidCanBeMade) {
  IWZelkAuthBase::SetRandomSource([](std::uint8_t*, std::size_t) { return false; });
  this->Client->Login(this->App.get());
  IWZelkAuthBase::SetRandomSource({});
  EXPECT_EQ(this->EntryID(), "");
  this->Return(this->Callback(""));
  EXPECT_EQ(this->T.Count(), 0u);
  EXPECT_EQ(this->OK + this->Failed, 0);
}

TYPED_TEST(OAuth2ClientFlow, NewClientStartsEmpty) {
  TypeParam Fresh(nullptr);
  EXPECT_EQ(Fresh.LoginResult(), TIWResult::resNone);
  EXPECT_EQ(Fresh.LoginError(), "");
  EXPECT_EQ(Fresh.LoginID(), "");
  EXPECT_EQ(Fresh.LoginUsername(), "");
  EXPECT_EQ(Fresh.App()->ID(), "");
  EXPECT_EQ(Fresh.App()->Secret(), "");
  EXPECT_TRUE(Fresh.Scopes().Empty());
  EXPECT_NE(Fresh.User(), nullptr);
  EXPECT_EQ(Fresh.ServerController(), nullptr);
}

}  // namespace
}  // namespace zelk
