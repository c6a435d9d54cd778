#pragma once

class QWidget;

namespace kelvane {

// Ctrl+C in the terminal, a hang-up or a plain kill closes the window as the user would, so
// that the port is closed, the temporary files are deleted and the demo cleans up after itself.
void CloseOnSignals(QWidget& window);

}  // namespace kelvane
