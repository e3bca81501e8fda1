#include "SimLine.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

void MakeRaw(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return;
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  cfsetspeed(&t, B115200);
  tcsetattr(fd, TCSANOW, &t);
}

class TPosixLine : public TSimLine {
public:
  TPosixLine(int fd, int slave) : Fd(fd), Slave(slave) {}
  ~TPosixLine() override {
    close(Fd);
    if (Slave >= 0) close(Slave);
  }

  int ReadByte(int timeoutMs) override {
    // A signal (SIGUSR1 asking for the state) does not cut a wait short:
    // a record being read would lose its byte.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd p{Fd, POLLIN, 0};
    int n;
    while ((n = poll(&p, 1, timeoutMs)) < 0 && errno == EINTR)
      timeoutMs = int(std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                 deadline - std::chrono::steady_clock::now()).count()));
    if (n == 0) return -1;
    if (n < 0) return -2;
    unsigned char b;
    const ssize_t r = read(Fd, &b, 1);
    if (r == 1) return b;
    if (r < 0 && (errno == EAGAIN || errno == EINTR)) return -1;
    if (r < 0 && errno == EIO) {  // nobody has the terminal open just now
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      return -1;
    }
    return -2;
  }

  bool Write(const std::string& bytes) override {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = write(Fd, bytes.data() + done, bytes.size() - done);
      if (n > 0) done += std::size_t(n);
      else if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
      else std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

private:
  int Fd;
  int Slave;  // kept open, so the line stays up while the program closes and opens its port
};

}  // namespace

std::unique_ptr<TSimLine> OpenSimLine(const std::string& device, std::string& error) {
  int fd = -1, slave = -1;
  std::string path = device;
  if (!device.empty()) {
    fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      error = device + ": " + std::strerror(errno);
      return nullptr;
    }
    MakeRaw(fd);
  } else {
    char name[256];
    if (openpty(&fd, &slave, name, nullptr, nullptr) != 0) {
      error = std::string("no pseudo-terminal: ") + std::strerror(errno);
      return nullptr;
    }
    MakeRaw(slave);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    path = name;
  }
  auto line = std::make_unique<TPosixLine>(fd, slave);
  line->Path = path;
  return line;
}
