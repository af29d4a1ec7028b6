// TDemoApplication: the whole demo in one object: the provider simulator (unless the real
// providers are asked for), the application-wide server controller with its auth server
// controller, the HTTP server with one TDemoForm per browser session, and the page routes.
//
// Contract: the constructor reads and checks the form file and, for the simulator, starts it
// and points this process's provider endpoints and trusted CAs at it (a process-wide setting:
// one demo per process). Start()/RunUntilSignal() listen; the destructor stops everything.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/IWZelkAuthBase.h"
#include "examples/demo/DemoForm.h"
#include "examples/demo/DemoOptions.h"
#include "platform/web/IWApplication.h"
#include "platform/web/server/IWServer.h"
#include "sim/AllProviders.h"
#include "sim/Simulator.h"

namespace zelk::demo {

class TDemoApplication {
 public:
  // DefaultFormFile is read when Options names no form file. Raises rtl::Exception (EFormError
  // for a bad form file) with a message for the user.
  TDemoApplication(const TDemoOptions& Options, const std::string& DefaultFormFile);
  ~TDemoApplication();
  TDemoApplication(const TDemoApplication&) = delete;
  TDemoApplication& operator=(const TDemoApplication&) = delete;

  void Start();
  void Stop();
  // Starts, calls OnRunning, serves until SIGINT or SIGTERM, stops. Returns the signal.
  int RunUntilSignal(const std::function<void()>& OnRunning);

  int Port() const;
  // The address to open in a browser, e.g. "http://127.0.0.1:8080/".
  std::string URL() const;
  // Flows the form file gives no credentials for (only with the real providers).
  const std::vector<std::string>& Unconfigured() const { return FUnconfigured; }

  // Null with the real providers.
  sim::Simulator* Simulator() const { return FSimulator.get(); }
  sim::TAllProviders* Providers() const { return FProviders.get(); }
  web::TIWServer& Server() const { return *FServer; }
  IWZelkAuthBase::TZIWAuthServerController* AuthController() const { return FAuthController; }

 private:
  void AddRoutes();
  // Registers the demo's return address with the simulated Twitter application, once the
  // server listens and its port is known.
  void AllowTwitterCallbacks();

  TDemoOptions FOptions;
  // Destroyed in reverse order: the server before the controller it serves, the simulator
  // last.
  std::unique_ptr<sim::Simulator> FSimulator;
  std::unique_ptr<sim::TAllProviders> FProviders;
  std::unique_ptr<web::TIWServerControllerBase> FServerController;
  IWZelkAuthBase::TZIWAuthServerController* FAuthController = nullptr;  // owned by the above
  TDemoSetup FSetup;
  std::vector<std::string> FUnconfigured;
  std::unique_ptr<web::TIWServer> FServer;
};

}  // namespace zelk::demo
