#include "NetSocket.h"

#include "ComDevice.h"
#include "NetSystem.h"

#include <cerrno>
#include <mutex>

#ifdef _WIN32
#include <mstcpip.h>
#ifndef TCP_MAXRT
#define TCP_MAXRT 5  // seconds of retransmission before a connection fails
#endif
#else
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

// A server that goes without a word (a cable pulled, a server switched off)
// is lost within seconds, as a pulled adapter is at once: probes after 5 s
// of silence, three unanswered 2 s apart, or sent data left unacknowledged
// for 10 s.
constexpr int KeepIdleS = 5, KeepIntervalS = 2, KeepProbes = 3, UnacknowledgedMs = 10000;

#ifdef _WIN32
thread_local int LastError = 0;

int FromWinsock(int error) {
  switch (error) {
    case WSAEWOULDBLOCK: return EAGAIN;
    case WSAEINPROGRESS: return EINPROGRESS;
    case WSAEINTR: return EINTR;
    case WSAECONNREFUSED: return ECONNREFUSED;
    case WSAETIMEDOUT: return ETIMEDOUT;
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAENETRESET: return ECONNRESET;
    case WSAEHOSTUNREACH:
    case WSAEHOSTDOWN: return EHOSTUNREACH;
    case WSAENETUNREACH:
    case WSAENETDOWN: return ENETUNREACH;
    case WSAESHUTDOWN: return EPIPE;
    case WSAENOTSOCK: return EBADF;
    case WSAEMFILE:
    case WSAENOBUFS: return EMFILE;
    default: return EIO;
  }
}

int Failed() {
  LastError = FromWinsock(WSAGetLastError());
  return -1;
}

}  // namespace

void NetStartup() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  });
}

#else
}  // namespace

void NetStartup() {}
#endif

#ifdef _WIN32

int NetSocket(const addrinfo& address) {
  NetStartup();
  const SOCKET s = WSASocketW(address.ai_family, address.ai_socktype, address.ai_protocol, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return Failed();
  u_long on = 1;
  ioctlsocket(s, FIONBIO, &on);
  // Socket handles keep their meaning in 32 bits.
  return int(s);
}

int NetConnect(int fd, const addrinfo& address) {
  if (::connect(SOCKET(fd), address.ai_addr, int(address.ai_addrlen)) == 0) return 0;
  Failed();
  return LastError == EAGAIN ? EINPROGRESS : LastError;
}

int NetPoll(int fd, bool write, int timeoutMs) {
  WSAPOLLFD p{SOCKET(fd), short(write ? POLLWRNORM : POLLRDNORM), 0};
  const int n = WSAPoll(&p, 1, timeoutMs);
  if (n < 0) return Failed();
  // A refused connection shows as an error, not as writable.
  return n > 0 ? 1 : 0;
}

int NetConnectResult(int fd) {
  int error = 0;
  int size = sizeof error;
  ::getsockopt(SOCKET(fd), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size);
  return error == 0 ? 0 : FromWinsock(error);
}

void NetTuneConnected(int fd) {
  const SOCKET s = SOCKET(fd);
  u_long off = 0;
  ioctlsocket(s, FIONBIO, &off);
  const DWORD on = 1;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  tcp_keepalive keep{1, KeepIdleS * 1000u, KeepIntervalS * 1000u};
  DWORD returned = 0;
  WSAIoctl(s, SIO_KEEPALIVE_VALS, &keep, sizeof keep, nullptr, 0, &returned, nullptr, nullptr);
  // Retransmissions end after this many seconds.
  const DWORD maxRetransmitS = UnacknowledgedMs / 1000;
  ::setsockopt(s, IPPROTO_TCP, TCP_MAXRT, reinterpret_cast<const char*>(&maxRetransmitS), sizeof maxRetransmitS);
}

long NetSend(int fd, const char* bytes, std::size_t size) {
  // A blocking socket found writable takes a small piece without waiting.
  const int n = ::send(SOCKET(fd), bytes, int(size > 4096 ? 4096 : size), 0);
  return n < 0 ? Failed() : n;
}

long NetRecv(int fd, char* bytes, std::size_t size) {
  const int n = ::recv(SOCKET(fd), bytes, int(size), 0);
  return n < 0 ? Failed() : n;
}

void NetShutdown(int fd) { ::shutdown(SOCKET(fd), SD_BOTH); }

void NetClose(int fd) { ::closesocket(SOCKET(fd)); }

int NetError() { return LastError; }

TNetWake::TNetWake() : FEvent(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}

TNetWake::~TNetWake() { CloseHandle(FEvent); }

void TNetWake::Signal() { SetEvent(FEvent); }

bool TNetWake::Wait(const TComStopEvent* stop, int timeoutMs) {
  HANDLE handles[2] = {FEvent, stop ? HANDLE(stop->Handle()) : nullptr};
  return WaitForMultipleObjects(stop ? 2 : 1, handles, FALSE, timeoutMs < 0 ? INFINITE : DWORD(timeoutMs)) == WAIT_OBJECT_0 + 1;
}

#else

int NetSocket(const addrinfo& address) {
  return ::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, address.ai_protocol);
}

int NetConnect(int fd, const addrinfo& address) {
  return ::connect(fd, address.ai_addr, address.ai_addrlen) == 0 ? 0 : errno;
}

int NetPoll(int fd, bool write, int timeoutMs) {
  pollfd p{fd, short(write ? POLLOUT : POLLIN), 0};
  int n;
  while ((n = ::poll(&p, 1, timeoutMs)) < 0 && errno == EINTR) {
  }
  return n < 0 ? -1 : n > 0 ? 1 : 0;
}

int NetConnectResult(int fd) {
  int error = 0;
  socklen_t size = sizeof error;
  ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
  return error;
}

void NetTuneConnected(int fd) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  const int on = 1, idle = KeepIdleS, interval = KeepIntervalS, probes = KeepProbes, unacknowledged = UnacknowledgedMs;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // small writes go at once
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
  ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledged, sizeof unacknowledged);
}

long NetSend(int fd, const char* bytes, std::size_t size) { return ::send(fd, bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT); }

long NetRecv(int fd, char* bytes, std::size_t size) { return ::recv(fd, bytes, size, 0); }

void NetShutdown(int fd) { ::shutdown(fd, SHUT_RDWR); }

void NetClose(int fd) { ::close(fd); }

int NetError() { return errno; }

TNetWake::TNetWake() : FFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TNetWake::~TNetWake() {
  if (FFd >= 0) ::close(FFd);
}

void TNetWake::Signal() {
  const std::uint64_t one = 1;
  (void)!::write(FFd, &one, sizeof one);
}

bool TNetWake::Wait(const TComStopEvent* stop, int timeoutMs) {
  pollfd fds[2] = {{FFd, POLLIN, 0}, {stop ? stop->Fd() : -1, POLLIN, 0}};
  ::poll(fds, stop ? 2 : 1, timeoutMs);
  if (fds[0].revents) {
    std::uint64_t count;
    (void)!::read(FFd, &count, sizeof count);
  }
  return fds[1].revents != 0;
}

#endif
