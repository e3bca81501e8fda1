// The command line's options, read with CLI11.
#include "Batch.h"

#include "CPortTexts.h"
#include "PortNames.h"
#include "Version.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

namespace {

const char* const Description =
    "Configures HRVX3300 monitoring modules over a serial line: in a window, or,\n"
    "with --read, --write or --compare, from the command line without one; --check\n"
    "checks that a module can hold every value of a .dat file, without a module.";

const std::string Footer =
    "PORT is " + std::string(LocalPortForms()) + ", or a device server's port:\n" +
    NetworkPortForms("HOST", "PORT", true) +
    ", options after ?,\n"
    "such as ?timeout=5. The window's default is COM1. Several --port\n"
    "options work on their modules in parallel. FILE - is standard output for\n"
    "--read and standard input otherwise. Line settings take the Setup dialog's\n"
    "texts: --baud 115200 (any rate), --data-bits 8, --stop-bits 1 (1.5, 2),\n"
    "--parity None (Odd, Even, Mark, Space), --flow-control None (Hardware,\n"
    "Software); the module's line is 115200 8N1 without flow control.\n"
    "Each module's line names it by serial number and MAC address; results go to\n"
    "standard output, errors to standard error.\n"
    "Exit status: 0 every module succeeded; 1 a module answered but differs or\n"
    "refused (verification failed, wrong answer), or the file holds values the\n"
    "module cannot hold (--check lists them by line); 2 a port or file error\n"
    "(cannot open, no answer, device vanished, a file that is no configuration);\n"
    "64 a usage error; 128 + the signal when interrupted (130 Ctrl-C, 129 SIGHUP,\n"
    "141 a closed standard output, 143 SIGTERM).\n";

std::string Lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

[[noreturn]] void Usage(const std::string& text) { throw ECommandLineExit(bsUsage, text); }

// One of a setting's texts, as the Setup dialog offers them (any case).
template <class E>
E Setting(const std::string& option, const std::string& text, E first, E last, std::string (*toStr)(E)) {
  std::string known;
  for (int v = int(first); v <= int(last); ++v) {
    if (Lower(toStr(E(v))) == Lower(text)) return E(v);
    known += (known.empty() ? "" : ", ") + toStr(E(v));
  }
  Usage(option + ": \"" + text + "\" is not one of " + known);
}

void SetBaudRate(const std::string& text, TLinkOptions& line) {
  for (int v = br110; v <= br256000; ++v) {
    if (BaudRateToStr(TBaudRate(v)) == text) {
      line.BaudRate = TBaudRate(v);
      return;
    }
  }
  char* end = nullptr;
  const long rate = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || rate < 50 || rate > 20000000) Usage("--baud: \"" + text + "\" is not a bit rate");
  line.BaudRate = brCustom;
  line.CustomBaudRate = int(rate);
}

}  // namespace

TBatchOptions ParseBatchOptions(const std::vector<std::string>& args, const std::string& program) {
  TBatchOptions o;
  CLI::App app(Description, program);
  app.footer(Footer);
  app.get_formatter()->column_width(26);
  app.allow_extras();  // the window's toolkit takes some of its own
  app.set_help_flag("-h,--help", "Show this text and exit");
  std::string version = program + " " + HRVX3300_VERSION;
  if (*HRVX3300_COMMIT) version += std::string(" (commit ") + HRVX3300_COMMIT + ")";
  app.set_version_flag("--version", version, "Show the version and exit");

  std::string read, write, compare, check, baud, dataBits, stopBits, parity, flow;
  int timeout = 0;
  bool noVerify = false;
  app.add_option("--port", o.Ports, "The serial port (repeat for several modules)")
      ->type_name("PORT")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  auto* readOption = app.add_option("--read", read, "Save each module's whole configuration, with its IP and MAC addresses, to FILE (several ports: FILE-<port>.dat)")->type_name("FILE");
  auto* writeOption = app.add_option("--write", write, "Send the file's four channels, AUX and SYSTEM over the module's own records (what the file does not hold stays as the module has it), then read the module back and check it holds every byte sent")->type_name("FILE");
  auto* compareOption = app.add_option("--compare", compare, "List every field in which a module differs from FILE, as the window shows them")->type_name("FILE");
  auto* checkOption = app.add_option("--check", check, "Check that FILE is a configuration that can be sent, without a module")->type_name("FILE");
  std::string report, from;
  auto* reportOption = app.add_option("--report", report, "Write the configuration as a PDF report to FILE: of each module --read reads (several ports: FILE-<port>.pdf), or of --from's file")->type_name("FILE.pdf");
  auto* fromOption = app.add_option("--from", from, "With --report: the .dat file to report on (no --port)")->type_name("FILE.dat");
  auto* noVerifyFlag = app.add_flag("--no-verify", noVerify, "With --write: leave out the reading back");
  auto* clockFlag = app.add_flag("--set-clock", o.SetClock, "With --write: also set the module's clock to this computer's");
  auto* addressFlag = app.add_flag("--with-address", o.WithAddress, "With --write: also set the IP and MAC addresses of the file");
  auto* jsonFlag = app.add_flag("--json", o.Json, "One JSON object per module (one line each) instead of lines of text");
  auto* quietFlag = app.add_flag("--quiet", o.Quiet, "Print nothing for modules that succeeded");
  auto* verboseFlag = app.add_flag("--verbose", o.Verbose, "Show every exchange in hex with its time on standard error");
  auto* baudOption = app.add_option("--baud", baud, "The line's bit rate (115200)")->type_name("RATE");
  auto* dataOption = app.add_option("--data-bits", dataBits, "5, 6, 7 or 8 (8)")->type_name("BITS");
  auto* stopOption = app.add_option("--stop-bits", stopBits, "1, 1.5 or 2 (1)")->type_name("BITS");
  auto* parityOption = app.add_option("--parity", parity, "None, Odd, Even, Mark or Space (None)")->type_name("PARITY");
  auto* flowOption = app.add_option("--flow-control", flow, "None, Hardware or Software (None)")->type_name("KIND");
  auto* timeoutOption = app.add_option("--timeout", timeout, "How long a module may take to answer a command, in ms (200, the window's)")->type_name("MS");
  for (auto* a : {readOption, writeOption, compareOption, checkOption})
    for (auto* b : {readOption, writeOption, compareOption, checkOption})
      if (a != b) a->excludes(b);
  quietFlag->excludes(verboseFlag);

  // An option's value is the next argument even when it looks like an
  // option: "--write --json" would write a file called --json. A value
  // that starts with "--" goes after "=".
  for (std::size_t i = 0; i < args.size(); ++i) {
    const CLI::Option* option = args[i].rfind("--", 0) == 0 ? app.get_option_no_throw(args[i]) : nullptr;
    if (option && option->get_items_expected_min() > 0 && (i + 1 == args.size() || args[i + 1].rfind("--", 0) == 0))
      Usage(args[i] + " needs a value" + (i + 1 < args.size() ? " (one that starts with -- goes after =: " + args[i] + "=" + args[i + 1] + ")" : ""));
  }
  std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them from the back
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    throw ECommandLineExit(bsSuccess, app.help());
  } catch (const CLI::CallForVersion&) {
    throw ECommandLineExit(bsSuccess, version + "\n");
  } catch (const CLI::ParseError& e) {
    Usage(e.what());
  }

  if (readOption->count()) o.Action = baRead, o.File = read;
  if (writeOption->count()) o.Action = baWrite, o.File = write;
  if (compareOption->count()) o.Action = baCompare, o.File = compare;
  if (checkOption->count()) o.Action = baCheck, o.File = check;
  if (reportOption->count()) {
    if (fromOption->count() && o.Action != baNone) Usage("--report takes a module (--read) or a file (--from), not both");
    if (!fromOption->count() && o.Action != baRead) Usage("--report goes with --read or --from");
    if (fromOption->count()) o.Action = baReport, o.File = from;
    if (report.empty()) Usage("--report: the report's name is empty");
    o.Report = report;
  } else if (fromOption->count()) {
    Usage("--from goes with --report");
  }
  o.Verify = !noVerify;

  std::vector<std::string> extras = app.remaining();
  // The window opens one .dat file given alone (as a file manager starts it).
  if (o.Action == baNone && !extras.empty() && !extras[0].empty() && extras[0][0] != '-') {
    o.OpenFile = extras[0];
    extras.erase(extras.begin());
  }
  if (!extras.empty()) {
    // The window's toolkit takes single-dash options such as -platform.
    if (o.Action != baNone || extras[0].size() < 2 || extras[0][0] != '-' || extras[0][1] == '-')
      Usage("The following argument was not expected: " + extras[0]);
    o.WindowArgs = extras;
  }
  const auto batchOnly = [&](CLI::Option* option) {
    if (option->count() && o.Action == baNone) Usage(option->get_name() + " goes with --read, --write, --compare or --check");
  };
  for (auto* option : {noVerifyFlag, clockFlag, addressFlag, jsonFlag, quietFlag, verboseFlag, baudOption, dataOption,
                       stopOption, parityOption, flowOption, timeoutOption})
    batchOnly(option);
  for (auto* option : {noVerifyFlag, clockFlag, addressFlag})
    if (option->count() && o.Action != baWrite) Usage(option->get_name() + " goes with --write");
  if (o.Action != baNone && o.File.empty()) Usage("the file's name is empty");
  for (const std::string& port : o.Ports)
    if (port.empty()) Usage("--port: the port's name is empty");
  if ((o.Action == baCheck || o.Action == baReport) && !o.Ports.empty())
    Usage(std::string(o.Action == baCheck ? "--check" : "--report --from") + " needs no --port");
  if (o.Action != baNone && o.Action != baCheck && o.Action != baReport && o.Ports.empty()) Usage("name at least one --port");
  if (o.Action == baRead && !o.Report.empty() && o.File == "-") Usage("--report with --read needs a file to read into, not -");
  if (o.Action == baNone && o.Ports.size() > 1) Usage("the window works on one --port");
  if (o.WithAddress && o.Ports.size() > 1)
    Usage("--with-address gives every module the file's IP and MAC address, and two modules must not share one: "
          "name one --port");
  if (o.Action == baRead && o.File == "-" && o.Ports.size() > 1) Usage("--read - writes one module to standard output: name one --port");

  if (baudOption->count()) SetBaudRate(baud, o.Line);
  if (dataOption->count()) o.Line.DataBits = Setting("--data-bits", dataBits, dbFive, dbEight, DataBitsToStr);
  if (stopOption->count()) o.Line.StopBits = Setting("--stop-bits", stopBits, sbOneStopBit, sbTwoStopBits, StopBitsToStr);
  if (parityOption->count()) o.Line.Parity = Setting("--parity", parity, prNone, prSpace, ParityToStr);
  if (flowOption->count()) o.Line.FlowControl = Setting("--flow-control", flow, fcHardware, fcNone, FlowControlToStr);
  if (timeoutOption->count()) {
    if (timeout < 1 || timeout > 600000) Usage("--timeout: " + std::to_string(timeout) + " is not between 1 and 600000 ms");
    o.Line.AnswerMs = timeout;
  }
  if (o.Action != baNone && o.Action != baCheck && o.Action != baReport) {
    const std::vector<std::string> files = FilesForPorts(o.File, o.Ports);
    if (o.Action == baRead) o.Files = files;
    if (!o.Report.empty()) o.ReportFiles = FilesForPorts(o.Report, o.Ports);
  }
  return o;
}

int ReadCommandLine(int argc, char** argv, const std::string& program, TBatchOptions& options) {
  try {
    options = ParseBatchOptions(std::vector<std::string>(argv + 1, argv + argc), program);
    return -1;
  } catch (const ECommandLineExit& e) {
    if (e.Status == bsSuccess) {
      std::fputs(e.what(), stdout);
    } else {
      std::fprintf(stderr, "%s: %s\nSee %s --help.\n", program.c_str(), e.what(), program.c_str());
    }
    return e.Status;
  }
}

// ----------------------------------------------------------- file names

namespace {

#ifdef _WIN32
const char* const PathSeparators = "/\\";
#else
const char* const PathSeparators = "/";
#endif

// The device a port name stands for, so that two names of one device are
// found: /dev/pts/2 and pts/2, a link and its target.
std::string DeviceOf(const std::string& port) {
  const std::string path = ComDevicePath(port);
#ifdef _WIN32
  std::string device = path;  // COM3 and com3 are one port
  for (char& c : device) c = char(std::toupper(static_cast<unsigned char>(c)));
  return device;
#else
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) ? std::string(resolved) : path;
#endif
}

// The last parts of a port's path, joined by "-".
std::string Tail(const std::string& port, int parts) {
  std::string path = ComDevicePath(port), tail;
  for (int i = 0; i < parts && !path.empty(); ++i) {
    const auto slash = path.find_last_of(PathSeparators);
    const std::string part = path.substr(slash == std::string::npos ? 0 : slash + 1);
    path = slash == std::string::npos ? "" : path.substr(0, slash);
    if (part.empty()) {
      --i;
      continue;
    }
    tail = tail.empty() ? part : part + "-" + tail;
  }
  return tail;
}

std::string WithName(const std::string& file, const std::string& name) {
  const auto slash = file.find_last_of(PathSeparators);
  const auto dot = file.rfind('.');
  const std::size_t at = dot != std::string::npos && (slash == std::string::npos || dot > slash) ? dot : file.size();
  return file.substr(0, at) + "-" + name + file.substr(at);
}

}  // namespace

std::vector<std::string> FilesForPorts(const std::string& file, const std::vector<std::string>& ports) {
  std::map<std::string, std::string> devices;
  for (const std::string& port : ports) {
    const auto [it, fresh] = devices.emplace(DeviceOf(port), port);
    if (!fresh)
      Usage("--port " + port + (port == it->second ? " is named twice" : " and --port " + it->second + " are one device"));
  }
  if (ports.size() <= 1) return std::vector<std::string>(ports.size(), file);
  // Each port's device name; more of its path for those that collide.
  std::vector<int> parts(ports.size(), 1);
  for (int round = 0; round < 8; ++round) {
    std::map<std::string, std::vector<std::size_t>> byName;
    for (std::size_t i = 0; i < ports.size(); ++i) byName[Tail(ports[i], parts[i])].push_back(i);
    bool clash = false;
    for (const auto& [name, users] : byName) {
      if (users.size() < 2) continue;
      clash = true;
      for (std::size_t i : users) ++parts[i];
    }
    if (!clash) break;
  }
  std::vector<std::string> files;
  std::set<std::string> seen;
  for (std::size_t i = 0; i < ports.size(); ++i) {
    files.push_back(WithName(file, Tail(ports[i], parts[i])));
    if (!seen.insert(files.back()).second) Usage("the ports' files cannot be told apart: " + files.back());
  }
  return files;
}
