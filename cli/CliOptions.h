#pragma once
// The command line of kelvane-cli: global options, one command and its arguments.

#include <optional>
#include <string>
#include <vector>

namespace kelvane::cli {

enum class Command { Ports, Info, Sdx, Download, DownloadSdx, DownloadTemu, Upload };

// --port auto: the device the receiver speaks on first.
inline constexpr const char* kAutoPort = "auto";

struct Options {
  std::string port;                // COM1..COM8, a device path or auto; empty: the stored port
  std::vector<std::string> ports;  // every --port given; more than one: a run on each
  std::optional<double> timeoutSeconds;  // end a wait after this much silence
  bool force = false;                    // replace an existing upload target
  bool quiet = false;                    // no progress line
  bool json = false;  // JSON instead of the human lines (events; ports: one object)
  std::string trace;  // the wire trace's file; "-": standard error
  bool help = false;
  bool version = false;
  Command command = Command::Ports;
  std::string file;  // IMAGE, LIST or FILE
  std::string dir;   // sdx: output folder (empty: the current one)
};

struct ParseResult {
  Options options;
  std::string error;  // not empty: a usage error, in words for the user
};

ParseResult ParseArguments(const std::vector<std::string>& args);

// The port number of "COM1".."COM8" (any case), or 0 when the text names none of them.
int ComPortNumber(const std::string& port);

// The --help text.
const char* UsageText();

}  // namespace kelvane::cli
