// kelvane-receiver: a receiver on the far end of a serial line, for tests and demos.
//
//   kelvane-receiver [line options] accept [options]
//   kelvane-receiver [line options] serve IMAGE [options]
//   kelvane-receiver [line options] temu FILE [options]
//   kelvane-receiver [line options] any [options]
//
// The first line on stdout is the device the PC opens; the last one is a summary. Exit 0
// when the exchange went as expected, 1 with the reason on stderr when not, 2 on a usage
// error.

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "KelvaneLicence.h"
#include "kelvane-receiver-help.h"
#include "receiver/Line.h"
#include "receiver/Receiver.h"
#include "receiver/SampleFiles.h"

using namespace kelvane::rx;
using namespace std::chrono;

namespace {

[[noreturn]] void Usage(const std::string& why) {
  std::cerr << "kelvane-receiver: " << why << "\n\n" << kHelpText;
  std::exit(2);
}

std::uint64_t Number(std::string_view text, const std::string& option) {
  std::uint64_t v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size())
    Usage(option + " needs a number, not '" + std::string(text) + "'");
  return v;
}

// "12,14" -> 12 14, the bytes written in hexadecimal.
std::vector<std::uint8_t> ByteList(std::string_view text, const std::string& option) {
  std::vector<std::uint8_t> out;
  while (!text.empty()) {
    const auto comma = text.find(',');
    const auto item = text.substr(0, comma);
    unsigned v = 0;
    const auto [end, ec] = std::from_chars(item.data(), item.data() + item.size(), v, 16);
    if (ec != std::errc() || end != item.data() + item.size() || v > 0xFF || item.empty())
      Usage(option + " takes hexadecimal bytes like 12,14, not '" + std::string(text) + "'");
    out.push_back(static_cast<std::uint8_t>(v));
    text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
  }
  return out;
}

// Everything the command line sets.
struct Settings {
  std::string link, device, command, target, image, expect;
  bool pace = false;
  std::optional<seconds> timeout;
  milliseconds linger{300}, replyDelay{0};
  Common common;
  AcceptOptions accept;
  ServeOptions serve;
  TemuOptions temu;
  AnyOptions any;
};

// An option as given: its name and value.
struct Arg {
  const std::string& name;
  const std::string& value;
  std::uint64_t Num() const { return Number(value, name); }
  int Int() const { return static_cast<int>(Num()); }
  milliseconds Ms() const { return milliseconds(Num()); }
  seconds Secs() const { return seconds(Num()); }
  std::vector<std::uint8_t> List() const { return ByteList(value, name); }
};

struct Option {
  std::string_view name;
  bool takesValue;
  void (*set)(Settings&, const Arg&);
};

const Option kOptions[] = {
    {"--link", true, [](Settings& s, const Arg& a) { s.link = a.value; }},
    {"--device", true, [](Settings& s, const Arg& a) { s.device = a.value; }},
    {"--pace", false, [](Settings& s, const Arg&) { s.pace = true; }},
    {"--timeout", true, [](Settings& s, const Arg& a) { s.timeout = a.Secs(); }},
    {"--noise", true, [](Settings& s, const Arg& a) { s.common.noise = a.Num(); }},
    {"--noise-hex", true, [](Settings& s, const Arg& a) { s.common.noiseBytes = a.List(); }},
    {"--split", false, [](Settings& s, const Arg&) { s.common.split = true; }},
    {"--linger", true, [](Settings& s, const Arg& a) { s.linger = a.Ms(); }},
    {"--reply-delay", true, [](Settings& s, const Arg& a) { s.replyDelay = a.Ms(); }},
    {"--ready", true, [](Settings& s, const Arg& a) { s.accept.ready = a.List(); }},
    {"--verdict", true, [](Settings& s, const Arg& a) { s.accept.verdict = a.List(); }},
    {"--final", true, [](Settings& s, const Arg& a) { s.accept.final = a.List(); }},
    {"--ack-delay", true, [](Settings& s, const Arg& a) { s.accept.ackDelay = a.Ms(); }},
    {"--save", true, [](Settings& s, const Arg& a) { s.accept.savePath = a.value; }},
    {"--expect", true, [](Settings& s, const Arg& a) { s.expect = a.value; }},
    {"--corrupt", true, [](Settings& s, const Arg& a) { s.accept.corrupt = a.Num(); }},
    {"--length", true, [](Settings& s, const Arg& a) { s.accept.length = a.Num(); }},
    {"--prefixed", false,
     [](Settings& s, const Arg&) { s.accept.form = AcceptOptions::Form::Prefixed; }},
    {"--plain", false, [](Settings& s, const Arg&) { s.accept.form = AcceptOptions::Form::Plain; }},
    {"--join", false, [](Settings& s, const Arg&) { s.accept.join = true; }},
    {"--join-at", true, [](Settings& s, const Arg& a) { s.accept.joinAt = a.Num(); }},
    {"--resend-final", true, [](Settings& s, const Arg& a) { s.accept.resendFinal = a.Ms(); }},
    {"--garbage", true, [](Settings& s, const Arg& a) { s.accept.garbage = a.Num(); }},
    {"--silent-from", true, [](Settings& s, const Arg& a) { s.accept.silentFrom = a.Num(); }},
    {"--hang-up-after", true,
     [](Settings& s, const Arg& a) { s.accept.hangUpAfter = s.serve.hangUpAfter = a.Num(); }},
    {"--count", true, [](Settings& s, const Arg& a) { s.accept.count = s.any.count = a.Int(); }},
    {"--forever", false, [](Settings& s, const Arg&) { s.accept.count = 0; }},
    {"--ignore-ready", true, [](Settings& s, const Arg& a) { s.serve.ignoreReady = a.Int(); }},
    {"--announce", true,
     [](Settings& s, const Arg& a) { s.serve.announce = static_cast<std::uint32_t>(a.Num()); }},
    {"--stall-block", true, [](Settings& s, const Arg& a) { s.serve.stallBlock = a.Num(); }},
    {"--stall-seconds", true, [](Settings& s, const Arg& a) { s.serve.stallTime = a.Secs(); }},
    {"--chunk", true, [](Settings& s, const Arg& a) { s.temu.chunk = a.Num(); }},
    {"--pieces", false, [](Settings& s, const Arg&) { s.temu.pieces = true; }},
    {"--max-skew", true, [](Settings& s, const Arg& a) { s.temu.maxSkew = a.Secs(); }},
    {"--image", true, [](Settings& s, const Arg& a) { s.image = a.value; }},
};

// A command: whether it takes a file, what its summary counts, what it reads before the
// line opens and how it runs.
struct Command {
  std::string_view name;
  bool needsFile;
  const char* unit;
  void (*load)(Settings&);
  Outcome (*run)(Line&, Settings&);
};

const Command kCommands[] = {
    {"accept", false, "blocks",
     [](Settings& s) {
       if (!s.expect.empty()) s.accept.expect = ReadFile(s.expect);
     },
     [](Line& l, Settings& s) {
       s.accept.common = s.common;
       return RunAccept(l, s.accept);
     }},
    {"serve", true, "blocks", [](Settings& s) { s.serve.image = ReadFile(s.target); },
     [](Line& l, Settings& s) {
       s.serve.common = s.common;
       return RunServe(l, s.serve);
     }},
    {"temu", true, "reads", [](Settings& s) { s.temu.file = ReadFile(s.target); },
     [](Line& l, Settings& s) {
       s.temu.common = s.common;
       return RunTemu(l, s.temu);
     }},
    {"any", false, "exchanges",
     [](Settings& s) {
       s.any.image = s.image.empty() ? kelvane::samples::ProgramImage({}) : ReadFile(s.image);
     },
     [](Line& l, Settings& s) {
       s.any.common = s.common;
       s.any.common.resync = true;
       return RunAny(l, s.any);
     }},
};

// One line for each exchange as it ends, when a run plays more than one.
void TellEach(const Outcome& one) {
  static int n = 0;
  std::string notes;
  for (const auto& note : one.notes) notes += "; " + note;
  if (!one.ok && !one.stopped) notes += "; " + one.reason;
  std::printf("%s %d %s: %zu %s%s\n", one.exchange.c_str(), ++n,
              one.stopped ? "stopped"
              : one.ok    ? "ok"
                          : "FAILED",
              one.blocks, one.exchange == "temu" ? "reads" : "blocks", notes.c_str());
  std::fflush(stdout);
}

Settings Parse(const std::vector<std::string>& args) {
  Settings s;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      std::cout << kHelpText;
      std::exit(0);
    }
    if (a == "--version") {
      std::cout << "kelvane-receiver " KELVANE_VERSION "\n" << kLicenceNotice;
      std::exit(0);
    }
    if (a.starts_with("--")) {
      const auto o = std::find_if(std::begin(kOptions), std::end(kOptions),
                                  [&](const Option& x) { return x.name == a; });
      if (o == std::end(kOptions)) Usage("unknown option " + a);
      if (o->takesValue && i + 1 >= args.size()) Usage(a + " needs a value");
      o->set(s, Arg{a, o->takesValue ? args[++i] : a});
    } else if (s.command.empty()) {
      s.command = a;
    } else if (s.target.empty()) {
      s.target = a;
    } else {
      Usage("unexpected argument " + a);
    }
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  Settings s = Parse(std::vector<std::string>(argv + 1, argv + argc));
  const auto command = std::find_if(std::begin(kCommands), std::end(kCommands),
                                    [&](const Command& c) { return c.name == s.command; });
  if (command == std::end(kCommands)) Usage("COMMAND must be accept, serve, temu or any");
  if (command->needsFile == s.target.empty())
    Usage(s.command + (command->needsFile ? " needs a file" : " takes no file"));
  if (s.accept.resendFinal && !s.accept.join) Usage("--resend-final goes with --join");
  s.common.timeout = s.timeout.value_or(s.command == "any" ? seconds(2) : seconds(30));
  if (s.accept.count != 1 || s.command == "any") s.accept.each = s.any.each = TellEach;

  std::optional<Line> line;
  try {
    command->load(s);
    line.emplace(s.device.empty() ? Line::OpenPty(s.link, s.pace)
                                  : Line::OpenDevice(s.device, s.pace));
  } catch (const std::exception& e) {
    std::cerr << "kelvane-receiver: " << e.what() << '\n';
    return 1;
  }
  line->SetReplyDelay(s.replyDelay);
#ifdef __linux__
  // A paced line sleeps until each byte's time; the system's default slack of 50 us on such
  // a wake-up would lengthen every block's turn-around, twice on a download.
  if (s.pace) (void)::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
  std::cout << line->PeerPath() << std::endl;

  const auto started = steady_clock::now();
  const Outcome out = command->run(*line, s);
  // Give the PC time to read the last answer before the line goes away.
  try {
    line->DrainQuiet(s.linger, steady_clock::now() + s.linger + seconds(1));
  } catch (const LineError&) {}
  const double elapsed = duration<double>(steady_clock::now() - started).count();

  std::string notes;
  for (const auto& n : out.notes) notes += "; " + n;
  std::printf("%s %s: sent %zu bytes, received %zu bytes, %zu %s, %.2f s%s\n", s.command.c_str(),
              out.ok ? "ok" : "FAILED", line->BytesSent(), line->BytesReceived(), out.blocks,
              command->unit, elapsed, notes.c_str());
  std::fflush(stdout);
  if (!out.ok) {
    std::cerr << "kelvane-receiver: " << s.command << " failed: " << out.reason << '\n';
    return 1;
  }
  return 0;
}
