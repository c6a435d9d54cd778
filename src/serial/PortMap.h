#pragma once
// The order in which port numbers (COM1 to COM8) take the serial devices found on this
// machine when no device is assigned to them: adapters first.

#include <string>
#include <vector>

namespace kelvane {

// Orders device paths as the port numbers take them: USB and ACM adapters (ttyUSB*, ttyACM*)
// first, then the other ports (ttyS* and the rest); within each class by name, with the
// trailing number compared as a number (ttyUSB2 before ttyUSB10). Duplicates are dropped.
std::vector<std::string> SortDevices(std::vector<std::string> devices);

}  // namespace kelvane
