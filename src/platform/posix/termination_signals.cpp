#include "platform/posix/termination_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

namespace vyr {
namespace {

volatile sig_atomic_t lastSignal = 0;
int signalPipe[2] = {-1, -1};
bool installed = false;

void noteSignal(int number) {
  const int saved = errno;
  lastSignal = number;
  const char byte = 1;
  // A full pipe already says all there is to say.
  if (signalPipe[1] >= 0) [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

int watchTerminationSignals() {
  if (installed) return signalPipe[0];
  installed = true;
  if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) signalPipe[0] = signalPipe[1] = -1;
  struct sigaction action = {};
  action.sa_handler = noteSignal;
  sigemptyset(&action.sa_mask);
  // poll() and select() return on a signal whatever the flag says, so the loops still see it.
  action.sa_flags = SA_RESTART;
  for (int number : {SIGTERM, SIGINT, SIGHUP}) {
    struct sigaction inherited = {};
    if (number == SIGHUP && ::sigaction(number, nullptr, &inherited) == 0 &&
        inherited.sa_handler == SIG_IGN) {
      continue;
    }
    ::sigaction(number, &action, nullptr);
  }
  return signalPipe[0];
}

const volatile sig_atomic_t* terminationSignal() { return &lastSignal; }

}  // namespace vyr
