#pragma once
// Turns SIGTERM, SIGINT and SIGHUP into a readable descriptor, so that the event loop can end the
// program in good order (a running survey saved) instead of dying inside a handler.

namespace vyr {

// Installs the handlers, except for signals the process inherited as ignored, and returns the
// descriptor that becomes readable once any of them has arrived, or -1 when the pipe cannot be
// made.
int watchTerminationSignals();

}  // namespace vyr
