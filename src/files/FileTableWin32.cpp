// The file table on Windows: UTF-16 paths through the wide API, only files on disk opened,
// and a replacement moved over its target with MoveFileExW once its bytes are flushed.
#ifdef _WIN32

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <random>

#include "files/FileTable.h"
#include "files/PathName.h"
#include "files/Wide.h"

namespace kelvane {

namespace {

constexpr int kPrivateNameTries = 100;
// Another program's moves into the same folder take milliseconds; a lock held longer than
// this is not waited for.
constexpr DWORD kLockWaitMs = 1000;

// The common failures in the same words as on POSIX systems, the rest in Windows' own.
std::string WinErrorText(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE: return std::strerror(ENOENT);
    case ERROR_ACCESS_DENIED: return std::strerror(EACCES);
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return std::strerror(ENOSPC);
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return std::strerror(EEXIST);
    case ERROR_WRITE_PROTECT: return std::strerror(EROFS);
    default: return SystemMessage(code);
  }
}

HANDLE AsHandle(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

std::string FolderOf(const std::string& path) {
  const std::size_t cut = NameStart(path);
  if (cut == 0) return ".";
  if (cut == 1 || (cut == 3 && path[1] == ':')) return path.substr(0, cut);  // "\" or "C:\"
  if (cut == 2 && path[1] == ':') return path.substr(0, 2) + ".";            // "C:name"
  return path.substr(0, cut - 1);
}

// A device name ("COM1", "NUL", "\\.\pipe\x") or a folder is never opened as a file: opening
// a device can wait or act on it. What a path names, when it is not a file on disk.
const char* NotAFile(const std::wstring& wide) {
  if (wide.rfind(L"\\\\.\\", 0) == 0 || wide.rfind(L"//./", 0) == 0) return "a device";
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return nullptr;  // missing: the open says why
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return "a folder";
  if (attributes & FILE_ATTRIBUTE_DEVICE) return "a device";
  return nullptr;
}

std::string NotRegular(const std::string& path, const char* kind) {
  return path + ": " + kind + ", not a regular file";
}

const char* KindOfHandle(HANDLE h) {
  switch (::GetFileType(h)) {
    case FILE_TYPE_DISK: {
      BY_HANDLE_FILE_INFORMATION info{};
      if (::GetFileInformationByHandle(h, &info) &&
          (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return "a folder";
      return nullptr;
    }
    case FILE_TYPE_PIPE: return "a named pipe";
    case FILE_TYPE_CHAR: return "a device (console, serial line or the like)";
    default: return "not a plain file";
  }
}

// Files stay open to renames and deletion by others (a replacement moves over a file that
// is being read), as on POSIX.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::string RandomSuffix() {
  static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  static std::mt19937_64 rng(
      std::random_device{}() ^ static_cast<std::uint64_t>(::GetCurrentProcessId()) ^
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  std::string s(6, 'x');
  for (char& c : s) c = kChars[rng() % (sizeof kChars - 1)];
  return s;
}

// A mutex named after the folder (case folded): moves of two programs into one folder take
// turns. Named objects cannot hold backslashes, so the name carries a hash of the path.
HANDLE FolderLock(const std::string& folder) {
  wchar_t full[MAX_PATH * 4];
  const std::wstring wide = Widen(folder);
  const DWORD n = ::GetFullPathNameW(wide.c_str(), std::size(full), full, nullptr);
  std::wstring key = n > 0 && n < std::size(full) ? std::wstring(full, n) : wide;
  ::CharUpperBuffW(key.data(), static_cast<DWORD>(key.size()));
  const std::wstring name =
      L"Local\\kelvane-move-" + std::to_wstring(std::hash<std::wstring>{}(key));
  return ::CreateMutexW(nullptr, FALSE, name.c_str());
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
  if (const char* kind = KindOfHandle(AsHandle(handle))) {
    Fail(NotRegular(path, kind), path);
    ::CloseHandle(AsHandle(handle));
    return false;
  }
  open_[num] = Entry{handle, 0, path};
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
  const std::wstring wide = Widen(path);
  if (const char* kind = NotAFile(wide)) {
    Fail(NotRegular(path, kind), path);
    return false;
  }
  const bool write = mode == OpenMode::WriteTruncate;
  // Emptied only once it is known to be a file on disk.
  HANDLE h = ::CreateFileW(wide.c_str(), write ? GENERIC_WRITE : GENERIC_READ, kShareAll, nullptr,
                           write ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    Fail(WinErrorText(::GetLastError()), path);
    return false;
  }
  if (!Adopt(num, reinterpret_cast<std::intptr_t>(h), path)) return false;
  if (write && !::SetEndOfFile(h)) {
    Fail(WinErrorText(::GetLastError()), path);
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
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(it->second.pos);
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(it->second.pos) >> 32);
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(buf.size() - done, 1u << 30));
    DWORD n = 0;
    if (!::ReadFile(AsHandle(it->second.fd), buf.data() + done, want, &n, &at)) {
      if (::GetLastError() == ERROR_HANDLE_EOF) break;
      Fail(WinErrorText(::GetLastError()), it->second.path);
      break;
    }
    if (n == 0) break;
    done += n;
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
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(it->second.pos);
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(it->second.pos) >> 32);
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
    DWORD n = 0;
    if (!::WriteFile(AsHandle(it->second.fd), bytes.data() + done, want, &n, &at)) {
      Fail(WinErrorText(::GetLastError()), it->second.path);
      return false;
    }
    done += n;
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
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(AsHandle(it->second.fd), &size)) return -1;
  return size.QuadPart;
}

bool DiskFileTable::Close(int num) {
  auto it = open_.find(num);
  if (it == open_.end()) return true;
  const Entry entry = it->second;
  open_.erase(it);
  // A private file's bytes reach the disk before it can be moved over another.
  const bool synced = !entry.durable || SyncFile(static_cast<int>(entry.fd), entry.path);
  if (!::CloseHandle(AsHandle(entry.fd))) {
    Fail(WinErrorText(::GetLastError()), entry.path);
    return false;
  }
  return synced;
}

bool DiskFileTable::SyncFile(int fd, const std::string& path) {
  if (::FlushFileBuffers(AsHandle(fd))) return true;
  Fail(WinErrorText(::GetLastError()), path);
  return false;
}

// The renames are written through (MOVEFILE_WRITE_THROUGH): a folder has nothing more to flush.
bool DiskFileTable::SyncFolder(const std::string&) { return true; }

void DiskFileTable::CloseAll() {
  while (!open_.empty()) Close(open_.begin()->first);
}

bool DiskFileTable::Exists(const std::string& path) {
  if (path.empty()) return false;
  const std::wstring wide = Widen(path);
  return ::GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES && !NotAFile(wide);
}

bool DiskFileTable::Delete(const std::string& path) {
  if (!::DeleteFileW(Widen(path).c_str())) {
    Fail(WinErrorText(::GetLastError()), path);
    return false;
  }
  return true;
}

std::string DiskFileTable::OpenBeside(int num, const std::string& target) {
  if (num <= 0 || open_.count(num)) {
    Fail(EBADF, target);
    return {};
  }
  const std::wstring wide = Widen(target);
  if (const char* kind = NotAFile(wide)) {
    Fail(NotRegular(target, kind), target);
    return {};
  }
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES && ::GetLastError() != ERROR_FILE_NOT_FOUND) {
    Fail(WinErrorText(::GetLastError()), target);  // a missing folder, no access
    return {};
  }
  // ".name.xxxxxx.part" in the same folder: a move into place never crosses volumes.
  const std::size_t cut = NameStart(target);
  for (int tries = 0; tries < kPrivateNameTries; ++tries) {
    const std::string name =
        target.substr(0, cut) + "." + target.substr(cut) + "." + RandomSuffix() + ".part";
    HANDLE h = ::CreateFileW(Widen(name).c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_FILE_EXISTS) continue;
    if (h == INVALID_HANDLE_VALUE) {
      Fail(WinErrorText(::GetLastError()), target);
      return {};
    }
    if (!Adopt(num, reinterpret_cast<std::intptr_t>(h), name)) {
      ::DeleteFileW(Widen(name).c_str());
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
  const HANDLE lock = FolderLock(FolderOf(moves.front().to));
  const bool locked = lock && ::WaitForSingleObject(lock, kLockWaitMs) != WAIT_FAILED;
  bool ok = true;
  for (const FileMove& m : moves) {
    if (!::MoveFileExW(Widen(m.from).c_str(), Widen(m.to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      Fail(WinErrorText(::GetLastError()), m.to);
      ok = false;
      break;
    }
    for (auto& [num, entry] : open_)
      if (entry.path == m.from) entry.path = m.to;
  }
  if (locked) ::ReleaseMutex(lock);
  if (lock) ::CloseHandle(lock);
  return ok && SyncFolder(FolderOf(moves.front().to));
}

bool DiskFileTable::SameFile(const std::string& a, const std::string& b) {
  auto identity = [](const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
    HANDLE h = ::CreateFileW(Widen(path).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool ok = ::GetFileInformationByHandle(h, &info);
    ::CloseHandle(h);
    return ok;
  };
  BY_HANDLE_FILE_INFORMATION ia{}, ib{};
  return identity(a, ia) && identity(b, ib) && ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
         ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

}  // namespace kelvane

#endif
