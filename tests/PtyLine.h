// Pseudo-terminal pairs with programs on them, and the wire between two of
// them, for the tests and the benchmarks.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// Every byte value, then noise up to size bytes.
inline std::string Binary(std::size_t size, unsigned seed) {
  std::string data;
  for (int i = 0; i < 256; ++i) data += char(i);
  std::mt19937 random(seed);
  while (data.size() < size) data += char(random());
  data.resize(size);
  return data;
}

// A raw pseudo-terminal pair at speed (0: as it comes); the master does
// not block. False when the system has none to give.
inline bool OpenRawPty(int& master, int& slave, char* name = nullptr, speed_t speed = 0) {
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return false;
  termios raw{};
  tcgetattr(slave, &raw);
  cfmakeraw(&raw);
  if (speed != 0) cfsetspeed(&raw, speed);
  tcsetattr(slave, TCSANOW, &raw);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  return true;
}

// Starts a program in folder with tty as its standard input and output
// (output to answers when given), its messages into log.
inline pid_t SpawnPeer(std::vector<std::string> args, int tty, const std::filesystem::path& folder,
                       const std::filesystem::path& log, int answers = -1) {
  const pid_t pid = fork();
  if (pid == 0) {
    setsid();
    dup2(tty, 0);
    dup2(answers >= 0 ? answers : tty, 1);
    const int logFile = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(logFile, 2);
    if (chdir(folder.c_str()) != 0) _exit(126);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// Starts a shell as a board's console has one: tty (a pseudo-terminal as it
// comes, echoing and editing lines) its controlling terminal, the prompt
// "$ ", in folder, with path as its PATH.
inline pid_t SpawnShell(int tty, const std::filesystem::path& folder, const std::string& path) {
  const pid_t pid = fork();
  if (pid == 0) {
    setsid();
    ioctl(tty, TIOCSCTTY, 0);
    dup2(tty, 0);
    dup2(tty, 1);
    dup2(tty, 2);
    if (chdir(folder.c_str()) != 0) _exit(126);
    setenv("PS1", "$ ", 1);
    setenv("HOME", folder.c_str(), 1);
    setenv("TERM", "vt100", 1);
    setenv("PATH", path.c_str(), 1);
    execl("/bin/bash", "bash", "--norc", "--noprofile", "+m", "-i", nullptr);
    _exit(127);
  }
  return pid;
}

// Ends a shell from SpawnShell and what it runs (without job control its
// commands stay in its process group).
inline void EndShell(pid_t shell) {
  if (shell <= 0) return;
  kill(-shell, SIGKILL);
  waitpid(shell, nullptr, 0);
}

// The wire between two pseudo-terminals' masters: bytes go both ways, in
// order, each taking byteUs on the way when paced (ten bits at 115200 baud
// are 86.8 us), at once when not.
class TPtyLine {
public:
  TPtyLine(int a, int b, double byteUs = 0) : FA(a), FB(b), FByteUs(byteUs), FThread([this] { Run(); }) {}
  ~TPtyLine() {
    FStop = true;
    FThread.join();
  }

private:
  using TClock = std::chrono::steady_clock;
  struct TWay {
    int From, To;
    TClock::time_point Free{};
    std::deque<std::pair<TClock::time_point, std::string>> Queue;
  };
  void Run() {
    TWay ways[2] = {{FA, FB, {}, {}}, {FB, FA, {}, {}}};
    char buffer[4096];
    while (!FStop) {
      auto next = TClock::now() + std::chrono::milliseconds(5);
      for (TWay& way : ways)
        if (!way.Queue.empty()) next = std::min(next, way.Queue.front().first);
      const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - TClock::now()).count();
      pollfd fds[2] = {{FA, POLLIN, 0}, {FB, POLLIN, 0}};
      poll(fds, 2, int(std::max<long>(0, long(wait))));
      const auto now = TClock::now();
      for (int i = 0; i < 2; ++i) {
        TWay& way = ways[i];
        if (fds[i].revents & POLLIN) {
          const ssize_t n = read(way.From, buffer, sizeof buffer);
          if (n > 0) {
            way.Free = std::max(way.Free, now) + std::chrono::nanoseconds(long(FByteUs * 1000 * double(n)));
            way.Queue.emplace_back(way.Free, std::string(buffer, std::size_t(n)));
          }
        } else if (fds[i].revents & (POLLHUP | POLLERR)) {
          usleep(1000);  // nobody on that side just now
        }
        while (!way.Queue.empty() && way.Queue.front().first <= now && !FStop) {
          const std::string& bytes = way.Queue.front().second;
          for (std::size_t done = 0; done < bytes.size() && !FStop;) {
            const ssize_t w = write(way.To, bytes.data() + done, bytes.size() - done);
            if (w > 0) {
              done += std::size_t(w);
            } else {
              pollfd out{way.To, POLLOUT, 0};
              poll(&out, 1, 20);
            }
          }
          way.Queue.pop_front();
        }
      }
    }
  }
  int FA, FB;
  double FByteUs;
  std::atomic<bool> FStop{false};
  std::thread FThread;
};
