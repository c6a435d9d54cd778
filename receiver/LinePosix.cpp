// The line on a POSIX system: a pseudo-terminal, held by a descriptor of our own on its slave
// until the PC has opened it, or a serial device through termios.
#ifndef _WIN32

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <utility>

#include "receiver/Line.h"

namespace kelvane::rx {

struct Line::System {
  int fd = -1;
  int hold = -1;  // our own descriptor on the pty slave, kept until the PC is seen
  std::string linkPath;
};

namespace {

using namespace std::chrono;

// The symlink to remove when a signal ends the program.
char g_linkToRemove[4096];

void RemoveLinkAndExit(int sig) {
  if (g_linkToRemove[0] != '\0') ::unlink(g_linkToRemove);
  ::_exit(128 + sig);
}

// The last stretch of a long wait, slept apart.
constexpr auto kLastStretch = milliseconds(1);

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

void MakeRaw(int fd, bool setSpeed) {
  termios t{};
  if (::tcgetattr(fd, &t) != 0) throw LineError(Errno("tcgetattr"));
  ::cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (setSpeed) {
    ::cfsetispeed(&t, B115200);
    ::cfsetospeed(&t, B115200);
  }
  if (::tcsetattr(fd, TCSANOW, &t) != 0) throw LineError(Errno("tcsetattr"));
}

}  // namespace

Line::Line() : sys_(std::make_unique<System>()) {}
Line::Line(Line&&) noexcept = default;

Line Line::OpenPty(const std::string& linkPath, bool pace) {
  Line line;
  line.pty_ = true;
  line.pace_ = pace;
  line.sys_->fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (line.sys_->fd < 0) throw LineError(Errno("posix_openpt"));
  if (::grantpt(line.sys_->fd) != 0 || ::unlockpt(line.sys_->fd) != 0)
    throw LineError(Errno("grantpt/unlockpt"));
  const char* name = ::ptsname(line.sys_->fd);
  if (!name) throw LineError(Errno("ptsname"));
  line.peerPath_ = name;
  // Until the PC opens the slave, holding it ourselves keeps the master from seeing a
  // hang-up (reads fail with EIO while no slave descriptor is open).
  line.sys_->hold = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (line.sys_->hold < 0) throw LineError(Errno("open " + line.peerPath_));
  MakeRaw(line.sys_->fd, false);
  MakeRaw(line.sys_->hold, true);
  ::fcntl(line.sys_->fd, F_SETFL, ::fcntl(line.sys_->fd, F_GETFL) | O_NONBLOCK);
  if (!linkPath.empty()) {
    ::unlink(linkPath.c_str());
    if (::symlink(name, linkPath.c_str()) != 0) throw LineError(Errno("symlink " + linkPath));
    line.sys_->linkPath = linkPath;
    std::strncpy(g_linkToRemove, linkPath.c_str(), sizeof g_linkToRemove - 1);
    std::signal(SIGINT, RemoveLinkAndExit);
    std::signal(SIGTERM, RemoveLinkAndExit);
    std::signal(SIGHUP, RemoveLinkAndExit);
  }
  return line;
}

Line Line::OpenDevice(const std::string& path, bool pace) {
  Line line;
  line.pace_ = pace;
  line.peerPath_ = path;
  line.sys_->fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (line.sys_->fd < 0) throw LineError(Errno("open " + path));
  MakeRaw(line.sys_->fd, true);
  ::tcflush(line.sys_->fd, TCIOFLUSH);
  return line;
}

Line::~Line() {
  if (!sys_) return;  // moved from
  Close();
  if (!sys_->linkPath.empty()) {
    ::unlink(sys_->linkPath.c_str());
    g_linkToRemove[0] = '\0';
  }
}

void Line::Close() {
  ReleaseHold();
  if (sys_->fd >= 0) ::close(sys_->fd);
  sys_->fd = -1;
}

void Line::ReleaseHold() {
  if (sys_->hold >= 0) ::close(sys_->hold);
  sys_->hold = -1;
}

void Line::HoldAgain() {
  if (!pty_ || sys_->hold >= 0 || sys_->fd < 0) return;
  sys_->hold = ::open(peerPath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (sys_->hold < 0) throw LineError(Errno("open " + peerPath_));
  MakeRaw(sys_->hold, true);
  peerSeen_ = false;
  peerClosed_ = false;
  queue_.clear();
}

void Line::DiscardUnread() {
  if (sys_->hold >= 0 && !peerSeen_) ::tcflush(sys_->hold, TCIFLUSH);
}

bool Line::IsOpen() const { return sys_->fd >= 0; }

std::size_t Line::Send(const std::uint8_t* bytes, std::size_t n) {
  const ssize_t w = ::write(sys_->fd, bytes, n);
  if (w >= 0) return static_cast<std::size_t>(w);
  if (errno == EAGAIN || errno == EINTR) {
    pollfd p{sys_->fd, POLLOUT, 0};
    ::poll(&p, 1, 100);
    return 0;
  }
  if (errno == EIO) PeerGone();
  throw LineError(Errno("write"));
}

std::size_t Line::Receive(std::uint8_t (&buf)[kChunk], SteadyClock::time_point until) {
  for (;;) {
    const auto now = SteadyClock::now();
    auto left = until > now ? until - now : SteadyClock::duration::zero();
    // A long sleep wakes late (a virtual machine's idle processor, a few hundred
    // microseconds): it ends a little early, and a short one, which wakes on time, follows.
    const bool nap = left > 2 * kLastStretch;
    if (nap) left -= kLastStretch;
    const auto ns = duration_cast<nanoseconds>(left).count();
    timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    pollfd p{sys_->fd, POLLIN, 0};
    const int r = ::ppoll(&p, 1, &ts, nullptr);
    if (r < 0) {
      if (errno == EINTR) continue;
      throw LineError(Errno("poll"));
    }
    if (r == 0 && nap) continue;
    if (r == 0) return 0;
    const ssize_t n = ::read(sys_->fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      if (errno == EIO) return kHungUp;
      throw LineError(Errno("read"));
    }
    return n == 0 ? kHungUp : static_cast<std::size_t>(n);
  }
}

}  // namespace kelvane::rx

#endif
