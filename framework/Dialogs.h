// The open and save file dialogs, with a hook through which tests answer them.
#pragma once

#include <QString>
#include <QWidget>

#include <functional>

class TFileDialog {
public:
  enum TKind { dkOpen, dkSave };
  explicit TFileDialog(TKind kind, QWidget* owner = nullptr) : Kind(kind), Owner(owner) {}

  // Runs the dialog; true when the user chose a file, then held in FileName.
  bool Execute();

  TKind Kind;
  QString FileName;  // initial name on entry, the choice on return
  QString Filter;    // "description|pattern|description|pattern..."
  QString Directory;  // where the dialog starts; empty: where Qt chooses

  // When set, Execute asks this instead of showing a dialog.
  static std::function<bool(TFileDialog&)> Answer;

private:
  QWidget* Owner;
};

// "*.dat|*.dat" in the notation of Qt's file dialogs: "*.dat (*.dat)".
QString QtFileFilter(const QString& filter);
