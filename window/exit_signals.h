// Ending the program by a signal (SIGTERM, SIGINT, SIGHUP on POSIX) as if the
// window were closed: the session's files are closed, the temporary image is
// removed and the port is closed, without the question a running flash job
// asks an operator.
#pragma once

class QObject;

// From now on those signals make the application's event loop end.
void QuitOnExitSignals(QObject* owner);
