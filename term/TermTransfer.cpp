// Sending and receiving files: the dialogs that ask what and how, the
// progress shown while it runs, and raw sending with pacing for devices
// without flow control. The protocols themselves are ModemTransfer's.
#include "TermForm.h"

#include "CPortTexts.h"
#include "Dialogs.h"
#include "Forms.h"

#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFileInfo>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

// A line edit for a path with a button that browses for it.
QWidget* PathField(QWidget* parent, QLineEdit*& edit, const QString& name, const std::function<QString()>& browse) {
  auto* box = new QWidget(parent);
  auto* row = new QHBoxLayout(box);
  row->setContentsMargins(0, 0, 0, 0);
  edit = new QLineEdit(box);
  edit->setAccessibleName(name);
  auto* button = new QPushButton("&Browse...", box);
  button->setAccessibleName("Browse for the " + name.toLower());
  row->addWidget(edit, 1);
  row->addWidget(button);
  QObject::connect(button, &QPushButton::clicked, box, [edit, browse] {
    const QString chosen = browse();
    if (!chosen.isEmpty()) edit->setText(chosen);
  });
  return box;
}

}  // namespace

void TTermForm::SendFileClick() {
  if (!ComPort.Connected()) throw Exception("Connect to the port first: the file goes down the line.");
  if (Transferring()) throw Exception("A transfer is under way.");
  QDialog dialog(this);
  dialog.setWindowTitle("Send file");
  auto* form = new QFormLayout(&dialog);
  QLineEdit* file = nullptr;
  form->addRow("&File:", PathField(&dialog, file, "File to send", [&] {
                 return QFileDialog::getOpenFileName(&dialog, "Send file", QString(), QString(), nullptr,
                                                     QFileDialog::DontUseNativeDialog);
               }));
  auto* protocol = new QComboBox(&dialog);
  protocol->addItems({"Raw (as it is)", "XMODEM", "XMODEM-CRC", "XMODEM-1K", "YMODEM", "ZMODEM"});
  protocol->setCurrentIndex(3);
  protocol->setAccessibleName("Protocol");
  form->addRow("&Protocol:", protocol);
  auto* charDelay = new QSpinBox(&dialog);
  auto* lineDelay = new QSpinBox(&dialog);
  for (QSpinBox* box : {charDelay, lineDelay}) {
    box->setRange(0, 10000);
    box->setSuffix(" ms");
  }
  charDelay->setValue(RawCharDelay);
  lineDelay->setValue(RawLineDelay);
  charDelay->setAccessibleName("Pause after each character (raw)");
  lineDelay->setAccessibleName("Pause after each line (raw)");
  form->addRow("Pause after each &character:", charDelay);
  form->addRow("Pause after each &line:", lineDelay);
  const auto rawOnly = [&] {
    charDelay->setEnabled(protocol->currentIndex() == 0);
    lineDelay->setEnabled(protocol->currentIndex() == 0);
  };
  connect(protocol, &QComboBox::currentIndexChanged, &dialog, rawOnly);
  rawOnly();
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  buttons->button(QDialogButtonBox::Ok)->setText("Send");
  connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  form->addRow(buttons);
  if (dialog.exec() != QDialog::Accepted || file->text().isEmpty()) return;
  const std::string path = file->text().toStdString();
  if (protocol->currentIndex() == 0) {
    // Kept for the next raw send, and for pastes.
    RawCharDelay = charDelay->value();
    RawLineDelay = lineDelay->value();
    return StartRawSending(path, RawCharDelay, RawLineDelay);
  }
  StartSending(TModemProtocol(protocol->currentIndex() - 1), {path});
}

void TTermForm::ReceiveFileClick() {
  if (!ComPort.Connected()) throw Exception("Connect to the port first: the file comes down the line.");
  if (Transferring()) throw Exception("A transfer is under way.");
  QDialog dialog(this);
  dialog.setWindowTitle("Receive file");
  auto* form = new QFormLayout(&dialog);
  auto* protocol = new QComboBox(&dialog);
  protocol->addItems({"XMODEM", "XMODEM-CRC or 1K", "YMODEM", "ZMODEM"});
  protocol->setCurrentIndex(2);
  protocol->setAccessibleName("Protocol");
  form->addRow("&Protocol:", protocol);
  QLineEdit* target = nullptr;
  form->addRow("&Save to:", PathField(&dialog, target, "File or folder to save to", [&] {
                 return protocol->currentIndex() >= 2
                            ? QFileDialog::getExistingDirectory(&dialog, "Receive into", QString(),
                                                                QFileDialog::DontUseNativeDialog)
                            : QFileDialog::getSaveFileName(&dialog, "Receive as", QString(), QString(), nullptr,
                                                           QFileDialog::DontUseNativeDialog);
               }));
  // The folder used last time, else the user's own.
  if (ReceiveInto.isEmpty()) ReceiveInto = QDir::homePath();
  target->setText(ReceiveInto);
  auto* hint = new QLabel(&dialog);
  hint->setWordWrap(true);
  const auto explain = [&] {
    hint->setText(protocol->currentIndex() >= 2
                      ? "A folder: the files keep the names the sender gives them."
                      : "A file. XMODEM sends whole blocks: the end of the file may carry padding (Ctrl+Z).");
  };
  connect(protocol, &QComboBox::currentIndexChanged, &dialog, explain);
  explain();
  form->addRow(hint);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  buttons->button(QDialogButtonBox::Ok)->setText("Receive");
  connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  form->addRow(buttons);
  if (dialog.exec() != QDialog::Accepted || target->text().isEmpty()) return;
  const TModemProtocol protocols[] = {mpXmodem, mpXmodemCrc, mpYmodem, mpZmodem};
  const QFileInfo chosen(target->text());
  const bool intoFolder = protocol->currentIndex() >= 2;
  if (intoFolder && !chosen.isDir()) throw Exception(target->text().toStdString() + " is not a folder: the files come into one.");
  if (!intoFolder && chosen.exists()) {
    if (chosen.isDir()) throw Exception(target->text().toStdString() + " is a folder: XMODEM saves to a file, name one.");
    // It stays as it is until the new one has come whole.
    if (!AskYesNo(this, "\"" + chosen.fileName() + "\" is there already. Replace it once the file has come whole?")) return;
  }
  ReceiveInto = chosen.isDir() ? chosen.filePath() : chosen.path();
  StartReceiving(protocols[protocol->currentIndex()], target->text().toStdString());
}

// ------------------------------------------------------ a transfer running

void TTermForm::StartSending(TModemProtocol protocol, const std::vector<std::string>& files) {
  std::unique_ptr<TModemTransfer> sender;
  if (protocol == mpZmodem) sender = std::make_unique<TZmodemSender>(files);
  else sender = std::make_unique<TModemSender>(protocol, files);
  BeginTransfer(std::move(sender), "Send file", QString("Sending with %1...").arg(ModemProtocolName(protocol)));
}

void TTermForm::StartReceiving(TModemProtocol protocol, const std::string& target) {
  std::unique_ptr<TModemTransfer> receiver;
  if (protocol == mpZmodem) receiver = std::make_unique<TZmodemReceiver>(target);
  else receiver = std::make_unique<TModemReceiver>(protocol, target);
  BeginTransfer(std::move(receiver), "Receive file",
                QString("Waiting for the sender (%1)...").arg(ModemProtocolName(protocol)));
}

void TTermForm::ZmodemStarts(TZmodemStart start) {
  // What came since the start header, held back from the screen, is the
  // transfer's first input. Its answers go only once that has been read:
  // a far end that has already given up (sz nosuchfile) is gone, and they
  // would land in its shell.
  StartPending = false;
  const std::string started = std::exchange(StartBytes, std::string());
  Terminal->ShowReceived = true;
  const auto begin = [this, &started](const std::function<void()>& startTransfer) {
    HoldSends = true;
    startTransfer();
    if (Transfer && !started.empty())
      Transfer->Received(reinterpret_cast<const std::uint8_t*>(started.data()), started.size());
    HoldSends = false;
    const std::string answers = std::exchange(HeldSends, std::string());
    if (!Transfer) return;
    if (!Transfer->Finished() && !answers.empty()) Transfer->Send(answers);
    ShowFarText(Transfer->TakeText());
    PumpTransfer();
  };
  if (Transferring() || !ComPort.Connected()) return;
  if (start == zsFarSends) {
    if (ReceiveInto.isEmpty() || !QFileInfo(ReceiveInto).isDir()) ReceiveInto = QDir::homePath();
    return begin([this] { StartReceiving(mpZmodem, ReceiveInto.toStdString()); });
  }
  const QStringList chosen = ChooseFilesToSend ? ChooseFilesToSend()
                                               : QFileDialog::getOpenFileNames(this, "Send files by ZMODEM", QString(),
                                                                               QString(), nullptr,
                                                                               QFileDialog::DontUseNativeDialog);
  if (chosen.isEmpty()) {
    // The far receiver is told that nothing comes, and stops.
    if (ComPort.Connected()) ComPort.WriteStr(ModemCancelSequence());
    return;
  }
  std::vector<std::string> files;
  for (const QString& file : chosen) files.push_back(file.toStdString());
  begin([this, &files] { StartSending(mpZmodem, files); });
}

void TTermForm::PumpTransfer() {
  if (PumpQueued || !Transfer || !Transfer->HasMoreToSend()) return;
  PumpQueued = true;
  QTimer::singleShot(0, this, Guarded([this] {
                       PumpQueued = false;
                       if (!Transfer) return;
                       Transfer->Tick();
                       PumpTransfer();
                     }));
}

void TTermForm::BeginTransfer(std::unique_ptr<TModemTransfer> transfer, const QString& title, const QString& label) {
  if (EndedTransfer) ReleaseEndedTransfer();
  Transfer = std::move(transfer);
  Transfer->Send = [this](const std::string& bytes) {
    if (HoldSends) {
      HeldSends += bytes;
      return;
    }
    try {
      ComPort.WriteStr(bytes);
    } catch (const EComPort& e) {
      QTimer::singleShot(0, this, [this, message = Q(ComErrorText(e))] { TransferEnded(false, message); });
    }
  };
  Transfer->OnProgress = [this] { ShowTransferProgress(); };
  Transfer->OnFinished = [this](bool ok, const std::string& message) {
    // The transfer ends once its own call has returned.
    QTimer::singleShot(0, this, [this, ok, message = Q(message)] { TransferEnded(ok, message); });
  };
  // The terminal stays out of the way: protocol bytes are not text.
  Terminal->SetComPort(nullptr);
  ShowProgress(title, label);
  TransferTimer.start();
  Transfer->Start();
  ShowTransferProgress();
  PumpTransfer();
}

void TTermForm::ShowProgress(const QString& title, const QString& label) {
  TransferResult.clear();
  Progress = new QProgressDialog(label, "Cancel", 0, 1000, this);
  // File names come from the line: shown as they are, never as markup.
  auto* text = new QLabel(label, Progress);
  text->setTextFormat(Qt::PlainText);
  Progress->setLabel(text);
  Progress->setWindowTitle(title);
  Progress->setMinimumDuration(0);
  Progress->setAutoClose(false);
  Progress->setAutoReset(false);
  connect(Progress, &QProgressDialog::canceled, this, [this] { CancelTransfer(); });
}

void TTermForm::ShowTransferProgress() {
  if (!Progress) return;
  std::uint64_t done = 0, size = 0;
  QString name;
  if (Transfer) {
    done = Transfer->Done();
    size = Transfer->FileSize();
    name = Q(Transfer->FileName()).section('/', -1);
    if (Transfer->Errors() > 0) name += " (" + Q(Counted(std::size_t(Transfer->Errors()), "block")) + " again)";
  } else {
    done = RawDone;
    size = RawSize;
  }
  if (size > 0) {
    Progress->setMaximum(1000);
    Progress->setValue(int(std::min<std::uint64_t>(1000, done * 1000 / size)));
  } else {
    Progress->setMaximum(0);  // how much is to come is not known
  }
  Progress->setLabelText(QString("%1\n%2 of %3 bytes").arg(name).arg(done).arg(size > 0 ? QString::number(size) : "?"));
}

void TTermForm::CancelTransfer() {
  if (Transfer) {
    Transfer->Cancel();
  } else if (RawFile) {
    std::fclose(RawFile);
    RawFile = nullptr;
    TransferEnded(false, "Cancelled.");
  }
}

void TTermForm::TransferEnded(bool ok, const QString& message) {
  if (!Progress) return;  // ended already (a failed write and the end both say so)
  TransferTimer.stop();
  std::unique_ptr<TModemTransfer> ended = std::move(Transfer);
  if (RawFile) {
    std::fclose(RawFile);
    RawFile = nullptr;
  }
  // A bracketed paste is closed, also one that was cancelled.
  if (!RawEndMark.empty() && ComPort.Connected()) {
    try {
      ComPort.WriteStr(RawEndMark);
    } catch (const EComPort&) {
    }
  }
  RawEndMark.clear();
  RawThroughTerminal = false;
  if (Progress) {
    Progress->disconnect(this);
    Progress->hide();  // before a failure's message box, whose own loop would keep it
    Progress->deleteLater();
    Progress = nullptr;
  }
  // The keys go to the line again at once; what comes is shown as soon as
  // the protocol's last bytes are sorted out.
  Terminal->SetComPort(&ComPort);
  if (ended) {
    ShowFarText(ended->TakeText());
    if (ended->Holding()) {
      EndedTransfer = std::move(ended);
      Terminal->ShowReceived = false;
      TransferTimer.start();
    }
  }
  TransferResult = message;
  statusBar()->showMessage(message, 10000);
  if (!ok) ShowMessage("The transfer failed: " + message);
}

void TTermForm::ReleaseEndedTransfer() {
  const std::unique_ptr<TModemTransfer> ended = std::move(EndedTransfer);
  if (!ended) return;
  ShowFarText(ended->TakeText());
  Terminal->ShowReceived = true;
  if (!Transfer) TransferTimer.stop();
}

void TTermForm::ShowFarText(const std::string& text) {
  FarBytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), true);
}

void TTermForm::FarBytes(const std::uint8_t* bytes, std::size_t count, bool draw) {
  if (count == 0) return;
  Log.Received(bytes, count);
  if (StartPending) {
    StartBytes.append(reinterpret_cast<const char*>(bytes), count);
    return;
  }
  std::size_t shown = count;
  // A transfer that has ended waits for its end to be shown: a next one
  // may begin already (sz twice in a row).
  if (ZmodemAuto && !RawFile && (!Transfer || Transfer->Finished()))
    if (const TZmodemStart start = ZmodemWatch.Feed(bytes, count); start != zsNone) {
      // The start header is the protocol's, not text: the screen gets
      // what came before it, the transfer what follows.
      shown = ZmodemWatch.HeaderAt();
      StartPending = true;
      StartBytes.assign(reinterpret_cast<const char*>(bytes) + shown, count - shown);
      if (Terminal->ShowReceived && Terminal->ComPort()) {
        Terminal->ShowReceived = false;  // its link would draw them all
        draw = true;
      }
      QTimer::singleShot(0, this, Guarded([this, start] { ZmodemStarts(start); }));
    }
  if (draw) Terminal->RxBuf(&ComPort, bytes, int(shown));
}

// ------------------------------------------------------------ raw sending

void TTermForm::StartRawSending(const std::string& file, int charDelayMs, int lineDelayMs) {
  RawFile = std::fopen(file.c_str(), "rb");
  struct stat st;
  if (!RawFile || ::fstat(fileno(RawFile), &st) != 0 || !S_ISREG(st.st_mode)) {
    const std::string reason = RawFile ? "it is not a file" : std::strerror(errno);
    if (RawFile) std::fclose(RawFile);
    RawFile = nullptr;
    throw Exception("Cannot read \"" + file + "\": " + reason);
  }
  RawSize = std::uint64_t(st.st_size);
  BeginRawSend(charDelayMs, lineDelayMs, false, "Send file", "Sending " + Q(file).section('/', -1) + "...");
}

void TTermForm::BeginRawSend(int charDelayMs, int lineDelayMs, bool typed, const QString& title, const QString& label) {
  RawDone = 0;
  RawPauseChar = charDelayMs;
  RawPauseLine = lineDelayMs;
  RawThroughTerminal = typed;
  ShowProgress(title, label);
  QTimer::singleShot(0, this, [this] { RawStep(); });
}

bool TTermForm::TakePaste(const QString& text) {
  const qsizetype lines = text.count('\n') + (text.isEmpty() || text.endsWith('\n') ? 0 : 1);
  if (lines > PasteAskLines &&
      !AskYesNo(this, QString("Paste %1 lines into the line?").arg(lines)))
    return true;  // nothing goes
  if (RawCharDelay == 0 && RawLineDelay == 0) return false;  // at once, as typed
  if (Transferring()) throw Exception("A transfer is under way: paste once it has ended.");
  // Paced as a raw send is, from memory: a slow console keeps every
  // character. The characters go through the terminal, as typed ones do.
  const std::string chars = Terminal->TextChars(text);
  RawFile = std::tmpfile();
  if (!RawFile || std::fwrite(chars.data(), 1, chars.size(), RawFile) != chars.size() || std::fflush(RawFile) != 0) {
    if (RawFile) std::fclose(RawFile);
    RawFile = nullptr;
    throw Exception("Cannot hold the text to paste: " + std::string(std::strerror(errno)));
  }
  std::rewind(RawFile);
  RawSize = chars.size();
  if (ComPort.Connected() && !Terminal->PasteStart().empty()) ComPort.WriteStr(Terminal->PasteStart());
  RawEndMark = Terminal->PasteEnd();
  BeginRawSend(RawCharDelay, RawLineDelay, true, "Paste", QString("Pasting %1 lines...").arg(lines));
  return true;
}

// A piece at a time from the event loop, so that the window stays alive:
// one character when it is paced, else as much as a write takes.
void TTermForm::RawStep() {
  if (!RawFile) return;
  char buffer[4096];
  const bool paced = RawPauseChar > 0 || RawPauseLine > 0;
  std::size_t got = 0;
  int pause = 0;
  if (paced) {
    const int c = std::fgetc(RawFile);
    if (c != EOF) {
      buffer[got++] = char(c);
      // A line ends at LF, or at a CR without one after it: CR LF pauses once.
      bool endOfLine = c == '\n';
      if (c == '\r') {
        const int next = std::fgetc(RawFile);
        endOfLine = next != '\n';
        if (next != EOF) std::ungetc(next, RawFile);
      }
      pause = RawPauseChar + (endOfLine ? RawPauseLine : 0);
    }
  } else {
    got = std::fread(buffer, 1, sizeof buffer, RawFile);
  }
  if (got == 0) {
    const bool failed = std::ferror(RawFile);
    return TransferEnded(!failed, failed ? "Cannot read the file: " + QString(std::strerror(errno))
                                         : QString("Sent %1 bytes.").arg(RawDone));
  }
  try {
    if (RawThroughTerminal) {
      for (std::size_t i = 0; i < got; ++i) Terminal->SendChar(buffer[i]);
    } else {
      ComPort.Write(buffer, int(got));
    }
  } catch (const EComPort& e) {
    return TransferEnded(false, Q(ComErrorText(e)));
  }
  RawDone += got;
  ShowTransferProgress();
  QTimer::singleShot(pause, this, [this] { RawStep(); });
}
