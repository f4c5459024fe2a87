#include "survey_command/survey_options.h"

#include <CLI/CLI.hpp>
#include <cstdint>

#include "platform/wildcard.h"

#ifndef VYR_VERSION
#define VYR_VERSION "unknown"
#endif

namespace vyr {
namespace {

const char* const DESCRIPTION =
    "Surveys the units of a list file without the dialog, as its Resume (or N) button\n"
    "would, and saves the report NAME.model and the progress file NAME.soFar beside\n"
    "the list.";

const char* const FOOTER = R"(The list is read as the dialog reads it. Without --new, a progress file that matches
the list is resumed and its report section rewritten in place; otherwise a new section
is appended to the report.

Progress goes to standard error: a live line a few times a second when it is a
terminal, otherwise a line every 5 seconds; --quiet leaves out progress and summary.

JSON (--json): one object per line; one per unit, in list order ("type": "unit",
the unit's fields by name and "report", its columns as the report prints them),
then one summary ("type": "summary"), written when the survey has ended. Texts
are the units' bytes read as Latin-1: each byte is the character of that number,
so the output is always valid UTF-8 and a text encoded as Latin-1 gives back its
bytes exactly.

Exit status:
  0  complete: every unit answered; report and progress file saved
  1  bad arguments, or a list file that is missing, unreadable, not a regular
     file or names no unit (or names units by ID/serial and no --server is given),
     or a JSON output that is the list, the report or the progress file
  2  timed out: not complete; aborted, report and progress file saved
  3  stopped by SIGINT, SIGTERM or SIGHUP: not complete; report and progress
     file saved
  4  the report, the progress file or the JSON output could not be written in
     full (whatever the survey's outcome), or cannot be: then nothing is sent
  5  could not run: no UDP socket, or not enough memory; a survey that was
     running is saved first
  6  another survey of the same list runs (in the dialog or another
     vyr-survey): nothing was surveyed or written)";

// Four decimal numbers 0 to 255 separated by dots, nothing else: the dialog's field takes
// whatever four numbers it can read, but a script's mistake should stop the command.
// The strict dotted form, as inet_pton reads it, on every system.
bool readsAsIpv4(const std::string& text, bool& zero) {
  int parts = 0;
  zero = true;
  size_t at = 0;
  while (parts < 4) {
    size_t digits = 0;
    int value = 0;
    while (at + digits < text.size() && text[at + digits] >= '0' && text[at + digits] <= '9') {
      value = value * 10 + (text[at + digits] - '0');
      if (++digits > 3) return false;
    }
    if (digits == 0 || value > 255 || (digits > 1 && text[at] == '0')) return false;
    zero = zero && value == 0;
    at += digits;
    if (++parts < 4) {
      if (at >= text.size() || text[at] != '.') return false;
      ++at;
    }
  }
  return at == text.size();
}

std::string checkServer(const std::string& text) {
  bool zero = false;
  if (!readsAsIpv4(text, zero)) {
    return "'" + text + "' is not an IPv4 address: four numbers 0 to 255 with dots between " +
           "them and no leading zeros, like 192.0.2.10";
  }
  if (zero) return "0.0.0.0 names no server";
  return {};
}

std::string checkList(const std::string& text) {
  const size_t slash = text.rfind('/');
  const std::string name = slash == std::string::npos ? text : text.substr(slash + 1);
  if (name.empty()) return "'" + text + "' names a folder, not a list file";
  if (!matchesWildcard("*.IPs", name.c_str())) {
    return "'" + name + "' is not a list file name: it must end in .IPs";
  }
  if (name.size() > MAX_LIST_NAME) {
    return "'" + name + "' is longer than " + std::to_string(MAX_LIST_NAME) + " characters";
  }
  return {};
}

}  // namespace

std::optional<SurveyExit> readSurveyOptions(int argc, const char* const* argv,
                                            SurveyOptions& options, std::ostream& out,
                                            std::ostream& err) {
  CLI::App app{DESCRIPTION, "vyr-survey"};
  app.footer(FOOTER);
  app.get_formatter()->column_width(30);
  app.set_version_flag("--version", std::string("vyr-survey ") + VYR_VERSION);
  // An option given twice takes its last value, as it always has: scripts add to a base command.
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);

  std::string list;
  app.add_option("--list", list,
                 "The list file, in the working directory\nor in the folder a path names")
      ->required()
      ->type_name("NAME.IPs")
      ->check(CLI::Validator(checkList, ""));
  app.add_option("--server", options.server,
                 "The IP server, which locates the units\nlisted by ID/serial")
      ->type_name("A.B.C.D")
      ->check(CLI::Validator(checkServer, ""));
  app.add_flag("--new", options.fresh,
               "Start afresh, even when a progress file\nmatches the list");
  app.add_option("--timeout", options.timeoutSeconds,
                 "Abort and save the survey after this\nmany seconds, 1 to 2000000")
      ->type_name("SECONDS")
      ->check(CLI::Range(1, MAX_TIMEOUT_SECONDS).description(""));
  app.add_option("--rate", options.rate,
                 "Send at most this many datagrams a second,\n"
                 "1 to 4294967295, for links that drop bursts")
      ->type_name("PER-SECOND")
      ->check(CLI::Range(uint32_t{1}, UINT32_MAX).description(""));
  app.add_flag("-q,--quiet", options.quiet, "No progress and no summary; errors only");
  app.add_option("--json", options.json,
                 "Write the units and a summary as JSON\nlines to FILE; - for standard output")
      ->type_name("FILE");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    out << app.help();
    return SurveyExit::DONE;
  } catch (const CLI::CallForVersion& version) {
    out << version.what() << '\n';
    return SurveyExit::DONE;
  } catch (const CLI::ParseError& error) {
    err << "vyr-survey: " << error.what() << "\nTry 'vyr-survey --help' for more.\n";
    return SurveyExit::BAD_ARGUMENTS;
  }

  const size_t slash = list.rfind('/');
  if (slash == std::string::npos) {
    options.listName = list;
  } else {
    options.directory = slash == 0 ? "/" : list.substr(0, slash);
    options.listName = list.substr(slash + 1);
  }
  return std::nullopt;
}

}  // namespace vyr
