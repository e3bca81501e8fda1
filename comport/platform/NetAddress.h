// Where a network port's server is: the address in its name, the host's
// name looked up without holding up a window, and a probe that tells
// whether a server takes connections again without waiting for it.
#pragma once

#include "NetSocket.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

// scheme://host:port?options, the host of an IPv6 address in brackets.
struct TNetAddress {
  std::string Host, Port, Options;
};
// False for a malformed address.
bool ParseNetAddress(const std::string& url, TNetAddress& address);

// A host's name is looked up on a thread of its own: a slow name server
// then holds up no window, and a lookup that outlasts its wait finishes
// alone. An address needs no lookup and is there at once.
struct TNetLookup {
  std::mutex Mutex;
  std::condition_variable Done;
  bool Finished = false;
  addrinfo* Found = nullptr;  // none when the name was not found
  ~TNetLookup();
};
std::shared_ptr<TNetLookup> StartNetLookup(const TNetAddress& address);
// Waits for the lookup until the deadline, in slices that keep a waiting
// window alive; the addresses found, or none.
addrinfo* AwaitNetLookup(TNetLookup& lookup, std::chrono::steady_clock::time_point deadline);

// Each call of Answers looks at a connection attempt under way and starts
// the next when it failed; true once one got through (it is closed again).
class TNetServerProbe {
public:
  explicit TNetServerProbe(const std::string& url);
  ~TNetServerProbe();
  TNetServerProbe(const TNetServerProbe&) = delete;
  TNetServerProbe& operator=(const TNetServerProbe&) = delete;
  bool Answers();

private:
  void Reset();
  bool Next();  // the next address found, or a fresh lookup next time
  TNetAddress FAddress;
  bool FValid;
  std::shared_ptr<TNetLookup> FLookup;
  addrinfo* FTrying = nullptr;  // one of the lookup's addresses
  int FFd = -1;
  std::chrono::steady_clock::time_point FSince;  // of the attempt under way
};
