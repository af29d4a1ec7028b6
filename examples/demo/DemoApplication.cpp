#include "examples/demo/DemoApplication.h"

#include <chrono>
#include <fstream>
#include <sstream>

#include "design/IWZelkAuthReg.h"
#include "platform/rtl/FormFile.h"
#include "platform/web/FlowName.h"

namespace zelk::demo {

namespace {

std::string ReadTextFile(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  if (!In) throw rtl::Exception("Cannot read the form file \"" + Path + "\"");
  std::ostringstream Text;
  Text << In.rdbuf();
  if (In.bad()) throw rtl::Exception("Cannot read the form file \"" + Path + "\"");
  return Text.str();
}

using TPage = web::TIWServer::TPageHandler;

// A page that works on the session's form; a session always has one (made in OnNewSession).
TPage OnForm(std::function<void(TDemoForm&, const web::THttpRequest&)> Action) {
  return [Action = std::move(Action)](web::TIWApplication& App, const web::THttpRequest& Request,
                                      web::THttpResponse& Response) {
    TDemoForm* Form = DemoFormOf(&App);
    if (Form == nullptr) throw rtl::Exception("This session has no demo form.");
    // Every action changes state: it must come from a form of this session's page.
    if (!App.CheckFormToken(Request)) {
      Response.SetStatusCode(403);
      Response.SetContent(
          "<!DOCTYPE html>\n<html><body><p>This form has expired or was not sent from this "
          "application's page. <a href=\"/\">Reload the page</a> and try again.</p></body>"
          "</html>\n",
          "text/html; charset=utf-8");
      return;
    }
    Action(*Form, Request);
  };
}

}  // namespace

TDemoApplication::TDemoApplication(const TDemoOptions& Options, const std::string& DefaultFormFile)
    : FOptions(Options) {
  IWZelkAuthReg::RegisterClasses();
  const std::string FormFile = Options.FormFile.empty() ? DefaultFormFile : Options.FormFile;
  FSetup.Form = rtl::ParseForm(ReadTextFile(FormFile), FormFile);
  FSetup.FormName = FormFile;

  // The form is checked once here, so that a bad file stops the demo at start-up instead of
  // failing every new session.
  {
    rtl::TComponent Probe(nullptr);
    const TDemoClients Clients = LoadDemoComponents(&Probe, FSetup.Form, FSetup.FormName);
    if (Options.Live) FUnconfigured = MissingCredentials(Clients);
  }

  if (!Options.Live) {
    FSimulator = std::make_unique<sim::Simulator>();
    FProviders = sim::InstallAllProviders(*FSimulator);
    FSimulator->Start();
    FSimulator->UseForThisProcess();
    FSetup.Credentials = &FProviders->Credentials();
  }

  FServerController = std::make_unique<web::TIWServerControllerBase>(nullptr);
  // Owned by the server controller: PayPal's Express Checkout insists on it, and the one
  // controller routes every session's provider returns.
  FAuthController = new IWZelkAuthBase::TZIWAuthServerController(FServerController.get());
  FAuthController->SetName("AuthController");
  FSetup.Controller = FAuthController;

  FServerController->OnBeforeDispatch = [](web::THttpRequest& Request,
                                           web::TIWApplication* Session) {
    if (!web::FlowNameOf(Request).Named()) return;
    if (TDemoForm* Form = DemoFormOf(Session)) Form->HandleReturn(Request);
  };

  web::TIWServerOptions ServerOptions;
  ServerOptions.BindAddress = Options.BindAddress;
  ServerOptions.Port = Options.Port;
  if (Options.KeepAliveSeconds > 0)
    ServerOptions.KeepAliveTimeout = std::chrono::seconds(Options.KeepAliveSeconds);
  if (Options.MaxConnectionsPerAddress > 0)
    ServerOptions.MaxConnectionsPerAddress =
        static_cast<std::size_t>(Options.MaxConnectionsPerAddress);
  ServerOptions.AccessLog = Options.AccessLogFile;
  if (Options.MaxNewSessionsPerMinute >= 0)
    ServerOptions.MaxNewSessionsPerMinute =
        static_cast<std::size_t>(Options.MaxNewSessionsPerMinute);
  if (Options.MaxSessions > 0)
    ServerOptions.MaxSessions = static_cast<std::size_t>(Options.MaxSessions);
  if (Options.DrainTimeoutSeconds >= 0)
    ServerOptions.DrainTimeout = std::chrono::seconds(Options.DrainTimeoutSeconds);
  ServerOptions.PublicBaseURL = Options.PublicBaseURL;
  ServerOptions.SessionStore = Options.SessionStore;
  ServerOptions.SessionKeyFile = Options.SessionKeyFile;
  FServer = std::make_unique<web::TIWServer>(*FServerController, ServerOptions);
  FServer->SetOnNewSession([this](web::TIWApplication& App) { new TDemoForm(&App, FSetup); });
  AddRoutes();
}

TDemoApplication::~TDemoApplication() {
  FServer.reset();
  FServerController.reset();
  if (FSimulator) FSimulator->Stop();
}

void TDemoApplication::AddRoutes() {
  FServer->AddRoute(
      "GET", "/",
      [](web::TIWApplication& App, const web::THttpRequest&, web::THttpResponse& Response) {
        TDemoForm* Form = DemoFormOf(&App);
        if (Form == nullptr) throw rtl::Exception("This session has no demo form.");
        Form->PageShown();
        TDemoPageModel Model = Form->PageModel();
        Model.FormToken = App.FormToken();
        Model.CardToken = Form->IssueCardToken();
        Response.SetContent(RenderDemoPage(Model), "text/html; charset=utf-8");
        Response.SetHeader("Content-Security-Policy", kDemoContentSecurityPolicy);
      });
  for (const auto& [Path, Flow] :
       {std::pair{"/google/login", dfGoogle}, std::pair{"/facebook/login", dfFacebook},
        std::pair{"/windowslive/login", dfWindowsLive}, std::pair{"/twitter/login", dfTwitter}}) {
    const TDemoFlow F = Flow;
    FServer->AddRoute("POST", Path,
                      OnForm([F](TDemoForm& Form, const web::THttpRequest&) { Form.SignIn(F); }));
  }
  FServer->AddRoute("POST", "/facebook/post",
                    OnForm([](TDemoForm& Form, const web::THttpRequest& R) {
                      Form.PostStatus(dfFacebookPost, R.ContentField("status"));
                    }));
  FServer->AddRoute("POST", "/twitter/post",
                    OnForm([](TDemoForm& Form, const web::THttpRequest& R) {
                      Form.PostStatus(dfTwitterPost, R.ContentField("status"));
                    }));
  FServer->AddRoute(
      "GET", "/status",
      [](web::TIWApplication&, const web::THttpRequest&, web::THttpResponse& Response) {
        Response.SetContent(RenderStatusPage(IWZelkAuthBase::ProviderCounters()),
                            "text/html; charset=utf-8");
      });
  FServer->AddRoute("POST", "/card/pay",
                    OnForm([](TDemoForm& Form, const web::THttpRequest& R) { Form.PayByCard(R); }));
  FServer->AddRoute("POST", "/signout",
                    OnForm([](TDemoForm& Form, const web::THttpRequest&) { Form.SignOut(); }));
  FServer->AddRoute("POST", "/paypal/checkout",
                    OnForm([](TDemoForm& Form, const web::THttpRequest&) { Form.PayOnline(); }));
}

void TDemoApplication::Start() {
  FServer->Start();
  AllowTwitterCallbacks();
}

void TDemoApplication::AllowTwitterCallbacks() {
  // Twitter's current API sends the browser back only to an address registered for the
  // application: the simulator's demo consumer learns the demo's, by address and by name.
  if (!FProviders) return;
  const std::string Port = std::to_string(this->Port());
  for (const char* Host : {"127.0.0.1", "localhost"})
    FProviders->Twitter().AllowCallback(sim::TwitterSim::kDefaultConsumerKey,
                                        "http://" + std::string(Host) + ":" + Port + "/");
  if (const std::string Own = URL(); Own.find("127.0.0.1") == std::string::npos)
    FProviders->Twitter().AllowCallback(sim::TwitterSim::kDefaultConsumerKey, Own);
}

void TDemoApplication::Stop() {
  FServer->Stop();
}

int TDemoApplication::RunUntilSignal(const std::function<void()>& OnRunning) {
  return FServer->RunUntilSignal([this, &OnRunning] {
    AllowTwitterCallbacks();
    if (OnRunning) OnRunning();
  });
}

int TDemoApplication::Port() const {
  return FServer->Port();
}

std::string TDemoApplication::URL() const {
  // An address that listens everywhere is reached through loopback from this machine.
  std::string Host = FOptions.BindAddress;
  if (Host == "0.0.0.0" || Host == "::" || Host == "[::]") Host = "127.0.0.1";
  if (Host.find(':') != std::string::npos && Host.front() != '[') Host = "[" + Host + "]";
  return "http://" + Host + ":" + std::to_string(Port()) + "/";
}

}  // namespace zelk::demo
