// The class registry: find a class by name, create a component of it, and read the metadata of
// its published properties (what the designer shows and what form files store and load) and of
// its run-time state (what a session's state keeps besides: outcomes, users, tokens, the flow
// in progress).
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/rtl/Classes.h"
#include "platform/rtl/Set.h"

namespace zelk::rtl {

enum class TPropertyKind {
  pkString,
  pkInteger,
  pkFloat,
  pkBoolean,
  pkEnumeration,  // stored as the value's name
  pkSet,          // stored as the list of the names of its members
  pkObject,       // an owned persistent sub-object, stored with its own published properties
  pkCollection,   // an owned collection, stored as its list of items
  pkComponent,    // a reference to another component, stored by name
  pkEvent         // code: never stored
};

struct TPropertyInfo {
  std::string Name;
  TPropertyKind Kind = TPropertyKind::pkString;
  std::vector<std::string> EnumNames;     // pkEnumeration and pkSet: names by ordinal
  std::optional<nlohmann::json> Default;  // stored default; none: the value is always stored
  std::string ClassName;                  // pkObject, pkCollection (item class), pkComponent
  // Scalar access (string, integer, float, boolean, enumeration, set), as JSON values.
  std::function<nlohmann::json(TObject*)> Get;
  std::function<void(TObject*, const nlohmann::json&)> Set;
  // pkObject and pkCollection: the owned sub-object.
  std::function<TPersistent*(TObject*)> Object;
  // pkComponent: the referenced component and its writer.
  std::function<TComponent*(TObject*)> GetComponent;
  std::function<void(TObject*, TComponent*)> SetComponent;
  // Never written to a session's state (platform/rtl/StateFile.h), only to form files: a secret
  // the application configures (credentials, which a new session gets from its form and a
  // restored one must not take back from an older record) or one held for a single call (a
  // card's number and CVV).
  bool KeptOutOfState = false;
};

// The same property, kept out of sessions' states.
inline TPropertyInfo KeptOutOfState(TPropertyInfo P) {
  P.KeptOutOfState = true;
  return P;
}

struct TClassInfo {
  std::string Name;
  std::string ParentName;                                // empty for a root class
  std::function<TComponent*(TComponent* Owner)> Create;  // components only
  std::vector<TPropertyInfo> Properties;                 // declared by this class, in order
  // Run-time properties declared by this class, in order: never in form files, but part of a
  // session's state (the outcome, the user, tokens, the flow in progress). The same builders
  // as published properties make them.
  std::vector<TPropertyInfo> State;
};

// Process-wide and thread-safe. Registering a name again replaces the earlier entry.
class TClassRegistry {
 public:
  static void RegisterClass(TClassInfo Info);
  static std::optional<TClassInfo> FindClass(const std::string& Name);
  // The same without a copy (none for an unknown class); the entry stays valid for as long as
  // it is held, even if the class is registered again.
  static std::shared_ptr<const TClassInfo> ClassInfo(const std::string& Name);
  // Every published property of the class, its ancestors' first; EInvalidCast for an unknown
  // class.
  static std::vector<TPropertyInfo> PublishedProperties(const std::string& Name);
  // The same, worked out once per class and shared until a class is registered again: what
  // loading a form per browser session uses.
  static std::shared_ptr<const std::vector<TPropertyInfo>> PublishedPropertiesOf(
      const std::string& Name);
  // Every run-time state property of the class, its ancestors' first, worked out once per class
  // like PublishedPropertiesOf; EInvalidCast for an unknown class.
  static std::shared_ptr<const std::vector<TPropertyInfo>> RunTimeStateOf(const std::string& Name);
  // Creates a component of the named class with Owner; Exception for an unknown class or one
  // that is not a component.
  static TComponent* CreateComponent(const std::string& Name, TComponent* Owner);
  static std::vector<std::string> ClassNames();
};

// Builders of property metadata from typed accessors. Get and Set take the object as T*; the
// object handed to them is checked with dynamic_cast (EInvalidCast when it is of another class).
namespace props {

template <typename T>
T* As(TObject* O) {
  auto* R = dynamic_cast<T*>(O);
  if (R == nullptr) throw EInvalidCast();
  return R;
}

template <typename T, typename G, typename S>
TPropertyInfo String(std::string Name, G Get, S Set,
                     std::optional<std::string> Default = std::string()) {
  TPropertyInfo P;
  P.Name = std::move(Name);
  P.Kind = TPropertyKind::pkString;
  if (Default) P.Default = nlohmann::json(*Default);
  P.Get = [Get](TObject* O) { return nlohmann::json(Get(As<T>(O))); };
  P.Set = [Set](TObject* O, const nlohmann::json& V) { Set(As<T>(O), V.get<std::string>()); };
  return P;
}

template <typename T, typename G, typename S>
TPropertyInfo Integer(std::string Name, G Get, S Set, std::optional<std::int32_t> Default = 0) {
  TPropertyInfo P;
  P.Name = std::move(Name);
  P.Kind = TPropertyKind::pkInteger;
  if (Default) P.Default = nlohmann::json(*Default);
  P.Get = [Get](TObject* O) { return nlohmann::json(static_cast<std::int32_t>(Get(As<T>(O)))); };
  P.Set = [Set](TObject* O, const nlohmann::json& V) { Set(As<T>(O), V.get<std::int32_t>()); };
  return P;
}

template <typename T, typename G, typename S>
TPropertyInfo Float(std::string Name, G Get, S Set, std::optional<double> Default = 0.0) {
  TPropertyInfo P;
  P.Name = std::move(Name);
  P.Kind = TPropertyKind::pkFloat;
  if (Default) P.Default = nlohmann::json(*Default);
  P.Get = [Get](TObject* O) { return nlohmann::json(static_cast<double>(Get(As<T>(O)))); };
  P.Set = [Set](TObject* O, const nlohmann::json& V) { Set(As<T>(O), V.get<double>()); };
  return P;
}

template <typename T, typename G, typename S>
TPropertyInfo Boolean(std::string Name, G Get, S Set, std::optional<bool> Default = false) {
  TPropertyInfo P;
  P.Name = std::move(Name);
  P.Kind = TPropertyKind::pkBoolean;
  if (Default) P.Default = nlohmann::json(*Default);
  P.Get = [Get](TObject* O) { return nlohmann::json(static_cast<bool>(Get(As<T>(O)))); };
  P.Set = [Set](TObject* O, const nlohmann::json& V) { Set(As<T>(O), V.get<bool>()); };
  return P;
}

// An enumeration stored by the names of its values (Names[ordinal]).
template <typename T, typename E, typename G, typename S>
TPropertyInfo Enumeration(std::string Name, std::vector<std::string> Names, G Get, S Set,
                          std::optional<E> Default) {
  TPropertyInfo P;
  P.Name = std::move(Name);
  P.Kind = TPropertyKind::pkEnumeration;
  P.EnumNames = Names;
  if (Default) P.Default = nlohmann::json(Names.at(static_cast<std::size_t>(*Default)));
  P.Get = [Get, Names](TObject* O) {
    return nlohmann::json(Names.at(static_cast<std::size_t>(Get(As<T>(O)))));
  };
  P.Set = [Set, Names](TObject* O, const nlohmann::json& V) {
    const auto S2 = V.get<std::string>();
    for (std::size_t I = 0; I < Names.size(); ++I)
      if (Names[I] == S2) return Set(As<T>(O), static_cast<E>(I));
    throw Exception("\"" + S2 + "\" is not a value of this enumeration");
  };
  return P;
}

// A set stored as the list of its members' names, in ordinal order; no stored default.
template <typename T, typename E, typename G, typename S>
TPropertyInfo Set(std::string Name, std::vector<std::string> Names, G Get, S SetFn) {
  TPropertyInfo P;
  P.Name = std::move(Name);
  P.Kind = TPropertyKind::pkSet;
  P.EnumNames = Names;
  P.Get = [Get, Names](TObject* O) {
    nlohmann::json A = nlohmann::json::array();
    const auto V = Get(As<T>(O));
    for (std::size_t I = 0; I < Names.size(); ++I)
      if (V.Contains(static_cast<E>(I))) A.push_back(Names[I]);
    return A;
  };
  P.Set = [SetFn, Names = std::move(Names)](TObject* O, const nlohmann::json& V) {
    TSet<E> Result;
    for (const auto& M : V) {
      const auto S2 = M.get<std::string>();
      bool Found = false;
      for (std::size_t I = 0; I < Names.size(); ++I)
        if (Names[I] == S2) {
          Result.Include(static_cast<E>(I));
          Found = true;
        }
      if (!Found) throw Exception("\"" + S2 + "\" is not a member of this set");
    }
    SetFn(As<T>(O), Result);
  };
  return P;
}

template <typename T, typename G>
TPropertyInfo Object(std::string Name, std::string ClassName, G Get) {
  TPropertyInfo P;
  P.Name = std::move(Name);
  P.Kind = TPropertyKind::pkObject;
  P.ClassName = std::move(ClassName);
  P.Object = [Get](TObject* O) -> TPersistent* { return Get(As<T>(O)); };
  return P;
}

template <typename T, typename G>
TPropertyInfo Collection(std::string Name, std::string ItemClassName, G Get) {
  TPropertyInfo P = Object<T>(std::move(Name), std::move(ItemClassName), Get);
  P.Kind = TPropertyKind::pkCollection;
  return P;
}

// A reference to a component of class C; the writer refuses a component of another class.
template <typename T, typename C, typename G, typename S>
TPropertyInfo Component(std::string Name, std::string ClassName, G Get, S Set) {
  TPropertyInfo P;
  P.Name = std::move(Name);
  P.Kind = TPropertyKind::pkComponent;
  P.ClassName = ClassName;
  P.GetComponent = [Get](TObject* O) -> TComponent* { return Get(As<T>(O)); };
  P.SetComponent = [Set, ClassName = std::move(ClassName)](TObject* O, TComponent* Target) {
    auto* Typed = dynamic_cast<C*>(Target);
    if (Target != nullptr && Typed == nullptr)
      throw EInvalidCast("Invalid class typecast: " + Target->Name() + " is not a " + ClassName);
    Set(As<T>(O), Typed);
  };
  return P;
}

inline TPropertyInfo Event(std::string Name) {
  TPropertyInfo P;
  P.Name = std::move(Name);
  P.Kind = TPropertyKind::pkEvent;
  return P;
}

}  // namespace props

}  // namespace zelk::rtl
