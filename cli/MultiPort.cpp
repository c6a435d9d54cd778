#include "cli/MultiPort.h"

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "cli/Events.h"
#include "cli/ExitStatus.h"
#include "cli/Json.h"
#include "cli/PortBoard.h"

namespace kelvane::cli {

namespace {

std::string SecondsText(double s) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, s);  // shortest exact form, no locale
  return std::string(buf, r.ptr);
}

}  // namespace

#ifndef _WIN32
namespace {

using SteadyClock = std::chrono::steady_clock;

volatile std::sig_atomic_t g_signalCount = 0;
volatile std::sig_atomic_t g_lastSignal = 0;

void OnSignal(int sig) {
  g_lastSignal = sig;
  g_signalCount = g_signalCount + 1;
}

constexpr std::chrono::milliseconds kRedrawInterval{200};  // the block of lines on a terminal
constexpr std::chrono::seconds kLineInterval{1};           // a line per port otherwise
constexpr int kPollMs = 100;

// One port's process and what it has written that is not a whole line yet.
struct Proc {
  pid_t pid = -1;
  int fd[2] = {-1, -1};  // its standard output and error
  std::string partial[2];
  bool reaped = false;
  SteadyClock::time_point start{};
  SteadyClock::time_point lastLine{};
};

// Starts `program` with `args`; its standard output and error come back on pipes, its
// standard input is empty. It runs in a process group of its own, so that a Ctrl-C at the
// terminal reaches it once, forwarded, and it ends when this process dies.
bool Spawn(const std::string& program, const std::vector<std::string>& args, Proc& proc) {
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return false;
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]), ::close(out[1]);
    return false;
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Only async-signal-safe calls from here to exec.
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) _exit(kStopped);
    const int devNull = ::open("/dev/null", O_RDONLY);
    if (devNull >= 0) ::dup2(devNull, 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execv(program.c_str(), argv.data());
    const char msg[] = "kelvane-cli: cannot run the port's process\n";
    (void)!::write(2, msg, sizeof msg - 1);
    _exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  if (pid < 0) {
    ::close(out[0]), ::close(err[0]);
    return false;
  }
  proc.pid = pid;
  proc.fd[0] = out[0];
  proc.fd[1] = err[0];
  proc.start = SteadyClock::now();
  return true;
}

int TerminalWidth() {
  winsize ws{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

class Runner {
 public:
  Runner(const Options& o, const std::string& program)
      : opt_(o),
        program_(program),
        board_(o.ports),
        procs_(o.ports.size()),
        terminal_(::isatty(STDERR_FILENO) == 1) {}

  int Run();

 private:
  void Handle(std::size_t i, int stream, const std::string& line);
  void Out(std::FILE* f, const std::string& text);
  void ForwardSignals();
  void Reap(bool wait);
  void ShowProgress(bool force);
  void ClearBlock();
  void DrawBlock();

  const Options& opt_;
  const std::string& program_;
  PortBoard board_;
  std::vector<Proc> procs_;
  bool terminal_;
  int blockLines_ = 0;
  SteadyClock::time_point lastDraw_{};
  bool changed_ = false;
  std::sig_atomic_t forwarded_ = 0;
};

void Runner::ClearBlock() {
  if (blockLines_ == 0) return;
  std::fprintf(stderr, "\x1b[%dA\r\x1b[J", blockLines_);
  blockLines_ = 0;
}

void Runner::DrawBlock() {
  std::fflush(stdout);
  // Overwrite the block in place, each line to its end, rather than clearing it first.
  if (blockLines_ > 0) std::fprintf(stderr, "\x1b[%dA\r", blockLines_);
  const std::size_t width = static_cast<std::size_t>(std::max(TerminalWidth() - 1, 10));
  for (std::size_t i = 0; i < board_.Size(); ++i) {
    std::string line = board_.StatusLine(i);
    if (line.size() > width) line.resize(width);  // a wrapped line would upset the count
    std::fprintf(stderr, "%s\x1b[K\n", line.c_str());
  }
  std::fflush(stderr);
  blockLines_ = static_cast<int>(board_.Size());
  lastDraw_ = SteadyClock::now();
  changed_ = false;
}

void Runner::ShowProgress(bool force) {
  if (opt_.quiet || opt_.json) return;
  const auto now = SteadyClock::now();
  if (terminal_) {
    if (changed_ && (force || now - lastDraw_ >= kRedrawInterval)) DrawBlock();
    return;
  }
  for (std::size_t i = 0; i < procs_.size(); ++i) {
    Proc& p = procs_[i];
    if (!board_.Port(i).progressed || board_.Port(i).status || now - p.lastLine < kLineInterval)
      continue;
    std::fprintf(stderr, "%s\n", board_.StatusLine(i).c_str());
    p.lastLine = now;
  }
  std::fflush(stderr);
}

// A line of text for people, above the progress block.
void Runner::Out(std::FILE* f, const std::string& text) {
  const bool block = blockLines_ > 0;
  if (block) ClearBlock();
  std::fprintf(f, "%s\n", text.c_str());
  std::fflush(f);
  if (block) DrawBlock();
}

void Runner::Handle(std::size_t i, int stream, const std::string& line) {
  const std::string& port = opt_.ports[i];
  if (stream == 1) {  // the process's standard error: its own words, with the port
    Out(stderr, port + ": " + line);
    return;
  }
  const PortBoard::Line ev = board_.Feed(i, line);
  changed_ = true;
  if (opt_.json) {
    if (ev.event.empty())
      Out(stdout,
          JsonObject().String("event", "notice").String("port", port).String("text", line).Text());
    else
      Out(stdout, line);
    return;
  }
  if (ev.event.empty()) {
    Out(stdout, port + ": " + line);
  } else if (ev.event == "message") {
    Out(stdout, port + ": " + ev.text);
    if (ev.kind == "error") Out(stderr, "kelvane-cli: " + port + ": " + ev.text);
  } else if (ev.event == "notice") {
    Out(stderr, "kelvane-cli: " + port + ": " + ev.text);
  } else if (ev.event == "header" && !opt_.quiet) {
    if (const auto f = ParseJsonObject(line))
      Out(stderr, port + ": " + StringField(*f, "hw_version").value_or("") + ", " +
                      StringField(*f, "sw_version").value_or("") + ", " +
                      StringField(*f, "model_id").value_or(""));
  }
}

void Runner::ForwardSignals() {
  const std::sig_atomic_t count = g_signalCount;
  while (forwarded_ != count) {
    ++forwarded_;
    for (const Proc& p : procs_)
      if (p.pid > 0 && !p.reaped) ::kill(p.pid, g_lastSignal);
  }
}

void Runner::Reap(bool wait) {
  for (std::size_t i = 0; i < procs_.size(); ++i) {
    Proc& p = procs_[i];
    if (p.pid <= 0 || p.reaped) continue;
    int status = 0;
    const pid_t r = ::waitpid(p.pid, &status, wait ? 0 : WNOHANG);
    if (r != p.pid) continue;
    p.reaped = true;
    const double seconds = std::chrono::duration<double>(SteadyClock::now() - p.start).count();
    board_.Exited(i, WIFEXITED(status) ? WEXITSTATUS(status) : kStopped, seconds);
    changed_ = true;
  }
}

int Runner::Run() {
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no restart: a signal ends the poll at once
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &sa, nullptr);

  for (std::size_t i = 0; i < procs_.size(); ++i) {
    if (!Spawn(program_, PortArguments(opt_, opt_.ports[i]), procs_[i])) {
      Out(stderr,
          "kelvane-cli: " + opt_.ports[i] + ": cannot start a process: " + std::strerror(errno));
      board_.Exited(i, kPortUnavailable, 0);
      procs_[i].reaped = true;
    }
  }
  if (terminal_ && !opt_.quiet && !opt_.json) DrawBlock();

  for (;;) {
    ForwardSignals();
    std::vector<pollfd> fds;
    std::vector<std::pair<std::size_t, int>> owner;
    for (std::size_t i = 0; i < procs_.size(); ++i)
      for (int s = 0; s < 2; ++s)
        if (procs_[i].fd[s] >= 0) {
          fds.push_back({procs_[i].fd[s], POLLIN, 0});
          owner.emplace_back(i, s);
        }
    if (fds.empty()) break;
    const int n = ::poll(fds.data(), fds.size(), kPollMs);
    if (n > 0) {
      for (std::size_t k = 0; k < fds.size(); ++k) {
        if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        auto [i, s] = owner[k];
        Proc& p = procs_[i];
        char buf[8192];
        const ssize_t got = ::read(p.fd[s], buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got > 0) {
          p.partial[s].append(buf, static_cast<std::size_t>(got));
          for (std::size_t nl; (nl = p.partial[s].find('\n')) != std::string::npos;) {
            const std::string line = p.partial[s].substr(0, nl);
            p.partial[s].erase(0, nl + 1);
            Handle(i, s, line);
          }
        } else {
          if (!p.partial[s].empty()) Handle(i, s, p.partial[s]);
          p.partial[s].clear();
          ::close(p.fd[s]);
          p.fd[s] = -1;
        }
      }
    }
    Reap(false);
    ShowProgress(false);
  }
  ForwardSignals();
  Reap(true);

  if (opt_.json) {
    for (std::size_t i = 0; i < board_.Size(); ++i)
      if (!board_.Port(i).endSeen) Out(stdout, board_.EndEventFor(i));
    Out(stdout, board_.SummaryEvent());
  } else {
    ClearBlock();
    std::fflush(stderr);
    std::fputs(board_.Table().c_str(), stdout);
    std::fflush(stdout);
  }
  return board_.Worst();
}

}  // namespace

#endif

std::vector<std::string> PortArguments(const Options& o, const std::string& port) {
  // Every option that shapes a run is passed on; the events are this process's input.
  std::vector<std::string> a{"--json", "--port", port};
  if (o.timeoutSeconds) a.insert(a.end(), {"--timeout", SecondsText(*o.timeoutSeconds)});
  if (o.force) a.push_back("--force");
  if (!o.trace.empty()) a.insert(a.end(), {"--trace", PortFileName(o.trace, port)});
  switch (o.command) {
    case Command::DownloadSdx: a.insert(a.end(), {"download", "--sdx"}); break;
    case Command::DownloadTemu: a.insert(a.end(), {"download", "--temu"}); break;
    case Command::Upload: a.push_back("upload"); break;
    default: a.push_back("download"); break;
  }
  a.push_back("--");
  a.push_back(o.command == Command::Upload ? PortFileName(o.file, port) : o.file);
  return a;
}

#ifdef _WIN32
// Several ports at once run one process each, watched over pipes and signals: not on Windows
// yet.
int RunOnPorts(const Options&, const std::string&) {
  std::fputs(
      "kelvane-cli: --port given more than once is not supported on Windows; run one "
      "kelvane-cli for each port\n",
      stderr);
  return kUsage;
}
#else
int RunOnPorts(const Options& options, const std::string& program) {
  Runner runner(options, program);
  return runner.Run();
}
#endif

}  // namespace kelvane::cli
