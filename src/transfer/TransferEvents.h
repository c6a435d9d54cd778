#pragma once
// What a running transfer tells its front end (the window, the command line): the wait for
// the receiver, the upload's header texts, each step of progress, a line that echoes or was
// lost, and the end. All of it is data; the front end chooses the words and where they go.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "transfer/Outcome.h"
#include "transfer/ProgressMeter.h"

namespace kelvane {

// One step of progress: the numbers, and the size text and bar value the window shows.
struct ProgressReport {
  std::int64_t done = 0;      // bytes of the transfer's file moved (the size text's count)
  std::int64_t barDone = 0;   // the count the bar follows (the upload counts its header too)
  std::int64_t total = 0;     // bytes in all (the upload: the length its header announced)
  std::string sizeText;       // SizeText(done, total): "12k/2097K"
  float barValue = 0;         // ProgressValue(barDone, total): 0 to 95
  TransferProgress progress;  // done of total with the rate and the time left
};

// The texts the upload takes from the receiver's header, as the window's boxes show them.
struct UploadHeaderTexts {
  std::string hw;                     // "HW version : 1.02"
  std::string sw;                     // "SW version : 2.10"
  std::string model;                  // "Model ID : 1A2B"
  std::uint32_t announcedLength = 0;  // the data bytes the header announces
  bool complete = false;              // false: the upload ended before the header was whole
};

class TransferEvents {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  virtual ~TransferEvents() = default;

  // The transfer waits for the receiver to speak first (a download for its ready byte or
  // first request, an upload for its header) since `since` on the transfer's clock; nullopt:
  // the receiver has spoken. A Stop leaves the wait as it was.
  virtual void WaitingForReceiver(std::optional<TimePoint> since) { (void)since; }
  // The upload's header texts: once the header is whole, or, as far as it came, when the
  // upload ends before that.
  virtual void UploadHeader(const UploadHeaderTexts& texts) { (void)texts; }
  // A unit of data moved (a block, a served request).
  virtual void Progress(const ProgressReport& report) { (void)report; }
  // What arrives is what was sent: a loopback plug or the wrong cable (said once).
  virtual void LineEchoes() {}
  // The line failed for good under the transfer; why: the port's account of it. The
  // transfer then ends (Result().lineLost).
  virtual void LineLost(const std::string& why) { (void)why; }
  // The transfer has ended with this outcome (also Result()). Called from inside Begin,
  // OnReadable, OnTick or Stop: the Transfer must not be destroyed inside this call.
  virtual void Ended(const Outcome& outcome) { (void)outcome; }
};

}  // namespace kelvane
