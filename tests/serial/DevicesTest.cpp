#include <gtest/gtest.h>

#include "serial/OpenFailure.h"
#include "serial/PortAssignment.h"
#include "support/FakeDevices.h"
#include "support/Fakes.h"
#include "support/Platform.h"

namespace kelvane::test {
namespace {

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

struct Machine {
  Machine() { devices.devices = {Ftdi(0, "A50285BI"), Ftdi(1, "B7", false), BuiltIn(0)}; }
  PortMapping Map(int n) const { return MapPort(settings, n, devices.Devices(), devices); }
  void Assign(int n, const std::string& path) {
    AssignPort(settings, n, path, devices.Devices(), devices);
  }
  FakeDevices devices;
  FakeSettings settings;
};

TEST(PortAssignment, AnAssignedPathWinsAndTheRestTakeTheDevicesInOrder) {
  Machine m;
  const std::string usb1 = m.devices.devices[1].byId, gone = "/dev/serial/by-id/usb-unplugged";
  m.settings.values["Ports/COM2"] = usb1;
  m.settings.values["Ports/COM5"] = gone;
  struct Case {
    int port;
    std::string device, node;  // node: the listed device it is; empty: none
    bool assigned;
  };
  // Unassigned, Com n is the n-th device found; on Windows it is COMn, whatever is found.
  const auto found = [](int n, const std::string& device) {
    return kComPortsByNumber ? Case{n, "COM" + std::to_string(n), "", false}
                             : Case{n, device, device, false};
  };
  for (const Case& c : {found(1, "/dev/ttyUSB0"),
                        {2, usb1, "/dev/ttyUSB1", true},
                        found(3, "/dev/ttyS0"),
                        found(4, ""),
                        {5, gone, "", true}}) {
    const PortMapping got = m.Map(c.port);
    EXPECT_EQ(got.device + "|" + (got.info ? got.info->path : ""), c.device + "|" + c.node)
        << c.port;
    EXPECT_EQ(got.assigned, c.assigned) << c.port;
  }
}

TEST(PortAssignment, StoresTheStablePathAndGivesEachDeviceOnePort) {
  KELVANE_SKIP_ON_WINDOWS("unassigned, Com n is COMn there, not the n-th device");
  Machine m;
  m.Assign(3, "/dev/ttyUSB0");  // chosen by its node, stored by its by-id path
  EXPECT_EQ(m.settings.values["Ports/COM3"], m.devices.devices[0].byId);
  m.Assign(1, m.devices.devices[0].byId);
  EXPECT_EQ(m.settings.values["Ports/COM1"], m.devices.devices[0].byId);
  EXPECT_EQ(m.settings.values["Ports/COM3"], "");  // moved, not copied
  m.Assign(2, "/dev/ttyS0");                       // no by-id path: the node itself
  EXPECT_EQ(m.settings.values["Ports/COM2"], "/dev/ttyS0");
  m.Assign(2, "");
  EXPECT_EQ(m.Map(2).device, "/dev/ttyUSB1");  // back to the device found second
}

TEST(PortAssignment, ToolTipShowsTheDeviceWhatIsKnownOfItAndItsState) {
  KELVANE_SKIP_ON_WINDOWS("unassigned, Com n is COMn there, not the n-th device");
  Machine m;
  m.settings.values["Ports/COM1"] = m.devices.devices[0].byId;
  m.settings.values["Ports/COM4"] = "/dev/serial/by-id/usb-gone";
  struct Case {
    int port;
    PortState state;
    std::vector<std::string> has, hasNot = {};
  };
  // clang-format off
  const Case cases[] = {
      {1, PortState::Open, {"COM1: /dev/serial/by-id/usb-FTDI", "-> ttyUSB0", "FT232R USB UART, FTDI, 0403:6001, serial A50285BI", "latency timer 16 ms", "; open", "udev rule"}, {"order found"}},
      {2, PortState::Closed, {"COM2: /dev/ttyUSB1", "; closed", "sudo usermod -aG dialout $USER"}},
      {3, PortState::Lost, {"/dev/ttyS0", "device 3 in the order found", "lost"}, {"latency", "usermod"}},
      {4, PortState::Closed, {"not present"}},
      {8, PortState::Closed, {"COM8: no serial device", "Ports dialog"}},
  };
  // clang-format on
  for (const Case& c : cases) {
    const std::string tip = PortToolTip(m.Map(c.port), c.state, m.devices);
    for (const auto& h : c.has) EXPECT_TRUE(Has(tip, h)) << h << " in " << tip;
    for (const auto& h : c.hasNot) EXPECT_FALSE(Has(tip, h)) << h << " in " << tip;
  }
}

TEST(OpenFailure, SaysWhichDeviceWhyAndHowToFixIt) {
  KELVANE_SKIP_ON_WINDOWS("the fix for a busy port names another tool there");
  Machine m;
  m.devices.holders["/dev/ttyUSB0"] = {.pid = 4242, .program = "minicom"};
  m.devices.extra["/dev/ttyUSB7"] = {.exists = true,
                                     .node = "/dev/ttyUSB7",
                                     .accessible = false,
                                     .group = "uucp",
                                     .memberSinceLogin = true};
  m.devices.extra["/dev/ttyUSB8"] = {.exists = true, .node = "/dev/ttyUSB8", .accessible = true};
  struct Case {
    const char* name;
    int port;
    std::string device;
    OpenCause otherwise, cause;
    std::vector<std::string> has;
  };
  using C = OpenCause;
  // clang-format off
  const Case cases[] = {
      {"no device mapped", 8, "", C::None, C::NoDevice, {"COM8: no serial device", "Serial devices present: /dev/serial/by-id/usb-FTDI", "/dev/ttyS0", "\"Ports\""}},
      {"missing", 1, "/dev/ttyUSB9", C::None, C::NoSuchDevice, {"COM1 (/dev/ttyUSB9): no such device", "present: ", "Fix: "}},
      {"permission", 2, "/dev/ttyUSB1", C::None, C::PermissionDenied, {"COM2 (/dev/ttyUSB1): permission denied", "group dialout", "sudo usermod -aG dialout $USER"}},
      {"joined since login", 2, "/dev/ttyUSB7", C::None, C::PermissionDenied, {"group uucp", "log out and log in again"}},
      {"busy, holder known", 1, m.devices.devices[0].byId, C::Busy, C::Busy, {"-> /dev/ttyUSB0", "busy", "minicom (process 4242)", "close minicom"}},
      {"busy, holder unknown", 3, "/dev/ttyUSB8", C::Busy, C::Busy, {"busy", "fuser /dev/ttyUSB8"}},
      {"present and usable", 3, "/dev/ttyS0", C::None, C::None, {}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const OpenFailure f =
        DiagnoseOpen(c.port, c.device, m.devices, c.otherwise, "Device or resource busy");
    EXPECT_EQ(f.cause, c.cause);
    const std::string text = Explain(f);
    EXPECT_EQ(text.empty(), c.cause == OpenCause::None) << text;
    for (const auto& h : c.has) EXPECT_TRUE(Has(text, h)) << h << " in " << text;
  }
}

}  // namespace
}  // namespace kelvane::test
