// The module simulator as a child process, for the tests that talk to it;
// its exchanges are logged to a file.
#pragma once

#include "StopProcess.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

class TSimulator {
public:
  explicit TSimulator(std::vector<std::string> options, const std::string& link = {}) {
    char logName[] = "/tmp/sim-log-XXXXXX";
    const int logFd = mkstemp(logName);
    LogPath = logName;
    int out[2];
    if (pipe(out) != 0) return;
    if (!link.empty()) {
      options.push_back("--link");
      options.push_back(link);
    }
    StatePath = LogPath + ".state";
    options.push_back("--state");
    options.push_back(StatePath);
    Pid = fork();
    if (Pid == 0) {
      dup2(out[1], 1);
      dup2(logFd, 2);
      std::vector<char*> argv{const_cast<char*>(HRVX3300_SIM)};
      for (auto& o : options) argv.push_back(o.data());
      argv.push_back(nullptr);
      execv(HRVX3300_SIM, argv.data());
      _exit(127);
    }
    close(out[1]);
    close(logFd);
    FILE* f = fdopen(out[0], "r");
    char line[512] = {};
    if (f && fgets(line, sizeof line, f)) {
      Path = line;
      Path = Path.substr(5, Path.find('\n') - 5);  // "PORT <path>"
    }
    if (f) fclose(f);
  }
  ~TSimulator() {
    Stop();
    unlink(LogPath.c_str());
    unlink(StatePath.c_str());
  }
  void Stop() {
    if (Pid <= 0) return;
    StopProcess(Pid);
    Pid = -1;
  }
  bool Exited() {
    if (Pid <= 0) return true;
    if (waitpid(Pid, nullptr, WNOHANG) == Pid) Pid = -1;
    return Pid <= 0;
  }
  std::string Log() const {
    std::ifstream in(LogPath);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // What the module holds now (the load image, the network and the MAC
  // record), written by the simulator when asked; empty if it does not
  // answer within 30 s (it answers between two bytes: a simulator built
  // with ThreadSanitizer on a busy machine took more than five).
  std::string Held() {
    unlink(StatePath.c_str());
    if (Pid <= 0 || kill(Pid, SIGUSR1) != 0) return {};
    for (int i = 0; i < 3000; ++i) {
      std::ifstream in(StatePath, std::ios::binary);
      if (in) return std::string(std::istreambuf_iterator<char>(in), {});
      usleep(10000);
    }
    return {};
  }
  std::string Path;
  std::string LogPath;
  std::string StatePath;
  pid_t Pid = -1;
};

