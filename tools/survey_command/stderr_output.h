#pragma once
// vyr-survey's standard error, written so that it never holds up the survey: a reader that does
// not read (a full pipe, a stopped terminal) loses lines instead of stopping the loop. On Windows,
// which cannot tell whether a pipe has room, a write waits for its reader.

#include <cstdint>
#include <string_view>

namespace vyr {

// Lines longer than this are cut: a write to a pipe of at most PIPE_BUF bytes goes in whole or
// not at all, and POSIX promises PIPE_BUF to be at least 512.
constexpr size_t STDERR_LINE_LIMIT = 500;
// How long a message that ends the run may wait for room before it is dropped.
constexpr int MESSAGE_WAIT_MS = 2000;

class StderrOutput {
 public:
  // Writes `line` (cut to STDERR_LINE_LIMIT) in one write if there is room now, else drops it.
  // Returns whether it was written.
  static bool progress(std::string_view line);

  // Writes `line` (cut to STDERR_LINE_LIMIT), waiting at most MESSAGE_WAIT_MS for room. Once a
  // message had to be dropped, later ones wait no more: the reader is gone or stuck.
  bool message(std::string_view line);

 private:
  static bool writeWithin(std::string_view line, int waitMs);

  bool stuck_ = false;
};

}  // namespace vyr
