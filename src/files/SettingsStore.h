#pragma once
// Per-user settings store: text values under application, section and key.

#include <string>

namespace kelvane {

class SettingsStore {
 public:
  virtual ~SettingsStore() = default;
  // The stored text, or def when the key is absent.
  virtual std::string Read(const std::string& app, const std::string& section,
                           const std::string& key, const std::string& def) const = 0;
  virtual void Write(const std::string& app, const std::string& section, const std::string& key,
                     const std::string& text) = 0;
};

inline constexpr const char* kStartupSection = "Startup";
inline constexpr const char* kPortsSection = "Ports";

}  // namespace kelvane
