// Program entry: the application object, its title, the main window, the loop.
#include "Forms.h"
#include "Unit1.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char* const Usage =
    "Usage: hrvx3300 [--port NAME]\n"
    "Configures an HRVX3300 monitoring module over a serial line.\n"
    "  --port NAME  the serial port to use (default COM1): a device path such as\n"
    "               /dev/ttyUSB0, a name under /dev such as ttyUSB0, or COMn\n"
    "               for /dev/ttyS(n-1)\n"
    "  --help       show this text\n";

}  // namespace

int main(int argc, char** argv) {
  std::string port;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(Usage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
      port = argv[++i];
    } else if (std::strncmp(argv[i], "--port=", 7) == 0) {
      port = argv[i] + 7;
    }
  }
  TApplication app(argc, argv);
  app.SetTitle("HRVX3300");
  try {
    TForm1 Form1;
    if (!port.empty()) Form1.ComPort1->SetPort(port);
    Form1.show();
    app.exec();
  } catch (...) {
    app.HandleException(std::current_exception());
  }
  return 0;
}
