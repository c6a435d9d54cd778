// The file table's calls to POSIX systems; Windows has its own (DiskFileWin32.cpp).
#ifndef _WIN32

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "files/DiskFile.h"

namespace kelvane::disk {

namespace {

constexpr mode_t kNewFileMode = 0644;  // before the umask
// Another program's moves into the same folder take microseconds; a lock held longer than
// this is not waited for.
constexpr int kLockTries = 200;
constexpr std::chrono::milliseconds kLockRetry{5};

std::string ErrnoText(int err = errno) { return std::strerror(err); }

// What a path names when it is not a regular file, in words.
const char* KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a named pipe";
  if (S_ISCHR(mode)) return "a device (terminal, serial line or the like)";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a plain file";
}

std::string NotRegular(const std::string& path, mode_t mode) {
  return path + ": " + KindOf(mode) + ", not a regular file";
}

// A symbolic link is followed, so that a replacement takes the place of the file it names
// rather than of the link; anything else is taken as it stands.
std::string Resolved(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char buf[PATH_MAX];
  return ::realpath(path.c_str(), buf) ? std::string(buf) : path;
}

}  // namespace

Handle Open(const std::string& path, bool write, std::string& error) {
  // Whatever is not a regular file is refused before it is opened (opening a named pipe or
  // a device can wait or act on the device); the type is checked again on what was opened.
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    error = NotRegular(path, st.st_mode);
    return kNoHandle;
  }
  // Emptied only once it is known to be a regular file.
  const int flags = O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (write ? O_WRONLY | O_CREAT : O_RDONLY);
  const int fd = ::open(path.c_str(), flags, kNewFileMode);
  if (fd < 0) {
    error = ErrnoText();
    return kNoHandle;
  }
  if (!Adopt(fd, path, error)) return kNoHandle;
  if (write && ::ftruncate(fd, 0) != 0) {
    error = ErrnoText();
    ::close(fd);
    return kNoHandle;
  }
  return fd;
}

bool Adopt(Handle h, const std::string& path, std::string& error) {
  const int fd = static_cast<int>(h);
  // Opened without blocking; reads and writes of a regular file never block anyway.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    error = ErrnoText();
    ::close(fd);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error = NotRegular(path, st.st_mode);
    ::close(fd);
    return false;
  }
  return true;
}

std::int64_t ReadAt(Handle h, std::uint8_t* into, std::size_t n, std::int64_t pos,
                    std::string& error) {
  for (;;) {
    const ssize_t got = ::pread(static_cast<int>(h), into, n, pos);
    if (got >= 0) return got;
    if (errno == EINTR) continue;
    error = ErrnoText();
    return -1;
  }
}

std::int64_t WriteAt(Handle h, const std::uint8_t* from, std::size_t n, std::int64_t pos,
                     std::string& error) {
  for (;;) {
    const ssize_t put = ::pwrite(static_cast<int>(h), from, n, pos);
    if (put >= 0) return put;
    if (errno == EINTR) continue;
    error = ErrnoText();
    return -1;
  }
}

void StartWriteback(Handle h, std::int64_t from, std::int64_t length) {
#ifdef __linux__
  (void)::sync_file_range(static_cast<int>(h), from, length, SYNC_FILE_RANGE_WRITE);
#else
  (void)h, (void)from, (void)length;
#endif
}

std::int64_t Size(Handle h) {
  struct stat st {};
  return ::fstat(static_cast<int>(h), &st) == 0 ? st.st_size : -1;
}

bool Flush(Handle h, std::string& error) {
  while (::fsync(static_cast<int>(h)) != 0) {
    if (errno == EINTR) continue;
    error = ErrnoText();
    return false;
  }
  return true;
}

bool Close(Handle h, std::string& error) {
  if (::close(static_cast<int>(h)) == 0) return true;
  error = ErrnoText();
  return false;
}

bool IsFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool Remove(const std::string& path, std::string& error) {
  if (::unlink(path.c_str()) == 0) return true;
  error = ErrnoText();
  return false;
}

bool FlushFolder(const std::string& folder, std::string& error) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    error = ErrnoText();
    return false;
  }
  int err = 0;
  while (::fsync(fd) != 0 && (err = errno) == EINTR) err = 0;
  ::close(fd);
  // A file system that cannot flush a folder (EINVAL) keeps its entries its own way.
  if (err != 0 && err != EINVAL) {
    error = ErrnoText(err);
    return false;
  }
  return true;
}

std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool Inspect(const std::string& target, Replaced& out, std::string& error) {
  out.path = Resolved(target);
  struct stat old {};
  out.exists = ::stat(out.path.c_str(), &old) == 0;
  if (!out.exists && errno != ENOENT) {  // a link loop, a folder that cannot be searched
    error = ErrnoText();
    return false;
  }
  if (out.exists && !S_ISREG(old.st_mode)) {
    error = NotRegular(target, old.st_mode);
    return false;
  }
  out.mode = old.st_mode & 07777;
  return true;
}

Handle CreateNew(const std::string& name, const Replaced& replaced, bool& exists,
                 std::string& error) {
  const int fd =
      ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, kNewFileMode);
  exists = fd < 0 && errno == EEXIST;
  if (fd < 0) {
    error = ErrnoText();
    return kNoHandle;
  }
  // The replacement keeps the permissions of the file it replaces.
  if (replaced.exists) (void)::fchmod(fd, static_cast<mode_t>(replaced.mode));
  return fd;
}

std::string RenameTarget(const std::string& path) { return Resolved(path); }

bool Rename(const std::string& from, const std::string& to, std::string& error) {
  if (::rename(from.c_str(), to.c_str()) == 0) return true;
  error = ErrnoText();
  return false;
}

FolderLock::FolderLock(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  handle_ = fd;
  for (int i = 0; i < kLockTries && !locked_; ++i) {
    locked_ = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (!locked_ && errno != EWOULDBLOCK) break;  // no locks on this file system: go on
    if (!locked_) std::this_thread::sleep_for(kLockRetry);
  }
}

FolderLock::~FolderLock() {
  if (handle_ != kNoHandle) ::close(static_cast<int>(handle_));  // also releases the lock
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {
  }, sb{};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

std::uint64_t ProcessId() { return static_cast<std::uint64_t>(::getpid()); }

}  // namespace kelvane::disk

#endif
