// The sequential file and the temporary image's folder on Windows: names in
// UTF-8, devices refused, the per-user folder.
#include <cstdlib>

#include "platform/host.h"
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
