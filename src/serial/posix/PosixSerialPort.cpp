#include "serial/posix/PosixSerialPort.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>

#include "serial/SystemDevices.h"

namespace kelvane {

namespace {

// Bytes asked of the device per read.
constexpr std::size_t kReadChunk = 4096;

std::string SystemWords(int error) { return std::strerror(error); }

bool SpeedOf(int baud, speed_t& out) {
  static constexpr struct {
    int baud;
    speed_t speed;
  } kSpeeds[] = {{1200, B1200},     {2400, B2400},     {4800, B4800},    {9600, B9600},
                 {19200, B19200},   {38400, B38400},   {57600, B57600},  {115200, B115200},
                 {230400, B230400}, {460800, B460800}, {921600, B921600}};
  for (const auto& s : kSpeeds)
    if (s.baud == baud) return out = s.speed, true;
  return false;
}

// The line settings in `t` (raw, no flow control, modem lines ignored); false when the
// system cannot set them.
bool Configure(termios& t, const LineSettings& line) {
  speed_t speed{};
  if (!SpeedOf(line.baud, speed) || line.stopBits == LineSettings::StopBits::OneAndHalf)
    return false;
  ::cfmakeraw(&t);  // also VMIN 1, VTIME 0: with O_NONBLOCK an empty read is EAGAIN, not 0
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS | CMSPAR);
  t.c_cflag |= CLOCAL | CREAD;
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  t.c_cflag |= kSizes[line.dataBits - 5];
  if (line.stopBits == LineSettings::StopBits::Two) t.c_cflag |= CSTOPB;
  switch (line.parity) {
    case LineSettings::Parity::None: break;
    case LineSettings::Parity::Even: t.c_cflag |= PARENB; break;
    case LineSettings::Parity::Odd: t.c_cflag |= PARENB | PARODD; break;
    case LineSettings::Parity::Mark: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case LineSettings::Parity::Space: t.c_cflag |= PARENB | CMSPAR; break;
  }
  return ::cfsetispeed(&t, speed) == 0 && ::cfsetospeed(&t, speed) == 0;
}

// Another living program's lock file for the device ("LCK..ttyUSB0", "LCK..pts_3" holding
// its pid), as programs that take no flock leave: a port in use to them, whatever TIOCEXCL
// lets root do.
bool LockedElsewhere(const std::string& node) {
  std::string name = node.rfind("/dev/", 0) == 0 ? node.substr(5) : node;
  std::replace(name.begin(), name.end(), '/', '_');
  for (const char* folder : {"/var/lock", "/run/lock"}) {
    std::ifstream lock(std::string(folder) + "/LCK.." + name);
    long pid = 0;
    if (!(lock >> pid) || pid <= 0 || pid == ::getpid()) continue;
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM) return true;
  }
  return false;
}

OpenCause CauseOf(int error) {
  switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO: return OpenCause::NoSuchDevice;
    case EACCES:
    case EPERM: return OpenCause::PermissionDenied;
    case EBUSY:
    case EWOULDBLOCK: return OpenCause::Busy;
    default: return OpenCause::Other;
  }
}

}  // namespace

PosixSerialPort::PosixSerialPort(const SettingsStore& settings)
    : DevicePort(settings, std::make_unique<SystemDevices>()) {}

PosixSerialPort::PosixSerialPort(const SettingsStore& settings, const DeviceList& devices)
    : DevicePort(settings, devices) {}

PosixSerialPort::~PosixSerialPort() { CloseDevice(); }

DevicePort::Result PosixSerialPort::OpenDevice(const std::string& node, const LineSettings& line,
                                               const std::optional<SerialDevice>& listed) {
  const int fd = ::open(node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    return {CauseOf(error), error == EBUSY ? "" : SystemWords(error)};
  }
  const auto fail = [fd](OpenCause cause, const std::string& why) {
    ::close(fd);
    return Result{cause, why};
  };
  // Alone: another program's lock file or flock is the busy case (an open refused for
  // TIOCEXCL was above); TIOCEXCL then refuses further opens (except to root), the flock is
  // seen by every program that takes one, root included.
  if (LockedElsewhere(node)) return fail(OpenCause::Busy, "");
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
    return errno == EWOULDBLOCK ? fail(OpenCause::Busy, "")
                                : fail(OpenCause::Other, SystemWords(errno));
  termios t{};
  if (::tcgetattr(fd, &t) != 0) return fail(OpenCause::Other, "not a serial device");
  if (!Configure(t, line)) return fail(OpenCause::BadSettings, "");
  if (::tcsetattr(fd, TCSANOW, &t) != 0) return fail(OpenCause::Other, SystemWords(errno));
  ::ioctl(fd, TIOCEXCL);  // last: it outlives a descriptor closed without TIOCNXCL
  // What came in as the port opened stays to be read: a receiver's ready announced then is
  // its answer, and the download must not lose it. What the terminal may have echoed to the
  // receiver before the line was raw (the first open after boot or plug-in finds it in
  // cooked mode) is dropped where it has not gone out yet.
  ::tcflush(fd, TCOFLUSH);
  fd_ = fd;
  // A USB adapter hands over small reads at once instead of after its latency timer;
  // pseudo-terminals and built-in ports are left as they are.
  if (listed && listed->Usb()) lowLatency_.Request(fd_);
  return {};
}

void PosixSerialPort::CloseDevice() {
  if (fd_ < 0) return;
  lowLatency_.Restore();  // the flags go back while the descriptor is still open
  // What is not sent yet is dropped (the owner waited for it as long as it wanted): a close
  // never waits on a line that does not drain. Only then: on a pseudo-terminal the flush
  // would also take back what was written and not yet read at the far end (the stop's 03).
  if (DeviceQueuedOut() > 0) ::tcflush(fd_, TCOFLUSH);
  ::ioctl(fd_, TIOCNXCL);
  ::close(fd_);  // the lock goes with it
  fd_ = -1;
}

DevicePort::Read PosixSerialPort::ReadDevice(Bytes& into, std::string& why) {
  for (;;) {
    const std::size_t at = into.size();
    into.resize(at + kReadChunk);
    const ssize_t n = ::read(fd_, into.data() + at, kReadChunk);
    const int error = errno;
    into.resize(at + static_cast<std::size_t>(n > 0 ? n : 0));
    // A terminal's read gives all it holds: a short one has emptied it, and what comes
    // later makes the line readable again.
    if (n > 0 && static_cast<std::size_t>(n) < kReadChunk) return Read::Drained;
    if (n > 0) continue;
    if (n == 0) return Read::Ended;  // a hang-up: the far end closed, the adapter went away
    if (error == EINTR) continue;
    if (error == EAGAIN || error == EWOULDBLOCK) return Read::Drained;
    // A vanished USB adapter and a pseudo-terminal whose far end closed say EIO.
    if (error == EIO) return Read::Ended;
    why = SystemWords(error);
    return Read::Failed;
  }
}

bool PosixSerialPort::WriteDevice(std::span<const std::uint8_t> bytes, std::string& why) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kWriteStallMs);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    const int error = errno;
    if (n < 0 && error == EINTR) continue;
    if (n < 0 && (error == EAGAIN || error == EWOULDBLOCK)) {
      // The device's queue is full: wait for room, a little.
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      pollfd p{fd_, POLLOUT, 0};
      if (left > 0 && ::poll(&p, 1, static_cast<int>(left)) >= 0 &&
          !(p.revents & (POLLERR | POLLHUP)))
        continue;
      why = "only " + std::to_string(done) + " of " + std::to_string(bytes.size()) +
            " bytes written: the device takes no more";
      return false;
    }
    why = "writing failed: " + (n < 0 ? SystemWords(error) : "nothing written");
    return false;
  }
  return true;
}

bool PosixSerialPort::DeviceFailed() const {
  if (fd_ < 0) return false;
  pollfd p{fd_, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

int PosixSerialPort::DeviceQueuedOut() const {
  int queued = 0;
  return fd_ >= 0 && ::ioctl(fd_, TIOCOUTQ, &queued) == 0 ? queued : 0;
}

void PosixSerialPort::DropDeviceOut() {
  if (fd_ >= 0) ::tcflush(fd_, TCOFLUSH);
}

void PosixSerialPort::DropDeviceIn() {
  if (fd_ >= 0) ::tcflush(fd_, TCIFLUSH);
}

}  // namespace kelvane
