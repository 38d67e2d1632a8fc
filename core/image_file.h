// Reading a firmware image into the plan every job of an update shares.
#pragma once

#include <string>

#include "firmware/image_plan.h"

// The most an image file may hold: the largest flash the device's address
// space can carry. A larger file is no image of this device, and reading it
// whole would only fill the memory.
constexpr int64_t MaxImageBytes = 16 * 1024 * 1024;

// LoadImagePlan with the image's absolute path and its SHA-256.
ImagePlan PlanImage(const std::string& path);
