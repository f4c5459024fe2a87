#include "report/report_command.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "report/report_diff.h"
#include "report/report_html.h"
#include "report/report_output.h"
#include "report/report_reader.h"
#include "report/report_summary.h"

#ifndef VYR_VERSION
#define VYR_VERSION "unknown"
#endif

namespace vyr {
namespace {

const char* const DESCRIPTION =
    "Tells what the fleet runs and what changed, from the report NAME.model that the\n"
    "dialog and vyr-survey write: one section for each survey of a list. It only reads\n"
    "reports.";

const char* const FOOTER =
    R"(Formats (--format): text, aligned for a terminal (the default); csv, UTF-8 with
one header row, for a spreadsheet; json, one object per line, for a script. The
units' texts are 8-bit bytes read as Latin-1; in text and csv a control byte
shows as '?', json keeps every byte.

Exit status: 0 done (diff: no change); 1 diff: something changed; 2 bad
arguments, or a file that cannot be read or is not a report.)";

struct Options {
  std::vector<std::string> files;
  int32_t section = 0;
  int32_t from = 0;
  int32_t to = 0;
  std::string format = "text";
  std::string output;
};

Format formatOf(const std::string& name) {
  if (name == "csv") return Format::CSV;
  if (name == "json") return Format::JSON;
  return Format::TEXT;
}

struct Failure {
  std::string& err;
  int fail(const std::string& message) const {
    err += "vyr-report: " + message + "\n";
    return REPORT_BAD_INPUT;
  }
};

std::string count(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Reads `path`; false with the message given when it cannot be read or is not a report.
bool readReport(const std::string& path, const ReadRequest& request, Report& report,
                const Failure& failure) {
  std::string error;
  if (readReportFile(path, request, report, error)) return true;
  failure.fail(path + ": " + error);
  return false;
}

// Checks that section `index` is there; the message names the sections there are.
bool haveSection(const std::string& path, const Report& report, int32_t index,
                 const Failure& failure) {
  if (index >= 1 && index <= static_cast<int32_t>(report.sections.size())) return true;
  failure.fail(path + ": there is no section " + std::to_string(index) + "; it has " +
               count(report.sections.size(), "section", "sections"));
  return false;
}

// Reads the section that --section names (the last without it) and, with `withEarlier`, the one
// before it too; `index` is the section's number. False with the message given when it is not
// there.
bool readChosenSection(const Options& options, bool withEarlier, Report& report, int32_t& index,
                       const Failure& failure) {
  const std::string& path = options.files[0];
  ReadRequest request;
  if (options.section > 0) {
    if (withEarlier) request.sections.push_back(options.section - 1);
    request.sections.push_back(options.section);
  } else {
    request.keepLast = withEarlier ? 2 : 1;
  }
  if (!readReport(path, request, report, failure)) return false;
  index = options.section > 0 ? options.section : static_cast<int32_t>(report.sections.size());
  return haveSection(path, report, index, failure);
}

SectionSummary summaryOf(const Report& report, int32_t index) {
  return summarize(report.sections[static_cast<size_t>(index - 1)], *sectionRows(report, index));
}

int runSummary(const Options& options, std::string& out, const Failure& failure) {
  Report report;
  int32_t index = 0;
  if (!readChosenSection(options, false, report, index, failure)) return REPORT_BAD_INPUT;
  out += formatTables(summaryTables(options.files[0], report, summaryOf(report, index)),
                      formatOf(options.format));
  return REPORT_OK;
}

int showDiff(const std::string& from, const std::string& to, const std::vector<UnitRow>& before,
             const std::vector<UnitRow>& after, const Options& options, std::string& out) {
  const std::vector<DiffRow> rows = diffSections(before, after);
  out += formatTables(diffTables(from, to, rows), formatOf(options.format));
  return rows.empty() ? REPORT_OK : REPORT_CHANGES;
}

std::string sectionName(const std::string& path, int32_t index) {
  return path + " section " + std::to_string(index);
}

int runDiff(const Options& options, std::string& out, const Failure& failure) {
  if (options.files.size() == 2) {
    if (options.from > 0 || options.to > 0) {
      return failure.fail("--from and --to compare two sections of one report, not two reports");
    }
    ReadRequest last;
    last.keepLast = 1;
    Report before;
    Report after;
    if (!readReport(options.files[0], last, before, failure) ||
        !readReport(options.files[1], last, after, failure)) {
      return REPORT_BAD_INPUT;
    }
    const auto a = static_cast<int32_t>(before.sections.size());
    const auto b = static_cast<int32_t>(after.sections.size());
    return showDiff(sectionName(options.files[0], a), sectionName(options.files[1], b),
                    *sectionRows(before, a), *sectionRows(after, b), options, out);
  }
  const std::string& path = options.files[0];
  ReadRequest request;
  if (options.from > 0) request.sections.push_back(options.from);
  if (options.to > 0) request.sections.push_back(options.to);
  // Without --to the later section is the last; without --from the one before the later.
  request.keepLast = options.to > 0 ? 0 : (options.from > 0 ? 1 : 2);
  if (options.to > 0 && options.from == 0) {
    if (options.to == 1) return failure.fail("section 1 is the first: no section comes before it");
    request.sections.push_back(options.to - 1);
  }
  Report report;
  if (!readReport(path, request, report, failure)) return REPORT_BAD_INPUT;
  const auto sections = static_cast<int32_t>(report.sections.size());
  const int32_t to = options.to > 0 ? options.to : sections;
  const int32_t from = options.from > 0 ? options.from : to - 1;
  if (options.from == 0 && options.to == 0 && sections < 2) {
    return failure.fail(path +
                        ": it has one section, nothing to compare it with; name two "
                        "reports to compare their last sections");
  }
  if (!haveSection(path, report, to, failure) || !haveSection(path, report, from, failure)) {
    return REPORT_BAD_INPUT;
  }
  return showDiff(sectionName(path, from), sectionName(path, to), *sectionRows(report, from),
                  *sectionRows(report, to), options, out);
}

// Whether `output` is the report itself under any name (a link, another path): the same file
// by device and file number. An output not there yet is not the report.
bool sameFile(const std::string& output, const std::string& report) {
  std::error_code error;
  const bool same = std::filesystem::equivalent(output, report, error);
  return !error && same;
}

int runHtml(const Options& options, std::string& out, const Failure& failure) {
  const std::string& path = options.files[0];
  if (sameFile(options.output, path)) {
    return failure.fail(options.output +
                        " is the report itself; vyr-report never writes a "
                        "report: name another page");
  }
  Report report;
  int32_t index = 0;
  if (!readChosenSection(options, true, report, index, failure)) return REPORT_BAD_INPUT;
  const SectionSummary summary = summaryOf(report, index);
  PageChanges changes;
  if (index > 1) {
    changes.present = true;
    changes.fromSection = index - 1;
    changes.rows = diffSections(*sectionRows(report, index - 1), *sectionRows(report, index));
  }
  const std::string page = reportPage(path, report, summary, changes, VYR_VERSION);

  std::FILE* file = std::fopen(options.output.c_str(), "wb");
  if (file == nullptr) return failure.fail(options.output + ": " + std::strerror(errno));
  const bool written = std::fwrite(page.data(), 1, page.size(), file) == page.size();
  if (std::fclose(file) != 0 || !written) {
    return failure.fail(options.output + ": could not be written in full");
  }
  out += options.output + ": section " + std::to_string(index) + " of " +
         std::to_string(report.sections.size()) + ", " +
         count(static_cast<size_t>(summary.section.units), "unit", "units") + ", " +
         std::to_string(summary.unanswered.size()) + " did not answer";
  if (changes.present) {
    out += ", " + count(changes.rows.size(), "change", "changes") + " since section " +
           std::to_string(changes.fromSection);
  }
  out += "\n";
  return REPORT_OK;
}

void addFormat(CLI::App* command, Options& options) {
  command->add_option("--format", options.format, "text (default), csv or json")
      ->type_name("FORMAT")
      ->check(CLI::IsMember({"text", "csv", "json"}));
}

}  // namespace

int runReport(int argc, const char* const* argv, std::string& out, std::string& err) {
  const Failure failure{err};
  Options options;
  CLI::App app{DESCRIPTION, "vyr-report"};
  app.footer(FOOTER);
  app.get_formatter()->column_width(26);
  app.set_version_flag("-V,--version", std::string("vyr-report ") + VYR_VERSION);
  app.require_subcommand(1, 1);
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);

  CLI::App* summary = app.add_subcommand("summary",
                                         "The report's sections, then what one section's\n"
                                         "units run (default: the last) and which did not answer");
  summary->add_option("report", options.files, "The report file")
      ->required()
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::Throw)
      ->type_name("NAME.model");
  summary->add_option("--section", options.section, "The section, from 1 (default: the last)")
      ->type_name("K")
      ->check(CLI::Range(1, INT32_MAX).description(""));
  addFormat(summary, options);

  CLI::App* diff = app.add_subcommand("diff",
                                      "What changed between two sections of a report\n"
                                      "(default: the last two), or between two reports");
  diff->add_option("reports", options.files, "One report, or two to compare")
      ->required()
      ->expected(1, 2)
      ->multi_option_policy(CLI::MultiOptionPolicy::Throw)
      ->type_name("NAME.model");
  diff->add_option("--from", options.from, "The earlier section (default: the one before --to)")
      ->type_name("K")
      ->check(CLI::Range(1, INT32_MAX).description(""));
  diff->add_option("--to", options.to, "The later section (default: the last)")
      ->type_name("L")
      ->check(CLI::Range(1, INT32_MAX).description(""));
  addFormat(diff, options);

  CLI::App* html = app.add_subcommand("html",
                                      "One self-contained page of a section: its versions,\n"
                                      "its silent units and the changes since the one before");
  html->add_option("report", options.files, "The report file")
      ->required()
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::Throw)
      ->type_name("NAME.model");
  html->add_option("-o,--output", options.output, "The page to write")
      ->required()
      ->type_name("PAGE.html");
  html->add_option("--section", options.section, "The section, from 1 (default: the last)")
      ->type_name("K")
      ->check(CLI::Range(1, INT32_MAX).description(""));

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    out += app.help();
    return REPORT_OK;
  } catch (const CLI::CallForVersion& version) {
    out += std::string(version.what()) + "\n";
    return REPORT_OK;
  } catch (const CLI::ParseError& error) {
    failure.fail(std::string(error.what()) + "\nTry 'vyr-report --help' for more.");
    return REPORT_BAD_INPUT;
  }
  if (summary->parsed()) return runSummary(options, out, failure);
  if (diff->parsed()) return runDiff(options, out, failure);
  return runHtml(options, out, failure);
}

}  // namespace vyr
