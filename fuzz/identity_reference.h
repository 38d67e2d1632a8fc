// Plain, slow models of the identity scans and of the block rewrite, written
// straight from the record format. The fuzz targets compare the library with
// them; they favour obviousness over speed and share no code with it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace reference {

using Bytes = std::vector<uint8_t>;

inline constexpr size_t TagSize = 11;

// The 11-byte tag that starts at `at`, or nothing when fewer than 11 bytes
// remain.
inline std::optional<std::string> TagStartingAt(std::span<const uint8_t> bytes, size_t at) {
  if (at >= bytes.size() || bytes.size() - at < TagSize) return std::nullopt;
  return std::string(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                     bytes.begin() + static_cast<std::ptrdiff_t>(at + TagSize));
}

// The value bytes of the record at `at` as far as they were received.
inline std::string ReceivedValue(std::span<const uint8_t> bytes, size_t at) {
  std::string value;
  if (at + TagSize >= bytes.size()) return value;
  const size_t length = bytes[at + TagSize];
  for (size_t k = 0; k < length && at + TagSize + 1 + k < bytes.size(); ++k) {
    value.push_back(static_cast<char>(bytes[at + TagSize + 1 + k]));
  }
  return value;
}

struct Device {
  std::string ProductName, HardwareVersion, BrandLabel;
  uint32_t SerialNumber = 0;
  bool SerialNumberFound = false;
};

inline void ScanDevice(std::span<const uint8_t> block, Device& device) {
  device.SerialNumberFound = false;
  for (size_t p = 0; p < block.size(); ++p) {
    const std::optional<std::string> tag = TagStartingAt(block, p);
    if (!tag) break;
    if (*tag == "PRODUKTNAME") device.ProductName = ReceivedValue(block, p);
    if (*tag == "HARDWAREVER") device.HardwareVersion = ReceivedValue(block, p);
    if (*tag == "BRANDLABEL ") device.BrandLabel = ReceivedValue(block, p);
    if (*tag == "SERIAL_NO  ") {
      uint32_t number = 0;
      for (size_t k = 0; k < 4; ++k) {
        const size_t at = p + 12 + k;
        const uint32_t byte = at < block.size() ? block[at] : 0;
        number += byte << (8 * k);
      }
      device.SerialNumber = number;
      device.SerialNumberFound = true;
    }
  }
}

struct Image {
  std::string ProductName, HardwareVersion;
  std::array<bool, 35> Selected{};
  int32_t Count = 0;
};

inline Image ScanWindow(std::span<const uint8_t> window) {
  Image image;
  for (size_t p = 0; p < window.size(); ++p) {
    const std::optional<std::string> tag = TagStartingAt(window, p);
    if (!tag) break;
    if (*tag == "PRODUKTNAME") image.ProductName = ReceivedValue(window, p);
    if (*tag == "HARDWAREVER") image.HardwareVersion = ReceivedValue(window, p);
    if (*tag == "SOFTWARESNR") {
      const std::string sectors = ReceivedValue(window, p);
      image.Count = static_cast<int32_t>(sectors.size());
      for (const char c : sectors) {
        const auto sector = static_cast<uint8_t>(c);
        if (sector <= 34) image.Selected[sector] = true;
      }
    }
  }
  return image;
}

inline bool Fits(const std::string& deviceProduct, const std::string& deviceHardware,
                 const std::string& imageProduct, const std::string& imageHardware) {
  if (imageProduct.empty() || deviceProduct != imageProduct) return false;
  const auto stem = [](const std::string& s) { return s.empty() ? s : s.substr(0, s.size() - 1); };
  return stem(deviceHardware) == stem(imageHardware);
}

struct Values {
  uint32_t SerialNumber = 0;
  std::string HardwareVersion, ProductName, BrandLabel;
};

struct Rewrite {
  Bytes Out;  // everything the walk writes, with no limit
  bool BeginSeen = false;
  // A recognised record whose length byte or value runs past the block: the
  // walk is modelled only up to that record, whose handling is a choice of
  // the library. Out then holds the bytes written before it.
  bool StoppedAtCutRecord = false;
};

inline void Append(Bytes& out, const std::string& text) {
  out.insert(out.end(), text.begin(), text.end());
}

inline void AppendRecord(Bytes& out, const std::string& tag, const std::string& value) {
  Append(out, tag);
  out.push_back(static_cast<uint8_t>(value.size()));
  Append(out, value);
}

inline Rewrite RewriteBlock(std::span<const uint8_t> in, const Values& values) {
  Rewrite result;
  bool brandSeen = false;
  size_t i = 0;
  while (i < in.size()) {
    const std::optional<std::string> tag = TagStartingAt(in, i);
    const bool known =
        tag && (*tag == "BEGIN______" || *tag == "PRODUKTNAME" || *tag == "HARDWAREVER" ||
                *tag == "SERIAL_NO  " || *tag == "BRANDLABEL " || *tag == "END________");
    if (!known) {
      result.Out.push_back(in[i]);
      ++i;
      continue;
    }
    if (i + TagSize >= in.size() || i + 12 + in[i + TagSize] > in.size()) {
      result.StoppedAtCutRecord = true;
      return result;
    }
    const size_t recordSize = 12 + in[i + TagSize];
    const auto whole = in.subspan(i, recordSize);
    if (*tag == "BEGIN______") {
      result.BeginSeen = true;
      result.Out.insert(result.Out.end(), whole.begin(), whole.end());
    } else if (*tag == "PRODUKTNAME") {
      AppendRecord(result.Out, *tag, values.ProductName);
    } else if (*tag == "HARDWAREVER") {
      AppendRecord(result.Out, *tag, values.HardwareVersion);
    } else if (*tag == "SERIAL_NO  ") {
      std::string number;
      for (int k = 0; k < 4; ++k)
        number.push_back(static_cast<char>(values.SerialNumber >> (8 * k)));
      AppendRecord(result.Out, *tag, number);
    } else if (*tag == "BRANDLABEL ") {
      brandSeen = true;
      if (!values.BrandLabel.empty()) {
        AppendRecord(result.Out, *tag, values.BrandLabel);
      } else {
        result.Out.insert(result.Out.end(), whole.begin(), whole.end());
      }
    } else {  // the end record closes the walk
      if (!values.BrandLabel.empty() && !brandSeen) {
        AppendRecord(result.Out, "BRANDLABEL ", values.BrandLabel);
        AppendRecord(result.Out, *tag, "");
      } else {
        result.Out.insert(result.Out.end(), whole.begin(), whole.end());
      }
      return result;
    }
    i += recordSize;
  }
  return result;
}

}  // namespace reference
