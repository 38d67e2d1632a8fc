// The identity patch: the block rewrite over arbitrary blocks and values,
// compared with the plain model, and the whole patch over arbitrary images
// written to a file, checking the temporary image byte for byte.
//
// Input: [mode] [serial 4, LE] [product length] [hardware length] [brand length]
// product hardware brand, then for an even mode the block..., for an odd mode
// [P choice] [P bits 4, LE] [gap 2, LE] the rest of the image...
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "fuzz_support.h"
#include "firmware/identity.h"
#include "identity_reference.h"
#include "platform/seq_file.h"

namespace {

struct Case {
  PatchValues Values;
  reference::Values Model;
};

// Values of at most 255 bytes each, as records with a one-byte length give.
Case ValuesFrom(InputReader& input) {
  Case c;
  c.Values.SerialNumber = c.Model.SerialNumber = input.Long();
  const uint8_t productLength = input.Byte();
  const uint8_t hardwareLength = input.Byte();
  const uint8_t brandLength = input.Byte();
  c.Values.ProductName = c.Model.ProductName = input.Text(productLength);
  c.Values.HardwareVersion = c.Model.HardwareVersion = input.Text(hardwareLength);
  c.Values.BrandLabel = c.Model.BrandLabel = input.Text(brandLength);
  return c;
}

// Rewrites `block` and checks the result against the model. Returns the
// library's result for the patch check.
RewrittenBlock CheckRewrite(std::span<const uint8_t> block, const Case& c) {
  // Exactly sized, so that a read past the block is caught.
  const std::unique_ptr<uint8_t[]> exact(new uint8_t[block.size()]);
  if (!block.empty()) std::memcpy(exact.get(), block.data(), block.size());
  const std::span<const uint8_t> in(exact.get(), block.size());

  auto out = std::make_unique<RewrittenBlock>();
  RewriteIdentityBlock(in, c.Values, *out);
  const reference::Rewrite model = reference::RewriteBlock(in, c.Model);

  FUZZ_CHECK(out->Length <= RewrittenBlockMax);
  const size_t known = model.Out.size();
  if (!model.StoppedAtCutRecord) {
    FUZZ_CHECK(out->TooLong == (known > RewrittenBlockMax));
    FUZZ_CHECK(out->BeginSeen == model.BeginSeen || out->TooLong);
    if (!out->TooLong) {
      FUZZ_CHECK(out->Length == known);
      FUZZ_CHECK(std::equal(model.Out.begin(), model.Out.end(), out->Bytes.begin()));
    }
  } else {
    // Everything before the cut record is fixed; the record is the
    // library's to cut.
    if (known > RewrittenBlockMax) FUZZ_CHECK(out->TooLong);
    if (!out->TooLong) {
      FUZZ_CHECK(out->Length >= known);
      FUZZ_CHECK(std::equal(model.Out.begin(), model.Out.end(), out->Bytes.begin()));
      if (model.BeginSeen) FUZZ_CHECK(out->BeginSeen);
    }
  }
  return *out;
}

const std::string& ImagePath() {
  static const std::string path = ScratchDir() + "/image.bin";
  return path;
}

const std::string& TemporaryPath() {
  static const std::string path = ScratchDir() + "/tmp.bin";
  return path;
}

uint32_t LittleEndianAt(const Bytes& bytes, size_t at) {
  return bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16) |
         (static_cast<uint32_t>(bytes[at + 3]) << 24);
}

void CheckPatch(InputReader& input, const Case& c) {
  // The image: 8192 bytes that hold no tag, the block offset P, a gap and the
  // input's bytes, which usually carry the block.
  const uint8_t pointerHow = input.Byte();
  const uint32_t pointerBits = input.Long();
  const uint16_t gap = input.Word() % 6000;
  Bytes image(IdentityOffsetPosition + 4 + gap);
  for (size_t k = 0; k < image.size(); ++k) image[k] = static_cast<uint8_t>(k % 251);
  const std::span<const uint8_t> tail = input.Rest();
  image.insert(image.end(), tail.begin(), tail.end());
  const auto imageSize = static_cast<uint32_t>(image.size());
  uint32_t p = 0;
  switch (pointerHow % 4) {
    case 0:  // the block right after the gap
      p = static_cast<uint32_t>(IdentityOffsetPosition + 4 + gap);
      break;
    case 1:  // anywhere at all, mostly beyond the end
      p = pointerBits;
      break;
    case 2:  // a short block at the end of the image
      p = imageSize - std::min<uint32_t>(imageSize, pointerBits % 5000);
      break;
    default:  // anywhere within the image or just beyond it
      p = pointerBits % (imageSize + 16);
  }
  for (int k = 0; k < 4; ++k)
    image[IdentityOffsetPosition + k] = static_cast<uint8_t>(p >> (8 * k));
  WriteWholeFile(ImagePath(), image);
  RemoveFile(TemporaryPath());

  SeqFile imageFile;
  FUZZ_CHECK(imageFile.OpenExisting(ImagePath()));
  PatchOutcome outcome{};
  try {
    outcome = PatchIdentityBlock(imageFile, TemporaryPath(), c.Values);
  } catch (const InOutError&) {
    // Only a block offset beyond the end of the image may make a read fail.
    FUZZ_CHECK(image.size() > 8196 && p > image.size());
    FUZZ_CHECK(ReadWholeFile(ImagePath()) == image);
    return;
  }
  FUZZ_CHECK(ReadWholeFile(ImagePath()) == image);  // the chosen image is never changed

  if (image.size() <= 8196) {
    FUZZ_CHECK(outcome == PatchOutcome::NoIdentityBlock);
    FUZZ_CHECK(!FileExists(TemporaryPath()));
    return;
  }
  FUZZ_CHECK(p <= image.size());
  FUZZ_CHECK(LittleEndianAt(image, IdentityOffsetPosition) == p);
  const size_t length = std::min<size_t>(image.size() - p, IdentityBlockMax);
  const RewrittenBlock block = CheckRewrite(std::span(image).subspan(p, length), c);

  if (block.TooLong) {
    // A walk cut short by the limit may not have met its begin record yet.
    FUZZ_CHECK(outcome == PatchOutcome::BlockTooLong ||
               (outcome == PatchOutcome::NoIdentityBlock && !block.BeginSeen));
    FUZZ_CHECK(!FileExists(TemporaryPath()));
    return;
  }
  if (!block.BeginSeen) {
    FUZZ_CHECK(outcome == PatchOutcome::NoIdentityBlock);
    FUZZ_CHECK(!FileExists(TemporaryPath()));
    return;
  }
  FUZZ_CHECK(outcome == PatchOutcome::Patched);
  FUZZ_CHECK(imageFile.IsOpen());
  FUZZ_CHECK(imageFile.Position() == 0);

  // Bytes before P, the rewritten block filled up to L, the rest shifted by
  // what the block grew.
  Bytes expected(image.begin(), image.begin() + p);
  expected.insert(expected.end(), block.Bytes.begin(), block.Bytes.begin() + block.Length);
  if (block.Length < length) expected.resize(p + length, IdentityFillByte);
  expected.insert(expected.end(), image.begin() + p + length, image.end());
  const Bytes written = ReadWholeFile(TemporaryPath());
  FUZZ_CHECK(written.size() == image.size() + (block.Length > length ? block.Length - length : 0));
  FUZZ_CHECK(written == expected);
  FUZZ_CHECK(imageFile.Size() == static_cast<int64_t>(written.size()));
  FUZZ_CHECK(imageFile.ReadByte() == written[0]);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SeqFile::DefaultOpenMode = FileOpenMode::ReadOnly;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputReader input({data, size});
  const uint8_t mode = input.Byte();
  const Case c = ValuesFrom(input);
  if (mode & 1) {
    CheckPatch(input, c);
  } else {
    const std::span<const uint8_t> block = input.Rest();
    CheckRewrite(block.first(std::min(block.size(), IdentityBlockMax)), c);
  }
  return 0;
}
