// What a pseudo-terminal costs by itself, measured with plain system calls and
// no part of the program: the floor under every figure the benchmark reports.
#pragma once

#include <cstdint>

namespace bench {

struct PtyBaseline {
  // One request byte answered by `replyBytes` bytes: a poll, a read and a
  // write on each side, as lean as a round trip on this line can be.
  double RoundTripUs1 = 0;  // 1-byte answer
  double RoundTripUs3 = 0;  // 3-byte answer, as a read word ("lo", "hi", "g")
  // One write() per byte into the line while the other side drains it.
  double WriteUsPerByte = 0;
};

// Medians over `runs` runs of `roundTrips` round trips and `writes` writes.
PtyBaseline MeasurePtyBaseline(int runs, int roundTrips, int writes);

}  // namespace bench
