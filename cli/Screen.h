#pragma once
// Standard output and error for people during a transfer. Progress goes to standard error:
// one line (one port) or a block of a line per port (several) redrawn in place on a
// terminal, else a line at most once a second. Other lines are written above it.

#include <chrono>
#include <cstdio>
#include <map>
#include <string>

#include "cli/PortBoard.h"
#include "transfer/ProgressMeter.h"

namespace kelvane::cli {

class Screen {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kRedrawInterval{100};       // one line in place
  static constexpr std::chrono::milliseconds kBlockRedrawInterval{200};  // a line per port
  static constexpr std::chrono::seconds kLineInterval{1};  // progress not on a terminal

  // show: progress is shown at all; terminal: standard error is one, redrawn in place.
  Screen(PortBoard& board, bool several, bool show, bool terminal)
      : board_(board), several_(several), show_(show), terminal_(terminal) {}

  // A whole line on f, above the progress.
  void Line(std::FILE* f, const std::string& text);
  // Port i's progress, kept on the board and shown.
  void Progress(std::size_t i, const TransferProgress& p);
  // A port's state changed (started, ended): the block shows it.
  void Changed() { changed_ = true; }
  // Something waits to be drawn.
  bool Pending() const { return show_ && terminal_ && changed_; }
  // Redraws what changed, at most every redraw interval unless forced.
  void Refresh(bool force);
  // Ends what is drawn in place, so that the next output starts on a line of its own.
  void Clear();

 private:
  void DrawLine(const std::string& line);
  void DrawBlock();

  PortBoard& board_;
  const bool several_, show_, terminal_;
  bool drawn_ = false, changed_ = false;
  std::size_t width_ = 0;
  Clock::time_point lastDraw_{};
  std::map<std::size_t, Clock::time_point> lastLine_;
};

}  // namespace kelvane::cli
