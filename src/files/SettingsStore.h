#pragma once
// Per-user settings store: text values under application, section and key.

#include <string>
#include <utility>
#include <vector>

namespace kelvane {

class SettingsStore {
 public:
  virtual ~SettingsStore() = default;
  // The stored text, or def when the key is absent.
  virtual std::string Read(const std::string& app, const std::string& section,
                           const std::string& key, const std::string& def) const = 0;
  virtual void Write(const std::string& app, const std::string& section, const std::string& key,
                     const std::string& text) = 0;
  // Several values of one section, as (key, text): one write of the store where it can.
  using Values = std::vector<std::pair<std::string, std::string>>;
  virtual void WriteAll(const std::string& app, const std::string& section, const Values& values) {
    for (const auto& [key, text] : values) Write(app, section, key, text);
  }
};

// The application name: the settings' application, and the title of an untitled box.
inline constexpr const char* kAppName = "Kelvane";
inline constexpr const char* kStartupSection = "Startup";
inline constexpr const char* kPortsSection = "Ports";

}  // namespace kelvane
