#include "cli/OverlaySettings.h"

namespace kelvane::cli {

std::string OverlaySettings::Read(const std::string& app, const std::string& section,
                                  const std::string& key, const std::string& def) const {
  if (const auto it = values_.find({app, section, key}); it != values_.end()) return it->second;
  return base_ ? base_->Read(app, section, key, def) : def;
}

void OverlaySettings::Write(const std::string& app, const std::string& section,
                            const std::string& key, const std::string& text) {
  values_[{app, section, key}] = text;
}

}  // namespace kelvane::cli
