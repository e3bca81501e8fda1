// The serial terminal program: a terminal window on one serial port.
#include "CPortList.h"
#include "CPortSetup.h"
#include "CPortTexts.h"
#include "Forms.h"
#include "PortNames.h"
#include "SysUtils.h"
#include "TermForm.h"
#include "Version.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string IndentedPortForms() {
  std::string forms = LocalPortForms();
  for (std::size_t at = forms.find('\n'); at != std::string::npos; at = forms.find('\n', at + 1)) forms.insert(at + 1, 15, ' ');
  return forms;
}

const std::string Usage =
    "Usage: hrvx3300-term [--port NAME] [--baud N]\n"
    "A serial terminal (VT102 with colours, VT100/ANSI or VT52) for any device\n"
    "with a text console: scrollback, a hex monitor, XMODEM, YMODEM and ZMODEM.\n"
    "  --port NAME  the serial port: " + IndentedPortForms() + ",\n"
    "               or a device server's " + NetworkPortForms("HOST", "PORT") + "\n"
    "  --baud N     the line speed in bits per second (default 115200)\n"
    "  --help       show this text\n"
    "  --version    show the version\n"
    "Without --port the port and settings of the last run are used; the first\n"
    "time, the port setup dialog asks for them (Cancel: no connection).\n";

}  // namespace

int main(int argc, char** argv) {
  UseParentConsole();
  std::string port, baud;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(Usage.c_str(), stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("hrvx3300-term %s%s%s%s\n", HRVX3300_VERSION, *HRVX3300_COMMIT ? " (commit " : "", HRVX3300_COMMIT,
                  *HRVX3300_COMMIT ? ")" : "");
      return 0;
    }
    if ((arg == "--port" || arg == "--baud") && i + 1 < argc) {
      (arg == "--port" ? port : baud) = argv[++i];
    } else if (arg.rfind("--port=", 0) == 0) {
      port = arg.substr(7);
    } else if (arg.rfind("--baud=", 0) == 0) {
      baud = arg.substr(7);
    } else {
      std::fprintf(stderr, "hrvx3300-term: unknown argument \"%s\"\n%s", argv[i], Usage.c_str());
      return 64;
    }
  }
  int rate = 0;
  if (!baud.empty() && (!TryStrToInt(baud, rate) || rate <= 0)) {
    std::fprintf(stderr, "hrvx3300-term: \"%s\" is not a line speed\n", baud.c_str());
    return 64;
  }

  if (const std::string missing = MissingDisplay(argc, argv); !missing.empty()) {
    std::fprintf(stderr, "hrvx3300-term: %s (the terminal is a window)\n", missing.c_str());
    return 2;
  }
  TApplication app(argc, argv);
  app.SetTitle("HRVX3300 Terminal");
  app.SetDesktopIdentity("org.hrvx3300.Terminal");
  RegisterComSetupDialog();
  try {
    TTermForm form;
    bool known = false;
    try {
      known = form.LoadSettings();
    } catch (const Exception& e) {
      app.MessageBox(QString::fromStdString(std::string(e.what()) + "\nThe default settings are used."));
    }
    if (!port.empty()) form.ComPort.SetPort(port);
    if (rate > 0) {
      // A rate of the table by its name, any other as a custom rate.
      const TBaudRate named = StrToBaudRate(baud);
      if (BaudRateToInt(named) == rate) {
        form.ComPort.SetBaudRate(named);
      } else {
        form.ComPort.SetCustomBaudRate(rate);
        form.ComPort.SetBaudRate(brCustom);
      }
    }
    form.show();
    // The first time, the user picks the port; one who cancels that is not
    // connected to a default port they did not choose.
    bool connect = true;
    if (!known && port.empty()) {
      // Offered: the first port this machine has, not a name it may lack.
      std::vector<std::string> ports;
      try {
        EnumComPorts(ports);
      } catch (const EComPort&) {
        // the dialog's own list says what is wrong
      }
      if (!ports.empty()) form.ComPort.SetPort(ports.front());
      connect = EditComPort(form.ComPort);
    }
    if (connect) CallGuarded([&] { form.ConnectClick(); });
    app.exec();
  } catch (...) {
    app.HandleException(std::current_exception());
  }
  return 0;
}
