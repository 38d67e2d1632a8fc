// The window tests need one QApplication for the whole run; they always run
// without a display.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTemporaryDir>

#include "platform/seq_file.h"

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  SeqFile::DefaultOpenMode = FileOpenMode::ReadOnly;
  // What the window remembers and keeps goes to a scratch folder, never the
  // user's.
  QTemporaryDir config;
  qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
  qputenv("XDG_STATE_HOME", config.path().toUtf8());
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
