#pragma once
// The SDX channel list conversion: the records of the "MPG2" system are taken from the chosen
// list, each one that repeats the frequency, symbol rate and polarisation of the record
// written before it is dropped, and the rest are packed behind a 64-byte list header in the
// program image layout, so that the download sends the list like an image.
//
// "satcodx.tm0" receives the records taken, "satcodx.tm1" the header and those records; both
// are named without a folder (the working directory). The list is streamed through fixed
// buffers: memory does not grow with the list, and it is read once.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "files/FileTable.h"
#include "files/ListContainer.h"
#include "transfer/Outcome.h"

namespace kelvane {

// The two files a conversion leaves in the working folder: the filtered list and the
// container that is sent.
inline constexpr const char* kTempList = "satcodx.tm0";
inline constexpr const char* kTempContainer = "satcodx.tm1";

// One 128-byte record of an SDX list; only the fields the filter reads are named.
struct SdxRecord {
  static constexpr std::size_t kSize = 128;
  struct Field {
    std::size_t offset, length;
  };
  static constexpr Field SystemTag{29, 4};
  static constexpr Field FrequencyHigh{33, 3};  // thousands of the frequency
  static constexpr Field FrequencyLow{36, 3};   // units of the frequency
  static constexpr Field Polarisation{42, 1};   // one decimal digit
  static constexpr Field SymbolRate{69, 5};
};

// A fixed-width decimal field: digits with optional blanks before and after them.
std::optional<std::uint32_t> ParseSdxNumber(std::span<const std::uint8_t> field);

// The filter's running state over one list.
class SdxFilter {
 public:
  // Takes the record's values as the current ones and says whether it is written.
  bool Take(std::span<const std::uint8_t, SdxRecord::kSize> record);

 private:
  static constexpr int kNoPolarisation = -1;
  // The bytes of the fields read, as the record before had them: a record with the same
  // ones (the next channel on a transponder) leaves the current values as they are.
  std::array<std::uint8_t, SdxRecord::FrequencyHigh.length + SdxRecord::FrequencyLow.length +
                               SdxRecord::Polarisation.length + SdxRecord::SymbolRate.length>
      fieldsBefore_{};
  bool anyBefore_ = false;
  std::uint32_t frequency_ = 0, symbolRate_ = 0;
  int polarisation_ = kNoPolarisation;  // a digit character, or none
  std::uint32_t lastFrequency_ = 0, lastSymbolRate_ = 0;
  char lastPolarisation_ = '\0';  // blank when the record written had none
};

// Records per read and per write of the streaming conversion.
inline constexpr std::size_t kSdxBufferRecords = 8192;

// What a conversion wrote: the bytes of "satcodx.tm0" and of "satcodx.tm1".
struct SdxOutput {
  std::uint64_t listBytes = 0, containerBytes = 0;
};

// How a conversion ended. A list without one channel record (no list at all, say a program
// image chosen by mistake) is refused: its files are not written and nothing is sent.
struct SdxResult {
  enum class Kind { Written, NoChannels, Failed };
  Kind kind = Kind::Failed;
  explicit operator bool() const { return kind == Kind::Written; }
};

// The refusal of a list at path without channel records.
std::string NoChannelsText(const std::string& path);

// Filters the list at source into "satcodx.tm0" and packs it into "satcodx.tm1" in one pass,
// using the file number num and the lowest free ones beside it, and leaves them closed. The
// list is opened read only and never created, and never replaced by the result (a list named
// like one of the two files in the working directory is refused). Both files are written
// under private names, flushed to the disk and moved into place together once complete. On
// a failure or a refusal the reason is in errorText and the files of an earlier conversion
// are left as they were. stopped, when given, is asked between reads: true ends the
// conversion as a failure.
SdxResult WriteSdxContainer(FileTable& files, const std::string& source, int num,
                            std::string& errorText, std::size_t bufferRecords = kSdxBufferRecords,
                            SdxOutput* written = nullptr,
                            const std::function<bool()>& stopped = {});

// The conversion run when a list is chosen: the container written from the list at path
// under the file number num; path then names "satcodx.tm1" (Ready). A failure returns
// FileError with the reason, a list without channels NoChannels, path unchanged; the files of an
// earlier conversion stay.
Outcome ConvertSdx(FileTable& files, int num, std::string& path);

}  // namespace kelvane
