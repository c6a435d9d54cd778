#include "cli/PortBoard.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "cli/CliOptions.h"
#include "cli/Events.h"
#include "cli/ExitStatus.h"
#include "cli/Json.h"
#include "files/PathName.h"

namespace kelvane::cli {

namespace {

std::string Pad(std::string s, std::size_t width) {
  if (s.size() < width) s.append(width - s.size(), ' ');
  return s;
}

}  // namespace

PortBoard::PortBoard(const std::vector<std::string>& ports) {
  for (const auto& p : ports) {
    PortState s;
    s.port = p;
    ports_.push_back(s);
    labelWidth_ = std::max(labelWidth_, p.size());
  }
}

void PortBoard::Started(std::size_t i, const std::string& device) {
  ports_[i].started = true;
  ports_[i].device = device;
}

void PortBoard::Progressed(std::size_t i, const TransferProgress& progress) {
  ports_[i].progressed = true;
  ports_[i].progress = progress;
  ports_[i].bytes = progress.done;
}

void PortBoard::Ended(std::size_t i, int status, long long bytes, double seconds) {
  PortState& p = ports_[i];
  p.status = status;
  p.bytes = bytes;
  p.seconds = seconds;
}

std::string PortBoard::Verdict(const PortState& p) const {
  if (!p.status) return "running";
  const std::string words = StatusWords(*p.status);
  if (!p.verdictText.empty()) return words + ": " + p.verdictText;
  // Without a window message a failure is told by the command line's words, which may
  // begin with the same ("timed out: nothing arrived ...").
  if (*p.status == kDone || p.lastNotice.empty()) return words;
  return p.lastNotice.starts_with(words) ? p.lastNotice : words + ": " + p.lastNotice;
}

std::string PortBoard::StatusLine(std::size_t i) const {
  const PortState& p = ports_[i];
  std::string line = Pad(p.port, labelWidth_) + "  ";
  if (p.status) return line + Verdict(p);
  if (!p.started) return line + "opening";
  if (!p.progressed) return line + "waiting for the receiver";
  return line + ProgressLine(p.progress);
}

std::string PortBoard::Table() const {
  struct Row {
    std::string port, device, verdict, bytes, time;
  };
  std::vector<Row> rows{{"PORT", "DEVICE", "VERDICT", "BYTES", "TIME"}};
  for (const PortState& p : ports_)
    rows.push_back({p.port, p.device.empty() ? "-" : p.device, Verdict(p), std::to_string(p.bytes),
                    Duration(p.seconds)});
  std::size_t w[5] = {};
  for (const Row& r : rows) {
    w[0] = std::max(w[0], r.port.size());
    w[1] = std::max(w[1], r.device.size());
    w[2] = std::max(w[2], r.verdict.size());
    w[3] = std::max(w[3], r.bytes.size());
    w[4] = std::max(w[4], r.time.size());
  }
  std::string out;
  for (const Row& r : rows) {
    const std::string bytes =
        std::string(w[3] - r.bytes.size(), ' ') + r.bytes;  // numbers to the right
    const std::string time = std::string(w[4] - r.time.size(), ' ') + r.time;
    out += Pad(r.port, w[0]) + "  " + Pad(r.device, w[1]) + "  " + Pad(r.verdict, w[2]) + "  " +
           bytes + "  " + time + "\n";
  }
  return out;
}

int PortBoard::Worst() const {
  int worst = kDone;
  for (const PortState& p : ports_) worst = std::max(worst, p.status.value_or(kStopped));
  return worst;
}

std::string PortBoard::SummaryEvent() const {
  long long failed = 0;
  for (const PortState& p : ports_) failed += p.status.value_or(kStopped) != kDone;
  const int worst = Worst();
  return JsonObject()
      .String("event", "summary")
      .Int("status", worst)
      .String("status_name", StatusName(worst))
      .Int("ports", static_cast<long long>(ports_.size()))
      .Int("failed", failed)
      .Text();
}

std::string PortTag(const std::string& port) {
  if (const int n = ComPortNumber(port); n != 0) return "COM" + std::to_string(n);
  std::string tag = FileNameOf(port);
  for (char& c : tag)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.') c = '_';
  return tag;
}

std::string PortFileName(const std::string& file, const std::string& port) {
  const std::size_t nameAt = NameStart(file);
  std::size_t dot = file.find_last_of('.');
  // A dot in a folder's name or leading a hidden file's name starts no extension.
  if (dot == std::string::npos || dot <= nameAt) dot = file.size();
  return file.substr(0, dot) + "-" + PortTag(port) + file.substr(dot);
}

}  // namespace kelvane::cli
