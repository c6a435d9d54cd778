#include "serial/TracePort.h"

#include <cinttypes>

namespace kelvane {

TracePort::TracePort(SerialPort& inner, std::FILE* sink, Clock& clock)
    : inner_(inner), sink_(sink), clock_(clock), start_(clock.Now()), lastFlush_(start_) {
  buffer_.reserve(kFlushSize + 4096);
}

TracePort::~TracePort() { Flush(); }

void TracePort::Stamp(const char* what) {
  const auto us =
      std::chrono::duration_cast<std::chrono::microseconds>(clock_.Now() - start_).count();
  char prefix[48];
  const int n = std::snprintf(prefix, sizeof prefix, "%6" PRId64 ".%06" PRId64 " %3s",
                              static_cast<std::int64_t>(us / 1000000),
                              static_cast<std::int64_t>(us % 1000000), what);
  buffer_.append(prefix, static_cast<std::size_t>(n > 0 ? n : 0));
}

void TracePort::Record(const char* direction, std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  Stamp(direction);
  char count[24];
  const int n = std::snprintf(count, sizeof count, " %5zu ", bytes.size());
  buffer_.append(count, static_cast<std::size_t>(n > 0 ? n : 0));
  const std::size_t at = buffer_.size();
  buffer_.resize(at + bytes.size() * 3);
  char* p = buffer_.data() + at;
  for (std::uint8_t b : bytes) {
    *p++ = ' ';
    *p++ = kDigits[b >> 4];
    *p++ = kDigits[b & 15];
  }
  buffer_ += '\n';
  MaybeFlush();
}

void TracePort::Note(std::string_view text) {
  Stamp("#");
  buffer_ += "  ";
  buffer_ += text;
  buffer_ += '\n';
  MaybeFlush();
}

void TracePort::MaybeFlush() {
  if (buffer_.size() >= kFlushSize || clock_.Now() - lastFlush_ >= kFlushAge) Flush();
}

bool TracePort::Flush() {
  lastFlush_ = clock_.Now();
  if (buffer_.empty() || !sink_) return !failed_;
  if (!failed_ && (std::fwrite(buffer_.data(), 1, buffer_.size(), sink_) != buffer_.size() ||
                   std::fflush(sink_) != 0))
    failed_ = true;
  buffer_.clear();
  return !failed_;
}

bool TracePort::SetPortOpen(bool open) {
  const bool wasOpen = inner_.PortOpen();
  const bool ok = inner_.SetPortOpen(open);
  if (open)
    Note(ok ? "port opened, " + std::string(kLineSettings)
            : "port did not open: " + inner_.LastError());
  else if (wasOpen)
    Note("port closed");
  if (!open) Flush();
  return ok;
}

void TracePort::Output(std::span<const std::uint8_t> bytes) {
  Record("out", bytes);
  inner_.Output(bytes);
}

Bytes TracePort::Input() {
  Bytes b = inner_.Input();
  if (!b.empty())
    Record("in", b);
  else if (!buffer_.empty())
    MaybeFlush();  // a quiet line: what is held goes out in time
  return b;
}

void TracePort::SetOutBufferCount(int zero) {
  if (const int queued = inner_.OutBufferCount(); queued > 0)
    Note("dropped " + std::to_string(queued) + " bytes queued and not yet sent");
  inner_.SetOutBufferCount(zero);
}

void TracePort::SetInBufferCount(int zero) {
  if (const int waiting = inner_.InBufferCount(); waiting > 0)
    Note("dropped " + std::to_string(waiting) + " bytes received and not read");
  inner_.SetInBufferCount(zero);
}

}  // namespace kelvane
