// "download", the erase-only job, and the erase and programming exchange.
#include "session_fixture.h"
#include "tests/support/disk_full.h"

namespace {

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + 3) % 251);
  return bytes;
}

// An image whose identity block is its identity window, with the serial number
// 0x201: patched for the device of UpdateTest it stays byte for byte the same.
std::string ImageWithBlock(size_t size, std::string block) {
  std::string image = Pattern(size);
  image.replace(8192, 4, "\x00\x40\x00\x00"s);
  if (size > 16384) {
    block.resize(std::min<size_t>(4096, size - 16384), '\xFF');
    image.replace(16384, block.size(), block);
  }
  return image;
}

std::string MakeImage(size_t size, const std::string& sectors, const std::string& hardware = "1.2b",
                      const std::string& begin = "BEGIN______") {
  return ImageWithBlock(size, Record(begin, "") + Record("PRODUKTNAME", "UNIT") +
                                  Record("HARDWAREVER", hardware) +
                                  Record("SERIAL_NO  ", "\x01\x02\x00\x00"s) +
                                  Record("SOFTWARESNR", sectors) + Record("END________", ""));
}

std::string Ff(size_t count) {
  return std::string(count, '\xFF');
}

class UpdateTest : public SessionTest {
 protected:
  void Device() {
    S->UseIdentity(DeviceIdentity{"UNIT", "1.2b", 0x201, true, ""});
    // These tests look at the programming; the verify after it has its own.
    S->VerifyAfterDownload = false;
    auto& table = Access::SectorTable(*S, SectorCount - 1);
    for (size_t i = 0; i < table.size(); ++i) table[i] = static_cast<uint32_t>(0x4000u * i);
  }
  // The erase-only job on sectors 8 and 9 of the given sizes.
  void EraseOnly(const std::string& content, uint32_t size8, uint32_t size9) {
    WriteWholeFile(Dir / "empty", content);
    auto& table = Access::SectorStart(*S);
    table[9] = table[8] + size8;
    table[10] = table[9] + size9;
    S->StartEraseOnly();
  }
};

}  // namespace

TEST_F(UpdateTest, TwoSectorUpdateOnTheWireAndInTheLog) {
  const std::string image = MakeImage(20580, "\x03\x04"s);
  std::string chosen;
  const auto start = [&] {
    Device();
    chosen = ChooseImage(image);
    Download();
  };
  ExpectSameAtEverySplit(start, "babaeaea");

  EXPECT_EQ(Port->WrittenText(), "0\x03"s + "0\x04" + "1\x03" + image.substr(0, 16384) + "1\x04" +
                                     image.substr(16384) + Ff(32768 - 20580));
  EXPECT_EQ(Win->Log,
            "<download file: " + chosen +
                " >\r\n\r\n\r\nupdate possible\r\n\r\n"
                "<flashroutine waiting for command...>\r\n<command: delete sector 3 ...>\r\n"
                "<sector 3 erased>\r\n"
                "<flashroutine waiting for command...>\r\n<command: delete sector 4 ...>\r\n"
                "<sector 4 erased>\r\n<all selected sectors are erased now>\r\n"
                "<sector 3 programmed>\r\n<sector 4 programmed>\r\n<done>\r\n");
  EXPECT_EQ(S->SessionState(), St::Ended);
  EXPECT_EQ(Win->Panel, PanelForm::Success);
  EXPECT_EQ(Win->Percents.back(), 100);
  EXPECT_EQ(Win->PanelCounts.front(), 512);
  EXPECT_EQ(Win->PanelCounts.back(), 32768);
  EXPECT_EQ(Win->Repaints, 64);
  EXPECT_EQ(Win->Labels[StepLabel::Label10], LabelColour::Yellow);
  EXPECT_FALSE(Win->Enabled[Control::Button4]);
  EXPECT_FALSE(fs::exists(Dir / "tmp.bin"));  // it carried the serial number
  EXPECT_EQ(ReadWholeFile(chosen), image);
}

TEST_F(UpdateTest, TemporaryImageStaysWhenTheDeviceHasNoSerialNumber) {
  Device();
  S->UseIdentity(DeviceIdentity{"UNIT", "1.2b", 0x201, false, "XY"});
  const std::string image = MakeImage(20480, "\x03\x04"s);
  const std::string chosen = ChooseImage(image);
  Download();
  FeedWhole("babaeaea");
  EXPECT_EQ(Win->Log.substr(Win->Log.size() - 8), "<done>\r\n");
  const std::string temporary = ReadWholeFile(Dir / "tmp.bin");
  ASSERT_EQ(temporary.size(), image.size());
  EXPECT_NE(temporary.find("BRANDLABEL \x02XY"s), std::string::npos);
  const std::string wire = Port->WrittenText();
  EXPECT_EQ(wire.substr(6, 16384), temporary.substr(0, 16384));
  EXPECT_EQ(wire.substr(6 + 16384 + 2, 4096), temporary.substr(16384));
  EXPECT_EQ(ReadWholeFile(chosen), image);
}

TEST_F(UpdateTest, DownloadStartsOrRefusesAsTheImageSays) {
  struct Row {
    const char* name;
    std::string image;  // empty: no answer to the dialog
    std::string logTail;
    std::vector<std::string> warnings;
    std::string wire;
    St state;
    PanelForm panel;
  };
  const std::string noBlock = MakeImage(20480, "\x03"s, "1.2b", "BEGIN_____X");
  const std::string longHardware(200, 'V');
  // The first hardware record grows by 200 bytes when patched, and with no end
  // record the whole 4096-byte block is copied: more than the block can hold.
  std::string tooLong = MakeImage(20480, "\x03"s);
  tooLong.replace(
      16384, 4096,
      (Record("BEGIN______", "") + Record("HARDWAREVER", "") + Record("PRODUKTNAME", "UNIT") +
       Record("HARDWAREVER", longHardware) + Record("SOFTWARESNR", "\x03"s) + Ff(4096))
          .substr(0, 4096));
  const Row rows[] = {
      {"short file",
       Pattern(16383),
       "failed: read past the end of the file (error 100)>\r\n",
       {"E/A-Fehler 100"},
       "",
       St::AwaitReadWordStatus,
       PanelForm::Error},
      {"mismatch",
       MakeImage(20480, "\x03"s, "1.3b"),
       "<ERR: image refused: the image is for UNIT 1.3b, the device is UNIT 1.2b>\r\n",
       {"the selected file doesn\xC2\xB4t fit to your hardware"},
       "",
       St::AwaitReadWordStatus,
       PanelForm::Error},
      {"window cut short",
       Pattern(16384),
       "<ERR: image refused: the image names no product, the device is UNIT 1.2b>\r\n",
       {"invalid firmware file", "the selected file doesn\xC2\xB4t fit to your hardware"},
       "",
       St::AwaitReadWordStatus,
       PanelForm::Error},
      {"no begin record",
       noBlock,
       "\r\n\r\nERR: brandlabel not found in firmware\r\n",
       {},
       "",
       St::AwaitReadWordStatus,
       PanelForm::Error},
      {"block too long",
       tooLong,
       "<ERR: identity block of the firmware too long to take the device's values>\r\n",
       {},
       "",
       St::AwaitReadWordStatus,
       PanelForm::Error},
      {"no sector listed",
       MakeImage(20480, ""),
       "update possible\r\n\r\n<ERR: no sectors selected>\r\n",
       {},
       "",
       St::Idle,
       PanelForm::Neutral},
      {"only sectors above 34",
       MakeImage(20480, "\x28"s),
       "<ERR: image refused, nothing was erased: the sector list names sector 40, the device has "
       "sectors 0 to 34>\r\n",
       {},
       "",
       St::AwaitReadWordStatus,
       PanelForm::Error},
      {"sectors 3, 5, 4",
       MakeImage(20480, "\x03\x05\x04"s),
       "<command: delete sector 3 ...>\r\n",
       {},
       "0\x03"s,
       St::AwaitEraseResult,
       PanelForm::Neutral},
  };
  for (const Row& row : rows) {
    Reset();
    Device();
    if (row.name == "block too long"s) {
      S->UseIdentity(DeviceIdentity{"UNIT", longHardware, 0x201, true, ""});
    }
    Access::SetState(*S, St::AwaitReadWordStatus);
    Access::SetDataUse(*S, Session::DataUse::ToDestinationFile);
    if (!row.image.empty()) ChooseImage(row.image);
    Download();
    const std::string& log = Win->Log;
    EXPECT_EQ(log.substr(log.size() - std::min(log.size(), row.logTail.size())), row.logTail)
        << row.name;
    EXPECT_EQ(Win->Warnings, row.warnings) << row.name;
    EXPECT_EQ(Port->WrittenText(), row.wire) << row.name;
    EXPECT_EQ(S->SessionState(), row.state) << row.name;
    EXPECT_EQ(Win->Panel, row.panel) << row.name;
    EXPECT_EQ(S->JobKind(), Session::DataUse::KeepOrShow) << row.name;
    // After a refused image nothing was written: another one may be chosen.
    if (log.find("<ERR: image refused") != std::string::npos) {
      EXPECT_TRUE(Win->Enabled[Control::Button4]) << row.name;
      EXPECT_EQ(Win->Labels[StepLabel::Label4], LabelColour::Yellow) << row.name;
      EXPECT_EQ(Win->Labels[StepLabel::Label7], LabelColour::ButtonFace) << row.name;
    } else {
      EXPECT_EQ(Win->Labels.count(StepLabel::Label7), 0u) << row.name;
      EXPECT_EQ(Win->Enabled.count(Control::Button4), 0u) << row.name;
    }
  }
}

TEST_F(UpdateTest, ImageIsCheckedWholeBeforeTheFirstErase) {
  const std::string identity =
      Record("BEGIN______", "") + Record("PRODUKTNAME", "UNIT") + Record("HARDWAREVER", "1.2b");
  const std::string end = Record("END________", "");
  const std::string serial = Record("SERIAL_NO  ", "\x01\x02\x00\x00"s);
  struct Row {
    const char* name;
    std::string image;
    std::string line;  // empty: the update starts
    DeviceIdentity device{"UNIT", "1.2b", 0x201, true, ""};
    int32_t tableTop = SectorCount - 1;
  };
  const Row rows[] = {
      {"sector listed twice", MakeImage(20480, "\x03\x03\x00\x01"s),
       "the sector list names sector 3 twice"},
      {"lists that differ",
       ImageWithBlock(20480, identity + serial + Record("SOFTWARESNR", "\x03"s) +
                                 Record("SOFTWARESNR", "\x00"s) + end),
       "the image holds 2 sector lists that differ"},
      {"beyond the device's table",
       MakeImage(20480, "\x14"s),
       "the sector list names sector 20, the device has sectors 0 to 10",
       {"UNIT", "1.2b", 0x201, true, ""},
       10},
      {"too long for its sectors", MakeImage(70000, "\x03"s),
       "the image of 70000 bytes does not fit into its sectors of 16384 bytes (the image is for "
       "UNIT 1.2b, the device is UNIT 1.2b)"},
      {"brand label has no place",
       ImageWithBlock(20480, identity + serial + Record("SOFTWARESNR", "\x03"s)),
       "the patched identity block does not carry the device's brand label",
       {"UNIT", "1.2b", 0x201, true, "XY"}},
      {"serial number added",
       ImageWithBlock(20480, identity + Record("SOFTWARESNR", "\x03\x04"s) + end), ""},
  };
  for (const Row& row : rows) {
    Reset();
    Device();
    S->UseIdentity(row.device);
    Access::SectorTable(*S, row.tableTop);
    ChooseImage(row.image);
    Download();
    ASSERT_EQ(Win->Finished.size(), row.line.empty() ? 0u : 1u) << row.name << Win->Log;
    if (row.line.empty()) {
      EXPECT_NE(Win->Log.find("<the firmware had no serial number record: serial number 513 "
                              "added>\r\nupdate possible\r\n"),
                std::string::npos)
          << row.name;
      EXPECT_EQ(Port->WrittenText(), "0\x03"s) << row.name;
      continue;
    }
    const std::string line = "<ERR: image refused, nothing was erased: " + row.line + ">\r\n";
    EXPECT_EQ(Win->Log.substr(Win->Log.size() - std::min(Win->Log.size(), line.size())), line)
        << row.name;
    EXPECT_TRUE(Port->Written.empty()) << row.name;
    EXPECT_EQ(Win->Panel, PanelForm::Error) << row.name;
    EXPECT_EQ(Win->Finished[0].second.Outcome, JobOutcome::Refused) << row.name;
    EXPECT_EQ(Win->Finished[0].second.Failure, JobFailure::ImageRefused) << row.name;
    EXPECT_TRUE(Win->Enabled[Control::Button4]) << row.name;
  }
}

TEST_F(UpdateTest, TemporaryImageThatCannotBeWrittenAbandonsTheJob) {
  for (const std::string& path : {""s, (Dir / "missing" / "tmp.bin").string()}) {
    Reset();
    Device();
    S->TemporaryImagePath = path;
    ChooseImage(MakeImage(20480, "\x03"s));
    Download();
    const std::string shown = path.empty() ? "tmp.bin" : path;
    EXPECT_NE(Win->Log.find("<ERR: temporary file " + shown + " could not be created>\r\n"),
              std::string::npos);
    EXPECT_EQ(Win->Warnings, (std::vector<std::string>{"E/A-Fehler 103"}));
    EXPECT_EQ(Win->Panel, PanelForm::Error);
    EXPECT_TRUE(Port->Written.empty());
  }
}

TEST_F(UpdateTest, DownloadIsRefusedWhileTheFlashIsBeingWritten) {
  for (Session::State state : {St::AwaitErasePrompt, St::AwaitEraseResult, St::AwaitProgramPrompt,
                               St::AwaitProgramResult}) {
    Reset();
    Device();
    ChooseImage(MakeImage(20480, "\x03"s));
    Access::SetState(*S, state);
    Access::SetDataUse(*S, Session::DataUse::ToDestinationFile);

    Download();
    EXPECT_EQ(Win->Log, "<ERR: download refused, sectors are being erased or programmed>\r\n");
    EXPECT_EQ(S->SessionState(), state);
    EXPECT_EQ(S->JobKind(), Session::DataUse::ToDestinationFile);
  }
}

TEST_F(UpdateTest, ProgrammingEndsAsTheDeviceAnswers) {
  struct Row {
    const char* name;
    size_t imageSize;
    uint32_t size8, size9;
    std::string script;
    std::string wireData;  // after the two erase commands
    std::string logTail;
    St state;
    PanelForm panel;
  };
  const std::string p = Pattern(70000);
  const std::string shortfall =
      "<ERR: Es waren nicht gen\xC3\xBCgend Sektoren f\xC3\xBCr Firmware selektiert>\r\n";
  const Row rows[] = {
      {"5 bytes in an 8-byte sector", 5, 8, 8, "babaea", "1\x08"s + p.substr(0, 5) + Ff(3),
       "<sector 8 programmed>\r\n<done>\r\n", St::Ended, PanelForm::Success},
      {"empty image", 0, 8, 8, "babaea", "1\x08"s + Ff(8), "<sector 8 programmed>\r\n<done>\r\n",
       St::Ended, PanelForm::Success},
      {"image too long", 70000, 32768, 32768, "babaeaea",
       "1\x08"s + p.substr(0, 32768) + "1\x09" + p.substr(32768, 32768),
       "<sector 9 programmed>\r\n<Alle ausgew\xC3\xA4hlten Sektoren wurden programmiert>\r\n" +
           shortfall + "<    65536byte von 70000 programmiert>\r\n",
       St::Idle, PanelForm::Error},
      {"d for the first sector", 12, 8, 8, "babada", "1\x08"s + p.substr(0, 8),
       "<ERR: Programmierfehler in Sektor 8 >\r\n" + shortfall +
           "<    8byte von 12 programmiert>\r\n",
       St::Ended, PanelForm::Error},
      {"d for the sector with the last byte", 5, 8, 8, "babada", "1\x08"s + p.substr(0, 5) + Ff(3),
       "<ERR: Programmierfehler in Sektor 8 >\r\n<ERR: programming failed, the firmware is "
       "incomplete>\r\n",
       St::Ended, PanelForm::Error},
      {"stray byte while waiting to program", 5, 8, 8, "babxxaea",
       "1\x08"s + p.substr(0, 5) + Ff(3), "<sector 8 programmed>\r\n<done>\r\n", St::Ended,
       PanelForm::Success},
      {"odd sector size", 3, 3, 8, "babaea", "1\x08"s + p.substr(0, 3) + Ff(1), "<done>\r\n",
       St::Ended, PanelForm::Success},
  };
  for (const Row& row : rows) {
    Reset();
    Device();
    EraseOnly(p.substr(0, row.imageSize), row.size8, row.size9);
    FeedWhole(row.script);
    const std::string wire = Port->WrittenText();
    EXPECT_EQ(wire.substr(0, 4), "0\x08"s + "0\x09") << row.name;
    EXPECT_EQ(wire.substr(4), row.wireData) << row.name;
    const std::string& log = Win->Log;
    EXPECT_EQ(log.substr(log.size() - std::min(log.size(), row.logTail.size())), row.logTail)
        << row.name;
    EXPECT_EQ(S->SessionState(), row.state) << row.name;
    EXPECT_EQ(Win->Panel, row.panel) << row.name;
    EXPECT_FALSE(S->ImageFile().IsOpen()) << row.name;
  }
}

TEST_F(UpdateTest, StrayByteInsteadOfErasedCountsNothing) {
  Device();
  EraseOnly("", 8, 8);
  FeedWhole("xa");
  EXPECT_EQ(Port->WrittenText(), "0\x08"s + "0\x09");
  EXPECT_EQ(S->SectorsErased(), 0);
  EXPECT_EQ(S->SessionState(), St::AwaitEraseResult);
  // Both sectors have had their command; one more "a" finds none left.
  FeedWhole("ba");
  EXPECT_EQ(Port->WrittenText(), "0\x08"s + "0\x09");
  EXPECT_NE(Win->Log.find("<ERR: the sector list of the firmware names a sector twice or one above "
                          "34>\r\n"),
            std::string::npos);
  EXPECT_EQ(S->SessionState(), St::Idle);
  EXPECT_EQ(Win->Panel, PanelForm::Error);
  EXPECT_FALSE(S->ImageFile().IsOpen());
}

TEST_F(UpdateTest, SectorListedTwiceIsNeverProgrammedTwice) {
  Device();
  auto& table = Access::SectorStart(*S);
  table[9] = table[8] + 2;
  WriteWholeFile(Dir / "empty", "abc");
  S->StartEraseOnly();
  Access::SectorSelected(*S).fill(0);
  Access::SectorSelected(*S)[8] = 1;
  Access::SetSelectedSectorCount(*S, 2);
  // A second "b" ends the erase phase; the image needs a second sector.
  FeedWhole("bxbaea");
  EXPECT_EQ(Port->WrittenText(), "0\x08"s + "1\x08" + "ab");
  EXPECT_NE(Win->Log.find("names a sector twice"), std::string::npos);
  EXPECT_EQ(S->SessionState(), St::Idle);
}

TEST_F(UpdateTest, SectorsTheDeviceNeverDescribedGetNoData) {
  Device();
  auto& table = Access::SectorStart(*S);
  table.fill(0);
  table[8] = 0x8000;
  table[9] = 0x8004;  // the table ended here
  WriteWholeFile(Dir / "empty", "abcdefgh");
  S->StartEraseOnly();
  FeedWhole("babaea");
  EXPECT_EQ(Port->WrittenText(), "0\x08"s + "0\x09" + "1\x08" + "abcd" + "1\x09");
  EXPECT_EQ(S->SessionState(), St::AwaitProgramResult);
}

TEST_F(UpdateTest, PanelShowsTheCountEvery512Bytes) {
  Device();
  EraseOnly(Pattern(1500), 2048, 8);
  FeedWhole("baba");
  EXPECT_EQ(Win->PanelCounts, (std::vector<int32_t>{512, 1024, 1536, 2048}));
  EXPECT_EQ(Win->Repaints, 4);
  EXPECT_EQ(Win->Percents.size(), 750u);
  EXPECT_EQ(Win->Percents.back(), 100);
}

TEST_F(UpdateTest, PortThatStopsTakingDataEndsTheJobAtOnce) {
  Device();
  EraseOnly(Pattern(100), 4096, 8);
  // The second erase command, the program command and the first slice of
  // the sector's data (one write); the second slice fails.
  Port->WritesBeforeFailure = 2 + 2 + 1;
  FeedWhole("baba");
  EXPECT_EQ(Port->Written.size(), 4u + 2u + 512u);
  EXPECT_EQ(Port->FailedWrites, 1);
  EXPECT_EQ(Win->Log.substr(Win->Log.find("<all selected")),
            "<all selected sectors are erased now>\r\n"
            "<ERR: sector 8 could not be sent, programming stopped>\r\n");
  EXPECT_EQ(Win->Panel, PanelForm::Error);
  EXPECT_EQ(S->SessionState(), St::Ended);
  EXPECT_FALSE(S->ImageFile().IsOpen());
  EXPECT_FALSE(Win->Enabled[Control::Button4]);
  EXPECT_EQ(Win->Labels[StepLabel::Label7], LabelColour::Yellow);
  FeedWhole("ea");
  EXPECT_EQ(Port->Written.size(), 518u);
}

TEST_F(UpdateTest, EraseOnlyWithoutItsFileSendsNothing) {
  Device();
  Access::SectorSelected(*S)[3] = 1;
  S->StartEraseOnly();
  EXPECT_EQ(Win->Log, "<download file: EMPTY >\r\n<empty was looked for in: " + Dir.string() +
                          ">\r\n<ERR: couldn`t find file EMPTY >\r\n");
  EXPECT_TRUE(Port->Written.empty());
  EXPECT_EQ(Win->Panel, PanelForm::Error);
  EXPECT_EQ(S->SectorSelected()[3], 0);
  EXPECT_EQ(S->SelectedSectorCount(), 2);
}

TEST_F(UpdateTest, EveryEndingOfEveryJobReportsOneOutcome) {
  const auto uploadFiles = [&] {
    WriteWholeFile(Dir / "Loader.hex", "00");
    WriteWholeFile(Dir / "F29f160d.hex", "00");
  };
  const std::string table = "j?\x00"s + "p" + Entry(0) + "p" + Entry(0x4000);
  // The device's answer to the identity read: each word and its "g".
  const auto wordsOf = [](std::string block) {
    block.resize(4096, '\xEE');
    std::string words;
    for (size_t i = 0; i < block.size(); i += 2) words += block.substr(i, 2) + "g";
    return words;
  };
  const std::string words = wordsOf(Record("PRODUKTNAME", "UNIT") + Record("HARDWAREVER", "1.2b"));
  const auto readBack = [&](const std::string& destination, const std::string& script) {
    S->StartReadBack(destination);
    FeedWhole(script);
  };
  struct Row {
    const char* name;
    Job job;
    JobOutcome outcome;
    JobFailure failure;
    std::function<void()> run;
    int32_t sector = -1;
  };
  using O = JobOutcome;
  using F = JobFailure;
  const Row rows[] = {
      {"connected", Job::Connect, O::Ok, F::None,
       [&] {
         uploadFiles();
         S->StartConnect();
         FeedWhole("\xD5" + table + "a");
       }},
      {"port not opened", Job::Connect, O::Refused, F::PortNotOpened,
       [&] {
         Port->IsConnected = false;
         Port->OpenSucceeds = false;
         S->StartConnect();
       }},
      {"upload file missing", Job::Connect, O::Refused, F::FileError, [&] { S->StartConnect(); }},
      {"silent in the table", Job::Connect, O::Failed, F::DeviceSilent,
       [&] {
         uploadFiles();
         S->StartConnect();
         FeedWhole("\xD5j?\x05p\x00\x00"s);
         Now += S->SectorTableByteTimeout;
         S->Tick(Now);
       }},
      {"garbled table", Job::Connect, O::Failed, F::DeviceGarbled,
       [&] {
         uploadFiles();
         S->StartConnect();
         FeedWhole("\xD5j?\x00"s + "p" + Entry(0x4000) + "p" + Entry(0) + "a");
       }},
      {"identified", Job::VerifyHardware, O::Ok, F::None,
       [&] {
         S->StartIdentify();
         FeedWhole(words + "z");
       }},
      {"no identity", Job::VerifyHardware, O::Failed, F::NoIdentity,
       [&] {
         S->StartIdentify();
         FeedWhole(wordsOf(Record("PRODUKTNAME", "")) + "z");
       }},
      {"identity garbled", Job::VerifyHardware, O::Failed, F::DeviceGarbled,
       [&] {
         S->StartIdentify();
         FeedWhole(words.substr(0, 2) + "x" + words.substr(2) + "z");
       }},
      {"verify on a closed port", Job::VerifyHardware, O::Refused, F::NotReady,
       [&] {
         Port->IsConnected = false;
         S->StartIdentify();
       }},
      {"updated", Job::Download, O::Ok, F::None,
       [&] {
         ChooseImage(MakeImage(20580, "\x03\x04"s));
         Download();
         FeedWhole("babaeaea");
       }},
      {"image missing", Job::Download, O::Refused, F::FileError,
       [&] {
         Chosen = (Dir / "none.bin").string();
         Download();
       }},
      {"image does not fit", Job::Download, O::Refused, F::ImageRefused,
       [&] {
         ChooseImage(MakeImage(20480, "\x03"s, "2.0a"));
         Download();
       }},
      {"image shorter than its window", Job::Download, O::Refused, F::FileError,
       [&] {
         ChooseImage(Pattern(100));
         Download();
       }},
      {"d from the device", Job::EraseOnly, O::Failed, F::ProgrammingFailed,
       [&] {
         EraseOnly("abc", 8, 8);
         FeedWhole("babada");
       },
       8},
      {"line error, then done", Job::EraseOnly, O::Ok, F::None,
       [&] {
         EraseOnly("abc", 8, 8);
         FeedWhole("bab");
         S->Comm1CommError(8);
         FeedWhole("aea");
       }},
      // A port that is gone or a line in a break ends the wait at once.
      {"wire pulled mid-erase", Job::EraseOnly, O::Failed, F::DeviceSilent,
       [&] {
         EraseOnly("abc", 8, 8);
         FeedWhole("ba");
         S->Comm1CommError(LineErrorPortGone);
       },
       9},
      {"line break mid-read", Job::ReadBack, O::Failed, F::DeviceSilent,
       [&] {
         S->StartReadBack((Dir / "dump").string());
         FeedWhole("AB");
         S->Comm1CommError(LineErrorBreak);
       }},
      {"data not taken", Job::EraseOnly, O::Failed, F::DeviceSilent,
       [&] {
         EraseOnly("abc", 8, 8);
         Port->WritesBeforeFailure = 4;
         FeedWhole("baba");
       },
       8},
      {"closed mid-job", Job::EraseOnly, O::Failed, F::Cancelled,
       [&] {
         EraseOnly("abc", 8, 8);
         FeedWhole("b");
         S->Shutdown();
       }},
      {"\"empty\" missing", Job::EraseOnly, O::Refused, F::FileError, [&] { S->StartEraseOnly(); }},
      {"erase on a closed port", Job::EraseOnly, O::Refused, F::NotReady,
       [&] {
         WriteWholeFile(Dir / "empty", "");
         Port->IsConnected = false;
         S->StartEraseOnly();
       }},
      {"read back", Job::ReadBack, O::Ok, F::None,
       [&] { readBack((Dir / "dump").string(), "ABfaCDfz"); }},
      {"no destination", Job::ReadBack, O::Refused, F::Cancelled, [&] { S->StartReadBack(""); }},
      {"read-back garbled", Job::ReadBack, O::Failed, F::DeviceGarbled,
       [&] { readBack((Dir / "dump").string(), "ABxfaCDfz"); }},
      {"destination full", Job::ReadBack, O::Failed, F::FileError,
       [&] {
         S->StartReadBack((Dir / "dump").string());
         DiskFullAfter full(0);
         FeedWhole("A");
       }},
      {"destination a device", Job::ReadBack, O::Refused, F::FileError,
       [&] { readBack("/dev/null", "A"); }},
  };
  for (const Row& row : rows) {
    if (std::string_view(row.name) == "destination full" && !DiskFullAfter::Available()) continue;
    for (const auto& entry : fs::directory_iterator(Dir)) fs::remove_all(entry);
    Reset();
    Device();
    row.run();
    ASSERT_EQ(Win->Started, std::vector<Job>{row.job}) << row.name;
    ASSERT_EQ(Win->Finished.size(), 1u) << row.name;
    const auto& [job, result] = Win->Finished.front();
    EXPECT_EQ(job, row.job) << row.name;
    EXPECT_EQ(result.Outcome, row.outcome) << row.name;
    EXPECT_EQ(result.Failure, row.failure) << row.name;
    EXPECT_EQ(result.Reason.empty(), row.outcome == JobOutcome::Ok) << row.name;
    EXPECT_EQ(result.Sector, row.sector) << row.name;
    EXPECT_EQ(result.HasIdentity, row.job == Job::VerifyHardware && row.outcome == O::Ok)
        << row.name;
    if (result.HasIdentity) {
      EXPECT_EQ(result.Identity.ProductName, "UNIT") << row.name;
    }
    EXPECT_FALSE(S->RunningJob().has_value()) << row.name;
  }
}

// The device's answer to a read of `bytes`: each word and its "g", then the
// "a" after the stop.
std::string ReadBackWords(const std::string& bytes) {
  std::string script;
  for (size_t i = 0; i < bytes.size(); i += 2) script += bytes.substr(i, 2) + "g";
  return script + "a";
}

TEST_F(UpdateTest, VerifyReadsBackWhatWasSentAndNamesTheFirstDifference) {
  struct Row {
    const char* name;
    size_t imageSize;
    size_t flipAt;       // image byte the device returns changed; npos for none
    size_t sector4Ends;  // bytes of sector 4 the device sends before "f"; npos for all
    std::string logTail;
    int32_t sector;
    int64_t address;
  };
  const size_t all = std::string::npos;
  const Row rows[] = {
      {"match", 20580, all, all, "<verify: 20580 bytes match>\r\n<done>\r\n", -1, -1},
      {"odd size, filler compared", 20581, all, all, "<verify: 20582 bytes match>\r\n<done>\r\n",
       -1, -1},
      {"flipped bit", 20580, 10000, all,
       "<ERR: verify failed in sector 3 at address 0x00E710: written 0xE1, read 0xE0>\r\n", 3,
       0xE710},
      {"sector ends early", 20580, all, 8,
       "<ERR: verify failed in sector 4 at address 0x010008: written 0x5F, read nothing (the "
       "sector ended)>\r\n",
       4, 0x10008},
  };
  // A difference counts once the sector's second read finds it too: the
  // device's answer, as it reads the same flash again.
  const auto twice = [](const std::string& first, const std::string& again) {
    return first + again;
  };
  for (const Row& row : rows) {
    Reset();
    Device();
    S->VerifyAfterDownload = true;
    const std::string image = MakeImage(row.imageSize, "\x03\x04"s);
    ChooseImage(image);
    Download();
    std::string back = image;
    if (back.size() % 2 != 0) back += '\xFF';
    std::string script = "babaeaea";
    if (row.flipAt != all) {
      back[row.flipAt] = static_cast<char>(back[row.flipAt] ^ 0x01);
      // The read stops at the word that differs.
      const std::string read = ReadBackWords(back.substr(0, row.flipAt / 2 * 2 + 2));
      script += twice(read, read);
    } else if (row.sector4Ends != all) {
      const std::string words = ReadBackWords(back.substr(16384, row.sector4Ends));
      const std::string sector4 = words.substr(0, words.size() - 2) + "fa";
      script += ReadBackWords(back.substr(0, 16384)) + twice(sector4, sector4);
    } else {
      script += ReadBackWords(back.substr(0, 16384)) + ReadBackWords(back.substr(16384));
    }
    FeedWhole(script);

    const bool ok = row.sector < 0;
    const std::string wire = Port->WrittenText();
    const std::string programmed = "0\x03"s + "0\x04" + "1\x03" + image.substr(0, 16384) + "1\x04";
    const size_t verifyAt = programmed.size() + 16384;
    const std::string firstRead =
        "2\x03"s + "3" + std::string(row.flipAt == all ? 8191 : 5000, '3') + "4";
    EXPECT_TRUE(wire.compare(verifyAt, firstRead.size(), firstRead) == 0) << row.name;
    const std::string& log = Win->Log;
    EXPECT_EQ(
        log.find("reading sector " + std::to_string(row.sector) + " again>") != std::string::npos,
        !ok)
        << row.name;
    EXPECT_EQ(log.substr(log.size() - std::min(log.size(), row.logTail.size())), row.logTail)
        << row.name;
    EXPECT_EQ(log.find("<done>") != std::string::npos, ok) << row.name;
    EXPECT_EQ(Win->Panel, ok ? PanelForm::Success : PanelForm::Error) << row.name;
    EXPECT_EQ(S->SessionState(), St::Ended) << row.name;
    EXPECT_EQ(Win->Labels[StepLabel::Label7], LabelColour::Yellow) << row.name;
    ASSERT_EQ(Win->Finished.size(), 1u) << row.name;
    const JobResult& result = Win->Finished.front().second;
    EXPECT_EQ(result.Outcome, ok ? JobOutcome::Ok : JobOutcome::Failed) << row.name;
    EXPECT_EQ(result.Failure, ok ? JobFailure::None : JobFailure::VerifyMismatch) << row.name;
    EXPECT_EQ(result.Sector, row.sector) << row.name;
    EXPECT_EQ(result.Address, row.address) << row.name;
  }
}

// A stray byte on the line during the verify: the word that lacks its "g"
// is no difference of the flash. The device is brought back to its prompt
// and the sector read once more; only a second lost step ends the job, as a
// line fault.
TEST_F(UpdateTest, VerifyThatLosesStepReadsTheSectorAgainOnce) {
  struct Row {
    const char* name;
    std::vector<size_t> strayBeforeWord;  // in the first read of sector 3, then in its second
    bool flippedOnceOnTheLine;            // the first read returns one byte changed
    std::string logLine;
    JobFailure failure;
    int64_t address;
  };
  const Row rows[] = {
      {"stray in the first read",
       {5},
       false,
       "<the line lost step at 0x00C00A in sector 3 of the verify (a word without its \"g\" or "
       "\"f\"): reading sector 3 again>\r\n",
       JobFailure::None,
       -1},
      {"stray in both reads",
       {5, 7},
       false,
       "<ERR: the line lost step at 0x00C00E in sector 3 of the verify, also when the sector was "
       "read again",
       JobFailure::DeviceGarbled,
       0xC00E},
      {"a byte changed on the way back",
       {},
       true,
       "<the verify read 0xE0 at address 0x00E710 of sector 3, written 0xE1: reading sector 3 "
       "again>\r\n",
       JobFailure::None,
       -1},
  };
  for (const Row& row : rows) {
    Reset();
    Device();
    S->VerifyAfterDownload = true;
    const std::string image = MakeImage(20580, "\x03\x04"s);
    ChooseImage(image);
    Download();
    // Sector 3 in words, a stray before word `stray`; the device then sends
    // the rest of that word's frame and, asked to stop, its "a".
    const auto sector3 = [&](std::optional<size_t> stray, bool flipped) {
      std::string words = image.substr(0, 16384);
      if (flipped) words[10000] = static_cast<char>(words[10000] ^ 0x01);
      if (!stray) return ReadBackWords(flipped ? words.substr(0, 10002) : words);
      const std::string frames = ReadBackWords(words.substr(0, *stray * 2 + 2));
      return frames.substr(0, *stray * 3) + "x" + frames.substr(*stray * 3);
    };
    std::string script = "babaeaea";
    for (size_t k = 0; k < row.strayBeforeWord.size(); ++k) {
      script += sector3(row.strayBeforeWord[k], false);
    }
    if (row.flippedOnceOnTheLine) script += sector3(std::nullopt, true);
    if (row.failure == JobFailure::None) {
      script += sector3(std::nullopt, false) + ReadBackWords(image.substr(16384));
    }
    FeedWhole(script);

    const bool ok = row.failure == JobFailure::None;
    EXPECT_NE(Win->Log.find(row.logLine), std::string::npos) << row.name << Win->Log;
    EXPECT_EQ(Win->Log.find("<verify: 20580 bytes match>\r\n<done>\r\n") != std::string::npos, ok)
        << row.name;
    // Sector 3 is asked for twice.
    const std::string wire = Port->WrittenText();
    size_t reads = 0;
    for (size_t at = wire.find("2\x03"s); at != std::string::npos;
         at = wire.find("2\x03"s, at + 1)) {
      ++reads;
    }
    EXPECT_EQ(reads, 2u) << row.name;
    ASSERT_EQ(Win->Finished.size(), 1u) << row.name;
    const JobResult& result = Win->Finished.front().second;
    EXPECT_EQ(result.Failure, row.failure) << row.name;
    EXPECT_EQ(result.Address, row.address) << row.name;
    EXPECT_EQ(S->SessionState(), St::Ended) << row.name;
  }
}

TEST_F(UpdateTest, SilenceBeyondItsBoundEndsTheJobWithTheStepNamed) {
  using namespace std::chrono_literals;
  struct Row {
    const char* name;
    std::function<void()> start;
    std::chrono::milliseconds bound;
    std::string line;
    int32_t sector = -1;
  };
  const auto uploadFiles = [&] {
    WriteWholeFile(Dir / "Loader.hex", "00");
    WriteWholeFile(Dir / "F29f160d.hex", "00");
  };
  const Row rows[] = {
      {"chip never answers",
       [&] {
         uploadFiles();
         S->StartConnect();
       },
       Session::BootstrapAnswerTimeout, "<ERR: the chip did not answer the start byte within 3 s"},
      {"no sector table after the upload",
       [&] {
         uploadFiles();
         S->StartConnect();
         FeedWhole("\xD5");
       },
       Session::DeviceReplyTimeout, "while waiting for the flash routine's sector table"},
      {"erase never confirmed",
       [&] {
         EraseOnly("abc", 8, 8);
         FeedWhole("ba");
       },
       2 * DevicePart().EraseBound(9), "while waiting for the erase of sector 9", 9},
      {"read-back stops inside a word",
       [&] {
         S->StartReadBack((Dir / "dump").string());
         FeedWhole("AB");
       },
       Session::DeviceReplyTimeout, "while waiting for the data of sector 8 (read-back)"},
  };
  for (const Row& row : rows) {
    for (const auto& entry : fs::directory_iterator(Dir)) fs::remove_all(entry);
    Reset();
    Device();
    row.start();
    const std::string before = Win->Log;
    Now += row.bound - 1ms;
    S->Tick(Now);
    EXPECT_EQ(Win->Log, before) << row.name;
    Now += 1ms;
    S->Tick(Now);
    EXPECT_NE(Win->Log.find(row.line, before.size()), std::string::npos) << row.name << Win->Log;
    EXPECT_EQ(Win->Panel, PanelForm::Error) << row.name;
    EXPECT_EQ(S->SessionState(), St::Idle) << row.name;
    EXPECT_FALSE(S->ImageFile().IsOpen() || S->DestinationFile().IsOpen()) << row.name;
    ASSERT_EQ(Win->Finished.size(), 1u) << row.name;
    EXPECT_EQ(Win->Finished[0].second.Failure, JobFailure::DeviceSilent) << row.name;
    EXPECT_EQ(Win->Finished[0].second.Sector, row.sector) << row.name;
  }
  // Without a job nothing is awaited.
  Reset();
  Now += 1h;
  S->Tick(Now);
  EXPECT_TRUE(Win->Trace.empty());
}

TEST_F(UpdateTest, StartOverForgetsEverythingAndConnectWorksAgain) {
  Device();
  S->StartReadBack((Dir / "dump").string());
  FeedWhole("ABgC");
  S->StartOver();
  ASSERT_EQ(Win->Finished.size(), 1u);
  EXPECT_EQ(Win->Finished[0].second.Failure, JobFailure::Cancelled);
  EXPECT_FALSE(S->RunningJob());
  EXPECT_FALSE(S->DestinationFile().IsOpen());
  EXPECT_EQ(KeptPart(Dir / "dump"), "ABC");
  EXPECT_EQ(S->SessionState(), St::Idle);
  EXPECT_TRUE(S->Identity().ProductName.empty());
  EXPECT_EQ(S->SectorStart()[9], 0u);
  EXPECT_EQ(S->WordsToRead(), 200);
  WriteWholeFile(Dir / "Loader.hex", "00");
  WriteWholeFile(Dir / "F29f160d.hex", "00");
  Port->Written.clear();
  S->StartConnect();
  EXPECT_EQ(Port->WrittenText(), "\0"s);
}

TEST_F(UpdateTest, FloodingDeviceGetsTheThreadBackEvery50Ms) {
  using namespace std::chrono_literals;
  // Every look at the clock takes 10 ms: a slice holds about five bytes.
  S->Clock = [this] { return Now += 10ms; };
  Port->Script(std::string(1000, 'x'));
  Port->Deliver(1000);
  int passes = 0;
  while (!Port->Arrived.empty() && passes < 1000) {
    S->Comm1CharReceived(static_cast<uint32_t>(Port->Arrived.size()));
    ++passes;
  }
  EXPECT_TRUE(Port->Arrived.empty());
  EXPECT_GE(passes, 150);
  EXPECT_LE(passes, 250);
}
