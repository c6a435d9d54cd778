#pragma once
// The serial devices of the machine as plain facts: what the system says about each adapter
// and port, and what it can tell about one path (does it exist, may this user open it, who
// holds it). The Linux implementation reads /sys, /dev and /proc; the tests use a fake.

#include <optional>
#include <string>
#include <vector>

namespace kelvane {

// A program that holds a device open.
struct Holder {
  int pid = 0;
  std::string program{};  // empty when the system does not say
};

struct SerialDevice {
  std::string path;           // the device node, "/dev/ttyUSB0"
  std::string description{};  // the product as the adapter names itself
  std::string manufacturer{};
  int vendorId = -1;  // USB vendor and product id; -1 for a device not on USB
  int productId = -1;
  std::string serialNumber{};
  std::string byId{};       // the stable path under /dev/serial/by-id, empty where none
  bool accessible = false;  // this user may open it for reading and writing
  std::string group{};      // the group that owns the node
  int latencyTimerMs = -1;  // the USB adapter's latency timer; -1 where it has none

  std::string Name() const;  // the node's name, "ttyUSB0"
  bool Usb() const { return vendorId >= 0; }
  // The path to store for this device: the by-id path where there is one.
  std::string StablePath() const { return byId.empty() ? path : byId; }
  // "0403:6001", or empty for a device not on USB.
  std::string UsbId() const;
};

// What the system can tell about one path.
struct DeviceProbe {
  bool exists = false;
  std::string node{};             // the path with its links resolved
  bool accessible = false;        // may be opened for reading and writing by this user
  std::string group{};            // the group that owns the node
  bool memberSinceLogin = false;  // the user is in that group, but not yet in this session
};

class DeviceList {
 public:
  virtual ~DeviceList() = default;
  // Every serial device present, in the order the port numbers take them (SortDevices).
  virtual std::vector<SerialDevice> Devices() const = 0;
  virtual DeviceProbe Probe(const std::string& path) const = 0;
  // A program that has the node open, where the system can tell (asked only for a port
  // found busy: looking may take a while).
  virtual std::optional<Holder> HolderOf(const std::string& node) const = 0;
};

// The listed device a path stands for (its node, its by-id path, or a link to either).
std::optional<SerialDevice> FindDevice(const std::vector<SerialDevice>& devices,
                                       const std::string& path, const DeviceList& system);

// One line of what is known of a device beyond its path: "FT232R USB UART, FTDI, 0403:6001,
// serial A50285BI" (empty when nothing is known).
std::string DeviceFacts(const SerialDevice& device);

// How a user who may not open a device of `group` comes to: "sudo usermod -aG dialout
// $USER, then log in again"; for a device of the group root, which no user should join, a
// udev rule that changes the device's group and mode.
std::string AccessFix(const std::string& group);

// Where the adapter's latency timer stays above 1 ms: the line that says so and how to fix
// it for good. Empty where the timer is 1 ms or the device has none.
std::string LatencyAdvice(const SerialDevice& device);

}  // namespace kelvane
