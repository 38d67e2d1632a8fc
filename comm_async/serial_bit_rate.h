// Bit rates by number on Linux, also those without a B constant (14400,
// 56000, 128000, 256000). Kept apart from the termios backend because the
// kernel's termios2 headers clash with <termios.h>.
#pragma once

#include <cstdint>

// Sets both directions of the open device `fd` to `rate` bit/s. False when
// the driver refuses.
bool SetBitRateByNumber(int fd, uint32_t rate);
// The output bit rate in force on `fd`; 0 when it cannot be read.
uint32_t BitRateInForce(int fd);
