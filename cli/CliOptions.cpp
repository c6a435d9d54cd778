#include "cli/CliOptions.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "cli/PortBoard.h"
#include "kelvane-cli-help.h"

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

// The parse under way: the first mistake found is the one reported.
struct Parse {
  ParseResult result;
  bool sdx = false, temu = false;
  std::vector<std::string> words;  // the command and its arguments

  Options& O() { return result.options; }
  void Fail(std::string text) {
    if (result.error.empty()) result.error = std::move(text);
  }
};

struct OptionSpec {
  const char* name;
  const char* alias;  // the one-letter form, or nullptr
  bool takesValue;
  void (*apply)(Parse& p, const std::string& value);
};

constexpr OptionSpec kOptions[] = {
    {"--port", "-p", true,
     [](Parse& p, const std::string& v) {
       // A device path: /dev/ttyUSB0, or on Windows \\.\COM10 or a pipe, \\.\pipe\NAME.
       if (ComPortNumber(v) == 0 && v.find_first_of("/\\") == std::string::npos && v != kAutoPort)
         p.Fail("--port: \"" + v + "\" is neither COM1 to COM8, a device path nor auto");
       if (p.O().ports.empty()) p.O().port = v;
       p.O().ports.push_back(v);
     }},
    {"--timeout", "-t", true,
     [](Parse& p, const std::string& v) {
       double s = 0;
       if (!ParseSeconds(v, s))
         p.Fail("--timeout: \"" + v + "\" is not a positive number of seconds");
       else
         p.O().timeoutSeconds = s;
     }},
    {"--force", "-f", false, [](Parse& p, const std::string&) { p.O().force = true; }},
    {"--quiet", "-q", false, [](Parse& p, const std::string&) { p.O().quiet = true; }},
    {"--json", nullptr, false, [](Parse& p, const std::string&) { p.O().json = true; }},
    {"--trace", nullptr, true,
     [](Parse& p, const std::string& v) {
       if (v.empty()) p.Fail("--trace needs a file name, or - for standard error");
       p.O().trace = v;
     }},
    {"--help", "-h", false, [](Parse& p, const std::string&) { p.O().help = true; }},
    {"--version", nullptr, false, [](Parse& p, const std::string&) { p.O().version = true; }},
    {"--sdx", nullptr, false, [](Parse& p, const std::string&) { p.sdx = true; }},
    {"--temu", nullptr, false, [](Parse& p, const std::string&) { p.temu = true; }},
};

const OptionSpec* FindOption(const std::string& a) {
  for (const OptionSpec& spec : kOptions)
    if (a == spec.name || (spec.alias && a == spec.alias)) return &spec;
  return nullptr;
}

// Sorts the arguments into options, applied as they come, and words; "--" ends the options.
// A long option may carry its value as --name=value.
void TakeOptions(const std::vector<std::string>& args, Parse& p) {
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string a = args[i];
    if (optionsEnded || a.size() < 2 || a[0] != '-') {
      p.words.push_back(a);
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
    const OptionSpec* spec = FindOption(a);
    if (!spec) {
      p.Fail("unknown option " + a);
      continue;
    }
    if (!spec->takesValue && inlineValue) p.Fail(a + " takes no value");
    if (spec->takesValue && !inlineValue) {
      if (i + 1 >= args.size()) {
        p.Fail(a + " needs a value");
        continue;
      }
      value = args[++i];
    }
    spec->apply(p, value);
  }
}

struct CommandSpec {
  const char* name;
  Command command;
  std::size_t minArgs, maxArgs;
  const char* takes;  // for the usage error
};

constexpr CommandSpec kCommands[] = {
    {"ports", Command::Ports, 0, 0, "no arguments"},
    {"info", Command::Info, 1, 1, "one IMAGE"},
    {"sdx", Command::Sdx, 1, 2, "a LIST and an optional DIR"},
    {"download", Command::Download, 1, 1, "one IMAGE"},
    {"download", Command::DownloadSdx, 1, 1, "one LIST"},
    {"download", Command::DownloadTemu, 1, 1, "one FILE"},
    {"upload", Command::Upload, 1, 1, "one FILE"},
};

void TakeCommand(Parse& p) {
  const std::string& cmd = p.words[0];
  const std::size_t n = p.words.size() - 1;
  if ((p.sdx || p.temu) && cmd != "download")
    p.Fail("--sdx and --temu belong to the download command");
  if (p.sdx && p.temu) p.Fail("download takes --sdx or --temu, not both");

  const Command wanted = p.sdx    ? Command::DownloadSdx
                         : p.temu ? Command::DownloadTemu
                                  : Command::Download;
  const CommandSpec* spec = nullptr;
  for (const CommandSpec& c : kCommands)
    if (cmd == c.name && (cmd != "download" || c.command == wanted)) spec = &c;
  if (!spec) {
    p.Fail("unknown command \"" + cmd + "\"");
  } else {
    p.O().command = spec->command;
    if (n < spec->minArgs || n > spec->maxArgs) p.Fail(cmd + " takes " + spec->takes);
    if (spec->command == Command::Sdx && n == 2) p.O().dir = p.words[2];
  }
  const auto& ports = p.O().ports;
  if (std::find(ports.begin(), ports.end(), kAutoPort) != ports.end()) {
    if (cmd != "download") p.Fail("--port auto belongs to the download command");
    if (ports.size() > 1) p.Fail("--port auto takes no other --port");
  }
  if (n >= 1) p.O().file = p.words[1];
  if (n >= 1 && p.O().file.empty()) p.Fail(cmd + ": the file name is empty");
}

// Several ports run one transfer each; the files they write must not collide.
void CheckPorts(Parse& p) {
  const Options& o = p.O();
  if (o.ports.size() < 2) return;
  const bool transfer = o.command == Command::Download || o.command == Command::DownloadSdx ||
                        o.command == Command::DownloadTemu || o.command == Command::Upload;
  if (!transfer) return p.Fail("several ports belong to download and upload");
  if (o.trace == "-")
    return p.Fail("--trace - takes one port; give a FILE, which gets each port's name");
  const bool perPortFiles = o.command == Command::Upload || !o.trace.empty();
  for (std::size_t i = 0; i < o.ports.size(); ++i)
    for (std::size_t j = 0; j < i; ++j) {
      const int com = ComPortNumber(o.ports[i]);
      if (o.ports[i] == o.ports[j] || (com != 0 && com == ComPortNumber(o.ports[j])))
        return p.Fail("--port " + o.ports[i] + " is given twice");
      if (perPortFiles && PortTag(o.ports[i]) == PortTag(o.ports[j]))
        return p.Fail("--port " + o.ports[j] + " and " + o.ports[i] +
                      " would write to the same file names");
    }
}

}  // namespace

int ComPortNumber(const std::string& port) {
  if (port.size() != 4) return 0;
  for (std::size_t i = 0; i < 3; ++i)
    if (std::toupper(static_cast<unsigned char>(port[i])) != "COM"[i]) return 0;
  return port[3] >= '1' && port[3] <= '8' ? port[3] - '0' : 0;
}

ParseResult ParseArguments(const std::vector<std::string>& args) {
  Parse p;
  TakeOptions(args, p);
  // Help and version win over any mistake on the line.
  if (p.O().help || p.O().version) {
    p.result.error.clear();
    return p.result;
  }
  if (!p.result.error.empty()) return p.result;
  if (p.words.empty())
    p.Fail("no command given");
  else
    TakeCommand(p);
  if (p.result.error.empty()) CheckPorts(p);
  return p.result;
}

const char* UsageText() { return kHelpText; }

}  // namespace kelvane::cli
