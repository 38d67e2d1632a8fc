// The window's widgets as the session drives them: the status panel, the
// progress bar, the step labels and the controls. Only the window has them;
// a session without a view drives nothing.
#pragma once

#include <cstdint>

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

class WidgetView {
 public:
  virtual ~WidgetView() = default;
  virtual void SetPanelForm(PanelForm form) = 0;
  // The count form: the caption becomes the number, the colour stays.
  virtual void SetPanelCount(int32_t count) = 0;
  // Paints the status panel's latest state at once.
  virtual void RepaintPanelNow() = 0;
  virtual void SetProgress(int32_t percent) = 0;
  virtual void SetLabelColour(StepLabel label, LabelColour colour) = 0;
  virtual void SetEnabled(Control control, bool enabled) = 0;
};
