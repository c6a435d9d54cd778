#include "cli/Json.h"

#include <charconv>
#include <cmath>

namespace kelvane::cli {

namespace {

// to_chars ignores the locale (Qt sets the user's, which may write a decimal comma).
std::string NumberText(double value) {
  if (!std::isfinite(value)) return "null";
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 10);
  return std::string(buf, r.ptr);
}

// A value that holds no floating-point number. DEL and the replacement character stand as
// escapes, so that neither reaches a terminal that shows the lines.
std::string PlainText(const Json& value) {
  const std::string raw = value.dump(-1, ' ', false, Json::error_handler_t::replace);
  std::string out;
  out.reserve(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\x7f') {
      out += "\\u007f";
    } else if (raw.compare(i, 3, "\xef\xbf\xbd") == 0) {
      out += "\\ufffd";
      i += 2;
    } else {
      out += raw[i];
    }
  }
  return out;
}

}  // namespace

std::string JsonText(const Json& value) {
  if (value.is_number_float()) return NumberText(value.get<double>());
  if (!value.is_structured()) return PlainText(value);
  const bool object = value.is_object();
  std::string out(1, object ? '{' : '[');
  for (const auto& item : value.items()) {
    if (out.size() > 1) out += ',';
    if (object) out += PlainText(item.key()) + ':';
    out += JsonText(item.value());
  }
  return out + (object ? '}' : ']');
}

JsonObject& JsonObject::String(std::string_view key, std::string_view value) {
  fields_[std::string(key)] = std::string(value);
  return *this;
}

JsonObject& JsonObject::Int(std::string_view key, long long value) {
  fields_[std::string(key)] = value;
  return *this;
}

JsonObject& JsonObject::Number(std::string_view key, double value) {
  fields_[std::string(key)] = value;
  return *this;
}

JsonObject& JsonObject::Bool(std::string_view key, bool value) {
  fields_[std::string(key)] = value;
  return *this;
}

JsonObject& JsonObject::Null(std::string_view key) {
  fields_[std::string(key)] = nullptr;
  return *this;
}

}  // namespace kelvane::cli
