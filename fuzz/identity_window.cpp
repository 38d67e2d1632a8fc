// Arbitrary identity windows through the window scan, and the fit check over
// the names found there against device names made from them: the same, cut,
// changed in the last or in another character, empty.
//
// Input: [product change] [hardware change] [extra character] window...
#include <algorithm>

#include "firmware/identity.h"
#include "fuzz_support.h"
#include "identity_reference.h"

namespace {

// A device value made from the image's: `how` picks the change.
std::string Variant(const std::string& image, uint8_t how, uint8_t extra) {
  std::string device = image;
  switch (how % 6) {
    case 0:
      break;
    case 1:  // another last character
      if (!device.empty()) device.back() = static_cast<char>(device.back() ^ (extra | 1));
      break;
    case 2:  // another first character
      if (!device.empty()) device.front() = static_cast<char>(device.front() ^ (extra | 1));
      break;
    case 3:  // one character more
      device.push_back(static_cast<char>(extra));
      break;
    case 4:  // one character fewer
      if (!device.empty()) device.pop_back();
      break;
    default:
      device.clear();
  }
  return device;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputReader input({data, size});
  const uint8_t productHow = input.Byte();
  const uint8_t hardwareHow = input.Byte();
  const uint8_t extra = input.Byte();
  // The job reads at most one window of bytes.
  const std::span<const uint8_t> rest = input.Rest();
  const Bytes window(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(
                                                      std::min(rest.size(), IdentityWindowSize)));

  const ImageIdentity image = ScanIdentityWindow(window);
  const reference::Image expected = reference::ScanWindow(window);

  FUZZ_CHECK(image.ProductName == expected.ProductName);
  FUZZ_CHECK(image.HardwareVersion == expected.HardwareVersion);
  FUZZ_CHECK(image.SelectedSectorCount == expected.Count);
  FUZZ_CHECK(image.SelectedSectorCount >= 0 && image.SelectedSectorCount <= 255);
  int flagsSet = 0;
  for (int sector = 0; sector < MaxFlashSectors; ++sector) {
    FUZZ_CHECK(image.SectorSelected[sector] == 0 || image.SectorSelected[sector] == 1);
    FUZZ_CHECK((image.SectorSelected[sector] == 1) == expected.Selected[sector]);
    flagsSet += image.SectorSelected[sector];
  }
  // Without a sector list nothing is selected.
  FUZZ_CHECK(image.SelectedSectorCount > 0 || flagsSet == 0 ||
             std::search(window.begin(), window.end(), TagSectorList, TagSectorList + TagLength) !=
                 window.end());

  const std::string deviceProduct = Variant(image.ProductName, productHow, extra);
  const std::string deviceHardware = Variant(image.HardwareVersion, hardwareHow, extra);
  const bool fits =
      FitsHardware(deviceProduct, deviceHardware, image.ProductName, image.HardwareVersion);
  FUZZ_CHECK(fits == reference::Fits(deviceProduct, deviceHardware, image.ProductName,
                                     image.HardwareVersion));
  // What each change must give, independent of the model.
  if (image.ProductName.empty()) FUZZ_CHECK(!fits);
  if (!image.ProductName.empty() && productHow % 6 == 0 && hardwareHow % 6 <= 1) {
    FUZZ_CHECK(fits);
  }
  if (productHow % 6 == 1 || productHow % 6 == 2 || productHow % 6 == 3) FUZZ_CHECK(!fits);
  return 0;
}
