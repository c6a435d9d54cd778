// The file table on POSIX systems; Windows has its own (FileTableWin32.cpp).
#ifndef _WIN32

#include "files/FileTable.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>

namespace kelvane {

namespace {

constexpr mode_t kNewFileMode = 0644;  // before the umask
constexpr int kPrivateNameTries = 100;
// Another program's moves into the same folder take microseconds; a lock held longer than
// this is not waited for.
constexpr int kLockTries = 200;
constexpr std::chrono::milliseconds kLockRetry{5};

// A private file is handed to the disk while it is written, this much at a time, so that its
// flush before the rename finds little left to write.
constexpr std::int64_t kWritebackBytes = 8 << 20;

// Starts writing a range of a file to the disk without waiting for it. Where the system has
// no such call, the flush writes it all.
void StartWriteback(int fd, std::int64_t from, std::int64_t length) {
#ifdef __linux__
  (void)::sync_file_range(fd, from, length, SYNC_FILE_RANGE_WRITE);
#else
  (void)fd, (void)from, (void)length;
#endif
}

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

std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A symbolic link is followed, so that a replacement takes the place of the file it names
// rather than of the link; anything else is taken as it stands.
std::string Resolved(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char buf[PATH_MAX];
  return ::realpath(path.c_str(), buf) ? std::string(buf) : path;
}

std::string RandomSuffix() {
  static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  static std::mt19937_64 rng(
      std::random_device{}() ^ static_cast<std::uint64_t>(::getpid()) ^
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  std::string s(6, 'x');
  for (char& c : s) c = kChars[rng() % (sizeof kChars - 1)];
  return s;
}

}  // namespace

DiskFileTable::~DiskFileTable() { CloseAll(); }

void DiskFileTable::Fail(int err, const std::string& path) {
  Fail(std::string(std::strerror(err)), path);
}

void DiskFileTable::Fail(const std::string& text, const std::string& path) {
  if (!error_.empty()) return;
  error_ = text;
  errorPath_ = path;
}

bool DiskFileTable::Adopt(int num, std::intptr_t handle, const std::string& path) {
  const int fd = static_cast<int>(handle);
  // Opened without blocking; reads and writes of a regular file never block anyway.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    Fail(errno, path);
    ::close(fd);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    Fail(NotRegular(path, st.st_mode), path);
    ::close(fd);
    return false;
  }
  open_[num] = Entry{fd, 0, path};
  return true;
}

int DiskFileTable::FreeFile() const {
  int n = 1;
  for (const auto& [num, entry] : open_) {
    if (num != n) break;
    ++n;
  }
  return n;
}

bool DiskFileTable::Open(int num, const std::string& path, OpenMode mode, int /*recordLength*/) {
  if (num <= 0 || open_.count(num)) {
    Fail(EBADF, path);
    return false;
  }
  // Whatever is not a regular file is refused before it is opened (opening a named pipe or
  // a device can wait or act on the device); the type is checked again on what was opened.
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    Fail(NotRegular(path, st.st_mode), path);
    return false;
  }
  const bool write = mode == OpenMode::WriteTruncate;
  // Emptied only once it is known to be a regular file.
  const int flags = O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (write ? O_WRONLY | O_CREAT : O_RDONLY);
  const int fd = ::open(path.c_str(), flags, kNewFileMode);
  if (fd < 0) {
    Fail(errno, path);
    return false;
  }
  if (!Adopt(num, fd, path)) return false;
  if (write && ::ftruncate(fd, 0) != 0) {
    Fail(errno, path);
    Close(num);
    return false;
  }
  return true;
}

bool DiskFileTable::IsOpen(int num) const { return open_.count(num) != 0; }

std::size_t DiskFileTable::Read(int num, std::span<std::uint8_t> buf) {
  auto it = open_.find(num);
  if (it == open_.end()) {
    Fail(EBADF);
    return 0;
  }
  std::size_t done = 0;
  while (done < buf.size()) {
    ssize_t n = ::pread(static_cast<int>(it->second.fd), buf.data() + done, buf.size() - done,
                        it->second.pos);
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail(errno, it->second.path);
      break;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
    it->second.pos += n;
  }
  return done;
}

bool DiskFileTable::Write(int num, std::span<const std::uint8_t> bytes) {
  auto it = open_.find(num);
  if (it == open_.end()) {
    Fail(EBADF);
    return false;
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::pwrite(static_cast<int>(it->second.fd), bytes.data() + done, bytes.size() - done,
                         it->second.pos);
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail(errno, it->second.path);
      return false;
    }
    done += static_cast<std::size_t>(n);
    it->second.pos += n;
  }
  Entry& e = it->second;
  if (e.durable && e.pos - e.handedOn >= kWritebackBytes) {
    StartWriteback(static_cast<int>(e.fd), e.handedOn, e.pos - e.handedOn);
    e.handedOn = e.pos;
  }
  return true;
}

bool DiskFileTable::Seek(int num, std::int64_t pos) {
  auto it = open_.find(num);
  if (it == open_.end() || pos < 0) {
    Fail(it == open_.end() ? EBADF : EINVAL);
    return false;
  }
  it->second.pos = pos;
  return true;
}

std::int64_t DiskFileTable::Position(int num) const {
  auto it = open_.find(num);
  return it == open_.end() ? -1 : it->second.pos;
}

std::int64_t DiskFileTable::Length(int num) const {
  auto it = open_.find(num);
  if (it == open_.end()) return -1;
  struct stat st {};
  if (::fstat(static_cast<int>(it->second.fd), &st) != 0) return -1;
  return st.st_size;
}

bool DiskFileTable::Close(int num) {
  auto it = open_.find(num);
  if (it == open_.end()) return true;
  const Entry entry = it->second;
  open_.erase(it);
  const bool synced = !entry.durable || SyncFile(static_cast<int>(entry.fd), entry.path);
  if (::close(static_cast<int>(entry.fd)) != 0) {
    Fail(errno, entry.path);
    return false;
  }
  return synced;
}

void DiskFileTable::CloseAll() {
  while (!open_.empty()) Close(open_.begin()->first);
}

bool DiskFileTable::Exists(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DiskFileTable::Delete(const std::string& path) {
  if (::unlink(path.c_str()) != 0) {
    Fail(errno, path);
    return false;
  }
  return true;
}

std::string DiskFileTable::OpenBeside(int num, const std::string& target) {
  if (num <= 0 || open_.count(num)) {
    Fail(EBADF, target);
    return {};
  }
  const std::string real = Resolved(target);
  struct stat old {};
  const bool replaces = ::stat(real.c_str(), &old) == 0;
  if (!replaces && errno != ENOENT) {  // a link loop, a folder that cannot be searched
    Fail(errno, target);
    return {};
  }
  if (replaces && !S_ISREG(old.st_mode)) {
    Fail(NotRegular(target, old.st_mode), target);
    return {};
  }
  // ".name.xxxxxx.part" in the same folder: a rename into place never crosses file systems.
  const std::size_t cut = real.find_last_of('/') + 1;  // 0 without a folder
  for (int tries = 0; tries < kPrivateNameTries; ++tries) {
    const std::string name =
        real.substr(0, cut) + "." + real.substr(cut) + "." + RandomSuffix() + ".part";
    const int fd =
        ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, kNewFileMode);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) {
      Fail(errno, target);
      return {};
    }
    // The replacement keeps the permissions of the file it replaces.
    if (replaces) (void)::fchmod(fd, old.st_mode & 07777);
    if (!Adopt(num, fd, name)) {
      ::unlink(name.c_str());
      return {};
    }
    open_[num].durable = true;
    return name;
  }
  Fail(EEXIST, target);
  return {};
}

bool DiskFileTable::MoveIntoPlace(const std::vector<FileMove>& moves) {
  if (moves.empty()) return true;
  // Outside the lock: a flush of a large file takes a while.
  for (const FileMove& m : moves)
    for (const auto& [num, entry] : open_)
      if (entry.path == m.from && entry.durable &&
          !SyncFile(static_cast<int>(entry.fd), entry.path))
        return false;
  std::vector<std::string> targets, folders;
  for (const FileMove& m : moves) {
    targets.push_back(Resolved(m.to));
    const std::string folder = FolderOf(targets.back());
    if (std::find(folders.begin(), folders.end(), folder) == folders.end())
      folders.push_back(folder);
  }
  const int folder = ::open(folders.front().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  bool locked = false;
  for (int i = 0; folder >= 0 && i < kLockTries && !locked; ++i) {
    locked = ::flock(folder, LOCK_EX | LOCK_NB) == 0;
    if (!locked && errno != EWOULDBLOCK) break;  // no locks on this file system: go on
    if (!locked) std::this_thread::sleep_for(kLockRetry);
  }
  bool ok = true;
  for (std::size_t i = 0; i < moves.size(); ++i) {
    const FileMove& m = moves[i];
    if (::rename(m.from.c_str(), targets[i].c_str()) != 0) {
      Fail(errno, m.to);
      ok = false;
      break;
    }
    for (auto& [num, entry] : open_)
      if (entry.path == m.from) entry.path = m.to;
  }
  if (folder >= 0) ::close(folder);  // also releases the lock
  // The renames themselves last only once their folders are on the disk.
  for (const std::string& f : folders) ok = ok && SyncFolder(f);
  return ok;
}

bool DiskFileTable::SyncFile(int fd, const std::string& path) {
  while (::fsync(fd) != 0) {
    if (errno == EINTR) continue;
    Fail(errno, path);
    return false;
  }
  return true;
}

bool DiskFileTable::SyncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    Fail(errno, folder);
    return false;
  }
  int err = 0;
  while (::fsync(fd) != 0 && (err = errno) == EINTR) err = 0;
  ::close(fd);
  // A file system that cannot flush a folder (EINVAL) keeps its entries its own way.
  if (err != 0 && err != EINVAL) {
    Fail(err, folder);
    return false;
  }
  return true;
}

bool DiskFileTable::SameFile(const std::string& a, const std::string& b) {
  struct stat sa {
  }, sb{};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

}  // namespace kelvane

#endif
