#include "app/qt/DesktopNotice.h"

#include <QDir>
#include <QFileInfo>

#include "app/MainView.h"

#ifdef KELVANE_HAVE_DBUS
#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariantMap>
#endif

namespace kelvane {

void NotifyDesktop([[maybe_unused]] const QString& summary, [[maybe_unused]] const QString& body,
                   [[maybe_unused]] const QString& icon) {
#ifdef KELVANE_HAVE_DBUS
  // Without an address or the user's bus socket, the bus library would try to start a bus
  // of its own: a notice is not worth that.
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  const bool userBus = !runtime.isEmpty() && QFileInfo::exists(QDir(runtime).filePath("bus"));
  if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS") && !userBus) return;
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  QDBusMessage notify = QDBusMessage::createMethodCall("org.freedesktop.Notifications",
                                                       "/org/freedesktop/Notifications",
                                                       "org.freedesktop.Notifications", "Notify");
  // app name, id to replace (none), icon, summary, body, actions, hints, timeout (the server's)
  QVariantMap hints;
  if (!icon.isEmpty()) hints.insert("desktop-entry", icon);
  notify << QString(kAppName) << 0u << icon << summary << body << QStringList() << hints << -1;
  bus.send(notify);  // no reply awaited: a missing service only answers with an error
#endif
}

}  // namespace kelvane
