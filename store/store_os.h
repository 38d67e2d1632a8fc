// What the record store needs from the system: where this user's state
// lives, a private folder for the store, and the names a record carries by
// default. One backend per system (store_posix.cpp, store_win32.cpp).
#pragma once

#include <string>

// This user's folder for files kept between runs, as UTF-8:
// $XDG_STATE_HOME (else ~/.local/state) on POSIX, %LOCALAPPDATA% on Windows.
// Empty when the environment names none.
std::string StoreStateFolder();

// Makes `folder` (and its parents) and makes sure only this user can reach
// it: on POSIX mode 0700, never a symbolic link, never another user's
// folder. False with the reason, naming the folder.
bool MakePrivateStoreFolder(const std::string& folder, std::string* why);

// This computer's name; empty when the system does not tell.
std::string HostName();
// The name this user logged in with; empty when the system does not tell.
std::string LoginName();
