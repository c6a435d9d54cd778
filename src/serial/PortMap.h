#pragma once
// How port number n (COM1 to COM8) finds its device on this machine: a device named in the
// settings wins; otherwise the n-th serial device found, adapters first.

#include <string>
#include <vector>

namespace kelvane {

// Orders device paths as the port numbers take them: USB and ACM adapters (ttyUSB*, ttyACM*)
// first, then the other ports (ttyS* and the rest); within each class by name, with the
// trailing number compared as a number (ttyUSB2 before ttyUSB10). Duplicates are dropped.
std::vector<std::string> SortDevices(std::vector<std::string> devices);

// The device of port n: configured when it is not empty, else the n-th of the sorted
// devices (n from 1), else the empty text (no device for that port).
std::string MapPort(int n, const std::string& configured, std::vector<std::string> devices);

}  // namespace kelvane
