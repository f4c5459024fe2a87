#include "survey_command/survey_options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

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
terminal, otherwise a line every 5 seconds. A survey that does not complete names
its unfinished units (the first 20, as the list names them) before the summary;
--quiet leaves out progress, those names and summary.

JSON (--json): one object per line, each unit exactly once ("type": "unit", its
"index" in the list, the unit's fields by name and "report", its columns as the
report prints them), then one summary ("type": "summary") last. A unit's line is
written and flushed as soon as it finishes, so the lines come in the order the
units finished; "index" gives the list order. A resumed survey's finished units
come first; when the survey ends, the units that did not finish follow in list
order ("finished": false). Texts are the units' bytes read as Latin-1: each byte
is the character of that number, so the output is always valid UTF-8 and a text
encoded as Latin-1 gives back its bytes exactly.

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

// Edits (an insertion, a deletion, a change or two neighbours swapped) that make `a` into `b`.
size_t editDistance(const std::string& a, const std::string& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t change = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + change});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

// "unknown option --lst (did you mean --list?)" for the first word the parse took for an option
// and could not place, the known long option nearest to it suggested when it is near enough to
// be a slip; empty when every option was known.
std::string unknownOptionMessage(const CLI::App& app) {
  for (const std::string& word : app.remaining(false)) {
    if (word.size() < 2 || word[0] != '-') continue;
    const std::string option = word.substr(0, word.find('='));
    std::string message = "unknown option " + option;
    if (option.compare(0, 2, "--") != 0) return message;
    const std::string typed = option.substr(2);
    std::string nearest;
    size_t best = SIZE_MAX;
    for (const CLI::Option* known : app.get_options()) {
      for (const std::string& name : known->get_lnames()) {
        const size_t distance = editDistance(typed, name);
        if (distance < best) {
          best = distance;
          nearest = name;
        }
      }
    }
    // Two slips at most, and fewer than half the word: "--bogus" is no "--new".
    if (!nearest.empty() && best <= 2 && best * 2 <= typed.size()) {
      message += " (did you mean --" + nearest + "?)";
    }
    return message;
  }
  return "";
}

}  // namespace

std::optional<SurveyExit> readSurveyOptions(int argc, const char* const* argv,
                                            SurveyOptions& options, std::ostream& out,
                                            std::ostream& err) {
  CLI::App app{DESCRIPTION, "vyr-survey"};
  app.footer(FOOTER);
  app.get_formatter()->column_width(30);
  app.set_version_flag("-V,--version", std::string("vyr-survey ") + VYR_VERSION);
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
                 "Write each unit as it finishes, then a\nsummary, as JSON lines to FILE; - for\n"
                 "standard output")
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
    // CLI11 tells of a missing --list before an option it does not know, which is the more
    // likely fault: "--lst x" is a typing slip, not a forgotten list.
    const std::string unknown = unknownOptionMessage(app);
    err << "vyr-survey: " << (unknown.empty() ? std::string(error.what()) : unknown)
        << "\nTry 'vyr-survey --help' for more.\n";
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
