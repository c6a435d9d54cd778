#pragma once
// What every exchange is: a state machine fed with what the line delivered and the time
// (Feed), the 1-second tick (Tick) and Stop, that writes its bytes through a TransferLine,
// tells its front end through TransferEvents and ends with one Outcome. It never waits and
// never reads the port itself: the Transfer does that.

#include <chrono>
#include <cstdint>
#include <span>
#include <string>

#include "files/FileTable.h"
#include "timecode/Clock.h"
#include "transfer/Outcome.h"
#include "transfer/ProgressMeter.h"
#include "transfer/TransferEvents.h"

namespace kelvane {

// done × 95 ÷ total, never above 95; a total of 0 gives 95.
float ProgressValue(std::int64_t done, std::int64_t total);

// What an exchange does to the line: each Send is one write, in the order the exchange makes
// them.
class TransferLine {
 public:
  virtual ~TransferLine() = default;
  virtual void Send(std::span<const std::uint8_t> bytes) = 0;
  void Send(std::uint8_t byte) { Send(std::span<const std::uint8_t>(&byte, 1)); }
  // Drops what was queued and not yet sent (the Temu download, before each reply).
  virtual void DropUnsent() = 0;
};

struct ExchangeContext {
  TransferLine& line;
  FileTable& files;
  Clock& clock;  // the time reply's calendar and the pause before an acknowledge
  TransferEvents& events;
  std::string path;
  int fileNum = 0;  // preferred transfer file number; 0: the lowest free one
  std::chrono::microseconds ackPause{0};
};

class Exchange {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  explicit Exchange(ExchangeContext c) : x_(std::move(c)) {}
  virtual ~Exchange();
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;

  // Opens the file and speaks first where the exchange does; may end at once.
  virtual void Begin(TimePoint now) = 0;
  // One read of the line: bytes in the order they came.
  virtual void Feed(std::span<const std::uint8_t> bytes, TimePoint now) = 0;
  // A tick of the 1-second timer with nothing waiting on the line.
  virtual void Tick(TimePoint now) { (void)now; }
  // Stop, a close or a lost line: ends the exchange now; nothing claims completion.
  virtual void Stop(TimePoint now) = 0;
  // Bytes that must still come before the exchange can answer: the rest of a block under
  // way. 0 when it cannot tell what comes next.
  virtual std::size_t Awaiting() const { return 0; }
  // Nothing of it has come yet, but what comes next is most likely a block (the upload between
  // its blocks, until the length its header announced has come).
  virtual bool BlockNext() const { return false; }

  bool Done() const { return done_; }
  const Outcome& Result() const { return result_; }
  int File() const { return fileNum_; }

 protected:
  bool OpenFile(OpenMode mode);  // under the preferred or the lowest free number
  std::string OpenFileBeside();  // FileTable::OpenBeside; "" on failure
  void CloseFile();
  Outcome FileFailure() const;
  // Tells the front end sizeDone of total (the size text) and barDone of total (the bar).
  void ShowProgress(std::int64_t sizeDone, std::int64_t barDone, std::int64_t total, TimePoint now);
  // Ends the exchange with o, carrying the last progress shown unless o counts done and
  // total itself; closes the file.
  void Finish(Outcome o);

  ExchangeContext x_;

 private:
  int fileNum_ = 0;
  bool done_ = false;
  Outcome result_;
  ProgressMeter meter_;
  std::int64_t done_bytes_ = 0, total_ = 0;
};

}  // namespace kelvane
