// The send line under the terminal: a whole line goes on Return, with the
// line end chosen, or bytes written in hex ("02 1A FF", or "0x02 1A FF"
// with the Hex box off) as they are. Up and Down walk the lines sent
// before, which the program keeps between runs.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <string>

enum TLineEnd { leNone, leCR, leLF, leCRLF };

// The bytes of a hex text: pairs of hex digits, spaces between pairs
// allowed ("02 1A FF", "021AFF"). False with a reason for anything else.
bool ParseHexBytes(const QString& text, std::string& bytes, QString& error);

class TSendLine : public QWidget {
public:
  explicit TSendLine(QWidget* parent = nullptr);

  // Sends the bytes; an exception it raises is the user's to read, and the
  // line stays as typed.
  std::function<void(const std::string& bytes)> OnSend;
  // Text as the terminal sends it (UTF-8 or Latin-1); false when a
  // character cannot go.
  std::function<bool(const QString& text, std::string& bytes)> Encode;

  TLineEnd LineEnd() const { return TLineEnd(FLineEnd->currentIndex()); }
  void SetLineEnd(TLineEnd value) { FLineEnd->setCurrentIndex(int(value)); }
  bool Hex() const { return FHex->isChecked(); }
  void SetHex(bool on) { FHex->setChecked(on); }
  // The lines sent, oldest first; at most MaxHistory are kept.
  QStringList History() const { return FHistory; }
  void SetHistory(QStringList lines);
  static constexpr int MaxHistory = 100;

  QLineEdit* Edit() const { return FEdit; }
  // What the line holds, as bytes; throws with the reason when it cannot go.
  std::string Bytes() const;
  // Sends what the line holds (Return does this).
  void Send();

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  void Recall(int step);
  QLineEdit* FEdit;
  QComboBox* FLineEnd;
  QCheckBox* FHex;
  QStringList FHistory;
  int FRecalled = -1;  // the history line shown, -1: the one being typed
  QString FTyped;      // what was typed before walking the history
};
