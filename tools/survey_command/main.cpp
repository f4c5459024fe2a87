// vyr-survey: one survey without the dialog, for scripts and schedulers. It runs the survey as the
// dialog would (the same list loading, start, polling and saves), shows its progress on stderr
// and can write the units as JSON lines. `vyr-survey --help` and its manual page say the rest.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/context.h"
#include "core/survey_driver.h"
#include "platform/console.h"
#include "platform/counting_socket.h"
#include "platform/memory/memory_dialog.h"
#include "platform/output_file.h"
#include "platform/paced_socket.h"
#include "survey_command/finished_units.h"
#include "survey_command/list_file_rows.h"
#include "survey_command/progress_line.h"
#include "survey_command/save_words.h"
#include "survey_command/stderr_output.h"
#include "survey_command/survey_options.h"
#include "survey_command/system.h"
#include "survey_command/unfinished_units.h"
#include "survey_command/unit_json.h"

namespace {

using vyr::SurveyExit;

constexpr uint32_t TERMINAL_PERIOD_MS = 250;  // four redraws a second
constexpr uint32_t LOG_PERIOD_MS = 5000;      // a line every five seconds into a file or pipe

vyr::StderrOutput errorOutput;

void complain(const std::string& message) { errorOutput.message("vyr-survey: " + message + "\n"); }

// The progress line on stderr: redrawn in place on a terminal, one line per period elsewhere.
class ProgressPrinter {
 public:
  explicit ProgressPrinter(bool terminal) : terminal_(terminal) {}

  uint32_t periodMs() const { return terminal_ ? TERMINAL_PERIOD_MS : LOG_PERIOD_MS; }

  void show(const vyr::ProgressCounts& counts) {
    std::string text = meter_.line(counts);
    if (!terminal_) {
      vyr::StderrOutput::progress(text + "\n");
      return;
    }
    // A line wider than the terminal would wrap, and the carriage return would then redraw
    // only its last part.
    const int columns = vyr::standardErrorColumns();
    if (columns > 1 && text.size() >= static_cast<size_t>(columns)) {
      text.resize(static_cast<size_t>(columns) - 1u);
    }
    shown_ = vyr::StderrOutput::progress("\r" + text + "\x1b[K") || shown_;
  }

  // The last state, left standing on a terminal.
  void finish(const vyr::ProgressCounts& counts) {
    if (!terminal_) return;
    show(counts);
    if (shown_) errorOutput.message("\n");
  }

 private:
  bool terminal_;
  bool shown_ = false;
  vyr::ProgressMeter meter_;
};

// Where the JSON lines go: standard output or a file. A file is opened without emptying it, so
// that it can be told apart from the survey's own files first, and emptied only once the survey
// has started.
class JsonOutput {
 public:
  JsonOutput() = default;
  JsonOutput(const JsonOutput&) = delete;
  JsonOutput& operator=(const JsonOutput&) = delete;
  ~JsonOutput() {
    if (file_.stream != nullptr && !file_.standardOutput) std::fclose(file_.stream);
    vyr::closeOutputFile(file_);
  }

  // Opens `where` ("-": standard output) and learns which file it is. False with the system's
  // error set.
  bool open(const std::string& where) {
    where_ = where;
    opened_ = vyr::openOutputFile(where, file_);
    return opened_;
  }
  bool opened() const { return opened_; }
  const vyr::FileIdentity& identity() const { return file_.identity; }

  // Empties the file it was before, and makes it ready for the lines. False with the system's
  // error set.
  bool begin() { return vyr::beginOutputFile(file_); }
  bool active() const { return file_.stream != nullptr; }

  // Gives the output up before a line was written: a file it created goes again.
  void discard() {
    if (!opened_) return;
    vyr::closeOutputFile(file_);
    if (file_.created) vyr::removeFile(where_);
    file_ = {};
    opened_ = false;
  }

  void write(const std::string& line) {
    std::fputs(line.c_str(), file_.stream);
    std::fputc('\n', file_.stream);
  }

  // Hands what was written on to the file, so that a reader sees each line as it comes. A failure
  // stays on the stream for close to tell.
  void flush() { std::fflush(file_.stream); }

  // Flushes and closes; false when any line did not reach the file.
  bool close() {
    bool whole = std::fflush(file_.stream) == 0 && std::ferror(file_.stream) == 0;
    if (!file_.standardOutput) whole = std::fclose(file_.stream) == 0 && whole;
    file_ = {};
    opened_ = false;
    return whole;
  }

 private:
  std::string where_;
  bool opened_ = false;
  vyr::OutputFile file_;
};

// One run of the command: its options, the platform it works on, and what it learns.
struct Run {
  explicit Run(vyr::SurveyOptions chosen) : options(std::move(chosen)) {}

  vyr::SurveyOptions options;
  std::string where;  // the list's folder as it prefixes the file names in messages
  std::unique_ptr<vyr::FileSystem> files;
  std::unique_ptr<vyr::SystemSocket> socket;
  JsonOutput json;
  vyr::MemoryDialog dialog;
  vyr::ListFileRows rows;
  vyr::FinishedUnits list{rows};
  vyr::SystemClock clock;
  std::unique_ptr<vyr::PacedSocket> paced;
  std::unique_ptr<vyr::CountingSocket> counting;
  std::unique_ptr<vyr::Context> context;

  int32_t units = 0;
  int32_t complete = 0;
  uint32_t pressed = 0;
  // The units as the survey left them, for the JSON and the names of the unfinished: the survey's
  // own table, taken as it goes.
  std::unique_ptr<vyr::DeviceRecord[]> finalTable;
  int32_t finalCount = 0;
  bool started = false;        // the survey was started
  bool streaming = false;      // the JSON lines of finished units are written as they finish
  bool unflushed = false;      // lines were written since the last flush
  std::vector<bool> streamed;  // per row: its line was written while the survey ran
  bool reporting = false;      // the JSON's last lines are being written

  // Writes the line of a unit that has just finished; one that memory keeps from being written now
  // is written with the unfinished ones at the end.
  void streamUnit(int32_t index, const vyr::DeviceRecord& record) {
    if (!streaming || static_cast<size_t>(index) >= streamed.size()) return;
    try {
      json.write(vyr::unitJsonLine(record, index));
      streamed[static_cast<size_t>(index)] = true;
      unflushed = true;
    } catch (const std::bad_alloc&) {
      // Left for the end, where the survey's memory is free again.
    }
  }

  // Passes on the units finished since the last look: their lines, flushed.
  void passOnFinished() {
    if (vyr::surveyRunning(*context)) complete = list.count(context->survey);
    if (!unflushed) return;
    json.flush();
    unflushed = false;
  }

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
  run.files = vyr::openSystemFileSystem(options.directory);
  if (!run.files) {
    complain("cannot open the folder " + options.directory + ": " + vyr::lastSystemError());
    return SurveyExit::BAD_ARGUMENTS;
  }
  if (vyr::startNetworking()) run.socket = vyr::SystemSocket::open();
  if (!run.socket) {
    complain("cannot open a UDP socket: " + vyr::lastSystemError());
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
  // A survey whose files cannot be written would survey for nothing: refused before it sends.
  run.context->refuseUnsavableStart = true;
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
    for (int32_t i = 0; i < run.units; ++i) {
      const std::string row(run.rows.line(i));
      bySerial += vyr::isSerialRow(row.c_str()) ? 1 : 0;
    }
    if (run.units <= 0) {
      problem = shown + " names no unit";
    } else if (bySerial > 0 && run.options.server.empty()) {
      problem = shown + " names " + std::to_string(bySerial) +
                " units by ID/serial, which only the IP server can locate: give --server";
    }
  }
  if (problem.empty()) {
    const int32_t cut = run.context->listCutLines;
    if (cut > 0) {
      complain("warning: " + shown + " has " + std::to_string(cut) +
               (cut == 1 ? " line" : " lines") +
               " longer than 79 bytes (or ended by a carriage return alone); each 79-byte part "
               "of such a line is read as a line of its own");
    }
    return std::nullopt;
  }
  complain(problem);
  return SurveyExit::BAD_ARGUMENTS;
}

// What the JSON output is of the survey's own files, where it is one of them ("" when none). The
// files are compared, not their names: a link, "./" or another spelling of the folder names the
// same file. A report or progress file that was not there yet is the JSON output's new file when
// the output is to be written under that name, so it is found the same way.
std::string jsonClash(const Run& run) {
  const vyr::FileIdentity& json = run.json.identity();
  if (!json.known) return "";
  const std::string progress = run.name(vyr::PROGRESS_ENDING);
  const struct {
    const char* what;
    std::string name;
  } ours[] = {{"the list file", run.where + run.options.listName},
              {"the report", run.name(vyr::REPORT_ENDING)},
              {"the progress file", progress},
              {"the progress file's temporary file", progress + ".tmp"}};
  for (const auto& file : ours) {
    if (vyr::identifyFile(file.name).sameAs(json)) {
      return std::string(file.what) + " " + file.name;
    }
  }
  return "";
}

// The JSON output, opened once the list is known to be good and before anything is surveyed, so
// that a path that cannot be written, or that is one of the survey's own files, stops the command
// before it starts.
std::optional<SurveyExit> openJson(Run& run) {
  const std::string& where = run.options.json;
  if (where.empty()) return std::nullopt;
  if (!run.json.open(where)) {
    complain("cannot write the JSON output " + where + ": " + vyr::lastSystemError());
    return SurveyExit::NOT_SAVED;
  }
  const std::string clash = jsonClash(run);
  if (clash.empty()) return std::nullopt;
  run.json.discard();
  complain("the JSON output " + (where == "-" ? std::string("(standard output)") : where) +
           " is " + clash + ": give --json another file");
  return SurveyExit::BAD_ARGUMENTS;
}

// How the survey ended.
struct Ending {
  bool done = false;         // complete
  int stoppedBy = 0;         // the signal that stopped it, or 0
  bool outOfMemory = false;  // ended for want of memory
  vyr::ProgressCounts last;
};

// Runs the survey to its end, with the progress line unless quiet. Returns nothing when it could
// not start (see survey.startRefusal).
std::optional<Ending> survey(Run& run) {
  // The units as the survey leaves them, taken as it ends: a survey that completes ends inside
  // the socket drain, where the table is released right after its save. The table itself is
  // taken, not copied: a copy would double the largest allocation of the run.
  run.context->tableReleasing = [&run](vyr::SurveyState& state) {
    run.complete = run.list.count(state);
    run.finalTable = std::move(state.deviceTable);
    run.finalCount = state.deviceCount;
  };
  run.list.onFinished(
      [&run](int32_t index, const vyr::DeviceRecord& record) { run.streamUnit(index, record); });
  vyr::watchStopRequests();
  const volatile sig_atomic_t* stop = vyr::stopRequestFlag();
  run.list.restart();
  run.pressed = run.clock.tick();
  // A resumed survey that was already complete finishes inside the press, which still succeeds.
  const vyr::StartMode mode = run.options.fresh ? vyr::StartMode::FRESH : vyr::StartMode::RESUME;
  if (!vyr::pressStart(*run.context, mode)) return std::nullopt;
  run.started = true;
  if (run.json.opened()) {
    if (run.json.begin()) {
      // A survey that ended inside the press has its lines written at the end.
      run.streaming = true;
      run.streamed.assign(static_cast<size_t>(run.units), false);
    } else {
      complain("cannot write the JSON output " + run.options.json + ": " + vyr::lastSystemError());
    }
  }

  ProgressPrinter printer(vyr::standardErrorIsTerminal());
  const bool showing = !run.options.quiet;
  // The units a resumed survey starts with finished come first.
  if (showing) printer.show(run.counts());
  run.passOnFinished();
  vyr::PeriodicCall calls;
  if (showing) {
    calls.periodMs = printer.periodMs();
    calls.call = [&] { printer.show(run.counts()); };
  }
  calls.beforeWait = [&run] {
    if (run.streaming) run.passOnFinished();
  };
  const int timeoutMs = run.options.timeoutSeconds > 0 ? run.options.timeoutSeconds * 1000 : -1;
  Ending ending;
  ending.done = vyr::runSurveyLoop(*run.context, *run.socket, timeoutMs, stop, &calls);
  ending.stoppedBy = ending.done ? 0 : *stop;
  if (!ending.done && ending.stoppedBy != 0) {
    vyr::endDriving(*run.context);
  } else if (!ending.done) {
    vyr::abortSurvey(*run.context);
  }
  ending.last = run.counts();
  if (showing) printer.finish(ending.last);
  return ending;
}

// Why the survey did not start, on stderr; returns the exit status.
SurveyExit refused(Run& run) {
  const vyr::SurveyState& state = run.context->survey;
  const std::string shown = run.where + run.options.listName;
  const std::string problem(state.startProblem, strnlen(state.startProblem, sizeof state.startProblem));
  run.json.discard();
  switch (state.startRefusal) {
    case vyr::StartRefusal::LIST_BUSY:
      complain("another survey of " + shown + " is running" +
               (problem.empty() ? std::string() : " (" + problem + ")") + ": it holds " +
               run.name(vyr::REPORT_ENDING) + "; nothing was surveyed");
      return SurveyExit::LIST_BUSY;
    case vyr::StartRefusal::CANNOT_SAVE:
      complain("cannot save a survey of " + shown + ": " + run.where + problem +
               "; nothing was surveyed");
      return SurveyExit::NOT_SAVED;
    case vyr::StartRefusal::NO_ROWS:
      complain(shown + " names no unit");
      return SurveyExit::BAD_ARGUMENTS;
    case vyr::StartRefusal::NO_MEMORY:
    case vyr::StartRefusal::NONE:
      break;
  }
  complain("not enough memory for " + std::to_string(run.units) + " units");
  return SurveyExit::CANNOT_RUN;
}

// The JSON's last lines: those of the units not written as they finished (the unfinished, and
// those that finished as the survey ended) in list order, then the summary. False when the
// output could not be written in full.
bool writeLastJsonLines(Run& run, const vyr::SurveySummary& summary) {
  // After a failure while the lines were being written, what was written stays as it is. An
  // output that memory kept from opening at the start may open now that the survey is over.
  if (!run.json.opened() || run.reporting || !(run.streaming || run.json.begin())) return true;
  run.reporting = true;
  for (int32_t i = 0; i < run.finalCount; ++i) {
    const auto row = static_cast<size_t>(i);
    if (row < run.streamed.size() && run.streamed[row]) continue;
    run.json.write(vyr::unitJsonLine(run.finalTable[i], i));
  }
  run.json.write(vyr::summaryJsonLine(summary));
  if (run.json.close()) return true;
  complain("could not write the JSON output " + run.options.json + " in full: " +
           std::strerror(errno));
  return false;
}

// Names the units that did not finish, on stderr.
void tellUnfinished(const Run& run, const vyr::SurveySummary& summary) {
  // The table is the survey's while it still runs (memory ran out before it was saved).
  const vyr::SurveyState& state = run.context->survey;
  const vyr::DeviceRecord* table = run.finalTable ? run.finalTable.get() : state.deviceTable.get();
  const int32_t count = run.finalTable ? run.finalCount : state.deviceCount;
  const std::string line = vyr::unfinishedUnitsLine(table, count, summary.units - summary.complete);
  if (!line.empty()) complain(line);
}

// Writes the JSON lines and the summary line; returns the exit status.
SurveyExit report(Run& run, const Ending& ending) {
  const vyr::SurveyState& state = run.context->survey;
  const bool saved = state.lastSaveSaved;
  SurveyExit exit = ending.done             ? SurveyExit::DONE
                    : ending.stoppedBy != 0 ? SurveyExit::STOPPED
                                            : SurveyExit::TIMED_OUT;
  if (!saved) exit = SurveyExit::NOT_SAVED;
  if (ending.outOfMemory) exit = SurveyExit::CANNOT_RUN;

  vyr::SurveySummary summary;
  summary.list = run.where + run.options.listName;
  summary.report = run.name(vyr::REPORT_ENDING);
  summary.progress = run.name(vyr::PROGRESS_ENDING);
  summary.outcome = ending.outOfMemory ? "out of memory"
                    : ending.done      ? "complete"
                    : ending.stoppedBy != 0 ? "stopped"
                                            : "timed out";
  if (ending.stoppedBy != 0) summary.signal = vyr::stopRequestName(ending.stoppedBy);
  summary.units = run.units;
  summary.complete = ending.last.complete;
  summary.sent = ending.last.sent;
  summary.received = ending.last.received;
  summary.elapsedMs = ending.last.elapsedMs;
  summary.saved = saved;
  summary.exitStatus = vyr::exitStatus(exit);
  if (!writeLastJsonLines(run, summary) && exit != SurveyExit::CANNOT_RUN) {
    exit = SurveyExit::NOT_SAVED;
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
  if (!saved || ending.outOfMemory || !run.options.quiet) {
    if (!ending.done) tellUnfinished(run, summary);
    complain(how + " " + figures + "; " +
             vyr::saveWords(saved, state.lastSave, summary.report, summary.progress));
  }
  return exit;
}

// The whole run after the command line.
SurveyExit runCommand(Run& run) {
  if (auto exit = openPlatform(run)) return *exit;
  if (auto exit = chooseList(run)) return *exit;
  if (auto exit = openJson(run)) return *exit;
  const std::optional<Ending> ending = survey(run);
  if (!ending) return refused(run);
  return report(run, *ending);
}

// Memory ran out somewhere in the run: a running survey is saved first, and the end is told as
// any other end is, as far as memory lets.
SurveyExit outOfMemory(Run& run) {
  if (run.started && vyr::surveyRunning(*run.context)) {
    try {
      vyr::endDriving(*run.context);
    } catch (const std::bad_alloc&) {
      // The save is as far as it got; what it wrote is told below.
    }
  }
  try {
    complain("not enough memory to go on");
    if (!run.started) return SurveyExit::CANNOT_RUN;
    Ending ending;
    ending.outOfMemory = true;
    ending.last = run.counts();
    return report(run, ending);
  } catch (const std::bad_alloc&) {
    // What is lost here is the telling, not the survey: its save came first.
    return SurveyExit::CANNOT_RUN;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments = vyr::commandArguments(argc, argv);
  std::vector<const char*> words;
  words.reserve(arguments.size());
  for (const std::string& argument : arguments) words.push_back(argument.c_str());
  vyr::SurveyOptions options;
  if (auto exit = vyr::readSurveyOptions(static_cast<int>(words.size()), words.data(), options,
                                         std::cout, std::cerr)) {
    return vyr::exitStatus(*exit);
  }
  Run run(std::move(options));
  SurveyExit exit = SurveyExit::CANNOT_RUN;
  try {
    exit = runCommand(run);
  } catch (const std::bad_alloc&) {
    exit = outOfMemory(run);
  }
  // All is saved and told: a console that is closing may end the process now.
  vyr::stopRequestHandled();
  return vyr::exitStatus(exit);
}
