#include "upload.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace sim {

uint8_t HexDigitValue(char c) {
  if (c >= '1' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  return 0;
}

std::vector<uint8_t> DecodeHexText(std::string_view text) {
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() / 2);
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(16 * HexDigitValue(text[i]) + HexDigitValue(text[i + 1])));
  }
  return bytes;
}

bool ReadUploadFile(const std::string& path, std::vector<uint8_t>& bytes, std::string* error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    if (error) *error = path + ": " + std::strerror(errno);
    return false;
  }
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (file.bad()) {
    if (error) *error = path + ": read failed";
    return false;
  }
  bytes = DecodeHexText(text);
  return true;
}

std::vector<uint8_t> ExpectedLoader(const std::vector<uint8_t>& loaderFile) {
  std::vector<uint8_t> expected(
      loaderFile.begin(),
      loaderFile.begin() + static_cast<std::ptrdiff_t>(std::min(loaderFile.size(), LoaderLength)));
  expected.resize(LoaderLength, 0x00);
  return expected;
}

}  // namespace sim
