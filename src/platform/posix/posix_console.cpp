// The console on POSIX systems: signals, and standard error as descriptor 2.

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "platform/console.h"
#include "platform/posix/termination_signals.h"

namespace vyr {

void watchStopRequests() {
  watchTerminationSignals();
  // JSON into a pipe that closes is an output that could not be written, not a silent death.
  std::signal(SIGPIPE, SIG_IGN);
}

const volatile sig_atomic_t* stopRequestFlag() { return terminationSignal(); }

const char* stopRequestName(int request) {
  switch (request) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "a signal";
  }
}

void stopRequestHandled() {}

bool standardErrorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

int standardErrorColumns() {
  winsize size{};
  return ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

// The descriptor is shared with whoever started us, so it stays blocking; poll says whether a
// write would block. A pipe that polls writable has a free page, so one write of no more than
// PIPE_BUF bytes then goes in whole without waiting.
size_t writeStandardError(const char* data, size_t size, int waitMs) {
  for (;;) {
    pollfd entry{STDERR_FILENO, POLLOUT, 0};
    const int ready = ::poll(&entry, 1, waitMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || !(entry.revents & POLLOUT)) return 0;
    const ssize_t count = ::write(STDERR_FILENO, data, size);
    if (count < 0 && errno == EINTR) continue;
    return count > 0 ? static_cast<size_t>(count) : 0;
  }
}

std::string lastSystemError() { return std::strerror(errno); }

std::vector<std::string> commandArguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

}  // namespace vyr
