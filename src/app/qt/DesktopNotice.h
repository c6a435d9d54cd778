#pragma once

#include <QString>

namespace kelvane {

// Shows a notice through the desktop's notification service on the session bus, with the
// icon of that name (the desktop entry's, which the notice also names). Where there is no
// bus or no service, nothing happens and nothing is reported.
void NotifyDesktop(const QString& summary, const QString& body, const QString& icon);

}  // namespace kelvane
