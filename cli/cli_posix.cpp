// POSIX side of the command line's host services.
#include <unistd.h>

#include "cli_os.h"

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

unsigned long ProcessNumber() {
  return static_cast<unsigned long>(::getpid());
}

const char* PortNamesHelp() {
  return "Ports are COM1 to COM4 (as the window maps them: $UPDATER_COM<n>, else "
         "/dev/ttyS<n-1>) or a device path.";
}
