// Helpers shared by the fuzz targets: a check that stops the run with a
// message (so libFuzzer saves the input), a reader that takes bytes from the
// front of an input, and a private scratch folder per fuzzing process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Checked in every build type: the fuzz build is RelWithDebInfo, where
// assert() would vanish.
#define FUZZ_CHECK(condition)                                                                   \
  do {                                                                                          \
    if (!(condition)) {                                                                         \
      std::fprintf(stderr, "FUZZ_CHECK failed: %s at %s:%d\n", #condition, __FILE__, __LINE__); \
      std::abort();                                                                             \
    }                                                                                           \
  } while (false)

// Takes bytes from the front of the input; once it is used up every request
// yields zeros or nothing, so a harness never has to test for the end itself.
class InputReader {
 public:
  explicit InputReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  bool Empty() const { return pos_ >= bytes_.size(); }
  size_t Left() const { return bytes_.size() - pos_; }

  uint8_t Byte() { return Empty() ? 0 : bytes_[pos_++]; }
  uint16_t Word() {
    const uint16_t low = Byte();
    return static_cast<uint16_t>(low | (Byte() << 8));
  }
  uint32_t Long() {
    const uint32_t low = Word();
    return low | (static_cast<uint32_t>(Word()) << 16);
  }
  // Up to `count` bytes; fewer when the input ends first.
  std::span<const uint8_t> Take(size_t count) {
    const size_t n = count < Left() ? count : Left();
    const std::span<const uint8_t> part = bytes_.subspan(pos_, n);
    pos_ += n;
    return part;
  }
  std::span<const uint8_t> Rest() { return Take(Left()); }
  std::string Text(size_t count) {
    const std::span<const uint8_t> part = Take(count);
    return std::string(part.begin(), part.end());
  }

 private:
  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
};

// A folder of its own for this process, removed when the process exits
// normally. A crashed run leaves it behind under /tmp for inspection.
const std::string& ScratchDir();

void WriteWholeFile(const std::string& path, std::span<const uint8_t> bytes);
void WriteWholeFile(const std::string& path, std::string_view text);
// The file's bytes; FUZZ_CHECK fails when it cannot be read.
Bytes ReadWholeFile(const std::string& path);
bool FileExists(const std::string& path);
void RemoveFile(const std::string& path);

// Points the descriptor this process holds open on the file `path` at
// /dev/full: every further write to it fails as on a full disk (ENOSPC),
// while the file keeps what was written before. False when no descriptor of
// this process names that file.
bool PointAtFullDevice(const std::string& path);

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates).
bool IsValidUtf8(std::string_view text);
