#include "cli/Events.h"

#include <algorithm>
#include <iterator>

#include "cli/ExitStatus.h"
#include "cli/Json.h"

namespace kelvane::cli {

namespace {

struct StatusText {
  const char* name;
  const char* words;
};

constexpr StatusText kStatusTexts[] = {
    {"done", "done"},
    {"usage", "usage error"},
    {"port_unavailable", "serial port not available"},
    {"file_error", "file error"},
    {"header_refused", "header refused"},
    {"data_rejected", "checksum or verify error"},
    {"stopped", "stopped"},
    {"timed_out", "timed out"},
};
static_assert(std::size(kStatusTexts) == kTimedOut + 1, "a name for every exit status");

}  // namespace

const char* StatusName(int status) {
  return status >= 0 && status < static_cast<int>(std::size(kStatusTexts))
             ? kStatusTexts[status].name
             : "unknown";
}

const char* StatusWords(int status) {
  return status >= 0 && status < static_cast<int>(std::size(kStatusTexts))
             ? kStatusTexts[status].words
             : "ended abnormally";
}

const char* OutcomeName(Outcome::Kind kind) {
  using Kind = Outcome::Kind;
  switch (kind) {
    case Kind::Nothing: return "nothing";
    case Kind::Ready: return "ready";
    case Kind::Cancelled: return "cancelled";
    case Kind::ReplaceDeclined: return "replace_declined";
    case Kind::NoChannels: return "no_channels";
    case Kind::Complete: return "complete";
    case Kind::Rejected: return "rejected";
    case Kind::HeaderRefused: return "header_refused";
    case Kind::UploadCompleted: return "upload_completed";
    case Kind::UploadIncomplete: return "upload_incomplete";
    case Kind::TemuEnded: return "temu_ended";
    case Kind::Stopped: return "stopped";
    case Kind::InvalidFile: return "invalid_file";
    case Kind::FileError: return "file_error";
    case Kind::PortUnavailable: return "port_unavailable";
  }
  return "unknown";
}

void EventLog::Emit(const std::string& line) {
  std::fputs(line.c_str(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

void EventLog::Start(const std::string& command, const std::string& type, const std::string& device,
                     const std::string& file, std::optional<long long> size) {
  JsonObject o;
  o.String("event", "start").String("port", port_).String("command", command).String("type", type);
  o.String("device", device).String("file", file);
  if (size)
    o.Int("size", *size);
  else
    o.Null("size");
  Emit(o.Text());
}

void EventLog::Header(const std::string& hw, const std::string& sw, const std::string& model) {
  Emit(JsonObject()
           .String("event", "header")
           .String("port", port_)
           .String("hw_version", hw)
           .String("sw_version", sw)
           .String("model_id", model)
           .Text());
}

void EventLog::Progress(const TransferProgress& p, Clock::time_point now) {
  const bool last = p.total > 0 && p.done >= p.total && p.done != done_;
  done_ = p.done;
  if (progressSent_ && now - lastProgress_ < kProgressInterval && !last) return;
  progressSent_ = true;
  lastProgress_ = now;
  JsonObject o;
  o.String("event", "progress").String("port", port_).Int("done", p.done).Int("total", p.total);
  o.Number("percent", p.percent).Number("rate", p.bytesPerSecond);
  if (p.secondsLeft)
    o.Number("seconds_left", *p.secondsLeft);
  else
    o.Null("seconds_left");
  Emit(o.Text());
}

void EventLog::Message(const std::string& text, const std::string& kind) {
  Emit(JsonObject()
           .String("event", "message")
           .String("port", port_)
           .String("text", text)
           .String("kind", kind)
           .Text());
}

void EventLog::Notice(const std::string& text) {
  Emit(JsonObject().String("event", "notice").String("port", port_).String("text", text).Text());
}

void EventLog::End(int status, const Outcome* outcome, double seconds) {
  JsonObject o;
  o.String("event", "end")
      .String("port", port_)
      .Int("status", status)
      .String("status_name", StatusName(status));
  if (outcome)
    o.String("outcome", OutcomeName(outcome->kind));
  else
    o.Null("outcome");
  // The outcome's count is exact; the last progress event may have been left out.
  o.Int("bytes", outcome && outcome->done > 0 ? outcome->done : done_);
  o.Number("seconds", seconds);
  Emit(o.Text());
}

}  // namespace kelvane::cli
