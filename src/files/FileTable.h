#pragma once
// Numbered files, as the window's logic uses them: a file is opened under a small number,
// read and written at a position, and closed by number. Failures do not throw: they leave
// an error pending whose system description the caller shows at the points it chooses.
//
// Only regular files are opened: a named pipe, a terminal or a device named as a file is
// refused at once (never waited on), with a text that names the path and what it is.
// A file that replaces another is written under a private name beside it and moved into
// place once it is complete, so the file it replaces is never emptied before then. Such a
// private file is flushed to the disk before it counts as written (Close, MoveIntoPlace):
// write errors the system delays show there, before anything is reported done.

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace kelvane {

enum class OpenMode {
  Read,           // read only; never creates the file
  WriteTruncate,  // write only; creates the file or empties it
};

// One rename of MoveIntoPlace: from replaces to.
struct FileMove {
  std::string from, to;
};

class FileTable {
 public:
  virtual ~FileTable() = default;

  virtual int FreeFile() const = 0;  // lowest file number not in use (1 and up)

  // Opens path under num. recordLength 0 is a byte stream; 128 opens for record access
  // (Read/Write then still take byte positions; the length only documents the access).
  virtual bool Open(int num, const std::string& path, OpenMode mode, int recordLength = 0) = 0;
  virtual bool IsOpen(int num) const = 0;

  // Reads up to buf.size() bytes from the current position and advances it; returns the
  // count read (short at the end of the file or on an error, which is then pending).
  virtual std::size_t Read(int num, std::span<std::uint8_t> buf) = 0;
  // Writes all bytes at the current position and advances it; false on an error.
  virtual bool Write(int num, std::span<const std::uint8_t> bytes) = 0;
  virtual bool Seek(int num, std::int64_t pos) = 0;  // 0-based
  virtual std::int64_t Position(int num) const = 0;
  virtual std::int64_t Length(int num) const = 0;  // -1 when not open

  // Close flushes what was written; false when that fails (the error is then pending).
  virtual bool Close(int num) = 0;
  virtual void CloseAll() = 0;

  virtual bool Exists(const std::string& path) = 0;  // names an existing regular file
  virtual bool Delete(const std::string& path) = 0;

  // Creates a new empty file under a private name in the folder of target and opens it for
  // writing under num; returns that name, or "" on failure. target itself is not touched.
  // Its Close flushes it to the disk first and fails when that fails.
  virtual std::string OpenBeside(int num, const std::string& target) = 0;
  // Renames each move's from over its to, in order (a file open under a number stays open
  // and goes on under its new name). The folder of the first target is locked meanwhile,
  // so the moves of two programs into the same folder do not interleave. Stops at the
  // first failure. A private file still open is flushed to the disk before its rename (one
  // closed was flushed by Close), and the folder after the renames, so that the new names
  // last; a failure to flush is a failure of the move.
  virtual bool MoveIntoPlace(const std::vector<FileMove>& moves) = 0;
  // True when both paths name the same existing file (through links too).
  virtual bool SameFile(const std::string& a, const std::string& b) = 0;

  // The pending-error regime: the first failure since the last ClearError stays pending.
  virtual bool ErrorPending() const = 0;
  virtual std::string ErrorText() const = 0;  // the system's description of it
  virtual std::string ErrorPath() const = 0;  // the file it concerns ("" when none)
  virtual void ClearError() = 0;
};

// The real file table on the operating system's files.
class DiskFileTable : public FileTable {
 public:
  ~DiskFileTable() override;
  int FreeFile() const override;
  bool Open(int num, const std::string& path, OpenMode mode, int recordLength = 0) override;
  bool IsOpen(int num) const override;
  std::size_t Read(int num, std::span<std::uint8_t> buf) override;
  bool Write(int num, std::span<const std::uint8_t> bytes) override;
  bool Seek(int num, std::int64_t pos) override;
  std::int64_t Position(int num) const override;
  std::int64_t Length(int num) const override;
  bool Close(int num) override;
  void CloseAll() override;
  bool Exists(const std::string& path) override;
  bool Delete(const std::string& path) override;
  std::string OpenBeside(int num, const std::string& target) override;
  bool MoveIntoPlace(const std::vector<FileMove>& moves) override;
  bool SameFile(const std::string& a, const std::string& b) override;
  bool ErrorPending() const override { return !error_.empty(); }
  std::string ErrorText() const override { return error_; }
  std::string ErrorPath() const override { return errorPath_; }
  void ClearError() override { error_.clear(), errorPath_.clear(); }

 protected:
  // Records errno err (or a text of its own) as pending unless one is already pending; path
  // is the file it concerns, when known.
  void Fail(int err, const std::string& path = {});
  void Fail(const std::string& text, const std::string& path);
  // Flush a file's data, or a folder's entries, to the disk; false with the error pending.
  // (On Windows fd is the file's HANDLE, which fits in 32 bits.)
  virtual bool SyncFile(int fd, const std::string& path);
  virtual bool SyncFolder(const std::string& folder);

 private:
  struct Entry {
    std::intptr_t fd = -1;  // the descriptor on POSIX, the HANDLE on Windows
    std::int64_t pos = 0;
    std::string path;
    bool durable = false;       // a private file of OpenBeside: flushed before it counts
    std::int64_t handedOn = 0;  // a durable file's bytes before this are on their way to the disk
  };
  std::map<int, Entry> open_;
  std::string error_, errorPath_;
};

}  // namespace kelvane
