#pragma once
// JSON for the event lines of --json: an object written field by field on one line, and
// the reading of such a line back (flat objects: strings, numbers, true, false, null), for
// the command that runs several ports and merges their events.

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace kelvane::cli {

// Appends `text` as a JSON string. Bytes that are not valid UTF-8 become U+FFFD, so that
// any file name gives a valid line.
void AppendJsonString(std::string& out, std::string_view text);

class JsonObject {
 public:
  JsonObject& String(std::string_view key, std::string_view value);
  JsonObject& Int(std::string_view key, long long value);
  JsonObject& Number(std::string_view key, double value);  // not finite: null
  JsonObject& Bool(std::string_view key, bool value);
  JsonObject& Null(std::string_view key);
  // "{...}", without a line end.
  std::string Text() const { return text_ + "}"; }

 private:
  void Key(std::string_view key);
  std::string text_ = "{";
};

// One value of a flat object.
struct JsonValue {
  enum class Type { Null, Bool, Number, String } type = Type::Null;
  bool boolean = false;
  double number = 0;
  std::string string;
};

using JsonFields = std::map<std::string, JsonValue, std::less<>>;

// The fields of a line holding one flat object; nothing when it is anything else.
std::optional<JsonFields> ParseJsonObject(std::string_view line);

// Convenience readers: the value when the field is there with that type.
std::optional<std::string> StringField(const JsonFields& f, std::string_view key);
std::optional<double> NumberField(const JsonFields& f, std::string_view key);

}  // namespace kelvane::cli
