// Everything updater-cli prints, from any number of port threads: results on
// standard output; progress, the device log (--verbose), warnings and errors
// on standard error. On a terminal the progress is a bar redrawn in place
// (one line for all ports); otherwise plain lines, at most one a second per
// port; with --quiet none at all.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "session/job.h"

enum class ProgressStyle : uint8_t { Bar, Lines, None };

class Console {
 public:
  Console(ProgressStyle style, bool verbose, std::FILE* out = stdout, std::FILE* err = stderr);

  // A slot for one port's progress; its number is used in the calls below.
  int AddPort(const std::string& name);
  // What the counts of `job` on this port run up to, and in what unit. A job
  // without a known total shows its percent only.
  void SetTotal(int slot, Job job, int64_t total, const char* unit);
  void Progress(int slot, Job job, int64_t count, int32_t percent);
  // Ends the slot's bar (the job is over).
  void Idle(int slot);
  // A piece of the port's session log; shown with --verbose, line by line.
  void DeviceLog(int slot, std::string_view text);

  // A line on standard error (notes, warnings, errors), never suppressed.
  void Error(const std::string& line);
  // A line on standard error that --quiet suppresses.
  void Note(const std::string& line);
  // A line on standard output.
  void Result(const std::string& line);

  bool Quiet() const { return style_ == ProgressStyle::None; }

 private:
  using Clock = std::chrono::steady_clock;
  struct Slot {
    std::string Name;
    Job CurrentJob = Job::Connect;
    bool Active = false;
    bool Verifying = false;
    int64_t Total = 0;
    const char* Unit = "bytes";
    int64_t Count = 0;
    int32_t Percent = 0;
    Clock::time_point PhaseStart;
    int64_t PhaseStartCount = 0;
    Clock::time_point LastLine;
    std::string LogLine;
  };

  std::string Describe(const Slot& slot, bool wide) const;
  void ClearBar();
  void DrawBar();
  void PrintLine(std::FILE* to, const std::string& line);

  std::mutex mutex_;
  const ProgressStyle style_;
  const bool verbose_;
  std::FILE* out_;
  std::FILE* err_;
  std::vector<Slot> slots_;
  bool barShown_ = false;
  Clock::time_point lastDraw_;
};

// The progress style for standard error as it is now: a bar on a terminal,
// lines otherwise, none when quiet.
ProgressStyle StyleForStandardError(bool quiet);
