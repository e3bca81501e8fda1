// Debian's lrzsz (sx, rx, sb, rb, sz, rz) on the far end of a
// pseudo-terminal pair, for the file transfer's tests.
#pragma once

#include "ModemTransfer.h"
#include "PtyLine.h"

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
    // A peer before it is ended, not left running.
    if (Pid > 0) {
      kill(Pid, SIGKILL);
      waitpid(Pid, nullptr, 0);
      Pid = -1;
    }
    if (Answers != Master) close(Answers);
    Answers = -1;
    if (Master >= 0) close(std::exchange(Master, -1));
    if (Slave >= 0) close(std::exchange(Slave, -1));
    int answers[2] = {-1, -1};
    if (answersOnPipe) {
      ASSERT_EQ(pipe(answers), 0);
    }
    int slave = -1;
    ASSERT_TRUE(OpenRawPty(Master, slave));
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

  // The peer's exit status once it has ended (-1: it did not, in 2 s; it
  // is ended then, not left running).
  int PeerStatus() {
    int status = -1;
    pid_t ended = 0;
    for (int i = 0; i < 100 && (ended = waitpid(Pid, &status, WNOHANG)) == 0; ++i) usleep(20000);
    if (ended == 0) {
      kill(Pid, SIGKILL);
      waitpid(Pid, nullptr, 0);
      status = -1;
    }
    Pid = -1;
    return ended > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  fs::path Dir;
  int Master = -1, Slave = -1, Answers = -1;
  pid_t Pid = -1;
  std::string Message;
  // Changes what is sent, or what comes from the far end before the
  // transfer reads it: a noisy line.
  std::function<void(bool sent, std::string& bytes)> Garble;
};

