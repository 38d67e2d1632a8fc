// The update history: lines from writers at the same moment stay whole, a
// history that cannot be written says why instead of failing, and the image's
// hash and the time are what other tools compute from them.
#include "core/history.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

class HistoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              ("history-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
               "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }
  std::string File(const std::string& name) const { return (folder_ / name).string(); }
  fs::path folder_;
};

TEST_F(HistoryTest, WritersAtTheSameTimeNeverInterleave) {
  const std::string path = File("state/updater/history.jsonl");
  constexpr int Writers = 4;
  constexpr int LinesEach = 150;
  std::vector<std::thread> writers;
  for (int w = 0; w < Writers; ++w) {
    writers.emplace_back([&, w] {
      HistoryRecord record;
      record.FrontEnd = "cli";
      record.Job = "update";
      record.Port = "COM" + std::to_string(w + 1);
      // Long enough that a torn write would show.
      record.ImagePath = std::string(3000, static_cast<char>('a' + w));
      // A device string that is no UTF-8 must not break the line.
      record.Identity = DeviceIdentity{"DEMO\xE4", "1.0a", 7, true, "L"};
      for (int i = 0; i < LinesEach; ++i) {
        std::string warning;
        EXPECT_TRUE(AppendHistory(record, &warning, path)) << warning;
      }
    });
  }
  for (std::thread& writer : writers) writer.join();

  std::ifstream in(path, std::ios::binary);
  int lines = 0;
  for (std::string line; std::getline(in, line); ++lines) {
    const nlohmann::json entry = nlohmann::json::parse(line);
    const std::string file = entry["file"];
    EXPECT_EQ(file, std::string(3000, file[0]));
  }
  EXPECT_EQ(lines, Writers * LinesEach);
}

TEST_F(HistoryTest, AnUnwritableHistoryIsAWarningNamingTheFile) {
  std::ofstream(folder_ / "plain-file") << "x";
  const std::string path = (folder_ / "plain-file" / "updater" / "history.jsonl").string();
  std::string warning;
  EXPECT_FALSE(AppendHistory(HistoryRecord{}, &warning, path));
  EXPECT_NE(warning.find(File("plain-file")), std::string::npos) << warning;
}

TEST_F(HistoryTest, TheImageHashIsSha256OfTheFileBytes) {
  // Empty, short, and longer than one read of the file.
  std::string longer(200003, '\0');
  for (size_t i = 0; i < longer.size(); ++i) longer[i] = static_cast<char>(i * 7 % 251);
  const struct {
    std::string Bytes;
    const char* Sha256;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {longer, "de96b954b9eafefa8b5f591e7dc0511d9e1a61e78d3eb728643198d2c63cbe7d"},
  };
  for (const auto& c : cases) {
    std::ofstream(folder_ / "image.bin", std::ios::binary | std::ios::trunc) << c.Bytes;
    std::string why;
    EXPECT_EQ(FileSha256(File("image.bin"), &why).value_or(why), c.Sha256) << c.Bytes.size();
    const std::span bytes(reinterpret_cast<const uint8_t*>(c.Bytes.data()), c.Bytes.size());
    EXPECT_EQ(BytesSha256(bytes).value_or(""), c.Sha256) << c.Bytes.size();
  }
  // Only a regular file is hashed: a folder is refused as one, at once.
  fs::create_directory(folder_ / "folder");
  for (const char* name : {"missing.bin", "folder"}) {
    std::string why;
    EXPECT_FALSE(FileSha256(File(name), &why)) << name;
    EXPECT_NE(why.find(File(name)), std::string::npos) << why;
  }
}

TEST(HistoryTime, IsUtcWithMilliseconds) {
  using std::chrono::milliseconds;
  const std::chrono::system_clock::time_point epoch{};
  EXPECT_EQ(UtcTimeText(epoch), "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(UtcTimeText(epoch + milliseconds(1796727900123)), "2026-12-08T11:05:00.123Z");
  EXPECT_EQ(UtcTimeText(epoch - milliseconds(1)), "1969-12-31T23:59:59.999Z");
}

}  // namespace
