// The few things the program needs from the host system besides the serial
// line and files: where the temporary image lives.
#pragma once

#include <optional>
#include <string>

// The fixed path of the temporary image, in a folder that only this user can
// reach: on POSIX $XDG_RUNTIME_DIR/updater/tmp.bin, else
// /tmp/updater-<uid>/tmp.bin, the folder created with mode 0700 when missing;
// on Windows %LOCALAPPDATA%\updater\tmp.bin. Empty when the folder
// cannot be made private (it belongs to another user, is a symbolic link, or
// cannot be created); `why` then tells the reason.
std::optional<std::string> TemporaryImagePath(std::string* why = nullptr);
