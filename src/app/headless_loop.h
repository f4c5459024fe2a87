#pragma once
// Drives the core from poll() the way the dialog drives it from its message loop: a steady 250 ms
// timer, a drain whenever datagrams wait, and a flush at the outset (the socket is writable), when
// the socket has room again after a send found it full, or when the pacing lets held-back sends go.

#include <csignal>
#include <cstdint>
#include <functional>

#include "core/context.h"

namespace vyr {

class PacedSocket;
class PosixUdpSocket;

// Something the front-end does every `periodMs` while the loop runs, between the loop's own
// steps (a progress line, say); the core knows nothing of it.
struct PeriodicCall {
  uint32_t periodMs = 1000;
  std::function<void()> call;
};

// Runs the loop on `socket`, the system's socket under context.socket (through `paced`, when the
// sends are paced). Returns true once no survey is running; false when `timeoutMs` (negative: no
// limit) has passed or `*stop` has become non-zero. Either way the survey is left as it is for the
// caller to abort or close. `every`, when given, is called first after its period and then at
// each period while the survey runs.
bool runUntilDone(Context& context, PosixUdpSocket& socket, int timeoutMs,
                  const volatile sig_atomic_t* stop = nullptr, PacedSocket* paced = nullptr,
                  const PeriodicCall* every = nullptr);

}  // namespace vyr
