// The jobs that write the flash ("download" and the erase-only job) and the
// erase and programming exchange that both run.
#include <algorithm>
#include <array>
#include <limits>
#include <span>

#include "firmware/identity.h"
#include "firmware/image_check.h"
#include "platform/own_files.h"
#include "platform/sys_error.h"
#include "session.h"
#include "wire.h"

namespace {

constexpr char EmptyImageFileName[] = "empty";
constexpr char FallbackTemporaryName[] = "tmp.bin";
// The count on the panel is refreshed at every multiple of this many bytes.
constexpr int32_t PanelCountStep = 512;

int32_t ClampedSize(int64_t size) {
  return static_cast<int32_t>(std::min<int64_t>(size, std::numeric_limits<int32_t>::max()));
}

}  // namespace

void Session::DoStartUpdate(const ImagePlan& image) {
  // A second start now would reset the counters under a running exchange and
  // send an erase into the middle of a sector's data.
  if (FlashJobRunning() || VerifyRunning()) {
    Log("<ERR: download refused, sectors are being erased or programmed>\r\n");
    RefuseStart(Job::Download, JobFailure::NotReady, "sectors are being erased or programmed");
    return;
  }
  BeginJob(Job::Download);
  vars_.JobKind = DataUse::KeepOrShow;
  if (RefuseUnlessConnected()) return;
  const std::string& path = image.Path;
  Log("<download file: " + path + " >\r\n");
  OwnFiles::OfThisRun().Add(path, "the firmware image");
  run_.ImagePath = path;
  if (!image.Opened) {
    Log("<ERR: couldn`t find \"" + path + "\" >\r\n");
    if (image.Cause) Log("<" + image.Cause.Text + ">\r\n");
    view_.SetPanelForm(PanelForm::Error);
    RefuseJob(JobFailure::FileError, "cannot open the image " + path +
                                         (image.Cause ? ": " + image.Cause.Text : std::string()));
    return;
  }

  fileStep_ = "reading the firmware file \"" + path + "\"";
  if (image.Size < IdentityWindowOffset) throw InOutError(IoDiskReadError);
  const ImageIdentity& identity = image.Identity;
  vars_.SectorSelected = identity.SectorSelected;
  vars_.SelectedSectorCount = identity.SelectedSectorCount;
  Log("\r\n");
  Log("\r\n");
  if (identity.ProductName.empty()) {
    view_.SetPanelForm(PanelForm::Error);
    observer_.Warning("invalid firmware file");
  }

  if (!FitsHardware(vars_.Device.ProductName, vars_.Device.HardwareVersion, identity.ProductName,
                    identity.HardwareVersion)) {
    const std::string mismatch = ImageAndDevice(identity.ProductName, identity.HardwareVersion);
    Log("<ERR: image refused: " + mismatch + ">\r\n");
    view_.SetPanelForm(PanelForm::Error);
    observer_.Warning("the selected file doesn\u00B4t fit to your hardware");
    view_.SetEnabled(Control::Button4, false);
    view_.SetLabelColour(StepLabel::Label7, LabelColour::Yellow);
    for (StepLabel label : {StepLabel::Label3, StepLabel::Label5, StepLabel::Label8,
                            StepLabel::Label1, StepLabel::Label6, StepLabel::Label4}) {
      view_.SetLabelColour(label, LabelColour::ButtonFace);
    }
    // Nothing was written to the device: another image may be chosen at once.
    OfferAnotherImage();
    RefuseJob(JobFailure::ImageRefused, mismatch);
    return;
  }

  // Without a private folder the image is not written anywhere a stranger
  // could swap it before it goes into the flash.
  fileStep_ = "writing the temporary image from \"" + path + "\"";
  const std::string temporaryName =
      TemporaryImagePath.empty() ? FallbackTemporaryName : TemporaryImagePath;
  const PatchedImage patched =
      PatchImage(image.Bytes, PatchValues{vars_.Device.SerialNumber, vars_.Device.HardwareVersion,
                                          identity.ProductName, vars_.Device.BrandLabel,
                                          vars_.Device.SerialNumberFound});
  if (patched.BlockPastEnd) throw InOutError(IoDiskReadError);
  PatchOutcome outcome = patched.Outcome;
  if (outcome == PatchOutcome::Patched) {
    // Creating the temporary image over the image itself would destroy it.
    outcome = TemporaryImagePath.empty() || TemporaryImagePath == path
                  ? PatchOutcome::TempNotCreated
                  : WriteTemporaryImage(patched.Bytes, TemporaryImagePath, files_.ImageFile);
  }
  switch (outcome) {
    case PatchOutcome::Patched:
      break;
    case PatchOutcome::NoIdentityBlock:
      Log("ERR: brandlabel not found in firmware\r\n");
      view_.SetPanelForm(PanelForm::Error);
      RefuseJob(JobFailure::ImageRefused, "the image has no identity block");
      return;
    case PatchOutcome::BlockTooLong:
      Log("<ERR: identity block of the firmware too long to take the device's values>\r\n");
      view_.SetPanelForm(PanelForm::Error);
      RefuseJob(JobFailure::ImageRefused, "the image's identity block is too long");
      return;
    case PatchOutcome::TempNotCreated:
      fileStep_.clear();
      fileCause_ = "the temporary image " + temporaryName + " could not be created";
      Log("<ERR: temporary file " + temporaryName + " could not be created>\r\n");
      view_.SetPanelForm(PanelForm::Error);
      throw InOutError(IoFileNotOpen);
    case PatchOutcome::TempNotOpened:
      fileStep_.clear();
      fileCause_ = "the temporary image " + temporaryName + " could not be opened again";
      Log("<ERR: temporary file " + temporaryName + " could not be opened>\r\n");
      view_.SetPanelForm(PanelForm::Error);
      throw InOutError(IoFileNotOpen);
  }
  fileCause_.clear();
  Flash().ImageIsTemporary = true;
  if (patched.SerialInserted) {
    Log("<the firmware had no serial number record: serial number " +
        std::to_string(vars_.Device.SerialNumber) + " added>\r\n");
  }
  if (!CheckBeforeErase(identity, patched.Bytes)) return;

  Log("update possible\r\n");
  view_.SetPanelForm(PanelForm::Neutral);
  Log("\r\n");
  vars_.ImageSize = ClampedSize(files_.ImageFile.Size());
  vars_.TransferCount = 0;
  vars_.CurrentSector = -1;
  vars_.SectorsErased = 0;
  vars_.SectorsDone = 0;
  if (vars_.SelectedSectorCount < 1) {
    Log("<ERR: no sectors selected>\r\n");
    vars_.SessionState = State::Idle;
    RefuseJob(JobFailure::ImageRefused, "the image lists no sector");
    return;
  }
  StartErasePhase();
}

std::string Session::ImageAndDevice(const std::string& product, const std::string& hardware) const {
  const auto named = [](const std::string& p, const std::string& h) {
    return h.empty() ? p : p + " " + h;
  };
  std::string text = product.empty() ? std::string("the image names no product")
                                     : "the image is for " + named(product, hardware);
  if (vars_.Device.ProductName.empty()) return text + ", the device is not identified";
  return text + ", the device is " + named(vars_.Device.ProductName, vars_.Device.HardwareVersion);
}

void Session::OfferAnotherImage() {
  view_.SetEnabled(Control::Button4, true);
  view_.SetLabelColour(StepLabel::Label7, LabelColour::ButtonFace);
  view_.SetLabelColour(StepLabel::Label4, LabelColour::Yellow);
}

bool Session::CheckBeforeErase(const ImageIdentity& image, std::span<const uint8_t> patched) {
  // Once the first sector is erased a refusal comes too late: everything the
  // update will do is proven here, from the patched image and the device's
  // table, while nothing has been sent.
  ImageCheckResult result =
      CheckPatchedIdentity(ReadIdentityBlock(files_.ImageFile), vars_.Device, image.ProductName);
  if (result && vars_.SelectedSectorCount >= 1) {
    result = CheckFlashPlan(FlashPlan{image.SectorLists, vars_.SectorStart,
                                      vars_.SectorTableTop + 1, files_.ImageFile.Size(), &Part});
  }
  if (result) {
    // What "verify hardware" will read at the identity address afterwards,
    // scanned as it scans it, wherever the image's pointer put the patch.
    std::vector<int32_t> sectors;
    for (int32_t sector = 0; sector < SectorCount; ++sector) {
      if (vars_.SectorSelected[static_cast<size_t>(sector)] == 1) sectors.push_back(sector);
    }
    result = CheckIdentityLanding(patched, sectors, vars_.SectorStart, vars_.Device,
                                  image.ProductName, Part);
  }
  files_.ImageFile.Seek(0);
  if (result) return true;
  std::string text = result.Text;
  if (result.Failure == ImageCheckFailure::ImageTooLong) {
    text += " (" + ImageAndDevice(image.ProductName, image.HardwareVersion) + ")";
  }
  Log("<ERR: image refused, nothing was erased: " + text + ">\r\n");
  view_.SetPanelForm(PanelForm::Error);
  files_.ImageFile.Close();
  OfferAnotherImage();
  RefuseJob(JobFailure::ImageRefused, text);
  return false;
}

void Session::DoStartEraseOnly() {
  if (FlashJobRunning() || VerifyRunning()) {
    Log("<ERR: erase refused, sectors are being erased or programmed>\r\n");
    RefuseStart(Job::EraseOnly, JobFailure::NotReady, "sectors are being erased or programmed");
    return;
  }
  BeginJob(Job::EraseOnly);
  if (RefuseUnlessConnected()) return;
  vars_.JobKind = DataUse::KeepOrShow;
  vars_.SectorSelected.fill(0);
  for (int32_t sector : Part.ServiceSectors) vars_.SectorSelected[static_cast<size_t>(sector)] = 1;
  vars_.SelectedSectorCount = static_cast<int32_t>(Part.ServiceSectors.size());
  Log("<download file: EMPTY >\r\n");
  if (!files_.ImageFile.OpenExisting(FindOwnFile(EmptyImageFileName))) {
    Log("<ERR: couldn`t find file EMPTY >\r\n");
    view_.SetPanelForm(PanelForm::Error);
    const SysError& cause = files_.ImageFile.OpenCause();
    RefuseJob(JobFailure::FileError,
              std::string("cannot open empty: ") + (cause.Cause == ErrorCause::NotFound || !cause
                                                        ? "not found in " + SearchedFolders()
                                                        : cause.Text));
    return;
  }

  fileStep_ = "reading the file \"empty\"";
  vars_.ImageSize = ClampedSize(files_.ImageFile.Size());
  vars_.TransferCount = 0;
  vars_.CurrentSector = -1;
  vars_.SectorsErased = 0;
  vars_.SectorsDone = 0;
  view_.SetPanelForm(PanelForm::Neutral);
  Log("\r\n");
  StartErasePhase();
}

bool Session::StartErasePhase() {
  FlashRun& flash = Flash();
  flash.VerifyPending = VerifyAfterDownload && flash.ImageIsTemporary;
  if (flash.VerifyPending) flash.SentBytes.reserve(static_cast<size_t>(vars_.ImageSize) + 1);
  NextSelectedSector();
  if (vars_.CurrentSector < 0) {
    // A list of numbers none of which is a sector of this flash: erasing
    // anything would only destroy the firmware that is there now.
    const std::string range = "from 0 to " + std::to_string(Part.LastSector());
    Log("<ERR: the sector list of the firmware names no sector " + range + ">\r\n");
    view_.SetPanelForm(PanelForm::Error);
    files_.ImageFile.Close();
    vars_.SessionState = State::Idle;
    RefuseJob(JobFailure::ImageRefused, "the sector list names no sector " + range);
    return false;
  }
  Log("<flashroutine waiting for command...>\r\n");
  Log("<command: delete sector " + std::to_string(vars_.CurrentSector) + " ...>\r\n");
  run_.FlashTouched = true;
  ReportPhase(JobPhase::Erase, 0, vars_.SelectedSectorCount, "sectors");
  Send(wire::CmdEraseSector);
  Send(static_cast<uint8_t>(vars_.CurrentSector));
  vars_.SessionState = State::AwaitEraseResult;
  return true;
}

void Session::EndWithFaultySectorList() {
  Log("<ERR: the sector list of the firmware names a sector twice or one above " +
      std::to_string(Part.LastSector()) + ">\r\n");
  view_.SetPanelForm(PanelForm::Error);
  files_.ImageFile.Close();
  vars_.SessionState = State::Idle;
  FinishJob(JobOutcome::Failed, JobFailure::DeviceGarbled,
            "the erase and program replies ran out of step with the sector list");
}

void Session::State12Erased() {
  if (vars_.CurrentChar == wire::RepErased) {
    Log("<sector " + std::to_string(vars_.CurrentSector) + " erased>\r\n");
    ++vars_.SectorsErased;
    ReportPhase(JobPhase::Erase, vars_.SectorsErased, vars_.SelectedSectorCount, "sectors");
  }
  if (vars_.SectorsErased < vars_.SelectedSectorCount) {
    vars_.SessionState = State::AwaitErasePrompt;
    return;
  }
  vars_.TransferCount = 0;
  vars_.CurrentSector = -1;
  Log("<all selected sectors are erased now>\r\n");
  ReportPhase(JobPhase::Program, 0, vars_.ImageSize, "bytes");
  vars_.SessionState = State::AwaitProgramPrompt;
}

void Session::State11NextErase() {
  if (vars_.CurrentChar == wire::RepReady) {
    Log("<flashroutine waiting for command...>\r\n");
    const int32_t previous = vars_.CurrentSector;
    NextSelectedSector();
    if (vars_.CurrentSector == previous) {
      EndWithFaultySectorList();
      return;
    }
    Log("<command: delete sector " + std::to_string(vars_.CurrentSector) + " ...>\r\n");
    Send(wire::CmdEraseSector);
    Send(static_cast<uint8_t>(vars_.CurrentSector));
  }
  vars_.SessionState = State::AwaitEraseResult;
}

void Session::ShowEndOfUpdate() {
  view_.SetLabelColour(StepLabel::Label7, LabelColour::Yellow);
  view_.SetLabelColour(StepLabel::Label10, LabelColour::Yellow);
  for (StepLabel label : {StepLabel::Label3, StepLabel::Label5, StepLabel::Label6,
                          StepLabel::Label1, StepLabel::Label8, StepLabel::Label4}) {
    view_.SetLabelColour(label, LabelColour::ButtonFace);
  }
  view_.SetEnabled(Control::Button4, false);
}

void Session::BeginSectorData() {
  // Sizes come from the device's table alone; an entry it never sent is 0, so
  // such a sector gets the command and no data.
  const auto sector = static_cast<size_t>(vars_.CurrentSector);
  vars_.SectorBytesLeft = 0;
  if (vars_.CurrentSector >= 0 && sector + 1 < vars_.SectorStart.size()) {
    vars_.SectorBytesLeft =
        static_cast<int32_t>(vars_.SectorStart[sector + 1] - vars_.SectorStart[sector]);
  }
  FlashRun& flash = Flash();
  flash.KeepSector =
      flash.VerifyPending && vars_.SectorBytesLeft > 0 && vars_.TransferCount < vars_.ImageSize;
  if (flash.KeepSector) {
    flash.SentSectors.push_back(SentSector{vars_.CurrentSector, flash.SentBytes.size(), 0});
  }
  vars_.SessionState = State::SendingSectorData;
  if (!SendSectorSlice()) EndSectorSendFailed();
}

bool Session::SendSectorSlice() {
  FlashRun& flash = Flash();
  // The slice goes out in one write: the device takes the words as they
  // come, and a write per word would cost a system call each.
  std::array<uint8_t, SendSliceBytes> slice{};
  int32_t sent = 0;
  int32_t imageBytes = 0;
  for (; vars_.SectorBytesLeft - sent > 0 && sent < SendSliceBytes; sent += 2) {
    const int32_t at = vars_.TransferCount + sent;
    uint8_t first = wire::ErasedByte;
    uint8_t second = wire::ErasedByte;
    if (at < vars_.ImageSize) {
      first = files_.ImageFile.ReadByte();
      if (at + 1 < vars_.ImageSize) second = files_.ImageFile.ReadByte();
      imageBytes += 2;
    }
    slice[static_cast<size_t>(sent)] = first;
    slice[static_cast<size_t>(sent) + 1] = second;
  }
  if (!SendBytes(slice.data(), static_cast<uint32_t>(sent))) return false;
  if (flash.KeepSector && imageBytes > 0) {
    flash.SentBytes.insert(flash.SentBytes.end(), slice.begin(), slice.begin() + imageBytes);
    flash.SentSectors.back().Length += imageBytes;
  }
  const int32_t before = vars_.TransferCount;
  vars_.TransferCount += sent;
  vars_.SectorBytesLeft -= sent;
  // The progress moves word by word, as the words went out.
  for (int32_t word = 2; word <= imageBytes; word += 2) {
    SetProgressOf(JobPhase::Program, before + word, vars_.ImageSize, "bytes");
  }
  if (vars_.TransferCount / PanelCountStep != before / PanelCountStep) {
    view_.SetPanelCount(vars_.TransferCount / PanelCountStep * PanelCountStep);
    view_.RepaintPanelNow();
  }
  if (vars_.SectorBytesLeft <= 0) vars_.SessionState = State::AwaitProgramResult;
  return true;
}

void Session::EndSectorSendFailed() {
  // The port is gone or the device stopped taking bytes. Retrying would
  // wait a second for every byte of the sector; the device now waits for
  // data that will not come and only a power cycle brings it back.
  Log("<ERR: sector " + std::to_string(vars_.CurrentSector) +
      " could not be sent, programming stopped>\r\n");
  files_.ImageFile.Close();
  view_.SetPanelForm(PanelForm::Error);
  ShowEndOfUpdate();
  vars_.SessionState = State::Ended;
  FinishJob(JobOutcome::Failed, JobFailure::DeviceSilent,
            "sector " + std::to_string(vars_.CurrentSector) + " could not be sent",
            vars_.CurrentSector);
}

void Session::State13NextProgram() {
  if (vars_.SectorsDone >= vars_.SelectedSectorCount) {
    Log("<Alle ausgew\u00E4hlten Sektoren wurden programmiert>\r\n");
    if (vars_.TransferCount < vars_.ImageSize) {
      Log("<ERR: Es waren nicht gen\u00FCgend Sektoren f\u00FCr Firmware selektiert>\r\n");
      Log("<    " + std::to_string(vars_.TransferCount) + "byte von " +
          std::to_string(vars_.ImageSize) + " programmiert>\r\n");
      view_.SetPanelForm(PanelForm::Error);
    }
    files_.ImageFile.Close();
    vars_.SessionState = State::Idle;
    if (vars_.TransferCount < vars_.ImageSize) {
      FinishJob(JobOutcome::Failed, JobFailure::ImageRefused,
                "the image is longer than its sectors");
    } else {
      FinishJob(JobOutcome::Ok, JobFailure::None, "");
    }
    return;
  }
  // Until the device says it is ready, no command has gone out and no reply
  // can come: any other byte leaves the session waiting here.
  if (vars_.CurrentChar != wire::RepReady) return;
  const int32_t previous = vars_.CurrentSector;
  NextSelectedSector();
  if (vars_.CurrentSector == previous) {
    EndWithFaultySectorList();
    return;
  }
  {
    const auto sector = static_cast<size_t>(vars_.CurrentSector);
    observer_.SectorProgramming(vars_.CurrentSector, vars_.SectorStart[sector],
                                vars_.SectorStart[sector + 1]);
  }
  Send(wire::CmdProgramSector);
  Send(static_cast<uint8_t>(vars_.CurrentSector));
  fileStep_ = "reading the image \"" + files_.ImageFile.Path() + "\" for sector " +
              std::to_string(vars_.CurrentSector);
  BeginSectorData();
}

void Session::State14ProgramResult() {
  FlashRun& flash = Flash();
  if (vars_.CurrentChar == wire::RepProgramFailed) {
    Log("<ERR: Programmierfehler in Sektor " + std::to_string(vars_.CurrentSector) + " >\r\n");
    view_.SetPanelForm(PanelForm::Error);
    files_.ImageFile.Close();
    flash.ProgrammingFailed = true;
    flash.FailedSector = vars_.CurrentSector;
    vars_.SessionState = State::AwaitFinalReport;
    return;
  }
  if (vars_.CurrentChar != wire::RepProgrammed) return;
  Log("<sector " + std::to_string(vars_.CurrentSector) + " programmed>\r\n");
  ++vars_.SectorsDone;
  if (vars_.TransferCount < vars_.ImageSize) {
    vars_.SessionState = State::AwaitProgramPrompt;
    return;
  }
  const std::string imagePath = files_.ImageFile.Path();
  files_.ImageFile.Close();
  // The patched image carries this unit's serial number; once it is in the
  // flash there is no reason to leave a copy lying around.
  if (vars_.Device.SerialNumberFound && flash.ImageIsTemporary) SeqFile::Erase(imagePath);
  if (flash.VerifyPending) {
    // The device's next "a" asks for the read command of the first sector.
    ReportPhase(JobPhase::Verify, 0, static_cast<int64_t>(flash.SentBytes.size()), "bytes");
    vars_.SessionState = State::AwaitVerifyPrompt;
    return;
  }
  vars_.SessionState = State::AwaitFinalReport;
}

void Session::State15FinalReport() {
  ReportEndOfFlashJob();
}

void Session::ReportEndOfFlashJob() {
  JobResult result;
  result.Count = vars_.TransferCount;
  if (vars_.TransferCount < vars_.ImageSize) {
    Log("<ERR: Es waren nicht gen\u00FCgend Sektoren f\u00FCr Firmware selektiert>\r\n");
    Log("<    " + std::to_string(vars_.TransferCount) + "byte von " +
        std::to_string(vars_.ImageSize) + " programmiert>\r\n");
    view_.SetPanelForm(PanelForm::Error);
  } else if (Flash().ProgrammingFailed) {
    // Every byte went out, but the device refused to take the last of them.
    Log("<ERR: programming failed, the firmware is incomplete>\r\n");
    view_.SetPanelForm(PanelForm::Error);
  } else {
    Log("<done>\r\n");
    view_.SetPanelForm(PanelForm::Success);
  }
  if (Flash().ProgrammingFailed) {
    const int32_t sector = Flash().FailedSector;
    result.Outcome = JobOutcome::Failed;
    result.Failure = JobFailure::ProgrammingFailed;
    result.Reason = "programming of sector " + std::to_string(sector) + " failed";
    result.Sector = sector;
  } else if (vars_.TransferCount < vars_.ImageSize) {
    result.Outcome = JobOutcome::Failed;
    result.Failure = JobFailure::ImageRefused;
    result.Reason = "the image is longer than its sectors";
  }
  ShowEndOfUpdate();
  vars_.SessionState = State::Ended;
  FinishJob(std::move(result));
}
