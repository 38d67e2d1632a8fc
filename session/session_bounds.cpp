// Bounded waits: the session has no timer of its own; the front end calls
// Tick, and a job whose device stays silent beyond the bound of what it waits
// for ends with a line naming the step, instead of waiting for good.
#include "session.h"

std::chrono::milliseconds Session::SilenceBound() const {
  if (!runningJob_) return std::chrono::milliseconds(0);
  switch (vars_.SessionState) {
    case State::AwaitBootstrapAnswer:
      return BootstrapAnswerTimeout;
    case State::AwaitEraseResult:
    case State::AwaitProgramResult:
      return FlashOperationTimeout;
    case State::Ended:
      return std::chrono::milliseconds(0);
    default:
      return DeviceReplyTimeout;
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
      return "the verify data of sector " + std::to_string(verifyIndex_ < sentSectors_.size()
                                                               ? sentSectors_[verifyIndex_].Sector
                                                               : vars_.CurrentSector);
    case State::Ended:
      break;
  }
  return "the device";
}

void Session::EndSilentJob(std::chrono::milliseconds bound) {
  const std::string step = WaitingFor();
  const bool connecting = runningJob_ == Job::Connect;
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
  window_.SetPanelForm(PanelForm::Error);
  if (connecting) {
    // The operator may have chosen the wrong port: it can be changed again.
    for (Control control : {Control::Button3, Control::Button1, Control::RadioButton1,
                            Control::RadioButton2, Control::RadioButton6, Control::RadioButton7}) {
      window_.SetEnabled(control, true);
    }
  }
  vars_.SessionState = State::Idle;
  FinishJob(JobOutcome::Failed, JobFailure::DeviceSilent, "no answer while waiting for " + step,
            sector);
  CloseAllFiles();
}
