#pragma once
// The far end of a serial line and the programs on it, for the tests that drive the real
// serial object, the window and the command line: a pseudo-terminal, a child process with
// its output on pipes, files read back whole.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

extern char** environ;

namespace kelvane::test {

using Bytes = std::vector<std::uint8_t>;

// The master side of a pseudo-terminal in raw mode, non-blocking; Slave() is the device.
struct Pty {
  Pty() {
    master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return;
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
    for (std::size_t done = 0; done < b.size();) {
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

inline Bytes ReadBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}

// `got` is `want` followed by the FF filler of a last block (less than one block of it).
inline bool SameUpToFiller(const Bytes& got, const Bytes& want) {
  return got.size() >= want.size() && got.size() < want.size() + 1024 &&
         std::equal(want.begin(), want.end(), got.begin()) &&
         std::all_of(got.begin() + static_cast<std::ptrdiff_t>(want.size()), got.end(),
                     [](std::uint8_t b) { return b == 0xFF; });
}

struct Result {
  int status = -1;  // exit status, or 128 + signal
  std::string out, err;
};

// A child process with its standard output and error on pipes; killed if still running
// when it goes out of scope.
class Child {
 public:
  using ms = std::chrono::milliseconds;
  explicit Child(const std::vector<std::string>& argv) {
    int out[2], err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    posix_spawn_file_actions_addclose(&fa, err[0]);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    ::close(err[1]);
    fd_[0] = out[0], fd_[1] = err[0];
  }
  ~Child() {
    if (pid_ > 0) ::kill(pid_, SIGKILL), ::waitpid(pid_, nullptr, 0);
    for (int fd : fd_)
      if (fd >= 0) ::close(fd);
  }
  pid_t Pid() const { return pid_; }

  // The first line of standard output.
  std::string FirstLine(ms limit = ms(10000)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (text_[0].find('\n') == std::string::npos &&
           std::chrono::steady_clock::now() < deadline && ReadSome(50)) {}
    return text_[0].substr(0, text_[0].find('\n'));
  }

  // Waits for the end, killing the child after `limit`; `idle` runs between reads (a
  // test's event loop, which must keep running while the child finishes).
  Result Wait(ms limit = ms(30000), const std::function<void()>& idle = {}) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline && ReadSome(idle ? 10 : 50))
      if (idle) idle();
    if (fd_[0] >= 0 || fd_[1] >= 0) ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), text_[0], text_[1]};
  }

 private:
  // Reads what either pipe has within `wait` ms; false once both are at their end.
  bool ReadSome(int wait) {
    pollfd fds[2] = {{fd_[0], POLLIN, 0}, {fd_[1], POLLIN, 0}};
    if (fd_[0] < 0 && fd_[1] < 0) return false;
    if (::poll(fds, 2, wait) <= 0) return true;
    for (int i = 0; i < 2; ++i) {
      if (fd_[i] < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[4096];
      const ssize_t n = ::read(fd_[i], buf, sizeof buf);
      if (n > 0)
        text_[i].append(buf, static_cast<std::size_t>(n));
      else
        ::close(fd_[i]), fd_[i] = -1;
    }
    return true;
  }

  pid_t pid_ = -1;
  int fd_[2] = {-1, -1};
  std::string text_[2];
};

}  // namespace kelvane::test
