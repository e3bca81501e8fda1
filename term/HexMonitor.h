// The hex monitor: every byte received and sent, sixteen to a row in hex
// and as characters, marked by direction, with the time of the row's first
// byte. Capturing is a copy into a bounded store; rows are formatted only
// when they are painted, so the monitor keeps up with any line. Paused, the
// view stands still while capturing goes on.
#pragma once

#include <QAbstractScrollArea>
#include <QDateTime>

#include <cstdint>
#include <deque>
#include <string>

class THexMonitor : public QAbstractScrollArea {
public:
  explicit THexMonitor(QWidget* parent = nullptr);

  // Bytes that went one way (sent: to the device) at the time given.
  void Add(bool sent, const std::uint8_t* bytes, std::size_t count, qint64 msecsSinceEpoch);
  void Clear();
  bool Paused() const { return FPaused; }
  void SetPaused(bool value);
  // The rows kept; beyond the limit the oldest go.
  std::size_t RowCount() const { return FRows.size(); }
  static constexpr std::size_t MaxRows = 1u << 20;  // 16 MiB of traffic
  std::uint64_t DroppedRows() const { return FDropped; }
  // A row as it shows: "12:34:56.789 RX  41 42 ...  AB..".
  std::string RowText(std::size_t index) const;
  // Writes every row kept to a text file; raises Exception when it cannot.
  void SaveTo(const std::string& fileName) const;

protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

private:
  struct TRow {
    qint64 Time;
    bool Sent;
    std::uint8_t Count;
    std::uint8_t Bytes[16];
  };
  void UpdateView();

  std::deque<TRow> FRows;
  std::uint64_t FDropped = 0;
  bool FPaused = false;
  bool FUpdatePending = false;
  int FLineHeight = 1;
};
