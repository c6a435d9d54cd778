#pragma once
// A new folder of this process's own under base ("prefixXXXXXX"): mkdtemp where there is one,
// else a random name created with a check that it did not exist. Empty on failure.

#include <filesystem>
#include <string>

#ifdef _WIN32
#include <random>
#else
#include <stdlib.h>
#endif

namespace kelvane {

inline std::string MakePrivateFolder(const std::filesystem::path& base, const std::string& prefix) {
#ifdef _WIN32
  static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device rd;
  for (int tries = 0; tries < 100; ++tries) {
    std::string name = prefix;
    for (int i = 0; i < 6; ++i) name += kChars[rd() % (sizeof kChars - 1)];
    std::error_code ec;
    // create_directory is false for a folder that was there already.
    if (std::filesystem::create_directory(base / name, ec)) return (base / name).string();
    if (ec) return {};
  }
  return {};
#else
  std::string pattern = (base / (prefix + "XXXXXX")).string();
  return ::mkdtemp(pattern.data()) ? pattern : std::string();
#endif
}

}  // namespace kelvane
