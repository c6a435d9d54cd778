#include "serial/PortMap.h"

#include <algorithm>
#include <cctype>
#include <tuple>

#include "files/PathName.h"

namespace kelvane {

namespace {

struct SortKey {
  int kind;          // 0 adapter, 1 other
  std::string stem;  // the name without its trailing number
  bool hasNumber;
  std::string digits;  // the trailing number, leading zeros removed
  std::string path;    // the whole path, last tie breaker

  bool operator<(const SortKey& o) const {
    // A shorter number is the smaller one: compare lengths before digits.
    const auto length = digits.size(), otherLength = o.digits.size();
    return std::tie(kind, stem, hasNumber, length, digits, path) <
           std::tie(o.kind, o.stem, o.hasNumber, otherLength, o.digits, o.path);
  }
};

SortKey KeyOf(const std::string& path) {
  const std::string name = FileNameOf(path);
  std::size_t cut = name.size();
  while (cut > 0 && std::isdigit(static_cast<unsigned char>(name[cut - 1]))) --cut;
  std::string digits = name.substr(cut);
  while (digits.size() > 1 && digits[0] == '0') digits.erase(0, 1);
  const std::string stem = name.substr(0, cut);
  const bool adapter = stem.rfind("ttyUSB", 0) == 0 || stem.rfind("ttyACM", 0) == 0;
  return {adapter ? 0 : 1, stem, cut < name.size(), digits, path};
}

}  // namespace

std::vector<std::string> SortDevices(std::vector<std::string> devices) {
  std::sort(devices.begin(), devices.end(),
            [](const std::string& a, const std::string& b) { return KeyOf(a) < KeyOf(b); });
  devices.erase(std::unique(devices.begin(), devices.end()), devices.end());
  return devices;
}

}  // namespace kelvane
