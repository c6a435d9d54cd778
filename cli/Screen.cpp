#include "cli/Screen.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include <algorithm>

namespace kelvane::cli {

namespace {

int TerminalWidth() {
#ifdef _WIN32
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (::GetConsoleScreenBufferInfo(::GetStdHandle(STD_ERROR_HANDLE), &info))
    return info.srWindow.Right - info.srWindow.Left + 1;
  return 80;
#else
  winsize ws{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
#endif
}

}  // namespace

void Screen::Line(std::FILE* f, const std::string& text) {
  Clear();
  std::fprintf(f, "%s\n", text.c_str());
  std::fflush(f);
}

void Screen::Progress(std::size_t i, const TransferProgress& p) {
  board_.Progressed(i, p);
  if (!show_) return;
  if (terminal_) {
    changed_ = true;
    Refresh(false);
    return;
  }
  const auto now = Clock::now();
  auto& last = lastLine_[i];
  if (last != Clock::time_point{} && now - last < kLineInterval) return;
  last = now;
  const std::string line = several_ ? board_.StatusLine(i) : ProgressLine(p);
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

void Screen::Refresh(bool force) {
  if (!show_ || !terminal_ || !changed_) return;
  const auto now = Clock::now();
  if (!force && drawn_ && now - lastDraw_ < (several_ ? kBlockRedrawInterval : kRedrawInterval))
    return;
  if (several_)
    DrawBlock();
  else if (board_.Port(0).progressed && !board_.Port(0).status)
    DrawLine(ProgressLine(board_.Port(0).progress));
  lastDraw_ = now;
  changed_ = false;
}

void Screen::Clear() {
  if (!drawn_) return;
  if (several_)
    std::fprintf(stderr, "\x1b[%zuA\r\x1b[J", board_.Size());
  else
    std::fputc('\n', stderr);
  std::fflush(stderr);
  drawn_ = false;
  changed_ = true;
  width_ = 0;
}

void Screen::DrawLine(const std::string& line) {
  // Blanks cover what a longer line left behind.
  const std::size_t pad = width_ > line.size() ? width_ - line.size() : 0;
  std::fprintf(stderr, "\r%s%*s", line.c_str(), static_cast<int>(pad), "");
  std::fflush(stderr);
  width_ = line.size();
  drawn_ = true;
}

void Screen::DrawBlock() {
  // Each line overwritten to its end rather than the block cleared first.
  if (drawn_) std::fprintf(stderr, "\x1b[%zuA\r", board_.Size());
  const std::size_t width = static_cast<std::size_t>(std::max(TerminalWidth() - 1, 10));
  for (std::size_t i = 0; i < board_.Size(); ++i) {
    std::string line = board_.StatusLine(i);
    if (line.size() > width) line.resize(width);  // a wrapped line would upset the count
    std::fprintf(stderr, "%s\x1b[K\n", line.c_str());
  }
  std::fflush(stderr);
  drawn_ = true;
}

}  // namespace kelvane::cli
