// The class registry: find a class by name, create a component of it, and read the metadata of
// its published properties (what the designer shows and what form files store and load).
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/rtl/Classes.h"

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
  std::vector<std::string> EnumNames;       // pkEnumeration and pkSet: names by ordinal
  std::optional<nlohmann::json> Default;    // stored default; none: the value is always stored
  std::string ClassName;                    // pkObject, pkCollection (item class), pkComponent
  // Scalar access (string, integer, float, boolean, enumeration, set), as JSON values.
  std::function<nlohmann::json(TObject*)> Get;
  std::function<void(TObject*, const nlohmann::json&)> Set;
  // pkObject and pkCollection: the owned sub-object.
  std::function<TPersistent*(TObject*)> Object;
  // pkComponent: the referenced component and its writer.
  std::function<TComponent*(TObject*)> GetComponent;
  std::function<void(TObject*, TComponent*)> SetComponent;
};

struct TClassInfo {
  std::string Name;
  std::string ParentName;                               // empty for a root class
  std::function<TComponent*(TComponent* Owner)> Create;  // components only
  std::vector<TPropertyInfo> Properties;                 // declared by this class, in order
};

// Process-wide and thread-safe. Registering a name again replaces the earlier entry.
class TClassRegistry {
 public:
  static void RegisterClass(TClassInfo Info);
  static std::optional<TClassInfo> FindClass(const std::string& Name);
  // Every published property of the class, its ancestors' first; EInvalidCast for an unknown
  // class.
  static std::vector<TPropertyInfo> PublishedProperties(const std::string& Name);
  // Creates a component of the named class with Owner; Exception for an unknown class or one
  // that is not a component.
  static TComponent* CreateComponent(const std::string& Name, TComponent* Owner);
  static std::vector<std::string> ClassNames();
};

}  // namespace zelk::rtl
