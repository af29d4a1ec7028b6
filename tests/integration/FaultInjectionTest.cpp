// Fault injection through the simulator for every call a client makes to a provider. Each call
// meets, in turn: the provider's own error document with its error status, an HTML page in place
// of the provider's format, an empty body, a document cut short (delivered whole), a connection
// cut mid-body, a stall past the (lowered) time-out, a reset connection, a certificate the
// transport does not trust and a host name that does not resolve.
//
// Each ends as documented. A transport failure raises the transport's exception, naming its
// step, out of the operation that made the call, and leaves LoginResult and LoginError as they
// were, raises no event and redirects nowhere; except a payment whose request went out before
// the failure (a cut, a stall, a reset): that ends as the payment's outcome, since PayPal may
// have taken it (a card payment unknown, Express Checkout as the checkout's status says). A
// reply the client cannot use ends as that client's failure table says (resFailed, its
// LoginError, its event; a refused request token or checkout without an event). After every
// fault the same provider serves a complete flow again.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "payments/IWPayPalClient.h"
#include "providers/IWFacebookAuthClient.h"
#include "providers/IWGAuthClient.h"
#include "providers/IWTwitterAuthClient.h"
#include "providers/IWWindowsLiveAuthClient.h"
#include "sim/FacebookSim.h"
#include "sim/GoogleSim.h"
#include "sim/PayPalSim.h"
#include "sim/TwitterSim.h"
#include "sim/WindowsLiveSim.h"
#include "support/FakeApplication.h"
#include "support/HtmlForm.h"
#include "support/PayPalTestClient.h"
#include "support/ProviderPage.h"
#include "support/SimBrowser.h"
#include "support/SimulatorFixture.h"

namespace zelk {
namespace {

using namespace std::chrono_literals;
using IWZelkAuthBase::resFailed;
using IWZelkAuthBase::resNone;
using IWZelkAuthBase::resOK;
using IWZelkAuthBase::TIWResult;
using IWZelkAuthBase::TProviderHost;
using IWZelkAuthBase::TZIWAuthServerController;
using sim::TFault;
using sim::TProviderId;

constexpr auto kStallTimeout = 400ms;
constexpr auto kNormalStallTimeout = 5s;
// A 64-character label is no valid DNS name: the resolver refuses it without asking a server.
const std::string kUnknownHost = std::string(64, 'z') + ".invalid";

enum class TFaultKind {
  ErrorDocument,
  Html,
  Empty,
  Truncated,
  CutConnection,
  Stall,
  Reset,
  UntrustedCertificate,
  UnknownHost
};

constexpr TFaultKind kEveryFault[] = {TFaultKind::ErrorDocument, TFaultKind::Html,
                                      TFaultKind::Empty,         TFaultKind::Truncated,
                                      TFaultKind::CutConnection, TFaultKind::Stall,
                                      TFaultKind::Reset,         TFaultKind::UntrustedCertificate,
                                      TFaultKind::UnknownHost};

const char* Name(TFaultKind F) {
  switch (F) {
    case TFaultKind::ErrorDocument:
      return "the provider's error document";
    case TFaultKind::Html:
      return "an HTML page";
    case TFaultKind::Empty:
      return "an empty body";
    case TFaultKind::Truncated:
      return "a document cut short";
    case TFaultKind::CutConnection:
      return "a connection cut mid-body";
    case TFaultKind::Stall:
      return "a stall";
    case TFaultKind::Reset:
      return "a reset connection";
    case TFaultKind::UntrustedCertificate:
      return "an untrusted certificate";
    case TFaultKind::UnknownHost:
      return "an unknown host";
  }
  return "?";
}

bool IsTransportFault(TFaultKind F) {
  return F >= TFaultKind::CutConnection;
}

// The transport faults that strike once the whole request was sent.
bool StrikesAfterSending(TFaultKind F) {
  return F == TFaultKind::CutConnection || F == TFaultKind::Stall || F == TFaultKind::Reset;
}

const std::string kHtmlPage =
    "<!DOCTYPE html><html><head><title>Down for maintenance</title></head><body><h1>We will be "
    "back soon</h1><p>This service is down for maintenance.</p></body></html>";

// The operations of a flow, out of which a transport failure comes.
enum class TOperation { Login, Return, Post, PayDirect, PayOnline };

// What one run of a flow showed.
struct TObserved {
  std::optional<TOperation> Raised;  // the operation that raised
  std::string Message;               // its exception's message
  TIWResult Result = resNone;        // LoginResult at the end
  std::string Error;                 // LoginError at the end
  std::string Returned;              // PayDirect's or PayOnline's result: "ok" or "failed"
  std::vector<std::string> Events;   // every event, in order, with its text
  std::string Redirect;              // where Login or PayOnline sent the browser
};

// What a reply the client cannot use ends in.
struct TDataOutcome {
  TIWResult Result = resFailed;
  std::string Error;
  std::vector<std::string> Events;
  std::string Returned;
};

// One call a client makes to a provider.
struct TCall {
  std::string Name;
  TProviderId Provider;
  std::string Path;
  std::string When;  // PayPal: the NVP method of "/nvp"
  TProviderHost Host;
  TOperation Operation;
  // The call before it in the same operation and on the same host, answered by a stand-in
  // that moves the host setting, so that a certificate or name fault hits this call alone.
  std::string PrecedingPath;
  std::string PrecedingReply;
  int ErrorStatus = 400;
  std::string ErrorDocument;
  std::string Truncated;  // the start of a success document
  std::function<TDataOutcome(TFaultKind, const std::string& Body)> Expect;
  // The API the sign-in client speaks.
  IWZelkAuthBase::TIWApi Api = IWZelkAuthBase::apClassic;
  // A payment: how a transport fault after sending ends, given the fault's message (its Error
  // is then the start of LoginError). Unset: such faults raise like every other.
  std::function<TDataOutcome(TFaultKind, const std::string& Message)> AfterSending = {};
};

TDataOutcome SignInFailed(TFaultKind, const std::string&) {
  return {resFailed, "", {"LoginFailed"}, ""};
}

// A current-mode sign-in meeting a reply it cannot use: the provider's error text from its error
// document, else the flow's own text.
std::function<TDataOutcome(TFaultKind, const std::string&)> CurrentSignInFailed(
    std::string ProviderText, std::string Otherwise) {
  return [ProviderText, Otherwise](TFaultKind F, const std::string&) {
    return TDataOutcome{
        resFailed, F == TFaultKind::ErrorDocument ? ProviderText : Otherwise, {"LoginFailed"}, ""};
  };
}
const std::string kNoToken = "The provider's token reply carries no access token";
const std::string kNoUser = "The provider's profile reply does not identify a user";

const std::string kPayPalFailure =
    "ACK=Failure&L_ERRORCODE0=10001&L_SHORTMESSAGE0=Internal%20Error&L_LONGMESSAGE0=Timeout%20"
    "processing%20request&L_SEVERITYCODE0=Error&VERSION=65.1";

std::vector<TCall> EveryCall() {
  using enum TProviderId;
  using enum TOperation;
  using namespace IWZelkAuthBase;
  return {
      {"Google token exchange", Google, "/o/oauth2/token", "", phGoogleAccounts, Return, "", "",
       400, R"({"error":"invalid_grant","error_description":"Malformed auth code."})",
       R"({"access_token":"ya29.A0AfH6SMBx","expires_in":35)", SignInFailed},
      {"Google user info", Google, "/oauth2/v1/userinfo", "", phGoogleApis, Return, "", "", 401,
       R"({"error":{"errors":[{"domain":"global","reason":"authError","message":"Invalid )"
       R"(Credentials"}],"code":401,"message":"Invalid Credentials"}})",
       R"({"id":"110248495921238986420","name":"Zo)", SignInFailed},
      {"Facebook token exchange", Facebook, "/oauth/access_token", "", phFacebookGraph, Return, "",
       "", 400,
       R"({"error":{"message":"Invalid verification code format.","type":"OAuthException",)"
       R"("code":100,"fbtrace_id":"AbCdEf"}})",
       R"({"access_token":"EAAGm0PX4ZCpsBA)",
       [](TFaultKind F, const std::string&) {
         return TDataOutcome{
             resFailed,
             F == TFaultKind::ErrorDocument ? "Invalid verification code format." : "",
             {"LoginFailed"},
             ""};
       }},
      {"Facebook profile", Facebook, "/me", "", phFacebookGraph, Return, "/oauth/access_token",
       R"({"access_token":"EAAGstandin","token_type":"bearer"})", 400,
       R"({"error":{"message":"Invalid OAuth access token.","type":"OAuthException","code":190}})",
       R"({"id":"100004","name":"Ren)", SignInFailed},
      {"Facebook wall post", Facebook, "/method/stream.publish", "", phFacebookRest, Post, "", "",
       200, R"({"error_code":190,"error_msg":"Invalid OAuth 2.0 Access Token","request_args":[]})",
       R"("1000045)",
       [](TFaultKind F, const std::string& Body) {
         // Anything but a post id fails the post: with the error document's message, else the
         // reply's start.
         const std::string Message =
             F == TFaultKind::ErrorDocument ? "Invalid OAuth 2.0 Access Token"
             : Body.empty()                 ? "Facebook answered the post with an empty reply"
                                            : Body.substr(0, 200);
         return TDataOutcome{resOK, "", {"LoginOK", "PostFailed:" + Message}, ""};
       }},
      {"Windows Live token exchange", WindowsLive, "/oauth20_token.srf", "", phWindowsLiveLogin,
       Return, "", "", 400,
       R"({"error":"invalid_grant","error_description":"The provided value for the 'code' )"
       R"(parameter is not valid."})",
       R"({"access_token":"EwB+/A==","token_ty)", SignInFailed},
      {"Windows Live profile", WindowsLive, "/v5.0/me", "", phWindowsLiveApis, Return, "", "", 401,
       R"({"error":{"code":"request_token_invalid","message":"The access token isn't valid."}})",
       R"({"id":"8c8ce076ca27823f","na)", SignInFailed},
      {"Twitter request token", Twitter, "/oauth/request_token", "", phTwitterApi, Login, "", "",
       401, R"({"errors":[{"code":32,"message":"Could not authenticate you."}]})",
       "oauth_token=Z6eEdO8MOmk394WozF5oKyuAv855l4Mlqo7hhlSLik&oauth_token_sec",
       [](TFaultKind, const std::string& Body) {
         // The reply itself is the error; the browser stays, no event.
         return TDataOutcome{resFailed, Body, {}, ""};
       }},
      {"Twitter access token", Twitter, "/oauth/access_token", "", phTwitterApi, Return, "", "",
       401, R"({"errors":[{"code":89,"message":"Invalid or expired token."}]})",
       "oauth_token=6253282-eWudHldSbIaelX7swmsiHImEL4KinwaGloHANdrY&oauth_token_secret=2EEf",
       SignInFailed},
      {"Twitter status update", Twitter, "/1/statuses/update.json", "", phTwitterApi, Post, "", "",
       403, R"({"errors":[{"code":187,"message":"Status is a duplicate."}]})",
       R"({"id":243145735212777472,"id_str":"2431457)",
       [](TFaultKind F, const std::string& Body) {
         // A reply naming "id_str" that is no JSON object reports nothing.
         std::vector<std::string> Events{"LoginOK"};
         if (F != TFaultKind::Truncated) Events.push_back("PostFailed:" + Body);
         return TDataOutcome{resOK, "", Events, ""};
       }},
      {"PayPal direct payment", PayPal, "/nvp", "METHOD=doDirectPayment", phPayPalSandboxNvp,
       PayDirect, "", "", 200, kPayPalFailure,
       "TIMESTAMP=2026%2d01%2d01T00%3a00%3a00Z&CORRELATIONID=3d4f&AC",
       [](TFaultKind, const std::string&) {
         return TDataOutcome{resNone, "", {}, "failed"};
       },
       apClassic,
       // The card may have been charged: reported, not raised, and no outcome of the client's.
       [](TFaultKind, const std::string& Message) {
         return TDataOutcome{
             resNone, IWPayPalClient::detail::UnknownOutcomeText(Message), {}, "unknown"};
       }},
      {"PayPal SetExpressCheckout", PayPal, "/nvp", "METHOD=SetExpressCheckout", phPayPalSandboxNvp,
       PayOnline, "", "", 200, kPayPalFailure, "TOKEN=EC%2d1NK66318YB717835M&TIMESTAMP=2026%2d01",
       [](TFaultKind F, const std::string&) {
         return TDataOutcome{
             resNone,
             F == TFaultKind::ErrorDocument ? "Internal Error. Timeout processing request. " : "",
             {},
             "failed"};
       }},
      {"PayPal GetExpressCheckoutDetails", PayPal, "/nvp", "METHOD=GetExpressCheckoutDetails",
       phPayPalSandboxNvp, Return, "", "", 200, kPayPalFailure,
       "TOKEN=EC%2d1NK&CHECKOUTSTATUS=PaymentActionNotInitiated&TIMESTA",
       [](TFaultKind, const std::string&) {
         return TDataOutcome{resFailed, "Payment failed", {"PayPalFailed"}, "ok"};
       }},
      {"PayPal DoExpressCheckoutPayment", PayPal, "/nvp", "METHOD=DoExpressCheckoutPayment",
       phPayPalSandboxNvp, Return, "/nvp", "TOKEN=EC%2d1NK&ACK=Success&PAYERID=QYR5Z8XDVJNXQ", 200,
       kPayPalFailure, "TOKEN=EC%2d1NK&SUCCESSPAGEREDIRECTREQUESTED=false&TIMESTAMP=20",
       [](TFaultKind, const std::string&) {
         return TDataOutcome{resFailed, "Payment failed", {"PayPalFailed"}, "ok"};
       },
       apClassic,
       // The checkout's status decides: a cut comes after PayPal took the payment, a stall or a
       // reset before it did.
       [](TFaultKind F, const std::string&) {
         if (F == TFaultKind::CutConnection) return TDataOutcome{resOK, "", {"PayPalOK"}, "ok"};
         return TDataOutcome{resFailed, "Payment failed", {"PayPalFailed"}, "ok"};
       }},
      // The current APIs: HTTP/1.1 calls with header blocks.
      {"Google current token exchange", Google, "/token", "", phGoogleOAuth2, Return, "", "", 400,
       R"({"error":"invalid_grant","error_description":"Invalid code verifier."})",
       R"({"access_token":"ya29.A0AfH6SMBx","expires_in":35)",
       CurrentSignInFailed("Invalid code verifier.", kNoToken), apCurrent},
      {"Google current user info", Google, "/v1/userinfo", "", phGoogleOpenId, Return, "", "", 401,
       R"({"error":"invalid_token","error_description":"Invalid Credentials"})",
       R"({"sub":"108204268033311374519","na)", CurrentSignInFailed("Invalid Credentials", kNoUser),
       apCurrent},
      {"Facebook current token exchange", Facebook, "/v25.0/oauth/access_token", "",
       phFacebookGraph, Return, "", "", 400,
       R"({"error":{"message":"This authorization code has been used.","type":"OAuthException",)"
       R"("code":100,"fbtrace_id":"AbCdEf"}})",
       R"({"access_token":"EAAGm0PX4ZCpsBA)",
       CurrentSignInFailed("This authorization code has been used.", kNoToken), apCurrent},
      // The stand-in takes the token route's own (pattern) path, so that healing replaces it.
      {"Facebook current profile", Facebook, "/v25.0/me", "", phFacebookGraph, Return,
       "/*/oauth/access_token", R"({"access_token":"EAAGstandin","token_type":"bearer"})", 400,
       R"({"error":{"message":"Invalid appsecret_proof provided in the API argument",)"
       R"("type":"GraphMethodException","code":100}})",
       R"({"id":"100004","name":"Ren)",
       CurrentSignInFailed("Invalid appsecret_proof provided in the API argument", kNoUser),
       apCurrent},
      {"Microsoft token exchange", WindowsLive, "/common/oauth2/v2.0/token", "", phMicrosoftLogin,
       Return, "", "", 400,
       R"({"error":"invalid_grant","error_description":"AADSTS54005: OAuth2 Authorization code )"
       R"(was already redeemed."})",
       R"({"token_type":"Bearer","access_token":"EwA)",
       CurrentSignInFailed("AADSTS54005: OAuth2 Authorization code was already redeemed.",
                           kNoToken),
       apCurrent},
      {"Microsoft Graph profile", WindowsLive, "/v1.0/me", "", phMicrosoftGraph, Return, "", "",
       401, R"({"error":{"code":"InvalidAuthenticationToken","message":"Access token is empty."}})",
       R"({"displayName":"\u0141ukasz","i)", CurrentSignInFailed("Access token is empty.", kNoUser),
       apCurrent},
  };
}

class FaultInjection : public testing::SimulatorFixture,
                       public ::testing::WithParamInterface<std::size_t> {
 protected:
  void SetUp() override {
    SimulatorFixture::SetUp();
    InstallProviders();
    Browser = std::make_unique<testing::SimBrowser>(Sim);
  }

  void InstallProviders() {
    Google = std::make_unique<sim::GoogleSim>(Sim);
    Facebook = std::make_unique<sim::FacebookSim>(Sim);
    Live = std::make_unique<sim::WindowsLiveSim>(Sim);
    Twitter = std::make_unique<sim::TwitterSim>(Sim);
    PayPal = std::make_unique<sim::TPayPalSim>(Sim);
  }

  // Makes Call misbehave with Fault from now on. Faults that move the host setting wait for
  // the call's operation (Arm).
  void Inject(const TCall& Call, TFaultKind Fault) {
    FCall = &Call;
    FFault = Fault;
    TFault F;
    switch (Fault) {
      case TFaultKind::ErrorDocument:
        F = TFault::Reply(Call.ErrorStatus, Call.ErrorDocument);
        break;
      case TFaultKind::Html:
        F = TFault::Reply(200, kHtmlPage);
        break;
      case TFaultKind::Empty:
        F = TFault::Reply(200, "");
        break;
      case TFaultKind::Truncated:
        F = TFault::Reply(200, Call.Truncated);
        break;
      case TFaultKind::CutConnection:
        F = TFault::CutAfter(0);
        break;
      case TFaultKind::Stall:
        F = TFault::Delayed(30s);  // cut short when the simulator stops
        break;
      case TFaultKind::Reset:
        F = TFault::ResetConnection();
        break;
      case TFaultKind::UntrustedCertificate:
      case TFaultKind::UnknownHost:
        return;
    }
    Sim.SetFault(Call.Provider, Call.Path, Call.When.empty() ? F : F.OnlyWhen(Call.When));
  }

  // Called before each operation of a flow: a certificate or name fault moves the call's host
  // setting now, or has the call before it do so.
  void Arm(TOperation Operation) {
    if (FCall == nullptr || Operation != FCall->Operation) return;
    if (FFault != TFaultKind::UntrustedCertificate && FFault != TFaultKind::UnknownHost) return;
    std::string Bad = kUnknownHost;
    if (FFault == TFaultKind::UntrustedCertificate) {
      // A second simulator, with a CA of its own that this process does not trust.
      if (!Untrusted.Running()) Untrusted.Start();
      Bad = Untrusted.HostFor(FCall->Provider);
    }
    const TProviderHost Host = FCall->Host;
    if (FCall->PrecedingPath.empty()) {
      IWZelkAuthBase::SetProviderHost(Host, Bad);
      return;
    }
    const std::string Reply = FCall->PrecedingReply;
    for (const char* Method : {"GET", "POST"})
      Sim.Route(FCall->Provider, Method, FCall->PrecedingPath, [Host, Bad, Reply](const auto&) {
        IWZelkAuthBase::SetProviderHost(Host, Bad);
        return sim::TSimResponse::Text(Reply);
      });
  }

  // Back to a well-behaved simulator: no faults, every host here, every route its provider's.
  void Heal() {
    FCall = nullptr;
    Sim.ClearFaults();
    Sim.UseForThisProcess();
    InstallProviders();
  }

  // Runs an operation; a raised exception ends the flow.
  bool Step(TObserved& O, TOperation Operation, const std::function<void()>& Run) {
    Arm(Operation);
    try {
      Run();
      return true;
    } catch (const rtl::Exception& E) {
      O.Raised = Operation;
      O.Message = E.Message();
      return false;
    }
  }

  // A sign-in up to and including Call's operation, the browser allowing it at the provider.
  template <class TClient>
  TObserved SignIn(const TCall& Call, const std::string& Id, const std::string& Secret) {
    TObserved O;
    rtl::TComponent Owner(nullptr);
    auto* Controller = new TZIWAuthServerController(&Owner);
    auto* Client = new TClient(&Owner);
    Client->SetServerController(Controller);
    Client->App()->SetID(Id);
    Client->App()->SetSecret(Secret);
    if constexpr (requires { Client->SetApi(IWZelkAuthBase::apCurrent); }) Client->SetApi(Call.Api);
    Client->SetOnLoginOK([&](rtl::TObject*) { O.Events.push_back("LoginOK"); });
    Client->SetOnLoginFailed([&](rtl::TObject*) { O.Events.push_back("LoginFailed"); });
    if constexpr (requires { Client->Post(std::string()); }) {
      Client->SetOnPostOK([&](rtl::TObject*, std::string I) { O.Events.push_back("PostOK:" + I); });
      Client->SetOnPostFailed(
          [&](rtl::TObject*, std::string M) { O.Events.push_back("PostFailed:" + M); });
    }
    const auto App = testing::MakeApplication("http://127.0.0.1:8080/app");
    const auto Finish = [&] {
      O.Result = Client->LoginResult();
      O.Error = Client->LoginError();
      return O;
    };
    if (!Step(O, TOperation::Login, [&] { Client->Login(App.get()); })) return Finish();
    O.Redirect = App->RedirectURL();
    if (O.Redirect.empty()) return Finish();
    const std::string Back = testing::AnswerProviderPage(*Browser, O.Redirect, "Allow").Location;
    if (!Step(O, TOperation::Return, [&] {
          Controller->ProcessRequest(web::THttpRequest::FromTarget(testing::TargetOf(Back)));
        }))
      return Finish();
    if constexpr (requires { Client->Post(std::string()); }) {
      if (Call.Operation == TOperation::Post)
        Step(O, TOperation::Post, [&] { Client->Post("Fault injection & recovery"); });
    }
    return Finish();
  }

  // A payment: PayDirect, or PayOnline with the buyer paying on the checkout page.
  TObserved Pay(const TCall& Call) {
    TObserved O;
    testing::TPayPalWiring W;
    auto* C = W.Client;
    C->Seller()->SetUserName(PayPal->Account().UserName);
    C->Seller()->SetPassword(PayPal->Account().Password);
    C->Seller()->SetSignature(PayPal->Account().Signature);
    C->Buyer()->SetFirstName("Ann");
    C->Buyer()->SetName("Lee");
    C->CreditCard()->SetNumber("4111111111111111");
    C->CreditCard()->SetVerificationCode("123");
    C->CreditCard()->SetExpirationYear(C->CreditCard()->ExpirationYear() + 2);
    auto* Item = C->Transactions()->Add();
    Item->SetName("Book");
    Item->SetPrice(10.5);
    C->SetOnPayPalPaymentOK([&](rtl::TObject*) { O.Events.push_back("PayPalOK"); });
    C->SetOnPayPalCancel([&](rtl::TObject*) { O.Events.push_back("PayPalCancel"); });
    C->SetOnPayPalFailed([&](rtl::TObject*) { O.Events.push_back("PayPalFailed"); });
    C->SetOnPayPalUnknown([&](rtl::TObject*) { O.Events.push_back("PayPalUnknown"); });
    const auto App = testing::MakeApplication("http://127.0.0.1:8080/app");
    const auto Finish = [&] {
      O.Result = C->LoginResult();
      O.Error = C->LoginError();
      return O;
    };
    const auto Text = [](TIWResult R) {
      return R == resOK ? "ok" : R == IWZelkAuthBase::resUnknown ? "unknown" : "failed";
    };
    if (Call.Operation == TOperation::PayDirect) {
      Step(O, TOperation::PayDirect, [&] { O.Returned = Text(C->PayDirect()); });
      return Finish();
    }
    if (!Step(O, TOperation::PayOnline, [&] { O.Returned = Text(C->PayOnline(App.get())); }))
      return Finish();
    O.Redirect = App->RedirectURL();
    if (O.Returned != "ok") return Finish();
    const std::string Back = testing::AnswerProviderPage(*Browser, O.Redirect, "Pay").Location;
    Step(O, TOperation::Return, [&] {
      W.Controller->ProcessRequest(web::THttpRequest::FromTarget(testing::TargetOf(Back)));
    });
    return Finish();
  }

  TObserved Run(const TCall& Call) {
    switch (Call.Provider) {
      case TProviderId::Google:
        return SignIn<IWGAuthClient::TZIWGAuthClient>(Call, sim::GoogleSim::DefaultApp().ClientId,
                                                      sim::GoogleSim::DefaultApp().Secret);
      case TProviderId::Facebook:
        return SignIn<IWFacebookAuthClient::TZIWFacebookAuthClient>(
            Call, sim::FacebookSim::DefaultApp().ClientId, sim::FacebookSim::DefaultApp().Secret);
      case TProviderId::WindowsLive:
        return SignIn<IWWindowsLiveAuthClient::TZIWWindowsLiveAuthClient>(
            Call, sim::WindowsLiveSim::DefaultApp().ClientId,
            sim::WindowsLiveSim::DefaultApp().Secret);
      case TProviderId::Twitter:
        return SignIn<IWTwitterAuthClient::TZIWTwitterAuthClient>(
            Call, sim::TwitterSim::kDefaultConsumerKey, sim::TwitterSim::kDefaultConsumerSecret);
      case TProviderId::PayPal:
        return Pay(Call);
    }
    return {};
  }

  // The message a transport fault raises, or its start where the text carries a count.
  std::string TransportMessage(TFaultKind Fault, const std::string& Host) const {
    switch (Fault) {
      case TFaultKind::CutConnection:
        return "InternetQueryDataAvailable Error 18 Description transfer closed with ";
      case TFaultKind::Stall:
        return "HttpReceiveResponse Error 28 Description Operation timed out after " +
               std::to_string(kStallTimeout.count()) +
               " milliseconds with no data sent or received";
      case TFaultKind::Reset:
        return "HttpReceiveResponse Error 56 Description Recv failure: Connection reset by peer";
      case TFaultKind::UntrustedCertificate:
        return "HttpSendRequest Error 60 Description SSL certificate problem: unable to get local "
               "issuer certificate";
      case TFaultKind::UnknownHost:
        return "HttpSendRequest Error 6 Description Could not resolve host: " + Host;
      default:
        return {};
    }
  }

  // The outcome of a flow that went well, by the operation it ended with.
  static void ExpectSuccess(const TCall& Call, const TObserved& O) {
    EXPECT_FALSE(O.Raised) << O.Message;
    switch (Call.Operation) {
      case TOperation::PayDirect:
        EXPECT_EQ(O.Returned, "ok");
        break;
      case TOperation::PayOnline:
      case TOperation::Return:
        if (Call.Provider == TProviderId::PayPal) {
          EXPECT_EQ(O.Returned, "ok");
          EXPECT_EQ(O.Events, std::vector<std::string>{"PayPalOK"});
          EXPECT_EQ(O.Result, resOK);
          break;
        }
        [[fallthrough]];
      default:
        EXPECT_EQ(O.Result, resOK) << O.Error;
        ASSERT_FALSE(O.Events.empty());
        EXPECT_EQ(O.Events.front(), "LoginOK");
        if (Call.Operation == TOperation::Post) {
          ASSERT_EQ(O.Events.size(), 2u);
          EXPECT_TRUE(O.Events[1].starts_with("PostOK:")) << O.Events[1];
        }
    }
  }

  std::unique_ptr<sim::GoogleSim> Google;
  std::unique_ptr<sim::FacebookSim> Facebook;
  std::unique_ptr<sim::WindowsLiveSim> Live;
  std::unique_ptr<sim::TwitterSim> Twitter;
  std::unique_ptr<sim::TPayPalSim> PayPal;
  std::unique_ptr<testing::SimBrowser> Browser;
  sim::Simulator Untrusted;

 private:
  const TCall* FCall = nullptr;
  TFaultKind FFault = TFaultKind::ErrorDocument;
};

TEST_P(FaultInjection, EveryFaultEndsAsDocumentedAndTheProviderServesAgain) {
  const TCall Call = EveryCall().at(GetParam());
  // The flow works before any fault.
  {
    SCOPED_TRACE("before the faults");
    ExpectSuccess(Call, Run(Call));
  }
  for (const TFaultKind Fault : kEveryFault) {
    SCOPED_TRACE(Call.Name + " meeting " + Name(Fault));
    const std::string Host = IWZelkAuthBase::ProviderHost(Call.Host);
    // The short stall limit only while a stall is injected: the calls before the stalled one
    // keep the fixture's limit, so a loaded machine cannot fail them.
    ChangeTransportSettings([Fault](IWZelkAuthBase::TTransportSettings& S) {
      S.StallTimeout = Fault == TFaultKind::Stall ? kStallTimeout : kNormalStallTimeout;
    });
    Inject(Call, Fault);
    const TObserved O = Run(Call);
    if (Call.AfterSending && StrikesAfterSending(Fault)) {
      const TDataOutcome Want = Call.AfterSending(Fault, TransportMessage(Fault, Host));
      EXPECT_FALSE(O.Raised) << O.Message;
      EXPECT_EQ(O.Result, Want.Result);
      EXPECT_TRUE(O.Error.starts_with(Want.Error)) << O.Error << "\nexpected: " << Want.Error;
      EXPECT_EQ(O.Events, Want.Events);
      EXPECT_EQ(O.Returned, Want.Returned);
    } else if (IsTransportFault(Fault)) {
      ASSERT_TRUE(O.Raised) << "no exception";
      EXPECT_EQ(*O.Raised, Call.Operation);
      const std::string Expected =
          TransportMessage(Fault, Fault == TFaultKind::UnknownHost ? kUnknownHost : Host);
      EXPECT_TRUE(O.Message.starts_with(Expected)) << O.Message << "\nexpected: " << Expected;
      // Nothing of the failed operation's outcome: what came before it stays.
      const bool SignedInBefore = Call.Operation == TOperation::Post;
      EXPECT_EQ(O.Result, SignedInBefore ? resOK : resNone);
      EXPECT_EQ(O.Error, "");
      EXPECT_EQ(O.Events,
                SignedInBefore ? std::vector<std::string>{"LoginOK"} : std::vector<std::string>{});
      if (Call.Operation == TOperation::Login || Call.Operation == TOperation::PayOnline) {
        EXPECT_EQ(O.Redirect, "");
      }
    } else {
      const std::string Body = Fault == TFaultKind::ErrorDocument ? Call.ErrorDocument
                               : Fault == TFaultKind::Html        ? kHtmlPage
                               : Fault == TFaultKind::Truncated   ? Call.Truncated
                                                                  : std::string();
      const TDataOutcome Want = Call.Expect(Fault, Body);
      EXPECT_FALSE(O.Raised) << O.Message;
      EXPECT_EQ(O.Result, Want.Result);
      EXPECT_EQ(O.Error, Want.Error);
      EXPECT_EQ(O.Events, Want.Events);
      EXPECT_EQ(O.Returned, Want.Returned);
      if (Call.Operation == TOperation::Login || Call.Operation == TOperation::PayOnline) {
        EXPECT_EQ(O.Redirect, "");
      }
    }
    Heal();
    SCOPED_TRACE("after the fault");
    ExpectSuccess(Call, Run(Call));
  }
}

INSTANTIATE_TEST_SUITE_P(EveryProviderCall, FaultInjection,
                         ::testing::Range<std::size_t>(0, EveryCall().size()),
                         [](const ::testing::TestParamInfo<std::size_t>& Info) {
                           std::string N = EveryCall().at(Info.param).Name;
                           std::erase(N, ' ');
                           return N;
                         });

// A provider that stalls holds up only the flow waiting for it: the other providers' flows
// complete meanwhile.
TEST_F(FaultInjection, AStalledCallHoldsUpOnlyItsOwnFlow) {
  // Neither limit may end the stalled call before the simulator stops.
  ChangeTransportSettings([](IWZelkAuthBase::TTransportSettings& S) {
    S.StallTimeout = 30s;
    S.TotalTimeout = 120s;
  });
  const std::vector<TCall> Calls = EveryCall();
  const TCall& Stalled = Calls[0];  // Google's token exchange
  Sim.SetFault(TProviderId::Google, "/o/oauth2/token", TFault::Delayed(60s));
  auto Waiting = std::async(std::launch::async, [&] { return Run(Stalled); });
  // Wait (without a clock) until the stalled request has reached the provider.
  for (;;) {
    bool Arrived = false;
    for (const auto& R : Sim.Received(TProviderId::Google))
      Arrived = Arrived || R.Path == "/o/oauth2/token";
    if (Arrived) break;
    ASSERT_EQ(Waiting.wait_for(0s), std::future_status::timeout) << "the stalled flow ended";
    std::this_thread::yield();
  }
  for (const std::size_t Other :
       {std::size_t{3}, std::size_t{6}, std::size_t{9}, std::size_t{13}}) {
    SCOPED_TRACE(Calls[Other].Name);
    ExpectSuccess(Calls[Other], Run(Calls[Other]));
  }
  EXPECT_EQ(Waiting.wait_for(0s), std::future_status::timeout);
  // Stopping the simulator answers the stalled request: its flow ends without harm.
  Sim.Stop();
  const TObserved O = Waiting.get();
  EXPECT_FALSE(O.Raised) << O.Message;
  EXPECT_EQ(O.Result, resFailed);
}

}  // namespace
}  // namespace zelk
