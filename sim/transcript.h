// A readable record of the bytes on the wire, for finding out afterwards who
// said what. One line per chunk (at most 16 bytes), direction and offset
// first:
//   < 000000  00                 host to device, offset in that direction
//   > 000000  D5                 device to host
//   # upload accepted            what the device made of it
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace sim {

enum class Direction { HostToDevice, DeviceToHost };

class Transcript {
 public:
  Transcript() = default;
  ~Transcript();
  Transcript(const Transcript&) = delete;
  Transcript& operator=(const Transcript&) = delete;

  bool Open(const std::string& path, std::string* error);
  bool IsOpen() const { return file_ != nullptr; }
  void Record(Direction direction, std::span<const uint8_t> bytes);
  void Note(const std::string& text);
  void Close();

  // The lines Record writes, without the file; also used by the tests.
  static std::string Format(Direction direction, uint64_t offset, std::span<const uint8_t> bytes);

 private:
  std::FILE* file_ = nullptr;
  uint64_t offsets_[2] = {0, 0};
};

}  // namespace sim
