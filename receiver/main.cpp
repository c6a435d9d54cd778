// kelvane-receiver: a receiver on the far end of a serial line, for tests and demos.
//
//   kelvane-receiver [line options] accept [options]
//   kelvane-receiver [line options] serve IMAGE [options]
//   kelvane-receiver [line options] temu FILE [options]
//
// The first line on stdout is the device the PC opens; the last one is a summary. Exit 0
// when the exchange went as expected, 1 with the reason on stderr when not, 2 on a usage
// error.

#include <charconv>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "receiver/Line.h"
#include "receiver/Receiver.h"

using namespace kelvane::rx;
using namespace std::chrono;

namespace {

constexpr const char* kUsage = R"(usage: kelvane-receiver [line options] COMMAND [ARG] [options]

Line options:
  --link PATH          make PATH a symlink to the pseudo-terminal (removed at exit)
  --device PATH        use a serial device at 115200 8N1 instead of a pseudo-terminal
  --pace               no faster than a real 115200 8N1 line (11520 bytes/s) both ways
  --timeout SECS       give up when the PC is silent this long (default 30)
  --noise N            N junk bytes before the first frame (accept: before every 01;
                       temu: before every request)
  --split              every answer byte as a write of its own, 50 ms apart
  --linger MS          after the exchange, keep the line open until the PC has been
                       quiet this long (default 300)

accept                 take a program download
  --verdict LIST       header verdict, e.g. 10, 12 or 12,14 (one write); default 10
  --final LIST         final verdict, e.g. 17 or 15,16; default 17
  --ack-delay MS       wait before each block's 10
  --save FILE          write the header block and the data received to FILE
  --length N           the data is N bytes: check the FF filler and keep N bytes
  --prefixed | --plain the header block's form. By default it is told from the bytes:
                       64 bytes when they start with 55 AA 55 AA, else 68 (a length
                       prefix in front of the magic). The PC decides by the file's
                       length, which the receiver does not know; a length prefix of
                       55 AA 55 AA would need a file of about 1.4 GB.
  --join               send the last block's 10 and the final verdict in one write; the
                       PC's final wait looks only at reads made after its 03, so it
                       does not see that verdict and waits (until Stop, or ...)
  --resend-final MS    with --join: send the final verdict again MS after the 03
  --garbage N          N junk bytes in front of every answer
  --silent-from K      stop answering from block K on (0: no header verdict)
  --hang-up-after K    close the line after block K
  --count K            serve K downloads (default 1)
  --forever            serve downloads until killed

serve IMAGE            send IMAGE to the PC's upload
  --ignore-ready N     leave the first N ready bytes unanswered
  --announce N         announce N as the length (header bytes 12 to 15)
  --stall-block K      go silent inside block K, once, ...
  --stall-seconds S    ... for S seconds (default 7; the PC asks again after 6 ticks)
  --hang-up-after K    close the line after block K

temu FILE              lead a Temu exchange over FILE
  --chunk N            bytes per read request (default 1024)
  --pieces             send every request in several writes
  --max-skew SECS      fail when the PC's time is further off the local time
)";

[[noreturn]] void Usage(const std::string& why) {
  std::cerr << "kelvane-receiver: " << why << "\n\n" << kUsage;
  std::exit(2);
}

std::uint64_t Number(std::string_view text, const std::string& option) {
  std::uint64_t v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size()) Usage(option + " needs a number, not '" + std::string(text) + "'");
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

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string link, device, command, target;
  bool pace = false;
  milliseconds linger{300};
  Common common;
  AcceptOptions accept;
  ServeOptions serve;
  TemuOptions temu;

  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) Usage(a + " needs a value");
      return args[++i];
    };
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (a == "--link") link = value();
    else if (a == "--device") device = value();
    else if (a == "--pace") pace = true;
    else if (a == "--timeout") common.timeout = seconds(Number(value(), a));
    else if (a == "--noise") common.noise = Number(value(), a);
    else if (a == "--split") common.split = true;
    else if (a == "--linger") linger = milliseconds(Number(value(), a));
    else if (a == "--verdict") accept.verdict = ByteList(value(), a);
    else if (a == "--final") accept.final = ByteList(value(), a);
    else if (a == "--ack-delay") accept.ackDelay = milliseconds(Number(value(), a));
    else if (a == "--save") accept.savePath = value();
    else if (a == "--length") accept.length = Number(value(), a);
    else if (a == "--prefixed") accept.form = AcceptOptions::Form::Prefixed;
    else if (a == "--plain") accept.form = AcceptOptions::Form::Plain;
    else if (a == "--join") accept.join = true;
    else if (a == "--resend-final") accept.resendFinal = milliseconds(Number(value(), a));
    else if (a == "--garbage") accept.garbage = Number(value(), a);
    else if (a == "--silent-from") accept.silentFrom = Number(value(), a);
    else if (a == "--hang-up-after") accept.hangUpAfter = serve.hangUpAfter = Number(value(), a);
    else if (a == "--count") accept.count = static_cast<int>(Number(value(), a));
    else if (a == "--forever") accept.count = 0;
    else if (a == "--ignore-ready") serve.ignoreReady = static_cast<int>(Number(value(), a));
    else if (a == "--announce") serve.announce = static_cast<std::uint32_t>(Number(value(), a));
    else if (a == "--stall-block") serve.stallBlock = Number(value(), a);
    else if (a == "--stall-seconds") serve.stallTime = seconds(Number(value(), a));
    else if (a == "--chunk") temu.chunk = Number(value(), a);
    else if (a == "--pieces") temu.pieces = true;
    else if (a == "--max-skew") temu.maxSkew = seconds(Number(value(), a));
    else if (a.starts_with("--")) Usage("unknown option " + a);
    else if (command.empty()) command = a;
    else if (target.empty()) target = a;
    else Usage("unexpected argument " + a);
  }
  if (command != "accept" && command != "serve" && command != "temu") Usage("COMMAND must be accept, serve or temu");
  if (command != "accept" && target.empty()) Usage(command + " needs a file");
  if (accept.resendFinal && !accept.join) Usage("--resend-final goes with --join");

  std::optional<Line> line;
  try {
    line.emplace(device.empty() ? Line::OpenPty(link, pace) : Line::OpenDevice(device, pace));
  } catch (const LineError& e) {
    std::cerr << "kelvane-receiver: cannot open the line: " << e.what() << '\n';
    return 1;
  }
  std::cout << line->PeerPath() << std::endl;

  const auto started = steady_clock::now();
  Outcome out;
  if (command == "accept") {
    accept.common = common;
    if (accept.count != 1) {
      // Several downloads: one line for each as it ends.
      accept.each = [n = 0](const Outcome& one) mutable {
        std::string notes;
        for (const auto& note : one.notes) notes += "; " + note;
        std::printf("download %d %s: %zu blocks%s%s\n", ++n, one.ok ? "ok" : "FAILED", one.blocks, notes.c_str(),
                    one.ok ? "" : ("; " + one.reason).c_str());
        std::fflush(stdout);
      };
    }
    out = RunAccept(*line, accept);
  } else if (command == "serve") {
    serve.common = common;
    serve.imagePath = target;
    out = RunServe(*line, serve);
  } else {
    temu.common = common;
    temu.filePath = target;
    out = RunTemu(*line, temu);
  }
  // Give the PC time to read the last answer before the line goes away.
  try {
    line->DrainQuiet(linger, steady_clock::now() + linger + seconds(1));
  } catch (const LineError&) {
  }
  const double elapsed = duration<double>(steady_clock::now() - started).count();

  std::string notes;
  for (const auto& n : out.notes) notes += "; " + n;
  std::printf("%s %s: sent %zu bytes, received %zu bytes, %zu %s, %.2f s%s\n", command.c_str(),
              out.ok ? "ok" : "FAILED", line->BytesSent(), line->BytesReceived(), out.blocks,
              command == "temu" ? "reads" : "blocks", elapsed, notes.c_str());
  std::fflush(stdout);
  if (!out.ok) {
    std::cerr << "kelvane-receiver: " << command << " failed: " << out.reason << '\n';
    return 1;
  }
  return 0;
}
