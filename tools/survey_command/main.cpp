// vyr-survey: one survey without the dialog, for scripts and schedulers. It runs the survey as the
// dialog would (the same list loading, start, polling and saves), shows its progress on stderr
// and can write the units as JSON lines. `vyr-survey --help` and its manual page say the rest.

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/headless_loop.h"
#include "core/commands.h"
#include "core/context.h"
#include "platform/counting_socket.h"
#include "platform/memory/memory_dialog.h"
#include "platform/memory/memory_list_view.h"
#include "platform/paced_socket.h"
#include "platform/posix/posix_clock.h"
#include "platform/posix/posix_files.h"
#include "platform/posix/posix_udp_socket.h"
#include "survey/lifecycle.h"
#include "survey/list_files.h"
#include "survey/report_files.h"
#include "survey_command/finished_units.h"
#include "survey_command/progress_line.h"
#include "survey_command/survey_options.h"
#include "survey_command/unit_json.h"

namespace {

using vyr::SurveyExit;

constexpr uint32_t TERMINAL_PERIOD_MS = 250;  // four redraws a second
constexpr uint32_t LOG_PERIOD_MS = 5000;      // a line every five seconds into a file or pipe

volatile sig_atomic_t stopSignal = 0;  // the signal that asked to stop, 0 for none

void requestStop(int number) { stopSignal = number; }

void installStopHandlers() {
  struct sigaction action {};
  action.sa_handler = requestStop;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no restart: the loop's wait must return to see the flag
  for (int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &action, nullptr);
  // JSON into a pipe that closes is an output that could not be written, not a silent death.
  std::signal(SIGPIPE, SIG_IGN);
}

const char* signalName(int number) {
  switch (number) {
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

void complain(const std::string& message) {
  std::fprintf(stderr, "vyr-survey: %s\n", message.c_str());
}

// The progress line on stderr: redrawn in place on a terminal, one line per period elsewhere.
class ProgressPrinter {
 public:
  explicit ProgressPrinter(bool terminal) : terminal_(terminal) {}

  uint32_t periodMs() const { return terminal_ ? TERMINAL_PERIOD_MS : LOG_PERIOD_MS; }

  void show(const vyr::ProgressCounts& counts) {
    std::string text = meter_.line(counts);
    if (!terminal_) {
      std::fprintf(stderr, "%s\n", text.c_str());
      return;
    }
    // A line wider than the terminal would wrap, and the carriage return would then redraw
    // only its last part.
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 &&
        text.size() >= size.ws_col) {
      text.resize(size.ws_col - 1u);
    }
    std::fprintf(stderr, "\r%s\x1b[K", text.c_str());
    shown_ = true;
  }

  // The last state, left standing on a terminal.
  void finish(const vyr::ProgressCounts& counts) {
    if (!terminal_) return;
    show(counts);
    if (shown_) std::fputc('\n', stderr);
  }

 private:
  bool terminal_;
  bool shown_ = false;
  vyr::ProgressMeter meter_;
};

// Where the JSON lines go: standard output or a file.
class JsonOutput {
 public:
  JsonOutput() = default;
  JsonOutput(const JsonOutput&) = delete;
  JsonOutput& operator=(const JsonOutput&) = delete;
  ~JsonOutput() {
    if (file_ != nullptr && file_ != stdout) std::fclose(file_);
  }

  bool open(const std::string& where) {
    file_ = where == "-" ? stdout : std::fopen(where.c_str(), "w");
    return file_ != nullptr;
  }
  bool active() const { return file_ != nullptr; }

  void write(const std::string& line) {
    std::fputs(line.c_str(), file_);
    std::fputc('\n', file_);
  }

  // Flushes and closes; false when any line did not reach the file.
  bool close() {
    bool whole = std::fflush(file_) == 0 && std::ferror(file_) == 0;
    if (file_ != stdout) whole = std::fclose(file_) == 0 && whole;
    file_ = nullptr;
    return whole;
  }

 private:
  FILE* file_ = nullptr;
};

bool isSerialRow(const std::string& row) {
  return !row.empty() && std::strchr(" \t\n\v\f\r", row[0]) != nullptr;
}

// One run of the command: its options, the platform it works on, and what it learns.
struct Run {
  explicit Run(vyr::SurveyOptions chosen) : options(std::move(chosen)) {}

  vyr::SurveyOptions options;
  std::string where;  // the list's folder as it prefixes the file names in messages
  std::unique_ptr<vyr::FileSystem> files;
  std::unique_ptr<vyr::PosixUdpSocket> socket;
  JsonOutput json;
  vyr::MemoryDialog dialog;
  vyr::MemoryListView rows;
  vyr::FinishedUnits list{rows};
  vyr::PosixClock clock;
  std::unique_ptr<vyr::PacedSocket> paced;
  std::unique_ptr<vyr::CountingSocket> counting;
  std::unique_ptr<vyr::Context> context;

  int32_t units = 0;
  int32_t complete = 0;
  uint32_t pressed = 0;
  std::vector<vyr::DeviceRecord> finalTable;  // the units as the survey left them, for the JSON

  std::string name(const char* ending) const {
    char sibling[400];
    vyr::makeSiblingName(options.listName.c_str(), ending, sibling, sizeof sibling);
    return where + sibling;
  }

  vyr::ProgressCounts counts() {
    if (vyr::surveyRunning(*context)) complete = list.count(context->survey);
    vyr::ProgressCounts now;
    now.complete = complete;
    now.total = units;
    now.sent = counting->sent;
    now.received = counting->received;
    now.elapsedMs = clock.tick() - pressed;
    return now;
  }
};

// The folder and the socket. Returns the exit status when one cannot be had.
std::optional<SurveyExit> openPlatform(Run& run) {
  const vyr::SurveyOptions& options = run.options;
  run.where = options.directory == "." ? "" : options.directory + "/";
  run.files = vyr::openPosixFileSystem(options.directory.c_str());
  if (!run.files) {
    complain("cannot open the folder " + options.directory + ": " + std::strerror(errno));
    return SurveyExit::BAD_ARGUMENTS;
  }
  run.socket = vyr::PosixUdpSocket::open();
  if (!run.socket) {
    complain(std::string("cannot open a UDP socket: ") + std::strerror(errno));
    return SurveyExit::CANNOT_RUN;
  }
  // Sends are paced so that a burst never outruns the reading of the answers (and, with --rate,
  // never goes faster than asked); the counts are of what reached the system.
  const vyr::SendPacing pacing{vyr::windowForReceiveBuffer(run.socket->receiveBufferBytes()),
                               options.rate};
  run.paced = std::make_unique<vyr::PacedSocket>(*run.socket, run.clock, pacing);
  run.counting = std::make_unique<vyr::CountingSocket>(*run.paced);
  run.context =
      std::make_unique<vyr::Context>(*run.files, run.dialog, run.list, run.clock, *run.counting);
  return std::nullopt;
}

// Chooses the list as the operator would in the selector. Returns the exit status when it cannot
// be surveyed.
std::optional<SurveyExit> chooseList(Run& run) {
  const std::string& listName = run.options.listName;
  const std::string shown = run.where + listName;
  run.dialog.serverField = run.options.server;
  vyr::fillListSelector(*run.context);
  std::string problem;
  if (!run.dialog.selectItem(listName)) {
    problem = "no list file " + shown;
  } else if (!run.files->openForReading(listName.c_str())) {
    problem = "cannot read the list file " + shown + ": not a regular file, or not readable";
  } else {
    vyr::chooseListFile(*run.context);
    run.units = run.list.rowCount();
    int32_t bySerial = 0;
    for (const std::string& row : run.rows.rows()) bySerial += isSerialRow(row) ? 1 : 0;
    if (run.units <= 0) {
      problem = shown + " names no unit";
    } else if (bySerial > 0 && run.options.server.empty()) {
      problem = shown + " names " + std::to_string(bySerial) +
                " units by ID/serial, which only the IP server can locate: give --server";
    }
  }
  if (problem.empty()) return std::nullopt;
  complain(problem);
  return SurveyExit::BAD_ARGUMENTS;
}

// The JSON output, opened once the list is known to be good and before anything is surveyed, so
// that a path that cannot be written stops the command before it starts.
std::optional<SurveyExit> openJson(Run& run) {
  const std::string& where = run.options.json;
  if (where.empty() || run.json.open(where)) return std::nullopt;
  complain("cannot write the JSON output " + where + ": " + std::strerror(errno));
  return SurveyExit::NOT_SAVED;
}

// How the survey ended.
struct Ending {
  bool done = false;   // complete
  int stoppedBy = 0;   // the signal that stopped it, or 0
  vyr::ProgressCounts last;
};

// Runs the survey to its end, with the progress line unless quiet. Returns nothing when it could
// not start.
std::optional<Ending> survey(Run& run) {
  // The units as the survey leaves them, taken as it ends: a survey that completes ends inside
  // the socket drain, where the table is released right after its save.
  run.context->tableReleasing = [&run](const vyr::SurveyState& state) {
    run.complete = run.list.count(state);
    if (run.json.active()) {
      run.finalTable.assign(state.deviceTable.get(), state.deviceTable.get() + state.deviceCount);
    }
  };
  installStopHandlers();
  run.list.restart();
  run.pressed = run.clock.tick();
  // A resumed survey that was already complete finishes inside the press, which still succeeds.
  const vyr::StartMode mode = run.options.fresh ? vyr::StartMode::FRESH : vyr::StartMode::RESUME;
  if (!vyr::pressStart(*run.context, mode)) return std::nullopt;

  ProgressPrinter printer(::isatty(STDERR_FILENO) == 1);
  const bool showing = !run.options.quiet;
  if (showing) printer.show(run.counts());
  const vyr::PeriodicCall progress{printer.periodMs(), [&] { printer.show(run.counts()); }};
  const int timeoutMs = run.options.timeoutSeconds > 0 ? run.options.timeoutSeconds * 1000 : -1;
  Ending ending;
  ending.done = vyr::runUntilDone(*run.context, *run.socket, timeoutMs, &stopSignal,
                                  run.paced.get(), showing ? &progress : nullptr);
  ending.stoppedBy = ending.done ? 0 : stopSignal;
  if (!ending.done && ending.stoppedBy != 0) {
    vyr::closeSurvey(*run.context);
  } else if (!ending.done) {
    vyr::abortSurvey(*run.context);
  }
  ending.last = run.counts();
  if (showing) printer.finish(ending.last);
  return ending;
}

// Writes the JSON lines and the summary line; returns the exit status.
SurveyExit report(Run& run, const Ending& ending) {
  const bool saved = run.context->survey.lastSaveSaved;
  SurveyExit exit = ending.done             ? SurveyExit::DONE
                    : ending.stoppedBy != 0 ? SurveyExit::STOPPED
                                            : SurveyExit::TIMED_OUT;
  if (!saved) exit = SurveyExit::NOT_SAVED;

  vyr::SurveySummary summary;
  summary.list = run.where + run.options.listName;
  summary.report = run.name(vyr::REPORT_ENDING);
  summary.progress = run.name(vyr::PROGRESS_ENDING);
  summary.outcome = ending.done ? "complete" : ending.stoppedBy != 0 ? "stopped" : "timed out";
  if (ending.stoppedBy != 0) summary.signal = signalName(ending.stoppedBy);
  summary.units = run.units;
  summary.complete = ending.last.complete;
  summary.sent = ending.last.sent;
  summary.received = ending.last.received;
  summary.elapsedMs = ending.last.elapsedMs;
  summary.saved = saved;
  summary.exitStatus = vyr::exitStatus(exit);
  if (run.json.active()) {
    for (size_t i = 0; i < run.finalTable.size(); ++i) {
      run.json.write(vyr::unitJsonLine(run.finalTable[i], static_cast<int32_t>(i)));
    }
    run.json.write(vyr::summaryJsonLine(summary));
    if (!run.json.close()) {
      std::fprintf(stderr, "vyr-survey: could not write the JSON output %s in full: %s\n",
                   run.options.json.c_str(), std::strerror(errno));
      exit = SurveyExit::NOT_SAVED;
    }
  }

  // One line says how it ended, with the figures; "saved" only when both files were written.
  char figures[200];
  std::snprintf(figures, sizeof figures,
                "after %.1f s: %d of %d units finished, %llu datagrams sent, %llu received",
                summary.elapsedMs / 1000.0, summary.complete, summary.units,
                static_cast<unsigned long long>(summary.sent),
                static_cast<unsigned long long>(summary.received));
  std::string how = summary.outcome;
  if (summary.signal != nullptr) how += std::string(" by ") + summary.signal;
  const std::string files = summary.report + " and " + summary.progress;
  if (!saved) {
    std::fprintf(stderr, "vyr-survey: %s %s; could not write %s in full\n", how.c_str(), figures,
                 files.c_str());
  } else if (!run.options.quiet) {
    std::fprintf(stderr, "vyr-survey: %s %s; saved %s\n", how.c_str(), figures, files.c_str());
  }
  return exit;
}

}  // namespace

int main(int argc, char** argv) {
  vyr::SurveyOptions options;
  if (auto exit = vyr::readSurveyOptions(argc, argv, options, std::cout, std::cerr)) {
    return vyr::exitStatus(*exit);
  }
  Run run(std::move(options));
  if (auto exit = openPlatform(run)) return vyr::exitStatus(*exit);
  if (auto exit = chooseList(run)) return vyr::exitStatus(*exit);
  if (auto exit = openJson(run)) return vyr::exitStatus(*exit);
  const std::optional<Ending> ending = survey(run);
  if (!ending) {
    complain("not enough memory for " + std::to_string(run.units) + " units");
    return vyr::exitStatus(SurveyExit::CANNOT_RUN);
  }
  return vyr::exitStatus(report(run, *ending));
}
