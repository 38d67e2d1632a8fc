// The read-back of sectors 8 and 9 into a destination file.
#include "session.h"
#include "wire.h"

namespace {

constexpr int32_t ReadBackWords = 65536;
constexpr int32_t ReadBackSectors[] = {8, 9};

}  // namespace

void Session::DoRadioButton5Click() {
  const std::optional<std::string> chosen = window_.RunFileDialog(FileDialog::OpenDialog5);
  if (!chosen) return;
  Log("<destination file: " + *chosen + " >\r\n");
  DestinationFileName = *chosen;
}

void Session::SendReadSectorCommand() {
  Log("<command: read sector " + std::to_string(CurrentSector) + ">\r\n");
  Send(wire::CmdReadSector);
  Send(static_cast<uint8_t>(CurrentSector & 0xFF));
  Send(wire::CmdNextWord);
}

void Session::DoButton11Click() {
  CloseUnfinishedReadBack();
  JobKind = 3;
  SectorSelected.fill(0);
  for (int32_t sector : ReadBackSectors) SectorSelected[static_cast<size_t>(sector)] = 1;
  SelectedSectorCount = static_cast<int32_t>(std::size(ReadBackSectors));
  WordsToRead = ReadBackWords;
  DestinationFileName.clear();
  readBackGarbled_ = false;
  readBackStopped_ = false;

  if (const std::optional<std::string> chosen = window_.RunFileDialog(FileDialog::OpenDialog5)) {
    Log("<destination file: " + *chosen + " >\r\n");
    DestinationFileName = *chosen;
  }
  if (DestinationFileName.empty()) {
    window_.ShowWarning("you need to choose a destination file");
    JobKind = 1;
    return;
  }
  // Written through byte by byte: a read-back cut short by a silent device
  // still leaves every word that arrived on disk.
  DestinationFile.SetWriteBuffered(false);
  if (!DestinationFile.Create(DestinationFileName)) {
    Log("<ERR: couldn`t create/open destination file \"" + DestinationFileName + "\" >\r\n");
    window_.SetPanelForm(PanelForm::Error);
    return;
  }
  SectorsDone = 0;
  CurrentSector = -1;
  window_.SetPanelForm(PanelForm::Neutral);
  Log("\r\n");
  TransferCount = 0;
  Log("\r\n<flashroutine waiting for command...>\r\n");
  NextSelectedSector();
  SendReadSectorCommand();
  SessionState = 3;
}

void Session::State2NextSector() {
  if (SectorsDone < SelectedSectorCount) {
    // Until the device says it is ready no command has gone out, and no data
    // can come: any other byte leaves the session waiting here.
    if (CurrentChar != wire::RepReady) return;
    Log("\r\n<flashroutine waiting for command...>\r\n");
    NextSelectedSector();
    SendReadSectorCommand();
    SessionState = 3;
    return;
  }
  Log("\r\n<all selected sectors are read now>\r\n");
  SessionState = 6;
}

void Session::State3Or4DataByte() {
  if (readBackStopped_) {
    // The rest of the word the device had sent before it heard the stop: it
    // goes nowhere and counts for nothing.
    SessionState = ActiveState == 3 ? 4 : 5;
    return;
  }
  if (JobKind == 3) {
    try {
      DestinationFile.WriteByte(CurrentChar);
    } catch (const InOutError&) {
      // A destination that takes no more (a full disk) ends the read: the
      // device is told to stop, so that it waits for a command again instead
      // of feeding the next job the rest of these sectors.
      readBackStopped_ = true;
      Send(wire::CmdStop);
      if (DestinationFile.IsOpen()) {
        try {
          DestinationFile.Close();
        } catch (const InOutError&) {
        }
      }
      Log("\r\n<ERR: destination file could not be written, read stopped>\r\n");
      window_.SetPanelForm(PanelForm::Error);
      throw;
    }
  } else if (JobKind == 1) {
    LogDeviceChar(CurrentChar);
  }
  if (ActiveState == 3) {
    SessionState = 4;
    return;
  }
  ++TransferCount;
  SetProgressOf(TransferCount, WordsToRead);
  window_.SetPanelCount(TransferCount);
  SessionState = 5;
}

void Session::State5WordStatus() {
  // A stopped read has nothing more to ask for; the device's "a" after the
  // stop ends up here.
  if (readBackStopped_) return;
  if (CurrentChar == wire::RepWordSent) {
    if (TransferCount < WordsToRead) {
      Send(wire::CmdNextWord);
      SessionState = 3;
    } else {
      Send(wire::CmdStop);
      SessionState = 6;
    }
  } else if (CurrentChar == wire::RepSectorEnd) {
    ++SectorsDone;
    if (SectorsDone < SelectedSectorCount) {
      SessionState = 2;
    } else {
      Log("\r\n<all selected sectors are read now>\r\n");
      SessionState = 6;
    }
  } else {
    // The device follows every word with "g" or "f": anything else means a
    // byte was lost or added on the line and the file is shifted from here.
    readBackGarbled_ = true;
  }
}

void Session::State6Report() {
  if (readBackGarbled_) {
    Log("\r\n<ERR: data garbled on the line, the destination file is no true copy>\r\n");
  } else {
    Log("\r\n<done>\r\n");
  }
  Log("<    " + std::to_string(TransferCount) + "words of " + std::to_string(WordsToRead) +
      "words read>\r\n");
  window_.SetPanelForm(readBackGarbled_ ? PanelForm::Error : PanelForm::Success);
  // Another job start may have closed the file already.
  if (JobKind == 3 && DestinationFile.IsOpen()) DestinationFile.Close();
  window_.SetEnabled(Control::Button4, true);
  SessionState = 0;
}
