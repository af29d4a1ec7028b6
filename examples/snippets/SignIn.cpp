// Sign-in with each provider, as the demo wires it.
#include "core/IWZelkAuthBase.h"
#include "examples/snippets/Snippets.h"
#include "platform/web/server/IWServer.h"
#include "providers/IWFacebookAuthClient.h"
#include "providers/IWGAuthClient.h"
#include "providers/IWTwitterAuthClient.h"
#include "providers/IWWindowsLiveAuthClient.h"

namespace zelk::snippets {

void CreateSessionComponents(web::TIWApplication& Session,
                             IWZelkAuthBase::TZIWAuthServerController* Auth) {
  // [readme:google]
  // Owned by the session's application object: it goes when the session ends.
  auto* Google = new IWGAuthClient::TZIWGAuthClient(&Session);
  Google->SetName("Google");
  Google->App()->SetID("your-client-id.apps.googleusercontent.com");
  Google->App()->SetSecret("your-client-secret");
  Google->SetScopes(IWGAuthClient::TIWScopes{IWGAuthClient::gEmail});
  Google->SetServerController(Auth);
  Google->SetOnLoginOK([&Session, Google](rtl::TObject*) {
    Show(Session, "Hello " + Google->LoginUsername() + " (" + Google->User()->Email() + ")");
  });
  Google->SetOnLoginFailed([&Session, Google](rtl::TObject*) {
    Show(Session, "Google sign-in failed: " + Google->LoginError());
  });
  // [/readme]

  // [readme:facebook]
  auto* Facebook = new IWFacebookAuthClient::TZIWFacebookAuthClient(&Session);
  Facebook->SetName("Facebook");
  Facebook->App()->SetID("your-app-id");
  Facebook->App()->SetSecret("your-app-secret");
  Facebook->SetScopes({IWFacebookAuthClient::fbEmail, IWFacebookAuthClient::fbBirthDay});
  Facebook->SetServerController(Auth);
  Facebook->SetOnLoginOK([&Session, Facebook](rtl::TObject*) {
    Show(Session, Facebook->LoginUsername() + ", born " + Facebook->User()->Birthday());
  });
  Facebook->SetOnPostOK(
      [&Session](rtl::TObject*, std::string PostID) { Show(Session, "Posted as " + PostID); });
  Facebook->SetOnPostFailed([&Session](rtl::TObject*, std::string Error) {
    Show(Session, "Facebook refused the post: " + Error);
  });
  // [/readme]

  // [readme:windowslive]
  auto* Live = new IWWindowsLiveAuthClient::TZIWWindowsLiveAuthClient(&Session);
  Live->SetName("WindowsLive");
  Live->App()->SetID("your-client-id");
  Live->App()->SetSecret("your-client-secret");
  Live->SetScopes({IWWindowsLiveAuthClient::wlEmail});
  Live->SetServerController(Auth);
  Live->SetOnLoginOK([&Session, Live](rtl::TObject*) {
    Show(Session, Live->LoginUsername() + " <" + Live->User()->Email() + ">");
  });
  // [/readme]

  // [readme:twitter]
  auto* Twitter = new IWTwitterAuthClient::TZIWTwitterAuthClient(&Session);
  Twitter->SetName("Twitter");
  Twitter->App()->SetID("your-consumer-key");
  Twitter->App()->SetSecret("your-consumer-secret");
  Twitter->SetServerController(Auth);
  Twitter->SetOnLoginOK([&Session, Twitter](rtl::TObject*) {
    Show(Session, "@" + Twitter->LoginUsername() + " signed in");
    Twitter->Post("Signed in to the shop");  // answers through OnPostOK / OnPostFailed
  });
  // [/readme]
}

void OnSignInButton(web::TIWApplication& Session, const web::THttpRequest&, web::THttpResponse&) {
  // [readme:login]
  auto* Google = dynamic_cast<IWGAuthClient::TZIWGAuthClient*>(Session.FindComponent("Google"));
  Google->Login(&Session);  // the answer to this request becomes a redirect to Google
  // [/readme]
}

void UseCurrentApis(web::TIWApplication& Session) {
  auto* Google = dynamic_cast<IWGAuthClient::TZIWGAuthClient*>(Session.FindComponent("Google"));
  auto* Facebook = dynamic_cast<IWFacebookAuthClient::TZIWFacebookAuthClient*>(
      Session.FindComponent("Facebook"));
  auto* Live = dynamic_cast<IWWindowsLiveAuthClient::TZIWWindowsLiveAuthClient*>(
      Session.FindComponent("WindowsLive"));
  if (Google == nullptr || Facebook == nullptr || Live == nullptr) return;
  // [readme:current]
  Google->SetApi(IWZelkAuthBase::apCurrent);
  Facebook->SetApi(IWZelkAuthBase::apCurrent);
  Facebook->SetGraphVersion("v25.0");  // the Graph API version your app is set up for
  Live->SetApi(IWZelkAuthBase::apCurrent);
  Live->SetTenant("consumers");  // personal Microsoft accounts only
  // [/readme]
}

}  // namespace zelk::snippets
