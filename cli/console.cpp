#include "console.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <nlohmann/json.hpp>

#include "cli_os.h"
#include "core/history.h"

namespace {

using namespace std::chrono_literals;
using Json = nlohmann::ordered_json;

constexpr auto LineInterval = 1s;
constexpr auto BarInterval = 100ms;
constexpr int BarWidth = 20;
constexpr size_t NarrowestBar = 8;
constexpr int PhaseWidth = 8;  // "identify"
// Below this many columns a line is cut anyway; no use to lay it out.
constexpr int NarrowestLine = 10;

// The control sequences of the live lines.
constexpr char EraseBelow[] = "\033[J";          // from the cursor to the end of the screen
constexpr char PassColours[] = "\033[1;97;42m";  // bold white on green
constexpr char FailColours[] = "\033[1;97;41m";  // bold white on red
constexpr char PlainColours[] = "\033[0m";

const char* PhaseName(Job job, bool verifying) {
  switch (job) {
    case Job::Connect:
      return "connect";
    case Job::VerifyHardware:
      return "identify";
    case Job::Download:
      return verifying ? "verify" : "program";
    case Job::ReadBack:
      return "read";
    case Job::EraseOnly:
      return "erase";
  }
  return "job";
}

std::string Amount(int64_t value, const char* unit) {
  char text[48];
  if (std::string_view(unit) == "bytes" && value >= 1024) {
    std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(value) / 1024);
  } else {
    std::snprintf(text, sizeof text, "%" PRId64 " %s", value, unit);
  }
  return text;
}

std::string Duration(double seconds) {
  const auto whole = static_cast<int64_t>(seconds + 0.5);
  char text[32];
  std::snprintf(text, sizeof text, "%" PRId64 ":%02d", whole / 60, static_cast<int>(whole % 60));
  return text;
}

std::string Seconds(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", value);
  return text;
}

std::string Now() {
  return UtcTimeText(std::chrono::system_clock::now());
}

// Columns on a terminal: one per UTF-8 character.
size_t ColumnsOf(std::string_view text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

// The first `columns` characters of `text`.
std::string CutToColumns(std::string_view text, size_t columns) {
  size_t seen = 0;
  size_t end = 0;
  for (; end < text.size(); ++end) {
    if ((static_cast<unsigned char>(text[end]) & 0xC0) != 0x80 && seen++ == columns) break;
  }
  return std::string(text.substr(0, end));
}

// A device's strings end up in the lines; none of their bytes may move the
// cursor or change the colours.
std::string Printable(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '?';
  }
  return out;
}

// A long device path keeps its end, where the adapter's serial number is.
std::string ShortName(const std::string& name, size_t columns) {
  const size_t have = ColumnsOf(name);
  if (have <= columns || columns < 4) return name;
  size_t skip = have - (columns - 3);
  size_t start = 0;
  while (start < name.size() &&
         (skip > 0 || (static_cast<unsigned char>(name[start]) & 0xC0) == 0x80)) {
    if ((static_cast<unsigned char>(name[start]) & 0xC0) != 0x80) --skip;
    ++start;
  }
  return "..." + name.substr(start);
}

std::string Dump(const Json& event) {
  // Device strings may hold bytes that are no UTF-8: they become U+FFFD.
  return event.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string BoardText(bool pass, const std::string& port, std::optional<uint32_t> serial,
                      double seconds, const std::string& cause) {
  std::string text = std::string(pass ? "PASS " : "FAIL ") + port + " serial " +
                     (serial ? std::to_string(*serial) : std::string("unknown")) + " " +
                     Seconds(seconds);
  if (!pass && !cause.empty()) text += ": " + cause;
  return text;
}

// The verdict in letters five rows high, drawn with '#', so that it reads
// from across the bench (and in a plain copy of the scroll-back too).
constexpr int GlyphRows = 5;
struct Glyph {
  char Letter;
  std::array<const char*, GlyphRows> Rows;
};
constexpr std::array<Glyph, 6> Glyphs = {{
    {'P', {"####", "#  #", "####", "#   ", "#   "}},
    {'A', {" ## ", "#  #", "####", "#  #", "#  #"}},
    {'S', {" ###", "#   ", " ## ", "   #", "### "}},
    {'F', {"####", "#   ", "### ", "#   ", "#   "}},
    {'I', {"###", " # ", " # ", " # ", "###"}},
    {'L', {"#   ", "#   ", "#   ", "#   ", "####"}},
}};
// Each '#' is this many columns wide on a terminal of at least
// WideLettersFrom columns.
constexpr int WideLetters = 2;
constexpr size_t WideLettersFrom = 60;

// The rows of `word` in large letters, each `scale` columns a dot, with a
// margin of two columns.
std::vector<std::string> LargeLetters(std::string_view word, int scale) {
  std::vector<std::string> rows(GlyphRows, "  ");
  for (size_t i = 0; i < word.size(); ++i) {
    const auto glyph = std::find_if(Glyphs.begin(), Glyphs.end(),
                                    [&](const Glyph& g) { return g.Letter == word[i]; });
    if (glyph == Glyphs.end()) continue;
    for (int row = 0; row < GlyphRows; ++row) {
      if (i > 0) rows[row] += std::string(static_cast<size_t>(scale), ' ');
      for (const char* dot = glyph->Rows[row]; *dot != 0; ++dot)
        rows[row] += std::string(static_cast<size_t>(scale), *dot);
    }
  }
  return rows;
}

}  // namespace

ProgressStyle StyleForStandardError(bool quiet, bool jsonLines) {
  if (jsonLines) return ProgressStyle::JsonLines;
  if (quiet) return ProgressStyle::None;
  return StandardErrorIsTerminal() ? ProgressStyle::Bar : ProgressStyle::Lines;
}

Console::Console(ProgressStyle style, bool verbose, std::FILE* out, std::FILE* err)
    : style_(style == ProgressStyle::Bar && !TerminalTakesControlSequences(err)
                 ? ProgressStyle::Lines
                 : style),
      verbose_(verbose),
      out_(out),
      err_(err) {
  if (style_ != ProgressStyle::Bar) return;
  colourOut_ = TerminalTakesControlSequences(out_);
  WatchTerminalSize();
  resizesSeen_ = TerminalResizes();
  const TerminalSize size = TerminalSizeOf(err_);
  if (size.Columns > 0) columns_ = size.Columns;
  rows_ = size.Rows;
}

Console::Slot& Console::At(int slot) {
  return slots_.at(static_cast<size_t>(slot));
}

int Console::AddPort(const std::string& name) {
  std::lock_guard lock(mutex_);
  for (size_t i = 0; i < slots_.size(); ++i) {
    if (slots_[i].Name == name) return static_cast<int>(i);
  }
  Slot slot;
  slot.Name = name;
  slots_.push_back(slot);
  return static_cast<int>(slots_.size() - 1);
}

void Console::SetTotal(int slot, Job job, int64_t total, const char* unit) {
  std::lock_guard lock(mutex_);
  Slot& s = At(slot);
  s.CurrentJob = job;
  s.Total = total;
  s.Unit = unit;
  s.Active = false;
}

std::vector<Console::Piece> Console::Pieces(const Slot& slot) const {
  std::vector<Piece> pieces;
  if (station_ && slot.BoardState == Board::Waiting) {
    pieces.push_back({"waiting for a board", 0});
  } else if (station_ && slot.BoardState == Board::Done) {
    pieces.push_back({"last " + slot.LastBoard, 0});
  } else {
    // Padded, so that the bars and numbers of the ports stand one above the other.
    char phase[16];
    std::snprintf(phase, sizeof phase, "%-*s", PhaseWidth,
                  PhaseName(slot.CurrentJob, slot.Verifying));
    pieces.push_back({phase, 0});
  }
  if (slot.Active) {
    const double elapsed = std::chrono::duration<double>(Clock::now() - slot.PhaseStart).count();
    const int32_t percent = std::clamp(slot.Percent, 0, 100);
    char number[16];
    std::snprintf(number, sizeof number, "%3d%%", percent);
    pieces.push_back({number, 0});
    // Counts make sense only where the session's count is the phase's own.
    if (slot.Total > 0 && !slot.Verifying) {
      pieces.push_back({Amount(std::min(slot.Count, slot.Total), slot.Unit) + " of " +
                            Amount(slot.Total, slot.Unit),
                        3});
      const int64_t done = slot.Count - slot.PhaseStartCount;
      if (elapsed > 0.5 && done > 0) {
        pieces.push_back(
            {Amount(static_cast<int64_t>(static_cast<double>(done) / elapsed), slot.Unit) + "/s",
             4});
      }
    }
    if (percent > 0 && percent < 100 && elapsed > 0.5) {
      pieces.push_back({Duration(elapsed * (100 - percent) / percent) + " left", 2});
    }
  }
  if (station_) {
    AddCounters(pieces, slot.Boards, 1);
    if (slot.BoardState != Board::Done && !slot.LastBoard.empty()) {
      pieces.push_back({"last " + slot.LastBoard, 3});
    }
  }
  return pieces;
}

void Console::AddCounters(std::vector<Piece>& pieces, const BoardCounters& counters, int rank) {
  pieces.push_back(
      {std::to_string(counters.Passed) + " passed  " + std::to_string(counters.Failed) + " failed",
       rank});
  if (counters.Passed + counters.Failed > 0) {
    pieces.push_back({"mean " + Seconds(counters.MeanSeconds()), rank + 3});
  }
}

std::string Console::Fit(const std::string& head, std::vector<Piece> pieces, size_t width) {
  auto joined = [&] {
    std::string line = head;
    for (const Piece& piece : pieces) line += "  " + piece.Text;
    return line;
  };
  std::string line = joined();
  while (ColumnsOf(line) > width) {
    // Of equal rank, the last goes first.
    auto least = pieces.end();
    for (auto it = pieces.begin(); it != pieces.end(); ++it) {
      if (least == pieces.end() || it->Rank >= least->Rank) least = it;
    }
    if (least == pieces.end() || least->Rank == 0) break;
    pieces.erase(least);
    line = joined();
  }
  line = CutToColumns(line, width);
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

std::vector<std::string> Console::LiveLines() const {
  std::vector<std::string> lines;
  std::vector<const Slot*> shown;
  bool anyActive = false;
  for (const Slot& s : slots_) {
    anyActive = anyActive || s.Active;
    if (station_ || s.InJob || s.Active) shown.push_back(&s);
  }
  // Between the jobs of a run nothing stays on the screen.
  if (!station_ && !anyActive) return lines;
  // Never into the last column: some terminals wrap as soon as it is written.
  const size_t width = static_cast<size_t>(std::max(columns_ - 1, NarrowestLine));
  size_t nameWidth = 0;
  const size_t widest = std::max<size_t>(8, width / 3);
  for (const Slot* s : shown) nameWidth = std::max(nameWidth, ColumnsOf(s->Name));
  nameWidth = std::min(nameWidth, widest);
  // As many port lines as the screen holds, with the station line below.
  size_t room = shown.size();
  bool more = false;
  if (rows_ >= 2) {
    const size_t rows = static_cast<size_t>(rows_ - (station_ ? 2 : 1));
    more = room > rows && rows > 0;
    if (room > rows) room = more ? rows - 1 : 0;
  }
  for (size_t i = 0; i < room; ++i) {
    const Slot& s = *shown[i];
    std::string name = Printable(ShortName(s.Name, nameWidth));
    name += std::string(nameWidth - std::min(nameWidth, ColumnsOf(name)), ' ');
    std::vector<Piece> pieces = Pieces(s);
    for (Piece& piece : pieces) piece.Text = Printable(piece.Text);
    const std::string head = name + "  " + pieces.front().Text;
    std::string line = Fit(name, std::move(pieces), width);
    // The bar takes what room is left, up to its full length.
    const size_t spare = width - std::min(width, ColumnsOf(line));
    if (s.Active && spare >= 4 + NarrowestBar && line.compare(0, head.size(), head) == 0) {
      const size_t length = std::min<size_t>(BarWidth, spare - 4);
      const auto filled = static_cast<size_t>(std::clamp(s.Percent, 0, 100)) * length / 100;
      line.insert(head.size(),
                  "  [" + std::string(filled, '#') + std::string(length - filled, '-') + "]");
    }
    lines.push_back(std::move(line));
  }
  if (more) {
    lines.push_back(
        CutToColumns("... and " + std::to_string(shown.size() - room) + " more ports", width));
  }
  if (station_) lines.push_back(StationLine(width));
  return lines;
}

std::string Console::StationLine(size_t width) const {
  BoardCounters total;
  int busy = 0;
  int waiting = 0;
  for (const Slot& s : slots_) {
    total.Add(s.Boards);
    busy += s.BoardState == Board::Busy || s.Active ? 1 : 0;
    waiting += s.BoardState == Board::Waiting && !s.Active ? 1 : 0;
  }
  std::vector<Piece> pieces;
  AddCounters(pieces, total, 0);
  pieces.push_back({std::to_string(busy) + " busy  " + std::to_string(waiting) + " waiting", 4});
  return Fit("station", std::move(pieces), width);
}

void Console::Progress(int slot, Job job, int64_t count, int32_t percent) {
  // The upload of "connect" is short and reports no counts.
  if (style_ == ProgressStyle::None || job == Job::Connect) return;
  std::lock_guard lock(mutex_);
  Slot& s = At(slot);
  const Clock::time_point now = Clock::now();
  if (!s.Active || s.CurrentJob != job) {
    s.Active = true;
    s.InJob = true;
    if (s.BoardState != Board::None) s.BoardState = Board::Busy;
    s.Verifying = false;
    if (s.CurrentJob != job) s.Total = 0;
    s.CurrentJob = job;
    s.PhaseStart = now;
    s.PhaseStartCount = count;
    // The first line comes a second into the phase: short phases stay quiet.
    s.LastLine = now;
  } else if (job == Job::Download && percent + 10 < s.Percent) {
    // The programming ran up to its end and the read-back starts over.
    s.Verifying = true;
    s.PhaseStart = now;
    s.PhaseStartCount = count;
  }
  s.Count = count;
  s.Percent = percent;
  if (style_ == ProgressStyle::Lines || style_ == ProgressStyle::JsonLines) {
    if (now - s.LastLine < LineInterval) return;
    s.LastLine = now;
    if (style_ == ProgressStyle::JsonLines) {
      const bool counted = s.Total > 0 && !s.Verifying;
      Emit(Dump(Json{{"event", "progress"},
                     {"time", Now()},
                     {"port", s.Name},
                     {"phase", PhaseName(s.CurrentJob, s.Verifying)},
                     {"count", counted ? Json(std::min(s.Count, s.Total)) : Json(nullptr)},
                     {"total", counted ? Json(s.Total) : Json(nullptr)},
                     {"unit", counted ? Json(s.Unit) : Json(nullptr)},
                     {"percent", std::clamp(s.Percent, 0, 100)}}));
      return;
    }
    std::string line = Now() + " " + s.Name;
    for (const Piece& piece : Pieces(s)) line += "  " + piece.Text;
    PrintLine(err_, line);
    return;
  }
  if (now - lastDraw_ < BarInterval) return;
  DrawLive();
}

void Console::Idle(int slot) {
  std::lock_guard lock(mutex_);
  At(slot).Active = false;
  DrawLive();
}

void Console::DeviceLog(int slot, std::string_view text) {
  if (!verbose_) return;
  std::lock_guard lock(mutex_);
  Slot& s = At(slot);
  for (char c : text) {
    if (c == '\r') continue;
    if (c == '\n') {
      PrintLine(err_, s.Name + "| " + s.LogLine);
      s.LogLine.clear();
    } else {
      s.LogLine += c;
    }
  }
}

void Console::Error(const std::string& line) {
  std::lock_guard lock(mutex_);
  if (style_ == ProgressStyle::JsonLines) {
    Emit(Dump(Json{{"event", "error"}, {"time", Now()}, {"port", nullptr}, {"text", line}}));
  }
  PrintLine(err_, line);
}

void Console::Note(const std::string& line) {
  if (style_ == ProgressStyle::None) return;
  std::lock_guard lock(mutex_);
  if (style_ == ProgressStyle::JsonLines) {
    Emit(Dump(Json{{"event", "note"}, {"time", Now()}, {"port", nullptr}, {"text", line}}));
    return;
  }
  PrintLine(err_, line);
}

void Console::Result(const std::string& line) {
  std::lock_guard lock(mutex_);
  PrintLine(style_ == ProgressStyle::JsonLines ? err_ : out_, line);
}

void Console::JobStarted(int slot, std::string_view job) {
  std::lock_guard lock(mutex_);
  Slot& s = At(slot);
  s.InJob = true;
  if (s.BoardState != Board::None) s.BoardState = Board::Busy;
  if (style_ == ProgressStyle::JsonLines) {
    Emit(Dump(Json{{"event", "started"}, {"time", Now()}, {"port", s.Name}, {"job", job}}));
  }
  DrawLive();
}

void Console::JobFinished(int slot, std::string_view job, std::string_view outcome, int exitCode,
                          std::string_view recordJson) {
  std::lock_guard lock(mutex_);
  Slot& s = At(slot);
  s.InJob = false;
  s.Active = false;
  if (style_ == ProgressStyle::JsonLines) {
    Json record = Json::parse(recordJson, nullptr, false);
    if (record.is_discarded() || !record.is_object()) record = nullptr;
    Emit(Dump(Json{{"event", "finished"},
                   {"time", Now()},
                   {"port", s.Name},
                   {"job", job},
                   {"outcome", outcome},
                   {"exitCode", exitCode},
                   {"record", record}}));
  }
  DrawLive();
}

void Console::PortFailed(int slot, const std::string& text) {
  std::lock_guard lock(mutex_);
  Slot& s = At(slot);
  s.InJob = false;
  s.Active = false;
  if (style_ == ProgressStyle::JsonLines) {
    Emit(Dump(Json{{"event", "error"}, {"time", Now()}, {"port", s.Name}, {"text", text}}));
  }
  PrintLine(err_, s.Name + ": " + text);
}

void Console::EnterBoardState(Slot& slot, Board state) {
  station_ = true;
  slot.BoardState = state;
  slot.InJob = false;
  slot.Active = false;
}

void Console::BoardWaiting(int slot) {
  std::lock_guard lock(mutex_);
  Slot& s = At(slot);
  EnterBoardState(s, Board::Waiting);
  switch (style_) {
    case ProgressStyle::JsonLines:
      Emit(Dump(Json{{"event", "waiting"}, {"time", Now()}, {"port", s.Name}}));
      break;
    case ProgressStyle::Lines:
      PrintLine(err_, Now() + " " + s.Name + "  waiting for a board");
      break;
    case ProgressStyle::Bar:
      DrawLive();
      break;
    case ProgressStyle::None:
      break;
  }
}

void Console::BoardFinished(int slot, bool pass, std::optional<uint32_t> serial, double seconds,
                            const std::string& cause) {
  std::lock_guard lock(mutex_);
  Slot& s = At(slot);
  EnterBoardState(s, Board::Done);
  (pass ? s.Boards.Passed : s.Boards.Failed) += 1;
  s.Boards.Seconds += seconds;
  s.LastBoard = std::string(pass ? "PASS " : "FAIL ") +
                (serial ? std::to_string(*serial) : std::string("unknown")) + " " +
                Seconds(seconds);
  const std::string text = BoardText(pass, s.Name, serial, seconds, cause);
  if (style_ == ProgressStyle::JsonLines) {
    Emit(Dump(Json{{"event", "board"},
                   {"time", Now()},
                   {"port", s.Name},
                   {"result", pass ? "pass" : "fail"},
                   {"serial", serial ? Json(*serial) : Json(nullptr)},
                   {"seconds", seconds},
                   {"cause", pass ? Json(nullptr) : Json(cause)},
                   {"passed", s.Boards.Passed},
                   {"failed", s.Boards.Failed},
                   {"meanSeconds", s.Boards.MeanSeconds()}}));
  }
  Banner(pass, text);
  if (!pass) {
    PrintLine(err_, s.Name + ": serial " +
                        (serial ? std::to_string(*serial) : std::string("unknown")) + ": " +
                        (cause.empty() ? std::string("failed") : cause));
  }
}

void Console::Banner(bool pass, const std::string& text) {
  if (style_ == ProgressStyle::JsonLines) {
    PrintLine(err_, text);
  } else if (style_ == ProgressStyle::Bar && colourOut_) {
    CheckSize();
    // PASS or FAIL in large letters on a bar across the whole width, so that
    // a board's verdict is seen from a step away, then its line (port,
    // serial number, time, cause); the full cause follows on standard error.
    // A terminal too narrow for the letters gets the line alone.
    const size_t width = static_cast<size_t>(std::max(columns_ - 1, NarrowestLine));
    std::vector<std::string> rows =
        LargeLetters(pass ? "PASS" : "FAIL", width >= WideLettersFrom ? WideLetters : 1);
    if (ColumnsOf(rows.front()) + 2 > width) rows.clear();
    rows.push_back(" " + Printable(text));
    std::string bar;
    for (const std::string& row : rows) {
      std::string line = CutToColumns(row, width);
      line += std::string(width - ColumnsOf(line), ' ');
      bar += (pass ? PassColours : FailColours) + line + PlainColours;
      if (&row != &rows.back()) bar += '\n';
    }
    PrintLine(out_, bar);
  } else {
    PrintLine(out_, text);
  }
}

BoardCounters Console::Counters(int slot) {
  std::lock_guard lock(mutex_);
  return At(slot).Boards;
}

BoardCounters Console::StationCounters() {
  std::lock_guard lock(mutex_);
  BoardCounters total;
  for (const Slot& s : slots_) total.Add(s.Boards);
  return total;
}

void Console::Refresh() {
  std::lock_guard lock(mutex_);
  if (style_ == ProgressStyle::Bar && TerminalResizes() != resizesSeen_) DrawLive();
}

void Console::EndLive() {
  std::lock_guard lock(mutex_);
  // The cursor stands below the last lines drawn; they stay as they are.
  liveRows_ = 0;
  liveEnded_ = true;
}

void Console::CheckSize() {
  const unsigned resizes = TerminalResizes();
  if (resizes == resizesSeen_) return;
  resizesSeen_ = resizes;
  const TerminalSize size = TerminalSizeOf(err_);
  if (size.Columns > 0) columns_ = size.Columns;
  rows_ = size.Rows;
}

void Console::ClearLive(std::string& to) {
  if (liveRows_ == 0) return;
  // Every live line ended with a newline: the cursor is at the start of the
  // row below them.
  to += "\r\033[" + std::to_string(liveRows_) + "A" + EraseBelow;
  liveRows_ = 0;
}

void Console::DrawLive() {
  if (style_ != ProgressStyle::Bar || liveEnded_) return;
  lastDraw_ = Clock::now();
  CheckSize();
  std::string text;
  ClearLive(text);
  const std::vector<std::string> lines = LiveLines();
  for (const std::string& line : lines) text += line + "\n";
  liveRows_ = static_cast<int>(lines.size());
  std::fwrite(text.data(), 1, text.size(), err_);
  std::fflush(err_);
}

void Console::PrintLine(std::FILE* to, const std::string& line) {
  if (style_ == ProgressStyle::Bar && liveRows_ > 0) {
    std::string text;
    ClearLive(text);
    std::fwrite(text.data(), 1, text.size(), err_);
  }
  std::fflush(to == out_ ? err_ : out_);
  std::fputs(line.c_str(), to);
  std::fputc('\n', to);
  std::fflush(to);
  DrawLive();
}

void Console::Emit(const std::string& json) {
  std::fflush(err_);
  std::fputs(json.c_str(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}
