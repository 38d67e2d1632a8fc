// The few things the program needs from the host system besides the serial
// line and files: where the temporary image lives.
#pragma once

#include <optional>
#include <string>

// This process's private folder for temporary files (the patched image):
// on POSIX made on the first call with mkdtemp (mode 0700, a random name
// that nobody can have made before) in $XDG_RUNTIME_DIR, else $TMPDIR, else
// /tmp, and the same folder on every later call; on Windows the user's own
// %LOCALAPPDATA%\updater. Nothing when it cannot be made; `why` then tells
// the reason, naming the folder (and its owner, when another user could
// replace what is made in it).
std::optional<std::string> PrivateTemporaryFolder(std::string* why = nullptr);

// The temporary image in PrivateTemporaryFolder(): "<folder>/tmp.bin".
std::optional<std::string> TemporaryImagePath(std::string* why = nullptr);

// Removes this process's private folder with whatever is left in it. Called
// by the program as it ends (the front ends' main, after the ports are
// closed); registered with atexit as well, so that an exit() elsewhere
// leaves nothing behind. Safe to call more than once, and in a child
// process, which never removes its parent's folder. On Windows the folder
// is the user's own and stays.
void RemovePrivateTemporaryFolder();

// A fresh folder that only this user can reach, made in `parent`: what
// PrivateTemporaryFolder makes, for a given parent. Refused when `parent`
// lets another user replace what is made in it.
std::optional<std::string> MakePrivateFolder(const std::string& parent, std::string* why = nullptr);
