#include "fuzz_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace {

std::string MakeScratchDir() {
  std::string pattern = "/tmp/updater-fuzz-XXXXXX";
  FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
  return pattern;
}

void RemoveScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(ScratchDir(), ignored);
}

}  // namespace

const std::string& ScratchDir() {
  // Never destroyed: the exit handler that removes the folder runs after the
  // destructors of statics made later than its registration.
  static const std::string* const dir = [] {
    const auto* made = new std::string(MakeScratchDir());
    std::atexit(RemoveScratchDir);
    return made;
  }();
  return *dir;
}

void WriteWholeFile(const std::string& path, std::span<const uint8_t> bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  FUZZ_CHECK(file != nullptr);
  FUZZ_CHECK(bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size());
  FUZZ_CHECK(std::fclose(file) == 0);
}

void WriteWholeFile(const std::string& path, std::string_view text) {
  WriteWholeFile(path, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

Bytes ReadWholeFile(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  FUZZ_CHECK(file != nullptr);
  Bytes bytes;
  uint8_t chunk[16384];
  size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  FUZZ_CHECK(std::ferror(file) == 0);
  std::fclose(file);
  return bytes;
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

void RemoveFile(const std::string& path) {
  ::unlink(path.c_str());
}

bool PointAtFullDevice(const std::string& path) {
  static const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  FUZZ_CHECK(full >= 0);
  std::error_code error;
  const std::filesystem::path target = std::filesystem::canonical(path, error);
  if (error) return false;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
    std::error_code unreadable;
    if (std::filesystem::read_symlink(entry.path(), unreadable) != target || unreadable) continue;
    const int fd = std::stoi(entry.path().filename().string());
    return ::dup2(full, fd) == fd;
  }
  return false;
}

bool IsValidUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<uint8_t>(text[i]);
    size_t extra = 0;
    uint32_t code = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1;
      code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2;
      code = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3;
      code = lead & 0x07;
    } else {
      return false;
    }
    if (text.size() - i <= extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<uint8_t>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    constexpr uint32_t Smallest[] = {0, 0x80, 0x800, 0x10000};
    if (code < Smallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}
