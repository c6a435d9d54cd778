#include "app/qt/CloseOnSignal.h"

#include <QApplication>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>

#ifndef _WIN32
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace kelvane {

#ifndef _WIN32
namespace {

int signalPipe[2] = {-1, -1};

// Only async-signal-safe work here: the window is closed from the event loop.
void OnSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const auto n = ::write(signalPipe[1], &byte, 1);
}

}  // namespace

void CloseOnSignals(QObject& context, std::function<void()> close) {
  if (signalPipe[0] >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0) return;
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &context);
  QObject::connect(notifier, &QSocketNotifier::activated, &context,
                   [&context, close = std::move(close)] {
                     char byte;
                     [[maybe_unused]] const auto n = ::read(signalPipe[0], &byte, 1);
                     // A message box or dialog waiting for an answer would hold the close up until
                     // somebody answered it: it is dismissed as Esc would, and the close follows
                     // once the handler that showed it has carried on.
                     if (QWidget* modal = QApplication::activeModalWidget()) {
                       modal->close();
                       QTimer::singleShot(0, &context, close);
                       return;
                     }
                     close();
                   });
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int s : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(s, &action, nullptr);
  // A closed pipe on standard output or error fails the write instead of ending the program
  // in the middle of a transfer.
  ::signal(SIGPIPE, SIG_IGN);
}
#else
void CloseOnSignals(QObject&, std::function<void()>) {}
#endif

}  // namespace kelvane
