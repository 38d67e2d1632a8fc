// The program against a misbehaving unit: the simulated device on a
// pseudo-terminal falls silent, sends stray bytes, fails a sector, announces
// too many sectors or loses its wire, and the files the operator hands over are
// missing, empty, cut short or broken. Every row states the fault, the line
// the log must end with and the next step the operator takes, and the next
// step is then taken.
//
// Common to every row: the window thread is never held past the program's own
// bounds (the pump returns and a handler runs at once), and the firmware file
// the operator chose is never written to.
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <span>
#include <thread>

#include "rig.h"
#include "sim/image_builder.h"
#include "store/record_store.h"
#include "tests/support/disk_full.h"

namespace integration {
namespace {

// What a read-back that did not finish left in `folder`: the one
// "<name>.<random>.part" there, or nothing.
Bytes KeptPart(const WorkFolder& folder, const std::string& name) {
  for (const auto& entry : std::filesystem::directory_iterator(folder.Path())) {
    const std::string file = entry.path().filename().string();
    if (file.starts_with(name + ".") && file.ends_with(".part")) {
      return ReadFileBytes(entry.path().string());
    }
  }
  return {};
}

// The bound of one byte of the sector-table exchange in these tests: short,
// yet long enough for a unit starved of time under the sanitizers.
constexpr auto TableBound = 1500ms;
// How long the line must stay quiet before a fault's effect counts as final.
constexpr auto Quiet = 150ms;

const std::vector<uint8_t> ImageSectors{8, 9, 10};
const std::vector<int> ImageSectorsInt{8, 9, 10};
// Three sectors of 64K, the last one partly filled.
constexpr uint32_t ImageBytes = 150000;
constexpr uint32_t EmptyFileBytes = 1000;

// Bytes the unit sends for one full connection: the loader's answer, "j" and
// its companion, the count and a prompt, 36 entries of 4 bytes with 35 prompts
// between them, then "a".
constexpr uint64_t ConnectReplyBytes = 1 + 2 + 2 + 36 * 4 + 35 + 1;
static_assert(ConnectReplyBytes == 185);
// One word of a read: two data bytes and its status byte.
constexpr uint64_t WordBytes = 3;
constexpr uint64_t IdentityWords = 2048;
constexpr uint64_t ReadBackSectorBytes = 32767 * WordBytes + 4;  // last word ends "f", "a"

// The jobs and their names are the session's own (Job, JobName).

bool EndsWith(const std::string& text, std::string_view tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class FaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::ImageOptions options;
    options.Size = ImageBytes;
    options.ProductName = "DEMO165";
    options.HardwareVersion = "1.0b";
    options.Sectors = ImageSectors;
    std::string error;
    ASSERT_TRUE(sim::WriteImageFile(Image(), options, &error)) << error;
    imageBefore_ = folder_.Read("fw.bin");
    ASSERT_TRUE(folder_.Write("empty", Bytes(EmptyFileBytes, 0x5A)));
    StartDevice({});
  }

  void TearDown() override {
    EXPECT_EQ(folder_.Read("fw.bin"), imageBefore_) << "the chosen firmware file was written to";
  }

  void StartDevice(DeviceSetup setup) {
    rig_.reset();
    device_.reset();
    device_ = std::make_unique<SimulatedDevice>(folder_, std::move(setup));
    ASSERT_TRUE(device_->Start());
    rig_ = std::make_unique<NoWindowRig>(folder_, TableBound);
    // The rows count the bytes of the programming exchange; the verify that
    // follows it is walked by the integration tests.
    rig_->TheSession.VerifyAfterDownload = false;
  }

  std::string Image() const { return folder_.File("fw.bin"); }
  NoWindowRig& Rig() { return *rig_; }
  Session& S() { return rig_->TheSession; }
  sim::PtyDevice& Pty() { return device_->Pty(); }

  // Brings the session to the point where `job` can start.
  ::testing::AssertionResult ReadyFor(Job job) {
    if (job == Job::Connect) return ::testing::AssertionSuccess();
    if (auto connected = Rig().Connect(); !connected) return connected;
    if (job != Job::Download) return ::testing::AssertionSuccess();
    return Rig().VerifyHardware();
  }

  // Starts `job` without waiting for its end.
  void Start(Job job) {
    switch (job) {
      case Job::Connect:
        Rig().Core.Connect();
        break;
      case Job::VerifyHardware:
        Rig().Core.Identify();
        break;
      case Job::Download:
        image_ = PlanImage(Image());
        Rig().Core.Update(image_);
        break;
      case Job::ReadBack:
        Rig().Core.ReadBack(folder_.File("dump.2bf"));
        break;
      case Job::EraseOnly:
        Rig().Core.EraseOnly();
        break;
    }
  }

  // Runs `job` to its good end.
  ::testing::AssertionResult Run(Job job) {
    switch (job) {
      case Job::Connect:
        return Rig().Connect();
      case Job::VerifyHardware:
        return Rig().VerifyHardware();
      case Job::Download:
        return Rig().Download(Image());
      case Job::ReadBack:
        return Rig().ReadBack(folder_.File("dump.2bf"));
      case Job::EraseOnly:
        return Rig().EraseOnly();
    }
    return ::testing::AssertionFailure();
  }

  // Pumps until the unit has gone quiet for good after `fault`, and the
  // session has handled whatever came before.
  ::testing::AssertionResult AwaitFault(std::string_view event) {
    const bool seen = Rig().PumpUntil([&] { return device_->SawEvent(event); }, JobPatience);
    Rig().PumpIdle(Quiet);
    // Inside the sector-table exchange every byte has a short bound of its
    // own: a silence there is told once it has passed.
    Rig().PumpUntil(
        [&] {
          const auto state = S().SessionState();
          return state < Session::State::AwaitTablePrompt ||
                 state > Session::State::AwaitTableEntryByte;
        },
        JobPatience);
    if (seen) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the unit never reported \"" << event << "\"; log:\n"
                                         << Rig().Window.Log;
  }

  // The window thread is free: no sector's data is still to go out, and
  // every call into the core returns at once.
  void ExpectWindowFree() { EXPECT_FALSE(S().ContinuePending()); }

  // The operator's way out of a unit that stopped answering: power it down and
  // up, press "connect" again (after a connection the window wants a restart
  // of the program for that, which leaves the session where this one stands).
  ::testing::AssertionResult PowerCycleAndConnect() {
    Pty().PowerCycle(true);
    const size_t mark = Rig().LogMark();
    if (auto connected = Rig().Connect(); !connected) return connected;
    // A read-back the unit left unfinished is named as it is closed.
    std::string log = Rig().LogSince(mark);
    if (log.starts_with("<the read-back did not finish: what arrived is in ")) {
      log.erase(0, log.find("\r\n") + 2);
    }
    if (log != ConnectLog(true)) {
      return ::testing::AssertionFailure() << "reconnection log:\n" << Rig().LogSince(mark);
    }
    return ::testing::AssertionSuccess();
  }

  WorkFolder folder_;
  ImagePlan image_;
  std::unique_ptr<SimulatedDevice> device_;
  std::unique_ptr<NoWindowRig> rig_;
  Bytes imageBefore_;
};

// --- The unit falls silent at the start, in the middle and just before the
// end of each phase of each job.

struct SilentRow {
  const char* Name;
  Job TheJob;
  bool CountReceived;    // the limit counts bytes received, else bytes sent
  uint64_t After;        // bytes from the start of the job
  Session::State State;  // where the session then waits
  const char* LogTail;
};

std::ostream& operator<<(std::ostream& os, const SilentRow& row) {
  return os << row.Name;
}

// Bytes the unit takes from the start of a download up to the middle of the
// second sector's data: three erase commands, then sector 8 whole.
constexpr uint64_t MidSecondSector = 3 * 2 + 2 + 65536 + 2 + 30000;

const SilentRow SilentRows[] = {
    {"ConnectChipNeverAnswers", Job::Connect, false, 0, Session::State::AwaitBootstrapAnswer,
     "<activating bootstrap mode...>\r\n"},
    {"ConnectMidLoader", Job::Connect, true, 17, Session::State::Idle,
     "<writing flashroutine into C165...>\r\n"},
    {"ConnectTableStart", Job::Connect, false, 3, Session::State::Idle,
     "<ERR: device did not answer during the sector table exchange>\r\n"},
    {"ConnectTableMiddle", Job::Connect, false, 5 + 18 * 5, Session::State::Idle,
     "<ERR: device did not answer during the sector table exchange>\r\n"},
    {"ConnectTableLastByte", Job::Connect, false, ConnectReplyBytes - 2, Session::State::Idle,
     "<ERR: device did not answer during the sector table exchange>\r\n"},
    {"ConnectReadyNeverComes", Job::Connect, false, ConnectReplyBytes - 1, Session::State::Idle,
     "<writing flashroutine into C165...>\r\n"},
    {"VerifyFirstWord", Job::VerifyHardware, false, 0, Session::State::AwaitIdentityWordFirst,
     "<command: read from address>"},
    {"VerifyMiddle", Job::VerifyHardware, false, 1024 * WordBytes,
     Session::State::AwaitIdentityWordFirst, "<command: read from address>"},
    {"VerifyAfterStop", Job::VerifyHardware, false, IdentityWords* WordBytes,
     Session::State::AwaitIdentityEnd, "<command: read from address>"},
    {"DownloadFirstErase", Job::Download, false, 0, Session::State::AwaitEraseResult,
     "<command: delete sector 8 ...>\r\n"},
    {"DownloadMiddleErase", Job::Download, false, 2, Session::State::AwaitEraseResult,
     "<command: delete sector 9 ...>\r\n"},
    {"DownloadProgramStart", Job::Download, false, 5, Session::State::AwaitProgramPrompt,
     "<all selected sectors are erased now>\r\n"},
    {"DownloadMiddleData", Job::Download, true, MidSecondSector, Session::State::AwaitProgramResult,
     "<sector 8 programmed>\r\n"},
    {"DownloadFinalReport", Job::Download, false, 11, Session::State::AwaitFinalReport,
     "<sector 10 programmed>\r\n"},
    {"ReadBackFirstWord", Job::ReadBack, false, 0, Session::State::AwaitReadWordFirst,
     "<command: read sector 8>\r\n"},
    {"ReadBackMiddle", Job::ReadBack, false, 16384 * WordBytes, Session::State::AwaitReadWordFirst,
     "<command: read sector 8>\r\n"},
    {"ReadBackFinalReport", Job::ReadBack, false, 2 * ReadBackSectorBytes - 1,
     Session::State::AwaitReadReport, "\r\n<all selected sectors are read now>\r\n"},
    {"EraseOnlyFirstErase", Job::EraseOnly, false, 0, Session::State::AwaitEraseResult,
     "<command: delete sector 8 ...>\r\n"},
    {"EraseOnlySecondErase", Job::EraseOnly, false, 2, Session::State::AwaitEraseResult,
     "<command: delete sector 9 ...>\r\n"},
    {"EraseOnlyProgramStart", Job::EraseOnly, false, 3, Session::State::AwaitProgramPrompt,
     "<all selected sectors are erased now>\r\n"},
    {"EraseOnlyFinalReport", Job::EraseOnly, false, 5, Session::State::AwaitFinalReport,
     "<sector 8 programmed>\r\n"},
};

class SilentUnit : public FaultTest, public ::testing::WithParamInterface<SilentRow> {};

TEST_P(SilentUnit, WaitsWithTheWindowFreeAndRecoversAfterAPowerCycle) {
  const SilentRow& row = GetParam();
  ASSERT_TRUE(ReadyFor(row.TheJob));
  sim::Faults faults;
  if (row.CountReceived) {
    faults.SilentAfterReceived = Pty().BytesReceived() + row.After;
  } else {
    faults.SilentAfterSent = Pty().BytesSent() + row.After;
  }
  Pty().SetFaults(faults);
  const size_t mark = Rig().LogMark();
  Start(row.TheJob);
  ASSERT_TRUE(AwaitFault("fault: device falls silent"));

  EXPECT_EQ(S().SessionState(), row.State);
  EXPECT_TRUE(EndsWith(Rig().LogSince(mark), row.LogTail)) << Rig().LogSince(mark);
  if (row.TheJob == Job::Connect) {
    // Without the unit's "a" the connection is not shown.
    EXPECT_EQ(Rig().Window.Panel, PanelForm::Error);
    EXPECT_EQ(Rig().LogSince(mark).find("c o n n e c t e d"), std::string::npos);
  }
  if (row.TheJob == Job::ReadBack) {
    // Every word that arrived is on disk already, in the flash's order.
    const Bytes dump = KeptPart(folder_, "dump.2bf");
    const sim::Flash flash = device_->ReadFlash();
    const auto expected = flash.Bytes().subspan(sim::SectorTable[8], dump.size());
    EXPECT_TRUE(std::equal(dump.begin(), dump.end(), expected.begin()));
    EXPECT_EQ(dump.size(), 2 * static_cast<size_t>(S().TransferCount()));
  }
  ExpectWindowFree();

  ASSERT_TRUE(PowerCycleAndConnect());
  if (row.TheJob != Job::Connect) {
    EXPECT_TRUE(Run(row.TheJob));
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, SilentUnit, ::testing::ValuesIn(SilentRows),
                         [](const auto& info) { return std::string(info.param.Name); });

// --- A stray byte from the unit, placed so that it lands in each state.

enum class Outcome {
  Completes,  // the job reaches its good end all the same
  Refused,    // the job ends with the error line; the next step is the job again
  Waits,      // the job waits in the state given; the next step is a power cycle
};

struct StrayRow {
  const char* Name;
  Job TheJob;
  uint64_t After;  // bytes the unit has sent since the job started
  Outcome Result;
  Session::State State;  // for Waits
  const char* LogLine;   // a line the job's log holds
};

std::ostream& operator<<(std::ostream& os, const StrayRow& row) {
  return os << row.Name;
}

constexpr uint8_t Stray = 'x';

// Where the identity read's serial number lies in the unit's flash, as the
// word that holds its first byte.
uint64_t SerialWord(const sim::Flash& flash) {
  const auto block = flash.Bytes().subspan(sim::IdentityAddress, IdentityBlockBytes);
  const std::string_view tag = "SERIAL_NO  ";
  const auto at = std::search(block.begin(), block.end(), tag.begin(), tag.end());
  return static_cast<uint64_t>(at - block.begin() + 12) / 2;
}

constexpr uint64_t OnSerialWord = ~0ull;  // replaced by the serial number's word

const StrayRow StrayRows[] = {
    // Connection: state 1 takes any byte as the loader's answer; state 0
    // ignores what it does not know.
    {"Connect_State1", Job::Connect, 0, Outcome::Completes, Session::State::Idle,
     "<  c o n n e c t e d  >\r\n"},
    {"Connect_State0", Job::Connect, 1, Outcome::Completes, Session::State::Idle,
     "<  c o n n e c t e d  >\r\n"},
    {"Connect_TableCount", Job::Connect, 3, Outcome::Refused, Session::State::Idle, "<ERR: "},
    {"Connect_TableEntry", Job::Connect, 5 + 5 + 2, Outcome::Refused, Session::State::Idle,
     "<ERR: "},
    {"Connect_TableNextToLastEntry", Job::Connect, ConnectReplyBytes - 8, Outcome::Refused,
     Session::State::Idle, "<ERR: "},
    {"Connect_BeforeReady", Job::Connect, ConnectReplyBytes - 1, Outcome::Completes,
     Session::State::Idle, "<  c o n n e c t e d  >\r\n"},
    // Identity read: a byte in a word breaks the framing of that word.
    {"Verify_State7", Job::VerifyHardware, OnSerialWord, Outcome::Refused, Session::State::Idle,
     "<ERR: "},
    {"Verify_State8", Job::VerifyHardware, 1, Outcome::Refused, Session::State::Idle, "<ERR: "},
    {"Verify_State9", Job::VerifyHardware, 2, Outcome::Refused, Session::State::Idle, "<ERR: "},
    {"Verify_State10", Job::VerifyHardware, IdentityWords* WordBytes, Outcome::Completes,
     Session::State::Idle, "\r\n<done>\r\n"},
    // Erase and programming.
    // A byte before the "b" makes the "b" and the "a" land one state late:
    // the job waits for an "a" the device has sent already.
    {"Download_State12", Job::Download, 0, Outcome::Waits, Session::State::AwaitErasePrompt,
     "<command: delete sector 8 ...>\r\n"},
    {"Download_State11", Job::Download, 1, Outcome::Waits, Session::State::AwaitErasePrompt,
     "<sector 8 erased>\r\n"},
    {"Download_State13", Job::Download, 5, Outcome::Completes, Session::State::Idle, "<done>\r\n"},
    {"Download_State14", Job::Download, 6, Outcome::Completes, Session::State::Idle, "<done>\r\n"},
    {"Download_State15", Job::Download, 11, Outcome::Completes, Session::State::Idle, "<done>\r\n"},
    {"Download_State18", Job::Download, 12, Outcome::Completes, Session::State::Idle, "<done>\r\n"},
    // Read-back.
    {"ReadBack_State3", Job::ReadBack, 0, Outcome::Refused, Session::State::Idle, "<ERR: "},
    {"ReadBack_State5", Job::ReadBack, 2, Outcome::Refused, Session::State::Idle, "<ERR: "},
    {"ReadBack_State2", Job::ReadBack, ReadBackSectorBytes - 1, Outcome::Completes,
     Session::State::Idle, "\r\n<done>\r\n"},
    {"ReadBack_State6", Job::ReadBack, 2 * ReadBackSectorBytes - 1, Outcome::Completes,
     Session::State::Idle, "\r\n<done>\r\n"},
};

class StrayByte : public FaultTest, public ::testing::WithParamInterface<StrayRow> {};

TEST_P(StrayByte, IsCaughtOrHarmless) {
  const StrayRow& row = GetParam();
  ASSERT_TRUE(ReadyFor(row.TheJob));
  const uint64_t after =
      row.After == OnSerialWord ? SerialWord(device_->ReadFlash()) * WordBytes : row.After;
  sim::Faults faults;
  faults.Strays.push_back({Pty().BytesSent() + after, Stray});
  Pty().SetFaults(faults);
  const size_t mark = Rig().LogMark();
  const size_t warnings = Rig().Window.Warnings.size();

  if (row.Result == Outcome::Completes) {
    ASSERT_TRUE(Run(row.TheJob));
    EXPECT_NE(Rig().LogSince(mark).find(row.LogLine), std::string::npos) << Rig().LogSince(mark);
  } else {
    Start(row.TheJob);
    // The unit has nothing more to say once its stray is out and the job is
    // as far as it gets; "a" sent last means it waits for a command.
    ASSERT_TRUE(Rig().PumpUntil(
        [&] {
          return !S().ContinuePending() && Pty().WaitingForCommand() &&
                 Rig().LogSince(mark).find(row.LogLine) != std::string::npos;
        },
        JobPatience))
        << Rig().LogSince(mark);
    Rig().PumpIdle(Quiet);
    EXPECT_EQ(S().SessionState(), row.State) << Rig().LogSince(mark);
    ExpectWindowFree();
  }
  // Nothing taken from a garbled transfer: the identity stays the unit's own,
  // and a read-back that reports success holds exactly the flash's bytes.
  if (row.TheJob == Job::VerifyHardware && S().Identity().SerialNumberFound) {
    EXPECT_EQ(S().Identity().SerialNumber, 4711u);
  }
  if (row.TheJob == Job::ReadBack && row.Result == Outcome::Completes) {
    const Bytes dump = folder_.Read("dump.2bf");
    const sim::Flash after = device_->ReadFlash();
    const auto flash = after.Bytes();
    EXPECT_TRUE(std::equal(dump.begin(), dump.end(), flash.begin() + sim::SectorTable[8],
                           flash.begin() + sim::SectorTable[10]));
  }
  EXPECT_EQ(Rig().Window.Warnings.size(), warnings);

  // The next step: after a refusal the job once more, after a stall the
  // power cycle and a new connection.
  switch (row.Result) {
    case Outcome::Completes:
      break;
    case Outcome::Refused:
      if (row.TheJob == Job::Connect) {
        ASSERT_TRUE(PowerCycleAndConnect());
      } else {
        EXPECT_TRUE(Run(row.TheJob));
        if (row.TheJob == Job::VerifyHardware) {
          EXPECT_EQ(S().Identity().SerialNumber, 4711u);
        }
      }
      break;
    case Outcome::Waits:
      ASSERT_TRUE(PowerCycleAndConnect());
      EXPECT_TRUE(Run(row.TheJob));
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, StrayByte, ::testing::ValuesIn(StrayRows),
                         [](const auto& info) { return std::string(info.param.Name); });

// --- A stray byte in the verify after a download: a line fault, not a
// flash fault. The word that lacks its "g" or "f" is read again with its
// sector; a second lost step ends the update as a line fault.

struct VerifyStrayRow {
  const char* Name;
  std::vector<uint64_t> After;  // bytes the unit has sent since the download started
  bool Passes;
};

std::ostream& operator<<(std::ostream& os, const VerifyStrayRow& row) {
  return os << row.Name;
}

// The download's replies before the verify: "b", "a" for three erases and
// "e", "a" for three sectors programmed; the verify's words follow.
constexpr uint64_t VerifyStart = 12;
constexpr uint64_t SectorWords = 65536 / 2;

const VerifyStrayRow VerifyStrayRows[] = {
    {"BeforeAWord", {VerifyStart + 100 * WordBytes}, true},
    {"InsideAWord", {VerifyStart + 100 * WordBytes + 1}, true},
    {"BeforeTheWordsG", {VerifyStart + 100 * WordBytes + 2}, true},
    {"BeforeTheSectorsLastWord", {VerifyStart + (SectorWords - 1) * WordBytes}, true},
    {"InTheSecondSector", {VerifyStart + SectorWords * WordBytes + 1 + 50 * WordBytes}, true},
    {"AlsoWhenReadAgain", {VerifyStart + 100 * WordBytes, VerifyStart + 1100 * WordBytes}, false},
};

class VerifyStray : public FaultTest, public ::testing::WithParamInterface<VerifyStrayRow> {};

TEST_P(VerifyStray, IsALineFaultAndTheSectorIsReadAgain) {
  const VerifyStrayRow& row = GetParam();
  S().VerifyAfterDownload = true;
  ASSERT_TRUE(ReadyFor(Job::Download));
  const sim::Flash before = device_->ReadFlash();
  sim::Faults faults;
  for (const uint64_t after : row.After)
    faults.Strays.push_back({Pty().BytesSent() + after, Stray});
  Pty().SetFaults(faults);
  // The record of the update, where the verify's end is told.
  std::string why;
  const std::unique_ptr<RecordStore> store =
      RecordStore::Open(StoreConfig{.LocalPath = folder_.File("records.db")}, &why);
  ASSERT_TRUE(store) << why;
  Rig().Core.Records.Store = store.get();
  const size_t mark = Rig().LogMark();
  ASSERT_TRUE(Rig().Download(Image()));
  Rig().Core.Records.Store = nullptr;
  const StoreAnswer<JobRecord> records = store->Query(RecordFilter{.Job = RecordJob::Update});
  ASSERT_TRUE(records.Ok && !records.Items.empty());
  const VerifyState verify = records.Items.back().Verify;

  const std::string log = Rig().LogSince(mark);
  EXPECT_NE(log.find(" again>\r\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("<ERR: verify failed"), std::string::npos) << log;
  const JobResult result = Rig().Core.LastResult().value_or(JobResult{});
  if (row.Passes) {
    EXPECT_TRUE(EndsWith(log, "bytes match>\r\n<done>\r\n")) << log;
    EXPECT_EQ(result.Outcome, JobOutcome::Ok);
    EXPECT_EQ(verify, VerifyState::Passed);
  } else {
    EXPECT_NE(log.find("<ERR: the line lost step at 0x"), std::string::npos) << log;
    EXPECT_EQ(result.Failure, JobFailure::DeviceGarbled);
    EXPECT_EQ(result.Sector, 8);
    EXPECT_EQ(verify, VerifyState::LineLost) << "the verify ran, but could not compare";
  }
  // The programming itself was good all along.
  const std::optional<Bytes> patched = PatchedImage(folder_, Image(), rig::DemoIdentity());
  ASSERT_TRUE(patched);
  EXPECT_EQ(FirstDifference(device_->ReadFlash(),
                            FlashAfterProgramming(before, *patched, ImageSectorsInt)),
            std::nullopt);
  ExpectWindowFree();
  if (row.Passes) return;
  // The next step after a line fault: a power cycle, and the update again.
  ASSERT_TRUE(PowerCycleAndConnect());
  ASSERT_TRUE(Rig().VerifyHardware());
  ASSERT_TRUE(Rig().Download(Image()));
  EXPECT_TRUE(EndsWith(Rig().Window.Log, "bytes match>\r\n<done>\r\n"));
}

INSTANTIATE_TEST_SUITE_P(Faults, VerifyStray, ::testing::ValuesIn(VerifyStrayRows),
                         [](const auto& info) { return std::string(info.param.Name); });

// --- The unit refuses to program a sector.

struct ProgramFailRow {
  const char* Name;
  int Sector;
  const char* FinalLine;
};

std::ostream& operator<<(std::ostream& os, const ProgramFailRow& row) {
  return os << row.Name;
}

const ProgramFailRow ProgramFailRows[] = {
    {"FirstSector", 8,
     "<ERR: Es waren nicht gen\u00FCgend Sektoren f\u00FCr Firmware selektiert>\r\n"},
    {"MiddleSector", 9,
     "<ERR: Es waren nicht gen\u00FCgend Sektoren f\u00FCr Firmware selektiert>\r\n"},
    {"LastSector", 10, "<ERR: programming failed, the firmware is incomplete>\r\n"},
};

class ProgrammingFailure : public FaultTest,
                           public ::testing::WithParamInterface<ProgramFailRow> {};

TEST_P(ProgrammingFailure, IsReportedAndNeverShownAsDone) {
  const ProgramFailRow& row = GetParam();
  ASSERT_TRUE(ReadyFor(Job::Download));
  sim::Faults faults;
  faults.FailingSectors = {row.Sector};
  Pty().SetFaults(faults);
  const size_t mark = Rig().LogMark();
  ASSERT_TRUE(Rig().Download(Image()));

  const std::string log = Rig().LogSince(mark);
  EXPECT_NE(log.find("<ERR: Programmierfehler in Sektor " + std::to_string(row.Sector) + " >\r\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(row.FinalLine), std::string::npos) << log;
  EXPECT_EQ(log.find("<done>"), std::string::npos);
  EXPECT_EQ(Rig().Window.Panel, PanelForm::Error);
  EXPECT_FALSE(S().ImageFile().IsOpen());
  // The unit is left for power-down; the same unit can be updated afresh.
  ASSERT_TRUE(PowerCycleAndConnect());
  ASSERT_TRUE(Rig().Download(Image()));
  EXPECT_TRUE(EndsWith(Rig().Window.Log, "<done>\r\n"));
}

INSTANTIATE_TEST_SUITE_P(Faults, ProgrammingFailure, ::testing::ValuesIn(ProgramFailRows),
                         [](const auto& info) { return std::string(info.param.Name); });

// --- A count byte above 34: the table keeps its 36 entries, the unit's side
// of the exchange still completes, and an update goes through.

TEST_F(FaultTest, TableCountAbove34IsCutAndTheUnitStaysUsable) {
  for (const uint8_t count : {uint8_t{35}, uint8_t{40}, uint8_t{255}}) {
    SCOPED_TRACE(static_cast<int>(count));
    DeviceSetup setup;
    setup.Faults.TableCount = count;
    StartDevice(std::move(setup));
    const size_t mark = Rig().LogMark();
    ASSERT_TRUE(Rig().Connect());
    EXPECT_NE(Rig().LogSince(mark).find("<sector table cut: the device announced " +
                                        std::to_string(count + 2) + " entries, 36 kept>\r\n"),
              std::string::npos)
        << Rig().LogSince(mark);
    EXPECT_EQ(S().SectorStart(), sim::SectorTable);
  }
  ASSERT_TRUE(Rig().VerifyHardware());
  ASSERT_TRUE(Rig().Download(Image()));
  EXPECT_TRUE(EndsWith(Rig().Window.Log, "<done>\r\n"));
}

// --- The download wire is pulled while a sector's data goes out.

TEST_F(FaultTest, WirePulledMidSectorIsReportedOnceWithoutSpinning) {
  ASSERT_TRUE(ReadyFor(Job::Download));
  const uint64_t pullAt = Pty().BytesReceived() + MidSecondSector;
  std::atomic<bool> stop{false};
  // The data goes out inside one pass on this thread: the wire is pulled from
  // another, as a hand would.
  std::thread hand([&] {
    while (!stop && Pty().BytesReceived() < pullAt) std::this_thread::yield();
    if (!stop) Pty().PullWire();
  });
  const size_t mark = Rig().LogMark();
  Start(Job::Download);
  const bool ended = Rig().PumpUntil(
      [&] { return Rig().LogSince(mark).find("<ERR: 0400>\r\n") != std::string::npos; }, 20s);
  stop = true;
  hand.join();
  ASSERT_TRUE(ended) << Rig().LogSince(mark);
  EXPECT_TRUE(Pty().WirePulled());

  const std::string log = Rig().LogSince(mark);
  EXPECT_NE(log.find("<ERR: sector 9 could not be sent, programming stopped>\r\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(S().SessionState(), Session::State::Ended);
  EXPECT_EQ(Rig().Window.Panel, PanelForm::Error);
  EXPECT_FALSE(S().ImageFile().IsOpen());

  // A line that is gone raises no further notifications: the hidden window's
  // queue stays empty for a while, and the loss is told only once.
  int delivered = 0;
  for (int i = 0; i < 10; ++i) {
    if (Rig().Target.PumpOne(Rig().Comm, 30ms)) ++delivered;
  }
  EXPECT_LE(delivered, 1);
  const std::string all = Rig().LogSince(mark);
  size_t reports = 0;
  for (size_t at = all.find("<ERR: 0400>"); at != std::string::npos;
       at = all.find("<ERR: 0400>", at + 1)) {
    ++reports;
  }
  EXPECT_EQ(reports, 1u);
  ExpectWindowFree();

  // The port closes without waiting on the dead line, and a new wire works.
  Rig().Comm.Close();
  EXPECT_FALSE(Rig().Comm.Connected());
  StartDevice({});
  ASSERT_TRUE(Rig().Connect());
}

// The wire goes while the unit itself talks: in the identity read, in the
// read-back and in the verify after a download. Nothing is written to a port
// that is gone, the loss shows once, and the job ends with it, not after the
// bound of its wait.
TEST_F(FaultTest, HangUpMidReadIsReportedOnceAndEndsTheJob) {
  for (const Job job : {Job::VerifyHardware, Job::ReadBack, Job::Download}) {
    SCOPED_TRACE(JobName(job));
    StartDevice({});
    S().VerifyAfterDownload = true;
    ASSERT_TRUE(ReadyFor(job));
    sim::Faults faults;
    faults.HangUpAfterSent =
        Pty().BytesSent() + (job == Job::Download ? VerifyStart : 0) + 500 * WordBytes;
    Pty().SetFaults(faults);
    const size_t mark = Rig().LogMark();
    Start(job);
    ASSERT_TRUE(Rig().PumpUntil(
        [&] { return Rig().LogSince(mark).find("<ERR: 0400>\r\n") != std::string::npos; }, 20s))
        << Rig().LogSince(mark);
    EXPECT_FALSE(Rig().Core.JobRunning()) << Rig().LogSince(mark);
    Rig().PumpIdle(Quiet);
    const std::string log = Rig().LogSince(mark);
    EXPECT_NE(log.find("<ERR: 0400>\r\n<ERR: the port reported that the line is gone"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("<ERR: 0400>"), log.rfind("<ERR: 0400>")) << log;
    const JobResult result = Rig().Core.LastResult().value_or(JobResult{});
    EXPECT_EQ(result.Failure, JobFailure::DeviceSilent);
    EXPECT_NE(result.Reason.find("the line is gone"), std::string::npos) << result.Reason;
    EXPECT_EQ(Rig().Window.Panel, PanelForm::Error);
    ExpectWindowFree();
  }
}

// --- Files that are missing, empty, unreadable or cut short.

// A folder where a file is expected: the one way to make a file unreadable
// that also holds for a test run as root.
void ReplaceByFolder(const std::string& path) {
  std::filesystem::remove(path);
  std::filesystem::create_directory(path);
}

struct UploadFileRow {
  const char* Name;
  const char* File;
  enum { Missing, Folder, Fifo, Huge, Empty, OddLength } Kind;
  const char* LogLine;
};

std::ostream& operator<<(std::ostream& os, const UploadFileRow& row) {
  return os << row.Name;
}

const UploadFileRow UploadFileRows[] = {
    {"LoaderMissing", "Loader.hex", UploadFileRow::Missing,
     "<ERR: couldn`f find file LOADER.HEX>\r\n"},
    {"LoaderUnreadable", "Loader.hex", UploadFileRow::Folder,
     "<ERR: couldn`f find file LOADER.HEX>\r\n"},
    {"RoutineMissing", "F29f160d.hex", UploadFileRow::Missing,
     "<ERR: couldn`f find file F29F160D.HEX>\r\n"},
    {"RoutineUnreadable", "F29f160d.hex", UploadFileRow::Folder,
     "<ERR: couldn`f find file F29F160D.HEX>\r\n"},
    // A FIFO would block the window thread in open(): it is refused at once.
    {"LoaderIsAFifo", "Loader.hex", UploadFileRow::Fifo,
     "<ERR: couldn`f find file LOADER.HEX>\r\n"},
    {"RoutineTooLarge", "F29f160d.hex", UploadFileRow::Huge,
     "<ERR: F29f160d.hex holds 300000 bytes, more than the 262144 an upload file for the "
     "chip's RAM may have: is it the right file? Nothing was sent>\r\n"},
    {"LoaderEmpty", "Loader.hex", UploadFileRow::Empty, "<writing flashroutine into C165...>\r\n"},
    {"RoutineEmpty", "F29f160d.hex", UploadFileRow::Empty,
     "<writing flashroutine into C165...>\r\n"},
    {"RoutineCutShort", "F29f160d.hex", UploadFileRow::OddLength,
     "<writing flashroutine into C165...>\r\n"},
};

class UploadFile : public FaultTest, public ::testing::WithParamInterface<UploadFileRow> {};

TEST_P(UploadFile, IsReportedAndConnectWorksOnceItIsBack) {
  const UploadFileRow& row = GetParam();
  const std::string path = folder_.File(row.File);
  const Bytes good = ReadFileBytes(path);
  switch (row.Kind) {
    case UploadFileRow::Missing:
      std::filesystem::remove(path);
      break;
    case UploadFileRow::Folder:
      ReplaceByFolder(path);
      break;
    case UploadFileRow::Fifo:
      std::filesystem::remove(path);
      ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
      break;
    case UploadFileRow::Huge:
      ASSERT_TRUE(WriteFileBytes(path, Bytes(300000, '0')));
      break;
    case UploadFileRow::Empty:
      ASSERT_TRUE(WriteFileBytes(path, {}));
      break;
    case UploadFileRow::OddLength:
      ASSERT_TRUE(WriteFileBytes(path, Bytes(good.begin(), good.begin() + 7)));
      break;
  }
  const size_t mark = Rig().LogMark();
  const size_t warnings = Rig().Window.Warnings.size();
  Rig().Core.Connect();
  const bool unopened = row.Kind == UploadFileRow::Missing || row.Kind == UploadFileRow::Folder ||
                        row.Kind == UploadFileRow::Fifo;
  if (row.Kind == UploadFileRow::Huge) {
    EXPECT_TRUE(EndsWith(Rig().LogSince(mark), row.LogLine)) << Rig().LogSince(mark);
    EXPECT_EQ(Rig().Window.Warnings.size(), warnings);
    Rig().PumpIdle(Quiet);
    EXPECT_EQ(Pty().BytesReceived(), 0u);
    EXPECT_EQ(S().SessionState(), Session::State::Idle);
  } else if (unopened) {
    // Nothing goes out: the chip is not woken for an upload that cannot follow.
    EXPECT_NE(Rig().LogSince(mark).find(row.LogLine), std::string::npos) << Rig().LogSince(mark);
    EXPECT_EQ(Rig().LogSince(mark).find("<activating bootstrap mode...>"), std::string::npos);
    ASSERT_EQ(Rig().Window.Warnings.size(), warnings + 1);
    EXPECT_EQ(Rig().Window.Warnings.back(), "E/A-Fehler 103");
    Rig().PumpIdle(Quiet);
    EXPECT_EQ(Pty().BytesReceived(), 0u);
    EXPECT_EQ(S().SessionState(), Session::State::AwaitBootstrapAnswer);
  } else {
    // The chip takes a wrong upload and never starts: the log stops after the
    // upload and the connection is not shown.
    ASSERT_TRUE(Rig().PumpUntil(
        [&] {
          return Pty().Upload() != sim::UploadState::ReceivingLoader &&
                 Pty().Upload() != sim::UploadState::AwaitingStart;
        },
        5s));
    Rig().PumpIdle(Quiet);
    EXPECT_NE(Pty().Upload(), sim::UploadState::Accepted);
    EXPECT_TRUE(EndsWith(Rig().LogSince(mark), row.LogLine)) << Rig().LogSince(mark);
    EXPECT_EQ(S().SessionState(), Session::State::Idle);
  }
  EXPECT_EQ(Rig().Window.Panel, PanelForm::Error);
  ExpectWindowFree();

  // The operator puts the file back, resets the unit and connects again.
  if (row.Kind == UploadFileRow::Folder || row.Kind == UploadFileRow::Fifo) {
    std::filesystem::remove(path);
  }
  ASSERT_TRUE(WriteFileBytes(path, good));
  Pty().PowerCycle(true);
  ASSERT_TRUE(Rig().Connect());
}

INSTANTIATE_TEST_SUITE_P(Faults, UploadFile, ::testing::ValuesIn(UploadFileRows),
                         [](const auto& info) { return std::string(info.param.Name); });

// Firmware images that cannot be used. Each is refused before anything is
// erased, and a good image goes through afterwards.

enum class Refusal { LogLine, Warning };

struct ImageRow {
  const char* Name;
  std::function<bool(const std::string& path)> Make;
  Refusal By;
  std::string Text;
};

std::ostream& operator<<(std::ostream& os, const ImageRow& row) {
  return os << row.Name;
}

bool WriteImage(const std::string& path, const std::function<void(sim::ImageOptions&)>& change) {
  sim::ImageOptions options;
  options.Size = ImageBytes;
  options.ProductName = "DEMO165";
  options.HardwareVersion = "1.0b";
  options.Sectors = ImageSectors;
  change(options);
  std::string error;
  return sim::WriteImageFile(path, options, &error);
}

// An image from sector 0 on, its identity block at `offset`.
bool WriteLandingImage(const std::string& path, uint32_t offset) {
  return WriteImage(path, [offset](sim::ImageOptions& o) {
    o.Sectors.reset();
    o.IdentityOffset = offset;
  });
}

std::string LandingRefusal(const std::string& missing) {
  return "<ERR: image refused, nothing was erased: programmed as planned, the image would leave "
         "0x004000 without the device's " +
         missing;
}

// The good image with some of its bytes replaced.
bool WritePatchedGood(const std::string& path, size_t at, const Bytes& bytes) {
  if (!WriteImage(path, [](sim::ImageOptions&) {})) return false;
  Bytes image = ReadFileBytes(path);
  std::copy(bytes.begin(), bytes.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
  return WriteFileBytes(path, image);
}

const ImageRow ImageRows[] = {
    {"Missing", [](const std::string&) { return true; }, Refusal::LogLine,
     "<ERR: couldn`t find \""},
    {"Unreadable",
     [](const std::string& path) {
       ReplaceByFolder(path);
       return true;
     },
     Refusal::LogLine, "<ERR: couldn`t find \""},
    {"Empty", [](const std::string& path) { return WriteFileBytes(path, {}); }, Refusal::Warning,
     "E/A-Fehler 100"},
    {"ShorterThanTheWindowOffset",
     [](const std::string& path) { return WriteFileBytes(path, Bytes(10000, 0x11)); },
     Refusal::Warning, "E/A-Fehler 100"},
    {"WindowWithoutProductName",
     [](const std::string& path) { return WriteFileBytes(path, Bytes(20000, 0x11)); },
     Refusal::Warning, "invalid firmware file"},
    {"ForOtherHardware",
     [](const std::string& path) {
       return WriteImage(path, [](sim::ImageOptions& o) { o.HardwareVersion = "2.0a"; });
     },
     Refusal::Warning, "the selected file doesn\u00B4t fit to your hardware"},
    {"IdentityBlockWithoutBegin",
     [](const std::string& path) {
       // The block pointer aims at bytes that hold no records.
       return WritePatchedGood(path, 8192, {0x00, 0x00, 0x01, 0x00});
     },
     Refusal::LogLine, "ERR: brandlabel not found in firmware\r\n"},
    {"IdentityPointerPastTheEnd",
     [](const std::string& path) {
       return WritePatchedGood(path, 8192, {0xFF, 0xFF, 0xFF, 0x00});
     },
     Refusal::Warning, "E/A-Fehler"},
    {"SectorListOutsideTheFlash",
     [](const std::string& path) {
       return WriteImage(path, [](sim::ImageOptions& o) { o.Sectors = std::vector<uint8_t>{40}; });
     },
     Refusal::LogLine,
     "<ERR: image refused, nothing was erased: the sector list names sector 40, the device has "
     "sectors 0 to 34>\r\n"},
    {"NoSectorListed",
     [](const std::string& path) {
       return WriteImage(path, [](sim::ImageOptions& o) { o.Sectors = std::vector<uint8_t>{}; });
     },
     Refusal::LogLine, "<ERR: no sectors selected>\r\n"},
    // The identity block pointer at 8192 is not 16384 and the image covers
    // sector 1: the patch writes the device's values elsewhere, and what
    // lands at 0x004000 is the image's own window, or the patch's fill.
    {"IdentityBlockAt16000", [](const std::string& path) { return WriteLandingImage(path, 16000); },
     Refusal::LogLine, LandingRefusal("product name")},
    {"IdentityBlockAt8196", [](const std::string& path) { return WriteLandingImage(path, 8196); },
     Refusal::LogLine, LandingRefusal("hardware version")},
    {"IdentityBlockAt12000", [](const std::string& path) { return WriteLandingImage(path, 12000); },
     Refusal::LogLine, LandingRefusal("hardware version")},
    {"IdentityBlockAt30000", [](const std::string& path) { return WriteLandingImage(path, 30000); },
     Refusal::LogLine, LandingRefusal("hardware version")},
};

class BadImage : public FaultTest, public ::testing::WithParamInterface<ImageRow> {};

TEST_P(BadImage, IsRefusedBeforeAnythingIsErased) {
  const ImageRow& row = GetParam();
  ASSERT_TRUE(ReadyFor(Job::Download));
  const std::string path = folder_.File("bad.bin");
  ASSERT_TRUE(row.Make(path));
  const sim::Flash before = device_->ReadFlash();
  const uint64_t received = Pty().BytesReceived();
  const size_t mark = Rig().LogMark();
  const size_t warnings = Rig().Window.Warnings.size();

  image_ = PlanImage(path);
  Rig().Core.Update(image_);
  Rig().PumpIdle(Quiet);

  if (row.By == Refusal::LogLine) {
    EXPECT_NE(Rig().LogSince(mark).find(row.Text), std::string::npos) << Rig().LogSince(mark);
  } else {
    const auto& shown = Rig().Window.Warnings;
    EXPECT_TRUE(std::any_of(shown.begin() + static_cast<std::ptrdiff_t>(warnings), shown.end(),
                            [&](const std::string& w) { return w.rfind(row.Text, 0) == 0; }))
        << "warnings: " << shown.size() - warnings;
  }
  EXPECT_EQ(Pty().BytesReceived(), received) << "a command went out";
  EXPECT_FALSE(FirstDifference(device_->ReadFlash(), before));
  EXPECT_FALSE(S().FlashJobRunning());
  EXPECT_TRUE(Rig().Window.Enabled[Control::Button4]);
  ExpectWindowFree();
  // The device keeps its identity.
  ASSERT_TRUE(Rig().VerifyHardware());
  EXPECT_EQ(S().Identity().SerialNumber, 4711u);
  EXPECT_EQ(S().Identity().BrandLabel, "LABEL-7");

  // The next step: a fitting image, chosen at once.
  ASSERT_TRUE(Rig().Download(Image()));
  EXPECT_TRUE(EndsWith(Rig().Window.Log, "<done>\r\n"));
}

INSTANTIATE_TEST_SUITE_P(Faults, BadImage, ::testing::ValuesIn(ImageRows),
                         [](const auto& info) { return std::string(info.param.Name); });

// The erase-only job's file "empty": missing or unreadable refuses the job
// before any byte is sent; an empty one programs erased bytes only.
TEST_F(FaultTest, EraseOnlyFileMissingOrUnreadableSendsNothing) {
  ASSERT_TRUE(ReadyFor(Job::EraseOnly));
  for (const bool asFolder : {false, true}) {
    SCOPED_TRACE(asFolder ? "folder" : "missing");
    std::filesystem::remove_all(folder_.File("empty"));
    if (asFolder) ReplaceByFolder(folder_.File("empty"));
    const uint64_t received = Pty().BytesReceived();
    const size_t mark = Rig().LogMark();
    Rig().Core.EraseOnly();
    Rig().PumpIdle(Quiet);
    // A missing file also names the folders it was looked for in.
    std::string log = Rig().LogSince(mark);
    if (const size_t at = log.find("<empty was looked for in: "); at != std::string::npos) {
      log.erase(at, log.find("\r\n", at) + 2 - at);
    }
    EXPECT_EQ(log, "<download file: EMPTY >\r\n<ERR: couldn`t find file EMPTY >\r\n");
    EXPECT_EQ(Rig().Window.Panel, PanelForm::Error);
    EXPECT_EQ(Pty().BytesReceived(), received);
    ExpectWindowFree();
  }
  std::filesystem::remove_all(folder_.File("empty"));
  ASSERT_TRUE(folder_.Write("empty", {}));
  const size_t mark = Rig().LogMark();
  ASSERT_TRUE(Rig().EraseOnly());
  EXPECT_EQ(Rig().LogSince(mark), EraseOnlyLog(0));
  const sim::Flash after = device_->ReadFlash();
  const auto flash = after.Bytes();
  EXPECT_TRUE(std::all_of(flash.begin() + sim::SectorTable[8], flash.begin() + sim::SectorTable[10],
                          [](uint8_t b) { return b == 0xFF; }));
}

// --- A read-back into a destination that cannot take the data.

TEST_F(FaultTest, ReadBackOntoAFullDiskStopsAndTheUnitStaysUsable) {
  ASSERT_TRUE(ReadyFor(Job::ReadBack));
  const size_t mark = Rig().LogMark();
  const size_t warnings = Rig().Window.Warnings.size();
  {
    // The disk takes the first 1000 bytes of the read-back and no more.
    DiskFullAfter full(1000);
    Rig().Core.ReadBack(folder_.File("full.2bf"));
    ASSERT_TRUE(Rig().PumpUntil(
        [&] {
          return !S().ContinuePending() &&
                 S().SessionState() == Session::State::AwaitReadWordStatus &&
                 Pty().WaitingForCommand();
        },
        10s))
        << "state " << static_cast<int>(S().SessionState()) << "; log:\n"
        << Rig().LogSince(mark);
    Rig().PumpIdle(Quiet);
  }
  ASSERT_EQ(Rig().Window.Warnings.size(), warnings + 1);
  EXPECT_EQ(Rig().Window.Warnings.back(), "E/A-Fehler 101");
  EXPECT_NE(Rig().LogSince(mark).find("<ERR: "), std::string::npos) << Rig().LogSince(mark);
  EXPECT_EQ(Rig().LogSince(mark).find("<done>"), std::string::npos) << Rig().LogSince(mark);
  EXPECT_EQ(Rig().Window.Panel, PanelForm::Error);
  EXPECT_FALSE(S().DestinationFile().IsOpen());
  ExpectWindowFree();

  // The next step: another destination, and the whole of both sectors arrives.
  ASSERT_TRUE(Rig().ReadBack(folder_.File("dump.2bf")));
  const Bytes dump = folder_.Read("dump.2bf");
  const sim::Flash after = device_->ReadFlash();
  const auto flash = after.Bytes();
  ASSERT_EQ(dump.size(), 131072u);
  EXPECT_TRUE(std::equal(dump.begin(), dump.end(), flash.begin() + sim::SectorTable[8]));
}

}  // namespace
}  // namespace integration
