// The file table's calls to Windows: UTF-16 paths through the wide API, only files on disk
// opened, and a replacement moved over its target with MoveFileExW once its bytes are flushed.
#ifdef _WIN32

#include <cerrno>
#include <cstring>
#include <functional>

#include "files/DiskFile.h"
#include "files/PathName.h"
#include "files/Wide.h"

namespace kelvane::disk {

namespace {

// Another program's moves into the same folder take milliseconds; a lock held longer than
// this is not waited for.
constexpr DWORD kLockWaitMs = 1000;

// The common failures in the same words as on POSIX systems, the rest in Windows' own.
std::string WinErrorText(DWORD code = ::GetLastError()) {
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

HANDLE AsHandle(Handle h) { return reinterpret_cast<HANDLE>(h); }
Handle FromHandle(HANDLE h) {
  return h == INVALID_HANDLE_VALUE ? kNoHandle : reinterpret_cast<Handle>(h);
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

OVERLAPPED At(std::int64_t pos) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(pos);
  at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(pos) >> 32);
  return at;
}

}  // namespace

Handle Open(const std::string& path, bool write, std::string& error) {
  const std::wstring wide = Widen(path);
  if (const char* kind = NotAFile(wide)) {
    error = NotRegular(path, kind);
    return kNoHandle;
  }
  // Emptied only once it is known to be a file on disk.
  HANDLE h = ::CreateFileW(wide.c_str(), write ? GENERIC_WRITE : GENERIC_READ, kShareAll, nullptr,
                           write ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error = WinErrorText();
    return kNoHandle;
  }
  if (!Adopt(FromHandle(h), path, error)) return kNoHandle;
  if (write && !::SetEndOfFile(h)) {
    error = WinErrorText();
    ::CloseHandle(h);
    return kNoHandle;
  }
  return FromHandle(h);
}

bool Adopt(Handle h, const std::string& path, std::string& error) {
  if (const char* kind = KindOfHandle(AsHandle(h))) {
    error = NotRegular(path, kind);
    ::CloseHandle(AsHandle(h));
    return false;
  }
  return true;
}

std::int64_t ReadAt(Handle h, std::uint8_t* into, std::size_t n, std::int64_t pos,
                    std::string& error) {
  OVERLAPPED at = At(pos);
  DWORD got = 0;
  if (::ReadFile(AsHandle(h), into, static_cast<DWORD>(n), &got, &at)) return got;
  if (::GetLastError() == ERROR_HANDLE_EOF) return 0;
  error = WinErrorText();
  return -1;
}

std::int64_t WriteAt(Handle h, const std::uint8_t* from, std::size_t n, std::int64_t pos,
                     std::string& error) {
  OVERLAPPED at = At(pos);
  DWORD put = 0;
  if (::WriteFile(AsHandle(h), from, static_cast<DWORD>(n), &put, &at)) return put;
  error = WinErrorText();
  return -1;
}

void StartWriteback(Handle, std::int64_t, std::int64_t) {}

std::int64_t Size(Handle h) {
  LARGE_INTEGER size{};
  return ::GetFileSizeEx(AsHandle(h), &size) ? size.QuadPart : -1;
}

bool Flush(Handle h, std::string& error) {
  if (::FlushFileBuffers(AsHandle(h))) return true;
  error = WinErrorText();
  return false;
}

bool Close(Handle h, std::string& error) {
  if (::CloseHandle(AsHandle(h))) return true;
  error = WinErrorText();
  return false;
}

bool IsFile(const std::string& path) {
  const std::wstring wide = Widen(path);
  return ::GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES && !NotAFile(wide);
}

bool Remove(const std::string& path, std::string& error) {
  if (::DeleteFileW(Widen(path).c_str())) return true;
  error = WinErrorText();
  return false;
}

// The renames are written through (MOVEFILE_WRITE_THROUGH): a folder has nothing more to flush.
bool FlushFolder(const std::string&, std::string&) { return true; }

std::string FolderOf(const std::string& path) {
  const std::size_t cut = NameStart(path);
  if (cut == 0) return ".";
  if (cut == 1 || (cut == 3 && path[1] == ':')) return path.substr(0, cut);  // "\" or "C:\"
  if (cut == 2 && path[1] == ':') return path.substr(0, 2) + ".";            // "C:name"
  return path.substr(0, cut - 1);
}

bool Inspect(const std::string& target, Replaced& out, std::string& error) {
  out.path = target;
  const std::wstring wide = Widen(target);
  if (const char* kind = NotAFile(wide)) {
    error = NotRegular(target, kind);
    return false;
  }
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  out.exists = attributes != INVALID_FILE_ATTRIBUTES;
  if (!out.exists && ::GetLastError() != ERROR_FILE_NOT_FOUND) {
    error = WinErrorText();  // a missing folder, no access
    return false;
  }
  return true;
}

Handle CreateNew(const std::string& name, const Replaced&, bool& exists, std::string& error) {
  HANDLE h = ::CreateFileW(Widen(name).c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  exists = h == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_FILE_EXISTS;
  if (h == INVALID_HANDLE_VALUE) error = WinErrorText();
  return FromHandle(h);
}

std::string RenameTarget(const std::string& path) { return path; }

bool Rename(const std::string& from, const std::string& to, std::string& error) {
  if (::MoveFileExW(Widen(from).c_str(), Widen(to).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  error = WinErrorText();
  return false;
}

// A mutex named after the folder (case folded). Named objects cannot hold backslashes, so the
// name carries a hash of the path.
FolderLock::FolderLock(const std::string& folder) {
  wchar_t full[MAX_PATH * 4];
  const std::wstring wide = Widen(folder);
  const DWORD n = ::GetFullPathNameW(wide.c_str(), std::size(full), full, nullptr);
  std::wstring key = n > 0 && n < std::size(full) ? std::wstring(full, n) : wide;
  ::CharUpperBuffW(key.data(), static_cast<DWORD>(key.size()));
  const std::wstring name =
      L"Local\\kelvane-move-" + std::to_wstring(std::hash<std::wstring>{}(key));
  const HANDLE lock = ::CreateMutexW(nullptr, FALSE, name.c_str());
  if (!lock) return;
  handle_ = reinterpret_cast<Handle>(lock);
  locked_ = ::WaitForSingleObject(lock, kLockWaitMs) != WAIT_FAILED;
}

FolderLock::~FolderLock() {
  if (handle_ == kNoHandle) return;
  if (locked_) ::ReleaseMutex(AsHandle(handle_));
  ::CloseHandle(AsHandle(handle_));
}

bool SameFile(const std::string& a, const std::string& b) {
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

std::uint64_t ProcessId() { return ::GetCurrentProcessId(); }

}  // namespace kelvane::disk

#endif
