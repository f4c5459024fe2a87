#pragma once
// The survey driver on poll(): the wait of the command on POSIX systems, of the benchmarks and of
// the loopback tests. The driver says what to wait for; this waits for it on the socket's
// descriptor, with the 250 ms timer and the flush timer as poll()'s timeout.

#include <csignal>

#include "survey_command/driver_loop.h"

namespace vyr {

// runDriverLoop (driver_loop.h) on descriptor `fd`, the system's socket under context.socket.
bool runUntilDone(Context& context, int fd, int timeoutMs,
                  const volatile sig_atomic_t* stop = nullptr, const PeriodicCall* every = nullptr);

}  // namespace vyr
