// The web-framework objects the components talk to: the session's application object and the
// application-wide server controller. The HTTP server behind them fills these in per request;
// tests create them directly.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

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

  // The session's identifier, used in URLs when URL session tracking is on. The server gives
  // the session a new one when a flow succeeds.
  const std::string& SessionID() const { return FSessionID; }
  void SetSessionID(std::string Value) { FSessionID = std::move(Value); }

  // Records that a sign-in or payment of this session succeeded: the session is established
  // from then on (never pushed out by new ones), and the server gives it a new identifier at the
  // end of the request, so an identifier known before the sign-in no longer reaches it.
  void FlowSucceeded();
  bool Established() const { return FEstablished; }
  // Whether FlowSucceeded asked for a new identifier the server has not yet given; the server
  // clears it once it has.
  bool SessionIDRenewalPending() const { return FRenewSessionID; }
  void ClearSessionIDRenewal() { FRenewSessionID = false; }

  // Signs the user out of this whole session: at the end of the current request the server
  // frees the session (its components, and with them every flow in progress, are gone) and the
  // answer clears the session cookie, so the browser's next request starts a fresh session and
  // the old identifier names nothing. Outside a server (tests) it only sets the flag.
  void EndSession() { FEndRequested = true; }
  bool SessionEndRequested() const { return FEndRequested; }

  // The form field that carries the form token.
  static constexpr const char* FormTokenField = "zelk_form_token";
  // The session's form token (64 hexadecimal digits from the CSPRNG, made on first use): every
  // form that changes state carries it in FormTokenField. Raises Exception when no random bytes
  // can be had.
  const std::string& FormToken();
  // Whether Request carries this session's form token in its body's field FormTokenField;
  // compared in constant time. False while no token was issued. A token in the query does not
  // count: addresses end up in logs, histories and Referer headers.
  bool CheckFormToken(const THttpRequest& Request) const;

  TIWServerControllerBase* ServerController() const { return FServerController; }
  void SetServerController(TIWServerControllerBase* Value) { FServerController = Value; }

  // The application's own per-session state: what its pages show and remember between requests
  // (outcomes, notices, one-time tokens), by name. A session's saved state
  // (platform/web/SessionState.h) carries it with the components' state, so a session restored
  // elsewhere shows the same page. Reached under the session's lock, like everything here.
  using TValues = std::map<std::string, std::string>;
  const TValues& Values() const { return FValues; }
  // The value of Name; empty when it has none.
  const std::string& Value(const std::string& Name) const;
  void SetValue(const std::string& Name, std::string V);
  void EraseValue(const std::string& Name);

 private:
  // A session's saved state holds the form token as it is (none before one was issued), and
  // restoring it sets what only the server and the application change otherwise.
  friend nlohmann::json WriteSessionState(TIWApplication& Application);
  friend void ReadSessionState(TIWApplication& Application, const nlohmann::json& State);
  std::string FApplicationURL;
  std::string FSessionID;
  std::string FRedirectURL;
  std::string FFormToken;
  bool FEstablished = false;
  bool FRenewSessionID = false;
  bool FEndRequested = false;
  TIWServerControllerBase* FServerController = nullptr;
  TValues FValues;
};

// The hooks the server finds a flow's session and frees a session by, implemented by the
// components that start and route provider flows; the server looks for them among the server
// controller's components (at any depth) and among a session's.
//
// A directory of open flows: a provider's return names its flow (FlowNameOf), and the server
// serves it in the session that started the flow.
class IIWFlowDirectory {
 public:
  using TFlowVisit =
      std::function<bool(const rtl::TComponent& Top, const std::shared_ptr<const void>& Found)>;
  virtual ~IIWFlowDirectory() = default;
  // Calls Visit as VisitFlowOwners does (VisitFlowTokenOwners for a request token) for the flow
  // Name names, with the directory's own record of that flow (Found; may be empty). The server
  // hands the record back with the request (THttpRequest::RoutedFlow), so that the directory
  // completes the flow without looking for it again. Returns whether Visit returned true.
  virtual bool VisitFlow(const TFlowName& Name, const TFlowVisit& Visit) {
    if (!Name.Named()) return false;
    const auto Owner = [&Visit](const rtl::TComponent& Top) { return Visit(Top, nullptr); };
    return Name.ByToken() ? VisitFlowTokenOwners(Name.Key, Owner)
                          : VisitFlowOwners(Name.Key, Owner);
  }
  // Calls Visit with the topmost owner (a session's application object, or none's) of each
  // component that started the flow Id, in the order the flows were opened, while those
  // components are kept from being freed, until Visit returns true. Returns whether it did.
  virtual bool VisitFlowOwners(std::string_view Id,
                               const std::function<bool(const rtl::TComponent& Top)>& Visit) = 0;
  // The same for a flow known by the request token a client registered for it: an OAuth 1.0a
  // return carries the provider's token, not an identifier of ours. A directory without such
  // flows finds none.
  virtual bool VisitFlowTokenOwners(
      std::string_view /*Token*/,
      const std::function<bool(const rtl::TComponent& Top)>& /*Visit*/) {
    return false;
  }
  // How many flows wait for their provider's return now (started, no outcome yet). A server
  // that drains before it stops waits for them; a directory that keeps no count reports none.
  virtual std::size_t OpenFlowCount() { return 0; }
};

// A component of a session that is known elsewhere (a flow directory) and leaves it before the
// session's application object is freed; leaving waits for a request another thread is routing
// to it.
class IIWSessionMember {
 public:
  virtual ~IIWSessionMember() = default;
  virtual void LeaveSession() = 0;
  // What names the flows of this member that wait for their provider's return (identifiers and
  // request tokens): a server that keeps sessions in a store records which session each belongs
  // to, so that a return can find its session on any instance.
  virtual std::vector<std::string> OpenFlowKeys() const { return {}; }
};

// A component among the server controller's whose figures the server's metrics route shows
// (the Prometheus text format: "# HELP", "# TYPE" and sample lines).
class IIWMetricsSource {
 public:
  virtual ~IIWMetricsSource() = default;
  virtual std::string MetricsText() const = 0;
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
