#pragma once
// The command line of vyr-survey and the exit statuses it documents.

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

namespace vyr {

// Exit statuses of vyr-survey, as its help and manual page list them.
enum class SurveyExit : int {
  DONE = 0,           // every unit finished; report and progress file saved
  BAD_ARGUMENTS = 1,  // a wrong option or value, or a list that cannot be read or names no unit
  TIMED_OUT = 2,      // --timeout passed first; the survey was aborted and saved
  STOPPED = 3,        // SIGINT, SIGTERM or SIGHUP; the survey was saved
  NOT_SAVED = 4,      // the report, the progress file or the JSON output not written in full
  CANNOT_RUN = 5,     // no UDP socket or not enough memory; a running survey saved first
  LIST_BUSY = 6,      // another survey of the same list runs; nothing surveyed or written
};

constexpr int exitStatus(SurveyExit exit) { return static_cast<int>(exit); }

// The longest timeout, in seconds: its milliseconds stay within an int.
constexpr int MAX_TIMEOUT_SECONDS = 2000000;
// List names are read back from the selector with 79 characters; a longer name would be cut.
constexpr size_t MAX_LIST_NAME = 79;

struct SurveyOptions {
  std::string directory = ".";  // where the list is; its report and progress file go there too
  std::string listName;         // bare name of the list file in `directory`
  std::string server;           // dotted IPv4 address of the IP server; empty for none
  bool fresh = false;           // --new: never resume
  int timeoutSeconds = 0;       // 0: no limit
  uint32_t rate = 0;            // most datagrams a second; 0: as fast as the answers are read
  bool quiet = false;
  std::string json;  // where the JSON lines go: empty for nowhere, "-" for standard output
};

// Reads the command line into `options`. Returns nothing when the survey is to run; otherwise the
// exit status to end with at once: DONE after --help or --version (printed on `out`), or
// BAD_ARGUMENTS after a message on `err` that names the argument at fault.
std::optional<SurveyExit> readSurveyOptions(int argc, const char* const* argv,
                                            SurveyOptions& options, std::ostream& out,
                                            std::ostream& err);

}  // namespace vyr
