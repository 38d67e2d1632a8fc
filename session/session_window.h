// The window as the session sees it: exactly what the device protocol and the
// jobs need to report and to ask the operator. TForm1 implements it with
// widgets; tests implement it with a recorder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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
};
