#include "platform/web/SessionState.h"

#include <optional>
#include <string>

namespace zelk::web {

namespace {

using nlohmann::json;
using rtl::EStateError;

[[noreturn]] void Fail(const std::string& Where, const std::string& What) {
  throw EStateError("Session state: " + Where + ": " + What);
}

const json* Member(const json& State, const char* Name) {
  const auto It = State.find(Name);
  return It == State.end() ? nullptr : &*It;
}

bool IsFormToken(const std::string& T) {
  return T.empty() ||
         (T.size() == 64 && T.find_first_not_of("0123456789abcdef") == std::string::npos);
}

// What the application object itself gets from a record, checked whole before any of it is set.
struct TApplicationState {
  std::optional<std::string> ApplicationURL;
  bool Established = false;
  bool SessionIDRenewal = false;
  std::string FormToken;
  TIWApplication::TValues Values;
  json Components = json::array();
};

TApplicationState Check(const json& State) {
  if (!State.is_object()) Fail("the record", "a session's state is a JSON object");
  for (const auto& [Key, V] : State.items())
    if (Key != "version" && Key != "applicationURL" && Key != "established" &&
        Key != "sessionIDRenewal" && Key != "formToken" && Key != "values" && Key != "components")
      Fail(Key, "unknown member; the state was written by another version of the application");
  const json* Version = Member(State, "version");
  if (Version == nullptr || !Version->is_number_integer())
    Fail("version", "missing; the record is not a session's state");
  if (Version->get<long long>() != kSessionStateVersion)
    Fail("version", "the record is of version " + Version->dump() + ", this application reads " +
                        std::to_string(kSessionStateVersion));
  TApplicationState A;
  if (const json* URL = Member(State, "applicationURL")) {
    if (!URL->is_string()) Fail("applicationURL", "expected a text");
    A.ApplicationURL = URL->get<std::string>();
  }
  for (const auto& [Name, Flag] : {std::pair{"established", &A.Established},
                                   std::pair{"sessionIDRenewal", &A.SessionIDRenewal}})
    if (const json* B = Member(State, Name)) {
      if (!B->is_boolean()) Fail(Name, "expected true or false");
      *Flag = B->get<bool>();
    }
  if (const json* Token = Member(State, "formToken")) {
    if (!Token->is_string() || !IsFormToken(Token->get<std::string>()))
      Fail("formToken", "expected 64 lower-case hexadecimal digits");
    A.FormToken = Token->get<std::string>();
  }
  if (const json* Values = Member(State, "values")) {
    if (!Values->is_object()) Fail("values", "expected an object of texts");
    for (const auto& [Name, V] : Values->items()) {
      if (!V.is_string()) Fail("values." + Name, "expected a text");
      A.Values.emplace(Name, V.get<std::string>());
    }
  }
  if (const json* Components = Member(State, "components")) A.Components = *Components;
  return A;
}

// Takes every component of Parent (at any depth) out of the flow directories it is known in.
void LeaveFlowDirectories(rtl::TComponent& Parent) {
  for (int I = 0; I < Parent.ComponentCount(); ++I) {
    rtl::TComponent* C = Parent.Components(I);
    LeaveFlowDirectories(*C);
    if (auto* Member = dynamic_cast<IIWSessionMember*>(C)) Member->LeaveSession();
  }
}

}  // namespace

json WriteSessionState(TIWApplication& Application) {
  json Components = rtl::WriteState(&Application)["components"];
  return json{{"version", kSessionStateVersion},
              {"applicationURL", Application.GetApplicationURL()},
              {"established", Application.Established()},
              {"sessionIDRenewal", Application.SessionIDRenewalPending()},
              {"formToken", Application.FFormToken},
              {"values", Application.Values()},
              {"components", std::move(Components)}};
}

void ReadSessionState(TIWApplication& Application, const json& State) {
  TApplicationState A = Check(State);
  const json Components{{"components", std::move(A.Components)}};
  rtl::CheckState(&Application, Components);
  try {
    rtl::ReadState(&Application, Components);
  } catch (...) {
    // Partly restored: nothing of it may be reached by a provider's return or be served.
    LeaveFlowDirectories(Application);
    Application.EndSession();
    throw;
  }
  if (A.ApplicationURL) Application.FApplicationURL = std::move(*A.ApplicationURL);
  Application.FEstablished = A.Established;
  Application.FRenewSessionID = A.SessionIDRenewal;
  Application.FFormToken = std::move(A.FormToken);
  Application.FValues = std::move(A.Values);
}

}  // namespace zelk::web
