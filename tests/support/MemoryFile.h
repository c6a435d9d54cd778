#pragma once
// A FILE* whose text a test reads back: a memory stream, or on Windows (no memory streams
// there) a temporary file read back whole.

#include <cstdio>
#include <cstdlib>
#include <string>

namespace kelvane::test {

struct MemoryFile {
#ifdef _WIN32
  MemoryFile() { file = std::tmpfile(); }
  ~MemoryFile() { std::fclose(file); }
  std::string Text() const {
    std::fflush(file);
    std::string text;
    std::rewind(file);
    for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
    return text;
  }
#else
  MemoryFile() { file = ::open_memstream(&data, &size); }
  ~MemoryFile() {
    std::fclose(file);
    std::free(data);
  }
  std::string Text() const {
    std::fflush(file);
    return std::string(data, size);
  }
#endif
  std::FILE* file = nullptr;
  char* data = nullptr;
  std::size_t size = 0;
};

}  // namespace kelvane::test
