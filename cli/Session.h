#pragma once
// One run of kelvane-cli. ports, info and sdx are one step each. download and upload run a
// Transfer per port given, all in this process and thread: one poll() waits on every port's
// descriptor, the stop-signal pipe and the 1-second tick (--timeout is looked at on the
// tick, per port), and what each Transfer tells becomes its lines or its JSON events. The
// window's settings are only read: the port mapping and the port it last opened.

#include "cli/CliOptions.h"

namespace kelvane::cli {

// Runs the command and returns the exit status.
int RunCommand(const Options& options);

}  // namespace kelvane::cli
