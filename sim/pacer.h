// Paces the device's output at a bit rate, 10 bits per byte (8N1), as a real
// line would deliver it. Slots are counted from the start of a burst, so a
// late wake-up is caught up at once and the rate never drifts.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace sim {

class Pacer {
 public:
  using Clock = std::chrono::steady_clock;

  // 0 turns pacing off.
  void SetBitRate(uint32_t bitRate);
  // Bytes reach the other side in pieces of up to `bytes`, each once its
  // last byte is through, as a USB adapter or a UART's receive FIFO hands
  // them over; 0: each byte as its slot starts.
  void SetPieces(uint32_t bytes) { pieces_ = bytes; }
  bool Active() const { return bitRate_ != 0; }

  // Output waits again after an empty queue: a new burst starts now unless
  // the last byte is still on the line.
  void BurstStarts(Clock::time_point now);
  // How many of `pending` bytes may go out at `now`. When none may, `wake`
  // is the moment the next one may.
  std::size_t Allowance(Clock::time_point now, std::size_t pending, Clock::time_point* wake) const;
  void Sent(std::size_t count) { slots_ += count; }

  // Start of slot `k` of the current burst.
  Clock::time_point SlotStart(uint64_t k) const;

 private:
  uint32_t bitRate_ = 0;
  uint32_t pieces_ = 0;
  Clock::time_point base_{};
  uint64_t slots_ = 0;
};

}  // namespace sim
