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
  flash.SectorFirstByte = flash.VerifiedBytes;
  Send(wire::CmdReadSector);
  Send(static_cast<uint8_t>(sector.Sector & 0xFF));
  RequestWord();
  vars_.SessionState = State::AwaitVerifyWordFirst;
}

void Session::StateVerifyPrompt() {
  if (vars_.CurrentChar == wire::RepWordSent) {
    // Only a read that lost its step on the line gets here with a word's
    // "g": the device waits for "3" or "4" and says "a" after the stop.
    Send(wire::CmdStop);
    return;
  }
  // After "e", "f" or the stop the flash routine says it is ready; anything
  // else is not an answer to a command of ours.
  if (vars_.CurrentChar != wire::RepReady) return;
  const FlashRun& flash = Flash();
  if (!flash.FirstDifference && !flash.LostStep && flash.VerifyIndex < flash.SentSectors.size()) {
    SendVerifyReadCommand();
    return;
  }
  ReportVerifyResult();
}

void Session::StateVerifyWordByte() {
  FlashRun& flash = Flash();
  // A verify whose sectors are all compared has nothing to take a byte for.
  if (flash.VerifyIndex >= flash.SentSectors.size()) return;
  const bool first = vars_.ActiveState == State::AwaitVerifyWordFirst;
  flash.Word[first ? 0 : 1] = vars_.CurrentChar;
  vars_.SessionState = first ? State::AwaitVerifyWordSecond : State::AwaitVerifyWordStatus;
}

void Session::StateVerifyWordStatus() {
  FlashRun& flash = Flash();
  if (flash.VerifyIndex >= flash.SentSectors.size()) return;
  const uint8_t status = vars_.CurrentChar;
  // Every word is followed by "g" or "f": anything else means a byte was
  // lost or added on the line, and the word is none.
  if (status != wire::RepWordSent && status != wire::RepSectorEnd) {
    VerifyLostStep();
    return;
  }
  const SentSector& sector = flash.SentSectors[flash.VerifyIndex];
  const auto start = vars_.SectorStart[static_cast<size_t>(sector.Sector)];
  for (const uint8_t read : flash.Word) {
    if (flash.VerifyPosition < sector.Length) {
      const uint8_t written = flash.SentBytes[sector.Offset + flash.VerifyPosition];
      if (read != written && !flash.FirstDifference) {
        flash.FirstDifference = Difference{
            sector.Sector, static_cast<int64_t>(start + flash.VerifyPosition), written, read};
      }
      ++flash.VerifiedBytes;
      if (flash.VerifiedBytes % VerifyCountStep == 0) {
        view_.SetPanelCount(static_cast<int32_t>(flash.VerifiedBytes));
        view_.RepaintPanelNow();
      }
    }
    ++flash.VerifyPosition;
  }
  SetProgressOf(JobPhase::Verify, static_cast<int64_t>(flash.VerifiedBytes),
                static_cast<int64_t>(flash.SentBytes.size()), "bytes");
  if (status == wire::RepWordSent) {
    // Words after the image's last byte hold filler only: the read stops
    // there, as it does at the first difference.
    if (flash.VerifyPosition < sector.Length && !flash.FirstDifference) {
      RequestWord();
      vars_.SessionState = State::AwaitVerifyWordFirst;
      return;
    }
    Send(wire::CmdStop);
  } else if (flash.VerifyPosition < sector.Length && !flash.FirstDifference) {
    // The device's sector ended before the bytes that were sent into it.
    flash.FirstDifference =
        Difference{sector.Sector, static_cast<int64_t>(start + flash.VerifyPosition),
                   flash.SentBytes[sector.Offset + flash.VerifyPosition], -1};
  }
  vars_.SessionState = State::AwaitVerifyPrompt;
  if (flash.FirstDifference && !flash.ReadAgain) {
    // A byte flipped on the way back looks like a flash that differs: only
    // a second read that finds it too makes it the flash's.
    const Difference& d = *flash.FirstDifference;
    ReadVerifySectorAgain("the verify read " +
                          (d.Read < 0 ? std::string("the end of the sector") : Hex(d.Read, 2)) +
                          " at address " + Hex(d.Address, 6) + " of sector " +
                          std::to_string(d.Sector) + ", written " + Hex(d.Written, 2));
    return;
  }
  if (!flash.FirstDifference) ++flash.VerifyIndex;
}

void Session::VerifyLostStep() {
  FlashRun& flash = Flash();
  const SentSector& sector = flash.SentSectors[flash.VerifyIndex];
  const auto start = vars_.SectorStart[static_cast<size_t>(sector.Sector)];
  const Difference at{sector.Sector, static_cast<int64_t>(start + flash.VerifyPosition), -1, -1};
  // The device is one byte away from its "g" or "f" (a stray took a place
  // in the word): that byte comes next, and a "g" is answered with the stop
  // in the prompt's state. The device's "a" then starts the read again.
  vars_.SessionState = State::AwaitVerifyPrompt;
  if (!flash.ReadAgain) {
    ReadVerifySectorAgain("the line lost step at " + Hex(at.Address, 6) + " in sector " +
                          std::to_string(at.Sector) +
                          " of the verify (a word without its \"g\" or \"f\")");
    return;
  }
  flash.LostStep = at;
  ReportVerifyResult();
}

void Session::ReadVerifySectorAgain(const std::string& why) {
  FlashRun& flash = Flash();
  flash.ReadAgain = true;
  const int32_t sector = flash.SentSectors[flash.VerifyIndex].Sector;
  Log("<" + why + ": reading sector " + std::to_string(sector) + " again>\r\n");
  flash.FirstDifference.reset();
  flash.VerifiedBytes = flash.SectorFirstByte;
  flash.VerifyPosition = 0;
}

void Session::ReportVerifyResult() {
  const FlashRun& flash = Flash();
  if (!flash.FirstDifference && !flash.LostStep) {
    Log("<verify: " + std::to_string(flash.VerifiedBytes) + " bytes match>\r\n");
    ReportEndOfFlashJob();
    return;
  }
  JobResult result;
  result.Outcome = JobOutcome::Failed;
  result.Count = vars_.TransferCount;
  if (flash.LostStep) {
    // A line fault, not the flash's: what the flash holds is not known.
    const Difference& d = *flash.LostStep;
    const std::string where = "at " + Hex(d.Address, 6) + " in sector " + std::to_string(d.Sector);
    Log("<ERR: the line lost step " + where +
        " of the verify, also when the sector was read again: the flash could not be compared. "
        "Check the download wire and its plugs, power the device down and up, connect and "
        "download again>\r\n");
    result.Failure = JobFailure::DeviceGarbled;
    result.Reason = "the line lost step " + where +
                    " during the verify, also when read again: check the download wire and run "
                    "the update again";
    result.Sector = d.Sector;
    result.Address = d.Address;
  } else {
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
  }
  view_.SetPanelForm(PanelForm::Error);
  ShowEndOfUpdate();
  vars_.SessionState = State::Ended;
  FinishJob(std::move(result));
}
