#pragma once
// vyr-report's command line: summary, diff and html over report files, which it only reads.

#include <string>

namespace vyr {

// Exit statuses: diff's follow diff(1).
constexpr int REPORT_OK = 0;
constexpr int REPORT_CHANGES = 1;
constexpr int REPORT_BAD_INPUT = 2;

// Runs the command; what goes to standard output and standard error is gathered in `out` and
// `err`. Returns the exit status.
int runReport(int argc, const char* const* argv, std::string& out, std::string& err);

}  // namespace vyr
