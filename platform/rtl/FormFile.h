// Form files: the published properties of a form's components, stored as JSON and loaded back.
//
//   {
//     "components": [
//       {"class": "TZIWAuthServerController", "name": "AuthController", "properties": {}},
//       {"class": "TZIWGAuthClient", "name": "Google",
//        "properties": {"App": {"ID": "client-id"}, "Scopes": ["gEmail"],
//                       "ServerController": "AuthController"}}
//     ]
//   }
//
// A property is written unless it equals its stored default; a sub-object is written as an
// object of its own stored properties, a collection as the list of its items, a component
// reference as the referenced component's name. Events are code and are never written.
// Loading creates each component by class name with the root as owner, in loading and reading
// state, sets its properties, then resolves the references through their writers. A bad file is
// refused whole with EFormError naming the position or the property; nothing is half-created.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "platform/rtl/Classes.h"

namespace zelk::rtl {

class EFormError : public Exception {
 public:
  using Exception::Exception;
};

// The form file of Root's components whose classes are registered, as JSON text.
std::string WriteForm(TComponent* Root);
nlohmann::json WriteFormJSON(TComponent* Root);
// Creates the components of Text (a form file) with Root as their owner. SourceName names the
// file in error messages.
void ReadForm(TComponent* Root, std::string_view Text, const std::string& SourceName = "form");
// A form file's text parsed once (EFormError with the position when it is not JSON), to be
// read by ReadFormJSON below as often as needed: a server that loads the same form for every new
// session parses it only once.
nlohmann::json ParseForm(std::string_view Text, const std::string& SourceName = "form");
void ReadFormJSON(TComponent* Root, const nlohmann::json& Form,
                  const std::string& SourceName = "form");
// The same from a file on disk.
void ReadFormFile(TComponent* Root, const std::string& Path);

// The stored properties of one persistent object (a component's or a sub-object's), as a JSON
// object; ClassName names its registered class.
nlohmann::json WriteProperties(TObject* Object, const std::string& ClassName);

}  // namespace zelk::rtl
