#include "platform/rtl/StateFile.h"

#include <algorithm>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/rtl/ClassRegistry.h"
#include "platform/rtl/FormFile.h"
#include "platform/rtl/FormFileDetail.h"

namespace zelk::rtl {

namespace {

// The parts one after another.
std::string Joined(std::initializer_list<std::string_view> Parts) {
  std::string Out;
  for (const std::string_view P : Parts)
    Out += P;
  return Out;
}

using nlohmann::json;

constexpr const char* kSource = "Session state";

[[noreturn]] void Fail(const std::string& Where, const std::string& What) {
  throw EStateError(std::string(kSource) + ": " + (Where.empty() ? "" : Where + ": ") + What);
}

struct TStateful {
  TComponent* Component;
  std::shared_ptr<const TClassInfo> Info;
};

// Root's components at any depth whose classes are registered, by path, in walking order.
void Collect(TComponent* Parent, const std::string& Prefix, bool Named,
             std::vector<std::pair<std::string, TStateful>>& Found) {
  for (int I = 0; I < Parent->ComponentCount(); ++I) {
    TComponent* C = Parent->Components(I);
    const std::string Path = Prefix.empty() ? C->Name() : Prefix + "." + C->Name();
    const bool AllNamed = Named && !C->Name().empty();
    if (auto Info = TClassRegistry::ClassInfo(C->ClassName())) {
      if (!AllNamed)
        Fail("", "a " + C->ClassName() + " (\"" + Path +
                     "\") has no name, or is under a component without one, so its state could "
                     "not be matched when the session is restored; name it");
      Found.emplace_back(Path, TStateful{C, std::move(Info)});
    }
    Collect(C, Path, AllNamed, Found);
  }
}

std::vector<std::pair<std::string, TStateful>> Stateful(TComponent* Root) {
  std::vector<std::pair<std::string, TStateful>> Found;
  Collect(Root, "", true, Found);
  return Found;
}

// One entry of a state, matched to its component.
struct TEntry {
  TStateful Target;
  std::string Path;
  const json* Properties = nullptr;
  const json* State = nullptr;
};

std::vector<TEntry> Match(TComponent* Root, const json& State) {
  if (!State.is_object()) Fail("", "a session's state is a JSON object");
  for (const auto& [Key, V] : State.items())
    if (Key != "components") Fail(Key, "unknown member (expected \"components\")");
  static const json NoComponents = json::array();
  const auto Found = State.find("components");
  const json& Components = Found == State.end() ? NoComponents : *Found;
  if (!Components.is_array()) Fail("components", "expected a list of components");

  std::map<std::string, TStateful> ByPath;
  for (auto& [Path, Target] : Stateful(Root))
    ByPath.emplace(Path, Target);
  std::vector<TEntry> Entries;
  for (std::size_t I = 0; I < Components.size(); ++I) {
    const json& J = Components[I];
    const std::string At = "components[" + std::to_string(I) + "]";
    if (!J.is_object())
      Fail(At, "expected an object with \"path\", \"class\", \"properties\" and \"state\"");
    for (const auto& [Key, V] : J.items())
      if (Key != "path" && Key != "class" && Key != "properties" && Key != "state")
        Fail(Joined({At, ".", Key}), "unknown member");
    if (!J.contains("path") || !J["path"].is_string()) Fail(At, "\"path\" must be a text");
    if (!J.contains("class") || !J["class"].is_string()) Fail(At, "\"class\" must be a text");
    const std::string& Path = J["path"].get_ref<const std::string&>();
    const std::string& Class = J["class"].get_ref<const std::string&>();
    const auto It = ByPath.find(Path);
    if (It == ByPath.end()) {
      const bool Restored = std::any_of(Entries.begin(), Entries.end(),
                                        [&](const TEntry& E) { return E.Path == Path; });
      Fail(Joined({At, " (", Path, ")"}),
           Restored ? std::string("the component appears twice")
                    : "this application has no such component; the state was written by another "
                      "version of it");
    }
    if (It->second.Info->Name != Class)
      Fail(Joined({At, " (", Path, ")"}), "the state is of a " + Class + ", the component is a " +
                                              It->second.Info->Name +
                                              "; the state was written by another version of the "
                                              "application");
    TEntry E{It->second, Path};
    if (const auto P = J.find("properties"); P != J.end()) E.Properties = &*P;
    if (const auto S = J.find("state"); S != J.end()) E.State = &*S;
    Entries.push_back(E);
    ByPath.erase(It);
  }
  if (!ByPath.empty())
    Fail(ByPath.begin()->first,
         "this " + ByPath.begin()->second.Info->Name +
             " has no entry in the state; the state was written by another version of the "
             "application");
  return Entries;
}

void Read(const TEntry& E, bool CheckOnly) {
  TComponent* C = E.Target.Component;
  const std::string& Class = E.Target.Info->Name;
  try {
    if (E.Properties != nullptr)
      detail::ReadStateValues(C, Class, *TClassRegistry::PublishedPropertiesOf(Class),
                              *E.Properties, kSource, E.Path + ": properties", CheckOnly);
    if (E.State != nullptr)
      detail::ReadStateValues(C, Class, *TClassRegistry::RunTimeStateOf(Class), *E.State, kSource,
                              E.Path + ": state", CheckOnly);
  } catch (const EFormError& X) {
    throw EStateError(X.Message());
  }
}

}  // namespace

json WriteState(TComponent* Root) {
  json Components = json::array();
  for (const auto& [Path, Target] : Stateful(Root)) {
    json Entry = json::object();
    Entry["path"] = Path;
    Entry["class"] = Target.Info->Name;
    json Properties = detail::WriteStateValues(
        Target.Component, *TClassRegistry::PublishedPropertiesOf(Target.Info->Name));
    if (!Properties.empty()) Entry["properties"] = std::move(Properties);
    json State = detail::WriteStateValues(Target.Component,
                                          *TClassRegistry::RunTimeStateOf(Target.Info->Name));
    if (!State.empty()) Entry["state"] = std::move(State);
    Components.push_back(std::move(Entry));
  }
  return json{{"components", std::move(Components)}};
}

void CheckState(TComponent* Root, const json& State) {
  for (const TEntry& E : Match(Root, State))
    Read(E, true);
}

void ReadState(TComponent* Root, const json& State) {
  const std::vector<TEntry> Entries = Match(Root, State);
  for (const TEntry& E : Entries)
    Read(E, true);
  for (const TEntry& E : Entries)
    Read(E, false);
}

}  // namespace zelk::rtl
