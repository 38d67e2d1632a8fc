// POSIX only: who holds a file, for the words of a "busy" error.
#pragma once

#include <string>

// The process that holds `path` (a serial device) busy: the holder of its
// lock when one has it (/proc/locks), else every process that has the same
// file open, matched by device and inode (the very node: the slave side of a
// pseudo-terminal, never its master): "process 1234 (updater-cli)". Empty
// when the system does not tell (another user's processes are hidden from an
// unprivileged one).
std::string HoldersOf(const std::string& path);
