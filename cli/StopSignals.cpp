#include "cli/StopSignals.h"

#ifdef _WIN32

#include <windows.h>

#include <atomic>
#include <filesystem>
#include <mutex>

#include "cli/ExitStatus.h"
#include "cli/TraceFile.h"

namespace kelvane::cli {

// Windows: Ctrl-C, Ctrl-Break and the console's closing (or the session's end) arrive in a
// thread of their own, where anything may run. The first asks for the stop; a second Ctrl-C
// or Ctrl-Break ends the program at once. A closing console gives the program a few seconds
// before it is ended: the handler holds it back that long for the stop to finish.

namespace {

std::atomic<int> g_stops{0};
std::mutex g_folderLock;
std::string g_folder;
HANDLE g_stopEvent = nullptr;  // manual-reset, set by the first stop

constexpr DWORD kCloseGraceMs = 4000;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      if (g_stopEvent) ::SetEvent(g_stopEvent);
      if (g_stops.fetch_add(1) > 0) {
        TraceFile::CommitInSignalHandler();
        std::lock_guard lock(g_folderLock);
        std::error_code ec;
        if (!g_folder.empty()) std::filesystem::remove_all(g_folder, ec);
        ::ExitProcess(kStopped);
      }
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      g_stops.fetch_add(1);
      if (g_stopEvent) ::SetEvent(g_stopEvent);
      ::Sleep(kCloseGraceMs);  // the program ends meanwhile when the stop has finished
      return TRUE;
    default: return FALSE;
  }
}

}  // namespace

void InstallStopSignals() {
  if (!g_stopEvent) g_stopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool StopRequested() { return g_stops.load() != 0; }

std::intptr_t StopSignalHandle() {
  return g_stopEvent ? reinterpret_cast<std::intptr_t>(g_stopEvent) : -1;
}

void RemoveOnHardStop(const std::string& folder) {
  std::lock_guard lock(g_folderLock);
  g_folder = folder;
}

}  // namespace kelvane::cli

#else

#include <fcntl.h>
#include <limits.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>

#include "cli/ExitStatus.h"
#include "cli/TraceFile.h"

namespace kelvane::cli {

namespace {

volatile std::sig_atomic_t g_stopSignals = 0;
volatile std::sig_atomic_t g_haveFolder = 0;
char g_folder[PATH_MAX];

// Removes the files of the folder and the folder, with system calls only: this runs in the
// signal handler, where nothing that allocates or locks may run.
void RemoveFolderNow() {
  if (!g_haveFolder) return;
#ifdef SYS_getdents64
  const int dir = ::open(g_folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    alignas(8) char buf[4096];
    for (;;) {
      const long n = ::syscall(SYS_getdents64, dir, buf, sizeof buf);
      if (n <= 0) break;
      // Each entry: inode (8 bytes), offset (8), record length (2), type (1), name.
      for (long at = 0; at < n;) {
        std::uint16_t length = 0;
        std::memcpy(&length, buf + at + 16, sizeof length);
        const char* name = buf + at + 19;
        if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) ::unlinkat(dir, name, 0);
        at += length;
      }
    }
    ::close(dir);
  }
#endif
  ::rmdir(g_folder);
}

// The self-pipe: a byte on it wakes the poll loop when a signal comes.
int g_pipe[2] = {-1, -1};

void OnStopSignal(int) {
  if (g_stopSignals != 0) {
    TraceFile::CommitInSignalHandler();  // what the trace holds so far keeps its name
    RemoveFolderNow();
    _exit(kStopped);
  }
  g_stopSignals = 1;
  const int saved = errno;
  const char byte = 1;
  (void)!::write(g_pipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

void InstallStopSignals() {
  // Without the pipe a signal still sets the flag, which the wait loop sees at its next tick.
  if (g_pipe[0] < 0 && ::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) g_pipe[0] = g_pipe[1] = -1;
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

bool StopRequested() { return g_stopSignals != 0; }

std::intptr_t StopSignalHandle() { return g_pipe[0]; }

void RemoveOnHardStop(const std::string& folder) {
  g_haveFolder = 0;
  if (folder.empty() || folder.size() >= sizeof g_folder) return;
  std::memcpy(g_folder, folder.c_str(), folder.size() + 1);
  g_haveFolder = 1;
}

}  // namespace kelvane::cli

#endif
