// The session's frame: the handler boundary, the receive dispatcher, the
// window's start and line-error handlers, and the helpers the state blocks
// share.
#include "session.h"

#include <thread>

#include "identity.h"

namespace {

// Keeps Busy() true while a handler or a dispatcher pass runs, also when it
// leaves through an exception.
class BusyScope {
 public:
  explicit BusyScope(int& depth) : depth_(depth) { ++depth_; }
  ~BusyScope() { --depth_; }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  int& depth_;
};

// Windows-1252 characters 0x80 to 0x9F; 0 marks the five the code page leaves
// undefined, which keep their Latin-1 code point.
constexpr char32_t Cp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

std::string Utf8Of(char32_t code) {
  std::string out;
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
  return out;
}

}  // namespace

Session::Session(SessionPort& port, SessionWindow& window)
    : Pause([](std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }),
      port_(port),
      window_(window) {}

void Session::Guarded(void (Session::*body)()) {
  BusyScope scope(busy_);
  try {
    (this->*body)();
  } catch (const InOutError& error) {
    window_.ShowWarning("E/A-Fehler " + std::to_string(error.Code()));
  }
}

void Session::Log(std::string_view text) {
  window_.LogWrite(text);
}

void Session::LogDeviceChar(uint8_t value) {
  char32_t code = value;
  if (value >= 0x80 && value <= 0x9F && Cp1252High[value - 0x80] != 0) {
    code = Cp1252High[value - 0x80];
  }
  Log(Utf8Of(code));
}

std::string Session::InWorkingDirectory(const std::string& name) const {
  if (WorkingDirectory.empty()) return name;
  if (WorkingDirectory.back() == '/') return WorkingDirectory + name;
  return WorkingDirectory + "/" + name;
}

bool Session::Send(uint8_t value) {
  return port_.Write(&value, 1) == 1;
}

void Session::SetProgressOf(int64_t count, int64_t total) {
  if (total <= 0) return;
  window_.SetProgress(static_cast<int32_t>(count * 100 / total));
}

void Session::CloseUnfinishedReadBack() {
  // A read-back that never reached its report still holds its destination;
  // what arrived so far is already on disk, so closing keeps it.
  if (DestinationFile.IsOpen()) DestinationFile.Close();
}

bool Session::FlashJobRunning() const {
  return SessionState >= 11 && SessionState <= 14;
}

void Session::NextSelectedSector() {
  for (int32_t sector = CurrentSector + 1; sector < SectorCount; ++sector) {
    if (sector >= 0 && SectorSelected[static_cast<size_t>(sector)] == 1) {
      CurrentSector = sector;
      return;
    }
  }
}

uint8_t Session::HexDigitValue(char c) {
  return ::HexDigitValue(c);
}

void Session::FormActivate() {
  BusyScope scope(busy_);
  window_.SetLabelColour(StepLabel::Label5, LabelColour::ButtonFace);
  for (Control control : {Control::Button1, Control::Button3, Control::Button4, Control::Button6}) {
    window_.SetEnabled(control, false);
  }
  window_.SetLabelColour(StepLabel::Label9, LabelColour::Yellow);
  window_.SetLabelColour(StepLabel::Label3, LabelColour::Yellow);
  JobKind = 1;
  DestinationFileName.clear();
  WordsToRead = 200;
}

void Session::Comm1CommEvent(uint32_t /*events*/, uint32_t /*state*/) {}

void Session::Comm1CommError(uint32_t errorCode) {
  BusyScope scope(busy_);
  static constexpr char Digits[] = "0123456789ABCDEF";
  std::string hex;
  for (uint32_t rest = errorCode; rest != 0; rest >>= 4)
    hex.insert(hex.begin(), Digits[rest & 0xF]);
  if (hex.size() < 4) hex.insert(0, 4 - hex.size(), '0');
  Log("<ERR: " + hex + ">\r\n");
  window_.SetPanelForm(PanelForm::Error);
}

void Session::Button3Click() {
  Guarded(&Session::DoButton3Click);
}
void Session::Button6Click() {
  Guarded(&Session::DoButton6Click);
}
void Session::Button4Click() {
  Guarded(&Session::DoButton4Click);
}
void Session::Button7Click() {
  Guarded(&Session::DoButton7Click);
}
void Session::Button11Click() {
  Guarded(&Session::DoButton11Click);
}
void Session::RadioButton5Click() {
  Guarded(&Session::DoRadioButton5Click);
}
void Session::Shutdown() {
  Guarded(&Session::DoShutdown);
}

void Session::DoShutdown() {
  // Each file on its own, so that one failing close does not keep the others
  // open; the first failure is still reported.
  int firstError = 0;
  for (SeqFile* file : {&DestinationFile, &ImageFile, &LoaderFile, &FlashRoutineFile}) {
    if (!file->IsOpen()) continue;
    try {
      file->Close();
    } catch (const InOutError& error) {
      if (firstError == 0) firstError = error.Code();
    }
  }
  if (firstError != 0) throw InOutError(firstError);
}

void Session::Comm1CharReceived(uint32_t /*cbInQue*/) {
  // The count of waiting bytes is stale by the time it arrives; reading until
  // the port has nothing more also takes the bytes that came in meanwhile.
  BusyScope scope(busy_);
  try {
    for (;;) {
      uint8_t value = 0;
      if (port_.Read(&value, 1) == 0) return;
      CurrentChar = value;
      ActiveState = SessionState;
      RunStateBlock(ActiveState);
    }
  } catch (const InOutError& error) {
    window_.ShowWarning("E/A-Fehler " + std::to_string(error.Code()));
  }
}

void Session::RunStateBlock(int32_t state) {
  switch (state) {
    case 0:
      State0Idle();
      break;
    case 1:
      State1Upload();
      break;
    case 2:
      State2NextSector();
      break;
    case 3:
    case 4:
      State3Or4DataByte();
      break;
    case 5:
      State5WordStatus();
      break;
    case 6:
      State6Report();
      break;
    case 7:
    case 8:
      State7Or8StoreByte();
      break;
    case 9:
      State9WordStatus();
      break;
    case 10:
      State10Evaluate();
      break;
    case 11:
      State11NextErase();
      break;
    case 12:
      State12Erased();
      break;
    case 13:
      State13NextProgram();
      break;
    case 14:
      State14ProgramResult();
      break;
    case 15:
      State15FinalReport();
      break;
    case 16:
    case 17:
      State16Or17LogChar();
      break;
    default:
      // State 18 and any state without a block: the byte is consumed.
      break;
  }
}
