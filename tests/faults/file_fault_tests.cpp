// The program's own files against a hostile or careless folder: a report
// named like the image or the history, a FIFO where the report, the history,
// the last saved identity or the image's hash would be. Each is refused at
// once with a message naming the file; nothing of ours is overwritten and
// nothing waits.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <future>
#include <vector>

#include "cli/report.h"
#include "core/history.h"
#include "core/identity_store.h"
#include "rig.h"

namespace integration {
namespace {

// Far beyond what any of these takes; a row that is still running then is
// waiting on its FIFO.
constexpr auto Patience = std::chrono::seconds(5);

struct FileFaultRow {
  const char* Name;
  // Makes the fault in `folder` and tries the operation: the message it gave,
  // empty when it went through.
  std::function<std::string(const WorkFolder& folder)> Try;
  const char* InMessage;
};

std::ostream& operator<<(std::ostream& os, const FileFaultRow& row) {
  return os << row.Name;
}

std::string Fifo(const WorkFolder& folder, const std::string& name) {
  const std::string path = folder.File(name);
  EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0) << path;
  return path;
}

std::string Report(const std::string& path, const ImagePlan* image) {
  RunSummary run;
  run.Command = "update";
  run.Image = image;
  std::string why;
  return WriteReport(path, run, &why) ? std::string() : why;
}

const FileFaultRow FileFaultRows[] = {
    {"ReportNamesTheImage",
     [](const WorkFolder& folder) {
       ImagePlan image;
       image.Path = folder.File("fits.bin");
       // Another spelling of the same file.
       return Report(folder.Path() + "/./fits.bin", &image);
     },
     "is the firmware image"},
    {"ReportNamesTheHistory",
     [](const WorkFolder& folder) {
       ::setenv("XDG_STATE_HOME", folder.Path().c_str(), 1);
       const std::string history = HistoryFilePath();
       std::string warning;
       EXPECT_TRUE(AppendHistory(HistoryRecord{}, &warning)) << warning;
       const Bytes before = ReadFileBytes(history);
       const std::string message = Report(history, nullptr);
       EXPECT_EQ(ReadFileBytes(history), before);
       return message;
     },
     "is the update history"},
    {"ReportIsAFifo",
     [](const WorkFolder& folder) { return Report(Fifo(folder, "report.json"), nullptr); },
     "report.json is a pipe, not a regular file"},
    {"HistoryIsAFifo",
     [](const WorkFolder& folder) {
       std::string warning;
       return AppendHistory(HistoryRecord{}, &warning, Fifo(folder, "history.jsonl")) ? ""
                                                                                      : warning;
     },
     "history.jsonl is a pipe, not a regular file"},
    {"LastIdentityIsAFifo",
     [](const WorkFolder& folder) {
       Fifo(folder, "last.json");
       EXPECT_FALSE(LastSavedIdentity(folder.Path()));
       std::string why;
       return LoadIdentity(folder.File("last.json"), &why) ? "" : why;
     },
     "last.json is a pipe, not a regular file"},
    {"ImageToHashIsAFifo",
     [](const WorkFolder& folder) {
       std::string why;
       return FileSha256(Fifo(folder, "fits.fifo"), &why) ? "" : why;
     },
     "fits.fifo is a pipe, not a regular file"},
};

class FileFault : public ::testing::TestWithParam<FileFaultRow> {};

TEST_P(FileFault, IsRefusedAtOnceAndOurFilesStayAsTheyWere) {
  const FileFaultRow& row = GetParam();
  WorkFolder folder;
  const Bytes image(20000, 0xA5);
  ASSERT_TRUE(folder.Write("fits.bin", image));
  auto attempt = std::async(std::launch::async, [&] { return row.Try(folder); });
  if (attempt.wait_for(Patience) != std::future_status::ready) {
    ADD_FAILURE() << "still waiting after " << Patience.count() << " s";
    // Waiting on a FIFO: its other end comes, and then goes, so that the
    // test can end.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<int> ends;
    for (const auto& entry : std::filesystem::directory_iterator(folder.Path())) {
      if (entry.is_fifo()) ends.push_back(::open(entry.path().c_str(), O_RDWR | O_NONBLOCK));
    }
    attempt.wait_for(Patience);
    for (const int end : ends) ::close(end);
  }
  const std::string message = attempt.get();
  EXPECT_NE(message.find(row.InMessage), std::string::npos) << message;
  EXPECT_NE(message.find(folder.Path()), std::string::npos) << message;
  EXPECT_EQ(folder.Read("fits.bin"), image);
  ::unsetenv("XDG_STATE_HOME");
}

INSTANTIATE_TEST_SUITE_P(Faults, FileFault, ::testing::ValuesIn(FileFaultRows),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
}  // namespace integration
