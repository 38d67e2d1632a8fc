#include "pacer.h"

#include <algorithm>

namespace sim {

namespace {
constexpr uint64_t BitsPerByte = 10;  // start bit, 8 data bits, stop bit
constexpr uint64_t NanosPerSecond = 1'000'000'000;
}  // namespace

void Pacer::SetBitRate(uint32_t bitRate) {
  bitRate_ = bitRate;
  base_ = Clock::time_point{};
  slots_ = 0;
}

Pacer::Clock::time_point Pacer::SlotStart(uint64_t k) const {
  // Whole products first, so slot k lands on the exact nanosecond: no
  // rounding error accumulates over a long transfer.
  return base_ + std::chrono::nanoseconds(k * BitsPerByte * NanosPerSecond / bitRate_);
}

void Pacer::BurstStarts(Clock::time_point now) {
  if (!Active()) return;
  if (now >= SlotStart(slots_)) {
    base_ = now;
    slots_ = 0;
  }
}

std::size_t Pacer::Allowance(Clock::time_point now, std::size_t pending,
                             Clock::time_point* wake) const {
  if (!Active()) return pending;
  if (pieces_ > 0) {
    // A piece goes once the slot of its last byte has ended.
    const uint64_t piece = std::min<uint64_t>(pending, pieces_);
    const Clock::time_point through = SlotStart(slots_ + piece);
    if (now < through) {
      if (wake) *wake = through;
      return 0;
    }
    const uint64_t elapsed = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(now - base_).count());
    uint64_t ended = elapsed * bitRate_ / (BitsPerByte * NanosPerSecond);
    // Slot starts are whole nanoseconds, rounded down: the slot that ends
    // right now counts.
    if (SlotStart(ended + 1) <= now) ++ended;
    return static_cast<std::size_t>(std::min<uint64_t>(ended - slots_, pending));
  }
  if (now < SlotStart(slots_)) {
    if (wake) *wake = SlotStart(slots_);
    return 0;
  }
  const uint64_t elapsed = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(now - base_).count());
  // Slots whose start has been reached, the current one included.
  const uint64_t reached = elapsed * bitRate_ / (BitsPerByte * NanosPerSecond) + 1;
  const uint64_t allowed = reached > slots_ ? reached - slots_ : 1;
  return static_cast<std::size_t>(std::min<uint64_t>(allowed, pending));
}

}  // namespace sim
