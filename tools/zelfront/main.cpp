// zelfront: the desktop front end. Draws the windows, dialogs, menus,
// message boxes and tray icons of every process of this user that uses
// the window platform, and drives them as a person does.
//
//   zelfront [--screenshot-dir DIR] [--state FILE] [--list]
//
// SIGUSR1 asks every process whether the session may end, as logging out
// of the desktop does (the result is noted in the state file).
// Exit status: 0 done, 1 another front end runs for this user, 2 usage.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/win/WindowPlatform.h"
#include "tools/zelfront/FrontEndApp.h"
#include "tools/zelfront/InstanceLock.h"

namespace {

int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
  char c = 1;
  [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &c, 1);
}

int Usage() {
  std::fprintf(stderr, "usage: zelfront [--screenshot-dir DIR] [--state FILE] [--list]\n");
  return 2;
}

// A logout asks the processes within this bound; one that has not answered
// by then keeps the session (its box may still wait for a person).
constexpr int kSessionEndBoundMs = 120000;

}  // namespace

int main(int argc, char** argv) {
  zelfront::Options options;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--screenshot-dir" && i + 1 < argc) options.screenshotDir = argv[++i];
    else if (a == "--state" && i + 1 < argc) options.stateFile = argv[++i];
    else if (a == "--list") options.list = true;
    else return Usage();
  }
  const std::string dir = vantrel::win::RuntimeDir();
  zelfront::InstanceLock lock;
  std::string error;
  if (!lock.Take(dir, &error)) {
    std::fprintf(stderr, "zelfront: %s\n", error.c_str());
    return 1;
  }

  QApplication app(argc, argv);
  app.setApplicationName("zelfront");
  app.setQuitOnLastWindowClosed(false);
  zelfront::FrontEndApp frontEnd(dir, options);

#if QT_CONFIG(sessionmanager)
  // Logging out: every process is asked; one refusal cancels the logout.
  QObject::connect(&app, &QGuiApplication::commitDataRequest, &app, [&frontEnd](QSessionManager& manager) {
    manager.allowsInteraction();
    QEventLoop loop;
    bool agreed = false;
    QTimer::singleShot(kSessionEndBoundMs, &loop, [&loop] { loop.exit(1); });
    frontEnd.EndSession(true, [&loop, &agreed](bool yes) {
      agreed = yes;
      loop.exit(0);
    });
    if (loop.exec() != 0) agreed = false;
    if (!agreed) manager.cancel();
    manager.release();
  });
#endif

  if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &sa, nullptr);
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&frontEnd] {
      char buf[16];
      while (::read(g_signalPipe[0], buf, sizeof buf) > 0) {
      }
      frontEnd.EndSession(true, [](bool agreed) {
        std::fprintf(stderr, "zelfront: end of session %s\n", agreed ? "agreed" : "refused");
      });
    });
  }
  // SIGTERM and SIGINT end the front end; its processes go on.
  signal(SIGPIPE, SIG_IGN);

  frontEnd.Start();
  return app.exec();
}
