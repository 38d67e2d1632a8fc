#include "transcript.h"

#include <cerrno>
#include <cstring>

namespace sim {

namespace {
constexpr std::size_t BytesPerLine = 16;
}

Transcript::~Transcript() {
  Close();
}

bool Transcript::Open(const std::string& path, std::string* error) {
  Close();
  file_ = std::fopen(path.c_str(), "w");
  if (!file_) {
    if (error) *error = path + ": " + std::strerror(errno);
    return false;
  }
  offsets_[0] = offsets_[1] = 0;
  std::fputs("# < host to device, > device to host; offsets count the bytes in each direction\n",
             file_);
  return true;
}

void Transcript::Close() {
  if (file_) std::fclose(file_);
  file_ = nullptr;
}

std::string Transcript::Format(Direction direction, uint64_t offset,
                               std::span<const uint8_t> bytes) {
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); i += BytesPerLine) {
    char head[32];
    std::snprintf(head, sizeof head, "%c %06llu ", direction == Direction::HostToDevice ? '<' : '>',
                  static_cast<unsigned long long>(offset + i));
    text += head;
    for (std::size_t j = i; j < bytes.size() && j < i + BytesPerLine; ++j) {
      char hex[4];
      std::snprintf(hex, sizeof hex, " %02X", bytes[j]);
      text += hex;
    }
    text += '\n';
  }
  return text;
}

void Transcript::Record(Direction direction, std::span<const uint8_t> bytes) {
  if (!file_ || bytes.empty()) return;
  uint64_t& offset = offsets_[direction == Direction::HostToDevice ? 0 : 1];
  std::fputs(Format(direction, offset, bytes).c_str(), file_);
  offset += bytes.size();
  std::fflush(file_);
}

void Transcript::Note(const std::string& text) {
  if (!file_) return;
  std::fprintf(file_, "# %s\n", text.c_str());
  std::fflush(file_);
}

}  // namespace sim
