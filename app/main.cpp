// Program entry: the window, or the command line's batch mode when one of
// --read, --write, --compare or --check is given.
#include "Batch.h"
#include "Forms.h"
#include "Threads.h"
#include "Unit1.h"

#include <cstdio>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
  SetMainThread();  // before any port: the command line's workers are not the UI thread
  TBatchOptions options;
  try {
    options = ParseBatchOptions(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const ECommandLineExit& e) {
    if (e.Status == bsSuccess) {
      std::fputs(e.what(), stdout);
    } else {
      std::fprintf(stderr, "hrvx3300: %s\nSee hrvx3300 --help.\n", e.what());
    }
    return e.Status;
  }
  if (options.Action != baNone) return RunBatch(options, std::cout, std::cerr);

  // The window: only the toolkit's own arguments go on to it.
  std::vector<char*> qtArgs{argv[0]};
  for (std::string& a : options.WindowArgs) qtArgs.push_back(a.data());
  int qtArgc = int(qtArgs.size());
  qtArgs.push_back(nullptr);
  if (const std::string missing = MissingDisplay(qtArgc, qtArgs.data()); !missing.empty()) {
    std::fprintf(stderr,
                 "hrvx3300: %s; without a display, use the command line "
                 "(--port NAME with --read, --write or --compare FILE.dat; see --help)\n",
                 missing.c_str());
    return 2;
  }
  TApplication app(qtArgc, qtArgs.data());
  app.SetTitle("HRVX3300");
  app.SetDesktopIdentity("org.hrvx3300.Configuration");
  try {
    TForm1 Form1;
    if (!options.Ports.empty()) Form1.ComPort1->SetPort(options.Ports[0]);
    Form1.show();
    app.exec();
  } catch (...) {
    app.HandleException(std::current_exception());
  }
  return 0;
}
