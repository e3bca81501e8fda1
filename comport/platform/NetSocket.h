// The socket calls of the network ports, one spelling for Winsock and for
// POSIX sockets. Errors are errno values on both (ECONNREFUSED, ETIMEDOUT,
// ECONNRESET, ...), which the port's messages explain.
#pragma once

#include <cstddef>

// The system's headers stay in NetSocket.cpp: <winsock2.h> brings Windows'
// macros, which our own names must not meet. Where addrinfo's fields are
// used, NetSystem.h gives them.
struct addrinfo;
class TComStopEvent;

// Makes the socket calls ready for use (Winsock's start-up); at once after the first.
void NetStartup();
// A socket for one of a lookup's addresses: non-blocking, not inherited by
// programs started later; -1 with NetError() set when there is none.
int NetSocket(const addrinfo& address);
// Starts connecting: 0 when connected, EINPROGRESS while it goes on, or the error.
int NetConnect(int fd, const addrinfo& address);
// Waits up to timeoutMs (-1: no limit) until fd can be written (write) or
// read; 1 when it can, 0 after the time-out, -1 on an error (NetError()).
int NetPoll(int fd, bool write, int timeoutMs);
// The outcome of a connection attempt that poll found finished: 0 or its error.
int NetConnectResult(int fd);
// A connected socket: blocking reads, small writes sent at once, and a
// server that goes without a word is found lost within seconds.
void NetTuneConnected(int fd);
// Sends what the socket takes without blocking; -1 with NetError() set.
long NetSend(int fd, const char* bytes, std::size_t size);
// Receives, waiting for bytes; 0 when the server closed, -1 with NetError().
long NetRecv(int fd, char* bytes, std::size_t size);
// Ends every read and write under way on fd; it is closed later.
void NetShutdown(int fd);
void NetClose(int fd);
// The error of the last failed call above, as an errno value.
int NetError();

// Wakes a thread that waits for events: set by one side, taken by the waiter.
class TNetWake {
public:
  TNetWake();
  ~TNetWake();
  TNetWake(const TNetWake&) = delete;
  TNetWake& operator=(const TNetWake&) = delete;
  void Signal();
  // Waits up to timeoutMs (-1: no limit) for a signal, which it takes, or
  // for stop (if given); true when stop was set.
  bool Wait(const TComStopEvent* stop, int timeoutMs);

private:
#ifdef _WIN32
  void* FEvent;
#else
  int FFd;
#endif
};
