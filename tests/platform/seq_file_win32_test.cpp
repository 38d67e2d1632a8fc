// The program's files and the temporary image's folder on Windows: names in
// UTF-8, devices refused, the per-user folder, the system's error table.
#include <windows.h>

#include <cstdlib>

#include "platform/destination.h"
#include "platform/host.h"
#include "platform/regular_file.h"
#include "platform/win32_text.h"
#include "seq_file_fixture.h"

namespace {

TEST_F(SeqFileTest, NamesAreUtf8AndDevicesAreRefused) {
  const std::string name =
      "Gr\xC3\xBC\xC3\x9F"
      "e.bin";  // Grüße.bin
  SeqFile f;
  const std::string path = dir_.string() + "\\" + name;  // the folder is plain ASCII
  ASSERT_TRUE(f.Create(path));
  f.WriteByte('u');
  f.Close();
  EXPECT_TRUE(std::filesystem::exists(dir_ / std::filesystem::u8path(name)));
  ASSERT_TRUE(f.OpenExisting(path));
  EXPECT_EQ(f.ReadByte(), 'u');
  f.Close();

  EXPECT_FALSE(f.OpenExisting("NUL"));
  EXPECT_EQ(f.OpenError(), IoAccessDenied);
  EXPECT_NE(f.OpenCause().Text.find("not a regular file"), std::string::npos) << f.OpenCause().Text;
}

// A device name is no file to read from or to write a report to.
TEST_F(SeqFileTest, DeviceNamesAreNoFiles) {
  EXPECT_EQ(ReadRegularFile("NUL", 100).Error.Cause, ErrorCause::NotRegularFile);
  OwnFiles own;
  SysError error;
  EXPECT_FALSE(WriteDestination("NUL", "the report", "{}", error, own));
  EXPECT_EQ(error.Cause, ErrorCause::NotRegularFile) << error.Text;
}

// The one table from GetLastError to the cause, for files and ports alike.
TEST(Win32ErrorTable, GivesEachErrorItsCause) {
  const struct {
    unsigned long code;
    ErrorCause cause;
  } rows[] = {
      {ERROR_FILE_NOT_FOUND, ErrorCause::NotFound},
      {ERROR_PATH_NOT_FOUND, ErrorCause::NotFound},
      {ERROR_ACCESS_DENIED, ErrorCause::PermissionDenied},
      {ERROR_SHARING_VIOLATION, ErrorCause::Busy},
      {ERROR_DIRECTORY, ErrorCause::NotRegularFile},
      {ERROR_SEM_TIMEOUT, ErrorCause::TimedOut},
      {ERROR_DISK_FULL, ErrorCause::Other},
  };
  for (const auto& row : rows) {
    const SysError error = Win32Error(row.code, "COM7");
    EXPECT_EQ(error.Cause, row.cause) << error.Text;
    EXPECT_EQ(error.Text.rfind("COM7: ", 0), 0u) << error.Text;
  }
}

TEST_F(SeqFileTest, TemporaryImageLivesInTheUsersOwnFolder) {
  ASSERT_EQ(_putenv_s("LOCALAPPDATA", dir_.string().c_str()), 0);
  const auto path = TemporaryImagePath();
  ASSERT_TRUE(path.has_value());
  EXPECT_EQ(*path, Path("updater") + "\\tmp.bin");
  EXPECT_TRUE(std::filesystem::is_directory(dir_ / "updater"));
  SeqFile f;
  EXPECT_TRUE(f.CreatePrivate(*path)) << f.OpenCause().Text;
}

}  // namespace
