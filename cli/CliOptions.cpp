#include "cli/CliOptions.h"

#include <cctype>
#include <cmath>
#include <cstdlib>

namespace kelvane::cli {

namespace {

bool ParseSeconds(const std::string& text, double& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (*end != '\0' || !std::isfinite(v) || v <= 0 || v > 86400.0 * 365) return false;
  out = v;
  return true;
}

}  // namespace

int ComPortNumber(const std::string& port) {
  if (port.size() != 4) return 0;
  for (std::size_t i = 0; i < 3; ++i)
    if (std::toupper(static_cast<unsigned char>(port[i])) != "COM"[i]) return 0;
  return port[3] >= '1' && port[3] <= '8' ? port[3] - '0' : 0;
}

ParseResult ParseArguments(const std::vector<std::string>& args) {
  ParseResult r;
  Options& o = r.options;
  std::vector<std::string> words;
  bool sdx = false, temu = false, optionsEnded = false;

  auto fail = [&r](std::string text) {
    if (r.error.empty()) r.error = std::move(text);
  };

  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string a = args[i];
    if (optionsEnded || a.size() < 2 || a[0] != '-') {
      words.push_back(a);
      continue;
    }
    if (a == "--") {
      optionsEnded = true;
      continue;
    }
    std::string value;
    bool inlineValue = false;
    if (const auto eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = a.substr(eq + 1);
      a = a.substr(0, eq);
      inlineValue = true;
    }
    auto takeValue = [&]() -> bool {
      if (inlineValue) return true;
      if (i + 1 >= args.size()) {
        fail(a + " needs a value");
        return false;
      }
      value = args[++i];
      return true;
    };
    auto noValue = [&]() {
      if (inlineValue) fail(a + " takes no value");
    };

    if (a == "--port" || a == "-p") {
      if (!takeValue()) continue;
      if (ComPortNumber(value) == 0 && value.find('/') == std::string::npos && value != kAutoPort)
        fail("--port: \"" + value + "\" is neither COM1 to COM8, a device path nor auto");
      o.port = value;
    } else if (a == "--timeout" || a == "-t") {
      if (!takeValue()) continue;
      double s = 0;
      if (!ParseSeconds(value, s)) fail("--timeout: \"" + value + "\" is not a positive number of seconds");
      else o.timeoutSeconds = s;
    } else if (a == "--force" || a == "-f") {
      noValue();
      o.force = true;
    } else if (a == "--quiet" || a == "-q") {
      noValue();
      o.quiet = true;
    } else if (a == "--json") {
      noValue();
      o.json = true;
    } else if (a == "--help" || a == "-h") {
      noValue();
      o.help = true;
    } else if (a == "--version") {
      noValue();
      o.version = true;
    } else if (a == "--sdx") {
      noValue();
      sdx = true;
    } else if (a == "--temu") {
      noValue();
      temu = true;
    } else {
      fail("unknown option " + a);
    }
  }
  if (o.help || o.version) {
    r.error.clear();
    return r;
  }
  if (!r.error.empty()) return r;
  if (words.empty()) {
    fail("no command given");
    return r;
  }

  const std::string cmd = words[0];
  const std::size_t n = words.size() - 1;
  auto arity = [&](std::size_t min, std::size_t max, const char* what) {
    if (n < min || n > max) fail(cmd + " takes " + what);
  };
  if ((sdx || temu) && cmd != "download") fail("--sdx and --temu belong to the download command");
  if (sdx && temu) fail("download takes --sdx or --temu, not both");

  if (cmd == "ports") {
    o.command = Command::Ports;
    arity(0, 0, "no arguments");
  } else if (cmd == "info") {
    o.command = Command::Info;
    arity(1, 1, "one IMAGE");
  } else if (cmd == "sdx") {
    o.command = Command::Sdx;
    arity(1, 2, "a LIST and an optional DIR");
    if (n == 2) o.dir = words[2];
  } else if (cmd == "download") {
    o.command = sdx ? Command::DownloadSdx : temu ? Command::DownloadTemu : Command::Download;
    arity(1, 1, sdx ? "one LIST" : temu ? "one FILE" : "one IMAGE");
  } else if (cmd == "upload") {
    o.command = Command::Upload;
    arity(1, 1, "one FILE");
  } else {
    fail("unknown command \"" + cmd + "\"");
  }
  if (o.port == kAutoPort && cmd != "download") fail("--port auto belongs to the download command");
  if (n >= 1) o.file = words[1];
  if (r.error.empty() && n >= 1 && o.file.empty()) fail(cmd + ": the file name is empty");
  return r;
}

const char* UsageText() {
  return R"(Usage: kelvane-cli [--port PORT] [--timeout SECS] [--force] [--quiet] COMMAND [ARGS]

Loads program images, channel lists and conditional-access files into a receiver over
a serial line (115200 baud, 8N1), with the same exchanges as the Kelvane window.

Commands:
  ports                 list COM1 to COM8 with the device each maps to, and every
                        serial device with its facts (--json: as one JSON object)
  info IMAGE            print the HW version, SW version and Model ID of a program image
  sdx LIST [DIR]        convert an SDX list into DIR/satcodx.tm0 and DIR/satcodx.tm1
                        (DIR: the current directory)
  download IMAGE        send a program image
  download --sdx LIST   convert an SDX list and send it
  download --temu FILE  serve a conditional-access file until the receiver ends
  upload FILE           read the receiver's program image into FILE

Options:
  -p, --port PORT       COM1 to COM8 (mapped as in the window) or a device path;
                        default: the port the window last opened, else COM1;
                        download: auto listens on every serial device and uses the
                        one the receiver speaks on first (nothing is sent before)
  -t, --timeout SECS    give up when nothing arrives for SECS seconds (default: wait)
  -f, --force           let upload replace an existing FILE
  -q, --quiet           no progress line
  -h, --help            show this help
      --version         show the version

Messages the window shows in a box are printed on standard output, one a line;
errors also go to standard error. Progress goes to standard error.
Ctrl-C stops a transfer as the Stop button does; a second Ctrl-C exits at once.
The window's settings are read, never written.

Exit status:
  0 done   1 usage   2 serial port not available   3 file error
  4 header refused   5 checksum or verify error   6 stopped by a signal   7 timed out
)";
}

}  // namespace kelvane::cli
