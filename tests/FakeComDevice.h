// A scripted device for what a pseudo-terminal cannot show: modem lines,
// ring, break, line errors, failing calls, and the order of calls.
#pragma once

#include "CPort.h"
#include "Threads.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <utility>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct TFakeState {
  std::mutex Mutex;
  std::condition_variable Changed;
  std::vector<std::string> Calls;     // every call, in order
  std::map<std::string, int> Failing;  // call name -> error it returns
  TDCB Dcb{};
  TCommTimeouts Timeouts{};
  std::uint32_t Mask = 0;
  std::deque<std::uint32_t> Events;  // event masks the next waits report
  std::string Input;                 // bytes in the input queue
  std::string Output;                // bytes written
  std::uint32_t Modem = 0;           // MS_ bits
  std::uint32_t Errors = 0;          // CE_ bits for the next ClearCommError
  int Waits = 0;                     // WaitCommEvent calls made
  int LostError = 0;                 // a wait under way ends with it: the line went

  // Reports events as if the line produced them.
  void Push(std::uint32_t events, const std::string& bytes = {}) {
    {
      std::lock_guard lock(Mutex);
      Input += bytes;
      Events.push_back(events);
    }
    Changed.notify_all();
  }
  // The line goes away: the wait under way (and every later one) fails.
  void Lose(int error) {
    {
      std::lock_guard lock(Mutex);
      LostError = error;
    }
    Changed.notify_all();
  }
  std::vector<std::string> TakeCalls() {
    std::lock_guard lock(Mutex);
    return std::exchange(Calls, {});
  }
  bool Called(const std::string& name) {
    std::lock_guard lock(Mutex);
    for (const auto& c : Calls)
      if (c.rfind(name, 0) == 0) return true;
    return false;
  }
};

class TFakeComDevice : public TComDevice {
public:
  explicit TFakeComDevice(std::shared_ptr<TFakeState> state) : S(std::move(state)) {}

  int Open(const std::string& path) override {
    if (int e = Log("Open " + path, "Open")) return e;
    IsOpenFlag = true;
    return 0;
  }
  int Close() override {
    Log("Close", "Close");
    IsOpenFlag = false;
    return 0;
  }
  bool IsOpen() const override { return IsOpenFlag; }
  int SetCommState(const TDCB& dcb) override {
    std::lock_guard lock(S->Mutex);
    S->Calls.push_back("SetCommState");
    if (Fails("SetCommState")) return S->Failing["SetCommState"];
    S->Dcb = dcb;
    return 0;
  }
  int SetCommTimeouts(const TCommTimeouts& t) override {
    std::lock_guard lock(S->Mutex);
    S->Calls.push_back("SetCommTimeouts");
    if (Fails("SetCommTimeouts")) return S->Failing["SetCommTimeouts"];
    S->Timeouts = t;
    return 0;
  }
  int SetupComm(std::uint32_t in, std::uint32_t out) override {
    return Log("SetupComm " + std::to_string(in) + " " + std::to_string(out), "SetupComm");
  }
  int SetCommMask(std::uint32_t mask) override {
    {
      std::lock_guard lock(S->Mutex);
      S->Mask = mask;
    }
    S->Changed.notify_all();
    return Log("SetCommMask " + std::to_string(mask), "SetCommMask");
  }
  int WaitCommEvent(std::uint32_t& events, const TComStopEvent* stop, int timeoutMs) override {
    events = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 1 << 30 : timeoutMs);
    std::unique_lock lock(S->Mutex);
    ++S->Waits;
    if (Fails("WaitCommEvent")) return S->Failing["WaitCommEvent"];
    if (!IsOpenFlag) return EBADF;
    for (;;) {
      if (!IsOpenFlag) return EBADF;  // closed meanwhile
      if (S->LostError) return S->LostError;
      if (stop && stop->IsSet()) return ERROR_WAIT_STOPPED;
      if (!S->Events.empty()) {
        events = S->Events.front() & S->Mask;
        S->Events.pop_front();
        if (events) return 0;
        continue;
      }
      if (std::chrono::steady_clock::now() >= deadline) return 0;
      S->Changed.wait_for(lock, std::chrono::milliseconds(1));
    }
  }
  int ReadFile(void* buffer, std::uint32_t count, TComOverlapped& ov) override {
    std::lock_guard lock(S->Mutex);
    S->Calls.push_back("ReadFile " + std::to_string(count));
    if (Fails("ReadFile")) return S->Failing["ReadFile"];
    if (!IsOpenFlag) return EBADF;
    if (S->LostError && S->Input.empty()) return S->LostError;
    const std::uint32_t n = std::min<std::uint32_t>(count, std::uint32_t(S->Input.size()));
    std::memcpy(buffer, S->Input.data(), n);
    S->Input.erase(0, n);
    ov.Done = n;
    ov.Completed = true;
    ov.Error = 0;
    return 0;
  }
  int WriteFile(const void* buffer, std::uint32_t count, TComOverlapped& ov) override {
    std::lock_guard lock(S->Mutex);
    S->Calls.push_back("WriteFile " + std::to_string(count));
    ov.Completed = true;
    ov.Done = 0;
    if (Fails("WriteFile")) return S->Failing["WriteFile"];
    if (!IsOpenFlag) return EBADF;
    if (S->LostError) return S->LostError;
    if (Fails("WriteComplete")) {  // issued, but the completion fails
      ov.Completed = false;
      return ERROR_IO_PENDING;
    }
    S->Output.append(static_cast<const char*>(buffer), count);
    ov.Done = count;
    S->Changed.notify_all();
    return 0;
  }
  int GetOverlappedResult(TComOverlapped& ov, bool) override {
    std::lock_guard lock(S->Mutex);
    if (!ov.Completed && Fails("WriteComplete")) {
      ov.Completed = true;
      ov.Error = S->Failing["WriteComplete"];
    }
    return ov.Error;
  }
  int PurgeComm(std::uint32_t flags) override {
    if (!IsOpenFlag) return EBADF;
    return Log("PurgeComm " + std::to_string(flags), "PurgeComm");
  }
  int ClearCommError(std::uint32_t& errors, TComStat& stat) override {
    std::lock_guard lock(S->Mutex);
    S->Calls.push_back("ClearCommError");
    if (Fails("ClearCommError")) return S->Failing["ClearCommError"];
    errors = std::exchange(S->Errors, 0);
    stat = {};
    stat.InQue = std::uint32_t(S->Input.size());
    return 0;
  }
  int GetCommModemStatus(std::uint32_t& status) override {
    std::lock_guard lock(S->Mutex);
    S->Calls.push_back("GetCommModemStatus");
    if (Fails("GetCommModemStatus")) return S->Failing["GetCommModemStatus"];
    status = S->Modem;
    return 0;
  }
  int EscapeCommFunction(std::uint32_t function) override {
    return Log("Escape " + std::to_string(function), "Escape");
  }
  int TransmitCommChar(char c) override { return Log(std::string("TransmitCommChar ") + c, "TransmitCommChar"); }

private:
  bool Fails(const std::string& name) { return S->Failing.count(name) != 0; }
  int Log(const std::string& call, const std::string& name) {
    std::lock_guard lock(S->Mutex);
    S->Calls.push_back(call);
    return Fails(name) ? S->Failing[name] : 0;
  }
  std::shared_ptr<TFakeState> S;
  std::atomic<bool> IsOpenFlag{false};  // a wait on another thread sees a close
};

// A port on the scripted device, so that nothing real is touched.
struct TFakePort : TComPort {
  TFakePort() {
    SetPort("/dev/fake0");
    SetDeviceFactory([this] { return std::make_unique<TFakeComDevice>(State); });
  }
  std::shared_ptr<TFakeState> State = std::make_shared<TFakeState>();
};

// Runs the calls queued for the UI thread until done() or the time is up.
template <class F>
bool PumpUntil(F done, int timeoutMs = 3000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    CheckSynchronize(2);
  }
  return true;
}
