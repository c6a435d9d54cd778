#include "serial/qt/QtSerialPort.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <chrono>
#include <cstdlib>
#include <functional>

#include "app/MainView.h"
#include "app/qt/QtSettingsStore.h"
#include "app/qt/QtTestApp.h"

namespace kelvane::test {
namespace {

using namespace std::chrono_literals;

// The far end of the line: the master of a pseudo-terminal in raw mode.
struct Pty {
  Pty() {
    master = ::posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master, 0);
    EXPECT_EQ(::grantpt(master), 0);
    EXPECT_EQ(::unlockpt(master), 0);
    slave = ::ptsname(master);
    termios t{};
    ::tcgetattr(master, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(master, TCSANOW, &t);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
  }
  ~Pty() { Close(); }
  void Close() {
    if (master >= 0) ::close(master);
    master = -1;
  }
  void Write(const Bytes& b) const {
    std::size_t done = 0;
    while (done < b.size()) {
      const ssize_t n = ::write(master, b.data() + done, b.size() - done);
      if (n > 0) done += static_cast<std::size_t>(n);
    }
  }
  Bytes ReadAvailable() const {
    Bytes out(4096);
    const ssize_t n = ::read(master, out.data(), out.size());
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
  }
  int master = -1;
  std::string slave;
};

// Runs events until done() holds or the time is up; true when it held.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 3s) {
  const QDeadlineTimer deadline(limit);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    ::usleep(1000);
  }
  return true;
}

double CpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct SerialOnPty : ::testing::Test {
  void SetUp() override {
    TestApp();
    ASSERT_TRUE(dir.isValid());
    store = std::make_unique<QtSettingsStore>(dir.filePath("kelvane.ini"));
  }
  void MapCom1(const std::string& device) { store->Write(kAppName, kPortsSection, "COM1", device); }
  bool Open(QtSerialPort& serial) {
    serial.SetCommPort(1);
    serial.SetSettings(kLineSettings);
    return serial.SetPortOpen(true);
  }

  QTemporaryDir dir;
  std::unique_ptr<QtSettingsStore> store;
  Pty pty;
};

TEST_F(SerialOnPty, EveryByteValuePassesUnchangedBothWays) {
  MapCom1(pty.slave);
  QtSerialPort serial(*store);
  ASSERT_TRUE(Open(serial)) << serial.LastError();
  serial.SetInputMode(1);
  serial.SetInputLen(0);

  Bytes all;
  for (int round = 0; round < 4; ++round)
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<std::uint8_t>(b));

  pty.Write(all);
  Bytes received;
  ASSERT_TRUE(PumpUntil([&] {
    const Bytes got = serial.Input();
    received.insert(received.end(), got.begin(), got.end());
    return received.size() >= all.size();
  }));
  EXPECT_EQ(received, all);

  serial.Output(all);
  Bytes sent;
  ASSERT_TRUE(PumpUntil([&] {
    const Bytes got = pty.ReadAvailable();
    sent.insert(sent.end(), got.begin(), got.end());
    return sent.size() >= all.size();
  }));
  EXPECT_EQ(sent, all);
  EXPECT_TRUE(PumpUntil([&] { return serial.OutBufferCount() == 0; }));
}

TEST_F(SerialOnPty, InputLenLimitsAReadAndDroppingEmptiesTheBuffer) {
  MapCom1(pty.slave);
  QtSerialPort serial(*store);
  ASSERT_TRUE(Open(serial)) << serial.LastError();
  pty.Write({0x01, 0x02, 0x03, 0x04});
  ASSERT_TRUE(PumpUntil([&] { return serial.InBufferCount() == 4; }));
  serial.SetInputLen(1);
  EXPECT_EQ(serial.Input(), (Bytes{0x01}));
  EXPECT_EQ(serial.InBufferCount(), 3);
  serial.SetInBufferCount(0);
  EXPECT_EQ(serial.InBufferCount(), 0);
  serial.SetInputLen(0);
  EXPECT_TRUE(serial.Input().empty());  // never waits for more
}

TEST_F(SerialOnPty, ALinkToThePseudoTerminalOpensLikeTheDevice) {
  const QString link = dir.filePath("receiver");
  ASSERT_TRUE(QFile::link(QString::fromStdString(pty.slave), link));
  MapCom1(link.toStdString());
  QtSerialPort serial(*store);
  ASSERT_TRUE(Open(serial)) << serial.LastError();
  EXPECT_EQ(serial.Device(1), link.toStdString());
  EXPECT_NE(serial.Describe(1).find(pty.slave), std::string::npos) << serial.Describe(1);
  pty.Write({0x55, 0xAA});
  ASSERT_TRUE(PumpUntil([&] { return serial.InBufferCount() == 2; }));
  EXPECT_EQ(serial.Input(), (Bytes{0x55, 0xAA}));
}

TEST_F(SerialOnPty, FailedOpensSayWhichDeviceAndWhy) {
  {
    MapCom1(dir.filePath("ttyUSB9").toStdString());
    QtSerialPort serial(*store);
    EXPECT_FALSE(Open(serial));
    EXPECT_FALSE(serial.PortOpen());
    EXPECT_EQ(serial.reason(), QtSerialPort::OpenFailure::NoSuchDevice);
    const std::string why = serial.LastError();
    EXPECT_NE(why.find("COM1"), std::string::npos) << why;
    EXPECT_NE(why.find("ttyUSB9"), std::string::npos) << why;
    EXPECT_NE(why.find("no such device"), std::string::npos) << why;
    EXPECT_EQ(serial.CommPort(), 1);
  }
  {
    // No device named and far more ports than the machine has: say where to name one.
    QtSerialPort serial(*store);
    serial.SetCommPort(99);
    serial.SetSettings(kLineSettings);
    EXPECT_FALSE(serial.SetPortOpen(true));
    EXPECT_EQ(serial.reason(), QtSerialPort::OpenFailure::NoDevice);
    EXPECT_NE(serial.LastError().find("\"Ports\""), std::string::npos) << serial.LastError();
  }
  {
    MapCom1(pty.slave);
    QtSerialPort serial(*store);
    serial.SetCommPort(1);
    serial.SetSettings("115200,x,8,1");
    EXPECT_FALSE(serial.SetPortOpen(true));
    EXPECT_EQ(serial.reason(), QtSerialPort::OpenFailure::BadSettings);
  }
}

TEST_F(SerialOnPty, ASecondOpenOfTheSameDeviceIsBusy) {
  MapCom1(pty.slave);
  QtSerialPort first(*store), second(*store);
  ASSERT_TRUE(Open(first)) << first.LastError();
  EXPECT_FALSE(Open(second));
  EXPECT_EQ(second.reason(), QtSerialPort::OpenFailure::Busy) << second.LastError();
  EXPECT_NE(second.LastError().find("busy"), std::string::npos) << second.LastError();
  first.SetPortOpen(false);
  EXPECT_TRUE(Open(second)) << second.LastError();
}

TEST_F(SerialOnPty, ClosedFarEndIsLostOnceWithoutSpinningAndKeepsTheLastBytes) {
  MapCom1(pty.slave);
  QtSerialPort serial(*store);
  ASSERT_TRUE(Open(serial)) << serial.LastError();
  pty.Write({0x17});
  ASSERT_TRUE(PumpUntil([&] { return serial.InBufferCount() == 1; }));
  pty.Close();
  ASSERT_TRUE(PumpUntil([&] { return serial.Lost(); }, 2s));
  EXPECT_TRUE(serial.PortOpen());  // open until closed
  EXPECT_NE(serial.LastError().find("lost"), std::string::npos) << serial.LastError();
  EXPECT_EQ(serial.Input(), (Bytes{0x17}));
  EXPECT_EQ(serial.OutBufferCount(), 0);  // nothing can drain any more: a close does not wait

  // Waiting for events must sleep now, not wake on the dead device again and again.
  const double before = CpuSeconds();
  for (int i = 0; i < 5; ++i) {
    QEventLoop loop;
    QTimer::singleShot(100, &loop, &QEventLoop::quit);
    loop.exec();
  }
  EXPECT_LT(CpuSeconds() - before, 0.1);

  serial.SetPortOpen(false);
  EXPECT_FALSE(serial.Lost());
  EXPECT_FALSE(serial.PortOpen());
}

TEST(LineSettings, ParsesSpeedParityDataAndStopBits) {
  LineSettings s;
  ASSERT_TRUE(ParseLineSettings("115200,n,8,1", s));
  EXPECT_EQ(s.baud, 115200);
  EXPECT_EQ(s.parity, QSerialPort::NoParity);
  EXPECT_EQ(s.dataBits, QSerialPort::Data8);
  EXPECT_EQ(s.stopBits, QSerialPort::OneStop);
  ASSERT_TRUE(ParseLineSettings("9600,E,7,2", s));
  EXPECT_EQ(s.parity, QSerialPort::EvenParity);
  EXPECT_EQ(s.dataBits, QSerialPort::Data7);
  EXPECT_EQ(s.stopBits, QSerialPort::TwoStop);
  for (const char* bad : {"", "115200", "115200,n,8", "fast,n,8,1", "115200,q,8,1", "115200,n,9,1",
                          "115200,n,8,3", "0,n,8,1", "-9600,n,8,1"})
    EXPECT_FALSE(ParseLineSettings(bad, s)) << bad;
}

}  // namespace
}  // namespace kelvane::test
