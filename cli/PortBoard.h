#pragma once
// What a run over several ports knows of each port, gathered from the event lines of its
// process: the progress line of each port, the summary table and the worst exit status.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane::cli {

struct PortState {
  std::string port;    // as given on the command line
  std::string device;  // from the start event
  long long done = 0, total = 0;
  double percent = 0, rate = 0;
  std::optional<double> secondsLeft;
  bool started = false, progressed = false;
  std::string verdictText;    // the last message of the window
  std::string lastNotice;     // the command line's own last words (a time-out, a signal)
  std::optional<int> status;  // from the end event, else from the process
  bool endSeen = false;
  double seconds = 0;  // from start to exit
};

class PortBoard {
 public:
  explicit PortBoard(const std::vector<std::string>& ports);

  std::size_t Size() const { return ports_.size(); }
  const PortState& Port(std::size_t i) const { return ports_[i]; }

  // One line of port i's standard output. Returns the parsed event's name, or nothing when
  // the line is no event.
  struct Line {
    std::string event;  // empty: no event
    std::string text;   // message and notice events: the text
    std::string kind;   // message events: the kind
  };
  Line Feed(std::size_t i, std::string_view line);

  // Port i's process ended with `status` (its exit status; a death by signal counts as
  // stopped) after `seconds`.
  void Exited(std::size_t i, int status, double seconds);

  // "COM2  12k/2097K  61.3 %  11.5 kB/s  1:10 left", "COM2  done: Kelvane Complete".
  std::string StatusLine(std::size_t i) const;
  // The summary: a header line and one line per port (port, device, verdict, bytes, time).
  std::string Table() const;
  // The highest exit status of any port.
  int Worst() const;
  // The end event of a port whose process ended without writing one.
  std::string EndEventFor(std::size_t i) const;
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
