// The window as the session sees it: exactly what the device protocol and the
// jobs need to report and to ask the operator. TForm1 implements it with
// widgets; tests implement it with a recorder.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "firmware/identity.h"

// The operator-step labels, by their names in the window.
enum class StepLabel : uint8_t {
  Label1,   // "4. are you  <connected> now?"
  Label2,   // "if not, repeat step 2. and 3. "
  Label3,   // "1. Select a serial Interface"
  Label4,   // "6. update the Device"
  Label5,   // "2. reset Device by power up"
  Label6,   // "5. verify Hardware"
  Label7,   // "7. power down the Device"
  Label8,   // "3."
  Label9,   // "0. Plug In the Download-Wire"
  Label10,  // "and unplug the Download-Wire"
};

enum class LabelColour : uint8_t { Yellow, ButtonFace };

// The controls the session enables and disables.
enum class Control : uint8_t {
  Button1,       // "setup"
  Button3,       // "connect"
  Button4,       // "download"
  Button6,       // "verify hardware"
  RadioButton1,  // "COM1"
  RadioButton2,  // "COM2"
  RadioButton6,  // "COM3"
  RadioButton7,  // "COM4"
};

// Forms of the status panel Panel5.
enum class PanelForm : uint8_t {
  Initial,  // inherited button face, caption of two spaces
  Neutral,  // button face, caption " "
  Success,  // green, "OK"
  Error,    // red, "ERR"
};

// The two file-open dialogs of the window.
enum class FileDialog : uint8_t {
  OpenDialog3,  // "select new firmware", "(*.*)|*.*"
  OpenDialog5,  // "Zieldatei", "(*.2bf)|*.2bf|(*.*)|*.*"
};

// The jobs an operator starts.
enum class Job : uint8_t {
  Connect,         // "connect": upload loader and flash routine, read the sector table
  VerifyHardware,  // "verify hardware": read the device's identity
  Download,        // "download": check, patch, erase and program an image
  ReadBack,        // read sectors 8 and 9 into a file
  EraseOnly,       // erase sectors 8 and 9 and program "empty"
};

enum class JobOutcome : uint8_t {
  Ok,       // the job did what it was asked
  Failed,   // it started on the device and did not finish
  Refused,  // it was not started on the device: nothing was changed there
};

// Why a job did not end well; None for Ok.
enum class JobFailure : uint8_t {
  None,
  PortNotOpened,      // the serial port could not be opened
  DeviceSilent,       // the device did not answer, or stopped answering
  DeviceGarbled,      // the device's answer made no sense (framing lost, bad values)
  NoIdentity,         // the device holds no identity block
  ImageRefused,       // the image is invalid or does not fit the device
  ProgrammingFailed,  // the device reported a failure for a sector
  VerifyMismatch,     // the read-back after programming differs from what was sent
  FileError,          // a file could not be found, read or written
  NotReady,           // the job cannot run now (not connected, another job running)
  Cancelled,          // the operator cancelled, or the program is closing
};

// How a job ended. Sector, Count and Identity are filled in where they apply.
struct JobResult {
  JobOutcome Outcome = JobOutcome::Ok;
  JobFailure Failure = JobFailure::None;
  std::string Reason;        // short, plain English; empty for Ok
  int32_t Sector = -1;       // the sector concerned, -1 for none
  int64_t Count = 0;         // bytes programmed or verified, or words read
  bool HasIdentity = false;  // Identity holds the device's identity
  DeviceIdentity Identity;
  int64_t Address = -1;  // VerifyMismatch: the first differing address
  int Written = -1;      // VerifyMismatch: the byte sent there
  int Read = -1;         // VerifyMismatch: the byte read back
};

// Short name of a job or an outcome, for logs, reports and the history.
const char* JobName(Job job);
const char* OutcomeName(JobOutcome outcome);

class SessionWindow {
 public:
  virtual ~SessionWindow() = default;
  // Inserts UTF-8 text at the log pane's caret, replacing any selection.
  virtual void LogWrite(std::string_view text) = 0;
  virtual void SetPanelForm(PanelForm form) = 0;
  // The count form: the caption becomes the number, the colour stays.
  virtual void SetPanelCount(int32_t count) = 0;
  // Repaints the status panel at once, even inside a long pass.
  virtual void RepaintPanelNow() = 0;
  virtual void SetProgress(int32_t percent) = 0;
  virtual void SetLabelColour(StepLabel label, LabelColour colour) = 0;
  virtual void SetEnabled(Control control, bool enabled) = 0;
  // Modal warning box with a single OK button, caption "Warnung".
  virtual void ShowWarning(std::string_view text) = 0;
  // Runs a modal file-open dialog; the chosen name, or nothing when cancelled.
  virtual std::optional<std::string> RunFileDialog(FileDialog dialog) = 0;
  // Called now and then inside long passes: lets the window repaint itself,
  // without handling any input and without running anything of the session.
  virtual void KeepPainted() = 0;

  // The job lifecycle: every job that starts reports JobStarted once and then
  // JobFinished once with its outcome. Front ends that only show widgets may
  // ignore them.
  virtual void JobStarted(Job /*job*/) {}
  virtual void JobFinished(Job /*job*/, const JobResult& /*result*/) {}

  // Asks the operator a yes/no question, No being the default; true for Yes.
  // A front end that cannot ask answers No.
  virtual bool Confirm(std::string_view /*question*/) { return false; }
  // The device's identity, just before the first erase of an update: a front
  // end keeps it, so that an interrupted update can be finished (UseIdentity).
  virtual void KeepIdentity(const DeviceIdentity& /*identity*/,
                            std::span<const uint8_t> /*rawBlock*/) {}
};

// A front end without widgets: the status panel, the progress bar, the step
// labels and the buttons have nothing to show on. What it logs, warns of and
// answers stays its own.
class WidgetlessWindow : public SessionWindow {
 public:
  void SetPanelForm(PanelForm /*form*/) override {}
  void SetPanelCount(int32_t /*count*/) override {}
  void RepaintPanelNow() override {}
  void SetProgress(int32_t /*percent*/) override {}
  void SetLabelColour(StepLabel /*label*/, LabelColour /*colour*/) override {}
  void SetEnabled(Control /*control*/, bool /*enabled*/) override {}
  void KeepPainted() override {}
};
