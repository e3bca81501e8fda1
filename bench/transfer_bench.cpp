// The terminal program's hex monitor and file transfer.
//
// Monitor: 2 MiB of traffic in 4 KiB reads (both directions, the time
// moving on) into the monitor, shown and painted every 20 ms as the event
// loop would, against a QPlainTextEdit that is given each row as text, the
// obvious way to build one. Five runs of each, in turns; afterwards every
// byte is read back from each.
//   monitor_mb_s ours <median> (<min>-<max>) plaintextedit <...>
//
// Screen: 8 MiB of text (lines of 70 characters) into the VT102
// terminal alone, and into the terminal and the monitor as the program
// feeds both, five runs of each in turns; the screens must agree.
//   screen_mb_s terminal <median> (<min>-<max>) terminal+monitor <...>
//
// Transfer: a 128 KiB file of every byte value and noise over a line paced
// at 115200 baud (ten bits a byte, both ways) that the benchmark runs
// between two pseudo-terminals; the receiver is lrzsz's rx -c or rb on one,
// the sender ours or lrzsz's sx -k or sb on the other. Three runs of each,
// in turns; a run ends when the receiver has exited content, and its file
// must be the one sent.
//   transfer_kb_s xmodem-1k ours <median> (<min>-<max>) sx <...>
//   transfer_kb_s ymodem ours <...> sb <...>
//
// ZMODEM: the same file and line, three ways in turns, three runs each:
// ours sending to rz, sz sending to ours, and sz to rz, the pair the user
// has without us. The rate counts until the receiver has the whole file
// under its name (looked at every 5 ms); the run goes on until the receiver
// has ended content, and that time is given too (sz and rz at times take
// long over the session's end).
//   transfer_kb_s zmodem ours>rz <...> sz>ours <...> sz>rz <...>
//   session_s zmodem ours>rz <...> sz>ours <...> sz>rz <...>
// 115200 baud carries at most 11.52 KB/s.
// build/bench/transfer_bench [monitor|screen|transfer|zmodem] runs one part.
#include "CPortTermVT102.h"
#include "HexMonitor.h"
#include "ModemTransfer.h"
#include "PtyLine.h"
#include "Zmodem.h"
#include "Stats.h"

#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QPlainTextEdit>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using TClock = std::chrono::steady_clock;

namespace {

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "transfer_bench: %s\n", what.c_str());
  std::exit(1);
}

// ------------------------------------------------------------ the monitor

constexpr std::size_t MonitorBytes = 2u << 20;
constexpr std::size_t ReadSize = 4096;

// A row as the monitor shows it, for the text edit.
QString RowOf(bool sent, const std::uint8_t* bytes, std::size_t count, qint64 time) {
  QString row = QDateTime::fromMSecsSinceEpoch(time).toString("hh:mm:ss.zzz") + (sent ? " TX " : " RX ");
  QString ascii;
  for (std::size_t i = 0; i < 16; ++i) {
    row += i < count ? QString::asprintf(" %02X", bytes[i]) : QString("   ");
    if (i == 7) row += ' ';
    if (i < count) ascii += bytes[i] >= 0x20 && bytes[i] < 0x7F ? QChar(bytes[i]) : QChar('.');
  }
  return row + "  " + ascii;
}

// Feeds data in reads, every other read sent, 2 ms apart; paints every 20 ms.
template <class Add>
double Feed(const std::string& data, QWidget& view, Add add) {
  QElapsedTimer timer, painted;
  timer.start();
  painted.start();
  const qint64 start = QDateTime::currentMSecsSinceEpoch();
  for (std::size_t at = 0, n = 0; at < data.size(); at += ReadSize, ++n) {
    add(n % 2 == 1, reinterpret_cast<const std::uint8_t*>(data.data()) + at, std::min(ReadSize, data.size() - at),
        start + qint64(n) * 2);
    if (painted.elapsed() >= 20) {
      view.repaint();
      QCoreApplication::processEvents();
      painted.restart();
    }
  }
  view.repaint();
  QCoreApplication::processEvents();
  return double(data.size()) / 1e6 / (double(timer.nsecsElapsed()) / 1e9);
}

// The bytes back from rows "hh:mm:ss.zzz RX  41 42 ...  AB..": the hex
// column is 49 characters from the 17th.
std::string BytesOfRows(const std::vector<std::string>& rows) {
  std::string bytes;
  for (const std::string& row : rows) {
    const std::string hex = row.substr(16, 49);
    for (std::size_t i = 0; i + 1 < hex.size(); ++i)
      if (hex[i] != ' ') {
        bytes += char(std::stoi(hex.substr(i, 2), nullptr, 16));
        ++i;
      }
  }
  return bytes;
}

void MonitorBench() {
  const std::string data = Binary(MonitorBytes, 7);
  std::vector<double> ours, edit;
  for (int run = 0; run < 10; ++run) {
    if ((run % 2 == 0) == (run / 2 % 2 == 0)) {
      THexMonitor monitor;
      monitor.resize(800, 400);
      monitor.show();
      ours.push_back(Feed(data, monitor, [&](bool sent, const std::uint8_t* b, std::size_t n, qint64 t) {
        monitor.Add(sent, b, n, t);
      }));
      std::vector<std::string> rows;
      for (std::size_t i = 0; i < monitor.RowCount(); ++i) rows.push_back(monitor.RowText(i));
      if (BytesOfRows(rows) != data) Fail("the monitor lost or changed bytes");
    } else {
      QPlainTextEdit text;
      text.setReadOnly(true);
      text.setMaximumBlockCount(int(THexMonitor::MaxRows));
      text.resize(800, 400);
      text.show();
      edit.push_back(Feed(data, text, [&](bool sent, const std::uint8_t* b, std::size_t n, qint64 t) {
        for (std::size_t i = 0; i < n; i += 16) text.appendPlainText(RowOf(sent, b + i, std::min<std::size_t>(16, n - i), t));
      }));
      std::vector<std::string> rows;
      for (const QString& row : text.toPlainText().split('\n')) rows.push_back(row.toStdString());
      if (BytesOfRows(rows) != data) Fail("the text edit lost or changed bytes");
    }
  }
  std::printf("monitor_mb_s ours %s plaintextedit %s\n", Spread(ours).c_str(), Spread(edit).c_str());
}

// The screen's own rate, with and without the monitor beside it.
constexpr std::size_t ScreenBytes = 8u << 20;

void ScreenBench() {
  std::string text;
  for (int line = 0; text.size() < ScreenBytes; ++line) {
    for (int i = 0; i < 70; ++i) text += char('a' + (line + i) % 26);
    text += "\r\n";
  }
  text.resize(ScreenBytes);
  std::vector<double> alone, beside;
  QString screens[2];
  for (int run = 0; run < 10; ++run) {
    const bool withMonitor = (run % 2 == 0) != (run / 2 % 2 == 0);
    TComTerminalVT102 terminal;
    terminal.resize(800, 500);
    terminal.show();
    THexMonitor monitor;
    monitor.resize(800, 300);
    if (withMonitor) monitor.show();
    (withMonitor ? beside : alone).push_back(Feed(text, terminal, [&](bool, const std::uint8_t* b, std::size_t n, qint64 t) {
      terminal.Write(b, int(n));
      if (withMonitor) monitor.Add(false, b, n, t);
    }));
    screens[withMonitor] = terminal.LineText(terminal.Rows());
    if (withMonitor && monitor.RowCount() != ScreenBytes / 16) Fail("the monitor lost rows");
  }
  if (screens[0] != screens[1]) Fail("the screens differ with and without the monitor");
  std::printf("screen_mb_s terminal %s terminal+monitor %s\n", Spread(alone).c_str(), Spread(beside).c_str());
}

// ----------------------------------------------------------- the transfer

constexpr double ByteUs = 10 * 1e6 / 115200;  // start, eight data bits, stop

struct TPty {
  int Master = -1, Slave = -1;
  TPty() {
    if (!OpenRawPty(Master, Slave, nullptr, B115200)) Fail("no pseudo-terminal");
  }
  ~TPty() {
    close(Master);
    close(Slave);
  }
};

// Two ports on a line paced at 115200 baud and an empty folder for the
// receiver; the clock starts with them.
struct TPacedRun {
  explicit TPacedRun(const fs::path& dir) : Far(dir / "far") {
    fs::remove_all(Far);
    fs::create_directories(Far);
  }
  fs::path Far;
  TPty Near, FarEnd;
  TPtyLine Line{Near.Master, FarEnd.Master, ByteUs};
  TClock::time_point Start = TClock::now();
};

pid_t Spawn(int tty, const fs::path& dir, std::vector<std::string> args) {
  return SpawnPeer(std::move(args), tty, dir, "/dev/null");
}

// One transfer; its payload rate in KB/s.
double Transfer(bool ymodem, bool lrzsz, const fs::path& dir, const std::string& data) {
  TPacedRun run(dir);
  const fs::path& far = run.Far;
  TPty &near = run.Near, &farEnd = run.FarEnd;
  const auto start = run.Start;
  const pid_t receiver = Spawn(farEnd.Slave, far, ymodem ? std::vector<std::string>{"rb", "-q"}
                                                         : std::vector<std::string>{"rx", "-q", "-c", "got.bin"});
  pid_t sender = -1;
  std::atomic<bool> received{false};
  std::thread ours;
  if (lrzsz) {
    sender = Spawn(near.Slave, dir, ymodem ? std::vector<std::string>{"sb", "-q", "file.bin"}
                                           : std::vector<std::string>{"sx", "-q", "-k", "file.bin"});
  } else {
    ours = std::thread([&] {
      TModemSender transfer(ymodem ? mpYmodem : mpXmodem1k, {(dir / "file.bin").string()});
      transfer.Send = [&](const std::string& bytes) {
        for (std::size_t done = 0; done < bytes.size();) {
          const ssize_t n = write(near.Slave, bytes.data() + done, bytes.size() - done);
          if (n > 0) done += std::size_t(n);
        }
      };
      transfer.Start();
      std::uint8_t buffer[256];
      while (!transfer.Finished() && !received) {
        pollfd in{near.Slave, POLLIN, 0};
        if (poll(&in, 1, 20) > 0) {
          const ssize_t n = read(near.Slave, buffer, sizeof buffer);
          if (n > 0) transfer.Received(buffer, std::size_t(n));
        }
        transfer.Tick();
      }
    });
  }
  int status = 0;
  waitpid(receiver, &status, 0);
  const double seconds = std::chrono::duration<double>(TClock::now() - start).count();
  received = true;
  if (ours.joinable()) ours.join();
  if (sender > 0) {
    kill(sender, SIGKILL);
    waitpid(sender, nullptr, 0);
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) Fail(std::string(ymodem ? "rb" : "rx") + " failed");
  std::ifstream in(far / (ymodem ? "file.bin" : "got.bin"), std::ios::binary);
  std::string got(std::istreambuf_iterator<char>(in), {});
  if (!ymodem) got.resize(std::min(got.size(), data.size()));  // XMODEM pads the last block
  if (got != data) Fail("the received file differs from the one sent");
  return double(data.size()) / 1000 / seconds;
}

// Drives one of our transfers on tty until it ends or stop is set.
void Drive(TModemTransfer& transfer, int tty, const std::atomic<bool>& stop) {
  transfer.Send = [&](const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
      const ssize_t n = write(tty, bytes.data() + done, bytes.size() - done);
      if (n > 0) done += std::size_t(n);
    }
  };
  transfer.Start();
  std::uint8_t buffer[4096];
  while (!transfer.Finished() && !stop) {
    pollfd in{tty, POLLIN, 0};
    if (poll(&in, 1, transfer.HasMoreToSend() ? 0 : 20) > 0) {
      const ssize_t n = read(tty, buffer, sizeof buffer);
      if (n > 0) transfer.Received(buffer, std::size_t(n));
    }
    transfer.Tick();
  }
}

enum TZmodemPair { zpOursToRz, zpSzToOurs, zpSzToRz };

// One ZMODEM transfer: its payload rate in KB/s and the seconds until the
// receiver ended.
std::pair<double, double> ZmodemRun(TZmodemPair pair, const fs::path& dir, const std::string& data) {
  TPacedRun run(dir);
  const fs::path& far = run.Far;
  TPty &near = run.Near, &farEnd = run.FarEnd;
  const auto start = run.Start;
  std::atomic<bool> stop{false};
  bool ok = true;
  std::thread ours;
  pid_t receiver = -1, sender = -1;
  if (pair == zpSzToOurs) {
    ours = std::thread([&] {
      TZmodemReceiver transfer(far.string());
      Drive(transfer, farEnd.Slave, stop);
      ok = transfer.Succeeded();
    });
  } else {
    receiver = Spawn(farEnd.Slave, far, {"rz", "-q"});
  }
  if (pair == zpOursToRz) {
    ours = std::thread([&] {
      TZmodemSender transfer({(dir / "file.bin").string()});
      Drive(transfer, near.Slave, stop);
    });
  } else {
    sender = Spawn(near.Slave, dir, {"sz", "-q", "file.bin"});
  }
  double whole = 0;
  std::thread watch([&] {
    for (std::error_code error; !stop; std::this_thread::sleep_for(std::chrono::milliseconds(5)))
      if (fs::file_size(far / "file.bin", error) == data.size()) {
        whole = std::chrono::duration<double>(TClock::now() - start).count();
        return;
      }
  });
  if (receiver > 0) {
    int status = 0;
    waitpid(receiver, &status, 0);
    ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  } else {
    ours.join();
  }
  const double seconds = std::chrono::duration<double>(TClock::now() - start).count();
  stop = true;
  watch.join();
  if (ours.joinable()) ours.join();
  if (sender > 0) {
    kill(sender, SIGKILL);
    waitpid(sender, nullptr, 0);
  }
  if (!ok) Fail("a ZMODEM receiver failed");
  std::ifstream in(far / "file.bin", std::ios::binary);
  const std::string got(std::istreambuf_iterator<char>(in), {});
  if (got != data || whole == 0) Fail("the file received by ZMODEM differs from the one sent");
  return {double(data.size()) / 1000 / whole, seconds};
}

void ZmodemBench() {
  char name[] = "/tmp/zmodem-bench-XXXXXX";
  const fs::path dir = mkdtemp(name);
  const std::string data = Binary(128u << 10, 12);
  std::ofstream(dir / "file.bin", std::ios::binary) << data;
  std::vector<double> rates[3], sessions[3];
  for (int run = 0; run < 9; ++run) {
    // Each pair goes first, second and third once.
    const int pair = (run + run / 3) % 3;
    const auto [rate, seconds] = ZmodemRun(TZmodemPair(pair), dir, data);
    rates[pair].push_back(rate);
    sessions[pair].push_back(seconds);
  }
  std::printf("transfer_kb_s zmodem ours>rz %s sz>ours %s sz>rz %s\n", Spread(rates[zpOursToRz]).c_str(),
              Spread(rates[zpSzToOurs]).c_str(), Spread(rates[zpSzToRz]).c_str());
  std::printf("session_s zmodem ours>rz %s sz>ours %s sz>rz %s\n", Spread(sessions[zpOursToRz]).c_str(),
              Spread(sessions[zpSzToOurs]).c_str(), Spread(sessions[zpSzToRz]).c_str());
  std::fflush(stdout);
  fs::remove_all(dir);
}

void TransferBench() {
  char name[] = "/tmp/transfer-bench-XXXXXX";
  const fs::path dir = mkdtemp(name);
  const std::string data = Binary(128u << 10, 11);
  std::ofstream(dir / "file.bin", std::ios::binary) << data;
  for (bool ymodem : {false, true}) {
    std::vector<double> ours, theirs;
    for (int run = 0; run < 6; ++run) {
      const bool lrzsz = (run % 2 == 0) == (run / 2 % 2 == 0);
      (lrzsz ? theirs : ours).push_back(Transfer(ymodem, lrzsz, dir, data));
    }
    std::printf("transfer_kb_s %s ours %s %s %s\n", ymodem ? "ymodem" : "xmodem-1k", Spread(ours).c_str(),
                ymodem ? "sb" : "sx", Spread(theirs).c_str());
    std::fflush(stdout);
  }
  fs::remove_all(dir);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const std::string only = argc > 1 ? argv[1] : "";
  if (only.empty() || only == "monitor") MonitorBench();
  if (only.empty() || only == "screen") ScreenBench();
  std::fflush(stdout);
  if (only.empty() || only == "transfer") TransferBench();
  if (only.empty() || only == "zmodem") ZmodemBench();
  return 0;
}
