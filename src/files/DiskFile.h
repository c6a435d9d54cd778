#pragma once
// The system's side of DiskFileTable: what one file handle, path or folder asks of the system,
// once for POSIX systems (DiskFilePosix.cpp) and once for Windows (DiskFileWin32.cpp). The
// table's bookkeeping, positions and loops are FileTable.cpp's, shared by both.
//
// A call that fails returns false (or kNoHandle, or a negative count) and puts the system's
// words for the failure in `error`.

#include <cstdint>
#include <string>

namespace kelvane::disk {

// A descriptor on POSIX systems, a HANDLE on Windows.
using Handle = std::intptr_t;
inline constexpr Handle kNoHandle = -1;

// Opens an existing file for reading, or a file for writing: created when missing and emptied
// once it is known to be a file on disk. Whatever is not one (a folder, a named pipe, a device)
// is refused with words that name path, unopened where the system tells beforehand.
Handle Open(const std::string& path, bool write, std::string& error);
// Checks that a handle just opened is a file on disk, whose reads and writes then may block
// (they never wait long); closes it when it is not.
bool Adopt(Handle h, const std::string& path, std::string& error);

// Reads or writes at pos, as much of n as the system takes at once: the count done (0 at the
// end of the file), or -1 on a failure.
std::int64_t ReadAt(Handle h, std::uint8_t* into, std::size_t n, std::int64_t pos,
                    std::string& error);
std::int64_t WriteAt(Handle h, const std::uint8_t* from, std::size_t n, std::int64_t pos,
                     std::string& error);
// Starts writing a range of the file to the disk without waiting for it (nothing where the
// system has no such call: the flush then writes it all).
void StartWriteback(Handle h, std::int64_t from, std::int64_t length);
std::int64_t Size(Handle h);  // -1 when unknown
bool Flush(Handle h, std::string& error);
bool Close(Handle h, std::string& error);

bool IsFile(const std::string& path);  // names an existing file on disk
bool Remove(const std::string& path, std::string& error);
// Flushes a folder's entries (renames in it) to the disk, where the system needs it.
bool FlushFolder(const std::string& folder, std::string& error);
std::string FolderOf(const std::string& path);  // "." for a bare name

// A file about to be replaced: where its replacement goes (a link followed to the file it
// names) and what it keeps of the file it replaces.
struct Replaced {
  std::string path;
  bool exists = false;
  std::uint32_t mode = 0;  // its permissions, on POSIX systems
};
// Checks that target can be replaced (missing, or a file on disk) and says where.
bool Inspect(const std::string& target, Replaced& out, std::string& error);
// Creates name, which must not exist (exists tells when it did), for writing, with what the
// file it replaces keeps.
Handle CreateNew(const std::string& name, const Replaced& replaced, bool& exists,
                 std::string& error);
// The replacement's target as the rename takes it (links followed where the system has them).
std::string RenameTarget(const std::string& path);
bool Rename(const std::string& from, const std::string& to, std::string& error);

// Held while the moves of MoveIntoPlace go on, so that those of two programs into one folder
// take turns; a lock held longer than a moment, or a system without one, is not waited for.
class FolderLock {
 public:
  explicit FolderLock(const std::string& folder);
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

 private:
  Handle handle_ = kNoHandle;
  bool locked_ = false;
};

bool SameFile(const std::string& a, const std::string& b);
std::uint64_t ProcessId();

}  // namespace kelvane::disk
