// The line that scripts/wine-tests makes for the serial tests: a
// pseudo-terminal pair that wine serves as COM250 (the port under test) and
// COM251 (its far end), made anew after a test loses it. The script names
// the folder where the two sides meet in HRVX3300_WINE_LINE: "ready" is
// there while the line is up; a test that loses the line writes "lose".
#pragma once

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <windows.h>

class TWineLine {
public:
  // Why there is no line to test on; empty when there is one.
  std::string Missing() const {
    return std::getenv("HRVX3300_WINE_LINE") ? "" : "no line to test on: scripts/wine-tests runs this test with a COM port pair";
  }
  // Waits until the line is up; false when it did not come.
  bool AwaitReady() const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!std::filesystem::exists(Folder() / "ready")) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }
  // The far end, opened plain (no overlapped calls), 115200 baud 8N1,
  // reading with a plain total time-out of 20 ms as every driver means it.
  HANDLE OpenFar() const {
    HANDLE far_ = CreateFileA("\\\\.\\COM251", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (far_ == INVALID_HANDLE_VALUE) return far_;
    DCB settings{};
    settings.DCBlength = sizeof settings;
    GetCommState(far_, &settings);
    settings.BaudRate = 115200;
    settings.ByteSize = 8;
    settings.Parity = NOPARITY;
    settings.StopBits = ONESTOPBIT;
    settings.fBinary = TRUE;
    COMMTIMEOUTS t{0, 0, 20, 0, 0};
    if (!SetCommState(far_, &settings) || !SetCommTimeouts(far_, &t)) {
      CloseHandle(far_);
      return INVALID_HANDLE_VALUE;
    }
    PurgeComm(far_, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return far_;
  }
  // The line goes: the script ends the pair (the cable is pulled).
  void Lose() const {
    std::filesystem::remove(Folder() / "ready");
    std::ofstream(Folder() / "lose") << "\n";
  }

private:
  static std::filesystem::path Folder() { return std::getenv("HRVX3300_WINE_LINE"); }
};
