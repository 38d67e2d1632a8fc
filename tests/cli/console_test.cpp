// The console of updater-cli as a person and a machine see it: the live
// lines on a pseudo-terminal of a given width (fed through a small terminal
// model that notes any wrap), plain lines in a file, JSON events.
#include "cli/console.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

// Just enough of a terminal for what the console sends: printable bytes,
// CR, LF, cursor up, erase below, erase line; colours are ignored. A byte
// written past the last column would wrap on a real terminal: noted.
struct Screen {
  size_t Width = 80;
  std::vector<std::string> Rows{1};
  size_t Row = 0;
  size_t Col = 0;
  bool Wrapped = false;

  void Feed(const std::string& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) {
      const char c = bytes[i];
      if (c == '\033' && i + 1 < bytes.size() && bytes[i + 1] == '[') {
        size_t end = i + 2;
        while (end < bytes.size() &&
               (std::isdigit(static_cast<unsigned char>(bytes[end])) || bytes[end] == ';'))
          ++end;
        const std::string number = bytes.substr(i + 2, end - i - 2);
        const int n = number.empty() ? 1 : std::atoi(number.c_str());
        if (end < bytes.size()) Control(bytes[end], n);
        i = end;
      } else if (c == '\r') {
        Col = 0;
      } else if (c == '\n') {
        if (++Row == Rows.size()) Rows.emplace_back();
      } else {
        if (Col >= Width) Wrapped = true;
        std::string& row = Rows[Row];
        if (row.size() <= Col) row.resize(Col + 1, ' ');
        row[Col++] = c;
      }
    }
  }
  void Control(char command, int n) {
    if (command == 'A') Row -= std::min(Row, static_cast<size_t>(n));
    if (command == 'K' || command == 'J') Rows[Row].resize(std::min(Rows[Row].size(), Col));
    if (command == 'J') Rows.resize(Row + 1);
  }
  const std::string* RowWith(const std::string& text) const {
    for (const std::string& row : Rows)
      if (row.find(text) != std::string::npos) return &row;
    return nullptr;
  }
};

class Terminal {
 public:
  explicit Terminal(int columns) {
    winsize size{};
    size.ws_col = static_cast<unsigned short>(columns);
    size.ws_row = 50;
    if (::openpty(&master_, &slave_, nullptr, nullptr, &size) != 0) return;
    stream_ = ::fdopen(slave_, "w");
  }
  ~Terminal() {
    if (stream_) std::fclose(stream_);
    if (master_ >= 0) ::close(master_);
  }
  std::FILE* Stream() { return stream_; }
  void Resize(int columns) {
    winsize size{};
    size.ws_col = static_cast<unsigned short>(columns);
    size.ws_row = 50;
    ::ioctl(master_, TIOCSWINSZ, &size);
    // This process is not the terminal's foreground group: the signal the
    // kernel would send, sent by hand.
    ::raise(SIGWINCH);
  }
  // Everything the console wrote up to now: read up to a mark written after it.
  std::string Drain() {
    constexpr char Mark[] = "\x01mark\x01";
    std::fflush(stream_);
    EXPECT_EQ(::write(slave_, Mark, sizeof Mark - 1), static_cast<ssize_t>(sizeof Mark - 1));
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (text.find(Mark) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd in{master_, POLLIN, 0};
      if (::poll(&in, 1, 100) <= 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(master_, buffer, sizeof buffer);
      if (n > 0) text.append(buffer, static_cast<size_t>(n));
    }
    const size_t at = text.find(Mark);
    EXPECT_NE(at, std::string::npos) << "the console's output did not arrive";
    return at == std::string::npos ? text : text.substr(0, at);
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::FILE* stream_ = nullptr;
};

const std::string LongName = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K5XYZ-if00-port0";

struct WidthRow {
  int Columns;
  int Resized;
};

class ConsoleWidth : public ::testing::TestWithParam<WidthRow> {};

TEST_P(ConsoleWidth, LiveLinesFitBeforeAndAfterAResize) {
  ::setenv("TERM", "xterm", 1);
  const WidthRow row = GetParam();
  Terminal terminal(row.Columns);
  ASSERT_NE(terminal.Stream(), nullptr);
  Console console(ProgressStyle::Bar, false, terminal.Stream(), terminal.Stream());
  ASSERT_EQ(console.Style(), ProgressStyle::Bar);
  Screen screen;
  screen.Width = static_cast<size_t>(row.Columns);

  const int com1 = console.AddPort("COM1");
  const int com2 = console.AddPort("COM2");
  const int usb = console.AddPort(LongName);
  for (int slot : {com1, com2, usb}) console.BoardWaiting(slot);
  for (int slot : {com1, usb}) {
    console.JobStarted(slot, "update");
    console.SetTotal(slot, Job::Download, 2000000, "bytes");
    console.Progress(slot, Job::Download, 1000000, 50);
  }
  console.Note("COM1: device DEMO165");
  console.BoardFinished(com1, true, 4711, 42.1, "");
  console.BoardFinished(com2, false, 4712, 12.9, "verify: 0x004010");
  screen.Feed(terminal.Drain());
  EXPECT_FALSE(screen.Wrapped);
  // The verdicts stay above the live lines, as bars across the whole width:
  // PASS or FAIL in letters five rows high, then the board's line.
  const size_t dot = row.Columns >= 60 ? 2 : 1;
  const auto dots = [dot](size_t n, char c) { return std::string(n * dot, c); };
  // The second rows: "#  #" of the P, "#   " of the F and the gap before the A's "#".
  const std::string secondOfP = "  " + dots(1, '#') + dots(2, ' ') + dots(1, '#');
  const std::string secondOfF = "  " + dots(1, '#') + dots(4, ' ') + dots(1, '#');
  for (const auto& [verdict, second] : {std::pair{"PASS COM1 serial 4711 42.1 s", secondOfP},
                                        {"FAIL COM2 serial 4712", secondOfF}}) {
    const auto line = std::find_if(screen.Rows.begin(), screen.Rows.end(),
                                   [&](auto& r) { return r.find(verdict) != std::string::npos; });
    ASSERT_NE(line, screen.Rows.end()) << verdict;
    ASSERT_GE(line - screen.Rows.begin(), 5);
    for (auto r = line - 5; r <= line; ++r)
      EXPECT_EQ(r->size(), static_cast<size_t>(row.Columns - 1)) << *r;
    EXPECT_EQ((line - 5)->rfind("  " + dots(4, '#'), 0), 0u) << *(line - 5);
    EXPECT_EQ((line - 4)->rfind(second, 0), 0u) << *(line - 4);
  }
  EXPECT_NE(screen.RowWith("COM2: serial 4712: verify: 0x004010"), nullptr);

  terminal.Resize(row.Resized);
  screen.Width = static_cast<size_t>(row.Resized);
  console.Refresh();
  console.Progress(usb, Job::Download, 1500000, 75);
  console.BoardFinished(usb, true, 4713, 40.0, "");
  screen.Feed(terminal.Drain());
  EXPECT_FALSE(screen.Wrapped);
  const std::string* bar = screen.RowWith("PASS /dev/serial");
  ASSERT_NE(bar, nullptr);
  EXPECT_EQ(bar->size(), static_cast<size_t>(row.Resized - 1)) << *bar;
  // At the bottom, above the cursor's empty row: the ports, then the totals.
  ASSERT_GE(screen.Rows.size(), 5u);
  const std::string& station = screen.Rows[screen.Rows.size() - 2];
  EXPECT_EQ(station.rfind("station", 0), 0u) << station;
  EXPECT_NE(station.find("2 passed  1 failed"), std::string::npos) << station;
  EXPECT_EQ(screen.Rows[screen.Rows.size() - 5].rfind("COM1", 0), 0u);
  for (size_t i = screen.Rows.size() - 5; i < screen.Rows.size(); ++i)
    EXPECT_LT(screen.Rows[i].size(), screen.Width) << screen.Rows[i];
}

INSTANTIATE_TEST_SUITE_P(Widths, ConsoleWidth,
                         ::testing::Values(WidthRow{40, 200}, WidthRow{80, 40}, WidthRow{200, 80}),
                         [](const ::testing::TestParamInfo<WidthRow>& info) {
                           return std::to_string(info.param.Columns) + "_then_" +
                                  std::to_string(info.param.Resized);
                         });

std::string TextOf(std::FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::string text;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
  return text;
}

// Reports progress until `out` holds what `done` looks for (a line comes a
// second into a phase at the earliest).
template <typename Done>
void ProgressUntil(Console& console, int slot, std::FILE* out, Done done) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  for (int64_t count = 0; !done(TextOf(out)) && std::chrono::steady_clock::now() < deadline;
       count += 100) {
    console.Progress(slot, Job::Download, count, static_cast<int32_t>(count / 1000));
    std::this_thread::sleep_for(10ms);
  }
}

TEST(Console, NoTerminalGivesPlainTimestampedLines) {
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  ASSERT_TRUE(out && err);
  {
    Console console(ProgressStyle::Bar, false, out, err);
    EXPECT_EQ(console.Style(), ProgressStyle::Lines);
    const int slot = console.AddPort("COM1");
    console.SetTotal(slot, Job::Download, 100000, "bytes");
    const auto begin = std::chrono::steady_clock::now();
    ProgressUntil(console, slot, err, [](const std::string& text) {
      return std::count(text.begin(), text.end(), '\n') >= 2;
    });
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    console.BoardFinished(slot, true, 4711, 42.1, "");
    const std::string lines = TextOf(err);
    EXPECT_LE(std::count(lines.begin(), lines.end(), '\n'), static_cast<long>(seconds) + 1);
    EXPECT_TRUE(std::regex_search(
        lines, std::regex(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z COM1  program  +\d+%  )")))
        << lines;
  }
  const std::string text = TextOf(out) + TextOf(err);
  EXPECT_EQ(text.find('\033'), std::string::npos) << text;
  EXPECT_NE(TextOf(out).find("PASS COM1 serial 4711 42.1 s\n"), std::string::npos);
  std::fclose(out);
  std::fclose(err);
}

TEST(Console, JsonLinesCarryTheDocumentedFields) {
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  ASSERT_TRUE(out && err);
  {
    Console console(ProgressStyle::JsonLines, false, out, err);
    const int slot = console.AddPort("COM1");
    console.JobStarted(slot, "update");
    console.SetTotal(slot, Job::Download, 100000, "bytes");
    ProgressUntil(console, slot, out, [](const std::string& text) {
      return text.find("\"progress\"") != std::string::npos;
    });
    console.Note("COM1: connected");
    console.Result("PORT  SERIAL");
    console.PortFailed(slot, "programming failed in sector 4");
    console.BoardFinished(slot, false, std::nullopt, 3.5, "programming failed in sector 4");
    console.JobFinished(slot, "update", "failed", 5, R"({"serialNumber":4711})");
    console.JobFinished(slot, "update", "failed", 5, "not a record");
  }
  const std::map<std::string, std::vector<std::string>> fields{
      {"started", {"time", "port", "job"}},
      {"progress", {"time", "port", "phase", "count", "total", "unit", "percent"}},
      {"note", {"time", "port", "text"}},
      {"error", {"time", "port", "text"}},
      {"board",
       {"time", "port", "result", "serial", "seconds", "cause", "passed", "failed", "meanSeconds"}},
      {"finished", {"time", "port", "job", "outcome", "exitCode", "record"}}};
  std::vector<Json> events;
  std::istringstream lines(TextOf(out));
  for (std::string line; std::getline(lines, line);) {
    events.push_back(Json::parse(line, nullptr, false));
    ASSERT_TRUE(events.back().is_object()) << line;
    const std::string event = events.back().value("event", "");
    ASSERT_TRUE(fields.count(event)) << line;
    for (const std::string& field : fields.at(event))
      EXPECT_TRUE(events.back().contains(field)) << field << " missing in " << line;
  }
  ASSERT_EQ(events.size(), 7u);
  EXPECT_EQ(events[1]["phase"], "program");
  EXPECT_EQ(events[1]["total"], 100000);
  EXPECT_EQ(events[3]["port"], "COM1");
  EXPECT_EQ(events[4]["result"], "fail");
  EXPECT_EQ(events[4]["serial"], nullptr);
  EXPECT_EQ(events[5]["record"]["serialNumber"], 4711);
  EXPECT_EQ(events[6]["record"], nullptr);
  // Standard error keeps the texts for a person, and no JSON.
  const std::string people = TextOf(err);
  EXPECT_NE(people.find("COM1: programming failed in sector 4\n"), std::string::npos) << people;
  EXPECT_NE(people.find("PORT  SERIAL\n"), std::string::npos) << people;
  EXPECT_EQ(people.find('{'), std::string::npos) << people;
  std::fclose(out);
  std::fclose(err);
}

}  // namespace
