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
                    props::String<TIWApp>(
                        "Secret", [](TIWApp* A) { return A->Secret(); },
                        [](TIWApp* A, std::string V) { A->SetSecret(std::move(V)); })};
  TClassRegistry::RegisterClass(std::move(App));

  TClassInfo Client;
  Client.Name = "TZIWCustomCloudClient";
  Client.ParentName = "TComponent";
  Client.Properties = {props::Component<TZIWCustomCloudClient, TZIWAuthServerController>(
      "ServerController", "TZIWAuthServerController",
      [](TZIWCustomCloudClient* C) { return C->ServerController(); },
      [](TZIWCustomCloudClient* C, TZIWAuthServerController* V) { C->SetServerController(V); })};
  TClassRegistry::RegisterClass(std::move(Client));

  TClassInfo Controller;
  Controller.Name = "TZIWAuthServerController";
  Controller.ParentName = "TComponent";
  Controller.Create = [](TComponent* Owner) { return new TZIWAuthServerController(Owner); };
  TClassRegistry::RegisterClass(std::move(Controller));
}

}  // namespace zelk::IWZelkAuthBase
