// Stand-ins for the serial port and the window, for tests that drive a
// Session without a device or a display.
#pragma once

#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "session/session.h"

// A port whose input is a script. Bytes "arrived" are read at once; bytes
// "in flight" arrive one at a time, each after a reader has polled and found
// nothing, as a device's bytes trickle in while a block waits for them.
class FakePort : public SessionPort {
 public:
  std::deque<uint8_t> Arrived;
  std::deque<uint8_t> InFlight;
  std::vector<uint8_t> Written;
  bool OpenSucceeds = true;
  bool IsConnected = false;
  // Writes that still succeed; negative means all do.
  int64_t WritesBeforeFailure = -1;
  int OpenCalls = 0;
  int FailedWrites = 0;

  bool Open() override {
    ++OpenCalls;
    if (OpenSucceeds) IsConnected = true;
    return OpenSucceeds;
  }
  bool Connected() const override { return IsConnected; }
  uint32_t Read(void* buffer, uint32_t count) override {
    uint32_t done = 0;
    auto* out = static_cast<uint8_t*>(buffer);
    while (done < count) {
      if (Arrived.empty() && !InFlight.empty() && polledEmpty_) {
        Arrived.push_back(InFlight.front());
        InFlight.pop_front();
      }
      if (Arrived.empty()) break;
      out[done++] = Arrived.front();
      Arrived.pop_front();
    }
    polledEmpty_ = done == 0;
    return done;
  }
  uint32_t Write(const void* buffer, uint32_t count) override {
    if (!IsConnected || WritesBeforeFailure == 0) {
      ++FailedWrites;
      return 0;
    }
    if (WritesBeforeFailure > 0) --WritesBeforeFailure;
    const auto* in = static_cast<const uint8_t*>(buffer);
    Written.insert(Written.end(), in, in + count);
    return count;
  }

  // Moves up to `count` bytes of the script into the port's input queue.
  void Deliver(size_t count) {
    for (; count > 0 && !InFlight.empty(); --count) {
      Arrived.push_back(InFlight.front());
      InFlight.pop_front();
    }
    polledEmpty_ = false;
  }
  void Script(const std::string& bytes) {
    InFlight.insert(InFlight.end(), bytes.begin(), bytes.end());
  }
  std::string WrittenText() const { return std::string(Written.begin(), Written.end()); }

 private:
  bool polledEmpty_ = false;
};

// Records everything the session shows; dialogs and warnings are answered
// from queues.
class RecordingWindow : public SessionWindow {
 public:
  std::string Log;
  PanelForm Panel = PanelForm::Initial;  // the last form; counts leave it
  std::vector<int32_t> PanelCounts;
  std::vector<int32_t> Progress;
  std::map<StepLabel, LabelColour> Labels;
  std::map<Control, bool> Enabled;
  std::vector<std::string> Warnings;
  std::map<FileDialog, std::deque<std::optional<std::string>>> DialogAnswers;
  std::vector<FileDialog> DialogsRun;
  int Repaints = 0;
  int KeepPaintedCalls = 0;
  // Every call in order, so that two runs can be compared whole.
  std::vector<std::string> Trace;

  static std::string Num(auto value) { return std::to_string(static_cast<int64_t>(value)); }

  void LogWrite(std::string_view text) override {
    Log += text;
    Trace.push_back("log " + std::string(text));
  }
  void SetPanelForm(PanelForm form) override {
    Panel = form;
    Trace.push_back("panel " + Num(form));
  }
  void SetPanelCount(int32_t count) override {
    PanelCounts.push_back(count);
    Trace.push_back("count " + Num(count));
  }
  void RepaintPanelNow() override { Trace.push_back("repaint " + Num(++Repaints)); }
  void SetProgress(int32_t percent) override {
    Progress.push_back(percent);
    Trace.push_back("progress " + Num(percent));
  }
  void SetLabelColour(StepLabel label, LabelColour colour) override {
    Labels[label] = colour;
    Trace.push_back("label " + Num(label) + " " + Num(colour));
  }
  void SetEnabled(Control control, bool enabled) override {
    Enabled[control] = enabled;
    Trace.push_back("enable " + Num(control) + " " + Num(enabled));
  }
  void ShowWarning(std::string_view text) override {
    Warnings.emplace_back(text);
    Trace.push_back("warning " + std::string(text));
  }
  std::optional<std::string> RunFileDialog(FileDialog dialog) override {
    DialogsRun.push_back(dialog);
    Trace.push_back("dialog " + Num(dialog));
    auto& answers = DialogAnswers[dialog];
    if (answers.empty()) return std::nullopt;
    std::optional<std::string> answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void KeepPainted() override { Trace.push_back("paint " + Num(++KeepPaintedCalls)); }
  void JobStarted(Job job) override {
    Started.push_back(job);
    Trace.push_back("job " + Num(job));
  }
  void JobFinished(Job job, const JobResult& result) override {
    Finished.emplace_back(job, result);
    Trace.push_back("end " + Num(job) + " " + Num(result.Outcome) + " " + Num(result.Failure));
  }

  bool Confirm(std::string_view question) override {
    Questions.emplace_back(question);
    Trace.push_back("confirm " + std::string(question));
    return ConfirmAnswer;
  }
  void KeepIdentity(const DeviceIdentity& identity, std::span<const uint8_t> rawBlock) override {
    Kept.emplace_back(identity, std::vector<uint8_t>(rawBlock.begin(), rawBlock.end()));
    Trace.push_back("keep identity");
  }

  std::vector<Job> Started;
  std::vector<std::pair<Job, JobResult>> Finished;
  bool ConfirmAnswer = true;
  std::vector<std::string> Questions;
  std::vector<std::pair<DeviceIdentity, std::vector<uint8_t>>> Kept;
};

// The one door through which tests set up what a device would have set.
class SessionTestAccess {
 public:
  static void SetState(Session& s, Session::State state) { s.vars_.SessionState = state; }
  static void SetDataUse(Session& s, Session::DataUse use) { s.vars_.JobKind = use; }
  static std::array<uint32_t, SectorTableSize>& SectorStart(Session& s) {
    return s.vars_.SectorStart;
  }
  static std::array<uint8_t, SectorCount>& SectorSelected(Session& s) {
    return s.vars_.SectorSelected;
  }
  // The device's sector table with a count byte of `top` (sectors 0 to top).
  static std::array<uint32_t, SectorTableSize>& SectorTable(Session& s, int32_t top) {
    s.vars_.SectorTableTop = top;
    return s.vars_.SectorStart;
  }
  static void SetSelectedSectorCount(Session& s, int32_t count) {
    s.vars_.SelectedSectorCount = count;
  }
  static void SetCurrentSector(Session& s, int32_t sector) { s.vars_.CurrentSector = sector; }
  static void SetReceiveIndex(Session& s, int32_t index) { s.vars_.ReceiveIndex = index; }
  static void SetWordsToRead(Session& s, int32_t words) { s.vars_.WordsToRead = words; }
  static void NextSelectedSector(Session& s) { s.NextSelectedSector(); }
};
