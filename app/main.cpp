// Program entry: the application object, its title, the main window, the loop.
#include "Forms.h"
#include "Unit1.h"

int main(int argc, char** argv) {
  TApplication app(argc, argv);
  app.SetTitle("HRVX3300");
  try {
    TForm1 Form1;
    Form1.show();
    app.exec();
  } catch (...) {
    app.HandleException(std::current_exception());
  }
  return 0;
}
