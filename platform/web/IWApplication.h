// The web-framework objects the components talk to: the session's application object and the
// application-wide server controller. The HTTP server behind them fills these in per request;
// tests create them directly.
#pragma once

#include <functional>
#include <string>

#include "platform/rtl/Classes.h"
#include "platform/web/HttpRequest.h"

namespace zelk::web {

class TIWServerControllerBase;

// The application object of one browser session. It owns the session's components.
class TIWApplication : public rtl::TComponent {
 public:
  TIWApplication(rtl::TComponent* AOwner, std::string ApplicationURL, std::string SessionID = {});
  ~TIWApplication() override;
  std::string ClassName() const override { return "TIWApplication"; }

  // The application's base URL as the browser reaches it: scheme, host, port and path, without
  // a trailing "/" (the clients add "/" or "/?clientid=").
  std::string GetApplicationURL() const { return FApplicationURL; }
  void SetApplicationURL(std::string URL) { FApplicationURL = std::move(URL); }

  // Sends the browser to URL as the answer to the current request; returns at once.
  void GoToURL(const std::string& URL);
  // The pending redirect of the current request, or empty.
  const std::string& RedirectURL() const { return FRedirectURL; }
  void ClearRedirect() { FRedirectURL.clear(); }

  // The session's identifier, used in URLs when URL session tracking is on.
  const std::string& SessionID() const { return FSessionID; }

  TIWServerControllerBase* ServerController() const { return FServerController; }
  void SetServerController(TIWServerControllerBase* Value) { FServerController = Value; }

 private:
  std::string FApplicationURL;
  std::string FSessionID;
  std::string FRedirectURL;
  TIWServerControllerBase* FServerController = nullptr;
};

// The application-wide server controller: owner of the shared components and the place where
// the application sees every request before it is dispatched.
class TIWServerControllerBase : public rtl::TComponent {
 public:
  explicit TIWServerControllerBase(rtl::TComponent* AOwner) : TComponent(AOwner) {}
  std::string ClassName() const override { return "TIWServerControllerBase"; }

  // When on, sessions are tracked in the URL: the session id follows the application URL.
  bool URLSessionTracking() const { return FURLSessionTracking; }
  void SetURLSessionTracking(bool Value) { FURLSessionTracking = Value; }

  // Called for every request before it is dispatched; the application hands provider
  // returns to its auth server controller here.
  std::function<void(THttpRequest& Request, TIWApplication* Session)> OnBeforeDispatch;
  virtual void BeforeDispatch(THttpRequest& Request, TIWApplication* Session) {
    if (OnBeforeDispatch) OnBeforeDispatch(Request, Session);
  }

 private:
  bool FURLSessionTracking = false;
};

}  // namespace zelk::web
