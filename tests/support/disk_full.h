// A disk that fills up, played by this process's file-size limit: every write
// that would take a file past `bytes` fails as a full disk would (EFBIG, the
// signal that comes with it ignored). The old limit and signal action come
// back when the object goes. Windows has no such limit: Available() is false
// there and the tests that need it are skipped.
#pragma once

#include <cstdint>

#if defined(_WIN32)
class DiskFullAfter {
 public:
  explicit DiskFullAfter(uint64_t /*bytes*/) {}
  static bool Available() { return false; }
};
#else
#include <sys/resource.h>

#include <csignal>

class DiskFullAfter {
 public:
  explicit DiskFullAfter(uint64_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &old_);
    oldSignal_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = old_;
    limit.rlim_cur = static_cast<rlim_t>(bytes);
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~DiskFullAfter() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    std::signal(SIGXFSZ, oldSignal_);
  }
  DiskFullAfter(const DiskFullAfter&) = delete;
  DiskFullAfter& operator=(const DiskFullAfter&) = delete;
  static bool Available() { return true; }

 private:
  rlimit old_{};
  void (*oldSignal_)(int) = SIG_DFL;
};
#endif
