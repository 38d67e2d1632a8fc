// A firmware image as an update takes it: read once, before any port is
// touched, and shared read-only by every job that programs it, reports it or
// records it. The bytes hashed, checked and programmed are the same bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "identity.h"
#include "platform/sys_error.h"

struct ImagePlan {
  std::string Path;          // as the operator named it
  std::string AbsolutePath;  // for the records
  // False when the file could not be read; Cause tells why and Bytes is
  // empty. IoCode is the run-time error number the session shows.
  bool Opened = false;
  SysError Cause;
  int IoCode = 0;
  std::vector<uint8_t> Bytes;
  int64_t Size = 0;
  std::string Sha256;  // lower-case hex of Bytes
  // The identity window (4096 bytes from offset 16384) as the update scans it.
  ImageIdentity Identity;
  std::vector<int32_t> Sectors;  // the sectors it selects, ascending
};

// Fills Size, Identity and Sectors from Bytes.
void ScanImagePlan(ImagePlan& plan);

// Opens `path` once through the program's safe open (read-only, regular
// files only, never waiting on a FIFO or a device), reads it whole (at most
// `maxBytes`) and scans its identity window. A file that cannot be read
// leaves Opened false with the cause; a file that is read is never refused
// here (the update's own checks say what is wrong with it).
ImagePlan LoadImagePlan(const std::string& path, int64_t maxBytes);

// "DEMO165, hardware 1.0b"
std::string DescribeImage(const ImageIdentity& identity);
