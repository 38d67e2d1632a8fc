// POSIX side of the update history: appends under flock with O_APPEND, one
// write per line; SHA-256 through OpenSSL.
#include <openssl/evp.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "history_os.h"
#include "platform/regular_file.h"

namespace {

std::string SystemWords(int error) {
  return std::strerror(error);
}

}  // namespace

std::string StateFolder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return state;
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] != '/') return std::string();
  return std::string(home) + "/.local/state";
}

const char* NoStateFolderReason() {
  return "neither XDG_STATE_HOME nor HOME is set";
}

bool AppendLocked(const std::string& file, const std::string& line, std::string* warning) {
  auto fail = [warning](std::string why) {
    if (warning) *warning = std::move(why);
    return false;
  };
  // The program's safe open: a FIFO or a device at the history's name is
  // refused at once, never waited for.
  RegularFile history;
  SysError error;
  if (!history.Open(file, FileAccess::Append, error)) {
    return fail("history not written: " + error.Text);
  }
  const int fd = static_cast<int>(history.Handle());
  // The lock keeps writers on file systems without atomic appends apart; the
  // single write of the whole line keeps them apart everywhere else.
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      return fail("history not written: cannot lock " + file + ": " + SystemWords(errno));
    }
  }
  ssize_t written = 0;
  do {
    written = ::write(fd, line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  const int writeError = errno;
  ::flock(fd, LOCK_UN);
  const bool closed = history.Close();
  if (written != static_cast<ssize_t>(line.size())) {
    return fail("history not written: " + file + ": " +
                (written < 0 ? SystemWords(writeError) : std::string("short write")));
  }
  if (!closed) return fail("history may be incomplete: closing " + file + " failed");
  return true;
}

struct Sha256::State {
  EVP_MD_CTX* Context = nullptr;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  state_->Context = EVP_MD_CTX_new();
  if (state_->Context != nullptr &&
      EVP_DigestInit_ex(state_->Context, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(state_->Context);
    state_->Context = nullptr;
  }
}

Sha256::~Sha256() {
  EVP_MD_CTX_free(state_->Context);
}

bool Sha256::Ready() const {
  return state_->Context != nullptr;
}

void Sha256::Add(const void* data, size_t size) {
  if (Ready()) EVP_DigestUpdate(state_->Context, data, size);
}

Sha256::Digest Sha256::Finish() {
  Digest digest{};
  unsigned int length = 0;
  if (Ready()) EVP_DigestFinal_ex(state_->Context, digest.data(), &length);
  return digest;
}
