#include "cli/Events.h"

#include <algorithm>
#include <iterator>

#include "cli/Json.h"
#include "cli/Outcome.h"

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
  return status >= 0 && status < static_cast<int>(std::size(kStatusTexts)) ? kStatusTexts[status].name : "unknown";
}

const char* StatusWords(int status) {
  return status >= 0 && status < static_cast<int>(std::size(kStatusTexts)) ? kStatusTexts[status].words
                                                                             : "ended abnormally";
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
  if (size) o.Int("size", *size);
  else o.Null("size");
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

void EventLog::Progress(long long done, long long total, double rate, Clock::time_point now) {
  const bool last = total > 0 && done >= total && done != done_;
  done_ = done;
  if (progressSent_ && now - lastProgress_ < kProgressInterval && !last) return;
  progressSent_ = true;
  lastProgress_ = now;
  JsonObject o;
  o.String("event", "progress").String("port", port_).Int("done", done).Int("total", total);
  o.Number("percent", total > 0 ? static_cast<double>(done) * 100.0 / static_cast<double>(total) : 0.0);
  o.Number("rate", rate);
  if (rate > 0) o.Number("seconds_left", static_cast<double>(std::max(0LL, total - done)) / rate);
  else o.Null("seconds_left");
  Emit(o.Text());
}

void EventLog::Message(const std::string& text, const std::string& kind) {
  Emit(JsonObject().String("event", "message").String("port", port_).String("text", text).String("kind", kind).Text());
}

void EventLog::Notice(const std::string& text) {
  Emit(JsonObject().String("event", "notice").String("port", port_).String("text", text).Text());
}

void EventLog::End(int status, long long bytes, double seconds) {
  Emit(JsonObject()
           .String("event", "end")
           .String("port", port_)
           .Int("status", status)
           .String("status_name", StatusName(status))
           .Int("bytes", bytes)
           .Number("seconds", seconds)
           .Text());
}

}  // namespace kelvane::cli
