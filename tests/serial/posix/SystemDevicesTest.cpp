#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "serial/SystemDevices.h"

namespace kelvane::test {
namespace {

namespace fs = std::filesystem;

// A machine's /sys, /dev and /proc in a folder: an FTDI adapter with its by-id link and
// latency timer, a built-in port, a built-in port without hardware, a console. The nodes are
// character devices, as the comparison of a by-id link with its device must handle.
class SystemTree : public ::testing::Test {
 protected:
  void SetUp() override {
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
