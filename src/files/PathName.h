#pragma once
// Where the name of a file begins in a path, on every system this builds for: after the last
// '/', and on Windows also after the last '\' or a drive's colon ("C:name").

#include <string>

namespace kelvane {

#ifdef _WIN32
inline constexpr const char* kPathSeparators = "/\\:";
#else
inline constexpr const char* kPathSeparators = "/";
#endif

// The index of the name's first character (0 for a path without a folder).
inline std::size_t NameStart(const std::string& path) {
  const auto sep = path.find_last_of(kPathSeparators);
  return sep == std::string::npos ? 0 : sep + 1;
}

inline std::string FileNameOf(const std::string& path) { return path.substr(NameStart(path)); }

}  // namespace kelvane
