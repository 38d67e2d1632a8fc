// What the update history needs from the system. One backend per system
// (history_posix.cpp, history_win32.cpp); the record and its line are the
// same everywhere (history.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// This user's folder for files the program keeps between runs, as UTF-8:
// $XDG_STATE_HOME (else ~/.local/state) on POSIX, %LOCALAPPDATA% on Windows.
// Empty when the environment names none.
std::string StateFolder();
// Why StateFolder() is empty, for the warning: what the environment lacks.
const char* NoStateFolderReason();

// Appends `line` to `file` (created when missing, readable by this user only
// where the system lets a file say so) with one write at the file's end,
// under an exclusive lock of the whole file held for that write. False when
// the line is not in the file, or may be incomplete; `warning` then tells why,
// naming the file.
bool AppendLocked(const std::string& file, const std::string& line, std::string* warning);

// SHA-256 from the system's own cryptography (OpenSSL, or BCrypt on Windows).
class Sha256 {
 public:
  using Digest = std::array<uint8_t, 32>;
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  // False when the system offers no SHA-256; nothing else works then.
  bool Ready() const;
  void Add(const void* data, size_t size);
  // The digest of everything added; the object is spent afterwards.
  Digest Finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};
