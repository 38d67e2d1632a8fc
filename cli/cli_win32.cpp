// Windows side of the command line's host services.
#include <windows.h>
// After windows.h, which they need.
#include <io.h>
#include <shellapi.h>

#include <cstdio>

#include "cli_os.h"
#include "platform/win32_text.h"

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

unsigned long ProcessNumber() {
  return GetCurrentProcessId();
}

const char* PortNamesHelp() {
  return "Ports are COM1, COM2, ... (COM12 and \\\\.\\COM12 alike).";
}
