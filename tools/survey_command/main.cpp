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
#include <string>
#include <vector>

#include "app/headless_loop.h"
#include "platform/counting_socket.h"
#include "platform/memory/memory_dialog.h"
#include "platform/memory/memory_list_view.h"
#include "platform/paced_socket.h"
#include "platform/posix/posix_clock.h"
#include "platform/posix/posix_files.h"
#include "platform/posix/posix_udp_socket.h"
#include "core/commands.h"
#include "core/context.h"
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

int fail(SurveyExit exit, const std::string& message) {
  std::fprintf(stderr, "vyr-survey: %s\n", message.c_str());
  return vyr::exitStatus(exit);
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

// Where the JSON lines go: standard output or a file opened before the survey starts, so that a
// path that cannot be written stops the command before anything is surveyed.
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

}  // namespace

int main(int argc, char** argv) {
  vyr::SurveyOptions options;
  if (auto exit = vyr::readSurveyOptions(argc, argv, options, std::cout, std::cerr)) {
    return vyr::exitStatus(*exit);
  }
  const std::string& listName = options.listName;
  const std::string where = options.directory == "." ? "" : options.directory + "/";

  std::unique_ptr<vyr::FileSystem> files = vyr::openPosixFileSystem(options.directory.c_str());
  if (!files) {
    return fail(SurveyExit::BAD_ARGUMENTS,
                "cannot open the folder " + options.directory + ": " + std::strerror(errno));
  }
  std::unique_ptr<vyr::PosixUdpSocket> socket = vyr::PosixUdpSocket::open();
  if (!socket) {
    return fail(SurveyExit::CANNOT_RUN,
                std::string("cannot open a UDP socket: ") + std::strerror(errno));
  }
  JsonOutput json;
  if (!options.json.empty() && !json.open(options.json)) {
    return fail(SurveyExit::NOT_SAVED,
                "cannot write the JSON output " + options.json + ": " + std::strerror(errno));
  }

  vyr::MemoryDialog dialog;
  vyr::MemoryListView rows;
  vyr::FinishedUnits list(rows);
  vyr::PosixClock clock;
  // Sends are paced so that a burst never outruns the reading of the answers (and, with --rate,
  // never goes faster than asked); the counts are of what reached the system.
  vyr::PacedSocket paced(*socket, clock,
                         {vyr::windowForReceiveBuffer(socket->receiveBufferBytes()), options.rate});
  vyr::CountingSocket counting(paced);
  vyr::Context context(*files, dialog, list, clock, counting);

  // The list is chosen as the operator would choose it in the selector.
  dialog.serverField = options.server;
  vyr::fillListSelector(context);
  if (!dialog.selectItem(listName)) {
    return fail(SurveyExit::BAD_ARGUMENTS, "no list file " + where + listName);
  }
  if (!files->openForReading(listName.c_str())) {
    return fail(SurveyExit::BAD_ARGUMENTS, "cannot read the list file " + where + listName +
                                               ": not a regular file, or not readable");
  }
  vyr::chooseListFile(context);
  const int32_t units = list.rowCount();
  if (units <= 0) return fail(SurveyExit::BAD_ARGUMENTS, where + listName + " names no unit");
  if (options.server.empty()) {
    int32_t bySerial = 0;
    for (const std::string& row : rows.rows()) bySerial += isSerialRow(row) ? 1 : 0;
    if (bySerial > 0) {
      return fail(SurveyExit::BAD_ARGUMENTS,
                  where + listName + " names " + std::to_string(bySerial) +
                      " units by ID/serial, which only the IP server can locate: give --server");
    }
  }
  char reportName[400];
  char progressName[400];
  vyr::makeSiblingName(listName.c_str(), vyr::REPORT_ENDING, reportName, sizeof reportName);
  vyr::makeSiblingName(listName.c_str(), vyr::PROGRESS_ENDING, progressName, sizeof progressName);
  const std::string savedFiles = where + reportName + " and " + where + progressName;

  // The units as the survey leaves them, taken as it ends: a survey that completes ends inside
  // the socket drain, where the table is released right after its save.
  int32_t complete = 0;
  uint32_t pressed = 0;
  std::vector<vyr::DeviceRecord> finalTable;
  context.tableReleasing = [&](const vyr::SurveyState& survey) {
    complete = list.count(survey);
    if (json.active()) {
      finalTable.assign(survey.deviceTable.get(), survey.deviceTable.get() + survey.deviceCount);
    }
  };
  auto counts = [&] {
    if (vyr::surveyRunning(context)) complete = list.count(context.survey);
    vyr::ProgressCounts now;
    now.complete = complete;
    now.total = units;
    now.sent = counting.sent;
    now.received = counting.received;
    now.elapsedMs = clock.tick() - pressed;
    return now;
  };

  installStopHandlers();
  list.restart();
  pressed = clock.tick();
  // A resumed survey that was already complete finishes inside the press, which still succeeds.
  if (!vyr::pressStart(context, options.fresh ? vyr::StartMode::FRESH : vyr::StartMode::RESUME)) {
    return fail(SurveyExit::CANNOT_RUN, "not enough memory for " + std::to_string(units) + " units");
  }

  ProgressPrinter printer(::isatty(STDERR_FILENO) == 1);
  const bool showing = !options.quiet;
  if (showing) printer.show(counts());
  const vyr::PeriodicCall progress{printer.periodMs(), [&] { printer.show(counts()); }};
  const int timeoutMs = options.timeoutSeconds > 0 ? options.timeoutSeconds * 1000 : -1;
  const bool done =
      vyr::runUntilDone(context, *socket, timeoutMs, &stopSignal, &paced,
                        showing ? &progress : nullptr);
  const int stoppedBy = stopSignal;
  if (!done) {
    if (stoppedBy != 0) {
      vyr::closeSurvey(context);
    } else {
      vyr::abortSurvey(context);
    }
  }
  const vyr::ProgressCounts last = counts();
  if (showing) printer.finish(last);

  const bool saved = context.survey.lastSaveSaved;
  SurveyExit exit = done               ? SurveyExit::DONE
                    : stoppedBy != 0 ? SurveyExit::STOPPED
                                     : SurveyExit::TIMED_OUT;
  if (!saved) exit = SurveyExit::NOT_SAVED;

  vyr::SurveySummary summary;
  summary.list = where + listName;
  summary.report = where + reportName;
  summary.progress = where + progressName;
  summary.outcome = done ? "complete" : stoppedBy != 0 ? "stopped" : "timed out";
  if (!done && stoppedBy != 0) summary.signal = signalName(stoppedBy);
  summary.units = units;
  summary.complete = last.complete;
  summary.sent = last.sent;
  summary.received = last.received;
  summary.elapsedMs = last.elapsedMs;
  summary.saved = saved;
  summary.exitStatus = vyr::exitStatus(exit);
  if (json.active()) {
    for (size_t i = 0; i < finalTable.size(); ++i) {
      json.write(vyr::unitJsonLine(finalTable[i], static_cast<int32_t>(i)));
    }
    json.write(vyr::summaryJsonLine(summary));
    if (!json.close()) {
      std::fprintf(stderr, "vyr-survey: could not write the JSON output %s in full: %s\n",
                   options.json.c_str(), std::strerror(errno));
      exit = SurveyExit::NOT_SAVED;
    }
  }

  // One line says how it ended, with the figures; "saved" only when both files were written.
  char figures[200];
  std::snprintf(figures, sizeof figures,
                "after %.1f s: %d of %d units finished, %llu datagrams sent, %llu received",
                last.elapsedMs / 1000.0, last.complete, units,
                static_cast<unsigned long long>(last.sent),
                static_cast<unsigned long long>(last.received));
  std::string how = summary.outcome;
  if (summary.signal != nullptr) how += std::string(" by ") + summary.signal;
  if (!saved) {
    std::fprintf(stderr, "vyr-survey: %s %s; could not write %s in full\n", how.c_str(), figures,
                 savedFiles.c_str());
  } else if (!options.quiet) {
    std::fprintf(stderr, "vyr-survey: %s %s; saved %s\n", how.c_str(), figures,
                 savedFiles.c_str());
  }
  return vyr::exitStatus(exit);
}
