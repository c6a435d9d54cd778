#pragma once
// The signals that stop kelvane-cli. Ctrl-C, SIGTERM and SIGHUP (the terminal or the ssh
// session closed) ask the running transfer to stop as the Stop button does, so that the
// receiver still gets its end of data and the temporary folder is removed; a second one ends
// the program at once, after removing that folder. SIGPIPE is ignored: a closed output pipe
// makes the writes fail instead of killing the program in the middle of an exchange.

#include <cstdint>
#include <string>

namespace kelvane::cli {

void InstallStopSignals();

// A stop signal has come.
bool StopRequested();

// Ready once a stop signal has come, to wait on beside the lines (-1 before
// InstallStopSignals): a descriptor that turns readable, on Windows an event that is set.
// Nothing needs to be read from it.
std::intptr_t StopSignalHandle();

// The folder a second signal removes, with the files in it, before the program ends; "" for
// none. Set it only while no signal handler can run on another thread (the program has one).
void RemoveOnHardStop(const std::string& folder);

}  // namespace kelvane::cli
