#include "HexMonitor.h"

#include "SysUtils.h"

#include <QAccessibleWidget>
#include <QFontDatabase>
#include <QPainter>
#include <QScrollBar>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// What a screen reader reads: the rows in view.
class THexMonitorAccessible : public QAccessibleWidget {
public:
  explicit THexMonitorAccessible(THexMonitor* monitor) : QAccessibleWidget(monitor, QAccessible::List) {}
  QString text(QAccessible::Text t) const override {
    if (t != QAccessible::Value) return QAccessibleWidget::text(t);
    auto* monitor = static_cast<THexMonitor*>(widget());
    const std::size_t first = std::size_t(monitor->verticalScrollBar()->value());
    QStringList rows;
    for (std::size_t i = first; i < monitor->RowCount() && i < first + 64; ++i)
      rows << QString::fromStdString(monitor->RowText(i));
    return rows.join('\n');
  }
};

QAccessibleInterface* HexMonitorAccessibleFactory(const QString&, QObject* object) {
  if (auto* monitor = dynamic_cast<THexMonitor*>(object)) return new THexMonitorAccessible(monitor);
  return nullptr;
}

}  // namespace

THexMonitor::THexMonitor(QWidget* parent) : QAbstractScrollArea(parent) {
  static const bool installed = [] {
    QAccessible::installFactory(HexMonitorAccessibleFactory);
    return true;
  }();
  (void)installed;
  QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  setFont(font);
  FLineHeight = std::max(1, fontMetrics().height());
  setFocusPolicy(Qt::StrongFocus);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  verticalScrollBar()->setSingleStep(1);
  setAccessibleName("Hex monitor");
  setAccessibleDescription("Bytes received (RX) and sent (TX), sixteen to a row, with their time");
}

void THexMonitor::Add(bool sent, const std::uint8_t* bytes, std::size_t count, qint64 msecsSinceEpoch) {
  while (count > 0) {
    // The last row goes on while it has room, the direction is the same and
    // no second has passed.
    if (FRows.empty() || FRows.back().Sent != sent || FRows.back().Count == 16 ||
        msecsSinceEpoch - FRows.back().Time >= 1000) {
      if (FRows.size() == MaxRows) {
        FRows.pop_front();
        ++FDropped;
      }
      FRows.push_back(TRow{msecsSinceEpoch, sent, 0, {}});
    }
    TRow& row = FRows.back();
    const std::size_t n = std::min<std::size_t>(count, 16 - row.Count);
    std::memcpy(row.Bytes + row.Count, bytes, n);
    row.Count = std::uint8_t(row.Count + n);
    bytes += n;
    count -= n;
  }
  // The view catches up once the events waiting are done, not per chunk.
  if (!FUpdatePending) {
    FUpdatePending = true;
    QTimer::singleShot(0, this, [this] { UpdateView(); });
  }
}

void THexMonitor::Clear() {
  FRows.clear();
  FDropped = 0;
  UpdateView();
}

void THexMonitor::SetPaused(bool value) {
  FPaused = value;
  UpdateView();
}

std::string THexMonitor::RowText(std::size_t index) const {
  const TRow& row = FRows[index];
  const QString time = QDateTime::fromMSecsSinceEpoch(row.Time).toString("hh:mm:ss.zzz");
  std::string text = time.toStdString() + (row.Sent ? " TX " : " RX ");
  char hex[4];
  for (int i = 0; i < 16; ++i) {
    if (i < row.Count) {
      std::snprintf(hex, sizeof hex, " %02X", row.Bytes[i]);
      text += hex;
    } else {
      text += "   ";
    }
    if (i == 7) text += ' ';
  }
  text += "  ";
  for (int i = 0; i < row.Count; ++i) text += row.Bytes[i] >= 0x20 && row.Bytes[i] < 0x7F ? char(row.Bytes[i]) : '.';
  return text;
}

void THexMonitor::SaveTo(const std::string& fileName) const {
  std::FILE* file = std::fopen(fileName.c_str(), "wb");
  if (!file) throw Exception("Cannot save \"" + fileName + "\": " + std::strerror(errno));
  bool ok = true;
  if (FDropped > 0) ok = std::fprintf(file, "(%llu older rows were dropped)\n", (unsigned long long)FDropped) > 0;
  for (std::size_t i = 0; ok && i < FRows.size(); ++i) {
    const std::string line = RowText(i) + "\n";
    ok = std::fwrite(line.data(), 1, line.size(), file) == line.size();
  }
  const int error = errno;
  if (std::fclose(file) != 0 || !ok)
    throw Exception("Cannot save \"" + fileName + "\": " + std::strerror(ok ? errno : error));
}

void THexMonitor::UpdateView() {
  FUpdatePending = false;
  QScrollBar* bar = verticalScrollBar();
  const int visible = std::max(1, viewport()->height() / FLineHeight);
  const bool atEnd = bar->value() >= bar->maximum();
  bar->setPageStep(visible);
  bar->setRange(0, std::max(0, int(FRows.size()) - visible));
  if (!FPaused && atEnd) bar->setValue(bar->maximum());  // following the line
  viewport()->update();
}

void THexMonitor::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  UpdateView();
}

void THexMonitor::paintEvent(QPaintEvent*) {
  QPainter painter(viewport());
  painter.fillRect(viewport()->rect(), palette().base());
  const std::size_t first = std::size_t(verticalScrollBar()->value());
  const int ascent = fontMetrics().ascent();
  for (int y = 0; first + std::size_t(y) < FRows.size() && y * FLineHeight < viewport()->height(); ++y) {
    const std::size_t index = first + std::size_t(y);
    // Received rows in the text colour, sent ones in the link colour.
    painter.setPen(FRows[index].Sent ? palette().link().color() : palette().text().color());
    painter.drawText(4, y * FLineHeight + ascent, QString::fromStdString(RowText(index)));
  }
}
