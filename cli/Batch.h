// Configuring modules from the command line: read a module into a .dat
// file, write a file to a module and verify it, compare a module with a
// file, check a file; several modules at once, one port each. No window, no
// display, no Qt.
#pragma once

#include "Configuration.h"

#include <functional>

#include "ModuleLink.h"

#include <iosfwd>
#include <string>
#include <vector>

enum TBatchAction { baNone, baRead, baWrite, baCompare, baCheck, baReport };

struct TBatchOptions {
  std::vector<std::string> Ports;
  TBatchAction Action = baNone;
  std::string File;  // "-": standard output for --read, standard input otherwise
  bool Verify = true;
  bool SetClock = false;
  bool WithAddress = false;
  bool Json = false;
  bool Quiet = false;    // no result lines for modules that succeeded
  bool Verbose = false;  // every exchange in hex, with its time
  TLinkOptions Line;
  // Where --read puts each port's module (with several ports, one file each).
  std::vector<std::string> Files;
  // Arguments that are the window's toolkit's (-platform NAME ...).
  std::vector<std::string> WindowArgs;
  std::string OpenFile;  // the window: a .dat file to show at start (FILE.dat)
  // --report: the PDF of each module --read reads (several ports: one each,
  // named as --read's files are), or of the .dat file From (baReport).
  std::string Report;
  std::string From;
  std::vector<std::string> ReportFiles;
  // Called (on the port's worker) with each module --read read and saved.
  std::function<void(const std::string& port, const TConfiguration& read)> OnRead;
};

// What the command line asks that ends at once: --help, --version, or a
// usage error (Status bsUsage, Text the message).
class ECommandLineExit : public Exception {
public:
  ECommandLineExit(int status, const std::string& text) : Exception(text), Status(status) {}
  int Status;
};

// Reads the options (CLI11: "--opt value" and "--opt=value" alike). Without
// --read, --write, --compare or --check the window starts (Action baNone).
// program is the name --version prints.
TBatchOptions ParseBatchOptions(const std::vector<std::string>& args, const std::string& program = "hrvx3300");
// The same for a program's arguments, saying what ends it at once: the help
// or version on standard output, a usage error on standard error. The exit
// status then, else -1 with options read.
int ReadCommandLine(int argc, char** argv, const std::string& program, TBatchOptions& options);

// The file --read writes for each port: with one port the file itself, with
// several the port's device name before the extension ("module.dat" and
// /dev/ttyUSB1 give "module-ttyUSB1.dat"), with more of its path where the
// names would collide. Ports that name one device, and names that cannot be
// told apart, are a usage error.
std::vector<std::string> FilesForPorts(const std::string& file, const std::vector<std::string>& ports);

// Works on every port in parallel; reports each module as soon as it is
// done (results on out, errors and --verbose on err); returns the exit
// status. Ctrl-C, SIGTERM, SIGHUP or a closed standard output (SIGPIPE)
// abandons the exchanges under way within a second, reports every port's
// state on err and returns 128 + the signal.
int RunBatch(const TBatchOptions& options, std::ostream& out, std::ostream& err);
