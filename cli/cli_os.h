// What the command line needs from the system besides the serial line and
// files. One backend per system (cli_posix.cpp, cli_win32.cpp).
#pragma once

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

// This process's number, to keep the files of two runs apart.
unsigned long ProcessNumber();

// How --port names a port here, for the help text.
const char* PortNamesHelp();
