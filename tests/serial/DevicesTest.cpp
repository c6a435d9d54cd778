#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "serial/OpenFailure.h"
#include "serial/PortAssignment.h"
#include "serial/posix/SystemDevices.h"
#include "support/FakeDevices.h"
#include "support/Fakes.h"

#include "support/Platform.h"

namespace kelvane::test {
namespace {

namespace fs = std::filesystem;

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
  KELVANE_SKIP_ON_WINDOWS("unassigned, Com n is COMn there, not the n-th device");
  Machine m;
  m.settings.values["Ports/COM2"] = m.devices.devices[1].byId;
  struct Case {
    int port;
    std::string device;
    bool assigned;
    std::string node;  // the listed device it is; empty: none
  };
  const Case cases[] = {
      {.port = 1, .device = "/dev/ttyUSB0", .assigned = false, .node = "/dev/ttyUSB0"},
      {.port = 2, .device = m.devices.devices[1].byId, .assigned = true, .node = "/dev/ttyUSB1"},
      {.port = 3, .device = "/dev/ttyS0", .assigned = false, .node = "/dev/ttyS0"},
      {.port = 4, .device = "", .assigned = false, .node = ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.port);
    const PortMapping got = m.Map(c.port);
    EXPECT_EQ(got.device, c.device);
    EXPECT_EQ(got.assigned, c.assigned);
    EXPECT_EQ(got.info ? got.info->path : "", c.node);
  }
  m.settings.values["Ports/COM5"] = "/dev/serial/by-id/usb-unplugged";
  EXPECT_EQ(m.Map(5).device, "/dev/serial/by-id/usb-unplugged");
  EXPECT_FALSE(m.Map(5).info);
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
  struct Case {
    int port;
    PortState state;
    std::vector<std::string> has;
    std::vector<std::string> hasNot = {};
  };
  const Case cases[] = {
      {.port = 1,
       .state = PortState::Open,
       .has = {"COM1: /dev/serial/by-id/usb-FTDI", "-> ttyUSB0",
               "FT232R USB UART, FTDI, 0403:6001, serial A50285BI", "latency timer 16 ms", "; open",
               "udev rule"},
       .hasNot = {"order found"}},
      {.port = 2,
       .state = PortState::Closed,
       .has = {"COM2: /dev/ttyUSB1", "; closed", "sudo usermod -aG dialout $USER"}},
      {.port = 3,
       .state = PortState::Lost,
       .has = {"/dev/ttyS0", "device 3 in the order found", "lost"},
       .hasNot = {"latency", "usermod"}},
      {.port = 8, .state = PortState::Closed, .has = {"COM8: no serial device", "Ports dialog"}},
  };
  for (const Case& c : cases) {
    const std::string tip = PortToolTip(m.Map(c.port), c.state, m.devices);
    for (const auto& h : c.has) EXPECT_TRUE(Has(tip, h)) << h << " in " << tip;
    for (const auto& h : c.hasNot) EXPECT_FALSE(Has(tip, h)) << h << " in " << tip;
  }
  m.settings.values["Ports/COM4"] = "/dev/serial/by-id/usb-gone";
  EXPECT_TRUE(Has(PortToolTip(m.Map(4), PortState::Closed, m.devices), "not present"));
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
    OpenCause otherwise;
    OpenCause cause;
    std::vector<std::string> has;
  };
  const Case cases[] = {
      {.name = "no device mapped",
       .port = 8,
       .device = "",
       .otherwise = OpenCause::None,
       .cause = OpenCause::NoDevice,
       .has = {"COM8: no serial device", "Serial devices present: /dev/serial/by-id/usb-FTDI",
               "/dev/ttyS0", "\"Ports\""}},
      {.name = "missing",
       .port = 1,
       .device = "/dev/ttyUSB9",
       .otherwise = OpenCause::None,
       .cause = OpenCause::NoSuchDevice,
       .has = {"COM1 (/dev/ttyUSB9): no such device", "present: ", "Fix: "}},
      {.name = "permission",
       .port = 2,
       .device = "/dev/ttyUSB1",
       .otherwise = OpenCause::None,
       .cause = OpenCause::PermissionDenied,
       .has = {"COM2 (/dev/ttyUSB1): permission denied", "group dialout",
               "sudo usermod -aG dialout $USER"}},
      {.name = "joined since login",
       .port = 2,
       .device = "/dev/ttyUSB7",
       .otherwise = OpenCause::None,
       .cause = OpenCause::PermissionDenied,
       .has = {"group uucp", "log out and log in again"}},
      {.name = "busy, holder known",
       .port = 1,
       .device = m.devices.devices[0].byId,
       .otherwise = OpenCause::Busy,
       .cause = OpenCause::Busy,
       .has = {"-> /dev/ttyUSB0", "busy", "minicom (process 4242)", "close minicom"}},
      {.name = "busy, holder unknown",
       .port = 3,
       .device = "/dev/ttyUSB8",
       .otherwise = OpenCause::Busy,
       .cause = OpenCause::Busy,
       .has = {"busy", "fuser /dev/ttyUSB8"}},
      {.name = "present and usable",
       .port = 3,
       .device = "/dev/ttyS0",
       .otherwise = OpenCause::None,
       .cause = OpenCause::None,
       .has = {}},
  };
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

// A machine's /sys, /dev and /proc in a folder: an FTDI adapter with its by-id link and
// latency timer, a built-in port, a built-in port without hardware, a console. The nodes are
// character devices, as the comparison of a by-id link with its device must handle.
class SystemTree : public ::testing::Test {
 protected:
  void SetUp() override {
    KELVANE_SKIP_ON_WINDOWS("a fake /sys and /dev tree");
    root_ = fs::temp_directory_path() / ("kelvane-sys-" + std::to_string(::getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_);
    root_ = fs::canonical(root_);
    const fs::path usb = root_ / "sys/devices/usb1/1-1";
    Write(usb / "idVendor", "0403\n");
    Write(usb / "idProduct", "6001\n");
    Write(usb / "manufacturer", "FTDI\n");
    Write(usb / "product", "FT232R USB UART\n");
    Write(usb / "serial", "A50285BI\n");
    Write(usb / "1-1:1.0/ttyUSB0/latency_timer", "16\n");
    Write(root_ / "sys/devices/platform/serial8250/port0/x", "");
    Tty("ttyUSB0", "../../../devices/usb1/1-1/1-1:1.0/ttyUSB0", "");
    Tty("ttyS0", "../../../devices/platform/serial8250/port0", "4");
    Tty("ttyS1", "../../../devices/platform/serial8250/port0", "0");
    fs::create_directories(root_ / "sys/class/tty/tty0");
    // Character devices as on a real /dev, numbered in the experimental range so that
    // none of them is a device of this machine.
    unsigned minor = 0;
    for (const char* node : {"ttyUSB0", "ttyS0", "ttyS1", "tty0"}) {
      fs::create_directories(root_ / "dev");
      if (::mknod((root_ / "dev" / node).c_str(), S_IFCHR | 0660, makedev(240, minor++)) != 0)
        GTEST_SKIP() << "mknod refused (" << std::strerror(errno)
                     << "): a character device needs root or CAP_MKNOD";
    }
    fs::create_directories(root_ / "dev/serial/by-id");
    fs::create_symlink("../../ttyUSB0",
                       root_ / "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
  }
  void TearDown() override { fs::remove_all(root_); }

  void Write(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
  }
  void Tty(const std::string& name, const std::string& device, const std::string& type) {
    fs::create_directories(root_ / "sys/class/tty" / name);
    fs::create_directory_symlink(device, root_ / "sys/class/tty" / name / "device");
    if (!type.empty()) Write(root_ / "sys/class/tty" / name / "type", type + "\n");
  }
  std::string Dev(const std::string& name) const { return (root_ / "dev" / name).string(); }

  fs::path root_;
};

TEST_F(SystemTree, ListsAdaptersAndPresentPortsWithWhatTheSystemSays) {
  const auto devices = SystemDevices(root_.string()).Devices();
  ASSERT_EQ(devices.size(), 2u);  // no port without hardware, no console
  const SerialDevice& usb = devices[0];
  EXPECT_EQ(usb.path, Dev("ttyUSB0"));
  EXPECT_EQ(usb.UsbId(), "0403:6001");
  EXPECT_EQ(usb.manufacturer, "FTDI");
  EXPECT_EQ(usb.description, "FT232R USB UART");
  EXPECT_EQ(usb.serialNumber, "A50285BI");
  EXPECT_EQ(usb.byId, Dev("serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"));
  EXPECT_EQ(usb.latencyTimerMs, 16);
  EXPECT_TRUE(usb.accessible);
  const SerialDevice& builtIn = devices[1];
  EXPECT_EQ(builtIn.path, Dev("ttyS0"));
  EXPECT_FALSE(builtIn.Usb());
  EXPECT_EQ(builtIn.latencyTimerMs, -1);
  EXPECT_EQ(builtIn.byId, "");
}

TEST_F(SystemTree, ProbeFollowsLinksAndNamesTheHolderFromItsLockFileOrItsOpenFiles) {
  const SystemDevices system(root_.string());
  const DeviceProbe byId =
      system.Probe(Dev("serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"));
  EXPECT_TRUE(byId.exists);
  EXPECT_EQ(byId.node, Dev("ttyUSB0"));
  EXPECT_FALSE(system.HolderOf(byId.node));
  EXPECT_FALSE(system.Probe(Dev("ttyUSB3")).exists);

  Write(root_ / "var/lock/LCK..ttyUSB0", "      4242\n");
  EXPECT_FALSE(system.HolderOf(Dev("ttyUSB0")));  // a stale lock: no such process
  Write(root_ / "proc/4242/comm", "minicom\n");
  const auto locked = system.HolderOf(Dev("ttyUSB0"));
  ASSERT_TRUE(locked);
  EXPECT_EQ(locked->pid, 4242);
  EXPECT_EQ(locked->program, "minicom");

  Write(root_ / "proc/77/comm", "screen\n");
  fs::create_directories(root_ / "proc/77/fd");
  fs::create_symlink(Dev("ttyS0"), root_ / "proc/77/fd/3");
  const auto open = system.HolderOf(Dev("ttyS0"));
  ASSERT_TRUE(open);
  EXPECT_EQ(open->program, "screen");
}

}  // namespace
}  // namespace kelvane::test
