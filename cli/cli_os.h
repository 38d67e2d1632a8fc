// What the command line needs from the system besides the serial line and
// files. One backend per system (cli_posix.cpp, cli_win32.cpp).
#pragma once

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

// The program's arguments as UTF-8, the program's name first (Windows hands
// main() its arguments in the local code page; they are taken afresh from
// the system's wide command line there).
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// Makes the console show the program's UTF-8 texts as such (Windows' console
// takes its code page otherwise); nothing to do where UTF-8 is the rule.
void UseUtf8Console();

bool StandardInputIsTerminal();
bool StandardErrorIsTerminal();

// Whether `stream` is a terminal that takes ANSI control sequences (cursor
// up, erase, colours). On Windows this switches the console's virtual
// terminal processing on; a console without it gets plain lines.
bool TerminalTakesControlSequences(std::FILE* stream);

struct TerminalSize {
  int Columns = 0;  // 0: `stream` is no terminal
  int Rows = 0;
};
TerminalSize TerminalSizeOf(std::FILE* stream);

// From the first call on, the changes of the terminal's size are counted
// (SIGWINCH on POSIX: the handler only counts). TerminalResizes() returns a
// number that differs whenever the size may have changed since a caller last
// asked; Windows tells no change, so there it differs at every call and the
// size is read afresh each time (a cheap call).
void WatchTerminalSize();
unsigned TerminalResizes();

// From now on SIGINT, SIGTERM and SIGHUP (on Windows: Ctrl+C, Ctrl+Break and
// the console closing) no longer end the program at once: the first one's
// number goes into `stop` (SIGINT 2, SIGTERM 15, SIGHUP 1), for the ports to
// end their jobs as cancelled and the run to write what it knows.
void CatchStopSignals(std::atomic<int>& stop);
// "SIGINT", "SIGTERM", "SIGHUP"; "signal <n>" for another.
std::string SignalName(int signal);

// This process's number, to keep the files of two runs apart.
unsigned long ProcessNumber();

// How --port names a port here, for the help text.
const char* PortNamesHelp();
