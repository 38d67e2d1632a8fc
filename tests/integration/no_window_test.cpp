// The operator's whole road without a window: the real TComm on a
// pseudo-terminal, the simulated unit on the other end, and the session's
// reports caught by a recording window.
#include <algorithm>
#include <span>

#include "rig.h"
#include "sim/image_builder.h"

namespace integration {
namespace {

// An image for the demo unit: same product, a hardware version that differs
// from the unit's only in its last character.
std::string MakeImage(const WorkFolder& folder, const std::string& name,
                      std::vector<uint8_t> sectors, uint32_t size) {
  sim::ImageOptions options;
  options.Size = size;
  options.ProductName = "DEMO165";
  options.HardwareVersion = "1.0b";
  options.Sectors = std::move(sectors);
  std::string error;
  EXPECT_TRUE(sim::WriteImageFile(folder.File(name), options, &error)) << error;
  return folder.File(name);
}

bool Contains(std::span<const uint8_t> haystack, const Bytes& needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
         haystack.end();
}

// The record that carries the unit's serial number 4711 into a new image.
const Bytes SerialRecordOf4711 = {'S', 'E', 'R', 'I', 'A',  'L',  '_', 'N',
                                  'O', ' ', ' ', 4,   0x67, 0x12, 0,   0};

TEST(NoWindowWalk, ConnectVerifyReadBackUpdateAndEraseOnly) {
  WorkFolder folder;
  SimulatedDevice device(folder);
  ASSERT_TRUE(device.Start());
  const sim::Flash delivered = device.ReadFlash();
  NoWindowRig rig(folder);

  size_t mark = rig.LogMark();
  ASSERT_TRUE(rig.Connect());
  EXPECT_EQ(LogLines(rig.LogSince(mark)), LogLines(ConnectLog()));
  EXPECT_EQ(rig.Window.Panel, PanelForm::Success);
  EXPECT_TRUE(rig.Window.Enabled[Control::Button6]);
  EXPECT_FALSE(rig.Window.Enabled[Control::Button3]);
  EXPECT_EQ(rig.TheSession.SectorStart(), sim::SectorTable);
  EXPECT_EQ(device.Pty().Upload(), sim::UploadState::Accepted) << device.Pty().UploadProblem();

  mark = rig.LogMark();
  ASSERT_TRUE(rig.VerifyHardware());
  EXPECT_EQ(LogLines(rig.LogSince(mark)), LogLines(IdentityReadLog()));
  EXPECT_EQ(rig.TheSession.Identity().ProductName, "DEMO165");
  EXPECT_EQ(rig.TheSession.Identity().HardwareVersion, "1.0a");
  EXPECT_TRUE(rig.TheSession.Identity().SerialNumberFound);
  EXPECT_EQ(rig.TheSession.Identity().SerialNumber, 4711u);
  EXPECT_EQ(rig.TheSession.Identity().BrandLabel, "LABEL-7");
  EXPECT_EQ(rig.Window.Panel, PanelForm::Success);
  EXPECT_EQ(rig.Window.PanelCounts.back(), 2048);
  EXPECT_EQ(rig.Window.Percents.back(), 100);
  EXPECT_TRUE(rig.Window.Warnings.empty());

  const std::string destination = folder.File("sectors.2bf");
  mark = rig.LogMark();
  ASSERT_TRUE(rig.ReadBack(destination));
  EXPECT_EQ(LogLines(rig.LogSince(mark)), LogLines(ReadBackLog(destination)));
  Bytes sectors8And9(delivered.Sector(8).begin(), delivered.Sector(8).end());
  sectors8And9.insert(sectors8And9.end(), delivered.Sector(9).begin(), delivered.Sector(9).end());
  EXPECT_EQ(ReadFileBytes(destination), sectors8And9);

  // 70000 bytes end inside sector 4: the rest of it must come out erased.
  const std::string image = MakeImage(folder, "update.bin", {3, 4}, 70000);
  const std::optional<Bytes> patched = PatchedImage(folder, image, DemoIdentity());
  ASSERT_TRUE(patched);
  const sim::Flash afterUpdate = FlashAfterProgramming(delivered, *patched, {3, 4});
  mark = rig.LogMark();
  ASSERT_TRUE(rig.Download(image));
  EXPECT_EQ(LogLines(rig.LogSince(mark)), LogLines(UpdateLog(image, {3, 4}, 70000)));
  EXPECT_EQ(FirstDifference(device.ReadFlash(), afterUpdate), std::nullopt);
  EXPECT_TRUE(Contains(device.ReadFlash().Sector(3), SerialRecordOf4711));
  EXPECT_EQ(rig.Window.Panel, PanelForm::Success);
  EXPECT_EQ(rig.Window.Labels[StepLabel::Label7], LabelColour::Yellow);
  EXPECT_EQ(rig.Window.Labels[StepLabel::Label10], LabelColour::Yellow);
  EXPECT_FALSE(rig.Window.Enabled[Control::Button4]);
  // The unit has a serial number: the patched image goes once it is in the flash.
  EXPECT_FALSE(FileExists(folder.File("tmp.bin")));

  Bytes fill(1000);
  for (size_t i = 0; i < fill.size(); ++i) fill[i] = static_cast<uint8_t>(i * 7 + 3);
  ASSERT_TRUE(folder.Write("empty", fill));
  mark = rig.LogMark();
  ASSERT_TRUE(rig.EraseOnly());
  EXPECT_EQ(LogLines(rig.LogSince(mark)), LogLines(EraseOnlyLog(1000)));
  EXPECT_EQ(FirstDifference(device.ReadFlash(), FlashAfterProgramming(afterUpdate, fill, {8, 9})),
            std::nullopt);
  EXPECT_EQ(rig.Window.Panel, PanelForm::Success);
}

// The update carries the unit's own identity into the new image: an image over
// the sectors that hold the identity block leaves the unit as it was known.
// Whether the patched image stays behind depends on the unit having a serial
// number; what lands in the flash does not.
TEST(NoWindowUpdate, UnitIdentitySurvivesTheUpdate) {
  struct Row {
    const char* Name;
    sim::DeviceIdentity Identity;
  };
  const Row rows[] = {
      {"with serial number and brand label", DemoIdentity()},
      {"without serial number and brand label", {"DEMO165", "1.0a", std::nullopt, std::nullopt}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    WorkFolder folder;
    DeviceSetup setup;
    setup.Identity = row.Identity;
    SimulatedDevice device(folder, setup);
    ASSERT_TRUE(device.Start());
    NoWindowRig rig(folder);
    ASSERT_TRUE(rig.Connect());
    ASSERT_TRUE(rig.VerifyHardware());
    const bool hasSerial = row.Identity.SerialNumber.has_value();
    EXPECT_EQ(rig.TheSession.Identity().SerialNumberFound, hasSerial);

    // Sectors 0 and 1 end at 0x6000; the image's identity block lands at 0x4000.
    const std::string image = MakeImage(folder, "update.bin", {0, 1}, 0x6000);
    const std::optional<Bytes> patched = PatchedImage(folder, image, row.Identity);
    ASSERT_TRUE(patched);
    const sim::Flash before = device.ReadFlash();
    ASSERT_TRUE(rig.Download(image));
    EXPECT_EQ(FirstDifference(device.ReadFlash(), FlashAfterProgramming(before, *patched, {0, 1})),
              std::nullopt);
    EXPECT_EQ(FileExists(folder.File("tmp.bin")), !hasSerial);
    if (!hasSerial) {
      EXPECT_EQ(folder.Read("tmp.bin"), *patched);
    }

    // Read again, from values that cannot be left over from the first read.
    rig.TheSession.UseIdentity(DeviceIdentity{"stale", "stale", 1, false, "stale"});
    ASSERT_TRUE(rig.VerifyHardware());
    EXPECT_EQ(rig.TheSession.Identity().ProductName, "DEMO165");
    EXPECT_EQ(rig.TheSession.Identity().HardwareVersion, "1.0a");
    // The image's serial-number record is always rewritten: a unit that had
    // none now carries 0.
    EXPECT_TRUE(rig.TheSession.Identity().SerialNumberFound);
    EXPECT_EQ(rig.TheSession.Identity().SerialNumber, row.Identity.SerialNumber.value_or(0));
    if (row.Identity.BrandLabel) {
      EXPECT_EQ(rig.TheSession.Identity().BrandLabel, *row.Identity.BrandLabel);
    }
  }
}

// A unit that stops answering in the middle of the sector table must not hold
// the session: the wait gives up, the error shows, and "connect" works again
// once the unit has been powered up anew.
TEST(NoWindowConnect, SilenceDuringTheSectorTableEndsAndConnectWorksAgain) {
  WorkFolder folder;
  SimulatedDevice device(folder, SilentInsideTheSectorTable());
  ASSERT_TRUE(device.Start());
  NoWindowRig rig(folder, 200ms);

  rig.Window.Enabled.clear();
  size_t mark = rig.LogMark();
  ASSERT_TRUE(rig.RunJob(
      "connect to a silent unit", [&] { rig.Core.Connect(); },
      [&] { return rig.LogSince(mark).find("<ERR: ") != std::string::npos; }));
  rig.PumpIdle();
  const std::vector<std::string> lines = LogLines(rig.LogSince(mark));
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "<writing flashroutine into C165...>\r\n");
  EXPECT_EQ(lines.back().rfind("<ERR: ", 0), 0u) << lines.back();
  EXPECT_EQ(rig.TheSession.SessionState(), Session::State::Idle);
  EXPECT_EQ(rig.Window.Panel, PanelForm::Error);
  EXPECT_FALSE(rig.Window.Enabled.contains(Control::Button3)) << "connect disabled itself";
  EXPECT_FALSE(rig.Window.Enabled[Control::Button6]);

  device.Pty().PowerCycle(true);
  mark = rig.LogMark();
  ASSERT_TRUE(rig.Connect());
  EXPECT_EQ(LogLines(rig.LogSince(mark)), LogLines(ConnectLog(true)));
  EXPECT_EQ(rig.TheSession.SectorStart(), sim::SectorTable);
  EXPECT_EQ(rig.Window.Panel, PanelForm::Success);
}

// The flash routine may greet with "h" and two characters before its first
// "a"; they go into the log as they are, with no line end of their own.
TEST(NoWindowConnect, RoutineMessageShowsInTheLog) {
  WorkFolder folder;
  DeviceSetup setup;
  setup.Message = std::array<uint8_t, 2>{'V', '7'};
  SimulatedDevice device(folder, setup);
  ASSERT_TRUE(device.Start());
  NoWindowRig rig(folder);
  const size_t mark = rig.LogMark();
  ASSERT_TRUE(rig.Connect());
  std::string expected = ConnectLog();
  expected.insert(expected.find("<  c o n n e c t e d"), "V7");
  EXPECT_EQ(LogLines(rig.LogSince(mark)), LogLines(expected));
  EXPECT_EQ(rig.TheSession.SectorStart(), sim::SectorTable);
}

}  // namespace
}  // namespace integration

namespace integration {
namespace {

// The core as every front end drives it: each job is judged by its outcome
// alone, not by the log.
TEST(NoWindowCore, AWholeUpdateIsJudgedByTheJobOutcomesAlone) {
  WorkFolder folder;
  SimulatedDevice device(folder);
  ASSERT_TRUE(device.Start());
  NoWindowRig rig(folder);
  const std::string image = MakeImage(folder, "fits.bin", {0, 1, 2, 3}, 40000);
  const ImagePlan plan = PlanImage(image);

  const auto run = [&](Job job, const std::function<void()>& start) -> std::optional<JobResult> {
    const size_t before = rig.Window.Finished.size();
    start();
    if (!rig.PumpUntil([&] { return rig.Window.Finished.size() > before; })) return std::nullopt;
    EXPECT_EQ(rig.Window.Finished.back().first, job);
    return rig.Window.Finished.back().second;
  };
  const std::pair<Job, std::function<void()>> jobs[] = {
      {Job::Connect, [&] { rig.Core.Connect(); }},
      {Job::VerifyHardware, [&] { rig.Core.Identify(); }},
      {Job::Download, [&] { rig.Core.Update(plan); }}};
  for (const auto& [job, start] : jobs) {
    const std::optional<JobResult> result = run(job, start);
    ASSERT_TRUE(result) << JobName(job) << " did not finish";
    EXPECT_EQ(result->Outcome, JobOutcome::Ok) << JobName(job) << ": " << result->Reason;
    if (job == Job::VerifyHardware) {
      EXPECT_TRUE(result->HasIdentity);
      EXPECT_EQ(result->Identity.SerialNumber, 4711u);
    }
  }
  EXPECT_EQ(rig.Window.Started.size(), 3u);
}

}  // namespace
}  // namespace integration
