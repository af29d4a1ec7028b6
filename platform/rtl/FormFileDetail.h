// The form file's writer and reader of property values, as a session's state uses them
// (platform/rtl/StateFile.h): one implementation of how each kind of property is stored, checked
// and loaded. Private to the library.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/rtl/ClassRegistry.h"

namespace zelk::rtl::detail {

// The stored values of Properties of Object, nested sub-objects and collections as form files
// store them, but without component references and the properties kept out of state.
nlohmann::json WriteStateValues(TObject* Object, const std::vector<TPropertyInfo>& Properties);

// Reads Values (as WriteStateValues writes them) into Object, in the declaration order of
// Properties. Raises EFormError "<Source>: <Where>.<property>: <what>" for an unknown property, a
// component reference, an event, a property kept out of state, a value of the wrong kind, or a
// value its setter refuses. CheckOnly: every check but the setters' runs and nothing is changed.
void ReadStateValues(TObject* Object, const std::string& ClassName,
                     const std::vector<TPropertyInfo>& Properties, const nlohmann::json& Values,
                     const std::string& Source, const std::string& Where, bool CheckOnly);

}  // namespace zelk::rtl::detail
