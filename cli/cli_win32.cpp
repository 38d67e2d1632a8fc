// Windows side of the command line's host services.
#include <windows.h>
// After windows.h, which they need.
#include <io.h>
#include <shellapi.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "cli_os.h"
#include "platform/win32_text.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace {

HANDLE HandleOf(std::FILE* stream) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

std::atomic<int>* StopTarget = nullptr;

// The console's events under the numbers of their POSIX kin, so that the
// exit codes are the same on both systems.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  int signal = 0;
  switch (event) {
    case CTRL_C_EVENT:
      signal = 2;  // SIGINT
      break;
    case CTRL_BREAK_EVENT:
      signal = 15;  // SIGTERM
      break;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      signal = 1;  // SIGHUP
      break;
    default:
      return FALSE;
  }
  int none = 0;
  if (StopTarget) StopTarget->compare_exchange_strong(none, signal);
  return TRUE;
}

}  // namespace

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> arguments;
  for (int i = 0; i < count; ++i) arguments.push_back(Utf8FromWide(wide[i]));
  LocalFree(wide);
  return arguments;
}

void UseUtf8Console() {
  SetConsoleOutputCP(CP_UTF8);
}

bool StandardInputIsTerminal() {
  return _isatty(_fileno(stdin)) != 0;
}

bool StandardErrorIsTerminal() {
  return _isatty(_fileno(stderr)) != 0;
}

bool TerminalTakesControlSequences(std::FILE* stream) {
  const HANDLE handle = HandleOf(stream);
  DWORD mode = 0;
  if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) return false;
  if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) return true;
  return SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

TerminalSize TerminalSizeOf(std::FILE* stream) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(HandleOf(stream), &info)) return {};
  return {info.srWindow.Right - info.srWindow.Left + 1,
          info.srWindow.Bottom - info.srWindow.Top + 1};
}

void WatchTerminalSize() {}

unsigned TerminalResizes() {
  static std::atomic<unsigned> asked{0};
  return asked.fetch_add(1, std::memory_order_relaxed);
}

unsigned long ProcessNumber() {
  return GetCurrentProcessId();
}

const char* PortNamesHelp() {
  return "Ports are COM1, COM2, ... (COM12 and \\\\.\\COM12 alike).";
}

void CatchStopSignals(std::atomic<int>& stop) {
  StopTarget = &stop;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

std::string SignalName(int signal) {
  switch (signal) {
    case 2:
      return "SIGINT";
    case 15:
      return "SIGTERM";
    case 1:
      return "SIGHUP";
    default:
      return "signal " + std::to_string(signal);
  }
}
