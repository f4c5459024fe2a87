#pragma once
// SIGTERM, SIGINT and SIGHUP, caught once for the whole program, so that it ends in good order (a
// running survey saved) instead of dying inside a handler: as a flag a loop looks at, and as a
// readable descriptor for an event loop that waits on descriptors.

#include <csignal>

namespace vyr {

// Installs the handlers, if not done yet: a SIGHUP the process inherited as ignored stays
// ignored, so that nohup works; an ignored SIGINT or SIGTERM does not, as a script's shell ignores
// SIGINT for every job it starts in the background and then stops that job with it. Returns the
// descriptor that becomes readable once any of them has arrived, or -1 when the pipe cannot be
// made (the flag still works).
int watchTerminationSignals();

// The number of the last of them that arrived, 0 before any.
const volatile sig_atomic_t* terminationSignal();

}  // namespace vyr
