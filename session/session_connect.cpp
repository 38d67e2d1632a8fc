// "connect": the bootstrap start, the upload of loader and flash routine, and
// the idle state in which the flash routine hands over its sector table.
#include <string>
#include <utility>

#include "firmware/identity.h"
#include "session.h"
#include "wire.h"

namespace {

constexpr char LoaderFileName[] = "Loader.hex";
constexpr char FlashRoutineFileName[] = "F29f160d.hex";
// The C165 addresses 16 MiB with its 24 address lines: no sector starts or
// ends above.
constexpr uint32_t AddressSpaceEnd = 0x1000000;
// The most text an upload file may hold: two characters a byte, so 128 KiB of
// code, more than the chip's RAM on any board of this device. A larger file is
// the wrong file, and sending it would hold the line for minutes.
constexpr int64_t MaxUploadFileBytes = 256 * 1024;

}  // namespace

void Session::DoButton3Click() {
  BeginJob(Job::Connect);
  CloseUnfinishedReadBack();
  vars_.JobKind = DataUse::KeepOrShow;
  for (Control control : {Control::Button1, Control::RadioButton1, Control::RadioButton2,
                          Control::RadioButton6, Control::RadioButton7}) {
    window_.SetEnabled(control, false);
  }
  window_.SetLabelColour(StepLabel::Label1, LabelColour::Yellow);
  window_.SetLabelColour(StepLabel::Label2, LabelColour::Yellow);

  if (port_.Connected()) {
    Log("<serial interface already opened>\r\n");
  } else if (port_.Open()) {
    Log("<serial interface opened>\r\n");
  } else {
    Log("<ERR: couldn`t connect serial interface>\r\n");
  }
  // The chip needs a moment after the line comes up before it listens.
  if (Pause) Pause(std::chrono::milliseconds(100));

  vars_.SessionState = State::AwaitBootstrapAnswer;
  vars_.SectorsErased = 0;
  vars_.SectorsDone = 0;
  // A new device may have another flash: nothing of the last table may be
  // taken for a sector this connection never described.
  vars_.SectorStart.fill(0);
  vars_.SectorTableTop = 0;
  sectorTableUnusable_ = false;
  window_.SetPanelForm(PanelForm::Error);
  Log("\r\n");
  if (!port_.Connected()) {
    window_.SetPanelForm(PanelForm::Error);
    Log("<ERR: serial interface not opened>\r\n");
    Log("\r\n");
    RefuseJob(JobFailure::PortNotOpened, "the serial port could not be opened");
    return;
  }

  if (!vars_.LoaderFile.OpenExisting(FindOwnFile(LoaderFileName))) {
    Log("<ERR: couldn`f find file LOADER.HEX>\r\n");
    window_.SetPanelForm(PanelForm::Error);
  }
  if (!vars_.FlashRoutineFile.OpenExisting(FindOwnFile(FlashRoutineFileName))) {
    Log("<ERR: couldn`f find file F29F160D.HEX>\r\n");
    window_.SetPanelForm(PanelForm::Error);
  }
  window_.SetProgress(0);
  fileStep_ = vars_.LoaderFile.IsOpen() ? "taking the size of F29f160d.hex"
                                        : "taking the size of Loader.hex";
  // A file that did not open fails here with "file not open", before the chip
  // is woken: nothing would follow the start byte.
  const int64_t loaderSize = vars_.LoaderFile.Size();
  const int64_t routineSize = vars_.FlashRoutineFile.Size();
  for (const auto& [name, size] :
       {std::pair{LoaderFileName, loaderSize}, std::pair{FlashRoutineFileName, routineSize}}) {
    if (size <= MaxUploadFileBytes) continue;
    Log(std::string("<ERR: ") + name + " holds " + std::to_string(size) + " bytes, more than the " +
        std::to_string(MaxUploadFileBytes) +
        " an upload file for the chip's RAM may have: is it the right file? Nothing was sent>\r\n");
    window_.SetPanelForm(PanelForm::Error);
    CloseAllFiles();
    vars_.SessionState = State::Idle;
    for (Control control : {Control::Button1, Control::Button3, Control::RadioButton1,
                            Control::RadioButton2, Control::RadioButton6, Control::RadioButton7}) {
      window_.SetEnabled(control, true);
    }
    RefuseJob(JobFailure::FileError, std::string(name) + " is too large for an upload file");
    return;
  }
  vars_.LoaderFileSize = static_cast<int32_t>(loaderSize);
  vars_.FlashRoutineFileSize = static_cast<int32_t>(routineSize);
  vars_.CurrentSector = -1;
  vars_.TransferCount = 0;
  Log("<activating bootstrap mode...>\r\n");
  Send(wire::CmdBootstrapStart);
}

void Session::UploadPairs(SeqFile& file, int32_t pairs) {
  for (int32_t i = 0; i < pairs; ++i) {
    const char high = static_cast<char>(file.ReadByte());
    const char low = static_cast<char>(file.ReadByte());
    Send(HexPairValue(high, low));
  }
}

void Session::State1Upload() {
  // Any answer will do: the loader's reply carries no information we use.
  Log("<bootstrapmode activated>\r\n");
  fileStep_ = "reading the upload files Loader.hex and F29f160d.hex";
  Log("<writing loader into C165...>");
  const int32_t loaderBytes = vars_.LoaderFileSize / 2;
  UploadPairs(vars_.LoaderFile, loaderBytes);
  vars_.LoaderFile.Close();
  // The bootstrap loader of the chip reads exactly 32 bytes before it jumps.
  for (int32_t i = loaderBytes; i < wire::LoaderMinimumBytes; ++i) Send(0x00);
  Log("\r\n<writing flashroutine into C165...>\r\n");
  UploadPairs(vars_.FlashRoutineFile, vars_.FlashRoutineFileSize / 2);
  vars_.FlashRoutineFile.Close();
  vars_.SessionState = State::Idle;
}

bool Session::WaitForByte(uint8_t& value) {
  const auto deadline = std::chrono::steady_clock::now() + SectorTableByteTimeout;
  for (;;) {
    if (port_.Read(&value, 1) == 1) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
  }
}

Session::TableExchange Session::ExchangeSectorTable() {
  vars_.SectorStart.fill(0);
  if (!WaitForByte(vars_.CurrentChar)) return TableExchange::Silent;
  Send(wire::CmdTableCount);
  if (!WaitForByte(vars_.CurrentChar)) return TableExchange::Silent;
  vars_.SectorTableTop = vars_.CurrentChar;
  // The device names the entries; every one it announces is asked for, so its
  // side of the exchange completes even when the table cannot keep them all.
  const int32_t lastEntry = vars_.SectorTableTop + 1;
  bool plausible = true;
  for (int32_t i = 0; i <= lastEntry; ++i) {
    if (!WaitForByte(vars_.CurrentChar)) return TableExchange::Silent;
    Send(wire::CmdTableEntry);
    Send(static_cast<uint8_t>(i));
    uint32_t entry = 0;
    for (int k = 0; k < 4; ++k) {
      uint8_t part = 0;
      if (!WaitForByte(part)) return TableExchange::Silent;
      entry = (entry << 8) | part;
    }
    // A byte lost or added on the line shifts every later entry by one byte,
    // which puts a prompt or a stray into the top byte or breaks the order.
    // Sizes taken from such a table would send a sector's data into the
    // command stream of the flash routine.
    if (entry > AddressSpaceEnd) plausible = false;
    if (i > 0 && i < SectorTableSize && entry < vars_.SectorStart[static_cast<size_t>(i - 1)]) {
      plausible = false;
    }
    if (i < SectorTableSize) vars_.SectorStart[static_cast<size_t>(i)] = entry;
  }
  if (!plausible) {
    vars_.SectorStart.fill(0);
    return TableExchange::Garbled;
  }
  if (lastEntry >= SectorTableSize) {
    Log("<sector table cut: the device announced " + std::to_string(lastEntry + 1) + " entries, " +
        std::to_string(SectorTableSize) + " kept>\r\n");
  }
  return TableExchange::Complete;
}

void Session::State0Idle() {
  if (vars_.CurrentChar == wire::RepReady && !sectorTableUnusable_) {
    if (runningJob_ == Job::Connect) FinishJob(JobOutcome::Ok, JobFailure::None, "");
    Log("<  c o n n e c t e d  >\r\n");
    window_.SetPanelForm(PanelForm::Success);
    for (StepLabel label :
         {StepLabel::Label1, StepLabel::Label2, StepLabel::Label4, StepLabel::Label5}) {
      window_.SetLabelColour(label, LabelColour::ButtonFace);
    }
    window_.SetLabelColour(StepLabel::Label6, LabelColour::Yellow);
    window_.SetEnabled(Control::Button3, false);
    window_.SetEnabled(Control::Button6, true);
    vars_.SessionState = State::Idle;
  }
  if (vars_.CurrentChar == wire::RepSectorTable) {
    const TableExchange result = ExchangeSectorTable();
    sectorTableUnusable_ = result != TableExchange::Complete;
    if (result == TableExchange::Silent) {
      // Without a bound a device that fell silent here would freeze the window
      // for good; "connect" stays usable for another try.
      Log("<ERR: device did not answer during the sector table exchange>\r\n");
      window_.SetPanelForm(PanelForm::Error);
      vars_.SessionState = State::Idle;
      if (runningJob_ == Job::Connect) {
        FinishJob(JobOutcome::Failed, JobFailure::DeviceSilent,
                  "no answer during the sector table exchange");
      }
      return;
    }
    if (result == TableExchange::Garbled) {
      Log("<ERR: sector table garbled on the line, reset the device and connect again>\r\n");
      window_.SetPanelForm(PanelForm::Error);
      if (runningJob_ == Job::Connect) {
        FinishJob(JobOutcome::Failed, JobFailure::DeviceGarbled, "sector table garbled");
      }
      vars_.SessionState = State::Idle;
      return;
    }
    vars_.SessionState = State::Idle;
  }
  // After an exchange this sees its last prompt byte, as the device expects.
  if (vars_.CurrentChar == wire::RepLogChars) vars_.SessionState = State::AwaitLogCharFirst;
}

void Session::State16Or17LogChar() {
  LogDeviceChar(vars_.CurrentChar);
  vars_.SessionState =
      vars_.ActiveState == State::AwaitLogCharFirst ? State::AwaitLogCharSecond : State::Idle;
}
