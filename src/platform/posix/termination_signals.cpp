#include "platform/posix/termination_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

namespace vyr {
namespace {

int signalPipe[2] = {-1, -1};

void noteSignal(int) {
  const int saved = errno;
  const char byte = 1;
  // A full pipe already says all there is to say.
  [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

int watchTerminationSignals() {
  if (signalPipe[0] >= 0) return signalPipe[0];
  if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  struct sigaction action = {};
  action.sa_handler = noteSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    // A signal the caller chose to ignore stays ignored, so that nohup and the like keep working.
    struct sigaction inherited = {};
    if (::sigaction(signal, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN) continue;
    ::sigaction(signal, &action, nullptr);
  }
  return signalPipe[0];
}

}  // namespace vyr
