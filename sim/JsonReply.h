// The JSON replies of the simulated providers.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "sim/Simulator.h"

namespace zelk::sim {

// Body as compact JSON under ContentType. Text that is not valid UTF-8 (echoed from a request)
// is replaced, so it cannot fail the reply; AsciiOnly writes every other character as a \u
// escape, as Facebook does.
TSimResponse JsonReply(int Status, const nlohmann::json& Body, std::string ContentType,
                       bool AsciiOnly = false);

}  // namespace zelk::sim
