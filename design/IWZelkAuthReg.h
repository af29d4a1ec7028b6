// Unit IWZelkAuthReg: design-time registration. A designer calls Register to place the six
// component classes on the palette page "Zelk Nubra"; an application never needs to. Loading
// the library registers nothing by itself.
#pragma once

#include <string>

namespace zelk::IWZelkAuthReg {

inline constexpr const char* kPalettePage = "Zelk Nubra";

// Registers the six classes on the palette, one call of RegisterComponents per class, in this
// order: TZIWAuthServerController, TZIWWindowsLiveAuthClient, TZIWFacebookAuthClient,
// TZIWTwitterAuthClient, TZIWGAuthClient, TZIWPayPalClient. Also makes their published
// properties known to the class registry (form files).
void Register();

// Makes the component classes and their published properties known to the class registry, so
// form files can store and load them. Idempotent and thread-safe; form loading calls it.
void RegisterClasses();

// The library's file and product version, "1.0.0.0".
std::string Version();

}  // namespace zelk::IWZelkAuthReg
