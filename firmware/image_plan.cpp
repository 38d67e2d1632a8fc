#include "image_plan.h"

#include <algorithm>
#include <span>

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
  SeqFile file;
  if (!file.OpenExisting(path)) {
    plan.Cause = file.OpenCause();
    plan.IoCode = file.OpenError();
    if (!plan.Cause) plan.Cause = SysError{ErrorCause::Other, 0, "cannot open " + path};
    return plan;
  }
  try {
    const int64_t size = file.Size();
    if (size > maxBytes) {
      plan.Cause = SysError{ErrorCause::Other, 0,
                            path + " holds " + std::to_string(size) + " bytes, more than the " +
                                std::to_string(maxBytes) +
                                " of the largest flash this device can have: it is no firmware "
                                "image of it"};
      plan.IoCode = IoDiskReadError;
      return plan;
    }
    plan.Bytes.resize(static_cast<size_t>(size));
    for (uint8_t& b : plan.Bytes) b = file.ReadByte();
    file.Close();
  } catch (const InOutError& error) {
    plan.Bytes.clear();
    plan.IoCode = error.Code();
    plan.Cause = SysError{ErrorCause::Other, 0,
                          "cannot read " + path + " (error " + std::to_string(error.Code()) + ")"};
    return plan;
  }
  plan.Opened = true;
  ScanImagePlan(plan);
  return plan;
}

std::string DescribeImage(const ImageIdentity& identity) {
  std::string text = identity.ProductName.empty() ? "(no product name)" : identity.ProductName;
  text += ", hardware " + (identity.HardwareVersion.empty() ? "(none)" : identity.HardwareVersion);
  return text;
}
