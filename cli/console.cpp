#include "console.h"

#include <algorithm>
#include <cinttypes>

#include "cli_os.h"

namespace {

using namespace std::chrono_literals;

constexpr auto LineInterval = 1s;
constexpr auto BarInterval = 100ms;
constexpr int BarWidth = 24;

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

}  // namespace

ProgressStyle StyleForStandardError(bool quiet) {
  if (quiet) return ProgressStyle::None;
  return StandardErrorIsTerminal() ? ProgressStyle::Bar : ProgressStyle::Lines;
}

Console::Console(ProgressStyle style, bool verbose, std::FILE* out, std::FILE* err)
    : style_(style), verbose_(verbose), out_(out), err_(err) {}

int Console::AddPort(const std::string& name) {
  std::lock_guard lock(mutex_);
  Slot slot;
  slot.Name = name;
  slots_.push_back(slot);
  return static_cast<int>(slots_.size() - 1);
}

void Console::SetTotal(int slot, Job job, int64_t total, const char* unit) {
  std::lock_guard lock(mutex_);
  Slot& s = slots_.at(static_cast<size_t>(slot));
  s.CurrentJob = job;
  s.Total = total;
  s.Unit = unit;
  s.Active = false;
}

std::string Console::Describe(const Slot& slot, bool wide) const {
  const double elapsed = std::chrono::duration<double>(Clock::now() - slot.PhaseStart).count();
  std::string text = slot.Name + " " + PhaseName(slot.CurrentJob, slot.Verifying);
  const int32_t percent = std::clamp(slot.Percent, 0, 100);
  if (wide) {
    const int filled = percent * BarWidth / 100;
    text += " [" + std::string(static_cast<size_t>(filled), '#') +
            std::string(static_cast<size_t>(BarWidth - filled), '-') + "]";
  }
  char number[16];
  std::snprintf(number, sizeof number, " %3d%%", percent);
  text += number;
  if (wide || style_ == ProgressStyle::Lines) {
    // Counts make sense only where the session's count is the phase's own.
    if (slot.Total > 0 && !slot.Verifying) {
      text += "  " + Amount(std::min(slot.Count, slot.Total), slot.Unit) + " of " +
              Amount(slot.Total, slot.Unit);
      const int64_t done = slot.Count - slot.PhaseStartCount;
      if (elapsed > 0.5 && done > 0) {
        text += "  " +
                Amount(static_cast<int64_t>(static_cast<double>(done) / elapsed), slot.Unit) + "/s";
      }
    }
  }
  if (percent > 0 && percent < 100 && elapsed > 0.5) {
    text += "  " + Duration(elapsed * (100 - percent) / percent) + " left";
  }
  return text;
}

void Console::Progress(int slot, Job job, int64_t count, int32_t percent) {
  // The upload of "connect" is short and reports no counts.
  if (style_ == ProgressStyle::None || job == Job::Connect) return;
  std::lock_guard lock(mutex_);
  Slot& s = slots_.at(static_cast<size_t>(slot));
  const Clock::time_point now = Clock::now();
  if (!s.Active || s.CurrentJob != job) {
    s.Active = true;
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
  if (style_ == ProgressStyle::Lines) {
    if (now - s.LastLine < LineInterval) return;
    s.LastLine = now;
    PrintLine(err_, Describe(s, false));
    return;
  }
  if (now - lastDraw_ < BarInterval) return;
  lastDraw_ = now;
  DrawBar();
}

void Console::Idle(int slot) {
  std::lock_guard lock(mutex_);
  slots_.at(static_cast<size_t>(slot)).Active = false;
  if (style_ == ProgressStyle::Bar) {
    ClearBar();
    DrawBar();
  }
}

void Console::DeviceLog(int slot, std::string_view text) {
  if (!verbose_) return;
  std::lock_guard lock(mutex_);
  Slot& s = slots_.at(static_cast<size_t>(slot));
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
  PrintLine(err_, line);
}

void Console::Note(const std::string& line) {
  if (style_ == ProgressStyle::None) return;
  std::lock_guard lock(mutex_);
  PrintLine(err_, line);
}

void Console::Result(const std::string& line) {
  std::lock_guard lock(mutex_);
  PrintLine(out_, line);
}

void Console::ClearBar() {
  if (!barShown_) return;
  std::fputs("\r\033[K", err_);
  barShown_ = false;
}

void Console::DrawBar() {
  std::string line;
  const bool single = slots_.size() == 1;
  for (const Slot& s : slots_) {
    if (!s.Active) continue;
    if (!line.empty()) line += " | ";
    line += Describe(s, single);
  }
  std::fputs("\r\033[K", err_);
  barShown_ = !line.empty();
  if (barShown_) std::fputs(line.c_str(), err_);
  std::fflush(err_);
}

void Console::PrintLine(std::FILE* to, const std::string& line) {
  const bool redraw = barShown_;
  ClearBar();
  std::fflush(to == out_ ? err_ : out_);
  std::fputs(line.c_str(), to);
  std::fputc('\n', to);
  std::fflush(to);
  if (redraw && style_ == ProgressStyle::Bar) DrawBar();
}
