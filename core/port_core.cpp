#include "port_core.h"

#include <string>

#include "platform/file_search.h"
#include "platform/host.h"
#include "identity_store.h"
#include "line_settings.h"
#include "platform/seq_file.h"

PortCore::PortCore(NotifyTarget& notifyWindow, SessionWindow& window)
    : comm_(notifyWindow), port_(comm_) {
  LoadComm1Configuration(comm_);
  // The session hands the thread back every 50 ms, bytes waiting or not: the
  // component tells it again about the bytes it left.
  comm_.NotifyAgainForUnreadBytes = true;
  session_ = std::make_unique<Session>(port_, window);
  session_->TemporaryImagePath = ::TemporaryImagePath().value_or(std::string());
  session_->ProgramFolder = ::ProgramFolder();
  comm_.OnCommEvent = [this](TComm*, uint32_t events, uint32_t state) {
    RunPass([&] { session_->Comm1CommEvent(events, state); });
  };
  comm_.OnCharReceived = [this](TComm*, uint32_t cbInQue) {
    RunPass([&] { session_->Comm1CharReceived(cbInQue); });
  };
  comm_.OnCommError = [this](TComm*, uint32_t errorCode) {
    RunPass([&] { session_->Comm1CommError(errorCode); });
  };
}

PortCore::~PortCore() {
  session_->Shutdown();
  comm_.Close();
  // The patched image carries the device's serial number: it is not left
  // behind, however the program ends.
  if (!session_->TemporaryImagePath.empty()) SeqFile::Erase(session_->TemporaryImagePath);
}

std::string PortCore::NoteJobFinished(Job job, const JobResult& result) {
  if (job != Job::VerifyHardware || result.Outcome != JobOutcome::Ok || !result.HasIdentity)
    return {};
  const auto& area = session_->IdentityArea();
  const std::vector<uint8_t> block(area.begin(), area.begin() + IdentityBlockBytes);
  std::string why;
  if (SaveIdentity(result.Identity, block, &why, IdentityFolderOverride)) return {};
  return "the device's identity could not be kept on this machine: " + why;
}

void PortCore::SetPassRunner(PassRunner runner) {
  runner_ = std::move(runner);
}

void PortCore::RunPass(const std::function<void()>& pass) {
  if (runner_) {
    runner_(pass);
    return;
  }
  pass();
}
