// "connect": the bootstrap start, the upload of loader and flash routine, and
// the idle state in which the flash routine hands over its sector table.
#include <string>
#include <utility>

#include "firmware/identity.h"
#include "platform/sys_error.h"
#include "session.h"
#include "wire.h"

namespace {

constexpr char LoaderFileName[] = "Loader.hex";
// The C165 addresses 16 MiB with its 24 address lines: no sector starts or
// ends above.
constexpr uint32_t AddressSpaceEnd = 0x1000000;
// The most text an upload file may hold: two characters a byte, so 128 KiB of
// code, more than the chip's RAM on any board of this device. A larger file is
// the wrong file, and sending it would hold the line for minutes.
constexpr int64_t MaxUploadFileBytes = 256 * 1024;

}  // namespace

void Session::DoStartConnect() {
  BeginJob(Job::Connect);
  vars_.JobKind = DataUse::KeepOrShow;
  for (Control control : {Control::Button1, Control::RadioButton1, Control::RadioButton2,
                          Control::RadioButton6, Control::RadioButton7}) {
    view_.SetEnabled(control, false);
  }
  view_.SetLabelColour(StepLabel::Label1, LabelColour::Yellow);
  view_.SetLabelColour(StepLabel::Label2, LabelColour::Yellow);

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
  table_ = TableExchange{};
  view_.SetPanelForm(PanelForm::Error);
  Log("\r\n");
  if (!port_.Connected()) {
    view_.SetPanelForm(PanelForm::Error);
    Log("<ERR: serial interface not opened>\r\n");
    Log("\r\n");
    RefuseJob(JobFailure::PortNotOpened, "the serial port could not be opened");
    return;
  }

  const std::string routineName(Part.RoutineFileName);
  const auto openUploadFile = [this](SeqFile& file, const std::string& name) {
    if (file.OpenExisting(FindOwnFile(name))) return true;
    // The first file that cannot be opened is the failure the job reports.
    if (fileCause_.empty()) {
      const SysError& cause = file.OpenCause();
      fileCause_ =
          "cannot open " + name + ": " +
          (cause.Cause == ErrorCause::NotFound || !cause ? "not found in " + SearchedFolders()
                                                         : cause.Text);
    }
    return false;
  };
  if (!openUploadFile(files_.LoaderFile, LoaderFileName)) {
    Log("<ERR: couldn`f find file LOADER.HEX>\r\n");
    view_.SetPanelForm(PanelForm::Error);
  }
  if (!openUploadFile(files_.FlashRoutineFile, routineName)) {
    Log("<ERR: couldn`f find file F29F160D.HEX>\r\n");
    view_.SetPanelForm(PanelForm::Error);
  }
  view_.SetProgress(0);
  fileStep_ = files_.LoaderFile.IsOpen() ? "taking the size of " + routineName
                                         : std::string("taking the size of Loader.hex");
  // A file that did not open fails here with "file not open", before the chip
  // is woken: nothing would follow the start byte.
  const int64_t loaderSize = files_.LoaderFile.Size();
  const int64_t routineSize = files_.FlashRoutineFile.Size();
  for (const auto& [name, size] :
       {std::pair{std::string(LoaderFileName), loaderSize}, std::pair{routineName, routineSize}}) {
    if (size <= MaxUploadFileBytes) continue;
    Log("<ERR: " + name + " holds " + std::to_string(size) + " bytes, more than the " +
        std::to_string(MaxUploadFileBytes) +
        " an upload file for the chip's RAM may have: is it the right file? Nothing was sent>\r\n");
    view_.SetPanelForm(PanelForm::Error);
    CloseAllFiles();
    vars_.SessionState = State::Idle;
    for (Control control : {Control::Button1, Control::Button3, Control::RadioButton1,
                            Control::RadioButton2, Control::RadioButton6, Control::RadioButton7}) {
      view_.SetEnabled(control, true);
    }
    RefuseJob(JobFailure::FileError, name + " is too large for an upload file");
    return;
  }
  run_.LoaderFileSize = static_cast<int32_t>(loaderSize);
  run_.FlashRoutineFileSize = static_cast<int32_t>(routineSize);
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
  fileStep_ = "reading the upload files Loader.hex and " + std::string(Part.RoutineFileName);
  Log("<writing loader into C165...>");
  // Sizes of a "connect" that a later job start cancelled are 0: nothing of
  // its files is open any more.
  const int32_t loaderBytes = run_.Kind == Job::Connect ? run_.LoaderFileSize / 2 : 0;
  const int32_t routineBytes = run_.Kind == Job::Connect ? run_.FlashRoutineFileSize / 2 : 0;
  UploadPairs(files_.LoaderFile, loaderBytes);
  if (files_.LoaderFile.IsOpen()) files_.LoaderFile.Close();
  // The bootstrap loader of the chip reads exactly 32 bytes before it jumps.
  for (int32_t i = loaderBytes; i < wire::LoaderMinimumBytes; ++i) Send(0x00);
  Log("\r\n<writing flashroutine into C165...>\r\n");
  UploadPairs(files_.FlashRoutineFile, routineBytes);
  if (files_.FlashRoutineFile.IsOpen()) files_.FlashRoutineFile.Close();
  vars_.SessionState = State::Idle;
}

void Session::StateTableExchange() {
  const uint8_t value = vars_.CurrentChar;
  TableExchange& t = table_;
  switch (vars_.SessionState) {
    case State::AwaitTablePrompt:
      Send(wire::CmdTableCount);
      vars_.SessionState = State::AwaitTableCount;
      return;
    case State::AwaitTableCount:
      vars_.SectorTableTop = value;
      // The device names the entries; every one it announces is asked for,
      // so its side of the exchange completes even when the table cannot
      // keep them all.
      t.LastEntry = vars_.SectorTableTop + 1;
      t.Entry = 0;
      vars_.SessionState = State::AwaitTableEntryPrompt;
      return;
    case State::AwaitTableEntryPrompt:
      Send(wire::CmdTableEntry);
      Send(static_cast<uint8_t>(t.Entry));
      t.Byte = 0;
      t.Value = 0;
      vars_.SessionState = State::AwaitTableEntryByte;
      return;
    case State::AwaitTableEntryByte:
      break;
    default:
      return;
  }
  t.Value = (t.Value << 8) | value;
  if (++t.Byte < 4) return;
  // A byte lost or added on the line shifts every later entry by one byte,
  // which puts a prompt or a stray into the top byte or breaks the order.
  // Sizes taken from such a table would send a sector's data into the
  // command stream of the flash routine.
  const auto i = static_cast<size_t>(t.Entry);
  if (t.Value > AddressSpaceEnd) t.Plausible = false;
  if (i > 0 && i < SectorTableSize && t.Value < vars_.SectorStart[i - 1]) t.Plausible = false;
  if (i < SectorTableSize) vars_.SectorStart[i] = t.Value;
  if (++t.Entry <= t.LastEntry) {
    vars_.SessionState = State::AwaitTableEntryPrompt;
    return;
  }
  EndTableExchange();
}

void Session::EndTableExchange() {
  vars_.SessionState = State::Idle;
  table_.Unusable = !table_.Plausible;
  if (!table_.Plausible) {
    vars_.SectorStart.fill(0);
    Log("<ERR: sector table garbled on the line, reset the device and connect again>\r\n");
    view_.SetPanelForm(PanelForm::Error);
    if (RunningJob() == Job::Connect) {
      FinishJob(JobOutcome::Failed, JobFailure::DeviceGarbled, "sector table garbled");
    }
    return;
  }
  if (table_.LastEntry >= SectorTableSize) {
    Log("<sector table cut: the device announced " + std::to_string(table_.LastEntry + 1) +
        " entries, " + std::to_string(SectorTableSize) + " kept>\r\n");
  }
  // The exchange's last prompt byte follows: State0Idle sees it, as the
  // device expects.
}

void Session::State0Idle() {
  if (vars_.CurrentChar == wire::RepReady && !table_.Unusable) {
    if (RunningJob() == Job::Connect) FinishJob(JobOutcome::Ok, JobFailure::None, "");
    Log("<  c o n n e c t e d  >\r\n");
    view_.SetPanelForm(PanelForm::Success);
    for (StepLabel label :
         {StepLabel::Label1, StepLabel::Label2, StepLabel::Label4, StepLabel::Label5}) {
      view_.SetLabelColour(label, LabelColour::ButtonFace);
    }
    view_.SetLabelColour(StepLabel::Label6, LabelColour::Yellow);
    view_.SetEnabled(Control::Button3, false);
    view_.SetEnabled(Control::Button6, true);
    vars_.SessionState = State::Idle;
  }
  if (vars_.CurrentChar == wire::RepSectorTable) {
    // The exchange runs byte by byte through the states that follow, each
    // wait bounded like every other.
    vars_.SectorStart.fill(0);
    table_ = TableExchange{};
    table_.Unusable = true;
    vars_.SessionState = State::AwaitTablePrompt;
    return;
  }
  if (vars_.CurrentChar == wire::RepLogChars) vars_.SessionState = State::AwaitLogCharFirst;
}

void Session::State16Or17LogChar() {
  LogDeviceChar(vars_.CurrentChar);
  vars_.SessionState =
      vars_.ActiveState == State::AwaitLogCharFirst ? State::AwaitLogCharSecond : State::Idle;
}
