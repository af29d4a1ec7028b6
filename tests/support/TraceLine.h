// A trace line read back as a log reader would read it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelk::testing {

using TTraceFields = std::vector<std::pair<std::string, std::string>>;

// The fields of Line in their order: "key=value" separated by one blank, a value either a run
// of characters without a blank or a quoted string, the trace's escapes (\" \\ \xHH) undone in
// both. None when Line is not of that form: a raw control or non-ASCII byte, a quote outside a
// quoted value, an unknown escape, an unterminated quote.
std::optional<TTraceFields> ParseTraceLine(std::string_view Line);

// The values of every field named Key, in order.
std::vector<std::string> FieldValues(const TTraceFields& Fields, std::string_view Key);

}  // namespace zelk::testing
