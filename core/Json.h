// The JSON replies of the providers as the clients read them: TJSONObject and ParseJSON.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace zelk::IWZelkAuthBase {

// A parsed JSON object whose members are looked up by exact name. A member whose value is null
// is absent, at every depth: the object keeps no null members.
class TJSONObject {
 public:
  TJSONObject() = default;
  explicit TJSONObject(nlohmann::json Value);
  bool Has(std::string_view Name) const;
  // The member's text: a string's content, a number's literal, an object's or array's compact
  // JSON, "true" or "false"; empty when there is no such member.
  std::string Text(std::string_view Name) const;
  // Whether the member exists and is a JSON object, and that object.
  bool IsObject(std::string_view Name) const;
  TJSONObject Object(std::string_view Name) const;
  int Count() const;
  const nlohmann::json& Json() const { return FValue; }

 private:
  friend void ParseJSON(const std::string& Text, TJSONObject& JSON);
  const nlohmann::json* Find(std::string_view Name) const;
  nlohmann::json FValue = nlohmann::json::object();
};

// The text of a JSON value as the clients read it (see TJSONObject::Text).
std::string JSONText(const nlohmann::json& Value);

// Fills JSON from Text when Text is one JSON object, null members left out; otherwise JSON is
// left without members. UTF-8 passes intact. Never throws.
void ParseJSON(const std::string& Text, TJSONObject& JSON);

}  // namespace zelk::IWZelkAuthBase
