#include "survey_command/stderr_output.h"

#include <chrono>

#include "platform/console.h"

namespace vyr {

bool StderrOutput::progress(std::string_view line) { return writeWithin(line, 0); }

bool StderrOutput::message(std::string_view line) {
  if (writeWithin(line, stuck_ ? 0 : MESSAGE_WAIT_MS)) return true;
  stuck_ = true;
  return false;
}

bool StderrOutput::writeWithin(std::string_view line, int waitMs) {
  if (line.size() > STDERR_LINE_LIMIT) line = line.substr(0, STDERR_LINE_LIMIT);
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(waitMs);
  while (!line.empty()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    const size_t count =
        writeStandardError(line.data(), line.size(), left > 0 ? static_cast<int>(left) : 0);
    if (count == 0) return false;
    // A terminal or file may take part of it; the rest waits within the same time.
    line.remove_prefix(count);
  }
  return true;
}

}  // namespace vyr
