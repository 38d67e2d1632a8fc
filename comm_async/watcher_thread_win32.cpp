#include <windows.h>

#include "watcher_thread.h"

namespace {

void SetPriorityOf(uint64_t threadId, int priority) {
  if (threadId == 0) return;
  const HANDLE thread = OpenThread(THREAD_SET_INFORMATION, FALSE, static_cast<DWORD>(threadId));
  if (thread == nullptr) return;
  SetThreadPriority(thread, priority);
  CloseHandle(thread);
}

}  // namespace

uint64_t CurrentThreadOsId() {
  return GetCurrentThreadId();
}

void SetThreadPriorityBelowNormal(uint64_t threadId) {
  SetPriorityOf(threadId, THREAD_PRIORITY_BELOW_NORMAL);
}

void SetThreadPriorityNormal(uint64_t threadId) {
  SetPriorityOf(threadId, THREAD_PRIORITY_NORMAL);
}
