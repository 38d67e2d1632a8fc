// The one-character vocabulary spoken with the bootstrap loader and the flash
// routine running in the device.
#pragma once

#include <cstdint>

namespace wire {

// Sent to the device.
constexpr uint8_t CmdBootstrapStart = 0x00;  // wakes the chip's bootstrap loader
constexpr uint8_t CmdEraseSector = '0';      // followed by the sector number
constexpr uint8_t CmdProgramSector = '1';    // followed by the sector number and its data
constexpr uint8_t CmdReadSector = '2';       // followed by the sector number, then a word request
constexpr uint8_t CmdNextWord = '3';         // send the next 16-bit word
constexpr uint8_t CmdStop = '4';             // stop sending words
constexpr uint8_t CmdReadAddress = '5';      // followed by three address bytes, then a word request
constexpr uint8_t CmdTableCount = '6';       // asks for the sector-table count byte
constexpr uint8_t CmdTableEntry = '7';       // followed by the entry index

// Received from the device.
constexpr uint8_t RepReady = 'a';          // the flash routine waits for a command
constexpr uint8_t RepErased = 'b';         // the sector has been erased
constexpr uint8_t RepProgramFailed = 'd';  // programming of the sector failed
constexpr uint8_t RepProgrammed = 'e';     // the sector has been programmed
constexpr uint8_t RepSectorEnd = 'f';      // last word of the sector delivered
constexpr uint8_t RepWordSent = 'g';       // a word has been delivered, more may follow
constexpr uint8_t RepLogChars = 'h';       // two characters for the log follow
constexpr uint8_t RepSectorTable = 'j';    // the sector-table exchange follows

// Data filler of a sector beyond the end of the image: the erased state.
constexpr uint8_t ErasedByte = 0xFF;
// The loader is always sent as at least this many bytes.
constexpr int32_t LoaderMinimumBytes = 32;

}  // namespace wire
