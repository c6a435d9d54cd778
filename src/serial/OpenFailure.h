#pragma once
// Why a port did not open, as facts, and the words that tell the user which device it was,
// what is wrong and how to fix it. The serial object fills the facts; the window shows the
// words in its start-up box and the status line's tooltip, the command line on its error
// stream.

#include <optional>
#include <string>
#include <vector>

#include "serial/Devices.h"

namespace kelvane {

enum class OpenCause { None, NoDevice, NoSuchDevice, PermissionDenied, Busy, BadSettings, Other };

struct OpenFailure {
  OpenCause cause = OpenCause::None;
  int port = 0;                      // n of Com n
  std::string device;                // the path tried (empty with NoDevice)
  std::string node;                  // that path with its links resolved, where it exists
  std::string group;                 // PermissionDenied: the group that owns the node
  bool memberSinceLogin = false;     // PermissionDenied: joined, but not yet in this session
  std::optional<Holder> holder;      // Busy: the program holding it, where the system tells
  std::vector<std::string> present;  // NoDevice, NoSuchDevice: the devices that do exist
  std::string settings;              // BadSettings: the line settings refused
  std::string systemText;            // the system's own words, where they add something
};

// The facts for a path that did not open (or that is not worth trying): the probe finds a
// missing device or a refused permission; when it finds neither, the cause is `otherwise`
// (Busy takes the holder from the probe), with the system's words. An empty path means no
// device is mapped to the port.
OpenFailure DiagnoseOpen(int port, const std::string& device, const DeviceList& system,
                         OpenCause otherwise = OpenCause::None, const std::string& systemText = "");

// Three lines: the port and device with the cause, what the cause means here, the fix.
std::string Explain(const OpenFailure& failure);

// The words for a line that broke while open: the port, its device and, where it adds
// something, what failed.
std::string ExplainLost(int port, const std::string& device, const std::string& why);

}  // namespace kelvane
