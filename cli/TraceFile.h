#pragma once
// Where --trace writes: standard error for "-", else a file. The file is written beside its
// final name and renamed over it when the run ends, so that an existing file (replaced only
// with --force) stays whole until the trace that replaces it is complete.

#include <cstdio>
#include <string>

namespace kelvane::cli {

class TraceFile {
 public:
  TraceFile() = default;
  ~TraceFile();
  TraceFile(const TraceFile&) = delete;
  TraceFile& operator=(const TraceFile&) = delete;

  // False with the reason in words when the trace cannot be written there.
  bool Open(const std::string& path, bool replace, std::string& error);
  std::FILE* File() const { return file_; }
  // Gives the trace its name. False with the reason when that fails (the trace then stays
  // under its temporary name, which the error names).
  bool Commit(std::string& error);

  // For a program that ends at once on a signal: gives every open trace its name with what
  // has reached the file so far. Safe inside a signal handler.
  static void CommitInSignalHandler();

 private:
  std::FILE* file_ = nullptr;
  std::string path_, temp_;
  int slot_ = -1;  // for CommitInSignalHandler
};

}  // namespace kelvane::cli
