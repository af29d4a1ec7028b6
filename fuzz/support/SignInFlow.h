// A sign-in client wired as an application wires it (a controller, the client entered in it,
// the session's application object, the login events counted), with the recording transport
// in place of the network, for the fuzz targets that feed a flow outside input.
#pragma once

#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "core/IWZelkAuthBase.h"
#include "platform/web/HttpRequest.h"
#include "support/FakeApplication.h"

namespace zelk::fuzz {

template <class TClient>
struct TSignInFlow {
  TSignInFlow() {
    Client->SetServerController(Controller);
    Client->SetOnLoginOK([this](rtl::TObject* Sender) {
      ZELK_FUZZ_CHECK(Sender == Client, "OnLoginOK's sender");
      ++OK;
    });
    Client->SetOnLoginFailed([this](rtl::TObject* Sender) {
      ZELK_FUZZ_CHECK(Sender == Client, "OnLoginFailed's sender");
      ++Failed;
    });
    // An earlier outcome's error text, to tell "unchanged" from "cleared".
    Client->SetLoginError("earlier error");
  }

  // The identifier of the client's registry entry.
  std::string Identifier() const {
    auto L = Controller->LockClients();
    return Controller->Clients()->Items(0)->ID();
  }

  // The return as the browser brings it, to the path of the application.
  void Return(const web::THttpRequest& Request) { Controller->ProcessRequest(Request); }

  // Return, where the only exception allowed is the transport failure the input scripted.
  // True when it came.
  bool ReturnFailsInTransport(const web::THttpRequest& Request) {
    try {
      Return(Request);
    } catch (const rtl::Exception& E) {
      ZELK_FUZZ_CHECK(E.Message() == kTransportFailure, E.Message());
      return true;
    }
    return false;
  }

  // After a transport failure: no event, the outcome and its error text as they were, and the
  // failure one the input scripted (the token reply's, or the profile reply's after it).
  void CheckTransportFailure(const TReply& TokenReply, const TReply& ProfileReply) {
    ZELK_FUZZ_CHECK(OK + Failed == 0, "an event after a transport failure");
    ZELK_FUZZ_CHECK(Client->LoginResult() == IWZelkAuthBase::resNone,
                    "outcome after a transport failure");
    ZELK_FUZZ_CHECK(Client->LoginError() == "earlier error", Client->LoginError());
    ZELK_FUZZ_CHECK(TokenReply.Failure || (Net.Requests().size() == 2 && ProfileReply.Failure),
                    "a failure nobody scripted");
  }

  testing::RecordingTransport Net;
  rtl::TComponent Owner{nullptr};
  IWZelkAuthBase::TZIWAuthServerController* Controller =
      new IWZelkAuthBase::TZIWAuthServerController(&Owner);
  TClient* Client = new TClient(&Owner);
  std::unique_ptr<web::TIWApplication> App = testing::MakeApplication("http://localhost/app");
  int OK = 0;
  int Failed = 0;
};

// The callback query of a return: the next part of In, with the flow's identifier put under
// Key in front of it, behind it, under the other routing key, or not at all (options 0 and 1),
// so that most inputs reach the client and some are routed by the fuzzer's own text.
inline std::string CallbackQuery(TParts& In, const std::string& Key, const std::string& Id) {
  const std::string Query = In.Next();
  const std::string Other = Key == "state" ? "clientid" : "state";
  switch ((In.Option(0) ? 1 : 0) + (In.Option(1) ? 2 : 0)) {
    case 0:
      return Key + "=" + Id + "&" + Query;
    case 1:
      return Query + "&" + Key + "=" + Id;
    case 2:
      return Other + "=" + Id + "&" + Query;
    default:
      return Query;
  }
}

// Whether the controller routes Request to the flow Id: "state", or when that is empty
// "clientid", equals it.
inline bool RoutesTo(const web::THttpRequest& Request, const std::string& Id) {
  const std::string State = Request.Query("state");
  return !Id.empty() && (State.empty() ? Request.Query("clientid") : State) == Id;
}

}  // namespace zelk::fuzz
