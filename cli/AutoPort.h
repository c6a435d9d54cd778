#pragma once
// --port auto: listens on every serial device at once, sending nothing, until one of them
// says the receiver's first words (ReceiverIsReady); that device is the port of the run.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "files/SettingsStore.h"
#include "serial/Devices.h"

namespace kelvane::cli {

// The devices to listen on: those Com 1 to Com 8 stand for and every device listed, each
// once (by the node it ends at), without those that are missing or that this user may not
// open.
std::vector<std::string> AutoCandidates(const SettingsStore& settings, const DeviceList& devices);

struct AutoResult {
  enum class End { Found, NoCandidate, TimedOut, Stopped } end = End::NoCandidate;
  std::string device;                 // Found: the device the receiver spoke on
  std::vector<std::string> listened;  // the devices that were opened
  std::vector<std::string> refused;   // the devices that would not open, with the reason
};

// Gives up after `timeoutSeconds` of silence on every device, or
// as soon as `stop` returns true (a signal).
AutoResult ListenForReceiver(const std::vector<std::string>& candidates, bool temu,
                             std::optional<double> timeoutSeconds,
                             const std::function<bool()>& stop);

}  // namespace kelvane::cli
