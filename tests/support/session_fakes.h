// Stand-ins for the serial port and the front end, for the tests and the
// fuzzers that drive a Session without a device or a display, and the one
// door through which they set up what a device would have set.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
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
  // Long runs count what is written instead of keeping it.
  bool KeepWritten = true;
  uint64_t WriteCount = 0;
  // Reads that found nothing, and the largest count asked of one call.
  uint64_t DryReads = 0;
  uint32_t LargestRead = 0;
  uint32_t LargestWrite = 0;
  // Called for every byte handed out, and for every byte the session tries
  // to write (also when the write fails).
  std::function<void()> OnByteRead;
  std::function<void(uint8_t)> OnWrite;

  bool Open() override {
    ++OpenCalls;
    if (OpenSucceeds) IsConnected = true;
    return OpenSucceeds;
  }
  bool Connected() const override { return IsConnected; }
  uint32_t Read(void* buffer, uint32_t count) override {
    LargestRead = std::max(LargestRead, count);
    if (!IsConnected) {
      ++DryReads;
      return 0;
    }
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
      if (OnByteRead) OnByteRead();
    }
    polledEmpty_ = done == 0;
    if (done == 0) ++DryReads;
    return done;
  }
  uint32_t Write(const void* buffer, uint32_t count) override {
    LargestWrite = std::max(LargestWrite, count);
    const auto* in = static_cast<const uint8_t*>(buffer);
    if (OnWrite) {
      for (uint32_t i = 0; i < count; ++i) OnWrite(in[i]);
    }
    if (!IsConnected || WritesBeforeFailure == 0) {
      ++FailedWrites;
      return 0;
    }
    if (WritesBeforeFailure > 0) --WritesBeforeFailure;
    WriteCount += count;
    if (KeepWritten) Written.insert(Written.end(), in, in + count);
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

// Records everything the session reports and shows.
class RecordingObserver : public JobObserver, public WidgetView {
 public:
  // Long runs keep counts only: no log, no trace.
  bool Keep = true;
  std::string Log;
  PanelForm Panel = PanelForm::Initial;  // the last form; counts leave it
  std::vector<int32_t> PanelCounts;
  std::vector<int32_t> Percents;    // the progress bar
  std::vector<JobProgress> Phases;  // the observer's progress reports
  std::map<StepLabel, LabelColour> Labels;
  std::map<Control, bool> Enabled;
  std::vector<std::string> Warnings;
  std::vector<std::string> HostWarnings;
  size_t FileErrorCount = 0;  // warnings that report a file error ("E/A-Fehler n")
  int Repaints = 0;
  // Every call in order, so that two runs can be compared whole.
  std::vector<std::string> Trace;
  std::vector<Job> Started;
  std::vector<std::pair<Job, JobResult>> Finished;
  // Jobs started and not finished: a refused start may run inside another
  // job, so they form a stack.
  std::vector<Job> OpenJobs;

  static std::string Num(auto value) { return std::to_string(static_cast<int64_t>(value)); }

  void LogWrite(std::string_view text) override {
    if (!Keep) return;
    Log += text;
    Trace.push_back("log " + std::string(text));
  }
  void Warning(std::string_view text) override {
    if (text.starts_with("E/A-Fehler")) ++FileErrorCount;
    if (!Keep) return;
    Warnings.emplace_back(text);
    Trace.push_back("warning " + std::string(text));
  }
  void HostWarning(std::string_view text) override { HostWarnings.emplace_back(text); }
  void JobStarted(Job job) override {
    OpenJobs.push_back(job);
    if (!Keep) return;
    Started.push_back(job);
    Trace.push_back("job " + Num(job));
  }
  void JobFinished(Job job, const JobResult& result) override {
    if (!OpenJobs.empty()) OpenJobs.pop_back();
    if (!Keep) return;
    Finished.emplace_back(job, result);
    Trace.push_back("end " + Num(job) + " " + Num(result.Outcome) + " " + Num(result.Failure));
  }
  void Progress(const JobProgress& progress) override {
    if (Keep) Phases.push_back(progress);
  }

  void SetPanelForm(PanelForm form) override {
    Panel = form;
    if (Keep) Trace.push_back("panel " + Num(form));
  }
  void SetPanelCount(int32_t count) override {
    if (!Keep) return;
    PanelCounts.push_back(count);
    Trace.push_back("count " + Num(count));
  }
  void RepaintPanelNow() override {
    ++Repaints;
    if (Keep) Trace.push_back("repaint " + Num(Repaints));
  }
  void SetProgress(int32_t percent) override {
    if (!Keep) return;
    Percents.push_back(percent);
    Trace.push_back("progress " + Num(percent));
  }
  void SetLabelColour(StepLabel label, LabelColour colour) override {
    Labels[label] = colour;
    if (Keep) Trace.push_back("label " + Num(label) + " " + Num(colour));
  }
  void SetEnabled(Control control, bool enabled) override {
    Enabled[control] = enabled;
    if (Keep) Trace.push_back("enable " + Num(control) + " " + Num(enabled));
  }
};

// The one door through which tests and fuzzers set up what a device would
// have set.
class SessionTestAccess {
 public:
  // The device's sector table, describing every sector of the part.
  static std::array<uint32_t, SectorTableSize>& FullSectorTable(Session& s) {
    s.vars_.SectorTableTop = SectorCount - 1;
    return s.vars_.SectorStart;
  }
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
