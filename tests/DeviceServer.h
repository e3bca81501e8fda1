// Serial device servers on loopback for the tests: free TCP ports,
// Debian's ser2net with a configuration the test writes, and pyserial's
// RFC 2217 server.
#pragma once

#include "StopProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <utility>
#include <vector>

// A loopback port nobody listens on just now, and never one handed out
// before in this process: a port let go may come back at once, and the
// servers of one test bind theirs only when they start.
inline int FreeTcpPort() {
  static std::set<int> handedOut;
  for (;;) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t size = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    close(fd);
    if (handedOut.insert(ntohs(a.sin_port)).second) return ntohs(a.sin_port);
  }
}

// A socket listening on a free loopback port; its port number in port.
inline int LoopbackListener(int& port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(fd, 4);
  socklen_t size = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
  port = ntohs(a.sin_port);
  return fd;
}

inline bool Listening(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(std::uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

// Starts a peer with its output thrown away; its process id.
inline pid_t SpawnQuietly(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// Whether every port listens within ten seconds.
inline bool AllListening(const std::vector<int>& ports) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (int port : ports)
    while (!Listening(port))
      if (std::chrono::steady_clock::now() > end) return false;
      else usleep(20000);
  return true;
}

// ser2net serving serial devices: each Add gives the device an accepter
// ("telnet(rfc2217)" or "" for raw TCP) on a free loopback port.
class TSer2net {
public:
  TSer2net() {
    char dir[] = "/tmp/ser2net-XXXXXX";
    Dir = mkdtemp(dir);
  }
  ~TSer2net() {
    Stop();
    std::remove((Dir + "/ser2net.yaml").c_str());
    rmdir(Dir.c_str());
  }
  // options: more of the connection's options, such as "chardelay: false".
  int Add(const std::string& device, bool rfc2217, const std::string& options = "") {
    const int port = FreeTcpPort();
    Config += "connection: &c" + std::to_string(Ports.size()) + "\n  accepter: " +
              (rfc2217 ? "telnet(rfc2217)," : "") + "tcp,127.0.0.1," + std::to_string(port) +
              "\n  connector: serialdev," + device + ",115200n81,local\n" +
              (options.empty() ? "" : "  options:\n    " + options + "\n");
    Ports.push_back(port);
    return port;
  }
  // Starts the server; false when it does not listen on every port in time.
  bool Start() {
    std::ofstream(Dir + "/ser2net.yaml") << "%YAML 1.1\n---\n" << Config;
    // Without UUCP lock files: the session of AllListening's probe, which
    // ser2net may still be ending, keeps no lock on the line that the test's
    // own session opens next (its open failed so, once in CI).
    Pid = SpawnQuietly({"ser2net", "-n", "-u", "-c", Dir + "/ser2net.yaml", "-P", Dir + "/pid"});
    return AllListening(Ports);
  }
  void Stop() {
    if (Pid <= 0) return;
    StopProcess(Pid, 2000);  // ser2net at times lingers over closing its lines
    Pid = -1;
    std::remove((Dir + "/pid").c_str());
  }
  std::vector<int> Ports;

private:
  std::string Dir, Config;
  pid_t Pid = -1;
};

#ifdef HRVX3300_RFC2217_SERVER  // where the tests' build names the script
// pyserial's RFC 2217 server (python3-serial's serial.rfc2217.PortManager,
// run by tests/peers/rfc2217_server.py) on devices: each Add gives one a
// port, RFC 2217 only; one process serves them all.
class TPyserialServer {
public:
  TPyserialServer() = default;
  ~TPyserialServer() { Stop(); }
  int Add(const std::string& device) {
    const int port = FreeTcpPort();
    Ports.push_back(port);
    Devices.push_back(device);
    return port;
  }
  bool Start() {
    std::vector<std::string> args{Script};
    for (std::size_t i = 0; i < Ports.size(); ++i) args.insert(args.end(), {std::to_string(Ports[i]), Devices[i]});
    Pid = SpawnQuietly(std::move(args));
    return AllListening(Ports);
  }
  void Stop() {
    if (Pid <= 0) return;
    StopProcess(Pid);
    Pid = -1;
  }
  std::vector<int> Ports;

private:
  std::string Script = HRVX3300_RFC2217_SERVER;
  std::vector<std::string> Devices;
  pid_t Pid = -1;
};
#endif
