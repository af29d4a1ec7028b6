// A browser session's state as data, for a session store: the application object's own state
// and the run-time state of its components (platform/rtl/StateFile.h), so that a session can be
// rebuilt in another process, or in this one after a restart, and carry on where it was (a
// sign-in waiting for its provider's return, a signed-in user, an approved checkout).
//
//   {"version": 1,
//    "applicationURL": "https://shop.example/app",
//    "established": true,          // a flow of the session succeeded
//    "sessionIDRenewal": false,    // a new session id is due
//    "formToken": "3f9c...",       // 64 hexadecimal digits, or "" before one was issued
//    "values": {"notice": "..."},  // TIWApplication::Values()
//    "components": [...]}          // rtl::WriteState of the application
//
// The server seals the JSON text before it stores it; nothing here is encrypted. The session's
// id is the record's key, not part of it.
#pragma once

#include <nlohmann/json.hpp>

#include "platform/rtl/StateFile.h"
#include "platform/web/IWApplication.h"

namespace zelk::web {

// The format's version; a record of any other raises EStateError when read.
inline constexpr int kSessionStateVersion = 1;

// The state of Application and of its components. Raises rtl::EStateError when a registered
// component cannot be named (see rtl::WriteState).
nlohmann::json WriteSessionState(TIWApplication& Application);

// Restores a state written by WriteSessionState into Application, a fresh application object
// the server made for it with the application's OnNewSession (same components, same names,
// wired to the same controllers). Raises rtl::EStateError naming what does not fit: a record of
// another version of the format or of the application (a component missing or of another
// class, an unknown member, a value of the wrong kind). Such a record is found out before
// anything is applied, and Application is left as it was. A value a component's setter refuses
// is found only while applying; Application is then partly restored: before raising, its
// components leave every flow directory (IIWSessionMember::LeaveSession), so no provider's
// return reaches them, and EndSession() is requested. Either way the caller discards
// Application and starts a fresh session.
void ReadSessionState(TIWApplication& Application, const nlohmann::json& State);

}  // namespace zelk::web
