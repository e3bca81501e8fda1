// Debian's lrzsz (sx, rx, sb, rb, sz, rz) on the far end of a
// pseudo-terminal pair, for the file transfer's tests.
#pragma once

#include "ModemTransfer.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <atomic>
#include <thread>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

// Compared without printing a megabyte when they differ.
#define EXPECT_SAME(got, want) EXPECT_TRUE((got) == (want)) << "got " << (got).size() << " bytes, want " << (want).size()

inline std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteAll(const fs::path& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

// Every byte value, then size bytes of noise.
inline std::string Binary(std::size_t size, unsigned seed) {
  std::string data;
  for (int i = 0; i < 256; ++i) data += char(i);
  std::mt19937 random(seed);
  while (data.size() < size) data += char(random());
  data.resize(size);
  return data;
}

// Copies bytes both ways between two pseudo-terminals' masters, as the
// wire between two ports does.
class TPtyRelay {
public:
  TPtyRelay(int a, int b) : FA(a), FB(b), FThread([this] { Run(); }) {}
  ~TPtyRelay() {
    FStop = true;
    FThread.join();
  }

private:
  void Run() {
    char buffer[4096];
    while (!FStop) {
      pollfd fds[2] = {{FA, POLLIN, 0}, {FB, POLLIN, 0}};
      if (poll(fds, 2, 20) <= 0) continue;
      for (int i = 0; i < 2; ++i) {
        if (fds[i].revents & (POLLHUP | POLLERR) && !(fds[i].revents & POLLIN)) usleep(1000);  // nobody on that side now
        if (!(fds[i].revents & POLLIN)) continue;
        const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
        for (ssize_t done = 0; n > 0 && done < n && !FStop;) {
          const ssize_t w = write(fds[1 - i].fd, buffer + done, std::size_t(n - done));
          if (w > 0) {
            done += w;
          } else {
            pollfd out{fds[1 - i].fd, POLLOUT, 0};
            poll(&out, 1, 20);
          }
        }
      }
    }
  }
  int FA, FB;
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

// A raw pseudo-terminal pair; the master does not block.
inline void OpenRawPty(int& master, int& slave, char* name = nullptr) {
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  termios raw{};
  tcgetattr(slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave, TCSANOW, &raw);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
}

// Starts an lrzsz program in folder with tty as its standard input and
// output (output to answers when given), its messages into log.
inline pid_t SpawnPeer(std::vector<std::string> args, int tty, const fs::path& folder, const fs::path& log,
                       int answers = -1) {
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

class TransferTest : public testing::Test {
protected:
  void SetUp() override {
    char dir[] = "/tmp/transfer-XXXXXX";
    Dir = mkdtemp(dir);
    fs::create_directory(Dir / "far");
    fs::create_directory(Dir / "near");
  }
  void TearDown() override {
    if (Pid > 0) {
      kill(Pid, SIGKILL);
      waitpid(Pid, nullptr, 0);
    }
    if (Master >= 0) close(Master);
    if (Slave >= 0) close(Slave);
    if (Answers != Master) close(Answers);
    fs::remove_all(Dir);
  }

  // Starts an lrzsz program in the far folder with a raw pseudo-terminal as
  // its standard input and output. An lrzsz receiver drains and then
  // flushes its terminal as it exits; on a pseudo-terminal the drain waits
  // for nothing, so its last answer can be flushed before it is read (on a
  // serial line it has long left). Its answers then come back on a pipe,
  // while what it receives still crosses the pseudo-terminal.
  void StartPeer(std::vector<std::string> args, bool answersOnPipe = false) {
    if (Answers != Master) close(Answers);
    Answers = -1;
    if (Master >= 0) close(std::exchange(Master, -1));
    if (Slave >= 0) close(std::exchange(Slave, -1));
    int answers[2] = {-1, -1};
    if (answersOnPipe) {
      ASSERT_EQ(pipe(answers), 0);
    }
    int slave = -1;
    OpenRawPty(Master, slave);
    Pid = SpawnPeer(std::move(args), slave, Dir / "far", Dir / "peer.log", answersOnPipe ? answers[1] : -1);
    ASSERT_GE(Pid, 0);
    // Held open, as a port stays when the program on it ends.
    Slave = slave;
    Answers = Master;
    if (answersOnPipe) {
      close(answers[1]);
      Answers = answers[0];
      fcntl(Answers, F_SETFL, fcntl(Answers, F_GETFL) | O_NONBLOCK);
    }
  }

  // Runs the transfer against the peer until it ends; the peer's exit
  // status. last: what was sent last (one call of Send); all: everything.
  int Run(TModemTransfer& transfer, int seconds = 60, std::string* last = nullptr, std::string* all = nullptr) {
    transfer.Send = [this, last, all](const std::string& sent) {
      std::string bytes = sent;
      if (Garble) Garble(true, bytes);
      if (last) *last = bytes;
      if (all) *all += bytes;
      for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(Master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
          done += std::size_t(n);
        } else {
          pollfd out{Master, POLLOUT, 0};
          poll(&out, 1, 100);
        }
      }
    };
    transfer.OnFinished = [this](bool, const std::string& message) { Message = message; };
    transfer.Start();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::uint8_t buffer[4096];
    while (!transfer.Finished() && std::chrono::steady_clock::now() < end) {
      pollfd in{Answers, POLLIN, 0};
      if (poll(&in, 1, transfer.HasMoreToSend() ? 0 : 50) > 0) {
        const ssize_t n = read(Answers, buffer, sizeof buffer);
        if (n > 0) {
          std::string bytes(reinterpret_cast<const char*>(buffer), std::size_t(n));
          if (Garble) Garble(false, bytes);
          transfer.Received(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        }
      }
      transfer.Tick();
    }
    EXPECT_TRUE(transfer.Finished()) << "still running after " << seconds << " s";
    return PeerStatus();
  }

  // The peer's exit status once it has ended (-1: it did not, in 2 s).
  int PeerStatus() {
    int status = -1;
    for (int i = 0; i < 100 && waitpid(Pid, &status, WNOHANG) == 0; ++i) usleep(20000);
    Pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  fs::path Dir;
  int Master = -1, Slave = -1, Answers = -1;
  pid_t Pid = -1;
  std::string Message;
  // Changes what is sent, or what comes from the far end before the
  // transfer reads it: a noisy line.
  std::function<void(bool sent, std::string& bytes)> Garble;
};

