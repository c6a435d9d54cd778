#pragma once
// kelvane-cli ports: Com 1 to Com 8 with the device each stands for, then every serial
// device of the machine with what the system says of it; as lines for people or as one JSON
// object for scripts.

#include <string>

#include "files/SettingsStore.h"
#include "serial/Devices.h"

namespace kelvane::cli {

// `lastOpened`: the port the window opened last (0: none).
std::string PortsText(const SettingsStore& settings, const DeviceList& devices, int lastOpened);
std::string PortsJson(const SettingsStore& settings, const DeviceList& devices, int lastOpened);

}  // namespace kelvane::cli
