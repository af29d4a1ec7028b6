// Published properties of the core unit's classes, for form files and designers.
#include "core/IWZelkAuthBase.h"
#include "platform/rtl/ClassRegistry.h"

namespace zelk::IWZelkAuthBase {

void RegisterAuthBaseClasses() {
  using namespace rtl;
  using rtl::props::As;

  TClassInfo Component;
  Component.Name = "TComponent";
  Component.Properties = {props::Integer<TComponent>(
      "Tag", [](TComponent* C) { return C->Tag(); },
      [](TComponent* C, std::int32_t V) { C->SetTag(V); })};
  TClassRegistry::RegisterClass(std::move(Component));

  TClassInfo App;
  App.Name = "TIWApp";
  App.Properties = {props::String<TIWApp>(
                        "ID", [](TIWApp* A) { return A->ID(); },
                        [](TIWApp* A, std::string V) { A->SetID(std::move(V)); }),
                    // Configuration: every session gets it from its form, never from a record.
                    KeptOutOfState(props::String<TIWApp>(
                        "Secret", [](TIWApp* A) { return A->Secret(); },
                        [](TIWApp* A, std::string V) { A->SetSecret(std::move(V)); }))};
  TClassRegistry::RegisterClass(std::move(App));

  TClassInfo Client;
  Client.Name = "TZIWCustomCloudClient";
  Client.ParentName = "TComponent";
  Client.Properties = {props::Component<TZIWCustomCloudClient, TZIWAuthServerController>(
      "ServerController", "TZIWAuthServerController",
      [](TZIWCustomCloudClient* C) { return C->ServerController(); },
      [](TZIWCustomCloudClient* C, TZIWAuthServerController* V) { C->SetServerController(V); })};
  using C = TZIWCustomCloudClient;
  auto Text = [](std::string Name, std::string (C::*Get)() const, void (C::*Set)(std::string)) {
    return props::String<C>(
        std::move(Name), [Get](C* X) { return (X->*Get)(); },
        [Set](C* X, std::string V) { (X->*Set)(std::move(V)); });
  };
  Client.State = {props::Enumeration<C, TIWResult>(
                      "LoginResult", {"resNone", "resOK", "resFailed", "resUnknown"},
                      [](C* X) { return X->LoginResult(); },
                      [](C* X, TIWResult V) { X->SetLoginResult(V); }, std::optional(resNone)),
                  Text("LoginError", &C::LoginError, &C::SetLoginError),
                  Text("LoginID", &C::LoginID, &C::SetLoginID),
                  Text("LoginUsername", &C::LoginUsername, &C::SetLoginUsername),
                  // The flow in progress: restoring it writes it into the client's registry entries
                  // (the application's OnNewSession has entered the client into its controller), so
                  // that the provider's return is routed to the restored session.
                  props::String<C>(
                      "FlowID", [](C* X) { return X->FlowIdentifier(); },
                      [](C* X, const std::string& V) { X->RestoreFlowIdentifier(V); }),
                  props::String<C>(
                      "FlowToken", [](C* X) { return X->FlowToken(); },
                      [](C* X, const std::string& V) { X->RestoreFlowToken(V); })};
  TClassRegistry::RegisterClass(std::move(Client));

  TClassInfo Controller;
  Controller.Name = "TZIWAuthServerController";
  Controller.ParentName = "TComponent";
  Controller.Create = [](TComponent* Owner) { return new TZIWAuthServerController(Owner); };
  TClassRegistry::RegisterClass(std::move(Controller));
}

}  // namespace zelk::IWZelkAuthBase
