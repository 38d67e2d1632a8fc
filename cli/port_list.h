// updater-cli ports: the serial devices of this computer, one a line.
#pragma once

// Prints path, by-id name and adapter of each on standard output; an empty
// list is a note on standard error, not a failure. Returns the exit code.
int ListPorts();
