#include "serial/posix/LowLatency.h"

#ifdef __linux__
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

namespace kelvane {

#ifdef __linux__

bool LowLatency::Request(int fd) {
  Restore();
  serial_struct info{};
  if (fd < 0 || ::ioctl(fd, TIOCGSERIAL, &info) != 0) return false;
  wasSet_ = (info.flags & ASYNC_LOW_LATENCY) != 0;
  if (!wasSet_) {
    info.flags |= ASYNC_LOW_LATENCY;
    if (::ioctl(fd, TIOCSSERIAL, &info) != 0) return false;
  }
  fd_ = fd;
  return true;
}

void LowLatency::Restore() {
  if (fd_ < 0) return;
  const int fd = fd_;
  fd_ = -1;
  if (wasSet_) return;
  serial_struct info{};
  // A device that went away refuses both: there is nothing left to restore.
  if (::ioctl(fd, TIOCGSERIAL, &info) != 0) return;
  info.flags &= ~ASYNC_LOW_LATENCY;
  ::ioctl(fd, TIOCSSERIAL, &info);
}

#else

bool LowLatency::Request(int) { return false; }
void LowLatency::Restore() {}

#endif

}  // namespace kelvane
