// The cases of the device contract (ComDevice.h), one suite for every
// device. A harness derives the fixture Conformance from TConformanceBase,
// gives it the far end of its line, includes ConformanceCases.h inside its
// unnamed namespace and instantiates the suite with its devices. What a device cannot do is said by name.
#pragma once

#include "ComDevice.h"
#include "NetComDevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// A pause that is part of a case's scenario (a byte that comes late), not a
// wait for a state.
void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

TCommTimeouts ReadTimeouts(std::uint32_t interval, std::uint32_t multiplier, std::uint32_t constant) {
  TCommTimeouts t;
  t.ReadIntervalTimeout = interval;
  t.ReadTotalTimeoutMultiplier = multiplier;
  t.ReadTotalTimeoutConstant = constant;
  return t;
}

std::string Pattern(std::size_t size, std::uint32_t seed) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = char((i * 131 + seed + i / 251) & 0xFF);
  return s;
}

class TConformanceBase : public testing::TestWithParam<std::string> {
protected:
  // The far end of the line.
  virtual void FarWrite(const std::string& bytes) = 0;
  std::string FarRead(std::size_t count, int timeoutMs = 10000) { return FarReadWithin(count, timeoutMs); }
  virtual std::string FarReadWithin(std::size_t count, int timeoutMs) = 0;
  // The line goes: the far end closes, the server stops.
  virtual void LoseLine() = 0;
  // Why the device's modem lines cannot be tested; empty where the far end
  // sets them (SetFarModemLines).
  virtual std::string NoModemLines() const = 0;
  virtual void SetFarModemLines(std::uint32_t) {}
  // The scripted fake: no clock, no line, only scripted events.
  virtual bool Fake() const { return false; }

  // Opens the device under test at path (the system's device, or a network
  // port's) at 115200 baud, 8 data bits, and makes sure that a network
  // port's server has opened its line.
  void OpenDevice(const std::string& path, bool network) {
    const auto make = [network]() -> std::unique_ptr<TComDevice> {
      if (network) return std::make_unique<TNetComDevice>();
      return CreatePlatformComDevice();
    };
    TDCB dcb;
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.Flags = dcb_Binary;
    // The server's start-up check connected and left; ser2net may still be
    // ending that session (or a case's before) and reset the next
    // connection, or take it without opening its line yet. Until it is
    // ready (at most ten seconds), a reset (ECONNRESET when it is read,
    // EPIPE when it is written to) or a byte that does not cross means
    // "not ready yet"; anything else fails. A server opens its line once a
    // client is there: a byte that crossed says it has, and bytes from the
    // far end are no longer flushed away.
    const auto end = Clock::now() + std::chrono::seconds(10);
    for (;;) {
      Device = make();
      int result = Device->Open(path);
      if (result == 0) result = Device->SetCommState(dcb);
      if (result == 0) result = Device->SetupComm(4096, 4096);
      const bool reset = result == ECONNRESET || result == EPIPE;
      if (!network || (!reset && result != 0) || (reset && Clock::now() > end)) {
        ASSERT_EQ(result, 0) << path;
        return;
      }
      if (result == 0) {
        const int wrote = Write("s");
        ASSERT_TRUE(wrote == 0 || wrote == ECONNRESET || wrote == EPIPE) << path << ": " << wrote;
        if (wrote == 0 && FarRead(1, 2000) == "s") return;
        ASSERT_LT(Clock::now(), end) << path << ": the server did not open its line";
      }
      Device->Close();
    }
  }

  // A whole read: started, waited for; its error and the bytes it got.
  int Read(std::string& got, std::uint32_t count) {
    got.assign(count, '\0');
    TComOverlapped ov;
    int result = Device->ReadFile(got.data(), count, ov);
    if (result == ERROR_IO_PENDING) result = Device->GetOverlappedResult(ov, true);
    got.resize(result == 0 ? ov.Done : 0);
    return result;
  }
  int Write(const std::string& bytes) {
    TComOverlapped ov;
    int result = Device->WriteFile(bytes.data(), std::uint32_t(bytes.size()), ov);
    if (result == ERROR_IO_PENDING) result = Device->GetOverlappedResult(ov, true);
    return result;
  }

  std::unique_ptr<TComDevice> Device;
};

#define NOT_APPLICABLE(why) GTEST_SKIP() << "not applicable to " << GetParam() << ": " << why

}  // namespace
