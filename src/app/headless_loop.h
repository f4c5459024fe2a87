#pragma once
// Drives the core from poll() the way the dialog drives it from its message loop: a steady 250 ms
// timer, a drain whenever datagrams wait, and a flush when the socket has room again after a send
// found it full.

#include <csignal>

#include "core/context.h"

namespace vyr {

class PosixUdpSocket;

// Runs the loop on `socket`, the socket under context.socket. Returns true once no survey is
// running; false when `timeoutMs` (negative: no limit) has passed or `*stop` has become non-zero.
// Either way the survey is left as it is for the caller to abort or close.
bool runUntilDone(Context& context, PosixUdpSocket& socket, int timeoutMs,
                  const volatile sig_atomic_t* stop = nullptr);

}  // namespace vyr
