// Updater: brings new firmware into a C165 device with a 29F160D flash over a
// serial line.
#include <QApplication>

#include "Unit1.h"
#include "seq_file.h"

int main(int argc, char** argv) {
  // Every existing file the program reads (upload files, images) is opened
  // read-only and shared, so write-protected files work and nothing the
  // operator chose is ever changed.
  SeqFile::DefaultOpenMode = FileOpenMode::ReadOnly;
  QApplication application(argc, argv);
  // Destroying Form1 ends the session and then closes Comm1.
  TForm1 Form1;
  Form1.show();
  Form1.activateWindow();
  return application.exec();
}
