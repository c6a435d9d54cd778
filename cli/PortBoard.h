#pragma once
// What a run over several ports knows of each port, told by the port's transfer as it
// goes: the progress line of each port, the summary table and the worst exit status.

#include <optional>
#include <string>
#include <vector>

#include "transfer/ProgressMeter.h"

namespace kelvane::cli {

struct PortState {
  std::string port;    // as given on the command line
  std::string device;  // the device it maps to, once known
  TransferProgress progress;
  bool started = false, progressed = false;
  std::string verdictText;    // the last message of the window
  std::string lastNotice;     // the command line's own last words (a time-out, a signal)
  std::optional<int> status;  // once the port has ended
  long long bytes = 0;        // bytes of the file moved
  double seconds = 0;         // from start to end
};

class PortBoard {
 public:
  explicit PortBoard(const std::vector<std::string>& ports);

  std::size_t Size() const { return ports_.size(); }
  const PortState& Port(std::size_t i) const { return ports_[i]; }

  void Started(std::size_t i, const std::string& device);
  void Progressed(std::size_t i, const TransferProgress& progress);
  void Message(std::size_t i, const std::string& text) { ports_[i].verdictText = text; }
  void Notice(std::size_t i, const std::string& text) { ports_[i].lastNotice = text; }
  // Port i has ended with this exit status after `seconds`, `bytes` of its file moved.
  void Ended(std::size_t i, int status, long long bytes, double seconds);

  // "COM2  12k/2097K  61.3 %  11.5 kB/s  1:10 left", "COM2  done: Kelvane Complete".
  std::string StatusLine(std::size_t i) const;
  // The summary: a header line and one line per port (port, device, verdict, bytes, time).
  std::string Table() const;
  // The highest exit status of any port.
  int Worst() const;
  // The summary event of --json.
  std::string SummaryEvent() const;

 private:
  std::string Verdict(const PortState& p) const;
  std::vector<PortState> ports_;
  std::size_t labelWidth_ = 0;
};

// The name of a per-port file when one command writes a file for each of several ports:
// "backup.bin" for /dev/ttyUSB0 is "backup-ttyUSB0.bin", for COM2 "backup-COM2.bin".
std::string PortFileName(const std::string& file, const std::string& port);
// The part of the name PortFileName adds: COMn, else the device's last path element.
std::string PortTag(const std::string& port);

}  // namespace kelvane::cli
