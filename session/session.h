// The device session: the session variables, the receive dispatcher
// Comm1CharReceived with the blocks of states 0 to 18, and the handlers that
// start the jobs (connect, verify hardware, download, read-back, erase-only).
//
// Everything here runs on the window thread. The session knows neither Qt nor
// the OS: it talks to the device through SessionPort and to the operator
// through SessionWindow.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "seq_file.h"
#include "session_port.h"
#include "session_window.h"

constexpr int SectorCount = 35;      // flags of SectorSelected: sectors 0 to 34
constexpr int SectorTableSize = 36;  // entries of SectorStart
constexpr int IdentityAreaSize = 4100;
constexpr int IdentityBlockBytes = 4096;

class Session {
 public:
  Session(SessionPort& port, SessionWindow& window);

  // --- Settings of the host side (not device state) ---
  // Folder in which Loader.hex, F29f160d.hex and "empty" are looked up; empty
  // means the working directory.
  std::string WorkingDirectory;
  // Full path of the temporary image; empty when no private place exists.
  std::string TemporaryImagePath;
  // Longest wait for one byte inside the sector-table exchange.
  std::chrono::milliseconds SectorTableByteTimeout{2000};
  // The pause of "connect" before it starts the bootstrap.
  std::function<void(std::chrono::milliseconds)> Pause;

  // --- Handlers, as the window binds them ---
  void FormActivate();
  void Button3Click();       // "connect"
  void Button6Click();       // "verify hardware"
  void Button4Click();       // "download"
  void Button7Click();       // erase sectors 8 and 9 ("empty")
  void Button11Click();      // read sectors 8 and 9 into a file
  void RadioButton5Click();  // choose the destination file
  void Comm1CharReceived(uint32_t cbInQue);
  void Comm1CommEvent(uint32_t events, uint32_t state);
  void Comm1CommError(uint32_t errorCode);
  // The program ends: files still open are closed, keeping what was written.
  void Shutdown();

  // True while sectors are being erased or programmed (states 11 to 14):
  // leaving now would leave the device half programmed.
  bool FlashJobRunning() const;
  // True while the dispatcher or a handler is running.
  bool Busy() const { return busy_ > 0; }

  // Moves CurrentSector to the next selected sector above it, if any.
  void NextSelectedSector();
  // Value of one hexadecimal digit; "0" and every other character give 0.
  static uint8_t HexDigitValue(char c);

  // --- Session variables ---
  int32_t SessionState = 0;
  int32_t ActiveState = 0;
  uint8_t JobKind = 1;
  int32_t CurrentSector = -1;
  int32_t SelectedSectorCount = 0;
  std::array<uint8_t, SectorCount> SectorSelected{};
  std::array<uint32_t, SectorTableSize> SectorStart{};
  int32_t SectorTableTop = 0;
  int32_t SectorsErased = 0;
  int32_t SectorsDone = 0;
  int32_t TransferCount = 0;
  int32_t ImageSize = 0;
  int32_t SectorBytesLeft = 0;
  int32_t LoaderFileSize = 0;
  int32_t FlashRoutineFileSize = 0;
  SeqFile LoaderFile;
  SeqFile FlashRoutineFile;
  SeqFile ImageFile;
  SeqFile DestinationFile;
  std::string DestinationFileName;
  int32_t WordsToRead = 200;
  std::array<uint8_t, 3> ReadAddress{};
  std::array<uint8_t, IdentityAreaSize> IdentityArea{};
  int32_t ReceiveIndex = 0;
  uint8_t CurrentChar = 0;

  // Device identity, from "verify hardware".
  std::string DeviceProductName;
  std::string DeviceHardwareVersion;
  uint32_t DeviceSerialNumber = 0;
  bool DeviceSerialNumberFound = false;
  std::string DeviceBrandLabel;

 private:
  // Runs one handler body; a file failure ends it with the run-time's warning.
  void Guarded(void (Session::*body)());
  void Log(std::string_view text);
  // One device byte in the log, read as a Windows-1252 character.
  void LogDeviceChar(uint8_t value);
  std::string InWorkingDirectory(const std::string& name) const;
  // One byte to the device; false when the port took nothing.
  bool Send(uint8_t value);
  void SetProgressOf(int64_t count, int64_t total);
  void CloseUnfinishedReadBack();
  void RunStateBlock(int32_t state);

  // Bodies of the handlers.
  void DoButton3Click();
  void DoButton6Click();
  void DoButton4Click();
  void DoButton7Click();
  void DoButton11Click();
  void DoRadioButton5Click();
  void DoShutdown();

  // Connection and upload.
  void State0Idle();
  enum class TableExchange { Complete, Silent, Garbled };
  TableExchange ExchangeSectorTable();
  bool WaitForByte(uint8_t& value);
  void State1Upload();
  void UploadPairs(SeqFile& file, int32_t pairs);
  void State16Or17LogChar();

  // Identity read.
  void State7Or8StoreByte();
  void State9WordStatus();
  void State10Evaluate();

  // Read-back.
  void State2NextSector();
  void State3Or4DataByte();
  void State5WordStatus();
  void State6Report();
  void SendReadSectorCommand();

  // Erase and programming.
  bool StartErasePhase();
  void State11NextErase();
  void State12Erased();
  void State13NextProgram();
  bool SendSectorData();
  void State14ProgramResult();
  void State15FinalReport();
  void EndWithFaultySectorList();
  void ShowEndOfUpdate();

  SessionPort& port_;
  SessionWindow& window_;
  int busy_ = 0;
  // ImageFile is the patched temporary image (not the erase-only file): only
  // that one may be deleted after programming.
  bool imageIsTemporary_ = false;
  // The device reported "d" for a sector of this job.
  bool programmingFailed_ = false;
  // The last sector-table exchange failed: the flash routine's "a" that may
  // still follow does not make a connection, as its sizes cannot be trusted.
  bool sectorTableUnusable_ = false;
  // A word of the identity read was not followed by "g": its bytes are shifted
  // and the block cannot be trusted.
  bool identityGarbled_ = false;
  // The read-back's words lost their framing, or its destination refused a
  // byte (the read was then stopped and the rest of its bytes go nowhere).
  bool readBackGarbled_ = false;
  bool readBackStopped_ = false;
};
