#include <grp.h>
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
  const std::string usb1 = m.devices.devices[1].byId, gone = "/dev/serial/by-id/usb-unplugged";
  m.settings.values["Ports/COM2"] = usb1;
  m.settings.values["Ports/COM5"] = gone;
  struct Case {
    int port;
    std::string device, node;  // node: the listed device it is; empty: none
    bool assigned;
  };
  // clang-format off
  for (const Case& c : {Case{1, "/dev/ttyUSB0", "/dev/ttyUSB0", false}, {2, usb1, "/dev/ttyUSB1", true},
                        {3, "/dev/ttyS0", "/dev/ttyS0", false}, {4, "", "", false}, {5, gone, "", true}}) {
    // clang-format on
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
  EXPECT_EQ(usb.path + "|" + usb.UsbId() + "|" + usb.manufacturer + "|" + usb.description + "|" +
                usb.serialNumber + "|" + usb.byId,
            Dev("ttyUSB0") + "|0403:6001|FTDI|FT232R USB UART|A50285BI|" +
                Dev("serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"));
  EXPECT_EQ(usb.latencyTimerMs, 16);
  EXPECT_TRUE(usb.accessible);
  const group* own = ::getgrgid(::getegid());  // the nodes were made by this process
  const std::string ownGroup = own ? own->gr_name : std::to_string(::getegid());
  EXPECT_EQ(usb.group, ownGroup);
  EXPECT_EQ(devices[1].path, Dev("ttyS0"));
  EXPECT_FALSE(devices[1].Usb());
  EXPECT_EQ(devices[1].latencyTimerMs, -1);
  EXPECT_EQ(devices[1].byId, "");
}

TEST_F(SystemTree, ProbeFollowsLinksAndNamesTheHolderFromItsLockFileOrItsOpenFiles) {
  const SystemDevices system(root_.string());
  const DeviceProbe byId =
      system.Probe(Dev("serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"));
  EXPECT_TRUE(byId.exists);
  EXPECT_EQ(byId.node, Dev("ttyUSB0"));
  EXPECT_EQ(byId.group, system.Devices()[0].group) << "the group that gives access to it";
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
