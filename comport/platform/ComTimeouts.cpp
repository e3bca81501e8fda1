// The time-outs of reads and writes, as every device applies them.
#include "ComDevice.h"

#include <algorithm>
#include <chrono>

namespace {

// Longer than any wait anybody means: a total past it is no limit, and the
// arithmetic below never overflows.
constexpr std::uint64_t NoLimitMs = std::uint64_t(1) << 40;

std::int64_t After(std::int64_t start, std::uint64_t ms) { return ms >= NoLimitMs ? -1 : start + std::int64_t(ms); }

}  // namespace

std::int64_t ComNowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::int64_t ComReadDeadline(const TCommTimeouts& t, const TComOverlapped& ov) {
  const std::uint64_t m = t.ReadTotalTimeoutMultiplier, c = t.ReadTotalTimeoutConstant;
  if (t.ReadIntervalTimeout == MAXDWORD) {
    if (ov.Done > 0) return 0;  // the first bytes end the read
    if (c == MAXDWORD) return -1;
    const std::uint64_t total = (m == MAXDWORD ? 0 : m * ov.Requested) + c;
    return total == 0 ? 0 : After(ov.StartMs, total);
  }
  const std::uint64_t total = m * ov.Requested + c;
  std::int64_t deadline = total > 0 ? After(ov.StartMs, total) : -1;
  if (t.ReadIntervalTimeout > 0 && ov.Done > 0) {
    const std::int64_t gap = ov.LastByteMs + std::int64_t(t.ReadIntervalTimeout);
    deadline = deadline < 0 ? gap : std::min(deadline, gap);
  }
  return deadline;
}

std::int64_t ComWriteDeadline(const TCommTimeouts& t, const TComOverlapped& ov) {
  const std::uint64_t total = std::uint64_t(t.WriteTotalTimeoutMultiplier) * ov.Requested + t.WriteTotalTimeoutConstant;
  return total > 0 ? After(ov.StartMs, total) : -1;
}
