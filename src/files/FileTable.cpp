// The file table on the operating system's files: the bookkeeping of numbers, positions and
// private files, and the read and write loops. What it asks of the system is in DiskFile.h.
#include "files/FileTable.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>

#include "files/DiskFile.h"
#include "files/PathName.h"

namespace kelvane {

namespace {

constexpr int kPrivateNameTries = 100;

// A private file is handed to the disk while it is written, this much at a time, so that its
// flush before the rename finds little left to write.
constexpr std::int64_t kWritebackBytes = 8 << 20;

// The largest piece one read or write asks of the system.
constexpr std::size_t kMaxPiece = std::size_t{1} << 30;

std::string RandomSuffix() {
  static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  static std::mt19937_64 rng(
      std::random_device{}() ^ disk::ProcessId() ^
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
  std::string error;
  const disk::Handle h = disk::Open(path, mode == OpenMode::WriteTruncate, error);
  if (h == disk::kNoHandle) {
    Fail(error, path);
    return false;
  }
  open_[num] = Entry{h, 0, path};
  return true;
}

bool DiskFileTable::IsOpen(int num) const { return open_.count(num) != 0; }

std::size_t DiskFileTable::Read(int num, std::span<std::uint8_t> buf) {
  auto it = open_.find(num);
  if (it == open_.end()) {
    Fail(EBADF);
    return 0;
  }
  Entry& e = it->second;
  std::size_t done = 0;
  while (done < buf.size()) {
    std::string error;
    const std::int64_t n =
        disk::ReadAt(e.fd, buf.data() + done, std::min(buf.size() - done, kMaxPiece), e.pos, error);
    if (n < 0) {
      Fail(error, e.path);
      break;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
    e.pos += n;
  }
  return done;
}

bool DiskFileTable::Write(int num, std::span<const std::uint8_t> bytes) {
  auto it = open_.find(num);
  if (it == open_.end()) {
    Fail(EBADF);
    return false;
  }
  Entry& e = it->second;
  std::size_t done = 0;
  while (done < bytes.size()) {
    std::string error;
    const std::int64_t n = disk::WriteAt(e.fd, bytes.data() + done,
                                         std::min(bytes.size() - done, kMaxPiece), e.pos, error);
    if (n < 0) {
      Fail(error, e.path);
      return false;
    }
    done += static_cast<std::size_t>(n);
    e.pos += n;
  }
  if (e.durable && e.pos - e.handedOn >= kWritebackBytes) {
    disk::StartWriteback(e.fd, e.handedOn, e.pos - e.handedOn);
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
  return it == open_.end() ? -1 : disk::Size(it->second.fd);
}

bool DiskFileTable::Close(int num) {
  auto it = open_.find(num);
  if (it == open_.end()) return true;
  const Entry entry = it->second;
  open_.erase(it);
  // A private file's bytes reach the disk before it can be moved over another.
  const bool synced = !entry.durable || SyncFile(static_cast<int>(entry.fd), entry.path);
  std::string error;
  if (!disk::Close(entry.fd, error)) {
    Fail(error, entry.path);
    return false;
  }
  return synced;
}

void DiskFileTable::CloseAll() {
  while (!open_.empty()) Close(open_.begin()->first);
}

bool DiskFileTable::Exists(const std::string& path) { return !path.empty() && disk::IsFile(path); }

bool DiskFileTable::Delete(const std::string& path) {
  std::string error;
  if (!disk::Remove(path, error)) {
    Fail(error, path);
    return false;
  }
  return true;
}

std::string DiskFileTable::OpenBeside(int num, const std::string& target) {
  if (num <= 0 || open_.count(num)) {
    Fail(EBADF, target);
    return {};
  }
  std::string error;
  disk::Replaced replaced;
  if (!disk::Inspect(target, replaced, error)) {
    Fail(error, target);
    return {};
  }
  // ".name.xxxxxx.part" in the same folder: a rename into place never crosses file systems.
  const std::string& real = replaced.path;
  const std::size_t cut = NameStart(real);
  for (int tries = 0; tries < kPrivateNameTries; ++tries) {
    const std::string name =
        real.substr(0, cut) + "." + real.substr(cut) + "." + RandomSuffix() + ".part";
    bool exists = false;
    const disk::Handle h = disk::CreateNew(name, replaced, exists, error);
    if (h == disk::kNoHandle && exists) continue;
    if (h == disk::kNoHandle) {
      Fail(error, target);
      return {};
    }
    if (!disk::Adopt(h, name, error)) {
      Fail(error, name);
      disk::Remove(name, error);
      return {};
    }
    open_[num] = Entry{h, 0, name, true};
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
    targets.push_back(disk::RenameTarget(m.to));
    const std::string folder = disk::FolderOf(targets.back());
    if (std::find(folders.begin(), folders.end(), folder) == folders.end())
      folders.push_back(folder);
  }
  bool ok = true;
  {
    const disk::FolderLock lock(folders.front());
    for (std::size_t i = 0; i < moves.size(); ++i) {
      const FileMove& m = moves[i];
      std::string error;
      if (!disk::Rename(m.from, targets[i], error)) {
        Fail(error, m.to);
        ok = false;
        break;
      }
      for (auto& [num, entry] : open_)
        if (entry.path == m.from) entry.path = m.to;
    }
  }
  // The renames themselves last only once their folders are on the disk.
  for (const std::string& f : folders) ok = ok && SyncFolder(f);
  return ok;
}

bool DiskFileTable::SyncFile(int fd, const std::string& path) {
  std::string error;
  if (disk::Flush(fd, error)) return true;
  Fail(error, path);
  return false;
}

bool DiskFileTable::SyncFolder(const std::string& folder) {
  std::string error;
  if (disk::FlushFolder(folder, error)) return true;
  Fail(error, folder);
  return false;
}

bool DiskFileTable::SameFile(const std::string& a, const std::string& b) {
  return disk::SameFile(a, b);
}

}  // namespace kelvane
