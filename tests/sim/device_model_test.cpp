// The device model driven byte by byte the way the program talks to it.
#include "sim/device_model.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/upload.h"

namespace sim {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Str(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// A 20-byte loader (padded by the host to 32) and a 50-byte routine.
DeviceConfig TestConfig() {
  DeviceConfig config;
  for (int i = 0; i < 20; ++i) config.Loader.push_back(static_cast<uint8_t>(0xA0 + i));
  for (int i = 0; i < 50; ++i) config.Routine.push_back(static_cast<uint8_t>(i * 7));
  return config;
}

Bytes UploadBytes(const DeviceConfig& config) {
  return Cat({{BootStart}, ExpectedLoader(config.Loader), config.Routine});
}

// What the host sends for the whole sector-table exchange with count n.
Bytes TableRequests(int n) {
  Bytes bytes = {CmdTableCount};
  for (int i = 0; i <= n + 1; ++i) {
    bytes.push_back(CmdTableEntry);
    bytes.push_back(static_cast<uint8_t>(i));
  }
  return bytes;
}

Bytes Feed(DeviceModel& model, const Bytes& in) {
  Bytes out;
  model.Feed(in, out);
  return out;
}

// Brings a model to the flash routine's command loop.
void Connect(DeviceModel& model, const DeviceConfig& config) {
  Feed(model, UploadBytes(config));
  Feed(model, TableRequests(DefaultTableCount));
  ASSERT_TRUE(model.WaitingForCommand());
}

Bytes ExpectedTableReplies(int n) {
  Bytes bytes = {ReplyTable, TableAnnounceExtra, static_cast<uint8_t>(n)};
  for (int i = 0; i <= n + 1; ++i) {
    // The index travels as one byte: a count of 255 wraps the last one to 0.
    const uint8_t index = static_cast<uint8_t>(i);
    const uint32_t entry = index <= SectorCount ? SectorTable[index] : FlashSize;
    bytes.insert(bytes.end(),
                 {TablePrompt, static_cast<uint8_t>(entry >> 24), static_cast<uint8_t>(entry >> 16),
                  static_cast<uint8_t>(entry >> 8), static_cast<uint8_t>(entry)});
  }
  return bytes;
}

TEST(DeviceModelBoot, CorrectUploadStartsRoutineWithSectorTable) {
  const DeviceConfig config = TestConfig();
  DeviceModel model(config, Flash());
  // Noise before the start byte is not an answer-worthy event.
  EXPECT_EQ(Feed(model, {0x55, 0x13}), Bytes{});
  EXPECT_EQ(Feed(model, {BootStart}), Bytes{BootIdentify});
  EXPECT_EQ(model.Upload(), UploadState::ReceivingLoader);
  const Bytes rest = Cat({ExpectedLoader(config.Loader), config.Routine});
  EXPECT_EQ(Feed(model, rest), Bytes({ReplyTable, TableAnnounceExtra}));
  EXPECT_EQ(model.Upload(), UploadState::Accepted);

  Bytes out = Feed(model, TableRequests(DefaultTableCount));
  Bytes expected = ExpectedTableReplies(DefaultTableCount);
  expected.erase(expected.begin(), expected.begin() + 2);
  expected.push_back(ReplyReady);
  EXPECT_EQ(out, expected);
  EXPECT_TRUE(model.WaitingForCommand());
}

TEST(DeviceModelBoot, WrongUploadCrashesTheChip) {
  struct Row {
    const char* name;
    std::size_t corruptAt;  // index into loader + routine
    UploadState state;
  };
  const Row rows[] = {
      {"first loader byte", 0, UploadState::LoaderMismatch},
      {"loader padding", 25, UploadState::LoaderMismatch},
      {"first routine byte", 32, UploadState::RoutineMismatch},
      {"last routine byte", 32 + 49, UploadState::RoutineMismatch},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const DeviceConfig config = TestConfig();
    DeviceModel model(config, Flash());
    Bytes upload = UploadBytes(config);
    upload[1 + row.corruptAt] ^= 0x01;
    EXPECT_EQ(Feed(model, upload), Bytes{BootIdentify});
    EXPECT_EQ(model.Upload(), row.state);
    const std::size_t index = row.corruptAt < 32 ? row.corruptAt : row.corruptAt - 32;
    EXPECT_NE(model.UploadProblem().find("byte " + std::to_string(index) + " "), std::string::npos)
        << model.UploadProblem();
    // A crashed chip answers nothing, not even the table request or a new start.
    EXPECT_EQ(Feed(model, Cat({TableRequests(34), {BootStart}})), Bytes{});
    // Only a power cycle brings the loader back.
    model.PowerCycle(false);
    EXPECT_EQ(Feed(model, UploadBytes(config)), Bytes({BootIdentify, ReplyTable, 0x01}));
  }
}

TEST(DeviceModelBoot, LoaderLongerThan32BytesSpillsIntoRoutine) {
  // The chip takes exactly 32 loader bytes; a host that sends a longer
  // loader whole puts its tail where the routine should be.
  DeviceConfig config = TestConfig();
  config.Loader.resize(40, 0x11);
  DeviceModel model(config, Flash());
  Feed(model, Cat({{BootStart}, config.Loader, config.Routine}));
  EXPECT_EQ(model.Upload(), UploadState::RoutineMismatch);
}

TEST(DeviceModelBoot, SameOutputAtEverySplit) {
  const DeviceConfig config = TestConfig();
  const Bytes script = Cat({UploadBytes(config),
                            TableRequests(34),
                            Str("0"),
                            {9},
                            Str("2"),
                            {3},
                            Str("3"),
                            Str("3"),
                            Str("4"),
                            Str("5"),
                            {0x1F, 0xFF, 0xFC},
                            Str("3"),
                            Str("3")});
  DeviceModel whole(config, Flash());
  const Bytes expected = Feed(whole, script);
  for (std::size_t split = 1; split < script.size(); ++split) {
    DeviceModel model(config, Flash());
    Bytes out = Feed(model, Bytes(script.begin(), script.begin() + split));
    const Bytes tail = Feed(model, Bytes(script.begin() + split, script.end()));
    out.insert(out.end(), tail.begin(), tail.end());
    ASSERT_EQ(out, expected) << "split at " << split;
  }
}

TEST(DeviceModelTable, InjectedCountRepeatsTheEndAddress) {
  for (const int count : {0, 10, 34, 36, 255}) {
    SCOPED_TRACE(count);
    DeviceConfig config = TestConfig();
    config.InitialFaults.TableCount = static_cast<uint8_t>(count);
    DeviceModel model(config, Flash());
    Bytes out = Feed(model, UploadBytes(config));
    const Bytes table = Feed(model, TableRequests(count));
    out.insert(out.end(), table.begin(), table.end());
    Bytes expected = Cat({{BootIdentify}, ExpectedTableReplies(count), {ReplyReady}});
    EXPECT_EQ(out, expected);
  }
}

TEST(DeviceModelTable, MessageGoesJustBeforeTheFirstPrompt) {
  DeviceConfig config = TestConfig();
  config.Message = std::array<uint8_t, 2>{'1', '2'};
  DeviceModel model(config, Flash());
  Feed(model, UploadBytes(config));
  const Bytes out = Feed(model, TableRequests(34));
  ASSERT_GE(out.size(), 4u);
  EXPECT_EQ(Bytes(out.end() - 4, out.end()), Str("h12a"));
}

class DeviceModelCommands : public ::testing::Test {
 protected:
  DeviceConfig config = TestConfig();
  DeviceModel model{config, Flash()};
  void SetUp() override { Connect(model, config); }
  Flash& flash() { return model.FlashMemory(); }
};

TEST_F(DeviceModelCommands, EraseFillsTheSectorOnly) {
  for (uint32_t a = SectorTable[3] - 4; a < SectorTable[5] + 4; ++a) flash().MutableBytes()[a] = 0;
  EXPECT_EQ(Feed(model, {CmdErase, 4}), Str("ba"));
  for (const uint32_t a : {SectorTable[4], SectorTable[5] - 1}) EXPECT_EQ(flash().At(a), 0xFF);
  for (const uint32_t a : {SectorTable[4] - 1, SectorTable[5]}) EXPECT_EQ(flash().At(a), 0x00);
}

TEST_F(DeviceModelCommands, ProgramOnlyClearsBits) {
  struct Row {
    const char* name;
    uint8_t before;
    uint8_t data;
    uint8_t reply;
    uint8_t after;
  };
  const Row rows[] = {
      {"erased cell takes any value", 0xFF, 0x5A, ReplyProgrammed, 0x5A},
      {"same value again", 0x5A, 0x5A, ReplyProgrammed, 0x5A},
      {"clearing more bits", 0x5A, 0x42, ReplyProgrammed, 0x42},
      {"a 0 cannot become 1", 0x42, 0x5A, ReplyProgramFail, 0x42},
      {"mixed: the AND is written", 0x0F, 0xF1, ReplyProgramFail, 0x01},
  };
  const int sector = 2;  // 8K
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto cells = flash().MutableBytes().subspan(SectorTable[sector], SectorSize(sector));
    std::fill(cells.begin(), cells.end(), 0xFF);
    cells[100] = row.before;
    Bytes command = {CmdProgram, sector};
    Bytes data(SectorSize(sector), 0xFF);
    data[100] = row.data;
    data.back() = 0x00;
    // Sent in two pieces across the boundary a reply would come at.
    const Bytes all = Cat({command, data});
    EXPECT_EQ(Feed(model, Bytes(all.begin(), all.end() - 1)), Bytes{});
    EXPECT_EQ(Feed(model, Bytes(all.end() - 1, all.end())), Bytes({row.reply, ReplyReady}));
    EXPECT_EQ(flash().At(SectorTable[sector] + 100), row.after);
    EXPECT_EQ(flash().At(SectorTable[sector + 1] - 1), 0x00);
    EXPECT_TRUE(model.WaitingForCommand());
  }
}

TEST_F(DeviceModelCommands, InjectedProgramFailureLeavesTheSectorAlone) {
  Faults faults;
  faults.FailingSectors = {0};
  model.SetFaults(faults);
  Bytes command = Cat({{CmdProgram, 0}, Bytes(SectorSize(0), 0x00)});
  EXPECT_EQ(Feed(model, command), Bytes({ReplyProgramFail, ReplyReady}));
  EXPECT_EQ(flash().At(0), 0xFF);
  command[1] = 2;
  command.resize(2 + SectorSize(2), 0x00);
  EXPECT_EQ(Feed(model, command), Bytes({ReplyProgrammed, ReplyReady}));
}

TEST_F(DeviceModelCommands, FlippedBitIsProgrammedAndReportedAsGood) {
  Faults faults;
  faults.BitFlips = {{2, 100, 3}, {2, 0, 0}};
  model.SetFaults(faults);
  const Bytes all = Cat({{CmdProgram, 2}, Bytes(SectorSize(2), 0x00)});
  // The data arrives in two pieces that split at the flipped byte.
  EXPECT_EQ(Feed(model, Bytes(all.begin(), all.begin() + 2 + 100)), Bytes{});
  EXPECT_EQ(Feed(model, Bytes(all.begin() + 2 + 100, all.end())),
            Bytes({ReplyProgrammed, ReplyReady}));
  EXPECT_EQ(flash().At(SectorTable[2]), 0x01);
  EXPECT_EQ(flash().At(SectorTable[2] + 99), 0x00);
  EXPECT_EQ(flash().At(SectorTable[2] + 100), 0x08);
  EXPECT_EQ(flash().At(SectorTable[2] + 101), 0x00);
}

TEST_F(DeviceModelCommands, UnknownSectorIsDroppedWithoutReply) {
  // The routine forgets the command; what follows is taken as commands.
  EXPECT_EQ(Feed(model, {CmdErase, SectorCount}), Bytes{});
  EXPECT_EQ(Feed(model, {CmdReadSector, 200, CmdNextWord}), Bytes{});
  EXPECT_EQ(Feed(model, {CmdProgram, 35, 'z', 'z'}), Bytes{});
  EXPECT_EQ(Feed(model, {CmdErase, 0}), Str("ba"));
}

TEST_F(DeviceModelCommands, ReadSectorWordByWord) {
  const int sector = 1;  // 8K = 4096 words
  for (uint32_t a = SectorTable[sector]; a < SectorTable[sector + 1]; ++a) {
    flash().MutableBytes()[a] = static_cast<uint8_t>(a * 3);
  }
  Bytes out = Feed(model, {CmdReadSector, sector, CmdNextWord});
  for (int word = 1; word < 4096; ++word) {
    const Bytes more = Feed(model, {CmdNextWord});
    out.insert(out.end(), more.begin(), more.end());
  }
  ASSERT_EQ(out.size(), 4096u * 3 + 1);
  for (uint32_t word = 0; word < 4096; ++word) {
    const uint32_t a = SectorTable[sector] + 2 * word;
    ASSERT_EQ(out[3 * word], static_cast<uint8_t>(a * 3));
    ASSERT_EQ(out[3 * word + 1], static_cast<uint8_t>((a + 1) * 3));
    ASSERT_EQ(out[3 * word + 2], word == 4095 ? ReplyEndOfRead : ReplyWordSent) << word;
  }
  EXPECT_EQ(out.back(), ReplyReady);
  // A "3" after the end is no longer part of a read.
  EXPECT_EQ(Feed(model, {CmdNextWord}), Bytes{});
}

TEST_F(DeviceModelCommands, ReadExchangesAndTheirEnds) {
  flash().MutableBytes()[0x004000] = 0x12;
  flash().MutableBytes()[0x004001] = 0x34;
  flash().MutableBytes()[FlashSize - 2] = 0x56;
  flash().MutableBytes()[FlashSize - 1] = 0x78;
  struct Row {
    const char* name;
    Bytes host;
    Bytes device;
  };
  const std::vector<Row> rows = {
      {"read from address, stop after one word",
       {'5', 0x00, 0x40, 0x00, '3', '4'},
       {0x12, 0x34, 'g', 'a'}},
      {"stray bytes while waiting are ignored",
       {'5', 0x00, 0x40, 0x00, 'x', '3', 'y', '4'},
       {0x12, 0x34, 'g', 'a'}},
      {"last word of the flash ends the read",
       {'5', 0x1F, 0xFF, 0xFE, '3'},
       {0x56, 0x78, 'f', 'a'}},
      {"address past the flash is dropped", {'5', 0x20, 0x00, 0x00, '3'}, {}},
      {"stop before the first word", {'2', 8, '4'}, {'a'}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(Feed(model, row.host), row.device);
    EXPECT_TRUE(model.WaitingForCommand());
  }
}

// The upload and the sector-table exchange with `faults` injected.
struct FaultRun {
  std::unique_ptr<DeviceModel> model;
  Bytes out;
};

FaultRun RunWithFaults(const Faults& faults) {
  const DeviceConfig config = TestConfig();
  FaultRun run{std::make_unique<DeviceModel>(config, Flash()), {}};
  run.model->SetFaults(faults);
  run.out = Feed(*run.model, UploadBytes(config));
  const Bytes table = Feed(*run.model, TableRequests(34));
  run.out.insert(run.out.end(), table.begin(), table.end());
  return run;
}

TEST(DeviceModelFaults, StrayBytesGoOutAfterTheCountGiven) {
  const Bytes clean = RunWithFaults({}).out;
  struct Row {
    std::vector<StrayByte> strays;
    std::vector<std::pair<std::size_t, uint8_t>> inserted;  // position in output, value
  };
  const Row rows[] = {
      {{{0, 'X'}}, {{0, 'X'}}},
      {{{1, 'X'}}, {{1, 'X'}}},
      {{{3, 'b'}, {3, 'c'}}, {{3, 'b'}, {4, 'c'}}},
      // Strays count as sent bytes themselves.
      {{{10, 'Q'}, {5, 'P'}}, {{5, 'P'}, {10, 'Q'}}},
  };
  for (const Row& row : rows) {
    Faults faults;
    faults.Strays = row.strays;
    Bytes expected = clean;
    for (const auto& [position, value] : row.inserted) {
      expected.insert(expected.begin() + static_cast<std::ptrdiff_t>(position), value);
    }
    EXPECT_EQ(RunWithFaults(faults).out, expected);
  }
}

TEST(DeviceModelFaults, SilenceAndHangUpCutTheOutput) {
  const Bytes clean = RunWithFaults({}).out;
  const std::size_t fromUpload = 3;  // D5 j 01
  const std::size_t received = 1 + 32 + 50;
  struct Row {
    const char* name;
    Faults faults;
    std::size_t outputLength;
    bool hangUp;
  };
  std::vector<Row> rows;
  rows.push_back({"silent after 0 sent", {}, 0, false});
  rows.back().faults.SilentAfterSent = 0;
  rows.push_back({"silent after 5 sent", {}, 5, false});
  rows.back().faults.SilentAfterSent = 5;
  rows.push_back({"silent after the upload", {}, fromUpload, false});
  rows.back().faults.SilentAfterReceived = received;
  rows.push_back({"silent after the count request", {}, fromUpload + 2, false});
  rows.back().faults.SilentAfterReceived = received + 1;
  rows.push_back({"hang-up after 7 sent", {}, 7, true});
  rows.back().faults.HangUpAfterSent = 7;
  rows.push_back({"hang-up inside the routine upload", {}, 1, true});
  rows.back().faults.HangUpAfterReceived = 40;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const FaultRun run = RunWithFaults(row.faults);
    const DeviceModel* model = run.model.get();
    EXPECT_EQ(run.out, Bytes(clean.begin(), clean.begin() + row.outputLength));
    EXPECT_TRUE(model->Silent());
    EXPECT_EQ(model->HangUpDue(), row.hangUp);
    // Everything the host sent still counts as received.
    EXPECT_EQ(model->BytesReceived(), received + TableRequests(34).size());
  }
}

TEST(DeviceModelFaults, SilenceInsideSectorDataStopsProgrammingThere) {
  const DeviceConfig config = TestConfig();
  DeviceModel model(config, Flash());
  Connect(model, config);
  Faults faults;
  faults.SilentAfterReceived = model.BytesReceived() + 2 + 100;  // command + 100 data bytes
  model.SetFaults(faults);
  const Bytes out = Feed(model, Cat({{CmdProgram, 0}, Bytes(SectorSize(0), 0x00)}));
  EXPECT_EQ(out, Bytes{});
  EXPECT_EQ(model.FlashMemory().At(99), 0x00);
  EXPECT_EQ(model.FlashMemory().At(100), 0xFF);
}

TEST(DeviceModelFaults, StopsInsideAJob) {
  Bytes programTwo = Cat({{CmdProgram, 2}, Bytes(SectorSize(2), 0x00)});
  struct Row {
    const char* name;
    StopFault stop;
    Bytes host;
    Bytes device;
    std::vector<std::pair<uint32_t, uint8_t>> flashAfter;  // address, value
  };
  const Row rows[] = {
      {"silent while erasing: the sector is erased, no reply",
       {StopPhase::Erase, 4, false},
       {CmdErase, 3, CmdErase, 4, CmdErase, 5},
       Str("ba"),
       {{SectorTable[4], 0xFF}, {SectorTable[5], 0x00}}},
      {"wire pulled while erasing", {StopPhase::Erase, 3, true}, {CmdErase, 3}, {}, {}},
      {"silent halfway through a sector's data",
       {StopPhase::Program, 2, false},
       programTwo,
       {},
       {{SectorTable[2] + 4095, 0x00}, {SectorTable[2] + 4096, 0xFF}}},
      {"silent after three words of a sector read",
       {StopPhase::Read, 3, false},
       {CmdReadSector, 8, CmdNextWord, CmdNextWord, CmdNextWord, CmdNextWord},
       {0, 0, ReplyWordSent, 0, 0, ReplyWordSent, 0, 0, ReplyWordSent},
       {}},
      {"silent before the first word",
       {StopPhase::Read, 0, true},
       {CmdReadSector, 8, CmdNextWord},
       {},
       {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const DeviceConfig config = TestConfig();
    DeviceModel model(config, Flash());
    for (uint32_t a = SectorTable[3]; a < SectorTable[9]; ++a)
      model.FlashMemory().MutableBytes()[a] = 0;
    Connect(model, config);
    Faults faults;
    faults.Stops = {row.stop};
    model.SetFaults(faults);
    EXPECT_EQ(Feed(model, row.host), row.device);
    EXPECT_TRUE(model.Silent());
    EXPECT_EQ(model.HangUpDue(), row.stop.HangUp);
    for (const auto& [address, value] : row.flashAfter)
      EXPECT_EQ(model.FlashMemory().At(address), value);
    // Everything after the stop still counts as received.
    EXPECT_EQ(Feed(model, {CmdErase, 0}), Bytes{});
  }
}

TEST(DeviceModelFaults, FloodOfMessagesBeforeTheFirstPrompt) {
  for (const auto& [bytes, tail] :
       {std::pair<uint64_t, std::string>{7, "h00h01h02a"}, {3000, "h98h99a"}}) {
    SCOPED_TRACE(bytes);
    Faults faults;
    faults.FloodBytes = bytes;
    const Bytes out = RunWithFaults(faults).out;
    const std::size_t clean = RunWithFaults({}).out.size();
    EXPECT_EQ(out.size(), clean + (bytes + 2) / 3 * 3);
    EXPECT_EQ(Bytes(out.end() - static_cast<std::ptrdiff_t>(tail.size()), out.end()), Str(tail));
  }
}

TEST(DeviceModelFaults, PowerCycleKeepsFlashAndOptionallyFaults) {
  DeviceConfig config = TestConfig();
  config.InitialFaults.FailingSectors = {2};
  config.InitialFaults.SilentAfterSent = 1;
  for (const bool clear : {false, true}) {
    SCOPED_TRACE(clear);
    DeviceModel model(config, Flash());
    model.FlashMemory().MutableBytes()[7] = 0x07;
    EXPECT_EQ(Feed(model, UploadBytes(config)), Bytes{BootIdentify});
    model.PowerCycle(clear);
    EXPECT_EQ(model.Upload(), UploadState::AwaitingStart);
    EXPECT_EQ(model.BytesSent(), 0u);
    EXPECT_EQ(model.FlashMemory().At(7), 0x07);
    EXPECT_EQ(model.CurrentFaults().FailingSectors.empty(), clear);
    // The silence limit counts again from the new power-up.
    const Bytes again = Feed(model, UploadBytes(config));
    EXPECT_EQ(again.size(), clear ? 3u : 1u);
  }
}

}  // namespace
}  // namespace sim
