// The verify after a download: the programmed sectors are read back with the
// read-sector command and compared with the bytes that were sent to them.
// The device protocol has no checksum, so a bit flipped on the line would
// otherwise end up in the flash unseen.
#include <cstdio>

#include "session.h"
#include "wire.h"

namespace {

// The count on the panel is refreshed at every multiple of this many bytes.
constexpr size_t VerifyCountStep = 512;

std::string Hex(int64_t value, int digits) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
}

}  // namespace

bool Session::VerifyRunning() const {
  switch (vars_.SessionState) {
    case State::AwaitVerifyPrompt:
    case State::AwaitVerifyWordFirst:
    case State::AwaitVerifyWordSecond:
    case State::AwaitVerifyWordStatus:
      return true;
    default:
      return false;
  }
}

void Session::SendVerifyReadCommand() {
  const SentSector& sector = sentSectors_[verifyIndex_];
  verifyPosition_ = 0;
  Send(wire::CmdReadSector);
  Send(static_cast<uint8_t>(sector.Sector & 0xFF));
  Send(wire::CmdNextWord);
  vars_.SessionState = State::AwaitVerifyWordFirst;
}

void Session::StateVerifyPrompt() {
  // After "e", "f" or the stop the flash routine says it is ready; anything
  // else is not an answer to a command of ours.
  if (vars_.CurrentChar != wire::RepReady) return;
  if (!difference_ && !verifyGarbled_ && verifyIndex_ < sentSectors_.size()) {
    SendVerifyReadCommand();
    return;
  }
  ReportVerifyResult();
}

void Session::StateVerifyWordByte() {
  const SentSector& sector = sentSectors_[verifyIndex_];
  if (verifyPosition_ < sector.Length) {
    const uint8_t written = sentBytes_[sector.Offset + verifyPosition_];
    if (vars_.CurrentChar != written && !difference_) {
      const auto start = vars_.SectorStart[static_cast<size_t>(sector.Sector)];
      difference_ = Difference{sector.Sector, static_cast<int64_t>(start + verifyPosition_),
                               written, vars_.CurrentChar};
    }
    ++verifiedBytes_;
    if (verifiedBytes_ % VerifyCountStep == 0) {
      window_.SetPanelCount(static_cast<int32_t>(verifiedBytes_));
      window_.RepaintPanelNow();
    }
  }
  ++verifyPosition_;
  if (vars_.ActiveState == State::AwaitVerifyWordFirst) {
    vars_.SessionState = State::AwaitVerifyWordSecond;
    return;
  }
  SetProgressOf(static_cast<int64_t>(verifiedBytes_), static_cast<int64_t>(sentBytes_.size()));
  vars_.SessionState = State::AwaitVerifyWordStatus;
}

void Session::StateVerifyWordStatus() {
  const SentSector& sector = sentSectors_[verifyIndex_];
  if (vars_.CurrentChar == wire::RepWordSent) {
    // Words after the image's last byte hold filler only: the read stops
    // there, as it does at the first difference.
    if (verifyPosition_ < sector.Length && !difference_) {
      Send(wire::CmdNextWord);
      vars_.SessionState = State::AwaitVerifyWordFirst;
    } else {
      Send(wire::CmdStop);
      ++verifyIndex_;
      vars_.SessionState = State::AwaitVerifyPrompt;
    }
  } else if (vars_.CurrentChar == wire::RepSectorEnd) {
    if (verifyPosition_ < sector.Length && !difference_) {
      // The device's sector ended before the bytes that were sent into it.
      const auto start = vars_.SectorStart[static_cast<size_t>(sector.Sector)];
      difference_ = Difference{sector.Sector, static_cast<int64_t>(start + verifyPosition_),
                               sentBytes_[sector.Offset + verifyPosition_], -1};
    }
    ++verifyIndex_;
    vars_.SessionState = State::AwaitVerifyPrompt;
  } else {
    // Every word is followed by "g" or "f": anything else means a byte was
    // lost or added on the line, and what follows cannot be compared.
    verifyGarbled_ = true;
  }
}

void Session::ReportVerifyResult() {
  if (!difference_ && !verifyGarbled_) {
    Log("<verify: " + std::to_string(verifiedBytes_) + " bytes match>\r\n");
    ReportEndOfFlashJob();
    return;
  }
  JobResult result;
  result.Outcome = JobOutcome::Failed;
  result.Count = vars_.TransferCount;
  if (difference_) {
    const Difference& d = *difference_;
    const std::string read = d.Read < 0 ? "nothing (the sector ended)" : Hex(d.Read, 2);
    Log("<ERR: verify failed in sector " + std::to_string(d.Sector) + " at address " +
        Hex(d.Address, 6) + ": written " + Hex(d.Written, 2) + ", read " + read + ">\r\n");
    result.Failure = JobFailure::VerifyMismatch;
    result.Reason = "verify found a difference in sector " + std::to_string(d.Sector) +
                    " at address " + Hex(d.Address, 6);
    result.Sector = d.Sector;
    result.Address = d.Address;
    result.Written = d.Written;
    result.Read = d.Read;
  } else {
    Log("<ERR: verify garbled on the line, the flash could not be compared>\r\n");
    result.Failure = JobFailure::DeviceGarbled;
    result.Reason = "the verify's read-back was garbled on the line";
  }
  window_.SetPanelForm(PanelForm::Error);
  ShowEndOfUpdate();
  vars_.SessionState = State::Ended;
  FinishJob(std::move(result));
}
