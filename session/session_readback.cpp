// The read-back of sectors 8 and 9 into a destination file.
#include "platform/file_search.h"
#include "platform/own_files.h"
#include "session.h"
#include "wire.h"

void Session::RegisterOwnFiles() {
  const std::vector<std::string> folders{WorkingDirectory, UploadFolder, ProgramFolder};
  for (const std::string& name :
       {std::string("Loader.hex"), std::string(Part.RoutineFileName), std::string("empty")}) {
    const FoundFile found = FindInFolders(folders, name);
    if (!found.Path.empty()) OwnFiles::OfThisRun().Add(found.Path, "the program's file " + name);
  }
}

void Session::SendReadSectorCommand() {
  run_.ReadBack.SectorWords = 0;
  Log("<command: read sector " + std::to_string(vars_.CurrentSector) + ">\r\n");
  Send(wire::CmdReadSector);
  Send(static_cast<uint8_t>(vars_.CurrentSector & 0xFF));
  RequestWord();
}

void Session::DoStartReadBack(const std::string& destination) {
  BeginJob(Job::ReadBack);
  vars_.JobKind = DataUse::ToDestinationFile;
  vars_.SectorSelected.fill(0);
  for (int32_t sector : Part.ServiceSectors) vars_.SectorSelected[static_cast<size_t>(sector)] = 1;
  vars_.SelectedSectorCount = static_cast<int32_t>(Part.ServiceSectors.size());
  vars_.WordsToRead = static_cast<int32_t>(Part.ServiceBytes() / 2);
  vars_.DestinationFileName.clear();

  if (!destination.empty()) {
    Log("<destination file: " + destination + " >\r\n");
    vars_.DestinationFileName = destination;
  }
  if (vars_.DestinationFileName.empty()) {
    observer_.Warning("you need to choose a destination file");
    vars_.JobKind = DataUse::KeepOrShow;
    RefuseJob(JobFailure::Cancelled, "no destination file chosen");
    return;
  }
  if (RefuseUnlessConnected()) return;
  // The words go into a new file beside the destination, which takes its
  // place only once the read is complete: a file of the destination's name
  // is always whole. None of the program's own files, nor a destination
  // taken already in this run, is ever one; a device, a pipe or a folder is
  // refused.
  RegisterOwnFiles();
  SysError cause;
  if (const std::string own = OwnFiles::OfThisRun().Check(vars_.DestinationFileName);
      !own.empty()) {
    Log("<ERR: \"" + vars_.DestinationFileName + "\" is " + own +
        ": it is not overwritten, choose another destination file>\r\n");
    view_.SetPanelForm(PanelForm::Error);
    RefuseJob(JobFailure::FileError, "the destination " + vars_.DestinationFileName + " is " + own);
    return;
  }
  if (!files_.DestinationFile.Begin(vars_.DestinationFileName, "the read-back", cause)) {
    {
      Log("<ERR: couldn`t create/open destination file \"" + vars_.DestinationFileName +
          "\" >\r\n");
      Log("<" + cause.Text + ">\r\n");
    }
    view_.SetPanelForm(PanelForm::Error);
    RefuseJob(JobFailure::FileError, "cannot write the read-back to " + cause.Text);
    return;
  }
  vars_.SectorsDone = 0;
  vars_.CurrentSector = -1;
  view_.SetPanelForm(PanelForm::Neutral);
  Log("\r\n");
  vars_.TransferCount = 0;
  Log("\r\n<flashroutine waiting for command...>\r\n");
  NextSelectedSector();
  SendReadSectorCommand();
  vars_.SessionState = State::AwaitReadWordFirst;
}

void Session::State2NextSector() {
  if (vars_.SectorsDone < vars_.SelectedSectorCount) {
    // Until the device says it is ready no command has gone out, and no data
    // can come: any other byte leaves the session waiting here.
    if (vars_.CurrentChar != wire::RepReady) return;
    Log("\r\n<flashroutine waiting for command...>\r\n");
    NextSelectedSector();
    SendReadSectorCommand();
    vars_.SessionState = State::AwaitReadWordFirst;
    return;
  }
  Log("\r\n<all selected sectors are read now>\r\n");
  vars_.SessionState = State::AwaitReadReport;
}

void Session::State3Or4DataByte() {
  ReadBackRun& readBack = run_.ReadBack;
  if (readBack.Stopped) {
    // The rest of the word the device had sent before it heard the stop: it
    // goes nowhere and counts for nothing.
    vars_.SessionState = vars_.ActiveState == State::AwaitReadWordFirst
                             ? State::AwaitReadWordSecond
                             : State::AwaitReadWordStatus;
    return;
  }
  if (vars_.JobKind == DataUse::ToDestinationFile) {
    try {
      SysError cause;
      // Written through byte by byte: a read-back cut short by a silent
      // device still leaves every word that arrived on disk.
      if (!files_.DestinationFile.Write(&vars_.CurrentChar, 1, cause))
        throw InOutError(IoDiskWriteError);
    } catch (const InOutError&) {
      // A destination that takes no more (a full disk) ends the read: the
      // device is told to stop, so that it waits for a command again instead
      // of feeding the next job the rest of these sectors.
      readBack.Stopped = true;
      Send(wire::CmdStop);
      if (files_.DestinationFile.IsOpen()) readBack.PartPath = files_.DestinationFile.Keep();
      Log("\r\n<ERR: destination file could not be written, read stopped>\r\n");
      NoteUnfinishedReadBack();
      view_.SetPanelForm(PanelForm::Error);
      throw;
    }
  } else if (vars_.JobKind == DataUse::KeepOrShow) {
    LogDeviceChar(vars_.CurrentChar);
  }
  if (vars_.ActiveState == State::AwaitReadWordFirst) {
    vars_.SessionState = State::AwaitReadWordSecond;
    return;
  }
  ++vars_.TransferCount;
  // A sector holds so many words and no more: a device that sends more for
  // one sector has lost step, and the file would be no true copy.
  const auto sector = static_cast<size_t>(vars_.CurrentSector);
  uint32_t sectorBytes = 0;
  if (vars_.CurrentSector >= 0 && sector + 1 < vars_.SectorStart.size() &&
      vars_.SectorStart[sector + 1] > vars_.SectorStart[sector]) {
    sectorBytes = vars_.SectorStart[sector + 1] - vars_.SectorStart[sector];
  } else if (vars_.CurrentSector >= 0 && vars_.CurrentSector < Part.SectorCount()) {
    sectorBytes = Part.SectorSizes[sector];
  }
  if (++run_.ReadBack.SectorWords > (sectorBytes + 1) / 2) run_.ReadBack.Garbled = true;
  SetProgressOf(JobPhase::Read, vars_.TransferCount, vars_.WordsToRead, "words");
  view_.SetPanelCount(vars_.TransferCount);
  vars_.SessionState = State::AwaitReadWordStatus;
}

void Session::State5WordStatus() {
  // A stopped read has nothing more to ask for; the device's "a" after the
  // stop ends up here.
  if (run_.ReadBack.Stopped) return;
  if (vars_.CurrentChar == wire::RepWordSent) {
    if (vars_.TransferCount < vars_.WordsToRead) {
      RequestWord();
      vars_.SessionState = State::AwaitReadWordFirst;
    } else {
      Send(wire::CmdStop);
      vars_.SessionState = State::AwaitReadReport;
    }
  } else if (vars_.CurrentChar == wire::RepSectorEnd) {
    ++vars_.SectorsDone;
    if (vars_.SectorsDone < vars_.SelectedSectorCount) {
      vars_.SessionState = State::AwaitReadPrompt;
    } else {
      Log("\r\n<all selected sectors are read now>\r\n");
      vars_.SessionState = State::AwaitReadReport;
    }
  } else {
    // The device follows every word with "g" or "f": anything else means a
    // byte was lost or added on the line and the file is shifted from here.
    run_.ReadBack.Garbled = true;
  }
}

void Session::State6Report() {
  const bool garbled = run_.ReadBack.Garbled;
  std::string& part = run_.ReadBack.PartPath;
  if (garbled) {
    Log("\r\n<ERR: data garbled on the line, the destination file is no true copy>\r\n");
  } else {
    Log("\r\n<done>\r\n");
  }
  Log("<    " + std::to_string(vars_.TransferCount) + "words of " +
      std::to_string(vars_.WordsToRead) + "words read>\r\n");
  view_.SetPanelForm(garbled ? PanelForm::Error : PanelForm::Success);
  // Another job start may have closed the file already.
  bool renamed = true;
  if (vars_.JobKind == DataUse::ToDestinationFile && files_.DestinationFile.IsOpen()) {
    SysError cause;
    if (garbled) {
      part = files_.DestinationFile.Keep();
      Log("<what was read is in " + part + ">\r\n");
    } else if (!files_.DestinationFile.Commit(cause)) {
      renamed = false;
      Log("<ERR: the read-back could not be put in place as " + vars_.DestinationFileName + ": " +
          cause.Text + ">\r\n");
      view_.SetPanelForm(PanelForm::Error);
    }
    part.clear();
  }
  view_.SetEnabled(Control::Button4, true);
  vars_.SessionState = State::Idle;
  if (RunningJob() == Job::ReadBack) {
    if (!renamed) {
      FinishJob(JobOutcome::Failed, JobFailure::FileError,
                "the read-back could not be put in place as " + vars_.DestinationFileName);
    } else if (garbled) {
      FinishJob(JobOutcome::Failed, JobFailure::DeviceGarbled, "read-back garbled on the line");
    } else {
      FinishJob(JobOutcome::Ok, JobFailure::None, "");
    }
  }
}
