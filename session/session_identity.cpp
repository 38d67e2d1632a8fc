// "verify hardware": the identity block is read word by word from the device
// and the identity values are taken out of it.
#include <algorithm>
#include <span>

#include "identity.h"
#include "session.h"
#include "wire.h"

namespace {

// Where the device keeps its identity block, as the hex digits of its three
// address bytes, most significant first.
constexpr char IdentityAddressDigits[3][3] = {"00", "40", "00"};
constexpr int32_t IdentityWords = IdentityBlockBytes / 2;

}  // namespace

void Session::DoButton6Click() {
  CloseUnfinishedReadBack();
  identityGarbled_ = false;
  ReceiveIndex = 0;
  WordsToRead = IdentityWords;
  JobKind = 1;
  for (size_t i = 0; i < ReadAddress.size(); ++i) {
    ReadAddress[i] = static_cast<uint8_t>(16 * HexDigitValue(IdentityAddressDigits[i][0]) +
                                          HexDigitValue(IdentityAddressDigits[i][1]));
  }
  window_.SetPanelForm(PanelForm::Neutral);
  Log("\r\n");
  TransferCount = 0;
  Log("\r\n<flashroutine waiting for command...>\r\n");
  Log("<command: read from address>");
  Send(wire::CmdReadAddress);
  for (uint8_t part : ReadAddress) Send(part);
  Send(wire::CmdNextWord);
  SessionState = 7;
}

void Session::State7Or8StoreByte() {
  // Only the block itself is kept: bytes beyond it (a device that sends more
  // than was asked for) are dropped, never stored past its end.
  if (ReceiveIndex >= 0 && ReceiveIndex < IdentityBlockBytes) {
    IdentityArea[static_cast<size_t>(ReceiveIndex)] = CurrentChar;
    ++ReceiveIndex;
  }
  if (ActiveState == 7) {
    SessionState = 8;
    return;
  }
  ++TransferCount;
  SetProgressOf(TransferCount, WordsToRead);
  window_.SetPanelCount(TransferCount);
  SessionState = 9;
}

void Session::State9WordStatus() {
  if (CurrentChar != wire::RepWordSent) {
    // The device follows every word with "g": anything else here means a
    // byte was lost or added on the line and the word before is shifted.
    identityGarbled_ = true;
    return;
  }
  if (TransferCount < WordsToRead) {
    Send(wire::CmdNextWord);
    SessionState = 7;
  } else {
    Send(wire::CmdStop);
    SessionState = 10;
  }
}

void Session::State10Evaluate() {
  if (identityGarbled_) {
    // Shifted bytes could put a wrong serial number into the next image and
    // from there into the unit's flash: nothing of this block is taken.
    // "verify hardware" stays enabled for another read.
    Log("\r\n<ERR: identity block garbled on the line, verify again>\r\n");
    window_.SetPanelForm(PanelForm::Error);
    SessionState = 0;
    return;
  }
  Log("\r\n<done>\r\n");
  window_.SetPanelForm(PanelForm::Success);
  window_.SetLabelColour(StepLabel::Label6, LabelColour::ButtonFace);
  window_.SetLabelColour(StepLabel::Label4, LabelColour::Yellow);
  window_.SetEnabled(Control::Button6, false);
  window_.SetEnabled(Control::Button4, true);

  DeviceIdentity identity{DeviceProductName, DeviceHardwareVersion, DeviceSerialNumber,
                          DeviceSerialNumberFound, DeviceBrandLabel};
  const auto received = static_cast<size_t>(std::clamp(ReceiveIndex, 0, IdentityBlockBytes));
  ScanDeviceIdentity(std::span<const uint8_t>(IdentityArea.data(), received), identity);
  DeviceProductName = identity.ProductName;
  DeviceHardwareVersion = identity.HardwareVersion;
  DeviceSerialNumber = identity.SerialNumber;
  DeviceSerialNumberFound = identity.SerialNumberFound;
  DeviceBrandLabel = identity.BrandLabel;

  Log("\r\n");
  Log("\r\n");
  if (DeviceProductName.empty()) {
    window_.SetPanelForm(PanelForm::Error);
    window_.ShowWarning("unable to identify your hardware");
  }
  SessionState = 0;
}
