#include "serial/LineSettings.h"

#include <cctype>
#include <sstream>
#include <vector>

namespace kelvane {

bool ParseLineSettings(const std::string& text, LineSettings& out) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  for (std::string part; std::getline(in, part, ',');) {
    part.erase(0, part.find_first_not_of(' '));
    part.erase(part.find_last_not_of(' ') + 1);
    parts.push_back(part);
  }
  if (parts.size() != 4 || parts[0].empty() || parts[1].size() != 1) return false;
  if (parts[0].find_first_not_of("0123456789") != std::string::npos || parts[0].size() > 7)
    return false;
  LineSettings s;
  s.baud = std::stoi(parts[0]);
  if (s.baud <= 0) return false;
  switch (std::tolower(static_cast<unsigned char>(parts[1][0]))) {
    case 'n': s.parity = LineSettings::Parity::None; break;
    case 'e': s.parity = LineSettings::Parity::Even; break;
    case 'o': s.parity = LineSettings::Parity::Odd; break;
    case 'm': s.parity = LineSettings::Parity::Mark; break;
    case 's': s.parity = LineSettings::Parity::Space; break;
    default: return false;
  }
  if (parts[2].size() != 1 || parts[2][0] < '5' || parts[2][0] > '8') return false;
  s.dataBits = parts[2][0] - '0';
  if (parts[3] == "1")
    s.stopBits = LineSettings::StopBits::One;
  else if (parts[3] == "1.5")
    s.stopBits = LineSettings::StopBits::OneAndHalf;
  else if (parts[3] == "2")
    s.stopBits = LineSettings::StopBits::Two;
  else
    return false;
  out = s;
  return true;
}

}  // namespace kelvane
