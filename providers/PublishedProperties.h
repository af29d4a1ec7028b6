// Building blocks for the class metadata of the sign-in clients: the published properties they
// share (App, ServerController, the login events) and set-valued properties, so that form files
// can store and load a client with its stored defaults.
//
// Registration is explicit: each client unit has a RegisterClasses() that the package's
// registration (or a test) calls; loading the library registers nothing by itself.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/IWZelkAuthBase.h"
#include "platform/rtl/ClassRegistry.h"

namespace zelk::providers {

// Registers TIWApp (ID and Secret, empty by default) and the abstract TZIWCustomCloudClient
// (ServerController), the ancestors every sign-in client's metadata builds on. Idempotent.
void RegisterCloudClientBase();

// "App": the owned credentials object, edited in place.
rtl::TPropertyInfo AppProperty(std::function<IWZelkAuthBase::TIWApp*(rtl::TObject*)> Get);
// An event property: code, never stored.
rtl::TPropertyInfo EventProperty(std::string Name);
// A string property whose stored default is the empty string.
rtl::TPropertyInfo StringProperty(std::string Name, std::function<std::string(rtl::TObject*)> Get,
                                  std::function<void(rtl::TObject*, std::string)> Set);

// A set over an enumeration whose value names are EnumNames by ordinal. It has no stored
// default, so it is always written to the form, also when empty. Stored as the array of the
// names of its members; loading an unknown name raises Exception.
template <typename E>
rtl::TPropertyInfo SetProperty(std::string Name, std::vector<std::string> EnumNames,
                               std::function<rtl::TSet<E>(rtl::TObject*)> Get,
                               std::function<void(rtl::TObject*, rtl::TSet<E>)> Set) {
  rtl::TPropertyInfo P;
  P.Name = Name;
  P.Kind = rtl::TPropertyKind::pkSet;
  P.EnumNames = EnumNames;
  P.Get = [EnumNames, Get](rtl::TObject* O) {
    const rtl::TSet<E> S = Get(O);
    nlohmann::json Names = nlohmann::json::array();
    for (std::size_t I = 0; I < EnumNames.size(); ++I)
      if (S.Contains(static_cast<E>(I))) Names.push_back(EnumNames[I]);
    return Names;
  };
  P.Set = [Name, EnumNames, Set](rtl::TObject* O, const nlohmann::json& Value) {
    if (!Value.is_array())
      throw rtl::Exception("Property " + Name + " expects a list of value names");
    rtl::TSet<E> S;
    for (const auto& Item : Value) {
      std::size_t I = 0;
      while (I < EnumNames.size() && !(Item.is_string() && Item.get<std::string>() == EnumNames[I]))
        ++I;
      if (I == EnumNames.size())
        throw rtl::Exception("Property " + Name + " has no value named " + Item.dump());
      S.Include(static_cast<E>(I));
    }
    Set(O, S);
  };
  return P;
}

}  // namespace zelk::providers
