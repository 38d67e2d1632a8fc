#include "exit_signals.h"

// A window program on Windows ends through its window (WM_CLOSE, WM_ENDSESSION),
// which Qt turns into the ordinary close.
void QuitOnExitSignals(QObject* /*owner*/) {}
