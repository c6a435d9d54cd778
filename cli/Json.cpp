#include "cli/Json.h"

#include <charconv>
#include <cmath>

namespace kelvane::cli {

namespace {

// The length of the valid UTF-8 sequence at the start of `s`, or 0.
std::size_t Utf8Length(std::string_view s) {
  const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char c = b(0);
  std::size_t n = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // the allowed range of the second byte
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF)
    n = 2;
  else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0)
      lo = 0xA0;  // no overlong forms
    else if (c == 0xED)
      hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0)
      lo = 0x90;
    else if (c == 0xF4)
      hi = 0x8F;  // nothing beyond U+10FFFF
  } else {
    return 0;
  }
  if (s.size() < n || b(1) < lo || b(1) > hi) return 0;
  for (std::size_t i = 2; i < n; ++i)
    if (b(i) < 0x80 || b(i) > 0xBF) return 0;
  return n;
}

void AppendUtf8(std::string& out, unsigned long cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

class Reader {
 public:
  explicit Reader(std::string_view s) : s_(s) {}

  std::optional<JsonFields> Object() {
    JsonFields fields;
    Space();
    if (!Take('{')) return std::nullopt;
    Space();
    if (!Take('}')) {
      do {
        Space();
        std::string key;
        if (!String(key)) return std::nullopt;
        Space();
        if (!Take(':')) return std::nullopt;
        Space();
        JsonValue v;
        if (!Value(v)) return std::nullopt;
        fields[key] = std::move(v);
        Space();
      } while (Take(','));
      if (!Take('}')) return std::nullopt;
    }
    Space();
    if (i_ != s_.size()) return std::nullopt;
    return fields;
  }

 private:
  bool Take(char c) {
    if (i_ < s_.size() && s_[i_] == c) return ++i_, true;
    return false;
  }
  bool Word(std::string_view w) {
    if (s_.substr(i_, w.size()) != w) return false;
    i_ += w.size();
    return true;
  }
  void Space() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r'))
      ++i_;
  }
  bool Value(JsonValue& v) {
    if (i_ >= s_.size()) return false;
    const char c = s_[i_];
    if (c == '"') return v.type = JsonValue::Type::String, String(v.string);
    if (Word("true")) return v.type = JsonValue::Type::Bool, v.boolean = true, true;
    if (Word("false")) return v.type = JsonValue::Type::Bool, v.boolean = false, true;
    if (Word("null")) return v.type = JsonValue::Type::Null, true;
    return v.type = JsonValue::Type::Number, Number(v.number);
  }
  bool Number(double& out) {
    const std::size_t begin = i_;
    Take('-');
    auto digits = [this] {
      std::size_t n = 0;
      while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_, ++n;
      return n;
    };
    if (i_ < s_.size() && s_[i_] == '0')
      ++i_;
    else if (digits() == 0)
      return false;
    if (Take('.') && digits() == 0) return false;
    if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
      ++i_;
      if (!Take('+')) Take('-');
      if (digits() == 0) return false;
    }
    // from_chars ignores the locale.
    const auto r = std::from_chars(s_.data() + begin, s_.data() + i_, out);
    return r.ec == std::errc{};
  }
  bool Hex4(unsigned long& out) {
    if (s_.size() - i_ < 4) return false;
    out = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = s_[i_++];
      out <<= 4;
      if (c >= '0' && c <= '9')
        out |= static_cast<unsigned long>(c - '0');
      else if (c >= 'a' && c <= 'f')
        out |= static_cast<unsigned long>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        out |= static_cast<unsigned long>(c - 'A' + 10);
      else
        return false;
    }
    return true;
  }
  bool String(std::string& out) {
    if (!Take('"')) return false;
    while (i_ < s_.size()) {
      const char c = s_[i_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (i_ >= s_.size()) return false;
      switch (s_[i_++]) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          unsigned long cp = 0;
          if (!Hex4(cp)) return false;
          if (cp >= 0xD800 && cp <= 0xDBFF) {  // a pair for a code point beyond U+FFFF
            unsigned long low = 0;
            if (!Word("\\u") || !Hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return false;
          }
          AppendUtf8(out, cp);
          break;
        }
        default: return false;
      }
    }
    return false;
  }

  std::string_view s_;
  std::size_t i_ = 0;
};

}  // namespace

void AppendJsonString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      const std::size_t n = Utf8Length(text.substr(i));
      if (n == 0) {
        out += "\\ufffd";
        ++i;
      } else {
        out.append(text.substr(i, n));
        i += n;
      }
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 15];
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  out += '"';
}

void JsonObject::Key(std::string_view key) {
  if (text_.size() > 1) text_ += ',';
  AppendJsonString(text_, key);
  text_ += ':';
}

JsonObject& JsonObject::String(std::string_view key, std::string_view value) {
  Key(key);
  AppendJsonString(text_, value);
  return *this;
}

JsonObject& JsonObject::Int(std::string_view key, long long value) {
  Key(key);
  text_ += std::to_string(value);
  return *this;
}

JsonObject& JsonObject::Number(std::string_view key, double value) {
  Key(key);
  if (!std::isfinite(value)) {
    text_ += "null";
    return *this;
  }
  // to_chars ignores the locale (Qt sets the user's, which may write a decimal comma).
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 10);
  text_.append(buf, r.ptr);
  return *this;
}

JsonObject& JsonObject::Bool(std::string_view key, bool value) {
  Key(key);
  text_ += value ? "true" : "false";
  return *this;
}

JsonObject& JsonObject::Null(std::string_view key) {
  Key(key);
  text_ += "null";
  return *this;
}

std::optional<JsonFields> ParseJsonObject(std::string_view line) { return Reader(line).Object(); }

std::optional<std::string> StringField(const JsonFields& f, std::string_view key) {
  const auto it = f.find(key);
  if (it == f.end() || it->second.type != JsonValue::Type::String) return std::nullopt;
  return it->second.string;
}

std::optional<double> NumberField(const JsonFields& f, std::string_view key) {
  const auto it = f.find(key);
  if (it == f.end() || it->second.type != JsonValue::Type::Number) return std::nullopt;
  return it->second.number;
}

}  // namespace kelvane::cli
