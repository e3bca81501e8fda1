// The commissioning report: a configuration as the window shows it (the
// module's serial number, when and where it was taken, every channel's
// settings in one table, AUX, SYSTEM, the IP and MAC addresses), written as
// a PDF or printed, by the window and by the command line.
#pragma once

#include "Batch.h"
#include "Configuration.h"

#include <QDateTime>

#include <functional>

#include <ostream>
#include <string>

class QWidget;

struct TReportSource {
  std::string Port;  // the port the module was read on; empty: not from a module
  QDateTime When;
  std::string File;  // the .dat file it came from, if any
};

// Each line's value as it is to show: the window's controls show it
// (a list's text also when no item is selected); a file shows it as
// TConfiguration::Shown does.
using TShownValue = std::function<QString(const TConfigLine& line)>;
TShownValue ShownFrom(const TConfiguration& config);

// The report as HTML, for the PDF and the printer alike.
QString ReportHtml(const TShownValue& shown, const TReportSource& source);
// Writes the report to a PDF file; raises Exception when it cannot.
void WriteReportPdf(const TShownValue& shown, const TReportSource& source, const std::string& path);
// Asks for a printer and prints the report.
void PrintReport(const TShownValue& shown, const TReportSource& source, QWidget* owner);

// The command line's --report --from FILE.dat; the exit status.
int RunReport(const TBatchOptions& options, std::ostream& out, std::ostream& err);
