// Program entry: the window, or the command line's batch mode when one of
// --read, --write or --compare is given.
#include "Batch.h"
#include "Forms.h"
#include "Threads.h"
#include "Unit1.h"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

namespace {

const char* const Usage =
    "Usage: hrvx3300 [--port NAME]\n"
    "       hrvx3300 --port NAME [--port NAME ...] --read FILE.dat\n"
    "       hrvx3300 --port NAME [--port NAME ...] --write FILE.dat [--no-verify] [--set-clock] [--with-address]\n"
    "       hrvx3300 --port NAME [--port NAME ...] --compare FILE.dat\n"
    "Configures HRVX3300 monitoring modules over a serial line: in a window, or,\n"
    "with --read, --write or --compare, from the command line without one.\n"
    "  --port NAME       the serial port: a device path such as /dev/ttyUSB0, a\n"
    "                    name under /dev such as ttyUSB0, or COMn for /dev/ttyS(n-1);\n"
    "                    the window's default is COM1. Several ports work on their\n"
    "                    modules in parallel.\n"
    "  --read FILE       save each module's whole configuration, with its IP and MAC\n"
    "                    addresses, to FILE (with several ports, FILE-<port>.dat)\n"
    "  --write FILE      send the file's four channels, AUX and SYSTEM, then read the\n"
    "                    module back and check it holds them (the module keeps its\n"
    "                    own serial number)\n"
    "    --no-verify     leave out the reading back\n"
    "    --set-clock     also set the module's clock to this computer's\n"
    "    --with-address  also set the IP and MAC addresses of the file\n"
    "  --compare FILE    list every field in which a module differs from the file\n"
    "  --json            one JSON object per port instead of lines of text\n"
    "  --help            show this text\n"
    "Exit status: 0 every module succeeded; 1 a module answered but differs or\n"
    "refused (verification failed, short answer); 2 a port or file error (cannot\n"
    "open, no answer, device vanished); 64 a usage error.\n";

}  // namespace

int main(int argc, char** argv) {
  SetMainThread();  // before any port: the command line's workers are not the UI thread
  std::vector<std::string> args(argv + 1, argv + argc);
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      std::fputs(Usage, stdout);
      return 0;
    }
  }
  TBatchOptions options;
  try {
    options = ParseBatchOptions(args);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "hrvx3300: %s\n%s", e.what(), Usage);
    return bsUsage;
  }
  if (options.Action != baNone) return RunBatch(options, std::cout);

  if (const std::string missing = MissingDisplay(argc, argv); !missing.empty()) {
    std::fprintf(stderr,
                 "hrvx3300: %s; without a display, use the command line "
                 "(--port NAME with --read, --write or --compare FILE.dat; see --help)\n",
                 missing.c_str());
    return 2;
  }
  TApplication app(argc, argv);
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
