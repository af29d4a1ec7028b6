// TZIWCustomCloudClient: the abstract client component every provider client derives from.
//
// Threads: each client's operations hold the client's own re-entrant lock (a handler may call
// back into the client); lock order: client before registry.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/AuthRegistry.h"
#include "core/AuthTypes.h"
#include "core/Credentials.h"
#include "core/Endpoints.h"
#include "core/Transport.h"
#include "platform/rtl/ClassRegistry.h"
#include "platform/rtl/StringList.h"

namespace zelk::IWZelkAuthBase {

// The abstract client: credentials, the signed-in user's id and name, the outcome with its
// error text and events, and the link to the controller that routes the provider's return.
//
// Concrete clients override Login (start a flow: new identifier, provider URL, redirect) and
// LoginResponse (finish it when the browser returns), and end LoginResponse by calling the
// base's, which raises OnLoginOK or OnLoginFailed.
class TZIWCustomCloudClient : public rtl::TComponent, public web::IIWSessionMember {
  // Declares the run-time state, which reaches the client's protected members.
  friend void RegisterAuthBaseClasses();

 public:
  explicit TZIWCustomCloudClient(rtl::TComponent* AOwner);
  ~TZIWCustomCloudClient() override;
  std::string ClassName() const override { return "TZIWCustomCloudClient"; }

  virtual void Login(TIWApplication* WebApplication);
  virtual void LoginResponse(const THttpRequest& Request);
  // Hands a routed provider return to LoginResponse and gives what it came to (NotThisFlow when
  // it reached no outcome). Call it holding the client's lock.
  TFlowOutcome HandleReturn(const THttpRequest& Request);
  // Signs the user out of this client: LoginResult goes back to resNone, LoginError, LoginID,
  // LoginUsername, the user record and every token are cleared, and a flow in progress is
  // forgotten (its return then reaches nobody). Raises no event; other clients are untouched.
  // Concrete clients clear their own state and then call the base's.
  virtual void SignOut();

  TZIWAuthServerController* ServerController() const;
  // Enters this client once into Value's registry; none removes every entry of this client from
  // the current controller.
  void SetServerController(TZIWAuthServerController* Value);
  // The session is being freed: leaves the controller (SetServerController(nullptr)).
  void LeaveSession() override { SetServerController(nullptr); }
  // The identifier and request token of the flow in progress, as the registry entries carry
  // them.
  std::vector<std::string> OpenFlowKeys() const override;

  // This client's own transport and host settings, for a test double or a proxy in front of
  // this client alone; by default every call goes the process-wide way (core/Transport.h,
  // core/Endpoints.h). Set them before the client's first call.
  TTransport Transport() const;
  void SetTransport(TTransport Value);
  TEndpoints Endpoints() const;
  void SetEndpoints(TEndpoints Value);

  TIWResult LoginResult() const;
  void SetLoginResult(TIWResult Value);
  std::string LoginError() const;
  void SetLoginError(std::string Value);
  bool DesignTime() const { return FDesignTime; }

 protected:
  // What the sign-in clients publish; the payment client keeps them hidden.
  TIWApp* App() const { return FApp.get(); }
  std::string LoginUsername() const;
  void SetLoginUsername(std::string Value);
  std::string LoginID() const;
  void SetLoginID(std::string Value);
  TNotifyEvent OnLoginOK() const;
  void SetOnLoginOK(TNotifyEvent Value);
  TNotifyEvent OnLoginFailed() const;
  void SetOnLoginFailed(TNotifyEvent Value);
  rtl::TStringList* Scope() const { return FScope.get(); }
  // Which API the sign-in clients speak (they publish it); read at each Login and
  // return.
  TIWApi Api() const;
  void SetApi(TIWApi Value);

  // The host Which has for this client: its own setting, else the process-wide one.
  std::string Host(TProviderHost Which) const;

  // The client's re-entrant lock: every operation of a concrete client holds it.
  std::unique_lock<std::recursive_mutex> Lock() const;
  // For the registration of client class C: a run-time state property (a text or a flag) kept
  // in the client's Field, read and written under the client's lock.
  template <typename C, typename V>
  static rtl::TPropertyInfo StateField(std::string Name, V C::*Field) {
    auto Get = [Field](C* Client) {
      auto L = Client->Lock();
      return Client->*Field;
    };
    auto Set = [Field](C* Client, V Value) {
      auto L = Client->Lock();
      Client->*Field = std::move(Value);
    };
    if constexpr (std::is_same_v<V, bool>)
      return rtl::props::Boolean<C>(std::move(Name), Get, Set);
    else
      return rtl::props::String<C>(std::move(Name), Get, Set);
  }
  // Raises Exception naming the class when no ServerController is assigned: without one the
  // provider's return could never be routed back.
  void CheckServerController(std::string_view Operation = "Login") const;
  // Makes a fresh client identifier (a GUID without braces; empty when none could be made) and
  // writes it into every registry entry of this client, clearing their flow tokens. Returns it.
  std::string NewFlowIdentifier();
  // Registers Token (an OAuth 1.0a request token) as the flow token of every registry entry of
  // this client, so that the provider's return is routed by it.
  void RegisterFlowToken(const std::string& Token);
  // The flow in progress as this client's registry entries carry it: the identifier and the
  // request token of its entries in ServerController's registry; empty when none carries one.
  std::string FlowIdentifier() const;
  std::string FlowToken() const;
  // Restoring a saved session: writes a flow's identifier, or its request token, into every
  // registry entry of this client, so that the provider's return is routed here again. Raises
  // Exception for a non-empty value when no ServerController is assigned (the return could not
  // be routed).
  void RestoreFlowIdentifier(const std::string& Id);
  void RestoreFlowToken(const std::string& Token);
  // Called by a concrete client when its LoginResponse reached an outcome, after LoginResult
  // and LoginError say which: the routed identifier is then spent. Denied: the failure is the
  // user's refusal at the provider (counted apart from other failures).
  // Whether a provider's return is the user's refusal: "error=access_denied" or
  // "error_reason=user_denied" (a provider's older word) in OAuth 2.0, "denied" in OAuth 1.0a.
  static bool Refused(const THttpRequest& Request) {
    return Request.Query("error") == "access_denied" ||
           Request.Query("error_reason") == "user_denied" || !Request.Query("denied").empty();
  }
  void ReachOutcome(bool Denied = false) {
    FOutcome = TFlowOutcome::Of(FLoginResult, FLoginError, Denied);
  }
  // Leaves every registry and stops routing to this client. Concrete clients call it first in
  // their destructors so that no request reaches a half-destroyed client; it is idempotent.
  void Detach();

 private:
  friend class TZIWAuthServerController;
  friend class TAuthClient;
  std::shared_ptr<detail::TClientGuard> FGuard;
  bool FDesignTime = false;
  std::unique_ptr<TIWApp> FApp;
  std::string FLoginUsername;
  std::string FLoginID;
  TZIWAuthServerController* FServerController = nullptr;
  TIWResult FLoginResult = resNone;
  std::string FLoginError;
  TNotifyEvent FOnLoginOK;
  TNotifyEvent FOnLoginFailed;
  std::unique_ptr<rtl::TStringList> FScope;
  // What the return being handled came to; guarded by the client's lock.
  TFlowOutcome FOutcome;
  TIWApi FApi = apClassic;
  TTransport FTransport;
  TEndpoints FEndpoints;
};

// Makes TComponent, TIWApp, TZIWCustomCloudClient and TZIWAuthServerController with their
// published properties (form files) and run-time state (sessions' states) known to the class
// registry. The client base's state: LoginResult, LoginError, LoginID, LoginUsername and the flow
// in progress as its registry entries carry it (FlowID, FlowToken).
void RegisterAuthBaseClasses();

}  // namespace zelk::IWZelkAuthBase
