// Text for logs: secrets redacted by name, and values escaped so that one entry stays one line
// whose fields no logged text can forge. The web server's access log and the sign-in trace both
// write with these.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zelk::web {

// What replaces a secret.
inline constexpr std::string_view kRedacted = "[redacted]";

// Text with every secret replaced by kRedacted: the values of secret parameters in queries and
// form bodies ("name=value", quoted or not), of secret JSON members, and of Authorization
// header lines (the scheme is kept). Card numbers keep their last four digits. A parameter's
// name counts as the server reads it: percent-decoded ("c%6Fde=" is "code="), in any letter
// case; the text keeps the name as it was written.
std::string RedactSecrets(std::string_view Text);
// Names of a provider's own parameters whose values are secrets (AddSecretNames) or card numbers
// (AddCardNumberNames, redacted but for their last four digits), beside the names every OAuth
// and card flow shares; matched as those are. A provider registers its names once, before its
// first call; names already known are kept once.
void AddSecretNames(const std::vector<std::string>& Names);
void AddCardNumberNames(const std::vector<std::string>& Names);
// A request's query string for a log: RedactSecrets, and the flow identifiers ("state",
// "clientid") redacted too.
std::string RedactQueryString(std::string_view Query);

// Text for a log field: '"' and '\' escaped with a backslash, control bytes and bytes above 126
// as \xHH (upper-case hex). The result holds no line break, no terminal control sequence and no
// quote that could end a quoted field.
std::string EscapeLogText(std::string_view Text);

}  // namespace zelk::web
