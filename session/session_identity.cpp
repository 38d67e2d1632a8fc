// "verify hardware": the identity block is read word by word from the device
// and the identity values are taken out of it.
#include <algorithm>
#include <span>

#include "firmware/identity.h"
#include "session.h"
#include "wire.h"

namespace {

// Where the device keeps its identity block, as the hex digits of its three
// address bytes, most significant first.
constexpr char IdentityAddressDigits[3][3] = {"00", "40", "00"};
constexpr int32_t IdentityWords = IdentityBlockBytes / 2;

// One line naming what the identity read found.
std::string DescribeIdentity(const DeviceIdentity& device) {
  const std::string product =
      device.ProductName.empty() ? "no product name" : "product " + device.ProductName;
  const std::string hardware = device.HardwareVersion.empty()
                                   ? "no hardware version"
                                   : "hardware version " + device.HardwareVersion;
  const std::string serial = device.SerialNumberFound
                                 ? "serial number " + std::to_string(device.SerialNumber)
                                 : "no serial number";
  const std::string brand =
      device.BrandLabel.empty() ? "no brand label" : "brand label " + device.BrandLabel;
  return "<device: " + product + ", " + hardware + ", " + serial + ", " + brand + ">\r\n";
}

}  // namespace

void Session::DoStartIdentify() {
  BeginJob(Job::VerifyHardware);
  if (RefuseUnlessConnected()) return;
  vars_.ReceiveIndex = 0;
  vars_.WordsToRead = IdentityWords;
  vars_.JobKind = DataUse::KeepOrShow;
  for (size_t i = 0; i < vars_.ReadAddress.size(); ++i) {
    vars_.ReadAddress[i] = static_cast<uint8_t>(16 * HexDigitValue(IdentityAddressDigits[i][0]) +
                                                HexDigitValue(IdentityAddressDigits[i][1]));
  }
  view_.SetPanelForm(PanelForm::Neutral);
  Log("\r\n");
  vars_.TransferCount = 0;
  Log("\r\n<flashroutine waiting for command...>\r\n");
  Log("<command: read from address>");
  Send(wire::CmdReadAddress);
  for (uint8_t part : vars_.ReadAddress) Send(part);
  RequestWord();
  vars_.SessionState = State::AwaitIdentityWordFirst;
}

void Session::State7Or8StoreByte() {
  // Only the block itself is kept: bytes beyond it (a device that sends more
  // than was asked for) are dropped, never stored past its end.
  if (vars_.ReceiveIndex >= 0 && vars_.ReceiveIndex < IdentityBlockBytes) {
    vars_.IdentityArea[static_cast<size_t>(vars_.ReceiveIndex)] = vars_.CurrentChar;
    ++vars_.ReceiveIndex;
  }
  if (vars_.ActiveState == State::AwaitIdentityWordFirst) {
    vars_.SessionState = State::AwaitIdentityWordSecond;
    return;
  }
  ++vars_.TransferCount;
  SetProgressOf(JobPhase::Identify, vars_.TransferCount, vars_.WordsToRead, "words");
  view_.SetPanelCount(vars_.TransferCount);
  vars_.SessionState = State::AwaitIdentityWordStatus;
}

void Session::State9WordStatus() {
  if (vars_.CurrentChar != wire::RepWordSent) {
    // The device follows every word with "g": anything else here means a
    // byte was lost or added on the line and the word before is shifted.
    run_.IdentityGarbled = true;
    return;
  }
  if (vars_.TransferCount < vars_.WordsToRead) {
    RequestWord();
    vars_.SessionState = State::AwaitIdentityWordFirst;
  } else {
    Send(wire::CmdStop);
    vars_.SessionState = State::AwaitIdentityEnd;
  }
}

void Session::State10Evaluate() {
  if (run_.IdentityGarbled) {
    // Shifted bytes could put a wrong serial number into the next image and
    // from there into the unit's flash: nothing of this block is taken.
    // "verify hardware" stays enabled for another read.
    Log("\r\n<ERR: identity block garbled on the line, verify again>\r\n");
    view_.SetPanelForm(PanelForm::Error);
    vars_.SessionState = State::Idle;
    FinishJob(JobOutcome::Failed, JobFailure::DeviceGarbled, "identity block garbled");
    return;
  }
  Log("\r\n<done>\r\n");
  view_.SetPanelForm(PanelForm::Success);
  view_.SetLabelColour(StepLabel::Label6, LabelColour::ButtonFace);
  view_.SetLabelColour(StepLabel::Label4, LabelColour::Yellow);
  view_.SetEnabled(Control::Button6, false);
  view_.SetEnabled(Control::Button4, true);

  const auto received = static_cast<size_t>(std::clamp(vars_.ReceiveIndex, 0, IdentityBlockBytes));
  ScanDeviceIdentity(std::span<const uint8_t>(vars_.IdentityArea.data(), received), vars_.Device);

  Log("\r\n");
  Log("\r\n");
  Log(DescribeIdentity(vars_.Device));
  JobResult result;
  result.Count = vars_.TransferCount;
  result.HasIdentity = !vars_.Device.ProductName.empty();
  result.Identity = vars_.Device;
  if (!result.HasIdentity) {
    result.Outcome = JobOutcome::Failed;
    result.Failure = JobFailure::NoIdentity;
    result.Reason = "the device holds no identity";
  }
  if (vars_.Device.ProductName.empty()) {
    view_.SetPanelForm(PanelForm::Error);
    observer_.Warning("unable to identify your hardware");
  }
  vars_.SessionState = State::Idle;
  FinishJob(std::move(result));
}
