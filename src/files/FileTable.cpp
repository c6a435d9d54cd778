#include "files/FileTable.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kelvane {

DiskFileTable::~DiskFileTable() { CloseAll(); }

void DiskFileTable::Fail(int err) {
  if (error_.empty()) error_ = std::strerror(err);
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
    Fail(EBADF);
    return false;
  }
  int flags = O_CLOEXEC;
  flags |= mode == OpenMode::Read ? O_RDONLY : (O_WRONLY | O_CREAT | O_TRUNC);
  int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) {
    Fail(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    Fail(EISDIR);
    return false;
  }
  open_[num] = Entry{fd, 0};
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
    ssize_t n = ::pread(it->second.fd, buf.data() + done, buf.size() - done, it->second.pos);
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail(errno);
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
    ssize_t n = ::pwrite(it->second.fd, bytes.data() + done, bytes.size() - done, it->second.pos);
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail(errno);
      return false;
    }
    done += static_cast<std::size_t>(n);
    it->second.pos += n;
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
  if (::fstat(it->second.fd, &st) != 0) return -1;
  return st.st_size;
}

bool DiskFileTable::Close(int num) {
  auto it = open_.find(num);
  if (it == open_.end()) return true;
  int fd = it->second.fd;
  open_.erase(it);
  if (::close(fd) != 0) {
    Fail(errno);
    return false;
  }
  return true;
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
    Fail(errno);
    return false;
  }
  return true;
}

}  // namespace kelvane
