// The benchmark of the three transfers: the program's real path (TComm on a
// pseudo-terminal, the watcher, the Qt delivery, the session and Form1
// offscreen) against the simulated device in the same process.
//
//   updater_bench [--runs N] [--only abcfw] [--flood BYTES] [--no-paced]
//                 [--no-baseline] [--verify] [--verbose]
//
// Prints, per transfer, the median wall and CPU time, the time per byte or per
// word round trip, and how the wall time compares with the time the same bytes
// need on the line; the same update through the core without a window, as the
// command line runs it; the longest pause between repaints of the window while
// a device floods the line with "h" messages; then the longest pause between
// repaints while the device answers at 38400 bit/s.
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench_command_line.h"
#include "comm_async/comm_async.h"
#include "comm_async/queue_notify_target.h"
#include "core/image_file.h"
#include "core/port_core.h"
#include "platform/seq_file.h"
#include "pty_baseline.h"
#include "session/job_observer.h"
#include "sim/device_rig.h"
#include "sim/image_builder.h"
#include "ui_Unit1.h"
#include "window/Unit1.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t FullImageSize = 0x200000;  // all 35 sectors
constexpr int IdentityWords = 2048;
constexpr int ReadBackWords = 65536;
constexpr double BitsPerByte = 10;  // 8N1
constexpr uint32_t SlowRate = 38400;
constexpr uint32_t FastRate = 256000;
// Bytes between two repaints inside a sector's data.
constexpr int RepaintStepBytes = 512;
constexpr uint8_t PacedSector = 4;  // the first 64 KB sector
// Only a guard against a hang: a loaded machine stretches a 2 MiB update to a
// minute and more.
constexpr auto JobLimit = std::chrono::seconds(300);
// A window that spends long on each flooded character would not end in any
// useful time, and while the session reads the flood nothing else runs on the
// window thread: the row pulls the device's wire after this long and reports
// the bytes that came through.
constexpr auto FloodLimit = std::chrono::seconds(120);
constexpr double RepaintTargetMs = 200;
constexpr uint64_t MiB = 1024 * 1024;

struct Options {
  int Runs = 5;
  bool Paced = true;
  bool Baseline = true;
  bool Verbose = false;
  // The updates read back and compare what they wrote, as both front ends
  // do by default; off, the rows time the programming alone.
  bool Verify = false;
  uint64_t FloodBytes = 10 * MiB;
  size_t FloodBatch = 0;  // an experiment: the log handed to the window in pieces
  // a update, b identity, c read-back, f flood, w the update through the
  // window against the same through the core without a window
  std::string Only = "abcfw";
  bool Wants(char letter) const { return Only.find(letter) != std::string::npos; }
};

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

double CpuSeconds(clockid_t clock) {
  timespec t{};
  if (clock_gettime(clock, &t) != 0) return 0;
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// Form1 with the log and the repaint hook watched: the session reports every
// step through them, so the benchmark sees each step the moment it happens.
class BenchForm : public TForm1 {
 public:
  std::function<void(std::string_view)> OnLog;

  // The time spent in the window's log writes, while counted.
  struct LogCost {
    uint64_t Calls = 0;
    Clock::duration Total{};
    Clock::duration Longest{};
  };
  LogCost* Cost = nullptr;
  // An experiment, not the program: the log's text is handed to the window in
  // pieces (at a line end, or BatchBytes at the latest) instead of as it
  // comes, to show what the window costs when it takes a flood in batches.
  size_t BatchBytes = 0;

  void LogWrite(std::string_view text) override {
    if (BatchBytes > 0) {
      batch_ += text;
      if (batch_.size() >= BatchBytes || text.find('\n') != std::string_view::npos) {
        WriteTimed(batch_);
        batch_.clear();
      }
    } else {
      WriteTimed(text);
    }
    if (OnLog) OnLog(text);
  }
  void SetPanelCount(int32_t count) override {
    TForm1::SetPanelCount(count);
    if (Timeline && count % 4096 == 0) Timeline->push_back(Clock::now());
  }
  std::vector<Clock::time_point>* Timeline = nullptr;
  // Inside a sector's data the panel is painted at once every 512 bytes; the
  // rest of the window between two slices.
  void RepaintPanelNow() override {
    const Clock::time_point start = Clock::now();
    TForm1::RepaintPanelNow();
    LongestRepaintStep = std::max(LongestRepaintStep, Clock::now() - start);
  }
  Clock::duration LongestRepaintStep{};

 private:
  void WriteTimed(std::string_view text) {
    if (!Cost) {
      TForm1::LogWrite(text);
      return;
    }
    const Clock::time_point start = Clock::now();
    TForm1::LogWrite(text);
    const Clock::duration took = Clock::now() - start;
    ++Cost->Calls;
    Cost->Total += took;
    Cost->Longest = std::max(Cost->Longest, took);
  }

  std::string batch_;
};

// Notes every paint of the window and of its widgets.
class PaintWatch : public QObject {
 public:
  void Watch(QWidget& window) {
    window.installEventFilter(this);
    for (QWidget* child : window.findChildren<QWidget*>()) child->installEventFilter(this);
  }
  void Record(bool on) {
    recording_ = on;
    if (on) Times.clear();
  }
  std::vector<Clock::time_point> Times;
  uint64_t Count = 0;

 protected:
  bool eventFilter(QObject* watched, QEvent* e) override {
    if (e->type() == QEvent::Paint) {
      ++Count;
      if (recording_) Times.push_back(Clock::now());
    }
    return QObject::eventFilter(watched, e);
  }

 private:
  bool recording_ = false;
};

// Longest stretch without a paint inside [from, to].
double LongestGapMs(const std::vector<Clock::time_point>& paints, Clock::time_point from,
                    Clock::time_point to) {
  Clock::time_point last = from;
  Clock::duration longest{};
  for (const Clock::time_point t : paints) {
    if (t < from || t > to) continue;
    longest = std::max(longest, t - last);
    last = t;
  }
  longest = std::max(longest, to - last);
  return std::chrono::duration<double, std::milli>(longest).count();
}

// One moment of a run: clocks and the device's byte counters.
struct Snapshot {
  Clock::time_point Time;
  double ProcessCpu = 0;
  double WindowCpu = 0;
  double DeviceCpu = 0;
  uint64_t ToDevice = 0;
  uint64_t FromDevice = 0;
};

struct Interval {
  double Wall = 0;
  double ProgramCpu = 0;  // the process without the simulated device's thread
  double WindowCpu = 0;
  uint64_t ToDevice = 0;
  uint64_t FromDevice = 0;
};

Interval Between(const Snapshot& a, const Snapshot& b) {
  Interval i;
  i.Wall = Seconds(b.Time - a.Time);
  i.ProgramCpu = (b.ProcessCpu - a.ProcessCpu) - (b.DeviceCpu - a.DeviceCpu);
  i.WindowCpu = b.WindowCpu - a.WindowCpu;
  i.ToDevice = b.ToDevice - a.ToDevice;
  i.FromDevice = b.FromDevice - a.FromDevice;
  return i;
}

// The simulated device of the shared rig behind COM1, with the CPU clock of
// its own thread read so that its share can be told from the program's.
class SimDevice {
 public:
  bool Start(const fs::path& folder, const sim::Faults& faults, std::string* error) {
    rig::DeviceSetup setup;
    setup.Identity = sim::DeviceIdentity{"DEMO165", "1.0a", 4711u, "DEMO-LABEL"};
    setup.Faults = faults;
    device_ = std::make_unique<rig::SimulatedDevice>(folder.string(), std::move(setup));
    return device_->Start(1, error);
  }

  // The calling thread's CPU clock stands for the program's front end.
  Snapshot Take() const {
    Snapshot s;
    s.Time = Clock::now();
    s.ProcessCpu = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    s.WindowCpu = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    s.DeviceCpu = device_->CpuSeconds();
    s.ToDevice = device_->Pty().BytesReceived();
    s.FromDevice = device_->Pty().BytesSent();
    return s;
  }

  sim::PtyDevice& Pty() { return device_->Pty(); }

 private:
  std::unique_ptr<rig::SimulatedDevice> device_;
};

// Snapshots are taken when the lines in a job's marks are logged (the first
// time each).
struct Mark {
  std::string Text;
  std::optional<Snapshot> At;
};

// Follows one job through its log: done at `DoneText`, failed at "<ERR".
struct JobWatch {
  std::string DoneText;
  std::vector<Mark>* Marks = nullptr;
  bool Done = false;
  bool Failed = false;

  void Begin(const std::string& doneText, std::vector<Mark>* marks) {
    DoneText = doneText;
    Marks = marks;
    Done = Failed = false;
  }
  // True when the job has just ended.
  bool Logged(std::string_view text, const SimDevice& device) {
    if (Marks) {
      for (Mark& mark : *Marks) {
        if (!mark.At && text.find(mark.Text) != std::string_view::npos) mark.At = device.Take();
      }
    }
    if (text.find("<ERR") != std::string_view::npos) Failed = true;
    if (!DoneText.empty() && text.find(DoneText) != std::string_view::npos) Done = true;
    return Done || Failed;
  }
};

// The simulated device and the program's window on its line.
class Rig {
 public:
  Rig(const fs::path& folder, sim::Faults faults) : folder_(folder), faults_(std::move(faults)) {}
  Rig(const fs::path& folder, uint32_t deviceBitRate) : folder_(folder) {
    faults_.BitRate = deviceBitRate;
  }
  ~Rig() { form_.reset(); }

  // The device and the window, not yet connected.
  bool Open(std::string* error) {
    if (!device_.Start(folder_, faults_, error)) return false;
    form_ = std::make_unique<BenchForm>();
    form_->WarningHook = [this](const QString& text) {
      warnings_.push_back(text.toStdString());
      watch_.Failed = true;
      Quit();
    };
    form_->FileDialogHook = [this](const QString&, const QString&) -> std::optional<QString> {
      return QString::fromStdString(nextFile_);
    };
    form_->ConfirmCloseHook = [] { return true; };
    form_->OnLog = [this](std::string_view text) {
      if (watch_.Logged(text, device_)) Quit();
    };
    form_->GetSession().WorkingDirectory = folder_.string();
    // The rows time the programming; the verify after it would double them.
    form_->GetSession().VerifyAfterDownload = false;
    form_->show();
    paints_.Watch(*form_);
    form_->Widgets().RadioButton1->click();
    return true;
  }

  bool Connect(std::string* error) {
    if (!RunJob([this] { form_->Button3Click(); }, "<  c o n n e c t e d  >", nullptr)) {
      if (error) *error = "connect failed:\n" + LogText();
      return false;
    }
    return true;
  }

  bool Start(std::string* error) { return Open(error) && Connect(error); }

  Snapshot Take() const { return device_.Take(); }

  // Runs one job from its handler to the log line `doneText`.
  bool RunJob(const std::function<void()>& start, const std::string& doneText,
              std::vector<Mark>* marks, Clock::duration limit = JobLimit) {
    watch_.Begin(doneText, marks);
    QEventLoop loop;
    loop_ = &loop;
    const auto deadline = Clock::now() + limit;
    QTimer guard;
    QObject::connect(&guard, &QTimer::timeout, &loop, [&] {
      if (Clock::now() > deadline) {
        timedOut_ = watch_.Failed = true;
        loop.quit();
      }
    });
    guard.start(250);
    timedOut_ = false;
    start();
    if (!watch_.Done && !watch_.Failed) loop.exec();
    loop_ = nullptr;
    watch_.Marks = nullptr;
    return watch_.Done && !watch_.Failed;
  }

  BenchForm& Form() { return *form_; }
  sim::PtyDevice& Device() { return device_.Pty(); }
  PaintWatch& Paints() { return paints_; }
  bool TimedOut() const { return timedOut_; }
  void SetNextFile(const std::string& path) { nextFile_ = path; }
  std::string LogText() const { return form_->Widgets().Memo2->toPlainText().toStdString(); }
  const std::vector<std::string>& Warnings() const { return warnings_; }
  void ClearLog() { form_->Widgets().Memo2->clear(); }

 private:
  void Quit() {
    if (loop_) loop_->quit();
  }

  fs::path folder_;
  sim::Faults faults_;
  SimDevice device_;
  std::unique_ptr<BenchForm> form_;
  PaintWatch paints_;
  std::string nextFile_;
  std::vector<std::string> warnings_;
  QEventLoop* loop_ = nullptr;
  JobWatch watch_;
  bool timedOut_ = false;
};

// What the jobs report, as the command line hears it: no widgets, the log
// kept as text.
class PlainWindow : public JobObserver {
 public:
  std::function<void(std::string_view)> OnLog;
  std::string Log;
  std::vector<std::string> Warnings;

  void LogWrite(std::string_view text) override {
    Log += text;
    if (OnLog) OnLog(text);
  }
  void Warning(std::string_view text) override { Warnings.emplace_back(text); }
};

// The same device with the core every front end uses and no Qt at all: the
// serial component's notifications go into a plain queue pumped on the
// calling thread, as the command line runs each port.
class CoreRig {
 public:
  explicit CoreRig(const fs::path& folder) : folder_(folder) {}

  bool Start(bool verifyAfterDownload, std::string* error) {
    if (!device_.Start(folder_, {}, error)) return false;
    core_ = std::make_unique<PortCore>(target_, window_);
    // As the command line runs it: no watcher, the port waited for here.
    core_->Comm().WatchOnOwnThread = true;
    window_.OnLog = [this](std::string_view text) { watch_.Logged(text, device_); };
    Session& session = core_->GetSession();
    session.WorkingDirectory = folder_.string();
    session.TemporaryImagePath = (folder_ / "core-tmp.bin").string();
    session.VerifyAfterDownload = verifyAfterDownload;
    core_->SelectPort(1);
    session.FormActivate();
    if (!RunJob([this] { core_->Connect(); }, "<  c o n n e c t e d  >", nullptr)) {
      *error = "connect without a window failed:\n" + window_.Log;
      return false;
    }
    // The update takes the identity the device reported.
    if (!RunJob([this] { core_->Identify(); }, "<done>", nullptr)) {
      *error = "identity read without a window failed:\n" + window_.Log;
      return false;
    }
    return true;
  }

  bool RunJob(const std::function<void()>& start, const std::string& doneText,
              std::vector<Mark>* marks) {
    watch_.Begin(doneText, marks);
    const auto deadline = Clock::now() + JobLimit;
    start();
    while (!watch_.Done && !watch_.Failed && window_.Warnings.empty() && Clock::now() < deadline) {
      core_->Pump(std::chrono::milliseconds(10));
    }
    watch_.Marks = nullptr;
    return watch_.Done && !watch_.Failed && window_.Warnings.empty();
  }

  Snapshot Take() const { return device_.Take(); }
  Session& GetSession() { return core_->GetSession(); }
  PortCore& Core() { return *core_; }
  PlainWindow& Window() { return window_; }

 private:
  fs::path folder_;
  SimDevice device_;
  QueueNotifyTarget target_;
  PlainWindow window_;
  std::unique_ptr<PortCore> core_;
  JobWatch watch_;
};

struct JobResult {
  std::vector<Interval> Runs;
  Interval MedianOf() const {
    Interval m;
    auto pick = [&](auto field) {
      std::vector<double> v;
      for (const Interval& i : Runs) v.push_back(static_cast<double>(i.*field));
      return Median(v);
    };
    m.Wall = pick(&Interval::Wall);
    m.ProgramCpu = pick(&Interval::ProgramCpu);
    m.WindowCpu = pick(&Interval::WindowCpu);
    m.ToDevice = static_cast<uint64_t>(pick(&Interval::ToDevice));
    m.FromDevice = static_cast<uint64_t>(pick(&Interval::FromDevice));
    return m;
  }
};

double LineSeconds(const Interval& i, uint32_t rate) {
  return static_cast<double>(i.ToDevice + i.FromDevice) * BitsPerByte / rate;
}

void PrintRow(const char* name, const JobResult& result, double units, const char* unitName,
              double targetRatio) {
  if (result.Runs.empty()) return;
  const Interval m = result.MedianOf();
  const double perUnitUs = units > 0 ? m.Wall / units * 1e6 : 0;
  const double line38 = LineSeconds(m, SlowRate);
  const double line256 = LineSeconds(m, FastRate);
  const double ratio256 = line256 > 0 ? m.Wall / line256 : 0;
  std::printf("%-34s %8.3f %8.3f %8.3f %9llu %9llu %8.2f us/%-5s %8.1f %7.4f %8.2f %7.4f  %s\n",
              name, m.Wall, m.ProgramCpu, m.WindowCpu, static_cast<unsigned long long>(m.ToDevice),
              static_cast<unsigned long long>(m.FromDevice), perUnitUs, unitName, line38,
              line38 > 0 ? m.Wall / line38 : 0, line256, ratio256,
              targetRatio <= 0          ? ""
              : ratio256 <= targetRatio ? "met"
                                        : "NOT met");
}

// A byte count: digits, optionally followed by K or M (binary).
bool ParseBytes(const std::string& text, uint64_t& bytes) {
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (end == text.c_str()) return false;
  const std::string unit = end;
  const uint64_t scale = unit.empty() ? 1 : unit == "K" ? 1024 : unit == "M" ? MiB : 0;
  if (scale == 0 || value > 1024 * MiB / scale) return false;
  bytes = value * scale;
  return true;
}

// -1 to go on; otherwise the exit code, after the help or the error.
int ParseOptions(int argc, char** argv, Options& options) {
  CLI::App app(
      "The benchmark of the three transfers through the program against the simulated "
      "device.",
      "updater_bench");
  app.add_option("--runs", options.Runs, "runs of each transfer; the median is reported (5)")
      ->check(CLI::Range(1, 100000));
  app.add_option("--only", options.Only,
                 "only these rows: a update, b identity, c read-back, f flood, w the update "
                 "through the window and without one (abcfw)")
      ->type_name("LETTERS");
  auto bytes = [](const char* name, const char* example, auto&& store) {
    return [name, example, store](const std::string& text) {
      uint64_t value = 0;
      if (!ParseBytes(text, value) || !store(value)) {
        throw CLI::ValidationError(name, std::string("takes a byte count such as ") + example);
      }
    };
  };
  app.add_option_function<std::string>(
         "--flood",
         bytes("--flood", "10M, 512K or 1000000",
               [&options](uint64_t value) {
                 options.FloodBytes = value;
                 return true;
               }),
         "\"h\" messages the device floods the line with (10M); the growth table adds a tenth "
         "and four tenths of it")
      ->type_name("BYTES");
  app.add_option_function<std::string>(
         "--flood-batch",
         bytes("--flood-batch", "4K",
               [&options](uint64_t value) {
                 options.FloodBatch = static_cast<size_t>(value);
                 return value > 0;
               }),
         "experiment: the log reaches the window in pieces of up to BYTES (at line ends) instead "
         "of as it comes")
      ->type_name("BYTES");
  app.add_flag_callback(
      "--no-paced", [&options] { options.Paced = false; },
      "skip the repaint measurement at 38400 bit/s");
  app.add_flag_callback(
      "--no-baseline", [&options] { options.Baseline = false; },
      "skip the bare pseudo-terminal figures");
  app.add_flag("--verify", options.Verify,
               "the updates read back what they wrote (both front ends' default); without it the "
               "rows time the programming");
  app.add_flag("--verbose", options.Verbose, "every run's figures too");
  return bench::ParseCommandLine(app, argc, argv, 2);
}

// The images the rows update with, beside the upload files.
bool WriteImages(const rig::WorkFolder& folder, std::string* error) {
  sim::ImageOptions full;
  full.Size = FullImageSize;
  full.Seed = 11;
  sim::ImageOptions oneSector;
  oneSector.Size = 65536;
  oneSector.Sectors = std::vector<uint8_t>{PacedSector};
  oneSector.Seed = 12;
  return sim::WriteImageFile(folder.File("full.bin"), full, error) &&
         sim::WriteImageFile(folder.File("sector.bin"), oneSector, error);
}

// Wake-ups between threads dominate every figure here, and on a virtual
// machine they cost several times more when its processors are idle than when
// they are busy: the load is part of the result.
void PrintMachine() {
  double load[3] = {0, 0, 0};
  if (FILE* f = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(f, "%lf %lf %lf", &load[0], &load[1], &load[2]) != 3) load[0] = -1;
    std::fclose(f);
  }
  std::printf("%u processors; load average %.2f %.2f %.2f at the start\n\n",
              std::thread::hardware_concurrency(), load[0], load[1], load[2]);
}

// A device that floods the line with "h" messages at once, during "connect":
// the window's log takes every character.
struct FloodResult {
  uint64_t Bytes = 0;
  double Wall = 0;
  double WindowCpu = 0;
  double GapMs = 0;
  size_t Paints = 0;
  BenchForm::LogCost Cost;
  bool Connected = false;
  bool GaveUp = false;  // the wire was pulled at FloodLimit
};

std::optional<FloodResult> MeasureFlood(const fs::path& folder, uint64_t bytes, size_t batch,
                                        std::string* error) {
  sim::Faults faults;
  faults.FloodBytes = bytes;
  Rig rig(folder, faults);
  if (!rig.Open(error)) return std::nullopt;
  FloodResult result;
  result.Bytes = bytes;
  rig.Form().Cost = &result.Cost;
  rig.Form().BatchBytes = batch;
  PaintWatch& paints = rig.Paints();
  paints.Record(true);
  const Snapshot start = rig.Take();
  std::mutex mutex;
  std::condition_variable over;
  bool finished = false;
  std::atomic<bool> pulled{false};
  std::thread watchdog([&] {
    std::unique_lock lock(mutex);
    if (!over.wait_for(lock, FloodLimit, [&] { return finished; })) {
      pulled = true;
      rig.Device().PullWire();
    }
  });
  result.Connected = rig.RunJob([&] { rig.Form().Button3Click(); }, "<  c o n n e c t e d  >",
                                nullptr, FloodLimit + std::chrono::seconds(30));
  {
    std::lock_guard lock(mutex);
    finished = true;
  }
  over.notify_all();
  watchdog.join();
  const Snapshot end = rig.Take();
  rig.Form().Cost = nullptr;
  paints.Record(false);
  result.GaveUp = pulled || rig.TimedOut();
  if (!result.Connected && !result.GaveUp) {
    *error = "connect against the flooding device failed:\n" + rig.LogText().substr(0, 2000);
    return std::nullopt;
  }
  const Interval i = Between(start, end);
  // What came through of the flood (the device's few other bytes included).
  if (result.GaveUp) result.Bytes = std::min<uint64_t>(bytes, i.FromDevice);
  result.Wall = i.Wall;
  result.WindowCpu = i.WindowCpu;
  result.GapMs = LongestGapMs(paints.Times, start.Time, end.Time);
  result.Paints = paints.Times.size();
  return result;
}

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

int RunFlood(const Options& options, const fs::path& folder) {
  std::string error;
  std::vector<FloodResult> runs;
  for (int run = 0; run < options.Runs; ++run) {
    const std::optional<FloodResult> r =
        MeasureFlood(folder, options.FloodBytes, options.FloodBatch, &error);
    if (!r) {
      std::fprintf(stderr, "updater_bench (flood): %s\n", error.c_str());
      return 1;
    }
    runs.push_back(*r);
    if (options.Verbose) {
      std::printf("flood run %d: %.3f s, window CPU %.3f s, longest gap %.1f ms\n", run, r->Wall,
                  r->WindowCpu, r->GapMs);
    }
  }
  // The run of median wall time stands for all.
  std::sort(runs.begin(), runs.end(),
            [](const FloodResult& a, const FloodResult& b) { return a.Wall < b.Wall; });
  std::vector<FloodResult> table;
  for (const uint64_t tenths : {1, 4}) {
    const std::optional<FloodResult> r =
        MeasureFlood(folder, options.FloodBytes * tenths / 10, options.FloodBatch, &error);
    if (!r) {
      std::fprintf(stderr, "updater_bench (flood): %s\n", error.c_str());
      return 1;
    }
    table.push_back(*r);
  }
  table.push_back(runs[runs.size() / 2]);

  std::printf(
      "Device flooding the line with \"h\" messages at once (no pacing) during \"connect\", from "
      "the\nclick to \"<  c o n n e c t e d  >\" (the flood is over then); the window's log takes "
      "every\ncharacter. Full flood: median of %d runs by wall time; a tenth and four tenths of it "
      "once\neach. A flood not over after %lld s is cut by pulling the wire; its row counts the "
      "bytes\nthat came through.\n",
      options.Runs, static_cast<long long>(FloodLimit.count()));
  if (options.FloodBatch > 0) {
    std::printf(
        "EXPERIMENT: the log reached the window in pieces of up to %zu bytes (at line "
        "ends),\nnot as the session wrote it.\n",
        options.FloodBatch);
  }
  std::printf("%-10s %8s %9s %9s %11s %7s %10s %10s %10s  %s\n", "flood", "wall s", "window s",
              "us/byte", "longest gap", "paints", "log writes", "in log s", "longest", "target");
  for (const FloodResult& r : table) {
    const double bytes = static_cast<double>(r.Bytes);
    std::printf(
        "%6.2f MiB %8.3f %9.3f %9.3f %8.1f ms %7zu %10llu %10.3f %7.3f ms  %s%s\n", bytes / MiB,
        r.Wall, r.WindowCpu, r.Wall / bytes * 1e6, r.GapMs, r.Paints,
        static_cast<unsigned long long>(r.Cost.Calls), Seconds(r.Cost.Total), Ms(r.Cost.Longest),
        r.GapMs <= RepaintTargetMs ? "met" : "NOT met",
        r.GaveUp ? " (<= 200 ms; cut: the flood was not over)" : " (<= 200 ms between repaints)");
  }
  std::printf(
      "  us/byte: wall time per flooded byte, flat when the cost grows with the log's length\n"
      "  and not with its square. log writes / in log: the window's LogWrite calls and the time\n"
      "  spent inside them (pane and saved log).\n\n");
  return 0;
}

// One 2 MiB update through the core without a window, as the command line
// runs it, against the same device, image and bit rate as the window's.
bool RunCoreUpdate(CoreRig& rig, const fs::path& folder, JobResult& update, JobResult& whole) {
  rig.Window().Log.clear();
  std::vector<Mark> marks = {{"<command: delete sector", {}}};
  const Snapshot start = rig.Take();
  // The command line reads its image once, before any port is touched.
  const ImagePlan image = PlanImage((folder / "full.bin").string());
  if (!rig.RunJob([&] { rig.Core().Update(image); }, "<done>", &marks) || !marks[0].At) {
    std::fprintf(stderr, "update without a window failed after %.1f s:\n%s\n",
                 Seconds(Clock::now() - start.Time), rig.Window().Log.c_str());
    for (const std::string& w : rig.Window().Warnings) std::fprintf(stderr, "%s\n", w.c_str());
    return false;
  }
  const Snapshot end = rig.Take();
  update.Runs.push_back(Between(*marks[0].At, end));
  whole.Runs.push_back(Between(start, end));
  return true;
}

int RunMeasurements(const Options& options, const fs::path& folder) {
  PrintMachine();
  if (options.Baseline) {
    const bench::PtyBaseline base = bench::MeasurePtyBaseline(options.Runs, 20000, 200000);
    std::printf("Bare pseudo-terminal, plain system calls, no part of the program (median of %d)\n",
                options.Runs);
    std::printf("  round trip, 1 byte answered by 1 byte      %7.1f us\n", base.RoundTripUs1);
    std::printf("  round trip, 1 byte answered by 3 bytes     %7.1f us   (a read word)\n",
                base.RoundTripUs3);
    std::printf("  write(), one byte, other side draining     %7.2f us/byte\n\n",
                base.WriteUsPerByte);
  }

  std::string error;
  JobResult update, programming, identity, readBack, updateWhole, coreUpdate, coreWhole;
  const bool runA = options.Wants('a') || options.Wants('w');
  bool windowVerifies = true;
  {
    Rig rig(folder, 0);
    if (!rig.Start(&error)) {
      std::fprintf(stderr, "updater_bench: %s\n", error.c_str());
      return 1;
    }
    const std::string destination = (folder / "sectors.2bf").string();
    const bool runB = options.Wants('b') || runA;
    const bool runC = options.Wants('c');
    rig.Form().GetSession().VerifyAfterDownload = options.Verify;
    windowVerifies = options.Verify;
    // Its runs take turns with the window's, so that both meet the same load.
    std::unique_ptr<CoreRig> core;
    if (options.Wants('w')) {
      core = std::make_unique<CoreRig>(folder);
      if (!core->Start(windowVerifies, &error)) {
        std::fprintf(stderr, "updater_bench: %s\n", error.c_str());
        return 1;
      }
    }
    for (int run = 0; run < (runB ? options.Runs : 0); ++run) {
      rig.ClearLog();
      std::vector<Mark> none;
      const Snapshot start = rig.Take();
      if (!rig.RunJob([&] { rig.Form().Button6Click(); }, "<done>", &none)) {
        std::fprintf(stderr, "identity read failed:\n%s\n", rig.LogText().c_str());
        return 1;
      }
      identity.Runs.push_back(Between(start, rig.Take()));
    }
    for (int run = 0; run < (runC ? options.Runs : 0); ++run) {
      rig.ClearLog();
      rig.SetNextFile(destination);
      std::vector<Mark> none;
      std::vector<Clock::time_point> timeline;
      if (options.Verbose) rig.Form().Timeline = &timeline;
      const Snapshot start = rig.Take();
      timeline.push_back(start.Time);
      if (!rig.RunJob([&] { rig.Form().Button11Click(); }, "<done>", &none)) {
        std::fprintf(stderr, "read-back failed:\n%s\n", rig.LogText().c_str());
        return 1;
      }
      readBack.Runs.push_back(Between(start, rig.Take()));
      if (options.Verbose) {
        rig.Form().Timeline = nullptr;
        std::printf("read-back run %d: %llu paints so far; us/word per 4096 words:", run,
                    static_cast<unsigned long long>(rig.Paints().Count));
        for (size_t i = 1; i < timeline.size(); ++i) {
          std::printf(
              " %.0f",
              std::chrono::duration<double, std::micro>(timeline[i] - timeline[i - 1]).count() /
                  4096);
        }
        std::printf("\n");
      }
      if (fs::file_size(destination) != 2u * ReadBackWords) {
        std::fprintf(stderr, "read-back wrote %ju bytes\n",
                     static_cast<uintmax_t>(fs::file_size(destination)));
        return 1;
      }
    }
    for (int run = 0; run < (runA ? options.Runs : 0); ++run) {
      rig.ClearLog();
      rig.SetNextFile((folder / "full.bin").string());
      std::vector<Mark> marks = {{"<command: delete sector", {}},
                                 {"<all selected sectors are erased now>", {}}};
      const Snapshot start = rig.Take();
      if (!rig.RunJob([&] { rig.Form().Button4Click(); }, "<done>", &marks) || !marks[0].At ||
          !marks[1].At) {
        std::fprintf(stderr, "update failed:\n%s\n", rig.LogText().c_str());
        return 1;
      }
      const Snapshot end = rig.Take();
      update.Runs.push_back(Between(*marks[0].At, end));
      programming.Runs.push_back(Between(*marks[1].At, end));
      updateWhole.Runs.push_back(Between(start, end));
      if (core && !RunCoreUpdate(*core, folder, coreUpdate, coreWhole)) return 1;
    }
    if (options.Verbose) {
      auto dump = [](const char* name, const JobResult& r) {
        std::printf("%s:", name);
        for (const Interval& i : r.Runs)
          std::printf(" %.3f/%.3f/%.3f", i.Wall, i.ProgramCpu, i.WindowCpu);
        std::printf("  (wall/CPU/window CPU s)\n");
      };
      dump("identity", identity);
      dump("read-back", readBack);
      dump("update", update);
      dump("programming", programming);
    }
  }

  if (!update.Runs.empty() || !identity.Runs.empty() || !readBack.Runs.empty()) {
    std::printf(
        "Transfers through the program (TComm on a pty, watcher, Qt delivery, session, Form1 "
        "offscreen),\nthe simulated device answering at once; median of %d runs. CPU: the process "
        "without the\ndevice's thread (window thread + watcher); window: the window thread "
        "alone.\n",
        options.Runs);
    std::printf("%-34s %8s %8s %8s %9s %9s %17s %8s %7s %8s %7s  %s\n", "transfer", "wall s",
                "CPU s", "window s", "to dev", "from dev", "per byte/word", "line38k", "ratio",
                "line256k", "ratio", "target (<=ratio at 256k)");
    PrintRow("(a) update 2 MiB, erase to <done>", update, FullImageSize, "byte", 0.05);
    PrintRow("    programming phase", programming, FullImageSize, "byte", 0.05);
    PrintRow("(b) identity, 2048 words", identity, IdentityWords, "word", 0);
    PrintRow("(c) read-back, 65536 words", readBack, ReadBackWords, "word", 0.25);
    std::printf("\n");
  }

  if (!coreUpdate.Runs.empty()) {
    std::printf(
        "The same 2 MiB update (same device, image and bit rate, verify %s) through the window\n"
        "and through the core without a window, as the command line runs it, taking turns; median "
        "of %d runs.\n",
        windowVerifies ? "on" : "off", options.Runs);
    std::printf("%-34s %8s %8s %8s %9s %9s %17s %8s %7s %8s %7s\n", "update", "wall s", "CPU s",
                "front s", "to dev", "from dev", "per byte", "line38k", "ratio", "line256k",
                "ratio");
    PrintRow("window, click to <done>", updateWhole, FullImageSize, "byte", 0);
    PrintRow("command line, start to <done>", coreWhole, FullImageSize, "byte", 0);
    PrintRow("window, erase to <done>", update, FullImageSize, "byte", 0);
    PrintRow("command line, erase to <done>", coreUpdate, FullImageSize, "byte", 0);
    const double window = updateWhole.MedianOf().Wall;
    const double line = coreWhole.MedianOf().Wall;
    std::printf(
        "  command line / window, whole job: %.3f  (target <= 1.00, the command line must not be\n"
        "  slower): %s\n\n",
        window > 0 ? line / window : 0, line <= window ? "met" : "NOT met");
  }

  if (options.Wants('f') && options.FloodBytes > 0 && RunFlood(options, folder) != 0) return 1;

  if (!options.Paced) return 0;

  // The device answers at 38400 bit/s: how long does the window go without a
  // repaint?
  Rig rig(folder, SlowRate);
  if (!rig.Start(&error)) {
    std::fprintf(stderr, "updater_bench (paced): %s\n", error.c_str());
    return 1;
  }
  PaintWatch& paints = rig.Paints();
  auto watch = [&](const std::function<void()>& start, const char* what) -> std::optional<double> {
    rig.ClearLog();
    paints.Record(true);
    const Clock::time_point from = Clock::now();
    std::vector<Mark> none;
    if (!rig.RunJob(start, "<done>", &none)) {
      std::fprintf(stderr, "paced %s failed:\n%s\n", what, rig.LogText().c_str());
      return std::nullopt;
    }
    const double gap = LongestGapMs(paints.Times, from, Clock::now());
    paints.Record(false);
    return gap;
  };
  const std::optional<double> readGap = watch([&] { rig.Form().Button6Click(); }, "identity read");
  if (!readGap) return 1;
  const size_t readPaints = paints.Times.size();
  rig.SetNextFile((folder / "sector.bin").string());
  rig.Form().LongestRepaintStep = {};
  const std::optional<double> programGap = watch([&] { rig.Form().Button4Click(); }, "programming");
  if (!programGap) return 1;
  const size_t programPaints = paints.Times.size();
  const double stepMs =
      std::chrono::duration<double, std::milli>(rig.Form().LongestRepaintStep).count();
  const double lineStepMs = RepaintStepBytes * BitsPerByte * 1000.0 / SlowRate;

  auto verdict = [](double ms) { return ms <= 150 ? "met (<= 150 ms)" : "NOT met (<= 150 ms)"; };
  std::printf("Device output paced at 38400 bit/s, the program's port at 38400\n");
  std::printf("%-52s %10s %8s  %s\n", "while", "longest", "paints", "target");
  std::printf("%-52s %7.1f ms %8zu  %s\n", "(b) identity read, 2048 words", *readGap, readPaints,
              verdict(*readGap));
  std::printf("%-52s %7.1f ms %8zu  %s\n", "update of one 64 KB sector, download to <done>",
              *programGap, programPaints, verdict(*programGap));
  std::printf(
      "  A pseudo-terminal takes the program's bytes at once, so a sector's data is sent here\n"
      "  without waiting for the line. On a real port at 38400 bit/s the writes wait for the\n"
      "  line, and the window is repainted every %d bytes (%.1f ms of line time) plus the\n"
      "  repaint itself, longest measured %.2f ms: %.1f ms between repaints, %s.\n",
      RepaintStepBytes, lineStepMs, stepMs, lineStepMs + stepMs, verdict(lineStepMs + stepMs));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const int code = ParseOptions(argc, argv, options); code >= 0) return code;
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  SeqFile::DefaultOpenMode = FileOpenMode::ReadOnly;
  // What the window remembers and keeps goes to a scratch folder, never the
  // user's.
  QTemporaryDir config;
  qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
  qputenv("XDG_STATE_HOME", config.path().toUtf8());
  QApplication application(argc, argv);

  // A private working folder with the upload files and the images.
  const rig::WorkFolder folder("updater_bench");
  std::string error = folder.Problem();
  if (!error.empty() || !WriteImages(folder, &error)) {
    std::fprintf(stderr, "updater_bench: %s\n", error.c_str());
    return 1;
  }
  return RunMeasurements(options, folder.Path());
}
