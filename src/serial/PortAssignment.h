#pragma once
// Which device Com n stands for: the path assigned to it under "COMn" in the settings
// section "Ports" (a stable /dev/serial/by-id path where the system has one), else the n-th
// serial device found. Assigning, and the one line a port button's tooltip shows.

#include <optional>
#include <string>
#include <vector>

#include "files/SettingsStore.h"
#include "serial/Devices.h"

namespace kelvane {

inline constexpr int kPortCount = 8;

// Where the system names its ports COM1, COM2...: an unassigned Com n is the device COMn
// (Windows), not the n-th device found.
#ifdef _WIN32
inline constexpr bool kComPortsByNumber = true;
#else
inline constexpr bool kComPortsByNumber = false;
#endif

struct PortMapping {
  int port = 0;
  std::string device;                // the path an open of Com n tries; empty: none
  bool assigned = false;             // named in the settings, not the n-th device found
  std::optional<SerialDevice> info;  // the listed device it is, when present
};

// The path stored for Com n ("" when none is).
std::string AssignedPath(const SettingsStore& settings, int port);

// Stores the device's stable path for Com n; an empty path removes the assignment. Other
// ports that named the same device lose it, so that one device answers to one port.
void AssignPort(SettingsStore& settings, int port, const std::string& path,
                const std::vector<SerialDevice>& devices, const DeviceList& system);

PortMapping MapPort(const SettingsStore& settings, int port,
                    const std::vector<SerialDevice>& devices, const DeviceList& system);

// What a port is doing, for its tooltip.
enum class PortState { Closed, Open, Lost };

// "COM1: /dev/serial/by-id/usb-FTDI_... -> ttyUSB0 (FT232R USB UART, FTDI, 0403:6001, serial
// A50285BI); latency timer 1 ms; open", with a further line where the user cannot open it or
// the latency timer is slow. Without a state only a missing device is said.
std::string PortToolTip(const PortMapping& mapping, std::optional<PortState> state,
                        const DeviceList& system);

}  // namespace kelvane
