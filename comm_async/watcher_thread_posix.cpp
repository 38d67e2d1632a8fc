#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "watcher_thread.h"

namespace {

// On Linux a thread's nice value is its own, addressed by its tid.
int NiceOf(id_t thread) {
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, thread);
  return errno == 0 ? nice : 0;
}

}  // namespace

uint64_t CurrentThreadOsId() {
  return static_cast<uint64_t>(syscall(SYS_gettid));
}

void SetThreadPriorityBelowNormal(uint64_t threadId) {
  if (threadId == 0) return;
  const int base = NiceOf(0);
  (void)setpriority(PRIO_PROCESS, static_cast<id_t>(threadId), base + 1);
}

void SetThreadPriorityNormal(uint64_t threadId) {
  if (threadId == 0) return;
  // Raising a thread's priority needs a privilege on most systems; without it
  // the watcher simply stops at the lower priority.
  (void)setpriority(PRIO_PROCESS, static_cast<id_t>(threadId), NiceOf(0));
}
