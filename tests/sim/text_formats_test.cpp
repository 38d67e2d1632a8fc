// The text the simulator reads and writes: upload files, transcripts and the
// devsim command line.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "sim/devsim_options.h"
#include "sim/pacer.h"
#include "sim/transcript.h"
#include "sim/upload.h"

namespace sim {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(UploadText, DecodesLikeTheProgram) {
  struct Row {
    const char* text;
    Bytes bytes;
  };
  const Row rows[] = {
      {"4a", {0x4A}},
      {"4A", {0x4A}},
      {"G1", {0x01}},
      {"00ff10", {0x00, 0xFF, 0x10}},
      {"123", {0x12}},  // odd last character is never read
      {"", {}},
      // A line break is a digit of value 0 and shifts every later pair.
      {"12\n345", {0x12, 0x03, 0x45}},
      {"zz:9", {0x00, 0x09}},
  };
  for (const Row& row : rows) EXPECT_EQ(DecodeHexText(row.text), row.bytes) << row.text;
}

TEST(UploadText, LoaderIsPaddedOrCutTo32) {
  EXPECT_EQ(ExpectedLoader(Bytes(10, 0x11)), [] {
    Bytes b(10, 0x11);
    b.resize(32, 0);
    return b;
  }());
  EXPECT_EQ(ExpectedLoader(Bytes(40, 0x22)), Bytes(32, 0x22));
  EXPECT_EQ(ExpectedLoader({}), Bytes(32, 0));
}

TEST(TranscriptText, LinesCarryDirectionOffsetAndHex) {
  Bytes twenty(20);
  for (int i = 0; i < 20; ++i) twenty[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(Transcript::Format(Direction::DeviceToHost, 7, Bytes{0xD5}), "> 000007  D5\n");
  EXPECT_EQ(Transcript::Format(Direction::HostToDevice, 0, twenty),
            "< 000000  00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F\n"
            "< 000016  10 11 12 13\n");
}

TEST(Pacing, SlotsAreExactAndCatchUp) {
  Pacer pacer;
  const Pacer::Clock::time_point t0{std::chrono::seconds(100)};
  Pacer::Clock::time_point wake{};
  // Off: everything at once.
  EXPECT_EQ(pacer.Allowance(t0, 50, &wake), 50u);

  pacer.SetBitRate(38400);
  pacer.BurstStarts(t0);
  EXPECT_EQ(pacer.Allowance(t0, 50, &wake), 1u);
  pacer.Sent(1);
  EXPECT_EQ(pacer.Allowance(t0, 50, &wake), 0u);
  EXPECT_EQ(wake - t0, std::chrono::nanoseconds(260416));  // 10 bits at 38400 bit/s
  // 3840 bytes take exactly one second: no rounding creeps in.
  EXPECT_EQ(pacer.SlotStart(3840) - t0, std::chrono::seconds(1));
  EXPECT_EQ(pacer.SlotStart(38400) - t0, std::chrono::seconds(10));
  // A late wake-up may send every byte whose slot has begun.
  EXPECT_EQ(pacer.Allowance(t0 + std::chrono::milliseconds(100), 5000, &wake), 384u);
  // A new burst while the line is busy continues the old slots.
  pacer.BurstStarts(t0 + std::chrono::nanoseconds(1000));
  EXPECT_EQ(pacer.Allowance(t0 + std::chrono::nanoseconds(1000), 1, &wake), 0u);
  // After the line went idle, the next burst starts afresh.
  pacer.Sent(1);
  const auto later = t0 + std::chrono::seconds(5);
  pacer.BurstStarts(later);
  EXPECT_EQ(pacer.SlotStart(0), later);
}

TEST(Pacing, PiecesGoOnceTheirLastByteIsThrough) {
  Pacer pacer;
  const Pacer::Clock::time_point t0{std::chrono::seconds(100)};
  Pacer::Clock::time_point wake{};
  pacer.SetBitRate(38400);
  pacer.SetPieces(3);
  pacer.BurstStarts(t0);
  // A reply of 5 bytes: the first three at the end of their third slot.
  EXPECT_EQ(pacer.Allowance(t0, 5, &wake), 0u);
  EXPECT_EQ(wake, pacer.SlotStart(3));
  EXPECT_EQ(pacer.Allowance(pacer.SlotStart(3), 5, &wake), 3u);
  pacer.Sent(3);
  // The last two go together, at the end of the fifth slot.
  EXPECT_EQ(pacer.Allowance(pacer.SlotStart(4), 2, &wake), 0u);
  EXPECT_EQ(wake, pacer.SlotStart(5));
  EXPECT_EQ(pacer.Allowance(pacer.SlotStart(5), 2, &wake), 2u);
}

bool Parse(const std::vector<std::string>& args, DevsimCommandLine& line, std::string* error) {
  return ParseDevsimCommandLine(args, line, error);
}

TEST(DevsimCommandLine, DeviceOptions) {
  DevsimCommandLine line;
  std::string error;
  ASSERT_TRUE(Parse({"--product",
                     "UNIT",
                     "--no-hwver",
                     "--serial=0x10",
                     "--brand",
                     "",
                     "--stray",
                     "5:0x61",
                     "--stray",
                     "9:98",
                     "--fail-sector",
                     "3",
                     "--fail-sector",
                     "34",
                     "--count",
                     "36",
                     "--baud",
                     "38400",
                     "--silent-after-sent",
                     "100",
                     "--hangup-after-received",
                     "7",
                     "--message",
                     "OK",
                     "--pattern",
                     "none",
                     "--link",
                     "/tmp/x",
                     "--flip-bit",
                     "2",
                     "--flip-bit",
                     "1:8191:7",
                     "--hangup-in-erase",
                     "1",
                     "--silent-in-read",
                     "0",
                     "--flood-h",
                     "10M",
                     "--erase-ms",
                     "5000"},
                    line, &error))
      << error;
  EXPECT_EQ(line.Command, DevsimCommand::PlayDevice);
  const DevsimSettings& settings = line.Device;
  EXPECT_EQ(settings.Board.Identity.ProductName, "UNIT");
  EXPECT_FALSE(settings.Board.Identity.HardwareVersion);
  EXPECT_EQ(settings.Board.Identity.SerialNumber, 16u);
  EXPECT_EQ(settings.Board.Identity.BrandLabel, "");
  const Faults& faults = settings.Board.Faults;
  ASSERT_EQ(faults.Strays.size(), 2u);
  EXPECT_EQ(faults.Strays[0].AfterSent, 5u);
  EXPECT_EQ(faults.Strays[0].Value, 'a');
  EXPECT_EQ(faults.Strays[1].Value, 'b');
  EXPECT_EQ(faults.FailingSectors, (std::set<int>{3, 34}));
  EXPECT_EQ(faults.TableCount, 36);
  EXPECT_EQ(faults.BitRate, 38400u);
  EXPECT_EQ(faults.InputBitRate, 38400u);
  EXPECT_EQ(faults.SilentAfterSent, 100u);
  EXPECT_EQ(faults.HangUpAfterReceived, 7u);
  EXPECT_FALSE(faults.SilentAfterReceived);
  EXPECT_EQ(settings.Message, (std::array<uint8_t, 2>{'O', 'K'}));
  EXPECT_TRUE(settings.Board.PatternSectors.empty());
  EXPECT_EQ(settings.LinkPath, "/tmp/x");
  ASSERT_EQ(faults.BitFlips.size(), 2u);
  EXPECT_EQ(faults.BitFlips[0].Sector, 2);
  EXPECT_EQ(faults.BitFlips[0].Offset, 0u);
  EXPECT_EQ(faults.BitFlips[0].Bit, 0);
  EXPECT_EQ(faults.BitFlips[1].Offset, 8191u);
  EXPECT_EQ(faults.BitFlips[1].Bit, 7);
  ASSERT_EQ(faults.Stops.size(), 2u);
  EXPECT_EQ(faults.Stops[0].Phase, StopPhase::Erase);
  EXPECT_TRUE(faults.Stops[0].HangUp);
  EXPECT_EQ(faults.Stops[1].Phase, StopPhase::Read);
  EXPECT_FALSE(faults.Stops[1].HangUp);
  EXPECT_EQ(faults.FloodBytes, 10u * 1024 * 1024);
  EXPECT_EQ(faults.EraseMs, 5000u);
}

TEST(DevsimCommandLine, BadValuesAreRefused) {
  const std::vector<std::vector<std::string>> rows = {
      {"--fail-sector", "35"},
      {"--count", "256"},
      {"--stray", "5"},
      {"--stray", "5:256"},
      {"--serial", "-1"},
      {"--message", "ABC"},
      {"--pattern", "35"},
      {"--baud", "fast"},
      {"--product"},
      {"--bogus"},
      {"--serial", "1x"},
      {"--silent-after-sent", ""},
      {"--flip-bit", "1:8192"},
      {"--flip-bit", "0:0:8"},
      {"--flip-bit", "0:1:2:3"},
      {"--silent-in-erase", "35"},
      {"--flood-h", "2000M"},
      {"--flood-h", "99999999999999999999K"},
      {"--erase-ms", "600001"},
  };
  for (const auto& args : rows) {
    DevsimCommandLine line;
    std::string error;
    EXPECT_FALSE(Parse(args, line, &error)) << args[0];
    EXPECT_FALSE(error.empty());
  }
}

TEST(DevsimCommandLine, MakeImageOptions) {
  DevsimCommandLine line;
  std::string error;
  ASSERT_TRUE(Parse({"make-image", "--out", "a.bin", "--size", "128K", "--sectors", "0-3,8",
                     "--identity-offset", "30000", "--seed", "9", "--fwver", "3"},
                    line, &error))
      << error;
  EXPECT_EQ(line.Command, DevsimCommand::MakeImage);
  const MakeImageSettings& settings = line.Image;
  EXPECT_EQ(settings.OutPath, "a.bin");
  EXPECT_EQ(settings.Options.Size, 131072u);
  EXPECT_EQ(settings.Options.Sectors, (Bytes{0, 1, 2, 3, 8}));
  EXPECT_EQ(settings.Options.IdentityOffset, 30000u);
  EXPECT_EQ(settings.Options.Seed, 9u);
  EXPECT_EQ(settings.Options.FirmwareVersion, "3");

  DevsimCommandLine none;
  ASSERT_TRUE(Parse({"make-image", "--out", "b", "--sectors", "none", "--second-sectors", "3,3",
                     "--no-serial", "--size", "3M"},
                    none, &error));
  EXPECT_EQ(none.Image.Options.Sectors, Bytes{});
  EXPECT_EQ(none.Image.Options.SecondSectors, (Bytes{3, 3}));
  EXPECT_FALSE(none.Image.Options.SerialRecord);
  DevsimCommandLine missing;
  EXPECT_FALSE(Parse({"make-image", "--size", "1"}, missing, &error));
  EXPECT_FALSE(Parse({"make-image", "--out", "c", "--size", "17M"}, missing, &error));
  // Help is asked for, not refused, also without the required --out.
  DevsimCommandLine help;
  ASSERT_TRUE(Parse({"make-image", "--help"}, help, &error)) << error;
  ASSERT_TRUE(help.Help);
  EXPECT_NE(help.Help->find("--identity-offset"), std::string::npos);
}

TEST(DevsimCommandLine, BoardsInTurnStartFromTheOptionsOutside) {
  DevsimCommandLine line;
  std::string error;
  ASSERT_TRUE(Parse(
      {"--serial", "100", "--baud", "38400", "--power-cycle-on-close", "--next-board-after", "2",
       "--replug-pause", "50", "--flash-dir", "boards", "--board", "serial=101", "--board",
       "no-identity flip-bit=3 --fail-sector=4", "--board", "absent", "--board", "same replug"},
      line, &error))
      << error;
  const DevsimSettings& settings = line.Device;
  EXPECT_TRUE(settings.PowerCycleOnClose);
  EXPECT_EQ(settings.NextBoardAfterStartBytes, 2u);
  EXPECT_EQ(settings.ReplugPause, std::chrono::milliseconds(50));
  EXPECT_EQ(settings.FlashDir, "boards");
  ASSERT_EQ(settings.Boards.size(), 4u);
  EXPECT_EQ(settings.Boards[0].Identity.SerialNumber, 101u);
  EXPECT_EQ(settings.Boards[0].Faults.InputBitRate, 38400u);
  EXPECT_TRUE(settings.Boards[1].NoIdentity);
  EXPECT_EQ(settings.Boards[1].Identity.SerialNumber, 100u);
  EXPECT_EQ(settings.Boards[1].Faults.BitFlips.size(), 1u);
  EXPECT_EQ(settings.Boards[1].Faults.FailingSectors, std::set<int>{4});
  EXPECT_TRUE(settings.Boards[2].Absent);
  EXPECT_TRUE(settings.Boards[3].SameAsBefore && settings.Boards[3].Replug);
  EXPECT_FALSE(settings.Boards[0].Absent || settings.Boards[0].SameAsBefore);

  // The same from a file, with comments and blank lines.
  const std::string file = "/tmp/devsim_boards_" + std::to_string(::getpid());
  std::ofstream(file) << "# two boards\nserial=7\n\n  absent  # nobody there\n";
  DevsimCommandLine fromFile;
  ASSERT_TRUE(Parse({"--boards", file}, fromFile, &error)) << error;
  ::unlink(file.c_str());
  ASSERT_EQ(fromFile.Device.Boards.size(), 2u);
  EXPECT_EQ(fromFile.Device.Boards[0].Identity.SerialNumber, 7u);
  EXPECT_TRUE(fromFile.Device.Boards[1].Absent);

  const std::vector<std::vector<std::string>> refused = {
      {"--board", "bogus"},
      {"--board", "serial=x"},
      {"--board", "same"},  // no board before it
      {"--absent"},         // only a board in turn can be absent
      {"--flash", "f.bin", "--board", "serial=1"},
      {"--next-board-after", "0"},
      {"--boards", "/nonexistent/boards"},
  };
  for (const auto& args : refused) {
    DevsimCommandLine bad;
    EXPECT_FALSE(Parse(args, bad, &error)) << args[0] << " " << args.back();
  }
}

}  // namespace
}  // namespace sim
