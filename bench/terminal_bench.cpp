// The terminal's receive path (parser, grid, attributes; the widget is not
// shown, so nothing is painted) against libvterm with its screen layer on an
// 80 x 24 screen, fed the same 8 MiB in 4 KiB chunks in the same run. Each
// of the three runs afresh seven times, in turns, each turn starting with
// another; after every run the screen must be libvterm's, cell for cell.
//   terminal_mb_s <input> vt100 <median> (<min>-<max>) vt102 <...> libvterm <...>
//   terminal_ratio plain <vt100/libvterm> attrs <...> escapes <...> (medians)
//   terminal_vt102_ratio plain <vt102/libvterm> attrs <...> escapes <...>
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

constexpr std::size_t Total = 8u << 20;
constexpr int Repeats = 7;
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

using TScreen = std::vector<std::string>;  // rows, trailing blanks cut

std::string Trimmed(std::string row) {
  row.erase(row.find_last_not_of(' ') + 1);
  return row;
}

// One run: the seconds it took, and the screen it left.
struct TRun {
  double Seconds = 0;
  TScreen Screen;
};

template <class Terminal>
TRun Ours(const std::string& input) {
  Terminal terminal;
  TRun run;
  run.Seconds = Seconds([&] {
    for (std::size_t i = 0; i < input.size(); i += Chunk) terminal.WriteStr(input.substr(i, Chunk));
  });
  for (int r = 1; r <= terminal.Rows(); ++r) {
    std::string row;
    for (int c = 1; c <= terminal.Columns(); ++c) row += terminal.CellText(c, r).toStdString();
    run.Screen.push_back(Trimmed(row));
  }
  return run;
}

TRun Vterm(const std::string& input) {
  VTerm* vt = vterm_new(24, 80);
  vterm_set_utf8(vt, 0);
  VTermScreen* screen = vterm_obtain_screen(vt);
  vterm_screen_reset(screen, 1);
  TRun run;
  run.Seconds = Seconds([&] {
    for (std::size_t i = 0; i < input.size(); i += Chunk) {
      const std::string chunk = input.substr(i, Chunk);  // the same copy ours makes
      vterm_input_write(vt, chunk.data(), chunk.size());
    }
  });
  for (int r = 0; r < 24; ++r) {
    std::string row;
    for (int c = 0; c < 80; ++c) {
      VTermScreenCell cell;
      vterm_screen_get_cell(screen, VTermPos{r, c}, &cell);
      row += cell.chars[0] ? char(cell.chars[0]) : ' ';
    }
    run.Screen.push_back(Trimmed(row));
  }
  vterm_free(vt);
  return run;
}

struct TSpread {
  double Median, Min, Max;
};

TSpread Spread(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return {v[v.size() / 2], v.front(), v.back()};
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  TApplication app(argc, argv);
  const char* const names[] = {"plain", "attrs", "escapes"};
  const char* const labels[] = {"vt100", "vt102", "libvterm"};
  const std::string inputs[] = {Plain(), Attributed(), Escapes()};
  const std::function<TRun(const std::string&)> terminals[] = {Ours<TComTerminal>, Ours<TComTerminalVT102>, Vterm};
  double medians[3][3];  // input, terminal
  for (int k = 0; k < 3; ++k) {
    const TScreen reference = Vterm(inputs[k]).Screen;  // also warms the caches
    std::vector<double> rates[3];
    for (int repeat = 0; repeat < Repeats; ++repeat) {
      for (int turn = 0; turn < 3; ++turn) {
        const int which = (repeat + turn) % 3;
        const TRun run = terminals[which](inputs[k]);
        if (run.Screen != reference) {
          std::fprintf(stderr, "terminal_bench: %s: the %s screen differs from libvterm's\n", names[k], labels[which]);
          return 1;
        }
        rates[which].push_back(Total / 1e6 / run.Seconds);
      }
    }
    std::printf("terminal_mb_s %s", names[k]);
    for (int which = 0; which < 3; ++which) {
      const TSpread s = Spread(rates[which]);
      medians[k][which] = s.Median;
      std::printf(" %s %.1f (%.1f-%.1f)", labels[which], s.Median, s.Min, s.Max);
    }
    std::printf("\n");
  }
  for (int which = 0; which < 2; ++which)
    std::printf("terminal%s_ratio plain %.2f attrs %.2f escapes %.2f\n", which == 0 ? "" : "_vt102",
                medians[0][which] / medians[0][2], medians[1][which] / medians[1][2], medians[2][which] / medians[2][2]);
  return 0;
}
