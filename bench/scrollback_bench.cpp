// The scrollback's memory: a terminal keeping the most lines the menu
// allows is given that many lines of 80 columns (every tenth in colour, as
// a log with highlights has them), and the memory the process holds
// afterwards is measured against before. Every kept line is read back and
// compared with what was written.
//
//   build/bench/scrollback_bench [lines]        (1000000 by default)
#include "CPortTerm.h"
#include "CPortTermVT102.h"
#include "Forms.h"

#include <QApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

// The resident memory of this process, in MiB.
double RssMiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::strtod(line.c_str() + 6, nullptr) / 1024.0;
  return 0;
}

std::string Text(int n) {
  std::string line = "line " + std::to_string(n) + " ";
  while (line.size() < 80) line += char('a' + (line.size() + n) % 26);
  return line;
}

template <class TTerminal>
void Measure(const char* name, int lines) {
  const double before = RssMiB();
  const auto start = std::chrono::steady_clock::now();
  {
    TTerminal t;
    t.SetColumns(80);
    t.SetRows(24);
    t.SetScrollbackLimit(lines);
    std::string chunk;
    for (int i = 1; i <= lines + 24; ++i) {
      const bool colour = i % 10 == 0;
      chunk += (colour ? "\x1b[31;1m" : "") + Text(i) + (colour ? "\x1b[0m" : "") + "\r\n";
      if (chunk.size() > 65536) {
        t.WriteStr(chunk);
        chunk.clear();
      }
    }
    t.WriteStr(chunk);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double held = RssMiB() - before;
    // Every kept line as it was written.
    int wrong = 0;
    const int kept = t.HistoryLines();
    for (int line = t.FirstLine(); line <= 0; ++line) {
      const int n = line - t.FirstLine() + 1 + (lines + 25 - kept - 24);
      if (t.LineText(line).toStdString() != Text(n)) ++wrong;
    }
    std::printf("%-8s %d lines kept, %.0f MiB held, %.1f s to write, %d lines read back wrong\n", name, kept, held,
                seconds, wrong);
  }
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  TApplication app(argc, argv);
  const int lines = argc > 1 ? std::atoi(argv[1]) : 1000000;
  Measure<TComTerminal>("plain", lines);
  Measure<TComTerminalVT102>("VT102", lines);
  return 0;
}
