// The verify after a download: the programmed sectors are read back with the
// read-sector command and compared with the bytes that were sent to them.
// The device protocol has no checksum, so a bit flipped on the line would
// otherwise end up in the flash unseen.
#include "firmware/hex_text.h"
#include "session.h"
#include "wire.h"

namespace {

// The count on the panel is refreshed at every multiple of this many bytes.
constexpr size_t VerifyCountStep = 512;

std::string Hex(int64_t value, int digits) {
  return HexText(static_cast<uint64_t>(value), digits);
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
  FlashRun& flash = Flash();
  const SentSector& sector = flash.SentSectors[flash.VerifyIndex];
  flash.VerifyPosition = 0;
  Send(wire::CmdReadSector);
  Send(static_cast<uint8_t>(sector.Sector & 0xFF));
  Send(wire::CmdNextWord);
  vars_.SessionState = State::AwaitVerifyWordFirst;
}

void Session::StateVerifyPrompt() {
  // After "e", "f" or the stop the flash routine says it is ready; anything
  // else is not an answer to a command of ours.
  if (vars_.CurrentChar != wire::RepReady) return;
  const FlashRun& flash = Flash();
  if (!flash.FirstDifference && !flash.VerifyGarbled &&
      flash.VerifyIndex < flash.SentSectors.size()) {
    SendVerifyReadCommand();
    return;
  }
  ReportVerifyResult();
}

void Session::StateVerifyWordByte() {
  FlashRun& flash = Flash();
  // A verify whose sectors are all compared has nothing to take a byte for.
  if (flash.VerifyIndex >= flash.SentSectors.size()) return;
  const SentSector& sector = flash.SentSectors[flash.VerifyIndex];
  if (flash.VerifyPosition < sector.Length) {
    const uint8_t written = flash.SentBytes[sector.Offset + flash.VerifyPosition];
    if (vars_.CurrentChar != written && !flash.FirstDifference) {
      const auto start = vars_.SectorStart[static_cast<size_t>(sector.Sector)];
      flash.FirstDifference =
          Difference{sector.Sector, static_cast<int64_t>(start + flash.VerifyPosition), written,
                     vars_.CurrentChar};
    }
    ++flash.VerifiedBytes;
    if (flash.VerifiedBytes % VerifyCountStep == 0) {
      view_.SetPanelCount(static_cast<int32_t>(flash.VerifiedBytes));
      view_.RepaintPanelNow();
    }
  }
  ++flash.VerifyPosition;
  if (vars_.ActiveState == State::AwaitVerifyWordFirst) {
    vars_.SessionState = State::AwaitVerifyWordSecond;
    return;
  }
  SetProgressOf(JobPhase::Verify, static_cast<int64_t>(flash.VerifiedBytes),
                static_cast<int64_t>(flash.SentBytes.size()), "bytes");
  vars_.SessionState = State::AwaitVerifyWordStatus;
}

void Session::StateVerifyWordStatus() {
  FlashRun& flash = Flash();
  if (flash.VerifyIndex >= flash.SentSectors.size()) return;
  const SentSector& sector = flash.SentSectors[flash.VerifyIndex];
  if (vars_.CurrentChar == wire::RepWordSent) {
    // Words after the image's last byte hold filler only: the read stops
    // there, as it does at the first difference.
    if (flash.VerifyPosition < sector.Length && !flash.FirstDifference) {
      Send(wire::CmdNextWord);
      vars_.SessionState = State::AwaitVerifyWordFirst;
    } else {
      Send(wire::CmdStop);
      ++flash.VerifyIndex;
      vars_.SessionState = State::AwaitVerifyPrompt;
    }
  } else if (vars_.CurrentChar == wire::RepSectorEnd) {
    if (flash.VerifyPosition < sector.Length && !flash.FirstDifference) {
      // The device's sector ended before the bytes that were sent into it.
      const auto start = vars_.SectorStart[static_cast<size_t>(sector.Sector)];
      flash.FirstDifference =
          Difference{sector.Sector, static_cast<int64_t>(start + flash.VerifyPosition),
                     flash.SentBytes[sector.Offset + flash.VerifyPosition], -1};
    }
    ++flash.VerifyIndex;
    vars_.SessionState = State::AwaitVerifyPrompt;
  } else {
    // Every word is followed by "g" or "f": anything else means a byte was
    // lost or added on the line, and what follows cannot be compared.
    flash.VerifyGarbled = true;
  }
}

void Session::ReportVerifyResult() {
  const FlashRun& flash = Flash();
  if (!flash.FirstDifference && !flash.VerifyGarbled) {
    Log("<verify: " + std::to_string(flash.VerifiedBytes) + " bytes match>\r\n");
    ReportEndOfFlashJob();
    return;
  }
  JobResult result;
  result.Outcome = JobOutcome::Failed;
  result.Count = vars_.TransferCount;
  if (flash.FirstDifference) {
    const Difference& d = *flash.FirstDifference;
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
  view_.SetPanelForm(PanelForm::Error);
  ShowEndOfUpdate();
  vars_.SessionState = State::Ended;
  FinishJob(std::move(result));
}
