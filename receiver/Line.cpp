#include "receiver/Line.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <thread>
#include <utility>

namespace kelvane::rx {

namespace {

using namespace std::chrono;

constexpr auto kByteTime =
    duration_cast<SteadyClock::duration>(duration<double>(1.0 / kLineBytesPerSecond));
// A paced write goes out in slices of this many bytes (about 22 ms of line time): a few
// wake-ups per block. Each slice is handed over when its last byte would have crossed a
// real line, so the PC sees a block complete no sooner than on the line.
constexpr std::size_t kPaceSlice = 256;

// The symlink to remove when a signal ends the program.
char g_linkToRemove[4096];

void RemoveLinkAndExit(int sig) {
  if (g_linkToRemove[0] != '\0') ::unlink(g_linkToRemove);
  ::_exit(128 + sig);
}

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

Line Line::OpenPty(const std::string& linkPath, bool pace) {
  Line line;
  line.pty_ = true;
  line.pace_ = pace;
  line.fd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (line.fd_ < 0) throw LineError(Errno("posix_openpt"));
  if (::grantpt(line.fd_) != 0 || ::unlockpt(line.fd_) != 0)
    throw LineError(Errno("grantpt/unlockpt"));
  const char* name = ::ptsname(line.fd_);
  if (!name) throw LineError(Errno("ptsname"));
  line.peerPath_ = name;
  // Until the PC opens the slave, holding it ourselves keeps the master from seeing a
  // hang-up (reads fail with EIO while no slave descriptor is open).
  line.hold_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (line.hold_ < 0) throw LineError(Errno("open " + line.peerPath_));
  MakeRaw(line.fd_, false);
  MakeRaw(line.hold_, true);
  ::fcntl(line.fd_, F_SETFL, ::fcntl(line.fd_, F_GETFL) | O_NONBLOCK);
  if (!linkPath.empty()) {
    ::unlink(linkPath.c_str());
    if (::symlink(name, linkPath.c_str()) != 0) throw LineError(Errno("symlink " + linkPath));
    line.linkPath_ = linkPath;
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
  line.fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (line.fd_ < 0) throw LineError(Errno("open " + path));
  MakeRaw(line.fd_, true);
  ::tcflush(line.fd_, TCIOFLUSH);
  return line;
}

Line::Line(Line&& o) noexcept
    : fd_(std::exchange(o.fd_, -1)),
      hold_(std::exchange(o.hold_, -1)),
      pty_(o.pty_),
      pace_(o.pace_),
      peerSeen_(o.peerSeen_),
      peerClosed_(o.peerClosed_),
      peerPath_(std::move(o.peerPath_)),
      linkPath_(std::exchange(o.linkPath_, {})),
      sendFree_(o.sendFree_),
      lastArrival_(o.lastArrival_),
      lastRead_(o.lastRead_),
      replyDelay_(o.replyDelay_),
      queue_(std::move(o.queue_)),
      sent_(o.sent_),
      received_(o.received_) {}

Line::~Line() {
  Close();
  if (!linkPath_.empty()) {
    ::unlink(linkPath_.c_str());
    g_linkToRemove[0] = '\0';
  }
}

void Line::Close() {
  ReleaseHold();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void Line::ReleaseHold() {
  if (hold_ >= 0) ::close(hold_);
  hold_ = -1;
}

void Line::HoldAgain() {
  if (!pty_ || hold_ >= 0 || fd_ < 0) return;
  hold_ = ::open(peerPath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (hold_ < 0) throw LineError(Errno("open " + peerPath_));
  MakeRaw(hold_, true);
  peerSeen_ = false;
  peerClosed_ = false;
  queue_.clear();
}

void Line::DiscardUnread() {
  if (hold_ >= 0 && !peerSeen_) ::tcflush(hold_, TCIFLUSH);
}

void Line::ClosedByPeer() {
  // Bytes the PC wrote just before it closed may still be on their way on a paced line:
  // they are handed out first, and the close is reported when they are gone.
  peerClosed_ = true;
  if (queue_.empty()) PeerGone();
}

void Line::PeerGone() {
  throw PeerClosed(pty_ ? "the PC closed its end of the line" : "the serial device hung up");
}

void Line::Write(std::span<const std::uint8_t> bytes) {
  if (fd_ < 0) throw LineError("the line is closed");
  if (replyDelay_.count() && SteadyClock::now() < lastRead_ + replyDelay_)
    Wait(lastRead_ + replyDelay_);
  std::size_t done = 0;
  while (done < bytes.size()) {
    std::size_t n = bytes.size() - done;
    if (pace_) {
      // A slice is handed over when its last byte would have crossed a real line.
      n = std::min(n, kPaceSlice);
      // The slices of one write follow each other without a gap: each goes on from where
      // the line became free, so the wake-up slack of the waits does not add up over a
      // block. The first slice starts no earlier than now.
      const auto start = done == 0 ? std::max(SteadyClock::now(), sendFree_) : sendFree_;
      sendFree_ = start + kByteTime * static_cast<int>(n);
      Wait(sendFree_);
    }
    const ssize_t w = ::write(fd_, bytes.data() + done, n);
    if (w < 0) {
      if (errno == EAGAIN || errno == EINTR) {
        pollfd p{fd_, POLLOUT, 0};
        ::poll(&p, 1, 100);
        continue;
      }
      if (errno == EIO) PeerGone();
      throw LineError(Errno("write"));
    }
    done += static_cast<std::size_t>(w);
    sent_ += static_cast<std::size_t>(w);
  }
}

void Line::TakeIn(SteadyClock::time_point until) {
  if (peerClosed_) {
    // Nothing more can come; what was taken in still arrives on its paced schedule.
    if (queue_.empty()) PeerGone();
    std::this_thread::sleep_until(until);
    return;
  }
  for (;;) {
    const auto now = SteadyClock::now();
    const auto left = until > now ? until - now : SteadyClock::duration::zero();
    const auto ns = duration_cast<nanoseconds>(left).count();
    timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    pollfd p{fd_, POLLIN, 0};
    const int r = ::ppoll(&p, 1, &ts, nullptr);
    if (r < 0) {
      if (errno == EINTR) continue;
      throw LineError(Errno("poll"));
    }
    if (r == 0) return;
    std::uint8_t buf[4096];
    const ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      if (errno == EIO) return ClosedByPeer();
      throw LineError(Errno("read"));
    }
    if (n == 0) return ClosedByPeer();
    const auto readAt = SteadyClock::now();
    for (ssize_t i = 0; i < n; ++i) {
      // On a paced line a byte has arrived no sooner than one byte time after the last.
      auto at = readAt;
      if (pace_) at = std::max(readAt, lastArrival_ + kByteTime);
      lastArrival_ = at;
      queue_.push_back({buf[i], at});
    }
    received_ += static_cast<std::size_t>(n);
    if (!peerSeen_) {
      peerSeen_ = true;
      // The PC has the slave open now: from here on a hang-up means it closed it.
      ReleaseHold();
    }
    return;
  }
}

std::optional<std::uint8_t> Line::ReadByte(SteadyClock::time_point deadline) {
  for (;;) {
    if (!queue_.empty()) {
      const auto at = queue_.front().at;
      if (at <= SteadyClock::now()) {
        const auto b = queue_.front().byte;
        lastRead_ = at;
        queue_.pop_front();
        return b;
      }
      if (at > deadline) {
        Wait(deadline);
        return std::nullopt;
      }
      Wait(at);
      continue;
    }
    if (SteadyClock::now() >= deadline) return std::nullopt;
    TakeIn(deadline);
  }
}

Bytes Line::Read(std::size_t n, SteadyClock::time_point deadline) {
  while (queue_.size() < n && SteadyClock::now() < deadline) {
    if (peerClosed_) PeerGone();
    TakeIn(deadline);
  }
  // Those of the n queued bytes that arrive by the deadline, after one wait for the last.
  const auto last = std::upper_bound(
      queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(std::min(n, queue_.size())),
      deadline, [](auto t, const Arrival& a) { return t < a.at; });
  const auto count = static_cast<std::size_t>(last - queue_.begin());
  Bytes out;
  if (count == 0) return out;
  Wait(queue_[count - 1].at);
  lastRead_ = queue_[count - 1].at;
  out.reserve(count);
  for (std::size_t i = 0; i < count; ++i) out.push_back(queue_[i].byte);
  queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(count));
  return out;
}

void Line::Wait(SteadyClock::time_point deadline) {
  while (SteadyClock::now() < deadline) TakeIn(deadline);
}

Bytes Line::DrainQuiet(std::chrono::milliseconds quiet, SteadyClock::time_point deadline) {
  Bytes got;
  while (auto b = ReadByte(std::min(deadline, SteadyClock::now() + quiet))) got.push_back(*b);
  return got;
}

Bytes ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}

Bytes Junk(std::size_t count, std::uint32_t seed) {
  Bytes out;
  out.reserve(count);
  std::uint32_t x = seed * 2654435761u + 12345u;
  for (std::size_t i = 0; i < count; ++i) {
    x = x * 1103515245u + 12345u;
    out.push_back(static_cast<std::uint8_t>(0x20 + (x >> 16) % 0xE0));
  }
  return out;
}

}  // namespace kelvane::rx
