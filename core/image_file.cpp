#include "image_file.h"

#include <filesystem>
#include <system_error>

#include "history.h"

namespace {

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
  plan.Sha256 = BytesSha256(plan.Bytes).value_or(std::string());
  return plan;
}
