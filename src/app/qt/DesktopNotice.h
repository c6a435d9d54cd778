#pragma once

#include <QString>

namespace kelvane {

// Shows a notice through the desktop's notification service on the session bus. Where
// there is no bus or no service, nothing happens and nothing is reported.
void NotifyDesktop(const QString& summary, const QString& body);

}  // namespace kelvane
