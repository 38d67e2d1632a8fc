// Building identity records and blocks for the firmware tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline Bytes Text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

// A record whose length byte is given apart from its value, so that tests can
// make the two disagree.
inline Bytes Record(const char* tag, uint8_t lengthByte, const Bytes& value) {
  Bytes r(tag, tag + 11);
  r.push_back(lengthByte);
  r.insert(r.end(), value.begin(), value.end());
  return r;
}

inline Bytes Record(const char* tag, const std::string& value) {
  return Record(tag, static_cast<uint8_t>(value.size()), Text(value));
}

inline Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// `size` bytes that hold no tag: the positions only matter for what is put in.
inline Bytes Filler(size_t size, uint8_t value = 0x2E) {
  return Bytes(size, value);
}

inline Bytes Place(Bytes block, size_t at, const Bytes& what) {
  for (size_t k = 0; k < what.size() && at + k < block.size(); ++k) block[at + k] = what[k];
  return block;
}
