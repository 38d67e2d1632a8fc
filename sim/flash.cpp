#include "flash.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "records.h"

namespace sim {

int SectorOf(uint32_t address) {
  if (address >= FlashSize) return -1;
  const auto next = std::upper_bound(SectorTable.begin(), SectorTable.end(), address);
  return static_cast<int>(next - SectorTable.begin()) - 1;
}

Flash::Flash() : bytes_(FlashSize, 0xFF) {}

void Flash::Erase(int sector) {
  const auto part = MutableBytes().subspan(SectorTable[sector], SectorSize(sector));
  std::fill(part.begin(), part.end(), 0xFF);
}

bool Flash::Program(uint32_t address, std::span<const uint8_t> data) {
  bool ok = true;
  for (std::size_t i = 0; i < data.size() && address + i < FlashSize; ++i) {
    uint8_t& cell = bytes_[address + i];
    if ((cell & data[i]) != data[i]) ok = false;
    cell &= data[i];
  }
  return ok;
}

std::span<const uint8_t> Flash::Sector(int sector) const {
  return Bytes().subspan(SectorTable[sector], SectorSize(sector));
}

bool Flash::Load(const std::string& path, std::string* error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) {
    if (error) *error = path + ": " + std::strerror(errno);
    return false;
  }
  std::vector<uint8_t> content(FlashSize + 1);
  const std::size_t got = std::fread(content.data(), 1, content.size(), file);
  std::fclose(file);
  if (got != FlashSize) {
    if (error) *error = path + ": a flash image holds exactly 2097152 bytes";
    return false;
  }
  content.resize(FlashSize);
  bytes_ = std::move(content);
  return true;
}

bool Flash::Save(const std::string& path, std::string* error) const {
  // Written beside the target and renamed, so a crash never leaves half an image.
  const std::string temporary = path + ".part";
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  bool ok = file && std::fwrite(bytes_.data(), 1, bytes_.size(), file) == bytes_.size();
  if (file && std::fclose(file) != 0) ok = false;
  if (ok && std::rename(temporary.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) {
    if (error) *error = path + ": " + std::strerror(errno);
    std::remove(temporary.c_str());
  }
  return ok;
}

std::vector<uint8_t> BuildIdentityBlock(const DeviceIdentity& identity) {
  std::vector<uint8_t> block;
  AppendRecord(block, TagBegin, std::string_view());
  if (identity.ProductName) AppendRecord(block, TagProductName, *identity.ProductName);
  if (identity.HardwareVersion) AppendRecord(block, TagHardwareVersion, *identity.HardwareVersion);
  if (identity.SerialNumber) AppendSerialRecord(block, *identity.SerialNumber);
  if (identity.BrandLabel) AppendRecord(block, TagBrandLabel, *identity.BrandLabel);
  AppendRecord(block, TagEnd, std::string_view());
  return block;
}

uint8_t PatternByte(uint32_t address) {
  // Mixes in the high address bits so that words of different sectors and of
  // different 256-byte pages differ; never all ones across a word.
  const uint32_t mixed = address ^ ((address >> 8) * 31u) ^ ((address >> 16) * 101u);
  return static_cast<uint8_t>(mixed % 0xFF);
}

Flash MakeFlash(const std::optional<DeviceIdentity>& identity,
                std::span<const int> patternSectors) {
  Flash flash;
  for (const int sector : patternSectors) {
    if (sector < 0 || sector >= SectorCount) continue;
    for (uint32_t a = SectorTable[sector]; a < SectorTable[sector + 1]; ++a) {
      flash.MutableBytes()[a] = PatternByte(a);
    }
  }
  // The identity block wins over a pattern asked for its sector.
  const auto area = flash.MutableBytes().subspan(IdentityAddress, IdentityBlockSize);
  if (!identity) {
    std::fill(area.begin(), area.end(), 0xFF);
    return flash;
  }
  const std::vector<uint8_t> block = BuildIdentityBlock(*identity);
  std::copy(block.begin(), block.end(), area.begin());
  return flash;
}

}  // namespace sim
