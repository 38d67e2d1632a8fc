#include "rig.h"

#include <filesystem>

#include "firmware/identity.h"
#include "platform/seq_file.h"

namespace integration {

namespace fs = std::filesystem;

// --- NoWindowRig

NoWindowRig::NoWindowRig(const WorkFolder& folder, std::chrono::milliseconds sectorTableByteTimeout)
    : folder_(folder) {
  // As the program's start-up has it: chosen files are never opened for writing.
  SeqFile::DefaultOpenMode = FileOpenMode::ReadOnly;
  TheSession.WorkingDirectory = folder.Path();
  TheSession.TemporaryImagePath = folder.File("tmp.bin");
  TheSession.SectorTableByteTimeout = sectorTableByteTimeout;
  StoreConfig config;
  config.LocalPath = folder.File("updater.db");
  std::string why;
  Store = RecordStore::Open(config, &why);
  EXPECT_TRUE(Store) << why;
  Core.Records.Store = Store.get();
  TheSession.FormActivate();
}

NoWindowRig::~NoWindowRig() = default;

bool NoWindowRig::PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (TheSession.ContinuePending()) {
      TheSession.Continue();
    } else {
      Target.PumpOne(Comm, 10ms);
    }
    TheSession.Tick(std::chrono::steady_clock::now());
  }
  return true;
}

void NoWindowRig::PumpIdle(std::chrono::milliseconds quiet) {
  for (;;) {
    while (TheSession.ContinuePending()) TheSession.Continue();
    if (!Target.PumpOne(Comm, quiet)) return;
  }
}

::testing::AssertionResult NoWindowRig::RunJob(const char* what, const std::function<void()>& start,
                                               const std::function<bool()>& done,
                                               std::chrono::milliseconds timeout) {
  const size_t mark = LogMark();
  const size_t warnings = Window.Warnings.size();
  start();
  if (PumpUntil(done, timeout)) return ::testing::AssertionSuccess();
  auto failure = ::testing::AssertionFailure();
  failure << what << " did not finish; state " << static_cast<int>(TheSession.SessionState())
          << ", log:\n"
          << LogSince(mark);
  for (size_t i = warnings; i < Window.Warnings.size(); ++i) {
    failure << "\nwarning: " << Window.Warnings[i];
  }
  return failure;
}

::testing::AssertionResult NoWindowRig::Connect() {
  const size_t mark = LogMark();
  return RunJob(
      "connect", [this] { Core.Connect(); },
      [this, mark] {
        return LogSince(mark).find("<  c o n n e c t e d  >\r\n") != std::string::npos;
      });
}

::testing::AssertionResult NoWindowRig::VerifyHardware() {
  const size_t mark = LogMark();
  return RunJob(
      "verify hardware", [this] { Core.Identify(); },
      [this, mark] {
        return TheSession.SessionState() == Session::State::Idle &&
               LogSince(mark).find("\r\n<done>\r\n\r\n\r\n") != std::string::npos;
      });
}

::testing::AssertionResult NoWindowRig::Download(const std::string& imagePath) {
  image_ = PlanImage(imagePath);
  return RunJob(
      "download", [this] { Core.Update(image_); },
      [this] { return TheSession.SessionState() == Session::State::Ended; });
}

::testing::AssertionResult NoWindowRig::ReadBack(const std::string& destinationPath) {
  const size_t mark = LogMark();
  return RunJob(
      "read-back", [this, destinationPath] { Core.ReadBack(destinationPath); },
      [this, mark] {
        return TheSession.SessionState() == Session::State::Idle &&
               LogSince(mark).find("words read>\r\n") != std::string::npos;
      });
}

::testing::AssertionResult NoWindowRig::EraseOnly() {
  return RunJob(
      "erase-only", [this] { Core.EraseOnly(); },
      [this] { return TheSession.SessionState() == Session::State::Ended; });
}

// --- Expected results

std::optional<Bytes> PatchedImage(const WorkFolder& folder, const std::string& imagePath,
                                  const sim::DeviceIdentity& identity) {
  const std::string scratch = folder.File("expected-patched.bin");
  SeqFile image;
  if (!image.OpenExisting(imagePath)) return std::nullopt;
  const PatchValues values{
      identity.SerialNumber.value_or(0), identity.HardwareVersion.value_or(std::string()),
      identity.ProductName.value_or(std::string()), identity.BrandLabel.value_or(std::string())};
  const PatchOutcome outcome = PatchIdentityBlock(image, scratch, values);
  if (image.IsOpen()) image.Close();
  if (outcome != PatchOutcome::Patched) return std::nullopt;
  Bytes patched = ReadFileBytes(scratch);
  std::error_code error;
  fs::remove(scratch, error);
  return patched;
}

std::vector<std::string> LogLines(std::string_view log) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < log.size()) {
    const size_t end = log.find("\r\n", start);
    if (end == std::string_view::npos) {
      lines.emplace_back(log.substr(start));
      break;
    }
    lines.emplace_back(log.substr(start, end + 2 - start));
    start = end + 2;
  }
  return lines;
}

std::string ConnectLog(bool portAlreadyOpen) {
  return std::string(portAlreadyOpen ? "<serial interface already opened>\r\n"
                                     : "<serial interface opened>\r\n") +
         "\r\n"
         "<activating bootstrap mode...>\r\n"
         "<bootstrapmode activated>\r\n"
         "<writing loader into C165...>\r\n"
         "<writing flashroutine into C165...>\r\n"
         "<  c o n n e c t e d  >\r\n";
}

std::string IdentityReadLog() {
  return "\r\n"
         "\r\n<flashroutine waiting for command...>\r\n"
         "<command: read from address>"
         "\r\n<done>\r\n"
         "\r\n"
         "\r\n"
         "<device: product DEMO165, hardware version 1.0a, serial number 4711, brand label "
         "LABEL-7>\r\n";
}

std::string FlashJobLog(const std::vector<int>& sectors, int64_t imageSize, bool verified) {
  std::string log;
  for (const int sector : sectors) {
    log += "<flashroutine waiting for command...>\r\n";
    log += "<command: delete sector " + std::to_string(sector) + " ...>\r\n";
    log += "<sector " + std::to_string(sector) + " erased>\r\n";
  }
  log += "<all selected sectors are erased now>\r\n";
  // Programming stops with the sector that took the image's last byte.
  int64_t sent = 0;
  for (const int sector : sectors) {
    log += "<sector " + std::to_string(sector) + " programmed>\r\n";
    sent += sim::SectorSize(sector);
    if (sent >= imageSize) break;
  }
  // The verify compares every word that holds image bytes.
  if (verified) log += "<verify: " + std::to_string((imageSize + 1) / 2 * 2) + " bytes match>\r\n";
  log += "<done>\r\n";
  return log;
}

std::string UpdateLog(const std::string& imagePath, const std::vector<int>& sectors,
                      int64_t imageSize, bool verified) {
  return "<download file: " + imagePath + " >\r\n" +
         "\r\n"
         "\r\n"
         "update possible\r\n"
         "\r\n" +
         FlashJobLog(sectors, imageSize, verified);
}

std::string EraseOnlyLog(int64_t imageSize) {
  return "<download file: EMPTY >\r\n"
         "\r\n" +
         FlashJobLog({8, 9}, imageSize);
}

std::string ReadBackLog(const std::string& destinationPath) {
  return "<destination file: " + destinationPath + " >\r\n" +
         "\r\n"
         "\r\n<flashroutine waiting for command...>\r\n"
         "<command: read sector 8>\r\n"
         "\r\n<flashroutine waiting for command...>\r\n"
         "<command: read sector 9>\r\n"
         "\r\n<all selected sectors are read now>\r\n"
         "\r\n<done>\r\n"
         "<    65536words of 65536words read>\r\n";
}

DeviceSetup SilentInsideTheSectorTable() {
  DeviceSetup setup;
  setup.Faults.SilentAfterSent = 20;
  return setup;
}

}  // namespace integration
