// How long the UI thread stands still while a port opens, measured as the
// longest gap between the ticks of a 1 ms timer on it (ms), five opens of
// each, their median and spread:
//   open_stall_ms local <...>        a pseudo-terminal
//   open_stall_ms ser2net <...>      ser2net's RFC 2217 accepter on loopback
//   open_stall_ms silent ours <...> blocking <...>
//       a server that takes the connection and never answers (timeout=1):
//       ours keeps the window alive while it waits; "blocking" is the same
//       open with the event loop's slow-wait hooks taken away, the wait as
//       it was before they existed.
// QT_QPA_PLATFORM=offscreen build/bench/open_bench
#include "CPort.h"
#include "DeviceServer.h"
#include "Forms.h"
#include "Stats.h"
#include "Threads.h"

#include <QCursor>
#include <QElapsedTimer>
#include <QTimer>

#include <pty.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "open_bench: %s\n", what.c_str());
  std::exit(1);
}

// The longest time the UI thread went without a tick while the port opened.
double Stall(const std::string& name, bool shouldOpen) {
  TComPort port;
  port.SetPort(name);
  QElapsedTimer clock;
  qint64 last = 0, longest = 0;
  QTimer ticker;
  ticker.setTimerType(Qt::PreciseTimer);
  QObject::connect(&ticker, &QTimer::timeout, [&] {
    longest = std::max(longest, clock.nsecsElapsed() - last);
    last = clock.nsecsElapsed();
  });
  ticker.start(1);
  QCoreApplication::processEvents();
  clock.start();
  bool opened = true;
  try {
    port.Open();
  } catch (const EComPort&) {
    opened = false;
  }
  longest = std::max(longest, clock.nsecsElapsed() - last);
  if (opened != shouldOpen) Fail(name + (opened ? " opened" : " did not open"));
  port.Close();
  return double(longest) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  TApplication app(argc, argv);
  int master = -1, slave = -1;
  char name[256];
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) Fail("no pseudo-terminal");
  int masterTwo = -1, slaveTwo = -1;
  char served[256];
  if (openpty(&masterTwo, &slaveTwo, served, nullptr, nullptr) != 0) Fail("no pseudo-terminal");
  TSer2net server;
  const std::string url = "rfc2217://127.0.0.1:" + std::to_string(server.Add(served, true));
  if (!server.Start()) Fail("ser2net (Debian's package) did not start");
  int silentPort = 0;
  const int silent = LoopbackListener(silentPort);
  const std::string quiet = "rfc2217://127.0.0.1:" + std::to_string(silentPort) + "?timeout=1";

  std::vector<double> local, served2217, ours, blocking;
  for (int run = 0; run < 5; ++run) {
    local.push_back(Stall(name, true));
    served2217.push_back(Stall(url, true));
    // ours and blocking in turns, ours first every other run
    for (const bool hooks : {run % 2 == 0, run % 2 != 0}) {
      if (!hooks) SetSlowWaitHooks({});
      (hooks ? ours : blocking).push_back(Stall(quiet, false));
      if (!hooks)
        SetSlowWaitHooks({[] { QGuiApplication::setOverrideCursor(Qt::BusyCursor); },
                          [] { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); },
                          [] { QGuiApplication::restoreOverrideCursor(); }});
    }
  }
  std::printf("open_stall_ms local %s\n", Spread(local).c_str());
  std::printf("open_stall_ms ser2net %s\n", Spread(served2217).c_str());
  std::printf("open_stall_ms silent ours %s blocking %s\n", Spread(ours).c_str(), Spread(blocking).c_str());
  close(silent);
  for (int fd : {master, slave, masterTwo, slaveTwo}) close(fd);
  return 0;
}
