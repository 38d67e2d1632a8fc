// The update history: lines from writers at the same moment stay whole, and a
// history that cannot be written says why instead of failing.
#include "history.h"

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "rig.h"

namespace {

using integration::WorkFolder;

TEST(History, WritersAtTheSameTimeNeverInterleave) {
  WorkFolder folder;
  const std::string path = folder.File("state/updater/history.jsonl");
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

  std::ifstream in(path);
  int lines = 0;
  for (std::string line; std::getline(in, line); ++lines) {
    const nlohmann::json entry = nlohmann::json::parse(line);
    const std::string file = entry["file"];
    EXPECT_EQ(file, std::string(3000, file[0]));
  }
  EXPECT_EQ(lines, Writers * LinesEach);
}

TEST(History, AnUnwritableHistoryIsAWarningNamingTheFile) {
  WorkFolder folder;
  ASSERT_TRUE(folder.Write("plain-file", {1}));
  const std::string path = folder.File("plain-file/updater/history.jsonl");
  std::string warning;
  EXPECT_FALSE(AppendHistory(HistoryRecord{}, &warning, path));
  EXPECT_NE(warning.find(folder.File("plain-file")), std::string::npos) << warning;
}

}  // namespace
