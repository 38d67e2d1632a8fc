// The jobs that write the flash ("download" and the erase-only job) and the
// erase and programming exchange that both run.
#include <algorithm>
#include <array>
#include <limits>
#include <span>

#include "identity.h"
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
  if (FlashJobRunning()) {
    Log("<ERR: download refused, sectors are being erased or programmed>\r\n");
    return;
  }
  CloseUnfinishedReadBack();
  JobKind = 1;
  const std::optional<std::string> chosen = window_.RunFileDialog(FileDialog::OpenDialog3);
  if (!chosen) {
    window_.SetPanelForm(PanelForm::Error);
    window_.ShowWarning("you didn`t choose a file to download");
    return;
  }
  Log("<download file: " + *chosen + " >\r\n");
  imageIsTemporary_ = false;
  if (!ImageFile.OpenExisting(*chosen)) {
    Log("<ERR: couldn`t find \"" + *chosen + "\" >\r\n");
    window_.SetPanelForm(PanelForm::Error);
    return;
  }

  const int64_t fileSize = ImageFile.Size();
  if (fileSize < IdentityWindowOffset) throw InOutError(IoDiskReadError);
  ImageFile.Seek(IdentityWindowOffset);
  const auto windowBytes = static_cast<size_t>(
      std::min<int64_t>(static_cast<int64_t>(IdentityWindowSize), fileSize - IdentityWindowOffset));
  std::array<uint8_t, IdentityWindowSize> identityWindow{};
  for (size_t i = 0; i < windowBytes; ++i) identityWindow[i] = ImageFile.ReadByte();
  const ImageIdentity image =
      ScanIdentityWindow(std::span<const uint8_t>(identityWindow.data(), windowBytes));
  SectorSelected = image.SectorSelected;
  SelectedSectorCount = image.SelectedSectorCount;
  Log("\r\n");
  Log("\r\n");
  if (image.ProductName.empty()) {
    window_.SetPanelForm(PanelForm::Error);
    window_.ShowWarning("invalid firmware file");
  }
  ImageFile.Seek(0);

  if (!FitsHardware(DeviceProductName, DeviceHardwareVersion, image.ProductName,
                    image.HardwareVersion)) {
    window_.SetPanelForm(PanelForm::Error);
    window_.ShowWarning("the selected file doesn\u00B4t fit to your hardware");
    window_.SetEnabled(Control::Button4, false);
    window_.SetLabelColour(StepLabel::Label7, LabelColour::Yellow);
    for (StepLabel label : {StepLabel::Label3, StepLabel::Label5, StepLabel::Label8,
                            StepLabel::Label1, StepLabel::Label6, StepLabel::Label4}) {
      window_.SetLabelColour(label, LabelColour::ButtonFace);
    }
    return;
  }

  // Without a private folder the image is not written anywhere a stranger
  // could swap it before it goes into the flash.
  const std::string temporaryName =
      TemporaryImagePath.empty() ? FallbackTemporaryName : TemporaryImagePath;
  const PatchOutcome outcome =
      TemporaryImagePath.empty()
          ? PatchOutcome::TempNotCreated
          : PatchIdentityBlock(ImageFile, TemporaryImagePath,
                               PatchValues{DeviceSerialNumber, DeviceHardwareVersion,
                                           image.ProductName, DeviceBrandLabel});
  switch (outcome) {
    case PatchOutcome::Patched:
      break;
    case PatchOutcome::NoIdentityBlock:
      Log("ERR: brandlabel not found in firmware\r\n");
      window_.SetPanelForm(PanelForm::Error);
      return;
    case PatchOutcome::BlockTooLong:
      Log("<ERR: identity block of the firmware too long to take the device's values>\r\n");
      window_.SetPanelForm(PanelForm::Error);
      return;
    case PatchOutcome::TempNotCreated:
      Log("<ERR: temporary file " + temporaryName + " could not be created>\r\n");
      window_.SetPanelForm(PanelForm::Error);
      throw InOutError(IoFileNotOpen);
    case PatchOutcome::TempNotOpened:
      Log("<ERR: temporary file " + temporaryName + " could not be opened>\r\n");
      window_.SetPanelForm(PanelForm::Error);
      throw InOutError(IoFileNotOpen);
  }
  imageIsTemporary_ = true;

  Log("update possible\r\n");
  window_.SetPanelForm(PanelForm::Neutral);
  Log("\r\n");
  ImageSize = ClampedSize(ImageFile.Size());
  TransferCount = 0;
  CurrentSector = -1;
  SectorsErased = 0;
  SectorsDone = 0;
  if (SelectedSectorCount < 1) {
    Log("<ERR: no sectors selected>\r\n");
    SessionState = 0;
    return;
  }
  StartErasePhase();
}

void Session::DoButton7Click() {
  CloseUnfinishedReadBack();
  JobKind = 1;
  SectorSelected.fill(0);
  for (int32_t sector : EraseOnlySectors) SectorSelected[static_cast<size_t>(sector)] = 1;
  SelectedSectorCount = static_cast<int32_t>(std::size(EraseOnlySectors));
  Log("<download file: EMPTY >\r\n");
  imageIsTemporary_ = false;
  if (!ImageFile.OpenExisting(InWorkingDirectory(EmptyImageFileName))) {
    Log("<ERR: couldn`t find file EMPTY >\r\n");
    window_.SetPanelForm(PanelForm::Error);
    return;
  }
  ImageSize = ClampedSize(ImageFile.Size());
  TransferCount = 0;
  CurrentSector = -1;
  SectorsErased = 0;
  SectorsDone = 0;
  window_.SetPanelForm(PanelForm::Neutral);
  Log("\r\n");
  StartErasePhase();
}

bool Session::StartErasePhase() {
  programmingFailed_ = false;
  NextSelectedSector();
  if (CurrentSector < 0) {
    // A list of numbers none of which is a sector of this flash: erasing
    // anything would only destroy the firmware that is there now.
    Log("<ERR: the sector list of the firmware names no sector from 0 to 34>\r\n");
    window_.SetPanelForm(PanelForm::Error);
    ImageFile.Close();
    SessionState = 0;
    return false;
  }
  Log("<flashroutine waiting for command...>\r\n");
  Log("<command: delete sector " + std::to_string(CurrentSector) + " ...>\r\n");
  Send(wire::CmdEraseSector);
  Send(static_cast<uint8_t>(CurrentSector));
  SessionState = 12;
  return true;
}

void Session::EndWithFaultySectorList() {
  Log("<ERR: the sector list of the firmware names a sector twice or one above 34>\r\n");
  window_.SetPanelForm(PanelForm::Error);
  ImageFile.Close();
  SessionState = 0;
}

void Session::State12Erased() {
  if (CurrentChar == wire::RepErased) {
    Log("<sector " + std::to_string(CurrentSector) + " erased>\r\n");
    ++SectorsErased;
  }
  if (SectorsErased < SelectedSectorCount) {
    SessionState = 11;
    return;
  }
  TransferCount = 0;
  CurrentSector = -1;
  Log("<all selected sectors are erased now>\r\n");
  SessionState = 13;
}

void Session::State11NextErase() {
  if (CurrentChar == wire::RepReady) {
    Log("<flashroutine waiting for command...>\r\n");
    const int32_t previous = CurrentSector;
    NextSelectedSector();
    if (CurrentSector == previous) {
      EndWithFaultySectorList();
      return;
    }
    Log("<command: delete sector " + std::to_string(CurrentSector) + " ...>\r\n");
    Send(wire::CmdEraseSector);
    Send(static_cast<uint8_t>(CurrentSector));
  }
  SessionState = 12;
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
  const auto sector = static_cast<size_t>(CurrentSector);
  SectorBytesLeft = 0;
  if (CurrentSector >= 0 && sector + 1 < SectorStart.size()) {
    SectorBytesLeft = static_cast<int32_t>(SectorStart[sector + 1] - SectorStart[sector]);
  }
  while (SectorBytesLeft > 0) {
    SectorBytesLeft -= 2;
    if (TransferCount < ImageSize) {
      if (!Send(ImageFile.ReadByte())) return false;
      ++TransferCount;
      const uint8_t second = TransferCount < ImageSize ? ImageFile.ReadByte() : wire::ErasedByte;
      if (!Send(second)) return false;
      ++TransferCount;
      SetProgressOf(TransferCount, ImageSize);
    } else {
      if (!Send(wire::ErasedByte) || !Send(wire::ErasedByte)) return false;
      TransferCount += 2;
    }
    if (TransferCount % PanelCountStep == 0) {
      window_.SetPanelCount(TransferCount);
      window_.RepaintPanelNow();
      window_.KeepPainted();
    }
  }
  return true;
}

void Session::State13NextProgram() {
  if (SectorsDone >= SelectedSectorCount) {
    Log("<Alle ausgew\u00E4hlten Sektoren wurden programmiert>\r\n");
    if (TransferCount < ImageSize) {
      Log("<ERR: Es waren nicht gen\u00FCgend Sektoren f\u00FCr Firmware selektiert>\r\n");
      Log("<    " + std::to_string(TransferCount) + "byte von " + std::to_string(ImageSize) +
          " programmiert>\r\n");
      window_.SetPanelForm(PanelForm::Error);
    }
    ImageFile.Close();
    SessionState = 0;
    return;
  }
  // Until the device says it is ready, no command has gone out and no reply
  // can come: any other byte leaves the session waiting here.
  if (CurrentChar != wire::RepReady) return;
  const int32_t previous = CurrentSector;
  NextSelectedSector();
  if (CurrentSector == previous) {
    EndWithFaultySectorList();
    return;
  }
  Send(wire::CmdProgramSector);
  Send(static_cast<uint8_t>(CurrentSector));
  if (!SendSectorData()) {
    // The port is gone or the device stopped taking bytes. Retrying would
    // wait a second for every byte of the sector; the device now waits for
    // data that will not come and only a power cycle brings it back.
    Log("<ERR: sector " + std::to_string(CurrentSector) +
        " could not be sent, programming stopped>\r\n");
    ImageFile.Close();
    window_.SetPanelForm(PanelForm::Error);
    ShowEndOfUpdate();
    SessionState = 18;
    return;
  }
  SessionState = 14;
}

void Session::State14ProgramResult() {
  if (CurrentChar == wire::RepProgramFailed) {
    Log("<ERR: Programmierfehler in Sektor " + std::to_string(CurrentSector) + " >\r\n");
    window_.SetPanelForm(PanelForm::Error);
    ImageFile.Close();
    programmingFailed_ = true;
    SessionState = 15;
    return;
  }
  if (CurrentChar != wire::RepProgrammed) return;
  Log("<sector " + std::to_string(CurrentSector) + " programmed>\r\n");
  ++SectorsDone;
  if (TransferCount < ImageSize) {
    SessionState = 13;
    return;
  }
  const std::string imagePath = ImageFile.Path();
  ImageFile.Close();
  // The patched image carries this unit's serial number; once it is in the
  // flash there is no reason to leave a copy lying around.
  if (DeviceSerialNumberFound && imageIsTemporary_) SeqFile::Erase(imagePath);
  SessionState = 15;
}

void Session::State15FinalReport() {
  if (TransferCount < ImageSize) {
    Log("<ERR: Es waren nicht gen\u00FCgend Sektoren f\u00FCr Firmware selektiert>\r\n");
    Log("<    " + std::to_string(TransferCount) + "byte von " + std::to_string(ImageSize) +
        " programmiert>\r\n");
    window_.SetPanelForm(PanelForm::Error);
  } else if (programmingFailed_) {
    // Every byte went out, but the device refused to take the last of them.
    Log("<ERR: programming failed, the firmware is incomplete>\r\n");
    window_.SetPanelForm(PanelForm::Error);
  } else {
    Log("<done>\r\n");
    window_.SetPanelForm(PanelForm::Success);
  }
  ShowEndOfUpdate();
  SessionState = 18;
}
