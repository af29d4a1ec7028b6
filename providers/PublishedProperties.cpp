#include "providers/PublishedProperties.h"

namespace zelk::providers {

using IWZelkAuthBase::TIWApp;
using IWZelkAuthBase::TZIWAuthServerController;
using IWZelkAuthBase::TZIWCustomCloudClient;

namespace {

TIWApp* AsApp(rtl::TObject* O) {
  auto* App = dynamic_cast<TIWApp*>(O);
  if (App == nullptr) throw rtl::EInvalidCast("Invalid class typecast: not a TIWApp");
  return App;
}

TZIWCustomCloudClient* AsClient(rtl::TObject* O) {
  auto* C = dynamic_cast<TZIWCustomCloudClient*>(O);
  if (C == nullptr) throw rtl::EInvalidCast("Invalid class typecast: not a TZIWCustomCloudClient");
  return C;
}

}  // namespace

void RegisterCloudClientBase() {
  rtl::TClassInfo App;
  App.Name = "TIWApp";
  App.ParentName = "TPersistent";
  App.Properties.push_back(StringProperty(
      "ID", [](rtl::TObject* O) { return AsApp(O)->ID(); },
      [](rtl::TObject* O, std::string V) { AsApp(O)->SetID(std::move(V)); }));
  App.Properties.push_back(StringProperty(
      "Secret", [](rtl::TObject* O) { return AsApp(O)->Secret(); },
      [](rtl::TObject* O, std::string V) { AsApp(O)->SetSecret(std::move(V)); }));
  rtl::TClassRegistry::RegisterClass(std::move(App));

  rtl::TClassInfo Base;
  Base.Name = "TZIWCustomCloudClient";
  Base.ParentName = "TComponent";
  rtl::TPropertyInfo Controller;
  Controller.Name = "ServerController";
  Controller.Kind = rtl::TPropertyKind::pkComponent;
  Controller.ClassName = "TZIWAuthServerController";
  Controller.GetComponent = [](rtl::TObject* O) -> rtl::TComponent* {
    return AsClient(O)->ServerController();
  };
  Controller.SetComponent = [](rtl::TObject* O, rtl::TComponent* C) {
    auto* Target = dynamic_cast<TZIWAuthServerController*>(C);
    if (C != nullptr && Target == nullptr)
      throw rtl::EInvalidCast(
          "Invalid class typecast: ServerController must be a "
          "TZIWAuthServerController");
    AsClient(O)->SetServerController(Target);
  };
  Base.Properties.push_back(std::move(Controller));
  rtl::TClassRegistry::RegisterClass(std::move(Base));
}

rtl::TPropertyInfo AppProperty(std::function<TIWApp*(rtl::TObject*)> Get) {
  rtl::TPropertyInfo P;
  P.Name = "App";
  P.Kind = rtl::TPropertyKind::pkObject;
  P.ClassName = "TIWApp";
  P.Object = [Get](rtl::TObject* O) -> rtl::TPersistent* { return Get(O); };
  return P;
}

rtl::TPropertyInfo EventProperty(std::string Name) {
  rtl::TPropertyInfo P;
  P.Name = std::move(Name);
  P.Kind = rtl::TPropertyKind::pkEvent;
  return P;
}

rtl::TPropertyInfo StringProperty(std::string Name, std::function<std::string(rtl::TObject*)> Get,
                                  std::function<void(rtl::TObject*, std::string)> Set) {
  rtl::TPropertyInfo P;
  P.Name = std::move(Name);
  P.Kind = rtl::TPropertyKind::pkString;
  P.Default = nlohmann::json("");
  P.Get = [Get](rtl::TObject* O) { return nlohmann::json(Get(O)); };
  P.Set = [N = P.Name, Set](rtl::TObject* O, const nlohmann::json& V) {
    if (!V.is_string()) throw rtl::Exception("Property " + N + " expects a text");
    Set(O, V.get<std::string>());
  };
  return P;
}

}  // namespace zelk::providers
