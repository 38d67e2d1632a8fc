#include "image_plan.h"

#include <algorithm>
#include <span>

#include "platform/regular_file.h"
#include "platform/seq_file.h"

void ScanImagePlan(ImagePlan& plan) {
  plan.Size = static_cast<int64_t>(plan.Bytes.size());
  plan.Identity = ImageIdentity{};
  plan.Sectors.clear();
  if (plan.Size > IdentityWindowOffset) {
    const auto window = std::span<const uint8_t>(plan.Bytes)
                            .subspan(static_cast<size_t>(IdentityWindowOffset),
                                     std::min<size_t>(IdentityWindowSize,
                                                      plan.Bytes.size() - IdentityWindowOffset));
    plan.Identity = ScanIdentityWindow(window);
  }
  for (int32_t sector = 0; sector < MaxFlashSectors; ++sector) {
    if (plan.Identity.SectorSelected[static_cast<size_t>(sector)] == 1) {
      plan.Sectors.push_back(sector);
    }
  }
}

ImagePlan LoadImagePlan(const std::string& path, int64_t maxBytes) {
  ImagePlan plan;
  plan.Path = path;
  plan.AbsolutePath = path;
  FileRead read = ReadRegularFile(path, maxBytes);
  if (!read) {
    plan.Cause = read.Error;
    plan.IoCode = read.Error.Cause == ErrorCause::NotFound ? IoFileNotFound : IoAccessDenied;
    return plan;
  }
  plan.Bytes = std::move(read.Bytes);
  plan.Opened = true;
  ScanImagePlan(plan);
  return plan;
}

std::string DescribeImage(const ImageIdentity& identity) {
  std::string text = identity.ProductName.empty() ? "(no product name)" : identity.ProductName;
  text += ", hardware " + (identity.HardwareVersion.empty() ? "(none)" : identity.HardwareVersion);
  return text;
}
