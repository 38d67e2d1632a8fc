// Bounded waits: the session has no timer of its own; the front end calls
// Tick, and a job whose device stays silent beyond the bound of what it waits
// for ends with a line naming the step, instead of waiting for good.
#include <algorithm>

#include "session.h"

std::chrono::milliseconds Session::SilenceBound() const {
  switch (vars_.SessionState) {
    case State::AwaitTablePrompt:
    case State::AwaitTableCount:
    case State::AwaitTableEntryPrompt:
    case State::AwaitTableEntryByte:
      // Bounded even without a job: the routine started the exchange itself.
      return SectorTableByteTimeout;
    default:
      break;
  }
  if (!JobRunning()) return std::chrono::milliseconds(0);
  // The part's own maximum, twice over: room for a slow part and the line.
  // A shorter silence limit never cuts an erase or a programming short.
  switch (vars_.SessionState) {
    case State::AwaitBootstrapAnswer:
      // A station waits for its next board as long as it takes.
      return AwaitingBoard() ? std::chrono::milliseconds(0) : BootstrapAnswerTimeout;
    case State::AwaitEraseResult:
      return std::max(ReplyTimeout, 2 * Part.EraseBound(vars_.CurrentSector));
    case State::AwaitProgramResult:
      return std::max(ReplyTimeout, 2 * Part.ProgramBound(vars_.CurrentSector));
    case State::Ended:
      return std::chrono::milliseconds(0);
    default:
      return ReplyTimeout;
  }
}

std::string Session::WaitingFor() const {
  const std::string sector = "sector " + std::to_string(vars_.CurrentSector);
  switch (vars_.SessionState) {
    case State::Idle:
    case State::AwaitLogCharFirst:
    case State::AwaitLogCharSecond:
      return "the flash routine's sector table and ready report";
    case State::AwaitBootstrapAnswer:
      return "the chip's answer to the start byte";
    case State::AwaitReadPrompt:
      return "the device to be ready for the next sector of the read-back";
    case State::AwaitReadWordFirst:
    case State::AwaitReadWordSecond:
    case State::AwaitReadWordStatus:
      return "the data of " + sector + " (read-back)";
    case State::AwaitReadReport:
      return "the end of the read-back";
    case State::AwaitIdentityWordFirst:
    case State::AwaitIdentityWordSecond:
    case State::AwaitIdentityWordStatus:
    case State::AwaitIdentityEnd:
      return "the identity block";
    case State::AwaitErasePrompt:
      return "the device to be ready for the next erase";
    case State::AwaitEraseResult:
      return "the erase of " + sector;
    case State::AwaitProgramPrompt:
      return "the device to be ready for the next sector's data";
    case State::AwaitProgramResult:
      return "the programming of " + sector;
    case State::AwaitFinalReport:
      return "the device's last reply of the update";
    case State::AwaitVerifyPrompt:
      return "the device to be ready for the verify of the next sector";
    case State::AwaitVerifyWordFirst:
    case State::AwaitVerifyWordSecond:
    case State::AwaitVerifyWordStatus:
      return "the verify data of sector " +
             std::to_string(run_.Flash.VerifyIndex < run_.Flash.SentSectors.size()
                                ? run_.Flash.SentSectors[run_.Flash.VerifyIndex].Sector
                                : vars_.CurrentSector);
    case State::AwaitTablePrompt:
    case State::AwaitTableCount:
    case State::AwaitTableEntryPrompt:
    case State::AwaitTableEntryByte:
      return "the sector table";
    case State::SendingSectorData:
      return "the device to take the data of " + sector;
    case State::Ended:
      break;
  }
  return "the device";
}

void Session::EndSilentJob(std::chrono::milliseconds bound) {
  if (WaitingFor() == "the sector table") {
    // "connect" stays usable for another try; the sizes of a table that
    // stopped half way are not taken.
    Log("<ERR: device did not answer during the sector table exchange>\r\n");
    view_.SetPanelForm(PanelForm::Error);
    vars_.SectorStart.fill(0);
    table_.Unusable = true;
    vars_.SessionState = State::Idle;
    if (RunningJob() == Job::Connect) {
      FinishJob(JobOutcome::Failed, JobFailure::DeviceSilent,
                "no answer during the sector table exchange");
    }
    return;
  }
  const std::string step = WaitingFor();
  const bool connecting = RunningJob() == Job::Connect;
  const bool bootstrap = vars_.SessionState == State::AwaitBootstrapAnswer;
  const int32_t sector = vars_.SessionState == State::AwaitEraseResult ||
                                 vars_.SessionState == State::AwaitProgramResult
                             ? vars_.CurrentSector
                             : -1;
  const std::string seconds =
      std::to_string(std::chrono::duration_cast<std::chrono::seconds>(bound).count()) + " s";
  if (bootstrap) {
    Log("<ERR: the chip did not answer the start byte within " + seconds +
        ": check the port and the download wire, power the device up in bootstrap mode and "
        "press connect again>\r\n");
  } else {
    Log("<ERR: no answer from the device for " + seconds + " while waiting for " + step +
        "; files closed. Power the device down and up, then choose start over>\r\n");
  }
  view_.SetPanelForm(PanelForm::Error);
  if (connecting) OfferConnectAgain();
  vars_.SessionState = State::Idle;
  FinishJob(JobOutcome::Failed, JobFailure::DeviceSilent, "no answer while waiting for " + step,
            sector);
  CloseAllFiles();
}

void Session::OfferConnectAgain() {
  // The operator may have chosen the wrong port: it can be changed again.
  for (Control control : {Control::Button3, Control::Button1, Control::RadioButton1,
                          Control::RadioButton2, Control::RadioButton6, Control::RadioButton7}) {
    view_.SetEnabled(control, true);
  }
}

void Session::EndJobOnLostLine(const std::string& cause) {
  try {
    if (vars_.SessionState == State::SendingSectorData) {
      // As when the writes fail: the rest of the sector cannot go out.
      EndSectorSendFailed();
      return;
    }
    const std::string step = WaitingFor();
    const int32_t sector = vars_.SessionState == State::AwaitEraseResult ||
                                   vars_.SessionState == State::AwaitProgramResult
                               ? vars_.CurrentSector
                               : -1;
    Log("<ERR: " + cause + " while waiting for " + step +
        "; files closed. Plug the download wire back in, power the device down and up, then "
        "choose start over>\r\n");
    view_.SetPanelForm(PanelForm::Error);
    if (RunningJob() == Job::Connect) OfferConnectAgain();
    if (step == "the sector table") {
      // The sizes of a table that stopped half way are not taken.
      vars_.SectorStart.fill(0);
      table_.Unusable = true;
    }
    vars_.SessionState = State::Idle;
    FinishJob(JobOutcome::Failed, JobFailure::DeviceSilent, cause + " while waiting for " + step,
              sector);
    CloseAllFiles();
  } catch (const InOutError& error) {
    ReportFileFailure(error.Code());
  }
}

void Session::GiveUp(const std::string& reason) {
  if (!JobRunning()) return;
  try {
    Log("<ERR: " + reason +
        "; files closed. Power the device down and up, then choose start "
        "over>\r\n");
    view_.SetPanelForm(PanelForm::Error);
    vars_.SessionState = State::Idle;
    FinishJob(JobOutcome::Failed, JobFailure::DeviceSilent, reason);
    CloseAllFiles();
  } catch (const InOutError& error) {
    ReportFileFailure(error.Code());
  }
}
