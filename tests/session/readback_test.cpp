// The read-back of sectors 8 and 9 into a destination file.
#include "session_fixture.h"
#include "tests/support/disk_full.h"

namespace {

class ReadBackTest : public SessionTest {
 protected:
  std::string Destination() const { return (Dir / "dump.2bf").string(); }
  void StartReadBack(const std::optional<std::string>& answer) {
    S->StartReadBack(answer.value_or(std::string()));
  }
};

}  // namespace

TEST_F(ReadBackTest, TwoSectorsIntoTheFile) {
  // Sector 8 of two words, sector 9 of one; "z" lets the report come.
  const std::string script = "ABgCDfaEFfz";
  const auto start = [&] {
    Access::SectorSelected(*S)[20] = 1;  // a leftover of another job
    StartReadBack(Destination());
  };
  ExpectSameAtEverySplit(start, script);

  EXPECT_EQ(Port->WrittenText(), "2\x08"s + "3" + "3" + "2\x09" + "3");
  EXPECT_EQ(ReadWholeFile(Destination()), "ABCDEF");
  EXPECT_EQ(Win->Log,
            "<destination file: " + Destination() +
                " >\r\n\r\n\r\n<flashroutine waiting for command...>\r\n"
                "<command: read sector 8>\r\n"
                "\r\n<flashroutine waiting for command...>\r\n<command: read sector 9>\r\n"
                "\r\n<all selected sectors are read now>\r\n\r\n<done>\r\n"
                "<    3words of 65536words read>\r\n");
  EXPECT_EQ(Win->PanelCounts, (std::vector<int32_t>{1, 2, 3}));
  EXPECT_EQ(Win->Panel, PanelForm::Success);
  EXPECT_TRUE(Win->Enabled[Control::Button4]);
  EXPECT_FALSE(S->DestinationFile().IsOpen());
  EXPECT_EQ(S->SessionState(), St::Idle);
}

TEST_F(ReadBackTest, WordLimitStopsTheRead) {
  StartReadBack(Destination());
  Access::SetWordsToRead(*S, 2);
  FeedWhole("ABxyg");  // bytes other than "g" and "f" wait in state 5
  EXPECT_EQ(Port->WrittenText(), "2\x08"s + "3" + "3");
  FeedWhole("CDg");
  EXPECT_EQ(Port->WrittenText(), "2\x08"s + "3" + "3" + "4");
  EXPECT_EQ(S->SessionState(), St::AwaitReadReport);
  EXPECT_EQ(Win->Log.find("<done>"), std::string::npos);  // only on the next byte
  FeedWhole("a");
  EXPECT_NE(Win->Log.find("<    2words of 2words read>\r\n"), std::string::npos);
  // The stray bytes garbled the read: it stays a ".part" file.
  EXPECT_EQ(KeptPart(Destination()), "ABCD");
  EXPECT_FALSE(fs::exists(Destination()));
}

TEST_F(ReadBackTest, UnfinishedReadBackIsClosedWhenAnotherJobStarts) {
  WriteWholeFile(Dir / "Loader.hex", "00");
  WriteWholeFile(Dir / "F29f160d.hex", "00");
  const std::vector<std::pair<const char*, std::function<void()>>> starts = {
      {"connect", [&] { S->StartConnect(); }},
      {"verify", [&] { S->StartIdentify(); }},
      {"download", [&] { Download(); }},
      {"erase-only", [&] { S->StartEraseOnly(); }},
      {"read-back", [&] { StartReadBack(std::nullopt); }},
      {"shutdown", [&] { S->Shutdown(); }},
  };
  for (const auto& [name, startOther] : starts) {
    Reset();
    StartReadBack(Destination());
    FeedWhole("ABgC");  // the device falls silent inside a word
    ASSERT_TRUE(S->DestinationFile().IsOpen());
    startOther();
    EXPECT_FALSE(S->DestinationFile().IsOpen()) << name;
    // What arrived is kept under a name that says it is not complete.
    EXPECT_EQ(KeptPart(Destination()), "ABC") << name;
    EXPECT_FALSE(fs::exists(Destination())) << name;
    EXPECT_NE(Win->Log.find("what arrived is in " + Destination() + "."), std::string::npos)
        << name;
  }
}

TEST_F(ReadBackTest, DataGoesToTheLogOnceAnotherJobTookOver) {
  StartReadBack(Destination());
  Download();  // an image that cannot be opened: refused, but it took over
  const size_t before = Win->Log.size();
  FeedWhole("A\xE4g");
  EXPECT_EQ(Win->Log.substr(before), "A\xC3\xA4");
  EXPECT_EQ(ReadWholeFile(Destination()), "");
}

TEST_F(ReadBackTest, NoDestinationChosenStartsNothing) {
  Access::SetState(*S, St::AwaitReadWordSecond);
  WriteWholeFile(Dir / "dump.2bf", "keep");
  StartReadBack(std::nullopt);
  EXPECT_EQ(Win->Warnings, (std::vector<std::string>{"you need to choose a destination file"}));
  EXPECT_EQ(S->JobKind(), Session::DataUse::KeepOrShow);
  EXPECT_EQ(S->SessionState(), St::AwaitReadWordSecond);
  EXPECT_TRUE(Port->Written.empty());
  EXPECT_EQ(ReadWholeFile(Destination()), "keep");
}

TEST_F(ReadBackTest, MoreWordsThanTheSectorHoldsAreNoTrueCopy) {
  auto& table = Access::SectorStart(*S);
  table[8] = 0x10000;
  table[9] = 0x10004;  // sector 8 holds two words
  table[10] = 0x10008;
  StartReadBack(Destination());
  FeedWhole("ABgCDgEFfaGHfz");
  EXPECT_NE(Win->Log.find("<ERR: data garbled on the line"), std::string::npos) << Win->Log;
  EXPECT_FALSE(fs::exists(Destination()));
  ASSERT_EQ(Win->Finished.size(), 1u);
  EXPECT_EQ(Win->Finished[0].second.Failure, JobFailure::DeviceGarbled);
}

TEST_F(ReadBackTest, DestinationThatCannotBeCreated) {
  Access::SetState(*S, St::AwaitReadWordSecond);
  const std::string name = (Dir / "missing" / "dump.2bf").string();
  StartReadBack(name);
  // The described lines, then one of ours with the cause.
  EXPECT_TRUE(Win->Log.starts_with("<destination file: " + name +
                                   " >\r\n<ERR: couldn`t create/open destination file \"" + name +
                                   "\" >\r\n<"))
      << Win->Log;
  EXPECT_EQ(Win->Panel, PanelForm::Error);
  EXPECT_TRUE(Port->Written.empty());
  EXPECT_EQ(S->SessionState(), St::AwaitReadWordSecond);
}

TEST_F(ReadBackTest, ExistingDestinationIsReplacedOnlyByACompleteRead) {
  WriteWholeFile(Destination(), "old contents");
  StartReadBack(Destination());
  EXPECT_EQ(ReadWholeFile(Destination()), "old contents");
  FeedWhole("ABfaCDfz");
  EXPECT_EQ(ReadWholeFile(Destination()), "ABCD");
  EXPECT_EQ(KeptPart(Destination()), "");
}

TEST_F(ReadBackTest, TheProgramsOwnFilesAreNeverADestination) {
  WriteWholeFile(Dir / "Loader.hex", "00");
  StartReadBack((Dir / "Loader.hex").string());
  EXPECT_TRUE(Port->Written.empty());
  EXPECT_NE(Win->Log.find("is the program's file Loader.hex"), std::string::npos) << Win->Log;
  EXPECT_EQ(ReadWholeFile(Dir / "Loader.hex"), "00");
  EXPECT_EQ(KeptPart(Dir / "Loader.hex"), "");
}

TEST_F(ReadBackTest, FullDiskAbandonsThePassAndTheSessionGoesOn) {
  if (!DiskFullAfter::Available()) GTEST_SKIP() << "no file-size limit here";
  StartReadBack(Destination());
  {
    DiskFullAfter full(0);
    FeedWhole("A");
  }
  EXPECT_EQ(Win->Warnings, (std::vector<std::string>{"E/A-Fehler 101"}));
  EXPECT_EQ(S->SessionState(), St::AwaitReadWordFirst);
  // A later notification is handled as usual.
  Access::SetState(*S, St::Idle);
  FeedWhole("h12");
  EXPECT_EQ(Win->Log.substr(Win->Log.size() - 2), "12");
}
