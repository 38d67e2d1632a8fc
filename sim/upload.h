// The upload files (loader and flash routine): text of hex digit pairs, read
// the way the program reads them, so the device can check what it was sent.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// "1".."9", "A".."F", "a".."f" give their value; everything else gives 0.
uint8_t HexDigitValue(char c);

// One byte per pair, 16 * first + second; an odd last character is dropped.
std::vector<uint8_t> DecodeHexText(std::string_view text);

// Reads and decodes a file; false with `error` set when it cannot be read.
bool ReadUploadFile(const std::string& path, std::vector<uint8_t>& bytes, std::string* error);

// The bootstrap loader always takes this many bytes.
constexpr std::size_t LoaderLength = 32;

// What the chip expects to receive as loader: the file's bytes padded with
// 0x00, or cut, to exactly 32 bytes.
std::vector<uint8_t> ExpectedLoader(const std::vector<uint8_t>& loaderFile);

}  // namespace sim
