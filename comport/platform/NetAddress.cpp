#include "NetAddress.h"

#include "Threads.h"
#include "NetSystem.h"

#include <cerrno>
#include <thread>

bool ParseNetAddress(const std::string& url, TNetAddress& address) {
  const std::size_t scheme = url.find("://");
  if (scheme == std::string::npos) return false;
  std::string rest = url.substr(scheme + 3);
  address.Options.clear();
  if (const std::size_t query = rest.find('?'); query != std::string::npos) {
    address.Options = rest.substr(query + 1);
    rest.erase(query);
  }
  if (!rest.empty() && rest[0] == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') return false;
    address.Host = rest.substr(1, close - 1);
    address.Port = rest.substr(close + 2);
  } else {
    const std::size_t colon = rest.rfind(':');
    if (colon == std::string::npos) return false;
    address.Host = rest.substr(0, colon);
    address.Port = rest.substr(colon + 1);
  }
  // A TCP port is 1 to 65535: a larger number is never cut to 16 bits.
  if (address.Host.empty() || address.Port.empty() || address.Port.size() > 5 ||
      address.Port.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const long port = std::stol(address.Port);
  return port >= 1 && port <= 65535;
}

TNetLookup::~TNetLookup() {
  if (Found) ::freeaddrinfo(Found);
}

std::shared_ptr<TNetLookup> StartNetLookup(const TNetAddress& address) {
  NetStartup();
  auto lookup = std::make_shared<TNetLookup>();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  if (::getaddrinfo(address.Host.c_str(), address.Port.c_str(), &hints, &lookup->Found) == 0) {
    lookup->Finished = true;
    return lookup;
  }
  lookup->Found = nullptr;
  std::thread([lookup, host = address.Host, port = address.Port, hints]() mutable {
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const bool ok = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) == 0;
    std::lock_guard lock(lookup->Mutex);
    lookup->Found = ok ? found : nullptr;
    lookup->Finished = true;
    lookup->Done.notify_all();
  }).detach();
  return lookup;
}

addrinfo* AwaitNetLookup(TNetLookup& lookup, std::chrono::steady_clock::time_point deadline) {
  TSlowWait wait;
  std::unique_lock lock(lookup.Mutex);
  while (!lookup.Finished && std::chrono::steady_clock::now() < deadline) {
    lookup.Done.wait_for(lock, std::chrono::milliseconds(TSlowWait::SliceMs));
    lock.unlock();
    wait.Slice();
    lock.lock();
  }
  return lookup.Finished ? lookup.Found : nullptr;
}

TNetServerProbe::TNetServerProbe(const std::string& url) : FValid(ParseNetAddress(url, FAddress)) {}

TNetServerProbe::~TNetServerProbe() { Reset(); }

void TNetServerProbe::Reset() {
  if (FFd >= 0) NetClose(FFd);
  FFd = -1;
  FTrying = nullptr;
  FLookup.reset();
}

bool TNetServerProbe::Next() {
  if (FFd >= 0) NetClose(FFd);
  FFd = -1;
  FTrying = FTrying ? FTrying->ai_next : nullptr;
  if (!FTrying) Reset();
  return false;
}

bool TNetServerProbe::Answers() {
  if (!FValid) return false;
  if (!FLookup) FLookup = StartNetLookup(FAddress);
  if (!FTrying) {
    std::lock_guard lock(FLookup->Mutex);
    if (!FLookup->Finished) return false;  // asked again next time
    FTrying = FLookup->Found;
  }
  if (!FTrying) return Next();
  if (FFd < 0) {
    FFd = NetSocket(*FTrying);
    if (FFd < 0) return Next();
    if (const int error = NetConnect(FFd, *FTrying); error != 0 && error != EINPROGRESS) return Next();
    FSince = std::chrono::steady_clock::now();
  }
  if (NetPoll(FFd, true, 0) <= 0) {
    // A host that drops what is sent to it is asked anew now and then:
    // the system's own retries grow too far apart.
    if (std::chrono::steady_clock::now() - FSince > std::chrono::seconds(3)) Next();
    return false;
  }
  if (NetConnectResult(FFd) != 0) return Next();
  Reset();
  return true;
}
