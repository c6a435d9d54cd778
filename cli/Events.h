#pragma once
// The events of --json: one JSON object per line on standard output, each with "event" and
// "port". The field names are documented in the manual page and kept stable.
//
//   start     command, type, device, file, size (bytes; null when not known beforehand)
//   header    hw_version, sw_version, model_id: the texts the window shows
//   progress  done, total (bytes), percent, rate (bytes/s), seconds_left (null: unknown)
//   message   text (exactly as the window shows it), kind
//   notice    text: the command line's own words (time-out, signal, unusable file)
//   end       status, status_name, outcome (null: none), bytes, seconds
//   summary   (several ports only) status, status_name, ports, failed

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>

#include "transfer/Outcome.h"
#include "transfer/ProgressMeter.h"

namespace kelvane::cli {

// The stable name of an exit status in events ("done", "timed_out", ...).
const char* StatusName(int status);
// The same in words for people ("done", "timed out", ...).
const char* StatusWords(int status);
// The stable name of what a transfer or file choice came to ("complete", "header_refused").
const char* OutcomeName(Outcome::Kind kind);

class EventLog {
 public:
  using Clock = std::chrono::steady_clock;
  // Progress events come at most this often, besides the first and the last.
  static constexpr std::chrono::milliseconds kProgressInterval{250};

  EventLog(std::FILE* out, std::string port) : out_(out), port_(std::move(port)) {}

  void Start(const std::string& command, const std::string& type, const std::string& device,
             const std::string& file, std::optional<long long> size);
  void Header(const std::string& hw, const std::string& sw, const std::string& model);
  // Throttled: a call within kProgressInterval of the last event is dropped unless it
  // completes the transfer.
  void Progress(const TransferProgress& progress, Clock::time_point now);
  void Message(const std::string& text, const std::string& kind);
  // The command line's own words (a time-out, a signal, a file it cannot use).
  void Notice(const std::string& text);
  // `outcome`: what the transfer (or the file choice) came to, when it got that far.
  void End(int status, const Outcome* outcome, double seconds);

 private:
  void Emit(const std::string& line);

  std::FILE* out_;
  std::string port_;
  long long done_ = 0;
  bool progressSent_ = false;
  Clock::time_point lastProgress_{};
};

}  // namespace kelvane::cli
