#pragma once

#include <functional>

class QObject;

namespace kelvane {

// Ctrl+C in the terminal, a hang-up or a plain kill closes the window as the user would, so
// that the port is closed, the temporary files are deleted and the demo cleans up after itself.
// close runs in the event loop, for as long as context lives; a modal box or dialog that is
// open is dismissed first.
void CloseOnSignals(QObject& context, std::function<void()> close);

}  // namespace kelvane
