#include "Dialogs.h"

#include <QFileDialog>
#include <QStringList>

std::function<bool(TFileDialog&)> TFileDialog::Answer;

QString QtFileFilter(const QString& filter) {
  const QStringList parts = filter.split('|');
  QStringList entries;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString patterns = parts[i + 1];
    patterns.replace(';', ' ');
    entries << parts[i] + " (" + patterns + ")";
  }
  return entries.join(";;");
}

bool TFileDialog::Execute() {
  if (Answer) return Answer(*this);
  QFileDialog dialog(Owner);
  // Titled as Qt's own dialog and Windows' are; wine's leaves it empty.
  dialog.setWindowTitle(Kind == dkSave ? "Save As" : "Open");
  dialog.setAcceptMode(Kind == dkSave ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
  dialog.setFileMode(Kind == dkSave ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
  // The chosen name is used as typed: no extension added, no overwrite question.
  dialog.setOption(QFileDialog::DontConfirmOverwrite);
  dialog.setNameFilter(QtFileFilter(Filter));
  if (!Directory.isEmpty()) dialog.setDirectory(Directory);
  // An initial name that is only a pattern ("*.dat") is a filter, not a file.
  if (!FileName.contains('*')) dialog.selectFile(FileName);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
  FileName = dialog.selectedFiles().first();
  return true;
}
