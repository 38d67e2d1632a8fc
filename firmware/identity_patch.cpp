// The identity patch: the device's values are written into the identity block
// of a new image, and the result goes to the temporary image that the
// programming exchange sends.
#include <algorithm>
#include <array>

#include "identity.h"

namespace {

// Appends to a rewritten block. Bytes beyond its storage are dropped and
// marked, and the walk goes on, so that a "BEGIN______" further on is still seen.
class BlockWriter {
 public:
  explicit BlockWriter(RewrittenBlock& out) : out_(out) {}

  void Put(uint8_t value) {
    if (out_.Length < out_.Bytes.size()) {
      out_.Bytes[out_.Length++] = value;
    } else {
      out_.TooLong = true;
    }
  }
  void Put(std::span<const uint8_t> bytes) {
    for (const uint8_t b : bytes) Put(b);
  }
  void PutTag(const char* tag) {
    for (size_t k = 0; k < TagLength; ++k) Put(static_cast<uint8_t>(tag[k]));
  }
  // A record with a new value; a value longer than a length byte can tell is
  // cut to 255 bytes so that the length byte stays true.
  void PutRecord(const char* tag, std::span<const uint8_t> value) {
    value = value.first(std::min<size_t>(value.size(), RecordValueMax));
    PutTag(tag);
    Put(static_cast<uint8_t>(value.size()));
    Put(value);
  }
  void PutRecord(const char* tag, const std::string& text) {
    PutRecord(tag, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  }

 private:
  RewrittenBlock& out_;
};

// Where the record whose tag starts at `at` ends in `input`: 12 bytes plus its
// old length, but never past the end of the block.
size_t RecordEnd(std::span<const uint8_t> input, size_t at) {
  const size_t lengthAt = at + TagLength;
  const size_t length = lengthAt < input.size() ? input[lengthAt] : 0;
  return std::min(at + RecordHeaderLength + length, input.size());
}

}  // namespace

void RewriteIdentityBlock(std::span<const uint8_t> input, const PatchValues& values,
                          RewrittenBlock& out) {
  out.Bytes.fill(0);
  out.Length = 0;
  out.BeginSeen = false;
  out.TooLong = false;
  out.SerialInserted = false;
  BlockWriter writer(out);
  bool brandLabelSeen = false;
  bool serialSeen = false;

  const std::array<uint8_t, 4> serial = {static_cast<uint8_t>(values.SerialNumber),
                                         static_cast<uint8_t>(values.SerialNumber >> 8),
                                         static_cast<uint8_t>(values.SerialNumber >> 16),
                                         static_cast<uint8_t>(values.SerialNumber >> 24)};

  size_t i = 0;
  while (i < input.size()) {
    if (TagAt(input, i, TagBegin)) {
      out.BeginSeen = true;
      const size_t end = RecordEnd(input, i);
      writer.Put(input.subspan(i, end - i));
      i = end;
    } else if (TagAt(input, i, TagProductName)) {
      writer.PutRecord(TagProductName, values.ProductName);
      i = RecordEnd(input, i);
    } else if (TagAt(input, i, TagHardwareVersion)) {
      writer.PutRecord(TagHardwareVersion, values.HardwareVersion);
      i = RecordEnd(input, i);
    } else if (TagAt(input, i, TagSerialNumber)) {
      // Whatever length the image gave it, the serial number is four bytes.
      serialSeen = true;
      writer.PutRecord(TagSerialNumber, serial);
      i = RecordEnd(input, i);
    } else if (TagAt(input, i, TagBrandLabel)) {
      brandLabelSeen = true;
      const size_t end = RecordEnd(input, i);
      if (!values.BrandLabel.empty()) {
        writer.PutRecord(TagBrandLabel, values.BrandLabel);
      } else {
        // A device without a brand label keeps the image's own.
        writer.Put(input.subspan(i, end - i));
      }
      i = end;
    } else if (TagAt(input, i, TagEnd)) {
      const bool insertSerial = values.InsertSerialNumber && !serialSeen;
      const bool insertBrand = !values.BrandLabel.empty() && !brandLabelSeen;
      if (insertSerial || insertBrand) {
        // The image has no place for the device's serial number or brand
        // label: they go in just before the end, so that the next update
        // finds them again.
        if (insertSerial) {
          writer.PutRecord(TagSerialNumber, serial);
          out.SerialInserted = true;
        }
        if (insertBrand) writer.PutRecord(TagBrandLabel, values.BrandLabel);
        writer.PutRecord(TagEnd, std::span<const uint8_t>{});
      } else {
        const size_t end = RecordEnd(input, i);
        writer.Put(input.subspan(i, end - i));
      }
      break;
    } else {
      writer.Put(input[i]);
      ++i;
    }
  }
}

PatchedImage PatchImage(std::span<const uint8_t> image, const PatchValues& values) {
  PatchedImage patched;
  const auto imageSize = static_cast<int64_t>(image.size());
  if (imageSize <= IdentityOffsetPosition + 4) return patched;
  uint32_t blockOffset = 0;
  for (int k = 0; k < 4; ++k) {
    blockOffset |= static_cast<uint32_t>(image[static_cast<size_t>(IdentityOffsetPosition + k)])
                   << (8 * k);
  }
  const int64_t p = blockOffset;
  patched.BlockOffset = p;
  if (p > imageSize) {
    // The block would start past the end of the image: reading it is a read
    // past the end, told like any other file error.
    patched.BlockPastEnd = true;
    return patched;
  }
  const int64_t blockLength = std::min<int64_t>(imageSize - p, IdentityBlockMax);
  RewrittenBlock block;
  RewriteIdentityBlock(image.subspan(static_cast<size_t>(p), static_cast<size_t>(blockLength)),
                       values, block);
  if (!block.BeginSeen) return patched;
  if (block.TooLong) {
    patched.Outcome = PatchOutcome::BlockTooLong;
    return patched;
  }
  patched.Bytes.reserve(image.size() + RewrittenBlockMax);
  patched.Bytes.assign(image.begin(), image.begin() + p);
  patched.Bytes.insert(patched.Bytes.end(), block.Bytes.begin(),
                       block.Bytes.begin() + static_cast<int64_t>(block.Length));
  // A shorter block is filled up so that everything after it keeps its place
  // in flash; a longer one moves it.
  if (static_cast<int64_t>(block.Length) < blockLength) {
    patched.Bytes.insert(patched.Bytes.end(),
                         static_cast<size_t>(blockLength - static_cast<int64_t>(block.Length)),
                         IdentityFillByte);
  }
  patched.Bytes.insert(patched.Bytes.end(), image.begin() + p + blockLength, image.end());
  patched.SerialInserted = block.SerialInserted;
  patched.Outcome = PatchOutcome::Patched;
  return patched;
}

PatchOutcome WriteTemporaryImage(std::span<const uint8_t> bytes, const std::string& temporaryPath,
                                 SeqFile& imageFile) {
  SeqFile temporary;
  temporary.SetWriteBuffered(true);
  if (!temporary.CreatePrivate(temporaryPath)) return PatchOutcome::TempNotCreated;
  for (const uint8_t b : bytes) temporary.WriteByte(b);
  temporary.Close();
  if (!imageFile.OpenExisting(temporaryPath)) return PatchOutcome::TempNotOpened;
  return PatchOutcome::Patched;
}

PatchOutcome PatchIdentityBlock(SeqFile& imageFile, const std::string& temporaryPath,
                                const PatchValues& values, bool* serialInserted) {
  if (serialInserted != nullptr) *serialInserted = false;
  const int64_t imageSize = imageFile.Size();
  std::vector<uint8_t> image(static_cast<size_t>(std::max<int64_t>(imageSize, 0)));
  imageFile.Seek(0);
  for (uint8_t& b : image) b = imageFile.ReadByte();
  const PatchedImage patched = PatchImage(image, values);
  if (patched.BlockPastEnd) throw InOutError(IoDiskReadError);
  if (patched.Outcome != PatchOutcome::Patched) return patched.Outcome;
  // Creating the temporary image over the file being read would empty the
  // image before it is copied.
  if (temporaryPath == imageFile.Path()) return PatchOutcome::TempNotCreated;
  imageFile.Close();
  const PatchOutcome written = WriteTemporaryImage(patched.Bytes, temporaryPath, imageFile);
  if (written == PatchOutcome::Patched && serialInserted != nullptr) {
    *serialInserted = patched.SerialInserted;
  }
  return written;
}
