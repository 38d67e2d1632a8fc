// Updater: brings new firmware into a C165 device with a 29F160D flash over a
// serial line.
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <cstdio>
#include <memory>
#include <optional>

#include "Unit1.h"
#include "core/history.h"
#include "exit_signals.h"
#include "platform/own_files.h"
#include "platform/seq_file.h"
#include "updater_version.h"

namespace {

struct Options {
  std::optional<int> Port;  // 1 to 4
  QString Files;            // folder with the upload files, for this run
};

// Reads the command line before any window exists, so that --help and
// --version work without a display. Nothing when the program is to end with
// `exitCode`.
std::optional<Options> ReadCommandLine(int argc, char** argv, int& exitCode) {
  QCoreApplication parsing(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("updater"));
  QCoreApplication::setApplicationVersion(QStringLiteral(UPDATER_VERSION));
  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral(
      "Updates the firmware of a C165 device with a 29F160D flash over a serial line.\n"
      "The window walks through the steps: choose the port, power the device up in\n"
      "bootstrap mode, connect, verify hardware, download. The service menu (right\n"
      "click on the free area of the window, or the menu key or Shift+F10) holds the\n"
      "service jobs."));
  parser.addHelpOption();
  parser.addVersionOption();
  const QCommandLineOption port(QStringLiteral("port"),
                                QStringLiteral("Choose the port at start: COM1 to COM4."),
                                QStringLiteral("COMn"));
  const QCommandLineOption files(
      QStringLiteral("files"),
      QStringLiteral("Folder with Loader.hex, F29f160d.hex and \"empty\" for this run."),
      QStringLiteral("DIR"));
  parser.addOption(port);
  parser.addOption(files);
  parser.process(parsing);  // --help and --version print and end here

  Options options;
  if (parser.isSet(port)) {
    const QString value = parser.value(port).toUpper();
    bool ok = value.startsWith(QStringLiteral("COM"));
    const int n = ok ? value.mid(3).toInt(&ok) : 0;
    if (!ok || n < 1 || n > 4) {
      std::fprintf(stderr, "updater: --port takes COM1 to COM4, not %s\n",
                   qPrintable(parser.value(port)));
      exitCode = 1;
      return std::nullopt;
    }
    options.Port = n;
  }
  if (parser.isSet(files)) {
    const QDir folder(parser.value(files));
    if (!folder.exists()) {
      std::fprintf(stderr, "updater: --files: the folder %s does not exist\n",
                   qPrintable(parser.value(files)));
      exitCode = 1;
      return std::nullopt;
    }
    options.Files = folder.absolutePath();
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  int exitCode = 0;
  const std::optional<Options> options = ReadCommandLine(argc, argv, exitCode);
  if (!options) return exitCode;

  // Every existing file the program reads (upload files, images) is opened
  // read-only and shared, so write-protected files work and nothing the
  // operator chose is ever changed.
  SeqFile::DefaultOpenMode = FileOpenMode::ReadOnly;
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("updater"));
  QApplication::setApplicationVersion(QStringLiteral(UPDATER_VERSION));
  // The history and the saved identities are never a destination.
  AddStateFilesTo(OwnFiles::OfThisRun());
  // Destroying Form1 ends the session and then closes Comm1.
  TForm1 Form1;
  QuitOnExitSignals(&Form1);
  Form1.OpenRecordStore();
  if (!options->Files.isEmpty()) Form1.SetUploadFolder(options->Files);
  if (options->Port) Form1.PreselectPort(*options->Port);
  Form1.show();
  Form1.activateWindow();
  return application.exec();
}
