// The shared stand-ins for the port and the front end, with the checks a fuzz
// target makes on everything the session does through them: every text it
// shows is valid UTF-8, every job started finishes once (a refused start may
// nest inside a running job, no deeper), a result is Ok exactly when it names
// no failure, and the port is read a byte at a time and written a byte or a
// slice of a sector's words at a time. The fakes themselves are the tests'
// own; only the checks live here.
#pragma once

#include <string_view>

#include "fuzz_support.h"
#include "tests/support/session_fakes.h"

class CheckedPort : public FakePort {
 public:
  // Toggles between every write failing and none.
  void SetWritesFail(bool fail) { WritesBeforeFailure = fail ? 0 : -1; }
  bool WritesFail() const { return WritesBeforeFailure == 0; }

  uint32_t Read(void* buffer, uint32_t count) override {
    FUZZ_CHECK(buffer != nullptr);
    FUZZ_CHECK(count == 1);  // the session reads every byte singly
    return FakePort::Read(buffer, count);
  }
  uint32_t Write(const void* buffer, uint32_t count) override {
    FUZZ_CHECK(buffer != nullptr);
    // A byte, or whole words of a sector's data, one slice at most.
    FUZZ_CHECK(count == 1 || (count % 2 == 0 && count <= Session::SendSliceBytes));
    return FakePort::Write(buffer, count);
  }
};

class CheckedObserver : public RecordingObserver {
 public:
  CheckedObserver() { Keep = false; }

  void LogWrite(std::string_view text) override {
    // The log pane shows UTF-8: device bytes must have been converted.
    FUZZ_CHECK(IsValidUtf8(text));
    RecordingObserver::LogWrite(text);
  }
  void Warning(std::string_view text) override {
    FUZZ_CHECK(IsValidUtf8(text));
    RecordingObserver::Warning(text);
  }
  void HostWarning(std::string_view text) override {
    FUZZ_CHECK(IsValidUtf8(text));
    RecordingObserver::HostWarning(text);
  }
  void JobStarted(Job job) override {
    RecordingObserver::JobStarted(job);
    FUZZ_CHECK(OpenJobs.size() <= 2);
  }
  void JobFinished(Job job, const JobResult& result) override {
    FUZZ_CHECK(!OpenJobs.empty() && OpenJobs.back() == job);
    FUZZ_CHECK((result.Outcome == JobOutcome::Ok) == (result.Failure == JobFailure::None));
    FUZZ_CHECK(result.Outcome == JobOutcome::Ok || !result.Reason.empty());
    FUZZ_CHECK(IsValidUtf8(result.Reason));
    RecordingObserver::JobFinished(job, result);
  }
  void Progress(const JobProgress& progress) override {
    FUZZ_CHECK(!OpenJobs.empty() && OpenJobs.back() == progress.Of);
    FUZZ_CHECK(progress.Count >= 0 && progress.Total >= 0);
    RecordingObserver::Progress(progress);
  }

  void SetPanelForm(PanelForm form) override {
    FUZZ_CHECK(form == PanelForm::Initial || form == PanelForm::Neutral ||
               form == PanelForm::Success || form == PanelForm::Error);
    RecordingObserver::SetPanelForm(form);
  }
  void SetPanelCount(int32_t count) override {
    FUZZ_CHECK(count >= 0);
    RecordingObserver::SetPanelCount(count);
  }
  void SetProgress(int32_t percent) override {
    FUZZ_CHECK(percent >= 0);
    RecordingObserver::SetProgress(percent);
  }
};
