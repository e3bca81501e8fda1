// Program entry: the window, or the command line's batch mode when one of
// --read, --write, --compare or --check is given.
#include "Batch.h"
#include "Report.h"
#include "Forms.h"
#include "SysUtils.h"
#include "Threads.h"
#include "Unit1.h"

#include <QApplication>

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <iostream>
#include <string>

namespace {

// --report: the PDF is laid out with Qt's fonts, which need an application
// object (drawing offscreen when there is no display).
int RunWithReports(int argc, char** argv, TBatchOptions& options) {
  if (!MissingDisplay(argc, argv).empty()) qputenv("QT_QPA_PLATFORM", "offscreen");
  int qtArgc = 1;
  QApplication app(qtArgc, argv);
  if (options.Action == baReport) return RunReport(options, std::cout, std::cerr);
  // Each module read is reported once the batch is done, on this thread.
  std::mutex mutex;
  std::map<std::string, TConfiguration> read;
  options.OnRead = [&](const std::string& port, const TConfiguration& config) {
    std::lock_guard lock(mutex);
    read[port] = config;
  };
  int status = RunBatch(options, std::cout, std::cerr);
  for (std::size_t i = 0; i < options.Ports.size(); ++i) {
    const auto found = read.find(options.Ports[i]);
    if (found == read.end()) continue;  // not read: its failure was reported
    try {
      WriteReportPdf(ShownFrom(found->second), {options.Ports[i], QDateTime::currentDateTime(), options.Files[i]},
                     options.ReportFiles[i]);
      // With --json standard output carries JSON lines only.
      (options.Json ? std::cerr : std::cout) << options.Ports[i] << ": wrote the report to " << options.ReportFiles[i] << "\n";
    } catch (const std::exception& e) {
      std::cerr << "hrvx3300: " << options.Ports[i] << ": " << e.what() << "\n";
      status = std::max(status, int(bsPort));
    }
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  UseParentConsole();
  SetMainThread();  // before any port: the command line's workers are not the UI thread
  TBatchOptions options;
  if (const int status = ReadCommandLine(argc, argv, "hrvx3300", options); status >= 0) return status;
  if (!options.Report.empty()) return RunWithReports(argc, argv, options);
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
    // The port and folder of the last run; --port still wins.
    Form1.SettingsPath = "HKEY_CURRENT_USER\\Software\\HRVX3300";
    try {
      Form1.LoadSettings();
    } catch (const std::exception&) {
      // A damaged store: the window starts on its defaults.
    }
    if (!options.Ports.empty()) Form1.ComPort1->SetPort(options.Ports[0]);
    Form1.show();
    // A file that cannot be read says so; the window stays.
    if (!options.OpenFile.empty()) CallGuarded([&] { Form1.OpenFile(QString::fromStdString(options.OpenFile)); });
    app.exec();
  } catch (...) {
    app.HandleException(std::current_exception());
  }
  return 0;
}
