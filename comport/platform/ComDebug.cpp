// Diagnostics of the devices and the component.
#include "ComDevice.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

std::mutex DebugMutex;
std::function<void(const std::string&)> DebugSink;

}  // namespace

void OutputDebugString(const std::string& text) {
  std::lock_guard lock(DebugMutex);
  if (DebugSink) {
    DebugSink(text);
    return;
  }
  static const bool enabled = std::getenv("HRVX3300_DEBUG") != nullptr;
  if (enabled) std::fprintf(stderr, "%s\n", text.c_str());
}

void SetDebugOutput(std::function<void(const std::string&)> sink) {
  std::lock_guard lock(DebugMutex);
  DebugSink = std::move(sink);
}
