// The --port argument: COM1 to COM4, mapped as the window maps them, or the
// path of a device file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct PortName {
  std::string Given;   // as the operator wrote it, for messages and reports
  uint8_t Number = 0;  // 1 to 4 for COM1 to COM4; 0 for a device path
  std::string Path;    // the device path; empty for COMn
};

// Nothing when `text` is neither COM1..COM4 (any case) nor a path.
std::optional<PortName> ParsePortName(const std::string& text);
