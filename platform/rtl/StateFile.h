// A session's state as data: what a tree of components holds at run time, written as JSON so
// that another process (or this one after a restart) can rebuild the tree and carry on.
//
//   {
//     "components": [
//       {"path": "DemoForm.Google", "class": "TZIWGAuthClient",
//        "properties": {"Api": "apCurrent", "App": {"ID": "client-id"}, "Scopes": ["gEmail"]},
//        "state": {"FlowID": "0A1B...", "FlowState": "0A1B...", "FlowVerifier": "..."}}
//     ]
//   }
//
// Each component at any depth under the root whose class is registered has an entry, named by
// the path of names from the root down to it. "properties" holds its stored published
// properties as form files store them (the same writer), except component references and
// events (the application wires those when it builds a session) and the properties kept out of
// state (TPropertyInfo::KeptOutOfState: configured secrets, a card's number and CVV); "state"
// holds its run-time state (TClassInfo::State, ancestors' first). Either is left out when it has
// nothing to store: every value equals its default.
//
// Restoring applies a state to a fresh tree the application built the way it builds every new
// session (same components, same names, wired the same way): the state never creates or frees
// components. It is checked whole before anything is applied, so a state that does not fit the
// tree (from another version of the application: a component missing on either side, one of
// another class, an unknown property, a value of the wrong kind) changes nothing. A value a
// setter refuses is found only while applying; the tree is then partly restored, so a tree is
// restored only once, when it is fresh, and is discarded when ReadState raises.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include "platform/rtl/Classes.h"

namespace zelk::rtl {

// A state that does not fit the tree, or a tree whose state cannot be written. The message names
// the component by its path and the property.
class EStateError : public Exception {
 public:
  using Exception::Exception;
};

// The state of Root's components (at any depth) whose classes are registered. Raises EStateError
// for such a component that could not be found again: one without a name, or under a component
// without one.
nlohmann::json WriteState(TComponent* Root);

// Applies a state written by WriteState to the components Root has, matched by path and class:
// published properties first, then run-time state, each in declaration order, component by
// component in the state's order. Raises EStateError naming the component and property for a
// state that does not fit (nothing is changed then) or a value a setter refuses (Root is then
// partly restored and must be discarded).
void ReadState(TComponent* Root, const nlohmann::json& State);

// Raises EStateError as ReadState does for a state that does not fit Root, and changes nothing.
void CheckState(TComponent* Root, const nlohmann::json& State);

}  // namespace zelk::rtl
