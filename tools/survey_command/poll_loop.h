#pragma once
// The survey driver on poll(): the wait of the command on POSIX systems, of the benchmarks and of
// the loopback tests. The driver says what to wait for; this waits for it on the socket's
// descriptor, with the 250 ms timer and the flush timer as poll()'s timeout.

#include <csignal>
#include <cstdint>
#include <functional>

#include "core/survey_driver.h"

namespace vyr {

// Something the front-end does every `periodMs` while the loop runs, between the driver's events
// (a progress line, say); the core knows nothing of it.
struct PeriodicCall {
  uint32_t periodMs = 1000;
  std::function<void()> call;
};

// Runs the loop on descriptor `fd`, the system's socket under context.socket, from where the
// driver is (a start pressed, or an earlier run of the loop). Returns true once no survey is running; false when
// `timeoutMs` (negative: no limit) has passed or `*stop` has become non-zero. Either way the
// survey is left as it is for the caller to abort or close. `every`, when given, is called first
// after its period and then at each period while the survey runs.
bool runUntilDone(Context& context, int fd, int timeoutMs,
                  const volatile sig_atomic_t* stop = nullptr, const PeriodicCall* every = nullptr);

}  // namespace vyr
