#include "image_file.h"

#include <filesystem>
#include <system_error>

#include "history_os.h"

namespace {

std::string HexOf(const Sha256::Digest& digest) {
  static constexpr char Hex[] = "0123456789abcdef";
  std::string text;
  for (const uint8_t byte : digest) {
    text += Hex[byte >> 4];
    text += Hex[byte & 0xF];
  }
  return text;
}

std::string AbsoluteOf(const std::string& path) {
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(
      std::filesystem::path(std::u8string(path.begin(), path.end())), error);
  if (error) return path;
  const std::u8string text = absolute.lexically_normal().u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace

ImagePlan PlanImage(const std::string& path) {
  ImagePlan plan = LoadImagePlan(path, MaxImageBytes);
  plan.AbsolutePath = AbsoluteOf(path);
  if (!plan.Opened) return plan;
  Sha256 hash;
  if (hash.Ready()) {
    hash.Add(plan.Bytes.data(), plan.Bytes.size());
    plan.Sha256 = HexOf(hash.Finish());
  }
  return plan;
}
