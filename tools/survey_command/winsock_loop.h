#pragma once
// The survey driver on Winsock's select(): the wait of the command on Windows. The driver says
// what to wait for; this waits for it on the socket, with the 250 ms timer and the flush timer as
// select()'s timeout.

#include <winsock2.h>

#include <csignal>

#include "survey_command/driver_loop.h"

namespace vyr {

// runDriverLoop (driver_loop.h) on `socket`, the system's socket under context.socket. A stop
// requested from another thread (the console's handler) is seen at the latest after a tick.
bool runUntilDone(Context& context, SOCKET socket, int timeoutMs,
                  const volatile sig_atomic_t* stop = nullptr, const PeriodicCall* every = nullptr);

}  // namespace vyr
