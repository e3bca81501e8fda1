// The terminal's receive path (parser, grid, attributes; the widget is not
// shown, so nothing is painted) against libvterm with its screen layer on an
// 80 x 24 screen, fed the same 32 MiB in 4 KiB chunks in the same run:
//   terminal_mb_s plain <ours> <libvterm> attrs <ours> <libvterm> escapes <ours> <libvterm>
//   terminal_ratio plain <ours/libvterm> attrs <...> escapes <...>
//   terminal_vt102_mb_s plain <n> attrs <n> escapes <n>
//   terminal_vt102_vs_vt100 plain <extended/specified> attrs <...> escapes <...>
// plain: lines of 70 characters with CR LF, so the grid scrolls; attrs: the
// same with a bold change and a cursor move every 10 characters; escapes:
// ESC[12;34H over and over.
#include "CPortTerm.h"
#include "CPortTermVT102.h"
#include "Forms.h"

#include <vterm.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr std::size_t Total = 32u << 20;
constexpr std::size_t Chunk = 4096;

std::string Plain() {
  std::string s;
  for (int line = 0; s.size() < Total; ++line) {
    for (int i = 0; i < 70; ++i) s += char('a' + (line + i) % 26);
    s += "\r\n";
  }
  s.resize(Total);
  return s;
}

std::string Attributed() {
  std::string s;
  char move[32];
  for (int line = 0; s.size() < Total; ++line) {
    for (int group = 0; group < 7; ++group) {
      s += group % 2 ? "\x1b[0m" : "\x1b[1m";
      for (int i = 0; i < 10; ++i) s += char('A' + (line + group + i) % 26);
      std::snprintf(move, sizeof move, "\x1b[%d;%dH", line % 24 + 1, group * 10 + 11);
      s += move;
    }
    s += "\r\n";
  }
  s.resize(Total);
  return s;
}

std::string Escapes() {
  std::string s;
  while (s.size() < Total) s += "\x1b[12;34H";
  s.resize(Total);
  return s;
}

double Seconds(const std::function<void()>& run) {
  const auto start = std::chrono::steady_clock::now();
  run();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

template <class Terminal>
double OursMbPerSecond(const std::string& input) {
  Terminal terminal;
  return Total / 1e6 / Seconds([&] {
    for (std::size_t i = 0; i < input.size(); i += Chunk) terminal.WriteStr(input.substr(i, Chunk));
  });
}

double VtermMbPerSecond(const std::string& input) {
  VTerm* vt = vterm_new(24, 80);
  vterm_set_utf8(vt, 0);
  VTermScreen* screen = vterm_obtain_screen(vt);
  vterm_screen_reset(screen, 1);
  const double seconds = Seconds([&] {
    for (std::size_t i = 0; i < input.size(); i += Chunk) {
      const std::string chunk = input.substr(i, Chunk);  // the same copy ours makes
      vterm_input_write(vt, chunk.data(), chunk.size());
    }
  });
  vterm_free(vt);
  return Total / 1e6 / seconds;
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  TApplication app(argc, argv);
  const std::string inputs[] = {Plain(), Attributed(), Escapes()};
  double ours[3], theirs[3], extended[3];
  for (int k = 0; k < 3; ++k) {
    ours[k] = OursMbPerSecond<TComTerminal>(inputs[k]);
    theirs[k] = VtermMbPerSecond(inputs[k]);
    extended[k] = OursMbPerSecond<TComTerminalVT102>(inputs[k]);
  }
  std::printf("terminal_mb_s plain %.1f %.1f attrs %.1f %.1f escapes %.1f %.1f\n", ours[0], theirs[0], ours[1],
              theirs[1], ours[2], theirs[2]);
  std::printf("terminal_ratio plain %.2f attrs %.2f escapes %.2f\n", ours[0] / theirs[0], ours[1] / theirs[1],
              ours[2] / theirs[2]);
  std::printf("terminal_vt102_mb_s plain %.1f attrs %.1f escapes %.1f\n", extended[0], extended[1], extended[2]);
  std::printf("terminal_vt102_vs_vt100 plain %.2f attrs %.2f escapes %.2f\n", extended[0] / ours[0],
              extended[1] / ours[1], extended[2] / ours[2]);
  return 0;
}
