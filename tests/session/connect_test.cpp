// "connect": bootstrap start, upload, sector-table exchange.
#include "session_fixture.h"

namespace {

// The device's side of the exchange after the upload: the announcement, the
// count byte, per entry a prompt and four bytes, then the ready byte.
std::string TableScript(const std::vector<uint32_t>& entries, uint8_t count) {
  std::string script = "j?"s + static_cast<char>(count);
  for (uint32_t entry : entries) script += "p" + Entry(entry);
  return script + "a";
}

// What the device must see after the start byte and the upload.
std::string TableRequests(int entries) {
  std::string wire = "6";
  for (int i = 0; i < entries; ++i) wire += "7"s + static_cast<char>(i);
  return wire;
}

class ConnectTest : public SessionTest {
 protected:
  void WriteUploadFiles(const std::string& loader, const std::string& flash = "A5") {
    WriteWholeFile(Dir / "Loader.hex", loader);
    WriteWholeFile(Dir / "F29f160d.hex", flash);
  }
};

}  // namespace

TEST_F(ConnectTest, SuccessfulConnectionOnTheWireAndInTheLog) {
  const std::vector<uint32_t> entries = {0x000000, 0x000120, 0x1000000};
  const std::string script = "\xD5"s + TableScript(entries, 1);
  const auto start = [&] {
    WriteUploadFiles("0102", "A5B6");
    Port->IsConnected = false;
    S->StartConnect();
  };
  ExpectSameAtEverySplit(start, script);

  std::string wire = "\0\x01\x02"s + std::string(30, '\0') + "\xA5\xB6" + TableRequests(3);
  EXPECT_EQ(Port->WrittenText(), wire);
  EXPECT_EQ(Win->Log,
            "<serial interface opened>\r\n\r\n<activating bootstrap mode...>\r\n"
            "<bootstrapmode activated>\r\n<writing loader into C165...>\r\n"
            "<writing flashroutine into C165...>\r\n<  c o n n e c t e d  >\r\n");
  EXPECT_EQ(S->SectorStart()[1], 288u);
  EXPECT_EQ(S->SectorStart()[2], 1u << 24);
  EXPECT_EQ(S->SectorTableTop(), 1);
  EXPECT_EQ(S->SessionState(), St::Idle);
  EXPECT_EQ(Win->Panel, PanelForm::Success);
  EXPECT_EQ(Win->Labels[StepLabel::Label6], LabelColour::Yellow);
  EXPECT_EQ(Win->Labels[StepLabel::Label1], LabelColour::ButtonFace);
  EXPECT_FALSE(Win->Enabled[Control::Button3]);
  EXPECT_TRUE(Win->Enabled[Control::Button6]);
  EXPECT_FALSE(Win->Enabled[Control::RadioButton7]);
  EXPECT_EQ(Paused, (std::vector<std::chrono::milliseconds>{std::chrono::milliseconds(100)}));
}

TEST_F(ConnectTest, LoaderFileBecomesAtLeastThirtyTwoBytes) {
  struct Row {
    std::string file;
    std::string bytes;
  };
  const Row rows[] = {
      {"0123456789abcdefABCD", "\x01\x23\x45\x67\x89\xab\xcd\xef\xAB\xCD"s + std::string(22, '\0')},
      {std::string(64, '1'), std::string(32, '\x11')},
      {std::string(64, '1') + "F", std::string(32, '\x11')},
      {std::string(80, '2'), std::string(40, '\x22')},
      {"4a4AG1", "\x4A\x4A\x01"s + std::string(29, '\0')},
      // A line break is a digit worth 0 and shifts every later pair.
      {"1\n2345", "\x10\x23\x45"s + std::string(29, '\0')},
  };
  for (const Row& row : rows) {
    Reset();
    WriteUploadFiles(row.file);
    S->StartConnect();
    FeedWhole("\xD5");
    EXPECT_EQ(Port->WrittenText(), "\0"s + row.bytes + "\xA5") << row.file;
    EXPECT_EQ(S->SessionState(), St::Idle);
  }
}

TEST_F(ConnectTest, MissingUploadFileStopsBeforeTheStartByte) {
  struct Row {
    bool loader, flash;
    std::string lines;
  };
  // The line of ours names the file and where it was looked for.
  const auto SizeFailed = [this](const std::string& name) {
    return "<ERR: cannot open " + name + ": not found in " + Dir.string() + ">\r\n";
  };
  const std::string loaderMissing = "<Loader.hex was looked for in: " + Dir.string() +
                                    ">\r\n<ERR: couldn`f find file LOADER.HEX>\r\n";
  const std::string flashMissing = "<F29f160d.hex was looked for in: " + Dir.string() +
                                   ">\r\n<ERR: couldn`f find file F29F160D.HEX>\r\n";
  const Row rows[] = {
      {false, true, loaderMissing + SizeFailed("Loader.hex")},
      {true, false, flashMissing + SizeFailed("F29f160d.hex")},
      {false, false, loaderMissing + flashMissing + SizeFailed("Loader.hex")},
  };
  for (const Row& row : rows) {
    Reset();
    fs::remove(Dir / "Loader.hex");
    fs::remove(Dir / "F29f160d.hex");
    if (row.loader) WriteWholeFile(Dir / "Loader.hex", "00");
    if (row.flash) WriteWholeFile(Dir / "F29f160d.hex", "00");
    S->StartConnect();
    EXPECT_EQ(Win->Log, "<serial interface already opened>\r\n\r\n" + row.lines);
    EXPECT_EQ(Win->Warnings, (std::vector<std::string>{"E/A-Fehler 103"}));
    EXPECT_EQ(Win->Panel, PanelForm::Error);
    EXPECT_TRUE(Port->Written.empty());
    EXPECT_EQ(S->SessionState(), St::AwaitBootstrapAnswer);
  }
}

TEST_F(ConnectTest, UploadFilesAreFoundInTheChosenFolderAndUnderAnotherLetterCase) {
  fs::remove(Dir / "Loader.hex");
  fs::remove(Dir / "F29f160d.hex");
  const fs::path chosen = Dir / "chosen";
  fs::create_directories(chosen);
  WriteWholeFile(chosen / "LOADER.HEX", "00");
  WriteWholeFile(chosen / "F29f160d.hex", "00");
  S->UploadFolder = chosen.string();
  S->StartConnect();
  const std::string expected = "<serial interface already opened>\r\n\r\n<Loader.hex: using " +
                               (chosen / "LOADER.HEX").string() + ">\r\n<activating bootstrap";
  EXPECT_EQ(Win->Log.substr(0, expected.size()), expected);
  EXPECT_TRUE(Win->Warnings.empty());
}

TEST_F(ConnectTest, PortThatDoesNotOpenSendsNothing) {
  WriteUploadFiles("00");
  Port->IsConnected = false;
  Port->OpenSucceeds = false;
  S->StartConnect();
  EXPECT_EQ(Win->Log,
            "<ERR: couldn`t connect serial interface>\r\n\r\n"
            "<ERR: serial interface not opened>\r\n\r\n");
  EXPECT_TRUE(Port->Written.empty());
  EXPECT_EQ(Win->Panel, PanelForm::Error);
}

TEST_F(ConnectTest, AlreadyOpenPortStartsTheBootstrapAgain) {
  WriteUploadFiles("00");
  S->StartConnect();
  S->StartConnect();
  EXPECT_EQ(Port->OpenCalls, 0);
  EXPECT_EQ(Port->WrittenText(), "\0\0"s);
  EXPECT_EQ(Win->Log.find("<serial interface already opened>\r\n"), 0u);
}

TEST_F(ConnectTest, TableCountDecidesHowManyEntriesAreAskedForAndKept) {
  for (int count : {34, 40}) {
    Reset();
    WriteUploadFiles("00");
    S->StartConnect();
    std::vector<uint32_t> entries;
    for (int i = 0; i < count + 2; ++i) entries.push_back(0x1000u * static_cast<uint32_t>(i) + 7);
    FeedWhole("\xD5"s + TableScript(entries, static_cast<uint8_t>(count)));
    EXPECT_EQ(Port->WrittenText().substr(1 + 32 + 1), TableRequests(count + 2)) << count;
    for (size_t i = 0; i < S->SectorStart().size(); ++i) EXPECT_EQ(S->SectorStart()[i], entries[i]);
    const bool cut =
        Win->Log.find("<sector table cut: the device announced 42 entries, 36 kept>\r\n") !=
        std::string::npos;
    EXPECT_EQ(cut, count == 40);
    EXPECT_EQ(Win->Panel, PanelForm::Success);
  }
}

TEST_F(ConnectTest, SilentDeviceInTheTableExchangeEndsItAndConnectWorksAgain) {
  WriteUploadFiles("00");
  S->StartConnect();
  FeedWhole("\xD5j?\x05p\x00\x00"s);
  Now += S->SectorTableByteTimeout;
  S->Tick(Now);
  EXPECT_NE(Win->Log.find("<ERR: device did not answer during the sector table exchange>\r\n"),
            std::string::npos);
  EXPECT_EQ(Win->Panel, PanelForm::Error);
  EXPECT_EQ(S->SessionState(), St::Idle);

  Port->Written.clear();
  S->StartConnect();
  FeedWhole("\xD5"s + TableScript({0, 0x4000}, 0));
  EXPECT_EQ(Port->WrittenText(), "\0"s + std::string(32, '\0') + "\xA5" + TableRequests(2));
  EXPECT_EQ(S->SectorStart()[1], 0x4000u);
  EXPECT_EQ(S->SectorStart()[2], 0u);
  EXPECT_EQ(Win->Panel, PanelForm::Success);
}
