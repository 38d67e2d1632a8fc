// The jobs that write the flash ("download" and the erase-only job) and the
// erase and programming exchange that both run.
#include <algorithm>
#include <array>
#include <limits>
#include <span>

#include "firmware/identity.h"
#include "firmware/image_check.h"
#include "session.h"
#include "wire.h"

namespace {

constexpr char EmptyImageFileName[] = "empty";
constexpr char FallbackTemporaryName[] = "tmp.bin";
constexpr int32_t EraseOnlySectors[] = {8, 9};
// The count on the panel is refreshed at every multiple of this many bytes.
constexpr int32_t PanelCountStep = 512;

int32_t ClampedSize(int64_t size) {
  return static_cast<int32_t>(std::min<int64_t>(size, std::numeric_limits<int32_t>::max()));
}

}  // namespace

void Session::DoButton4Click() {
  // A second start now would reset the counters under a running exchange and
  // send an erase into the middle of a sector's data.
  if (FlashJobRunning() || VerifyRunning()) {
    Log("<ERR: download refused, sectors are being erased or programmed>\r\n");
    RefuseStart(Job::Download, JobFailure::NotReady, "sectors are being erased or programmed");
    return;
  }
  BeginJob(Job::Download);
  CloseUnfinishedReadBack();
  vars_.JobKind = DataUse::KeepOrShow;
  const std::optional<std::string> chosen = window_.RunFileDialog(FileDialog::OpenDialog3);
  if (!chosen) {
    window_.SetPanelForm(PanelForm::Error);
    window_.ShowWarning("you didn`t choose a file to download");
    RefuseJob(JobFailure::Cancelled, "no image chosen");
    return;
  }
  if (RefuseUnlessConnected()) return;
  Log("<download file: " + *chosen + " >\r\n");
  chosenImage_ = *chosen;
  imageIsTemporary_ = false;
  if (!vars_.ImageFile.OpenExisting(*chosen)) {
    Log("<ERR: couldn`t find \"" + *chosen + "\" >\r\n");
    window_.SetPanelForm(PanelForm::Error);
    RefuseJob(JobFailure::FileError, "the image could not be opened");
    return;
  }

  fileStep_ = "reading the firmware file \"" + *chosen + "\"";
  const int64_t fileSize = vars_.ImageFile.Size();
  if (fileSize < IdentityWindowOffset) throw InOutError(IoDiskReadError);
  vars_.ImageFile.Seek(IdentityWindowOffset);
  const auto windowBytes = static_cast<size_t>(
      std::min<int64_t>(static_cast<int64_t>(IdentityWindowSize), fileSize - IdentityWindowOffset));
  std::array<uint8_t, IdentityWindowSize> identityWindow{};
  for (size_t i = 0; i < windowBytes; ++i) identityWindow[i] = vars_.ImageFile.ReadByte();
  const ImageIdentity image =
      ScanIdentityWindow(std::span<const uint8_t>(identityWindow.data(), windowBytes));
  vars_.SectorSelected = image.SectorSelected;
  vars_.SelectedSectorCount = image.SelectedSectorCount;
  Log("\r\n");
  Log("\r\n");
  if (image.ProductName.empty()) {
    window_.SetPanelForm(PanelForm::Error);
    window_.ShowWarning("invalid firmware file");
  }
  vars_.ImageFile.Seek(0);

  if (!FitsHardware(vars_.Device.ProductName, vars_.Device.HardwareVersion, image.ProductName,
                    image.HardwareVersion)) {
    const std::string mismatch = ImageAndDevice(image.ProductName, image.HardwareVersion);
    Log("<ERR: image refused: " + mismatch + ">\r\n");
    window_.SetPanelForm(PanelForm::Error);
    window_.ShowWarning("the selected file doesn\u00B4t fit to your hardware");
    window_.SetEnabled(Control::Button4, false);
    window_.SetLabelColour(StepLabel::Label7, LabelColour::Yellow);
    for (StepLabel label : {StepLabel::Label3, StepLabel::Label5, StepLabel::Label8,
                            StepLabel::Label1, StepLabel::Label6, StepLabel::Label4}) {
      window_.SetLabelColour(label, LabelColour::ButtonFace);
    }
    // Nothing was written to the device: another image may be chosen at once.
    vars_.ImageFile.Close();
    OfferAnotherImage();
    RefuseJob(JobFailure::ImageRefused, mismatch);
    return;
  }

  // Without a private folder the image is not written anywhere a stranger
  // could swap it before it goes into the flash.
  fileStep_ = "writing the temporary image from \"" + *chosen + "\"";
  const std::string temporaryName =
      TemporaryImagePath.empty() ? FallbackTemporaryName : TemporaryImagePath;
  bool serialInserted = false;
  const PatchOutcome outcome =
      TemporaryImagePath.empty()
          ? PatchOutcome::TempNotCreated
          : PatchIdentityBlock(vars_.ImageFile, TemporaryImagePath,
                               PatchValues{vars_.Device.SerialNumber, vars_.Device.HardwareVersion,
                                           image.ProductName, vars_.Device.BrandLabel,
                                           vars_.Device.SerialNumberFound},
                               &serialInserted);
  switch (outcome) {
    case PatchOutcome::Patched:
      break;
    case PatchOutcome::NoIdentityBlock:
      Log("ERR: brandlabel not found in firmware\r\n");
      window_.SetPanelForm(PanelForm::Error);
      RefuseJob(JobFailure::ImageRefused, "the image has no identity block");
      return;
    case PatchOutcome::BlockTooLong:
      Log("<ERR: identity block of the firmware too long to take the device's values>\r\n");
      window_.SetPanelForm(PanelForm::Error);
      RefuseJob(JobFailure::ImageRefused, "the image's identity block is too long");
      return;
    case PatchOutcome::TempNotCreated:
      fileStep_.clear();
      Log("<ERR: temporary file " + temporaryName + " could not be created>\r\n");
      window_.SetPanelForm(PanelForm::Error);
      throw InOutError(IoFileNotOpen);
    case PatchOutcome::TempNotOpened:
      fileStep_.clear();
      Log("<ERR: temporary file " + temporaryName + " could not be opened>\r\n");
      window_.SetPanelForm(PanelForm::Error);
      throw InOutError(IoFileNotOpen);
  }
  imageIsTemporary_ = true;
  if (serialInserted) {
    Log("<the firmware had no serial number record: serial number " +
        std::to_string(vars_.Device.SerialNumber) + " added>\r\n");
  }
  if (!CheckBeforeErase(image)) return;

  Log("update possible\r\n");
  window_.SetPanelForm(PanelForm::Neutral);
  Log("\r\n");
  vars_.ImageSize = ClampedSize(vars_.ImageFile.Size());
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
  // Sector 1 holds the device's identity: kept outside the device before
  // anything is erased, an interrupted update can still be finished.
  const auto kept = static_cast<size_t>(std::clamp(vars_.ReceiveIndex, 0, IdentityBlockBytes));
  window_.KeepIdentity(vars_.Device, std::span<const uint8_t>(vars_.IdentityArea.data(), kept));
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
  window_.SetEnabled(Control::Button4, true);
  window_.SetLabelColour(StepLabel::Label7, LabelColour::ButtonFace);
  window_.SetLabelColour(StepLabel::Label4, LabelColour::Yellow);
}

bool Session::CheckBeforeErase(const ImageIdentity& image) {
  // Once the first sector is erased a refusal comes too late: everything the
  // update will do is proven here, from the patched image and the device's
  // table, while nothing has been sent.
  ImageCheckResult result =
      CheckPatchedIdentity(ReadIdentityBlock(vars_.ImageFile), vars_.Device, image.ProductName);
  if (result && vars_.SelectedSectorCount >= 1) {
    result = CheckFlashPlan(FlashPlan{image.SectorLists, vars_.SectorStart,
                                      vars_.SectorTableTop + 1, vars_.ImageFile.Size()});
  }
  vars_.ImageFile.Seek(0);
  if (result) return true;
  std::string text = result.Text;
  if (result.Failure == ImageCheckFailure::ImageTooLong) {
    text += " (" + ImageAndDevice(image.ProductName, image.HardwareVersion) + ")";
  }
  Log("<ERR: image refused, nothing was erased: " + text + ">\r\n");
  window_.SetPanelForm(PanelForm::Error);
  vars_.ImageFile.Close();
  OfferAnotherImage();
  RefuseJob(JobFailure::ImageRefused, text);
  return false;
}

void Session::DoButton7Click() {
  if (FlashJobRunning() || VerifyRunning()) {
    Log("<ERR: erase refused, sectors are being erased or programmed>\r\n");
    RefuseStart(Job::EraseOnly, JobFailure::NotReady, "sectors are being erased or programmed");
    return;
  }
  BeginJob(Job::EraseOnly);
  CloseUnfinishedReadBack();
  if (RefuseUnlessConnected()) return;
  // Two sectors of the device are wiped on one click: the operator says so
  // first, and anything but a clear yes sends nothing.
  if (!window_.Confirm("Erase sectors 8 and 9 of the device on this port?")) {
    Log("<erase of sectors 8 and 9 cancelled, nothing sent>\r\n");
    RefuseJob(JobFailure::Cancelled, "the operator did not confirm the erase");
    return;
  }
  vars_.JobKind = DataUse::KeepOrShow;
  vars_.SectorSelected.fill(0);
  for (int32_t sector : EraseOnlySectors) vars_.SectorSelected[static_cast<size_t>(sector)] = 1;
  vars_.SelectedSectorCount = static_cast<int32_t>(std::size(EraseOnlySectors));
  Log("<download file: EMPTY >\r\n");
  imageIsTemporary_ = false;
  if (!vars_.ImageFile.OpenExisting(FindOwnFile(EmptyImageFileName))) {
    Log("<ERR: couldn`t find file EMPTY >\r\n");
    window_.SetPanelForm(PanelForm::Error);
    RefuseJob(JobFailure::FileError, "the file \"empty\" could not be opened");
    return;
  }

  fileStep_ = "reading the file \"empty\"";
  vars_.ImageSize = ClampedSize(vars_.ImageFile.Size());
  vars_.TransferCount = 0;
  vars_.CurrentSector = -1;
  vars_.SectorsErased = 0;
  vars_.SectorsDone = 0;
  window_.SetPanelForm(PanelForm::Neutral);
  Log("\r\n");
  StartErasePhase();
}

bool Session::StartErasePhase() {
  programmingFailed_ = false;
  failedSector_ = -1;
  verifyPending_ = VerifyAfterDownload && imageIsTemporary_;
  sentBytes_.clear();
  sentSectors_.clear();
  if (verifyPending_) sentBytes_.reserve(static_cast<size_t>(vars_.ImageSize) + 1);
  NextSelectedSector();
  if (vars_.CurrentSector < 0) {
    // A list of numbers none of which is a sector of this flash: erasing
    // anything would only destroy the firmware that is there now.
    Log("<ERR: the sector list of the firmware names no sector from 0 to 34>\r\n");
    window_.SetPanelForm(PanelForm::Error);
    vars_.ImageFile.Close();
    vars_.SessionState = State::Idle;
    RefuseJob(JobFailure::ImageRefused, "the sector list names no sector from 0 to 34");
    return false;
  }
  Log("<flashroutine waiting for command...>\r\n");
  Log("<command: delete sector " + std::to_string(vars_.CurrentSector) + " ...>\r\n");
  Send(wire::CmdEraseSector);
  Send(static_cast<uint8_t>(vars_.CurrentSector));
  vars_.SessionState = State::AwaitEraseResult;
  return true;
}

void Session::EndWithFaultySectorList() {
  Log("<ERR: the sector list of the firmware names a sector twice or one above 34>\r\n");
  window_.SetPanelForm(PanelForm::Error);
  vars_.ImageFile.Close();
  vars_.SessionState = State::Idle;
  FinishJob(JobOutcome::Failed, JobFailure::DeviceGarbled,
            "the erase and program replies ran out of step with the sector list");
}

void Session::State12Erased() {
  if (vars_.CurrentChar == wire::RepErased) {
    Log("<sector " + std::to_string(vars_.CurrentSector) + " erased>\r\n");
    ++vars_.SectorsErased;
  }
  if (vars_.SectorsErased < vars_.SelectedSectorCount) {
    vars_.SessionState = State::AwaitErasePrompt;
    return;
  }
  vars_.TransferCount = 0;
  vars_.CurrentSector = -1;
  Log("<all selected sectors are erased now>\r\n");
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
  window_.SetLabelColour(StepLabel::Label7, LabelColour::Yellow);
  window_.SetLabelColour(StepLabel::Label10, LabelColour::Yellow);
  for (StepLabel label : {StepLabel::Label3, StepLabel::Label5, StepLabel::Label6,
                          StepLabel::Label1, StepLabel::Label8, StepLabel::Label4}) {
    window_.SetLabelColour(label, LabelColour::ButtonFace);
  }
  window_.SetEnabled(Control::Button4, false);
}

bool Session::SendSectorData() {
  // Sizes come from the device's table alone; an entry it never sent is 0, so
  // such a sector gets the command and no data.
  const auto sector = static_cast<size_t>(vars_.CurrentSector);
  vars_.SectorBytesLeft = 0;
  if (vars_.CurrentSector >= 0 && sector + 1 < vars_.SectorStart.size()) {
    vars_.SectorBytesLeft =
        static_cast<int32_t>(vars_.SectorStart[sector + 1] - vars_.SectorStart[sector]);
  }
  SentSector* kept = nullptr;
  if (verifyPending_ && vars_.SectorBytesLeft > 0 && vars_.TransferCount < vars_.ImageSize) {
    sentSectors_.push_back(SentSector{vars_.CurrentSector, sentBytes_.size(), 0});
    kept = &sentSectors_.back();
  }
  while (vars_.SectorBytesLeft > 0) {
    vars_.SectorBytesLeft -= 2;
    if (vars_.TransferCount < vars_.ImageSize) {
      const uint8_t first = vars_.ImageFile.ReadByte();
      const uint8_t second =
          vars_.TransferCount + 1 < vars_.ImageSize ? vars_.ImageFile.ReadByte() : wire::ErasedByte;
      if (!SendWord(first, second)) return false;
      vars_.TransferCount += 2;
      if (kept != nullptr) {
        sentBytes_.push_back(first);
        sentBytes_.push_back(second);
        kept->Length += 2;
      }
      SetProgressOf(vars_.TransferCount, vars_.ImageSize);
    } else {
      if (!SendWord(wire::ErasedByte, wire::ErasedByte)) return false;
      vars_.TransferCount += 2;
    }
    if (vars_.TransferCount % PanelCountStep == 0) {
      window_.SetPanelCount(vars_.TransferCount);
      window_.RepaintPanelNow();
      window_.KeepPainted();
    }
  }
  return true;
}

void Session::State13NextProgram() {
  if (vars_.SectorsDone >= vars_.SelectedSectorCount) {
    Log("<Alle ausgew\u00E4hlten Sektoren wurden programmiert>\r\n");
    if (vars_.TransferCount < vars_.ImageSize) {
      Log("<ERR: Es waren nicht gen\u00FCgend Sektoren f\u00FCr Firmware selektiert>\r\n");
      Log("<    " + std::to_string(vars_.TransferCount) + "byte von " +
          std::to_string(vars_.ImageSize) + " programmiert>\r\n");
      window_.SetPanelForm(PanelForm::Error);
    }
    vars_.ImageFile.Close();
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
  Send(wire::CmdProgramSector);
  Send(static_cast<uint8_t>(vars_.CurrentSector));
  fileStep_ = "reading the image \"" + vars_.ImageFile.Path() + "\" for sector " +
              std::to_string(vars_.CurrentSector);
  if (!SendSectorData()) {
    // The port is gone or the device stopped taking bytes. Retrying would
    // wait a second for every byte of the sector; the device now waits for
    // data that will not come and only a power cycle brings it back.
    Log("<ERR: sector " + std::to_string(vars_.CurrentSector) +
        " could not be sent, programming stopped>\r\n");
    vars_.ImageFile.Close();
    window_.SetPanelForm(PanelForm::Error);
    ShowEndOfUpdate();
    vars_.SessionState = State::Ended;
    FinishJob(JobOutcome::Failed, JobFailure::DeviceSilent,
              "sector " + std::to_string(vars_.CurrentSector) + " could not be sent",
              vars_.CurrentSector);
    return;
  }
  vars_.SessionState = State::AwaitProgramResult;
}

void Session::State14ProgramResult() {
  if (vars_.CurrentChar == wire::RepProgramFailed) {
    Log("<ERR: Programmierfehler in Sektor " + std::to_string(vars_.CurrentSector) + " >\r\n");
    window_.SetPanelForm(PanelForm::Error);
    vars_.ImageFile.Close();
    programmingFailed_ = true;
    failedSector_ = vars_.CurrentSector;
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
  const std::string imagePath = vars_.ImageFile.Path();
  vars_.ImageFile.Close();
  // The patched image carries this unit's serial number; once it is in the
  // flash there is no reason to leave a copy lying around.
  if (vars_.Device.SerialNumberFound && imageIsTemporary_) SeqFile::Erase(imagePath);
  if (verifyPending_) {
    // The device's next "a" asks for the read command of the first sector.
    verifyIndex_ = 0;
    verifyPosition_ = 0;
    verifiedBytes_ = 0;
    verifyGarbled_ = false;
    verifyCutShort_ = false;
    difference_.reset();
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
    window_.SetPanelForm(PanelForm::Error);
  } else if (programmingFailed_) {
    // Every byte went out, but the device refused to take the last of them.
    Log("<ERR: programming failed, the firmware is incomplete>\r\n");
    window_.SetPanelForm(PanelForm::Error);
  } else {
    Log("<done>\r\n");
    window_.SetPanelForm(PanelForm::Success);
  }
  if (programmingFailed_) {
    result.Outcome = JobOutcome::Failed;
    result.Failure = JobFailure::ProgrammingFailed;
    result.Reason = "programming of sector " + std::to_string(failedSector_) + " failed";
    result.Sector = failedSector_;
  } else if (vars_.TransferCount < vars_.ImageSize) {
    result.Outcome = JobOutcome::Failed;
    result.Failure = JobFailure::ImageRefused;
    result.Reason = "the image is longer than its sectors";
  }
  ShowEndOfUpdate();
  vars_.SessionState = State::Ended;
  FinishJob(std::move(result));
}
