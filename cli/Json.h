#pragma once
// JSON for the event lines of --json and the ports listing, on nlohmann::json: objects keep
// the order their fields were given in, numbers are written with at most 10 significant
// digits (an integral one without a fraction), and text that is not valid UTF-8 is written
// with U+FFFD in place of the bytes that are not, so that any file name gives a valid line.

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace kelvane::cli {

using Json = nlohmann::ordered_json;

// `value` on one line, as the lines of this program are written (see above).
std::string JsonText(const Json& value);

class JsonObject {
 public:
  JsonObject& String(std::string_view key, std::string_view value);
  JsonObject& Int(std::string_view key, long long value);
  JsonObject& Number(std::string_view key, double value);  // not finite: null
  JsonObject& Bool(std::string_view key, bool value);
  JsonObject& Null(std::string_view key);
  // "{...}", without a line end.
  std::string Text() const { return JsonText(fields_); }

 private:
  Json fields_ = Json::object();
};

}  // namespace kelvane::cli
