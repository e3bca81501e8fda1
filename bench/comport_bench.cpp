// The serial port component against a raw poll/read loop on the same
// pseudo-terminal pair, in one run:
//   throughput_ratio <component MB/s divided by raw MB/s>
//   throughput_mb_s <component> <raw>
//   latency_us p50 <n> p99 <n>
//   idle_wakeups <n>   (the port's event and driver threads, 5 s without traffic)
#include "CPort.h"
#include "Forms.h"

#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t Total = 64u << 20;

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

// The far end: writes Total bytes into the master as fast as it can.
std::thread StartWriter(int master) {
  return std::thread([master] {
    std::vector<char> chunk(65536, 'x');
    std::size_t done = 0;
    while (done < Total) {
      const ssize_t n = write(master, chunk.data(), std::min(chunk.size(), Total - done));
      if (n > 0) {
        done += std::size_t(n);
      } else {
        pollfd p{master, POLLOUT, 0};
        poll(&p, 1, 100);
      }
    }
  });
}

double RawMbPerSecond(int master, const char* slavePath) {
  const int fd = open(slavePath, O_RDWR | O_NOCTTY | O_NONBLOCK);
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  t.c_cc[VMIN] = 1;
  tcsetattr(fd, TCSANOW, &t);
  std::vector<char> buffer(65536);
  const auto start = Clock::now();
  std::thread writer = StartWriter(master);
  std::size_t got = 0;
  while (got < Total) {
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, 1000);
    const ssize_t n = read(fd, buffer.data(), buffer.size());
    if (n > 0) got += std::size_t(n);
  }
  const auto end = Clock::now();
  writer.join();
  close(fd);
  return Total / 1e6 / Seconds(start, end);
}

double PortMbPerSecond(TApplication& app, int master, const char* slavePath) {
  TComPort port;
  port.SetPort(slavePath);
  port.SetBaudRate(br115200);
  std::size_t got = 0;
  std::string s;
  port.OnRxChar = [&](TCustomComPort*, int count) {
    got += std::size_t(port.ReadStr(s, count));
    if (got >= Total) app.quit();
  };
  port.Open();
  const auto start = Clock::now();
  std::thread writer = StartWriter(master);
  app.exec();
  const auto end = Clock::now();
  writer.join();
  port.Close();
  return Total / 1e6 / Seconds(start, end);
}

// One byte from the far end to the start of OnRxChar, round after round.
std::vector<double> LatenciesUs(TApplication& app, int master, const char* slavePath, int rounds) {
  TComPort port;
  port.SetPort(slavePath);
  std::mutex mutex;
  std::condition_variable cv;
  bool handled = true;
  std::atomic<std::int64_t> sentNs{0};
  std::vector<double> latencies;
  latencies.reserve(std::size_t(rounds));
  std::string s;
  port.OnRxChar = [&](TCustomComPort*, int count) {
    const auto now = Clock::now().time_since_epoch().count();
    latencies.push_back((now - sentNs.load()) / 1000.0);
    port.ReadStr(s, count);
    {
      std::lock_guard lock(mutex);
      handled = true;
    }
    cv.notify_one();
    if (int(latencies.size()) >= rounds) app.quit();
  };
  port.Open();
  std::thread far([&] {
    for (int i = 0; i < rounds; ++i) {
      std::unique_lock lock(mutex);
      cv.wait(lock, [&] { return handled; });
      handled = false;
      lock.unlock();
      sentNs = Clock::now().time_since_epoch().count();
      [[maybe_unused]] auto n = write(master, "a", 1);
    }
  });
  app.exec();
  far.join();
  port.Close();
  return latencies;
}

// Context switches of the thread called name: each one is a wake-up.
long ThreadSwitches(const char* name) {
  DIR* tasks = opendir("/proc/self/task");
  long switches = -1;
  while (dirent* e = readdir(tasks)) {
    if (e->d_name[0] == '.') continue;
    const std::string dir = std::string("/proc/self/task/") + e->d_name;
    std::string comm;
    std::getline(std::ifstream(dir + "/comm"), comm);
    if (comm != name) continue;
    std::ifstream status(dir + "/status");
    std::string line;
    switches = 0;
    while (std::getline(status, line))
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
        switches += std::stol(line.substr(line.find(':') + 1));
  }
  closedir(tasks);
  return switches;
}

long IdleWakeups(TApplication& app, const char* slavePath) {
  TComPort port;
  port.SetPort(slavePath);
  port.OnRxChar = [](TCustomComPort*, int) {};
  port.Open();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let the threads settle in their waits
  const auto switches = [] { return ThreadSwitches("ComThread") + ThreadSwitches("ComDriver"); };
  const long before = switches();
  QTimer::singleShot(5000, &app, &QCoreApplication::quit);
  app.exec();
  const long after = switches();
  port.Close();
  return after - before;
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  TApplication app(argc, argv);
  int master = -1, slave = -1;
  char name[256];
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    std::perror("openpty");
    return 1;
  }
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

  const double raw = RawMbPerSecond(master, name);
  const double component = PortMbPerSecond(app, master, name);
  std::vector<double> lat = LatenciesUs(app, master, name, 10000);
  std::sort(lat.begin(), lat.end());
  const long idle = IdleWakeups(app, name);

  std::printf("throughput_ratio %.3f\n", component / raw);
  std::printf("throughput_mb_s %.1f %.1f\n", component, raw);
  std::printf("latency_us p50 %.1f p99 %.1f\n", lat[lat.size() / 2], lat[lat.size() * 99 / 100]);
  std::printf("idle_wakeups %ld\n", idle);
  close(slave);
  close(master);
  return 0;
}
