// A port and a window for driving a Session inside a fuzz target: the port
// hands out queued device bytes and counts what is written, the window checks
// what is shown and answers the file dialogs as told.
#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "session/session_port.h"
#include "session/session_window.h"

class FuzzPort : public SessionPort {
 public:
  bool OpenSucceeds = true;
  bool IsConnected = false;
  bool WritesFail = false;
  // Keeps the written bytes when set; long runs only count them.
  bool KeepWritten = false;
  Bytes Written;
  uint64_t WriteCount = 0;
  // Reads that found nothing: more than one in a notification means the
  // session waited for a byte.
  uint64_t DryReads = 0;
  std::deque<uint8_t> Incoming;
  // Called for every byte handed out, and for every byte the session tries to
  // write (also when the write fails).
  std::function<void()> OnByteRead;
  std::function<void(uint8_t)> OnWrite;

  bool Open() override {
    if (IsConnected || !OpenSucceeds) return false;
    IsConnected = true;
    return true;
  }
  bool Connected() const override { return IsConnected; }
  uint32_t Read(void* buffer, uint32_t count) override {
    FUZZ_CHECK(buffer != nullptr);
    FUZZ_CHECK(count == 1);  // the session reads every byte singly
    if (!IsConnected || Incoming.empty()) {
      ++DryReads;
      return 0;
    }
    *static_cast<uint8_t*>(buffer) = Incoming.front();
    Incoming.pop_front();
    if (OnByteRead) OnByteRead();
    return 1;
  }
  uint32_t Write(const void* buffer, uint32_t count) override {
    FUZZ_CHECK(buffer != nullptr);
    FUZZ_CHECK(count == 1 || count == 2);  // a byte, or a word of a sector's data
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    for (uint32_t i = 0; i < count; ++i) {
      if (OnWrite) OnWrite(bytes[i]);
    }
    if (!IsConnected || WritesFail) return 0;
    WriteCount += count;
    if (KeepWritten) Written.insert(Written.end(), bytes, bytes + count);
    return count;
  }
};

class FuzzWindow : public SessionWindow {
 public:
  // Answers of the next file dialogs, oldest first; cancel when none is left.
  std::deque<std::optional<std::string>> DialogAnswers;
  bool KeepLog = false;
  std::string Log;
  std::vector<std::string> Warnings;
  // Warnings that report a file error ("E/A-Fehler n").
  size_t FileErrorCount = 0;

  void LogWrite(std::string_view text) override {
    // The log pane shows UTF-8: device bytes must have been converted.
    FUZZ_CHECK(IsValidUtf8(text));
    if (KeepLog) Log.append(text);
  }
  void SetPanelForm(PanelForm form) override {
    FUZZ_CHECK(form == PanelForm::Initial || form == PanelForm::Neutral ||
               form == PanelForm::Success || form == PanelForm::Error);
  }
  void SetPanelCount(int32_t count) override { FUZZ_CHECK(count >= 0); }
  void RepaintPanelNow() override {}
  void SetProgress(int32_t percent) override { FUZZ_CHECK(percent >= 0); }
  void SetLabelColour(StepLabel, LabelColour) override {}
  void SetEnabled(Control, bool) override {}
  void ShowWarning(std::string_view text) override {
    FUZZ_CHECK(IsValidUtf8(text));
    if (text.starts_with("E/A-Fehler")) ++FileErrorCount;
    if (KeepLog) Warnings.emplace_back(text);
  }
  std::optional<std::string> RunFileDialog(FileDialog) override {
    if (DialogAnswers.empty()) return std::nullopt;
    std::optional<std::string> answer = DialogAnswers.front();
    DialogAnswers.pop_front();
    return answer;
  }
  void KeepPainted() override {}

  // Every job that starts finishes once: a refused start may run inside
  // another job, so the open jobs form a stack of at most two.
  std::vector<Job> OpenJobs;
  // The operator answers every question with Yes.
  bool Confirm(std::string_view question) override {
    FUZZ_CHECK(IsValidUtf8(question));
    return true;
  }
  void JobStarted(Job job) override {
    OpenJobs.push_back(job);
    FUZZ_CHECK(OpenJobs.size() <= 2);
  }
  void JobFinished(Job job, const JobResult& result) override {
    FUZZ_CHECK(!OpenJobs.empty() && OpenJobs.back() == job);
    OpenJobs.pop_back();
    FUZZ_CHECK((result.Outcome == JobOutcome::Ok) == (result.Failure == JobFailure::None));
    FUZZ_CHECK(result.Outcome == JobOutcome::Ok || !result.Reason.empty());
    FUZZ_CHECK(IsValidUtf8(result.Reason));
  }
};

// The one door through which the harness sets up what a device would have set.
class SessionTestAccess {
 public:
  // The device's sector table, describing sectors 0 to 34.
  static std::array<uint32_t, SectorTableSize>& SectorStart(Session& s) {
    s.vars_.SectorTableTop = SectorCount - 1;
    return s.vars_.SectorStart;
  }
};
