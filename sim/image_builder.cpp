#include "image_builder.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "flash.h"
#include "records.h"

namespace sim {

namespace {

// splitmix64: small, fast and the same everywhere, so a seed names an image.
uint64_t NextRandom(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

bool ParseNumber(std::string_view text, unsigned& value) {
  if (text.empty() || text.size() > 3) return false;
  value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value <= 255;
}

// [begin, end) of each part in the image, to find overlaps.
struct Span {
  uint64_t Begin;
  uint64_t End;
  const char* Name;
};

}  // namespace

std::vector<uint8_t> SectorsCovering(uint32_t size) {
  std::vector<uint8_t> sectors;
  for (int s = 0; s < SectorCount && SectorTable[s] < size; ++s) {
    sectors.push_back(static_cast<uint8_t>(s));
  }
  return sectors;
}

bool ParseSectorList(std::string_view text, std::vector<uint8_t>& sectors, std::string* error) {
  std::vector<uint8_t> parsed;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    const std::string_view item = text.substr(start, comma - start);
    const std::size_t dash = item.find('-');
    unsigned first = 0;
    unsigned last = 0;
    const bool ok = dash == std::string_view::npos
                        ? ParseNumber(item, first) && ParseNumber(item, last)
                        : ParseNumber(item.substr(0, dash), first) &&
                              ParseNumber(item.substr(dash + 1), last) && first <= last;
    if (!ok) {
      if (error) *error = "bad sector list item \"" + std::string(item) + "\"";
      return false;
    }
    for (unsigned s = first; s <= last; ++s) parsed.push_back(static_cast<uint8_t>(s));
    start = comma + 1;
  }
  if (parsed.size() > 255) {
    if (error) *error = "more than 255 sectors: a length byte cannot count them";
    return false;
  }
  sectors = std::move(parsed);
  return true;
}

std::vector<uint8_t> ImageIdentityBlock(const ImageOptions& options,
                                        const std::vector<uint8_t>& sectors) {
  std::vector<uint8_t> block;
  AppendRecord(block, TagBegin, std::string_view());
  AppendRecord(block, TagProductName, options.ProductName);
  AppendRecord(block, TagHardwareVersion, options.HardwareVersion);
  AppendRecord(block, TagFirmwareVersion, options.FirmwareVersion);
  AppendRecord(block, TagSectorList, std::span<const uint8_t>(sectors));
  if (options.SecondSectors) {
    AppendRecord(block, TagSectorList, std::span<const uint8_t>(*options.SecondSectors));
  }
  // The unit's serial number is filled in when the image is programmed.
  if (options.SerialRecord) AppendSerialRecord(block, 0);
  AppendRecord(block, TagEnd, std::string_view());
  return block;
}

std::vector<uint8_t> ImageIdentityWindow(const ImageOptions& options,
                                         const std::vector<uint8_t>& sectors) {
  std::vector<uint8_t> window;
  AppendRecord(window, TagProductName, options.ProductName);
  AppendRecord(window, TagHardwareVersion, options.HardwareVersion);
  AppendRecord(window, TagFirmwareVersion, options.FirmwareVersion);
  AppendRecord(window, TagSectorList, std::span<const uint8_t>(sectors));
  if (options.SecondSectors) {
    AppendRecord(window, TagSectorList, std::span<const uint8_t>(*options.SecondSectors));
  }
  return window;
}

std::optional<std::vector<uint8_t>> BuildImage(const ImageOptions& options, std::string* error) {
  const std::vector<uint8_t> sectors = options.Sectors.value_or(SectorsCovering(options.Size));
  const std::vector<uint8_t> block = ImageIdentityBlock(options, sectors);
  const bool separateWindow = options.IdentityOffset != IdentityWindowOffset;
  const std::vector<uint8_t> window =
      separateWindow ? ImageIdentityWindow(options, sectors) : std::vector<uint8_t>();

  std::vector<Span> parts = {
      {IdentityPointerOffset, IdentityPointerOffset + 4, "identity block pointer"},
      {options.IdentityOffset, uint64_t{options.IdentityOffset} + block.size(), "identity block"}};
  if (separateWindow) {
    parts.push_back(
        {IdentityWindowOffset, IdentityWindowOffset + window.size(), "identity window"});
  }
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (parts[i].End > options.Size) {
      if (error) {
        *error = std::string("the ") + parts[i].Name + " ends at " + std::to_string(parts[i].End) +
                 ", past an image of " + std::to_string(options.Size) + " bytes";
      }
      return std::nullopt;
    }
    for (std::size_t j = 0; j < i; ++j) {
      if (parts[i].Begin < parts[j].End && parts[j].Begin < parts[i].End) {
        if (error) *error = std::string("the ") + parts[i].Name + " overlaps the " + parts[j].Name;
        return std::nullopt;
      }
    }
  }
  std::vector<uint8_t> image(options.Size);
  uint64_t state = options.Seed;
  for (uint8_t& byte : image) byte = static_cast<uint8_t>(NextRandom(state) % 0xFF);
  for (int i = 0; i < 4; ++i) {
    image[IdentityPointerOffset + i] = static_cast<uint8_t>(options.IdentityOffset >> (8 * i));
  }
  std::copy(block.begin(), block.end(), image.begin() + options.IdentityOffset);
  if (separateWindow) std::copy(window.begin(), window.end(), image.begin() + IdentityWindowOffset);
  return image;
}

bool WriteImageFile(const std::string& path, const ImageOptions& options, std::string* error) {
  const auto image = BuildImage(options, error);
  if (!image) return false;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  bool ok = file && std::fwrite(image->data(), 1, image->size(), file) == image->size();
  if (file && std::fclose(file) != 0) ok = false;
  if (!ok && error) *error = path + ": " + std::strerror(errno);
  return ok;
}

}  // namespace sim
