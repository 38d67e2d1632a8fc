// Feeds arbitrary blocks, as a device might send them, to the identity scan
// and compares the result with the plain model. The block lives in a heap
// buffer of exactly its size, so any read past the received bytes is caught.
//
// Input: [start: bit 0 = earlier values present] block...
#include <cstring>
#include <memory>

#include "fuzz_support.h"
#include "firmware/identity.h"
#include "identity_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputReader input({data, size});
  // The first byte picks what the scan starts from: values of an earlier read
  // must survive unless the block holds their records.
  const uint8_t start = input.Byte();
  const std::span<const uint8_t> received = input.Rest();
  const std::unique_ptr<uint8_t[]> exact(new uint8_t[received.size()]);
  if (!received.empty()) std::memcpy(exact.get(), received.data(), received.size());
  const std::span<const uint8_t> block(exact.get(), received.size());

  DeviceIdentity identity;
  reference::Device expected;
  if (start & 1) {
    identity.ProductName = expected.ProductName = "earlier product";
    identity.HardwareVersion = expected.HardwareVersion = "earlier hw";
    identity.BrandLabel = expected.BrandLabel = "earlier brand";
    identity.SerialNumber = expected.SerialNumber = 0xA5A5A5A5u;
    identity.SerialNumberFound = expected.SerialNumberFound = true;
  }

  ScanDeviceIdentity(block, identity);
  reference::ScanDevice(block, expected);

  FUZZ_CHECK(identity.ProductName == expected.ProductName);
  FUZZ_CHECK(identity.HardwareVersion == expected.HardwareVersion);
  FUZZ_CHECK(identity.BrandLabel == expected.BrandLabel);
  FUZZ_CHECK(identity.SerialNumberFound == expected.SerialNumberFound);
  FUZZ_CHECK(identity.SerialNumber == expected.SerialNumber);
  // Text values come from one length byte.
  FUZZ_CHECK(identity.ProductName.size() <= 255 || (start & 1));

  // A second scan of the same block changes nothing.
  DeviceIdentity again = identity;
  ScanDeviceIdentity(block, again);
  FUZZ_CHECK(again.ProductName == identity.ProductName);
  FUZZ_CHECK(again.SerialNumber == identity.SerialNumber);
  FUZZ_CHECK(again.SerialNumberFound == identity.SerialNumberFound);
  return 0;
}
