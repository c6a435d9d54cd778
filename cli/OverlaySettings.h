#pragma once
// Settings for the command line: reads fall through to the window's store (the port it
// last opened, the port mapping), writes stay in memory, so the window's settings are never
// changed by a run of kelvane-cli.

#include <map>
#include <string>
#include <tuple>

#include "files/SettingsStore.h"

namespace kelvane::cli {

class OverlaySettings final : public SettingsStore {
 public:
  explicit OverlaySettings(const SettingsStore* base) : base_(base) {}

  std::string Read(const std::string& app, const std::string& section, const std::string& key,
                   const std::string& def) const override;
  void Write(const std::string& app, const std::string& section, const std::string& key,
             const std::string& text) override;

 private:
  using Key = std::tuple<std::string, std::string, std::string>;
  const SettingsStore* base_;  // may be null: nothing below the overlay
  std::map<Key, std::string> values_;
};

}  // namespace kelvane::cli
