#include "Report.h"

#include "ChannelFields.h"
#include "Forms.h"
#include "SysUtils.h"
#include "Unit1Items.h"

#include <QFileInfo>
#include <QBuffer>
#include <QPdfWriter>
#include <QSaveFile>
#include <QPrintDialog>
#include <QPrinter>
#include <QTextDocument>

namespace {

// What fits in a channel's column at the report's font.
constexpr int MaxCellCharacters = 12;

QString Row(const QString& caption, const QStringList& cells, bool header = false) {
  const QString tag = header ? "th" : "td";
  // Values never wrap: a MAC address broken in two is misread.
  QString row = "<tr><" + tag + " align=left>" + caption + "</" + tag + ">";
  for (const QString& cell : cells) row += "<" + tag + " nowrap>" + cell + "</" + tag + ">";
  return row + "</tr>";
}

// The caption without its group's word ("SYSTEM Baud" gives "Baud").
QString Short(const std::string& control) {
  const QString caption = QString::fromStdString(ControlCaption(control));
  return caption.mid(caption.indexOf(' ') + 1).toHtmlEscaped();
}

}  // namespace

TShownValue ShownFrom(const TConfiguration& config) {
  // The .dat file holds single-byte texts, as the window's boxes take them.
  return [config](const TConfigLine& line) {
    const std::string text = config.Values.count(line.Control) ? config.Shown(line) : std::string();
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
  };
}

QString ReportHtml(const TShownValue& value, const TReportSource& source) {
  const std::vector<TConfigLine>& layout = ConfigLayout();
  // A value longer than a cell holds is cut with an ellipsis: the page
  // keeps its layout whatever a file holds.
  const auto shown = [&](std::size_t line) {
    QString text = value(layout[line]);
    if (text.size() > MaxCellCharacters) text = text.left(MaxCellCharacters - 1) + QChar(0x2026);
    return text.toHtmlEscaped();
  };
  QString html = "<html><body style='font-family: sans-serif; font-size: 9pt'>";
  html += "<h2>HRVX3300 commissioning report</h2><table cellpadding=2>";
  html += Row("Module serial number", {shown(ConfigLineOf("Edit_Serial_Nu_Ch1"))});
  html += Row("Date and time", {source.When.toString("yyyy-MM-dd hh:mm:ss")});
  if (!source.Port.empty()) html += Row("Port", {QString::fromStdString(source.Port).toHtmlEscaped()});
  if (!source.File.empty()) html += Row("File", {QString::fromStdString(source.File).toHtmlEscaped()});
  html += "</table>";

  // The four channels side by side, one row a setting, as in the window.
  html += "<h3>Channels</h3><table border=1 cellspacing=0 cellpadding=2 width=100%>";
  html += Row("", {"CH1", "CH2", "CH3", "CH4"}, true);
  for (const TChannelField& field : ChannelFields()) {
    QStringList cells;
    for (int channel = 1; channel <= 4; ++channel) cells << shown(ConfigLineOf(field.Control + std::to_string(channel)));
    html += Row(QString(field.Caption).toHtmlEscaped(), cells);
  }
  html += "</table>";

  // AUX and SYSTEM side by side, the addresses below: one page holds all.
  const auto group = [&](const QString& title, std::size_t first, std::size_t last) {
    html += "<td valign=top><h3>" + title + "</h3><table border=1 cellspacing=0 cellpadding=2>";
    for (std::size_t line = first; line <= last; ++line) html += Row(Short(layout[line].Control), {shown(line)});
    html += "</table></td>";
  };
  html += "<table cellspacing=0 cellpadding=0><tr>";
  group("AUX", ConfigLineOf("ComboBox_Used_Temp"), ConfigLineOf("ComboBox_EvCnt"));
  html += "<td width=24></td>";
  group("SYSTEM", ConfigLineOf("Edit_Node1"), ConfigLineOf("Edit_Serial_Nu_Ch1"));
  html += "</tr></table>";
  // The addresses are optional in a file; what is missing shows empty.
  QStringList ip, mac;
  for (int k = 1; k <= 4; ++k) ip << shown(ConfigLineOf("Edit_Src_Ip" + std::to_string(k)));
  for (int k = 1; k <= 6; ++k) mac << shown(ConfigLineOf("Edit_Mac" + std::to_string(k)));
  html += "<h3>Network</h3><table border=1 cellspacing=0 cellpadding=2>";
  html += Row("IP address", {ip.join('.')});
  html += Row("MAC address", {mac.join(':')});
  html += "</table></body></html>";
  return html;
}

void WriteReportPdf(const TShownValue& shown, const TReportSource& source, const std::string& path) {
  const QString name = QString::fromStdString(path);
  const auto fail = [&](const QString& why) {
    throw Exception("Cannot write the report to \"" + path + "\": " + why.toStdString() + ". No report was written there.");
  };
  // Laid out in memory and checked whole, then written beside the target
  // and put in its place only once every byte is on disk: a report that
  // cannot be written leaves the previous file as it was.
  QBuffer bytes;
  bytes.open(QIODevice::WriteOnly);
  {
    QPdfWriter pdf(&bytes);
    pdf.setPageSize(QPageSize(QPageSize::A4));
    pdf.setPageMargins(QMarginsF(15, 15, 15, 15), QPageLayout::Millimeter);
    pdf.setTitle("HRVX3300 commissioning report");
    pdf.setCreator("HRVX3300 Configuration Program");
    QTextDocument document;
    document.setHtml(ReportHtml(shown, source));
    document.print(&pdf);
  }
  const QByteArray& data = bytes.data();
  if (!data.startsWith("%PDF-") || !data.trimmed().endsWith("%%EOF")) fail("the PDF could not be laid out");
  QSaveFile file(name);
  if (!file.open(QIODevice::WriteOnly)) fail(file.errorString());
  if (file.write(data) != data.size()) fail(file.errorString());
  if (!file.commit()) fail(file.errorString());
  if (QFileInfo(name).size() != data.size()) fail("the file on disk is not the report that was written");
}

void PrintReport(const TShownValue& shown, const TReportSource& source, QWidget* owner) {
  QPrinter printer;
  printer.setDocName("HRVX3300 commissioning report");
  QPrintDialog dialog(&printer, owner);
  if (dialog.exec() != QDialog::Accepted) return;
  QTextDocument document;
  document.setHtml(ReportHtml(shown, source));
  document.print(&printer);
}

int RunReport(const TBatchOptions& options, std::ostream& out, std::ostream& err) {
  try {
    const TConfiguration config = TConfiguration::Load(options.File);
    WriteReportPdf(ShownFrom(config), {"", QDateTime::currentDateTime(), options.File}, options.Report);
    out << "wrote the report of " << options.File << " to " << options.Report << "\n";
    return 0;
  } catch (const std::exception& e) {
    err << "hrvx3300: " << e.what() << "\n";
    return bsPort;  // the file could not be read or the report not written
  }
}
