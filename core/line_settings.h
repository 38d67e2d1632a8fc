// The line settings the program starts a port with, and the settings an
// operator may change for one port. No Qt here: the window keeps them between
// runs, the command line takes them from its arguments.
#pragma once

#include <cstdint>
#include <string>

#include "comm_async/comm_async.h"

// Loads the configuration that the main window stores for Comm1, in property
// order, while the port is closed: COM1, 38400 bit/s, 8N1, no handshake,
// queues of 2048 bytes, every event.
void LoadComm1Configuration(TComm& comm);

// The line settings in words, e.g. "38400 bit/s, 8N1, no flow control".
std::string DescribeLine(const Dcb& dcb, TFlowControl flow);
