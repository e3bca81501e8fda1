// A port through a device server: Debian's ser2net with an RFC 2217
// accepter on loopback, serving a pseudo-terminal whose master side the
// benchmark plays. Ours (rfc2217:// in the port component) against
// pyserial's rfc2217:// client (python3-serial) on the same server in the
// same run, ten runs of each in turns (ABBA), every byte checked:
//   network_read_mb_s ours <median> (<min>-<max>) pyserial <...>    1 MiB from the device
//   network_write_mb_s ours <...> pyserial <...>                      1 MiB to the device
//   network_echo_us ours <...> pyserial <...>  one byte there and back, median of 1000
//   network_echo_nodelay_us ...  the same through a port without ser2net's character delay
#include "CPort.h"
#include "DeviceServer.h"
#include "Stats.h"
#include "Threads.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t Bulk = 1u << 20;
constexpr int Echoes = 1000;

std::string Pattern(std::size_t count) {
  std::string s(count, '\0');
  for (std::size_t i = 0; i < count; ++i) s[i] = char((i * 7 + i / 256) & 0xFF);
  return s;
}

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "network_bench: %s\n", what.c_str());
  std::exit(1);
}

// The device: answers one client run in the given mode, on the master side.
class TFarEnd {
public:
  TFarEnd(int master, const std::string& mode) : FMaster(master), FThread([this, mode] { Run(mode); }) {}
  ~TFarEnd() {
    FStop = true;
    FThread.join();
  }
  bool Failed() const { return FFailed; }

private:
  std::string Read(std::size_t count) {
    std::string got;
    char buffer[65536];
    while (got.size() < count && !FStop) {
      pollfd p{FMaster, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = read(FMaster, buffer, std::min(sizeof buffer, count - got.size()));
      if (n > 0) got.append(buffer, std::size_t(n));
    }
    return got;
  }
  void Write(const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size() && !FStop;) {
      const ssize_t n = write(FMaster, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += std::size_t(n);
      } else {
        pollfd p{FMaster, POLLOUT, 0};
        poll(&p, 1, 50);
      }
    }
  }
  void Run(const std::string& mode) {
    if (mode == "read") {
      if (Read(1) == "R") Write(Pattern(Bulk));
    } else if (mode == "write") {
      if (Read(Bulk) == Pattern(Bulk))
        Write("K");
      else
        FFailed = true;
    } else {
      for (int i = 0; i < Echoes && !FStop; ++i) Write(Read(1));
    }
  }
  int FMaster;
  std::atomic<bool> FStop{false}, FFailed{false};
  std::thread FThread;
};

// Ours: the result as pyserial's client prints it.
double Ours(const std::string& url, const std::string& mode) {
  TComPort port;
  port.SetPort(url);
  port.SetBaudRate(br115200);  // as pyserial's client asks: ser2net times its character delay by it
  port.Timeouts().SetReadTotalConstant(10000);
  // ser2net takes one client at a time and may still be ending the last.
  for (int tries = 1;; ++tries) {
    try {
      port.Open();
      break;
    } catch (const EComPort&) {
      if (tries == 10) throw;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  }
  const auto readAll = [&](std::size_t count) {
    std::string got;
    while (got.size() < count) {
      std::string s;
      if (port.ReadStr(s, int(count - got.size())) == 0) break;
      got += s;
    }
    return got;
  };
  double result = 0;
  const auto start = Clock::now();
  if (mode == "read") {
    port.WriteStr("R");
    if (readAll(Bulk) != Pattern(Bulk)) Fail("ours: the bytes read differ");
    result = std::chrono::duration<double>(Clock::now() - start).count();
  } else if (mode == "write") {
    port.WriteStr(Pattern(Bulk));
    if (readAll(1) != "K") Fail("ours: the far end did not confirm");
    result = std::chrono::duration<double>(Clock::now() - start).count();
  } else {
    std::vector<double> times;
    for (int i = 0; i < Echoes; ++i) {
      const std::string byte(1, char('0' + i % 10));
      const auto t0 = Clock::now();
      port.WriteStr(byte);
      if (readAll(1) != byte) Fail("ours: the echo differs");
      times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    result = Median(times);
  }
  port.Close();
  return result;
}

double Pyserial(const std::string& url, const std::string& mode) {
  const std::string command = std::string(HRVX3300_RFC2217_CLIENT) + " '" + url + "' " + mode + " " +
                              std::to_string(mode == "echo" ? Echoes : int(Bulk));
  FILE* pipe = popen(command.c_str(), "r");
  double value = -1;
  if (!pipe || std::fscanf(pipe, "%lf", &value) != 1) Fail("pyserial's client failed (python3-serial)");
  if (pclose(pipe) != 0) Fail("pyserial's client failed");
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  SetMainThread();
  int master = -1, slave = -1;
  char name[256];
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) Fail("no pseudo-terminal");
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  TSer2net server;
  // ser2net on a pty never answers control requests: pyserial needs told.
  // The same line once more without ser2net's character delay, whose
  // millisecond or more hides what the clients add to a round trip.
  const std::string url = "rfc2217://127.0.0.1:" + std::to_string(server.Add(name, true)) + "?ign_set_control";
  const std::string prompt =
      "rfc2217://127.0.0.1:" + std::to_string(server.Add(name, true, "chardelay: false")) + "?ign_set_control";
  if (!server.Start()) Fail("ser2net (Debian's package) did not start");
  const std::string only = argc > 1 ? argv[1] : "";
  for (const std::string test : {"read", "write", "echo", "echo_nodelay"}) {
    if (!only.empty() && test != only) continue;
    const std::string mode = test.substr(0, test.find('_'));
    const std::string& via = test == "echo_nodelay" ? prompt : url;
    std::vector<double> ours, theirs;
    for (int run = 0; run < 20; ++run) {
      const bool mine = (run % 2 == 0) == (run / 2 % 2 == 0);
      TFarEnd far(master, mode);
      const double value = mine ? Ours(via, mode) : Pyserial(via, mode);
      if (far.Failed()) Fail(std::string(mine ? "ours" : "pyserial") + ": the device got other bytes");
      // Rates in MB/s; round trips in microseconds.
      (mine ? ours : theirs).push_back(mode == "echo" ? value : double(Bulk) / 1e6 / value);
    }
    std::printf("network_%s ours %s pyserial %s\n", mode == "echo" ? (test + "_us").c_str() : (mode + "_mb_s").c_str(),
                Spread(ours).c_str(), Spread(theirs).c_str());
    std::fflush(stdout);
  }
  close(master);
  close(slave);
  return 0;
}
