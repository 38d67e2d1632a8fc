// Form1 offscreen against the simulated unit: the operator's clicks, the log
// pane, the status panel, the step labels and the buttons after each step,
// and the unit's flash afterwards.
#include <QFileInfo>
#include <filesystem>
#include <fstream>

#include "core/history.h"
#include "sim/image_builder.h"
#include "window_rig.h"

namespace integration {
namespace {

using Names = std::set<std::string>;

const Names Ports = {"RadioButton1", "RadioButton2", "RadioButton6", "RadioButton7"};

Names With(Names names, std::initializer_list<const char*> more) {
  for (const char* name : more) names.insert(name);
  return names;
}

// The log pane's text as lines, each keeping its line break, so that a
// mismatch points at the line.
std::vector<std::string> ShownLines(const QString& text) {
  std::vector<std::string> lines;
  const std::string all = text.toStdString();
  size_t start = 0;
  while (start < all.size()) {
    const size_t end = all.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(all.substr(start));
      break;
    }
    lines.push_back(all.substr(start, end + 1 - start));
    start = end + 1;
  }
  return lines;
}

std::vector<std::string> ShownLines(std::string_view logText) {
  return ShownLines(AsShown(logText));
}

std::string MakeImage(const WorkFolder& folder, const std::string& name,
                      sim::ImageOptions options) {
  std::string error;
  EXPECT_TRUE(sim::WriteImageFile(folder.File(name), options, &error)) << error;
  return folder.File(name);
}

sim::ImageOptions FittingImage(std::optional<std::vector<uint8_t>> sectors, uint32_t size) {
  sim::ImageOptions options;
  options.Size = size;
  options.ProductName = "DEMO165";
  options.HardwareVersion = "1.0b";
  options.Sectors = std::move(sectors);
  return options;
}

// Port COM1, then "connect" until the unit is there.
::testing::AssertionResult ConnectThroughWindow(FormRig& rig) {
  if (auto clicked = rig.Click(rig.W().RadioButton1); !clicked) return clicked;
  const qsizetype mark = rig.Log().size();
  return rig.ClickAndWait(rig.W().Button3, [&] {
    return rig.Log().mid(mark).contains(QStringLiteral("<  c o n n e c t e d  >\n"));
  });
}

::testing::AssertionResult VerifyThroughWindow(FormRig& rig) {
  const qsizetype mark = rig.Log().size();
  return rig.ClickAndWait(rig.W().Button6, [&] {
    return rig.TheSession().SessionState() == Session::State::Idle &&
           rig.Log().mid(mark).contains(QStringLiteral("<done>\n\n\n"));
  });
}

TEST(FormWalk, ConnectAndVerifyFollowTheOperatorSteps) {
  WorkFolder folder;
  SimulatedDevice device(folder);
  ASSERT_TRUE(device.Start());
  FormRig rig(folder);
  ASSERT_TRUE(rig.Activated);

  EXPECT_EQ(rig.YellowLabels(), (Names{"Label3", "Label9"}));
  EXPECT_EQ(rig.EnabledControls(), Ports);
  EXPECT_FALSE(rig.ServiceJobsOffered());

  ASSERT_TRUE(rig.Click(rig.W().RadioButton1));
  EXPECT_EQ(rig.Form().Comm1.Port(), 1);
  EXPECT_EQ(rig.YellowLabels(), Names{"Label5"});
  EXPECT_EQ(rig.EnabledControls(), With(Ports, {"Button1", "Button3"}));

  // The click returns before the unit's answer is handled: this is the
  // window while it waits for the unit.
  ASSERT_TRUE(rig.Click(rig.W().Button3));
  EXPECT_EQ(rig.YellowLabels(), (Names{"Label1", "Label2", "Label5"}));
  EXPECT_EQ(rig.EnabledControls(), Names{"Button3"});
  EXPECT_EQ(rig.PanelText(), "ERR");
  EXPECT_EQ(rig.PanelColour(), PanelRed);
  EXPECT_EQ(rig.W().ProgressBar1->value(), 0);
  ASSERT_TRUE(rig.ProcessUntil([&] { return rig.Log().contains("<  c o n n e c t e d  >"); }))
      << rig.Log().toStdString();
  // The window names the device and its line settings after the port opened.
  std::vector<std::string> expected = ShownLines(ConnectLog());
  expected.insert(expected.begin() + 1, "<COM1: " + rig.Form().Comm1.DevicePath() +
                                            ", 38400 bit/s, 8N1, no flow control>\n");
  EXPECT_EQ(ShownLines(rig.Log()), expected);
  EXPECT_EQ(rig.PanelText(), "OK");
  EXPECT_EQ(rig.PanelColour(), PanelGreen);
  EXPECT_EQ(rig.YellowLabels(), Names{"Label6"});
  EXPECT_EQ(rig.EnabledControls(), Names{"Button6"});
  EXPECT_TRUE(rig.ServiceJobsOffered());

  const qsizetype mark = rig.Log().size();
  ASSERT_TRUE(VerifyThroughWindow(rig));
  EXPECT_EQ(ShownLines(rig.Log().mid(mark)), ShownLines(IdentityReadLog()));
  EXPECT_EQ(rig.PanelText(), "OK");
  EXPECT_EQ(rig.PanelColour(), PanelGreen);
  EXPECT_EQ(rig.W().ProgressBar1->value(), 100);
  EXPECT_EQ(rig.YellowLabels(), Names{"Label4"});
  EXPECT_EQ(rig.EnabledControls(), Names{"Button4"});
  EXPECT_TRUE(rig.Warnings.isEmpty()) << rig.Warnings.join('/').toStdString();

  const Session& session = rig.TheSession();
  EXPECT_EQ(session.Identity().ProductName, "DEMO165");
  EXPECT_EQ(session.Identity().HardwareVersion, "1.0a");
  EXPECT_TRUE(session.Identity().SerialNumberFound);
  EXPECT_EQ(session.Identity().SerialNumber, 4711u);
  EXPECT_EQ(session.Identity().BrandLabel, "LABEL-7");
}

TEST(FormWalk, UnitWithoutProductNameIsReportedAfterTheRead) {
  WorkFolder folder;
  DeviceSetup setup;
  setup.Identity = {std::nullopt, "1.0a", 99u, std::nullopt};
  SimulatedDevice device(folder, setup);
  ASSERT_TRUE(device.Start());
  FormRig rig(folder);
  ASSERT_TRUE(ConnectThroughWindow(rig));
  ASSERT_TRUE(VerifyThroughWindow(rig));
  EXPECT_EQ(rig.Warnings, QStringList{"unable to identify your hardware"});
  EXPECT_EQ(rig.PanelText(), "ERR");
  EXPECT_EQ(rig.PanelColour(), PanelRed);
  // The read itself finished: the road goes on to "download" all the same.
  EXPECT_EQ(rig.YellowLabels(), Names{"Label4"});
  EXPECT_EQ(rig.EnabledControls(), Names{"Button4"});
  EXPECT_TRUE(rig.TheSession().Identity().ProductName.empty());
  EXPECT_EQ(rig.TheSession().Identity().SerialNumber, 99u);
}

TEST(FormWalk, ABoardWithoutIdentityIsOfferedTheOneInterruptedOnItsPortFirst) {
  WorkFolder folder;
  DeviceSetup setup;
  setup.NoIdentity = true;
  SimulatedDevice device(folder, setup);
  ASSERT_TRUE(device.Start());
  FormRig rig(folder);
  const auto identity = [](uint32_t serial) {
    DeviceIdentity id{"DEMO165", "1.0a", serial, true, "LABEL"};
    return id;
  };
  const auto block = [](uint32_t serial) {
    return sim::BuildIdentityBlock({"DEMO165", "1.0a", serial, "LABEL"});
  };
  // 4711 was being updated on COM1 when its flash was cut short; 4800, read
  // later on another port, is the newest saved identity.
  RecordStore& store = rig.Store();
  ASSERT_TRUE(store.SaveIdentity(identity(4711), block(4711), "COM1").empty());
  ASSERT_TRUE(store.SaveIdentity(identity(4800), block(4800), "COM2").empty());
  JobRecord interrupted;
  interrupted.Port = "COM1";
  interrupted.IdentityBefore = identity(4711);
  interrupted.Source = IdentitySource::Device;
  interrupted.Outcome = RecordOutcome::Cancelled;
  interrupted.FlashTouched = true;
  interrupted.Started = interrupted.Ended = std::chrono::system_clock::now();
  ASSERT_TRUE(store.Record(interrupted).empty());

  QStringList offered;
  rig.Form().ChooseHook = [&offered](const QString&, const QStringList& items) {
    offered = items;
    return 0;
  };
  ASSERT_TRUE(ConnectThroughWindow(rig));
  ASSERT_TRUE(VerifyThroughWindow(rig));
  ASSERT_EQ(offered.size(), 2) << offered.join(" / ").toStdString();
  EXPECT_TRUE(offered[0].contains("serial 4711")) << offered[0].toStdString();
  EXPECT_TRUE(offered[1].contains("serial 4800")) << offered[1].toStdString();
  EXPECT_TRUE(rig.Log().contains("serial 4711")) << rig.Log().toStdString();
  EXPECT_TRUE(rig.Log().contains("<using the identity saved at")) << rig.Log().toStdString();
}

TEST(FormConnect, SilenceDuringTheSectorTableLeavesConnectUsable) {
  WorkFolder folder;
  SimulatedDevice device(folder, SilentInsideTheSectorTable());
  ASSERT_TRUE(device.Start());
  FormRig rig(folder, 200ms);
  ASSERT_TRUE(rig.Click(rig.W().RadioButton1));
  ASSERT_TRUE(rig.ClickAndWait(rig.W().Button3, [&] { return rig.Log().contains("<ERR: "); }));
  QCoreApplication::processEvents();

  const std::vector<std::string> lines = ShownLines(rig.Log());
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "<writing flashroutine into C165...>\n");
  EXPECT_EQ(lines.back().rfind("<ERR: ", 0), 0u) << lines.back();
  EXPECT_EQ(rig.TheSession().SessionState(), Session::State::Idle);
  EXPECT_EQ(rig.PanelText(), "ERR");
  EXPECT_EQ(rig.PanelColour(), PanelRed);
  // "if not, repeat step 2. and 3.": connect stays the way on.
  EXPECT_EQ(rig.YellowLabels(), (Names{"Label1", "Label2", "Label5"}));
  EXPECT_EQ(rig.EnabledControls(), Names{"Button3"});

  device.Pty().PowerCycle(true);
  const qsizetype mark = rig.Log().size();
  ASSERT_TRUE(rig.ClickAndWait(rig.W().Button3, [&] {
    return rig.Log().mid(mark).contains(QStringLiteral("<  c o n n e c t e d  >\n"));
  }));
  EXPECT_EQ(ShownLines(rig.Log().mid(mark)), ShownLines(ConnectLog(true)));
  EXPECT_EQ(rig.TheSession().SectorStart(), sim::SectorTable);
  EXPECT_EQ(rig.PanelText(), "OK");
  EXPECT_EQ(rig.YellowLabels(), Names{"Label6"});
  EXPECT_EQ(rig.EnabledControls(), Names{"Button6"});
}

TEST(FormDownload, PatchedImageAndItsFillerLandInTheFlash) {
  struct Row {
    const char* Name;
    sim::ImageOptions Image;
    std::vector<int> Sectors;
    sim::DeviceIdentity Identity;
  };
  std::vector<int> allSectors(sim::SectorCount);
  for (int s = 0; s < sim::SectorCount; ++s) allSectors[static_cast<size_t>(s)] = s;
  const Row rows[] = {
      // Ends inside sector 4, so the rest of it must come out as 0xFF.
      {"two sectors", FittingImage(std::vector<uint8_t>{3, 4}, 70000), {3, 4}, DemoIdentity()},
      // The whole flash, for a unit without serial number: the patched image
      // stays on disk and must be what went into the flash.
      {"all 35 sectors",
       FittingImage(std::nullopt, sim::FlashSize),
       allSectors,
       {"DEMO165", "1.0a", std::nullopt, std::nullopt}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    WorkFolder folder;
    DeviceSetup setup;
    setup.Identity = row.Identity;
    SimulatedDevice device(folder, setup);
    ASSERT_TRUE(device.Start());
    FormRig rig(folder);
    // Reading the whole flash back word by word takes minutes.
    const bool verified = row.Sectors.size() < allSectors.size();
    rig.TheSession().VerifyAfterDownload = verified;
    ASSERT_TRUE(ConnectThroughWindow(rig));
    ASSERT_TRUE(VerifyThroughWindow(rig));

    const std::string image = MakeImage(folder, "firmware.bin", row.Image);
    const std::optional<Bytes> patched = PatchedImage(folder, image, row.Identity);
    ASSERT_TRUE(patched);
    const sim::Flash expected = FlashAfterProgramming(device.ReadFlash(), *patched, row.Sectors);

    rig.FileAnswers.push_back(QString::fromStdString(image));
    const qsizetype mark = rig.Log().size();
    ASSERT_TRUE(rig.ClickAndWait(
        rig.W().Button4, [&] { return rig.TheSession().SessionState() == Session::State::Ended; }));
    EXPECT_EQ(rig.DialogsRun, QStringList{"select new firmware | (*)"});
    EXPECT_EQ(ShownLines(rig.Log().mid(mark)),
              ShownLines(UpdateLog(image, row.Sectors, row.Image.Size, verified)));
    EXPECT_TRUE(rig.Log().endsWith("<done>\n"));
    EXPECT_EQ(FirstDifference(device.ReadFlash(), expected), std::nullopt);
    EXPECT_EQ(rig.PanelText(), "OK");
    EXPECT_EQ(rig.PanelColour(), PanelGreen);
    EXPECT_EQ(rig.W().ProgressBar1->value(), 100);
    EXPECT_EQ(rig.YellowLabels(), (Names{"Label10", "Label7"}));
    EXPECT_EQ(rig.EnabledControls(), Names{});
    EXPECT_EQ(FileExists(folder.File("tmp.bin")), !row.Identity.SerialNumber.has_value());
    EXPECT_TRUE(rig.Warnings.isEmpty()) << rig.Warnings.join('/').toStdString();
  }
}

TEST(FormDownload, ImageForOtherHardwareIsRefusedBeforeAnyErase) {
  struct Row {
    const char* Name;
    const char* Product;
    const char* Hardware;
  };
  const Row rows[] = {
      {"other product", "DEMO166", "1.0a"},
      {"other hardware", "DEMO165", "1.1a"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    WorkFolder folder;
    SimulatedDevice device(folder);
    ASSERT_TRUE(device.Start());
    FormRig rig(folder);
    ASSERT_TRUE(ConnectThroughWindow(rig));
    ASSERT_TRUE(VerifyThroughWindow(rig));
    const sim::Flash before = device.ReadFlash();

    sim::ImageOptions options = FittingImage(std::vector<uint8_t>{3}, 32768);
    options.ProductName = row.Product;
    options.HardwareVersion = row.Hardware;
    const std::string image = MakeImage(folder, "other.bin", options);
    rig.FileAnswers.push_back(QString::fromStdString(image));
    const qsizetype mark = rig.Log().size();
    const uint64_t receivedBefore = device.Pty().BytesReceived();
    ASSERT_TRUE(rig.Click(rig.W().Button4));
    // An erase command would reach the unit within this window; the loop
    // ends early if anything does.
    EXPECT_FALSE(
        rig.ProcessUntil([&] { return device.Pty().BytesReceived() != receivedBefore; }, 300ms))
        << "the unit was sent something";

    EXPECT_EQ(rig.Warnings, QStringList{"the selected file doesn\u00B4t fit to your hardware"});
    EXPECT_EQ(ShownLines(rig.Log().mid(mark)),
              ShownLines("<download file: " + image + " >\r\n\r\n\r\n<ERR: image refused: the " +
                         "image is for " + row.Product + " " + row.Hardware +
                         ", the device is DEMO165 1.0a>\r\n"));
    EXPECT_EQ(rig.PanelText(), "ERR");
    EXPECT_EQ(rig.PanelColour(), PanelRed);
    // Nothing was written: another image can be chosen at once.
    EXPECT_EQ(rig.YellowLabels(), Names{"Label4"});
    EXPECT_EQ(rig.EnabledControls(), Names{"Button4"});
    EXPECT_EQ(FirstDifference(device.ReadFlash(), before), std::nullopt);
    EXPECT_FALSE(device.SawEvent("erase"));
    EXPECT_FALSE(FileExists(folder.File("tmp.bin")));
  }
}

TEST(FormServiceJobs, ReadBackOfSectors8And9FillsTheDestination) {
  WorkFolder folder;
  SimulatedDevice device(folder);
  ASSERT_TRUE(device.Start());
  FormRig rig(folder);
  ASSERT_TRUE(ConnectThroughWindow(rig));
  EXPECT_FALSE(rig.W().Button4->isEnabled());

  // The destination chosen on its own (a handler no control or entry leads
  // to) only shows in the log; the read asks again.
  const std::string chosenFirst = folder.File("first.2bf");
  rig.FileAnswers.push_back(QString::fromStdString(chosenFirst));
  qsizetype mark = rig.Log().size();
  rig.Form().RadioButton5Click();
  EXPECT_EQ(ShownLines(rig.Log().mid(mark)),
            ShownLines("<destination file: " + chosenFirst + " >\r\n"));

  const std::string destination = folder.File("sectors.2bf");
  rig.FileAnswers.push_back(QString::fromStdString(destination));
  mark = rig.Log().size();
  ASSERT_TRUE(rig.TriggerServiceEntry("read sectors 8 and 9 into a file..."));
  ASSERT_TRUE(rig.ProcessUntil([&] {
    return rig.TheSession().SessionState() == Session::State::Idle &&
           rig.Log().mid(mark).contains("words read>\n");
  })) << rig.Log().mid(mark).toStdString();

  EXPECT_EQ(rig.DialogsRun, QStringList(2, "Zieldatei | (*.2bf);;(*)"));
  EXPECT_EQ(ShownLines(rig.Log().mid(mark)), ShownLines(ReadBackLog(destination)));
  EXPECT_TRUE(rig.Log().endsWith(
      "\n<all selected sectors are read now>\n\n<done>\n<    65536words of 65536words read>\n"));
  const sim::Flash flash = device.ReadFlash();
  Bytes expected(flash.Sector(8).begin(), flash.Sector(8).end());
  expected.insert(expected.end(), flash.Sector(9).begin(), flash.Sector(9).end());
  const Bytes read = ReadFileBytes(destination);
  EXPECT_EQ(read.size(), 131072u);
  EXPECT_TRUE(read == expected);
  EXPECT_EQ(read[0], sim::PatternByte(sim::SectorTable[8]));
  EXPECT_FALSE(FileExists(chosenFirst));
  EXPECT_EQ(rig.PanelText(), "OK");
  EXPECT_EQ(rig.PanelColour(), PanelGreen);
  EXPECT_EQ(rig.W().ProgressBar1->value(), 100);
  EXPECT_TRUE(rig.W().Button4->isEnabled());
}

TEST(FormServiceJobs, EraseOnlyWritesTheEmptyFileIntoSectors8And9) {
  struct Row {
    const char* Name;
    size_t Size;
  };
  // Nothing, part of sector 8, and into sector 9.
  const Row rows[] = {{"empty file", 0}, {"1000 bytes", 1000}, {"70000 bytes", 70000}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    WorkFolder folder;
    SimulatedDevice device(folder);
    ASSERT_TRUE(device.Start());
    FormRig rig(folder);
    ASSERT_TRUE(ConnectThroughWindow(rig));
    Bytes content(row.Size);
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 13 + 5);
    ASSERT_TRUE(folder.Write("empty", content));
    const sim::Flash expected = FlashAfterProgramming(device.ReadFlash(), content, {8, 9});

    const qsizetype mark = rig.Log().size();
    ASSERT_TRUE(rig.TriggerServiceEntry("erase sectors 8 and 9"));
    ASSERT_TRUE(rig.ProcessUntil([&] {
      return rig.TheSession().SessionState() == Session::State::Ended;
    })) << rig.Log().mid(mark).toStdString();
    EXPECT_EQ(ShownLines(rig.Log().mid(mark)), ShownLines(EraseOnlyLog(row.Size)));
    EXPECT_EQ(FirstDifference(device.ReadFlash(), expected), std::nullopt);
    EXPECT_EQ(rig.PanelText(), "OK");
    EXPECT_EQ(rig.PanelColour(), PanelGreen);
    EXPECT_EQ(rig.YellowLabels(), (Names{"Label10", "Label7"}));
  }
}

}  // namespace
}  // namespace integration

namespace integration {
namespace {

// A silent chip, a unit that falls silent while it is programmed and a
// refused image: from each, "start over" and the steps again lead to a good
// update in the same run.
TEST(FormStartOver, EveryDeadEndLeadsBackToAGoodUpdate) {
  enum class Trouble { SilentChip, SilentWhileProgramming, RefusedImage };
  for (const Trouble trouble :
       {Trouble::SilentChip, Trouble::SilentWhileProgramming, Trouble::RefusedImage}) {
    SCOPED_TRACE(static_cast<int>(trouble));
    WorkFolder folder;
    DeviceSetup setup;
    if (trouble == Trouble::SilentChip) setup.Faults.SilentAfterSent = 0;
    if (trouble == Trouble::SilentWhileProgramming) {
      setup.Faults.Stops.push_back({sim::StopPhase::Program, 4, false});
    }
    SimulatedDevice device(folder, setup);
    ASSERT_TRUE(device.Start());
    FormRig rig(folder);
    // The session's waits run on this clock: a silent unit is given up on
    // without the test sitting out the bounds.
    std::chrono::seconds skew{0};
    rig.Form().TickClock = [&] { return std::chrono::steady_clock::now() + skew; };
    const std::string fits = MakeImage(folder, "fits.bin", FittingImage({{3, 4}}, 70000));
    const std::string wrong = MakeImage(folder, "wrong.bin", [] {
      sim::ImageOptions other = FittingImage({{3}}, 40000);
      other.ProductName = "OTHER77";
      return other;
    }());

    if (trouble == Trouble::SilentChip) {
      ASSERT_TRUE(rig.Click(rig.W().RadioButton1));
      ASSERT_TRUE(rig.Click(rig.W().Button3));
    } else {
      ASSERT_TRUE(ConnectThroughWindow(rig));
      ASSERT_TRUE(VerifyThroughWindow(rig));
      rig.FileAnswers.push_back(
          QString::fromStdString(trouble == Trouble::RefusedImage ? wrong : fits));
      ASSERT_TRUE(rig.Click(rig.W().Button4));
    }
    if (trouble != Trouble::RefusedImage) {
      const qsizetype mark = rig.Log().size();
      ASSERT_TRUE(rig.ProcessUntil([&] {
        skew += std::chrono::seconds(1);
        return rig.Log().mid(mark).contains(QStringLiteral("<ERR: no answer")) ||
               rig.Log().mid(mark).contains(QStringLiteral("<ERR: the chip did not answer"));
      }));
    } else {
      ASSERT_TRUE(rig.ProcessUntil([&] { return rig.Log().contains(QStringLiteral("ERR")); }));
    }
    EXPECT_EQ(rig.PanelText(), "ERR");

    device.Pty().PowerCycle(true);
    skew = std::chrono::seconds(0);
    ASSERT_TRUE(rig.TriggerServiceEntry(QStringLiteral("start over")));
    EXPECT_EQ(rig.EnabledControls(), Ports);
    // The records name the station and operator of the service menu's setting.
    rig.Form().RecordSettingsHook = [](QString& station, QString& person, QString&) {
      station = QStringLiteral("line-4");
      person = QStringLiteral("ana");
      return true;
    };
    ASSERT_TRUE(rig.TriggerServiceEntry(QStringLiteral("station, operator and line database...")));
    ASSERT_TRUE(ConnectThroughWindow(rig));
    ASSERT_TRUE(VerifyThroughWindow(rig));
    rig.FileAnswers.push_back(QString::fromStdString(fits));
    const qsizetype mark = rig.Log().size();
    ASSERT_TRUE(rig.ClickAndWait(
        rig.W().Button4, [&] { return rig.TheSession().SessionState() == Session::State::Ended; }));
    EXPECT_TRUE(rig.Log().mid(mark).endsWith(QStringLiteral("<done>\n")))
        << rig.Log().mid(mark).toStdString();
    EXPECT_EQ(rig.PanelText(), "OK");
    // The good update is the last record, with the image's path.
    RecordFilter updates;
    updates.Job = RecordJob::Update;
    const StoreAnswer<JobRecord> records = rig.Store().Query(updates);
    ASSERT_TRUE(records.Ok) << records.Error;
    ASSERT_FALSE(records.Items.empty());
    const JobRecord& last = records.Items.back();
    EXPECT_EQ(last.FrontEnd, RecordFrontEnd::Window);
    EXPECT_EQ(last.Station, "line-4");
    EXPECT_EQ(last.Operator, "ana");
    EXPECT_EQ(last.Outcome, RecordOutcome::Ok);
    ASSERT_TRUE(last.Image);
    EXPECT_EQ(last.Image->Path, std::filesystem::absolute(fits).string());
    EXPECT_TRUE(last.Phase(RecordPhase::Connect).Started && last.Phase(RecordPhase::Program).Ended);
    ASSERT_TRUE(last.IdentityBefore);
    EXPECT_EQ(last.Source, IdentitySource::Device);
  }
}

}  // namespace
}  // namespace integration
