#pragma once
// One command on several ports at once. Every port gets its own kelvane-cli process (an
// exchange blocks the thread it runs on, by design), started with --json; this process
// reads their event lines and shows one progress line per port on a terminal, or passes
// the events on with --json, prints a summary table, forwards Ctrl-C, SIGTERM and SIGHUP to
// all of them and returns the worst exit status.

#include <string>
#include <vector>

#include "cli/CliOptions.h"

namespace kelvane::cli {

// The arguments (without the program) of the process for one port of a run over several.
// A file the command writes (the upload's FILE, the --trace FILE) gets the port's name.
std::vector<std::string> PortArguments(const Options& options, const std::string& port);

// Runs options.ports in parallel with `program` (this program's own path) and returns the
// highest exit status among them. Needs no QCoreApplication.
int RunOnPorts(const Options& options, const std::string& program);

}  // namespace kelvane::cli
