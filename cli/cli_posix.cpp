// POSIX side of the command line's host services.
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "cli_os.h"

namespace {

// Lock-free, so the signal handler may touch it.
std::atomic<unsigned> Resizes{0};
static_assert(std::atomic<unsigned>::is_always_lock_free);

void OnResize(int) {
  Resizes.fetch_add(1, std::memory_order_relaxed);
}

std::atomic<int>* StopTarget = nullptr;
static_assert(std::atomic<int>::is_always_lock_free);

void OnStop(int signal) {
  // The first signal counts; the jobs are already ending.
  int none = 0;
  if (StopTarget) StopTarget->compare_exchange_strong(none, signal);
}

}  // namespace

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

void UseUtf8Console() {}

bool StandardInputIsTerminal() {
  return ::isatty(STDIN_FILENO) != 0;
}

bool StandardErrorIsTerminal() {
  return ::isatty(STDERR_FILENO) != 0;
}

bool TerminalTakesControlSequences(std::FILE* stream) {
  if (::isatty(::fileno(stream)) == 0) return false;
  const char* term = std::getenv("TERM");
  return term == nullptr || std::strcmp(term, "dumb") != 0;
}

TerminalSize TerminalSizeOf(std::FILE* stream) {
  winsize size{};
  if (::ioctl(::fileno(stream), TIOCGWINSZ, &size) != 0) return {};
  return {size.ws_col, size.ws_row};
}

void WatchTerminalSize() {
  static std::once_flag installed;
  std::call_once(installed, [] {
    struct sigaction action {};
    action.sa_handler = OnResize;
    sigemptyset(&action.sa_mask);
    // The port threads' reads and writes go on after a resize.
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGWINCH, &action, nullptr);
  });
}

unsigned TerminalResizes() {
  return Resizes.load(std::memory_order_relaxed);
}

void CatchStopSignals(std::atomic<int>& stop) {
  StopTarget = &stop;
  struct sigaction action {};
  action.sa_handler = OnStop;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a question waiting on the terminal ends with the signal.
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

std::string SignalName(int signal) {
  switch (signal) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "signal " + std::to_string(signal);
  }
}

unsigned long ProcessNumber() {
  return static_cast<unsigned long>(::getpid());
}

const char* PortNamesHelp() {
  return "Ports are COM1 to COM4 (as the window maps them: $UPDATER_COM<n>, else "
         "/dev/ttyS<n-1>) or a device path.";
}
