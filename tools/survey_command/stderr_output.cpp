#include "survey_command/stderr_output.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace vyr {

bool StderrOutput::progress(std::string_view line) { return writeWithin(line, 0); }

bool StderrOutput::message(std::string_view line) {
  if (writeWithin(line, stuck_ ? 0 : MESSAGE_WAIT_MS)) return true;
  stuck_ = true;
  return false;
}

// The descriptor is shared with whoever started us, so it stays blocking; poll says whether a
// write would block. A pipe that polls writable has a free page, so one write of no more than
// PIPE_BUF bytes then goes in whole without waiting.
bool StderrOutput::writeWithin(std::string_view line, int waitMs) {
  if (line.size() > STDERR_LINE_LIMIT) line = line.substr(0, STDERR_LINE_LIMIT);
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(waitMs);
  while (!line.empty()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd entry{fd_, POLLOUT, 0};
    const int ready = ::poll(&entry, 1, left > 0 ? static_cast<int>(left) : 0);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || !(entry.revents & POLLOUT)) return false;
    const ssize_t count = ::write(fd_, line.data(), line.size());
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    // A terminal or file may take part of it; the rest waits within the same time.
    line.remove_prefix(static_cast<size_t>(count));
  }
  return true;
}

}  // namespace vyr
