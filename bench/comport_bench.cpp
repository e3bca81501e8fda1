// The serial port component against the baselines on pseudo-terminal pairs,
// all in one run, every byte checked:
//   raw         a poll/read loop on the main thread
//   raw_thread  the same loop on a reader thread
//   ours        TComPort, smThreadSync, OnRxChar in the Qt event loop (as the
//               window uses it)
//   qserialport Qt's QSerialPort, readyRead in the same event loop
// One writer sends a counter pattern; the readers take turns (the order
// rotates each repeat), five repeats, medians with their spread. It prints:
//   serial_mb_s ours X qserialport Y raw Z raw_thread W
//   serial_latency_us ours p50 A p99 B qserialport p50 C p99 D raw p50 E p99 F
//   serial_cpu_s_per_mb ours E qserialport F raw G raw_thread H
//   idle_wakeups N      (the port's own threads, 3 s without traffic)
// and a line of spread for each figure. Exits 1 when any byte was wrong.
// For a profiler: --only NAME runs one reader, --repeats N sets the repeats,
// --megabytes N the bytes of each throughput sample.
#include "CPort.h"
#include "Forms.h"

#include <QSerialPort>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
std::size_t Total = 64u << 20;
int Repeats = 5;
constexpr int Rounds = 4000;  // one-byte round trips per repeat
bool Corrupt = false;

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

double CpuSeconds(int who) {
  rusage u{};
  getrusage(who, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// ------------------------------------------------------------ the pattern

// A multiplicative hash of the position: a dropped, doubled or reordered
// byte shows almost everywhere after it. It repeats after a prime period,
// and the table carries one chunk more so that any chunk compares in one go.
constexpr std::size_t Period = 65521;
constexpr std::size_t MaxChunk = 65536;

const std::vector<std::uint8_t>& Pattern() {
  static const std::vector<std::uint8_t> table = [] {
    std::vector<std::uint8_t> t(Period + MaxChunk);
    for (std::size_t i = 0; i < t.size(); ++i) t[i] = std::uint8_t(std::uint32_t(i % Period) * 2654435761u >> 24);
    return t;
  }();
  return table;
}

struct TChecker {
  std::size_t Got = 0;
  void Check(const void* data, std::size_t n) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (n > 0) {
      const std::size_t k = std::min(n, MaxChunk);
      if (Got + k > Total || std::memcmp(p, Pattern().data() + Got % Period, k) != 0) Corrupt = true;
      Got += k;
      p += k;
      n -= k;
    }
  }
  bool Done() const { return Got >= Total; }
};

// ------------------------------------------------------------ a pty pair

struct TPty {
  int Master = -1;
  std::string Slave;
  int SlaveFd = -1;  // held open so the pair lives while readers come and go
  TPty() {
    char name[256];
    if (openpty(&Master, &SlaveFd, name, nullptr, nullptr) != 0) {
      std::perror("openpty");
      std::exit(2);
    }
    Slave = name;
    termios t{};
    tcgetattr(Master, &t);
    cfmakeraw(&t);
    tcsetattr(Master, TCSANOW, &t);
    fcntl(Master, F_SETFL, fcntl(Master, F_GETFL) | O_NONBLOCK);
  }
  ~TPty() {
    close(SlaveFd);
    close(Master);
  }
};

int OpenRaw(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  t.c_cc[VMIN] = 1;
  tcsetattr(fd, TCSANOW, &t);
  return fd;
}

// The far end: writes Total bytes of the pattern; its own CPU time goes
// into writerCpu so that it can be taken off the reader's.
std::thread StartWriter(int master, double& writerCpu) {
  return std::thread([master, &writerCpu] {
    const double cpu0 = CpuSeconds(RUSAGE_THREAD);
    std::size_t done = 0;
    while (done < Total) {
      const std::size_t k = std::min(MaxChunk, Total - done);
      const ssize_t n = write(master, Pattern().data() + done % Period, k);
      if (n > 0) {
        done += std::size_t(n);
      } else {
        pollfd p{master, POLLOUT, 0};
        poll(&p, 1, 100);
      }
    }
    writerCpu = CpuSeconds(RUSAGE_THREAD) - cpu0;
  });
}

// ------------------------------------------------------------ the readers

struct TSample {
  double MbPerSecond = 0;
  double CpuPerMb = 0;
};

// Runs one throughput sample: read(pty, checker) must return once the
// checker is done.
TSample Throughput(const std::function<void(TPty&, TChecker&)>& read) {
  TPty pty;
  TChecker checker;
  double writerCpu = 0;
  const double cpu0 = CpuSeconds(RUSAGE_SELF);
  const auto start = Clock::now();
  std::thread writer = StartWriter(pty.Master, writerCpu);
  read(pty, checker);
  const auto end = Clock::now();
  writer.join();
  const double cpu = CpuSeconds(RUSAGE_SELF) - cpu0 - writerCpu;
  if (!checker.Done()) Corrupt = true;
  return {Total / 1e6 / Seconds(start, end), cpu / (Total / 1e6)};
}

void RawLoop(const std::string& path, TChecker& checker) {
  const int fd = OpenRaw(path);
  std::vector<char> buffer(MaxChunk);
  while (!checker.Done()) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 2000) <= 0) break;
    const ssize_t n = read(fd, buffer.data(), buffer.size());
    if (n > 0) checker.Check(buffer.data(), std::size_t(n));
  }
  close(fd);
}

void Raw(TPty& pty, TChecker& checker) { RawLoop(pty.Slave, checker); }

void RawThread(TPty& pty, TChecker& checker) {
  std::thread reader([&] { RawLoop(pty.Slave, checker); });
  reader.join();
}

void Ours(TPty& pty, TChecker& checker) {
  TComPort port;
  port.SetPort(pty.Slave);
  port.SetBaudRate(br115200);
  std::string s;
  port.OnRxChar = [&](TCustomComPort*, int count) {
    port.ReadStr(s, count);
    checker.Check(s.data(), s.size());
    if (checker.Done()) qApp->quit();
  };
  QTimer watchdog;
  QObject::connect(&watchdog, &QTimer::timeout, qApp, &QCoreApplication::quit);
  watchdog.start(30000);
  port.Open();
  qApp->exec();
  port.Close();
}

void QtPort(QSerialPort& port, const std::string& path) {
  port.setPortName(QString::fromStdString(path));
  if (!port.open(QIODevice::ReadWrite)) {
    std::fprintf(stderr, "QSerialPort: %s\n", port.errorString().toUtf8().constData());
    std::exit(2);
  }
  port.setBaudRate(115200);
}

void QtSerial(TPty& pty, TChecker& checker) {
  QSerialPort port;
  QtPort(port, pty.Slave);
  QObject::connect(&port, &QSerialPort::readyRead, [&] {
    const QByteArray bytes = port.readAll();
    checker.Check(bytes.constData(), std::size_t(bytes.size()));
    if (checker.Done()) qApp->quit();
  });
  QTimer watchdog;
  QObject::connect(&watchdog, &QTimer::timeout, qApp, &QCoreApplication::quit);
  watchdog.start(30000);
  qApp->exec();
  port.close();
}

// ------------------------------------------------------- round-trip latency

// The far end sends one byte, waits for it to come back and notes the time;
// echo runs the reader that sends every byte back. Microseconds, sorted.
std::vector<double> RoundTrips(const std::function<void(TPty&, std::atomic<bool>& done)>& echo) {
  TPty pty;
  std::atomic<bool> done{false};
  std::vector<double> us;
  us.reserve(Rounds);
  std::thread far([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the reader opens its port
    for (int i = 0; i < Rounds; ++i) {
      const std::uint8_t out = Pattern()[std::size_t(i) % Period];
      const auto t0 = Clock::now();
      if (write(pty.Master, &out, 1) != 1) Corrupt = true;
      std::uint8_t in = 0;
      for (;;) {
        pollfd p{pty.Master, POLLIN, 0};
        if (poll(&p, 1, 2000) <= 0) {
          Corrupt = true;
          break;
        }
        if (read(pty.Master, &in, 1) == 1) break;
      }
      us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
      if (in != out) Corrupt = true;
    }
    done = true;
  });
  echo(pty, done);
  far.join();
  std::sort(us.begin(), us.end());
  return us;
}

void QuitWhenDone(std::atomic<bool>& done) {
  auto* timer = new QTimer(qApp);
  QObject::connect(timer, &QTimer::timeout, [&done, timer] {
    if (!done) return;
    timer->deleteLater();
    qApp->quit();
  });
  timer->start(20);
}

void EchoRaw(TPty& pty, std::atomic<bool>& done) {
  const int fd = OpenRaw(pty.Slave);
  char c;
  while (!done) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    if (read(fd, &c, 1) == 1) [[maybe_unused]] auto n = write(fd, &c, 1);
  }
  close(fd);
}

void EchoOurs(TPty& pty, std::atomic<bool>& done) {
  TComPort port;
  port.SetPort(pty.Slave);
  std::string s;
  port.OnRxChar = [&](TCustomComPort*, int count) {
    port.ReadStr(s, count);
    port.WriteStr(s);
  };
  port.Open();
  QuitWhenDone(done);
  qApp->exec();
  port.Close();
}

void EchoQt(TPty& pty, std::atomic<bool>& done) {
  QSerialPort port;
  QtPort(port, pty.Slave);
  QObject::connect(&port, &QSerialPort::readyRead, [&] {
    port.write(port.readAll());
    port.flush();
  });
  QuitWhenDone(done);
  qApp->exec();
  port.close();
}

// ------------------------------------------------------------ idle wake-ups

// Context switches of the threads called name: each one is a wake-up.
long ThreadSwitches(const std::vector<std::string>& names) {
  DIR* tasks = opendir("/proc/self/task");
  long switches = 0;
  while (dirent* e = readdir(tasks)) {
    if (e->d_name[0] == '.') continue;
    const std::string dir = std::string("/proc/self/task/") + e->d_name;
    std::string comm;
    std::getline(std::ifstream(dir + "/comm"), comm);
    if (std::find(names.begin(), names.end(), comm) == names.end()) continue;
    std::ifstream status(dir + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
        switches += std::stol(line.substr(line.find(':') + 1));
  }
  closedir(tasks);
  return switches;
}

long IdleWakeups() {
  TPty pty;
  TComPort port;
  port.SetPort(pty.Slave);
  port.OnRxChar = [](TCustomComPort*, int) {};
  port.Open();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the threads settle in their waits
  const std::vector<std::string> ours = {"ComThread", "ComDriver"};
  const long before = ThreadSwitches(ours);
  QTimer::singleShot(3000, qApp, &QCoreApplication::quit);
  qApp->exec();
  const long after = ThreadSwitches(ours);
  port.Close();
  return after - before;
}

// ------------------------------------------------------------ statistics

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::string Spread(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  char text[64];
  std::snprintf(text, sizeof text, "%.1f..%.1f", v.front(), v.back());
  return text;
}

std::string Spread3(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  char text[64];
  std::snprintf(text, sizeof text, "%.4f..%.4f", v.front(), v.back());
  return text;
}

double Percentile(const std::vector<double>& sorted, int p) { return sorted[sorted.size() * std::size_t(p) / 100]; }

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  TApplication app(argc, argv);

  struct TReader {
    const char* Name;
    std::function<void(TPty&, TChecker&)> Read;
    std::function<void(TPty&, std::atomic<bool>&)> Echo;  // none: no latency figure
  };
  const std::vector<TReader> readers = {
      {"ours", Ours, EchoOurs}, {"qserialport", QtSerial, EchoQt}, {"raw", Raw, EchoRaw}, {"raw_thread", RawThread, nullptr}};
  std::string only;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::string(argv[i]) == "--only") only = argv[i + 1];
    if (std::string(argv[i]) == "--repeats") Repeats = std::max(1, std::atoi(argv[i + 1]));
    if (std::string(argv[i]) == "--megabytes") Total = std::size_t(std::max(1, std::atoi(argv[i + 1]))) << 20;
  }
  std::map<std::string, std::vector<double>> mb, cpu, p50, p99;
  for (int r = 0; r < Repeats; ++r) {
    for (std::size_t k = 0; k < readers.size(); ++k) {
      const TReader& reader = readers[(k + std::size_t(r)) % readers.size()];
      if (!only.empty() && only != reader.Name) continue;
      const TSample s = Throughput(reader.Read);
      mb[reader.Name].push_back(s.MbPerSecond);
      cpu[reader.Name].push_back(s.CpuPerMb);
      if (reader.Echo) {
        const std::vector<double> us = RoundTrips(reader.Echo);
        p50[reader.Name].push_back(Percentile(us, 50));
        p99[reader.Name].push_back(Percentile(us, 99));
      }
    }
  }
  const long idle = only.empty() ? IdleWakeups() : 0;
  if (!only.empty()) {
    std::printf("%s mb_s %.1f cpu_s_per_mb %.4f p50 %.1f p99 %.1f\n", only.c_str(), Median(mb[only]), Median(cpu[only]),
                p50[only].empty() ? 0.0 : Median(p50[only]), p99[only].empty() ? 0.0 : Median(p99[only]));
    return Corrupt ? 1 : 0;
  }

  std::printf("serial_mb_s ours %.1f qserialport %.1f raw %.1f raw_thread %.1f\n", Median(mb["ours"]),
              Median(mb["qserialport"]), Median(mb["raw"]), Median(mb["raw_thread"]));
  std::printf("serial_mb_s_spread ours %s qserialport %s raw %s raw_thread %s\n", Spread(mb["ours"]).c_str(),
              Spread(mb["qserialport"]).c_str(), Spread(mb["raw"]).c_str(), Spread(mb["raw_thread"]).c_str());
  std::printf("serial_latency_us ours p50 %.1f p99 %.1f qserialport p50 %.1f p99 %.1f raw p50 %.1f p99 %.1f\n",
              Median(p50["ours"]), Median(p99["ours"]), Median(p50["qserialport"]), Median(p99["qserialport"]),
              Median(p50["raw"]), Median(p99["raw"]));
  std::printf("serial_latency_us_spread ours p50 %s p99 %s qserialport p50 %s p99 %s\n", Spread(p50["ours"]).c_str(),
              Spread(p99["ours"]).c_str(), Spread(p50["qserialport"]).c_str(), Spread(p99["qserialport"]).c_str());
  std::printf("serial_cpu_s_per_mb ours %.4f qserialport %.4f raw %.4f raw_thread %.4f\n", Median(cpu["ours"]),
              Median(cpu["qserialport"]), Median(cpu["raw"]), Median(cpu["raw_thread"]));
  std::printf("serial_cpu_s_per_mb_spread ours %s qserialport %s\n", Spread3(cpu["ours"]).c_str(),
              Spread3(cpu["qserialport"]).c_str());
  std::printf("idle_wakeups %ld\n", idle);
  std::printf("bytes_checked %s\n", Corrupt ? "FAILED" : "all");
  return Corrupt ? 1 : 0;
}
