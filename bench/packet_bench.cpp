// The data packet cutting 64 MiB fed in 4 KiB chunks:
//   packet_mb_s framed <n> unbounded <n> sized <n>
//   packet_linearity <time for 64 MiB / (2 x time for 32 MiB), one unbounded packet>
// framed: 100-byte packets between a start and a stop string; unbounded: one
// packet without a size limit whose stop string comes only at the end;
// sized: packets of 16 bytes. Linear cost gives a linearity of about 1.0.
#include "CPortDataPacket.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <malloc.h>
#include <vector>

namespace {

constexpr std::size_t Total = 64u << 20;
constexpr std::size_t Chunk = 4096;

std::vector<std::string> Chunks(const std::string& stream) {
  std::vector<std::string> chunks;
  for (std::size_t i = 0; i < stream.size(); i += Chunk) chunks.push_back(stream.substr(i, Chunk));
  return chunks;
}

// Seconds to feed the chunks; checks that the expected bytes came out.
double Feed(TComDataPacket& packet, const std::vector<std::string>& chunks, std::size_t expected) {
  std::size_t out = 0;
  packet.OnPacket = [&](TComDataPacket*, const std::string& s) { out += s.size(); };
  const auto start = std::chrono::steady_clock::now();
  for (const std::string& c : chunks) packet.AddData(c);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (out != expected) std::fprintf(stderr, "packet bytes %zu, expected %zu\n", out, expected);
  return seconds;
}

double Unbounded(std::size_t size) {
  std::string stream(size - 3, 'x');
  stream += "END";
  TComDataPacket packet;
  packet.SetMaxBufferSize(0);
  packet.SetStopString("END");
  return Feed(packet, Chunks(stream), size - 3);
}

}  // namespace

int main() {
  // Large blocks stay with the allocator once freed, so every run works on
  // memory already touched: otherwise blocks above 32 MiB come fresh from the
  // system each time and the 64 MiB runs pay page faults the 32 MiB runs
  // do not.
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  std::string framed;
  while (framed.size() + 100 <= Total) framed += "<" + std::string(98, 'p') + ">";
  TComDataPacket a;
  a.SetStartString("<");
  a.SetStopString(">");
  const double framedSeconds = Feed(a, Chunks(framed), framed.size() / 100 * 98);

  // The unbounded runs alternate, three of each, and the medians count, so
  // that neither size alone pays for the first touch of fresh memory.
  std::vector<double> full, half;
  for (int i = 0; i < 3; ++i) {
    half.push_back(Unbounded(Total / 2));
    full.push_back(Unbounded(Total));
  }
  std::sort(full.begin(), full.end());
  std::sort(half.begin(), half.end());
  const double unboundedSeconds = full[1];
  const double halfSeconds = half[1];

  TComDataPacket c;
  c.SetSize(16);
  const double sizedSeconds = Feed(c, Chunks(std::string(Total, 's')), Total);

  const double mb = Total / 1e6;
  std::printf("packet_mb_s framed %.0f unbounded %.0f sized %.0f\n", framed.size() / 1e6 / framedSeconds,
              mb / unboundedSeconds, mb / sizedSeconds);
  std::printf("packet_linearity %.2f\n", unboundedSeconds / (2 * halfSeconds));
  return 0;
}
