// One port as every front end uses it: the serial component TComm with its
// line settings, the session's port adapter and the Session, wired so that
// the component's notifications reach the session on the thread that pumps
// the notify target. The window creates one on the window thread; the
// command line creates one per port, each on its own thread; tests and the
// benchmark create them like the command line does.
//
// Nothing here knows Qt or the OS: the notify target (the hidden window) and
// the session's window come from the front end.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "comm_async/comm_async.h"
#include "comm_session_port.h"
#include "comm_async/notify_target.h"
#include "session/session.h"
#include "session/session_window.h"

class PortCore {
 public:
  // `notifyWindow` and `window` must outlive the core. The notify target's
  // messages are to be handed to WndProc on the thread that runs the session.
  PortCore(NotifyTarget& notifyWindow, SessionWindow& window);
  // Ends the session (files still open are closed, keeping what was written)
  // and closes the port.
  ~PortCore();
  PortCore(const PortCore&) = delete;
  PortCore& operator=(const PortCore&) = delete;

  TComm& Comm() { return comm_; }
  const TComm& Comm() const { return comm_; }
  Session& GetSession() { return *session_; }
  const Session& GetSession() const { return *session_; }

  // How one pass of the session (a handler, or a notification's dispatch) is
  // run. The window wraps it so that nothing re-enters the session meanwhile;
  // by default it runs at once, a file failure ending it with the warning box.
  using PassRunner = std::function<void(const std::function<void()>& pass)>;
  void SetPassRunner(PassRunner runner);
  // Runs `pass` the way every session pass is run.
  void RunPass(const std::function<void()>& pass);

  // The notify target hands its messages here, on the session's thread.
  void WndProc(uint32_t message, uint32_t wParam, uint32_t lParam) {
    comm_.WndProc(message, wParam, lParam);
  }

  // Front ends hand every job's end here (from their SessionWindow's
  // JobFinished): an identity read is kept on this machine, so that an update
  // interrupted after the identity block was erased can be finished. Returns
  // a warning to show when the identity could not be kept; empty otherwise.
  std::string NoteJobFinished(Job job, const JobResult& result);

  // Where identities are kept; empty for the user's state folder.
  std::string IdentityFolderOverride;

  // Port n (1 to 4) of the operator's choice.
  void SelectPort(uint8_t port) { comm_.SetPort(port); }

 private:
  TComm comm_;
  CommSessionPort port_;
  std::unique_ptr<Session> session_;
  PassRunner runner_;
};
