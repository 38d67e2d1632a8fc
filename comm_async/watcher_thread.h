// The little the watcher needs from the system's threads besides std::thread:
// its own id and its scheduling priority. One backend per system.
#pragma once

#include <cstdint>

// The system's id of the calling thread; never 0.
uint64_t CurrentThreadOsId();
// The watcher runs a little below the window thread so that a stream of
// received bytes never makes the window sluggish. Failures are ignored.
void SetThreadPriorityBelowNormal(uint64_t threadId);
// Back to the calling thread's own priority, so that a stopping watcher is
// not starved while the window thread waits for it. Failures are ignored.
void SetThreadPriorityNormal(uint64_t threadId);
