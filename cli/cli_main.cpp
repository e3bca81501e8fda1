// The command line without the window: --read, --write, --compare and
// --check with the options, output and exit statuses of hrvx3300's. Built
// where there is no Qt (Windows here); --report, which lays out its PDF
// with Qt, is the window's program's alone.
#include "Batch.h"
#include "Threads.h"

#include <cstdio>
#include <iostream>

int main(int argc, char** argv) {
  SetMainThread();  // before any port: the workers are not the UI thread
  TBatchOptions options;
  if (const int status = ReadCommandLine(argc, argv, "hrvx3300-cli", options); status >= 0) return status;
  const char* refused = !options.Report.empty() ? "--report needs the window's program (hrvx3300), which lays out the PDF"
                        : options.Action == baNone ? "name what to do: --read, --write, --compare or --check (this program has no window)"
                                                   : nullptr;
  if (refused) {
    std::fprintf(stderr, "hrvx3300-cli: %s\nSee hrvx3300-cli --help.\n", refused);
    return bsUsage;
  }
  return RunBatch(options, std::cout, std::cerr);
}
