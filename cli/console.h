// Everything updater-cli prints, from any number of port threads: results on
// standard output; progress, the device log (--verbose), warnings and errors
// on standard error. Four ways to show it:
// - Live (a terminal): one line per port at the bottom of the screen, each
//   cut to the terminal's width and redrawn in place; whatever else is
//   printed (notes, failures, PASS and FAIL) goes above them and stays in the
//   scroll-back.
// - Lines (a file or a pipe): plain lines with the UTC time, at most one a
//   second per port.
// - JsonLines (--json-lines): one JSON object per line on standard output,
//   for a machine; the texts meant for a person go to standard error.
// - None (--quiet): results and errors only.
//
// The live lines are drawn by this file itself with a handful of ANSI
// sequences (carriage return, cursor up, erase to the end of the screen,
// colours), the width taken from the system (TIOCGWINSZ, re-read after a
// SIGWINCH; GetConsoleScreenBufferInfo on Windows). Not ncurses' terminfo:
// Debian has no ncurses for the mingw build, and updater-cli.exe must run
// without a DLL beside it; the Windows console (10 and later) and every
// terminal emulator of today understand these sequences, and a terminal
// that says it cannot (TERM=dumb, an old console) gets plain lines.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "session/job.h"

enum class ProgressStyle : uint8_t { Bar, Lines, None, JsonLines };

// What a port, or the whole station, has done with its boards.
struct BoardCounters {
  int Passed = 0;
  int Failed = 0;
  double Seconds = 0;  // of every finished board
  void Add(const BoardCounters& other) {
    Passed += other.Passed;
    Failed += other.Failed;
    Seconds += other.Seconds;
  }
  double MeanSeconds() const { return Passed + Failed > 0 ? Seconds / (Passed + Failed) : 0; }
};

class Console {
 public:
  // `Bar` falls back to `Lines` when `err` is no terminal that takes the
  // control sequences.
  Console(ProgressStyle style, bool verbose, std::FILE* out = stdout, std::FILE* err = stderr);
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // A slot for one port's progress; its number is used in the calls below.
  // A name given again gets its slot again, so that a caller can add the
  // ports in their order (the order of the live lines) before their threads
  // start.
  int AddPort(const std::string& name);
  // What the counts of `job` on this port run up to, and in what unit. A job
  // without a known total shows its percent only.
  void SetTotal(int slot, Job job, int64_t total, const char* unit);
  void Progress(int slot, Job job, int64_t count, int32_t percent);
  // The phase is over.
  void Idle(int slot);
  // A piece of the port's session log; shown with --verbose, line by line.
  void DeviceLog(int slot, std::string_view text);

  // A line on standard error (notes, warnings, errors), never suppressed.
  void Error(const std::string& line);
  // A line on standard error that --quiet suppresses.
  void Note(const std::string& line);
  // A line on standard output (on standard error with --json-lines).
  void Result(const std::string& line);

  // A job (as the history names it: "update", "identify", ...) begins on the
  // port and ends with `outcome` ("ok", "failed", ...) and `exitCode`.
  // `recordJson` is the job's record, a serialised JSON object, carried as
  // the "record" of the finished event.
  void JobStarted(int slot, std::string_view job);
  void JobFinished(int slot, std::string_view job, std::string_view outcome, int exitCode,
                   std::string_view recordJson);
  // The port failed: "<port>: <text>" goes to standard error now, above the
  // live lines, whatever else is still running.
  void PortFailed(int slot, const std::string& text);

  // Station mode: the first of these calls adds the station line (the
  // totals) below the port lines, and the port lines keep their counters and
  // last result. A finished board is shown as a PASS or FAIL line that stays
  // in the scroll-back (a full-width coloured bar on a terminal); a FAIL also
  // goes to standard error as PortFailed does. `serial` is empty when the
  // board's serial number is not known.
  void BoardWaiting(int slot);
  void BoardFinished(int slot, bool pass, std::optional<uint32_t> serial, double seconds,
                     const std::string& cause);
  BoardCounters Counters(int slot);
  BoardCounters StationCounters();

  // Redraws the live lines when the terminal changed its size; for a loop
  // that waits long without progress to report.
  void Refresh();
  // Leaves the live lines as they stand in the scroll-back and draws them no
  // more (before a closing summary).
  void EndLive();

  bool Quiet() const { return style_ == ProgressStyle::None; }
  ProgressStyle Style() const { return style_; }

 private:
  using Clock = std::chrono::steady_clock;
  enum class Board : uint8_t { None, Waiting, Busy, Done };
  struct Slot {
    std::string Name;
    Job CurrentJob = Job::Connect;
    bool Active = false;  // a phase reports progress
    bool InJob = false;   // between JobStarted (or the first progress) and the job's end
    bool Verifying = false;
    int64_t Total = 0;
    const char* Unit = "bytes";
    int64_t Count = 0;
    int32_t Percent = 0;
    Clock::time_point PhaseStart;
    int64_t PhaseStartCount = 0;
    Clock::time_point LastLine;
    std::string LogLine;
    Board BoardState = Board::None;
    BoardCounters Boards;
    std::string LastBoard;  // "PASS 4711 42.1 s"
  };
  // One piece of a live line, dropped whole when the line does not fit.
  struct Piece {
    std::string Text;
    int Rank;  // 0 is kept longest
  };

  Slot& At(int slot);
  void EnterBoardState(Slot& slot, Board state);
  std::vector<Piece> Pieces(const Slot& slot) const;
  // "3 passed  1 failed" of `rank`, and the mean time, needed less.
  static void AddCounters(std::vector<Piece>& pieces, const BoardCounters& counters, int rank);
  // Joins the pieces that fit into `width` columns, dropping the least
  // needed first, and cuts what is left when even that is too long.
  static std::string Fit(const std::string& head, std::vector<Piece> pieces, size_t width);
  std::vector<std::string> LiveLines() const;
  std::string StationLine(size_t width) const;
  void CheckSize();
  void ClearLive(std::string& to);
  void DrawLive();
  void PrintLine(std::FILE* to, const std::string& line);
  void Emit(const std::string& json);
  void Banner(bool pass, const std::string& text);

  std::mutex mutex_;
  const ProgressStyle style_;
  const bool verbose_;
  std::FILE* out_;
  std::FILE* err_;
  std::vector<Slot> slots_;
  Clock::time_point lastDraw_;
  bool station_ = false;
  bool liveEnded_ = false;
  bool colourOut_ = false;  // standard output takes colours (PASS, FAIL)
  int liveRows_ = 0;        // rows drawn last, the cursor below them
  int columns_ = 80;
  int rows_ = 0;  // 0: not known
  unsigned resizesSeen_ = 0;
};

// The progress style for standard error as it is now: live lines on a
// terminal, lines otherwise, none when quiet; JSON events with --json-lines.
ProgressStyle StyleForStandardError(bool quiet, bool jsonLines = false);
