#include "cli/TraceFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>

#include <random>

#include "files/Wide.h"
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <csignal>
#include <cstring>
#include <iterator>

namespace kelvane::cli {

namespace {

// The trace files open (one a port), for CommitInSignalHandler: fixed buffers, since a
// signal handler may neither allocate nor look at a std::string being changed.
struct Pending {
  char temp[4096];
  char final[4096];
  volatile std::sig_atomic_t set;
};
Pending g_pending[64];

// The slot of the trace; -1 when there is none free (or the names are too long).
int RememberForSignals(const std::string& temp, const std::string& path) {
  for (int i = 0; i < static_cast<int>(std::size(g_pending)); ++i) {
    Pending& p = g_pending[i];
    if (p.set) continue;
    if (temp.size() >= sizeof p.temp || path.size() >= sizeof p.final) return -1;
    std::memcpy(p.temp, temp.c_str(), temp.size() + 1);
    std::memcpy(p.final, path.c_str(), path.size() + 1);
    p.set = 1;
    return i;
  }
  return -1;
}

}  // namespace

void TraceFile::CommitInSignalHandler() {
  for (Pending& p : g_pending)
    if (p.set) {
      p.set = 0;
#ifdef _WIN32
      ::MoveFileExA(p.temp, p.final, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
#else
      ::rename(p.temp, p.final);
#endif
    }
}

TraceFile::~TraceFile() {
  std::string ignored;
  Commit(ignored);
}

bool TraceFile::Open(const std::string& path, bool replace, std::string& error) {
  if (path == "-") {
    file_ = stderr;
    return true;
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) {
      error = path + ": not a regular file; --trace - writes to standard error";
      return false;
    }
    if (!replace) {
      error = path + " exists; --force replaces it";
      return false;
    }
  }
#ifdef _WIN32
  // A new file of our own beside the target. Shared for deletion: a second Ctrl-C renames it
  // while it is still open.
  std::random_device rd;
  for (int tries = 0; tries < 100 && !file_; ++tries) {
    temp_ = path + "." + std::to_string(rd() % 1000000) + ".part";
    const HANDLE h = ::CreateFileW(Widen(temp_).c_str(), GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      errno = ::GetLastError() == ERROR_FILE_EXISTS ? EEXIST : EACCES;
      if (errno == EEXIST) continue;
      break;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<std::intptr_t>(h), _O_WRONLY | _O_BINARY);
    file_ = fd < 0 ? nullptr : ::_fdopen(fd, "wb");
    if (!file_) fd < 0 ? (void)::CloseHandle(h) : (void)::_close(fd);
  }
  if (!file_) {
    error = path + ": " + std::strerror(errno);
    temp_.clear();
    return false;
  }
#else
  temp_ = path + ".XXXXXX";
  const int fd = ::mkostemp(temp_.data(), O_CLOEXEC);
  if (fd < 0) {
    error = path + ": " + std::strerror(errno);
    temp_.clear();
    return false;
  }
  file_ = ::fdopen(fd, "w");
  if (!file_) {
    error = path + ": " + std::strerror(errno);
    ::close(fd);
    ::unlink(temp_.c_str());  // our own empty file
    temp_.clear();
    return false;
  }
#endif
  path_ = path;
  slot_ = RememberForSignals(temp_, path_);
  return true;
}

bool TraceFile::Commit(std::string& error) {
  if (!file_) return true;
  if (file_ == stderr) {
    std::fflush(stderr);
    file_ = nullptr;
    return true;
  }
  if (slot_ >= 0) g_pending[slot_].set = 0;
  slot_ = -1;
#ifdef _WIN32
  const bool written = std::fflush(file_) == 0 && ::_commit(::_fileno(file_)) == 0;
#else
  const bool written = std::fflush(file_) == 0 && ::fsync(::fileno(file_)) == 0;
#endif
  const int writeErrno = errno;
  std::fclose(file_);
  file_ = nullptr;
  if (!written) {
    error = "the trace could not be written completely (" + std::string(std::strerror(writeErrno)) +
            "); what there is lies in " + temp_;
    return false;
  }
#ifdef _WIN32
  if (!::MoveFileExW(Widen(temp_).c_str(), Widen(path_).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = path_ + ": " + SystemMessage(::GetLastError()) + "; the trace lies in " + temp_;
    return false;
  }
#else
  if (::rename(temp_.c_str(), path_.c_str()) != 0) {
    error = path_ + ": " + std::strerror(errno) + "; the trace lies in " + temp_;
    return false;
  }
#endif
  return true;
}

}  // namespace kelvane::cli
