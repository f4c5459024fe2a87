// Catches vyr-survey exiting with the wrong status or claiming "saved" for files it could not
// write, hanging on a FIFO under the list, report or progress name, a JSON output that does not
// parse or disagrees with the report, and a progress line that loses its shape, by running the
// built program against the fleet simulator over loopback UDP; and a second survey of a list that
// is already being surveyed, a JSON output that is one of the survey's own files, a standard error
// nobody reads, memory that runs out and an inherited SIG_IGN for SIGHUP. The same cases run
// against vyr-survey.exe under Wine where VYR_SURVEY_COMMAND names it; those that mean nothing on
// Windows are skipped there with their reason.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/fleet_thread.h"
#include "support/private_network_test.h"
#include "survey/report_files.h"

namespace vyr::testing {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr int RUN_LIMIT_MS = 60000;  // far beyond any case: past it the program hangs

// The program under test and what runs it: VYR_SURVEY_COMMAND, words separated by "|" (a runner
// such as tests/win32/wine_run.sh with its prefix, then the program), or else the built program.
std::vector<std::string> surveyCommand() {
  std::vector<std::string> words;
  const char* given = std::getenv("VYR_SURVEY_COMMAND");
  if (given == nullptr || *given == '\0') return {VYR_SURVEY_PROGRAM};
  std::istringstream list(given);
  for (std::string word; std::getline(list, word, '|');) {
    if (!word.empty()) words.push_back(word);
  }
  return words;
}

// Whether the program under test is the Windows build.
bool testingWindows() {
  const std::string program = surveyCommand().back();
  return program.size() > 4 && program.compare(program.size() - 4, 4, ".exe") == 0;
}

// Cases that have no Windows meaning are skipped there, with why.
#define SKIP_ON_WINDOWS(reason) \
  if (testingWindows()) GTEST_SKIP() << "no Windows meaning: " << (reason)

// How a run is started, where it differs from the plain one.
struct Spawn {
  const char* stdoutName = "stdout.txt";  // in the test's directory
  const char* stderrName = "stderr.txt";
  int stdoutFd = -1;        // when not -1, stdout is this descriptor instead of a file
  int stderrFd = -1;        // when not -1, stderr is this descriptor instead of a file
  long addressSpaceKb = 0;  // when not 0, the run's ulimit -v
  int limitMs = RUN_LIMIT_MS;
};

struct Finished {
  int status = -1;  // exit status; 128 + signal when a signal ended it; -1 when it hung
  std::string out;
  std::string err;
};

// The progress line as vyr-survey prints it into a file, and its last line.
const std::regex PROGRESS_LINE(
    R"(\d+/\d+ units \(\d+%\)  sent \d+  received \d+  \d+ units/s  elapsed \d+:\d\d  ETA (\d+:\d\d|--:--))");
const std::regex SUMMARY_LINE(
    R"(vyr-survey: (complete|timed out|stopped by (SIG[A-Z]+|Ctrl\+C)) after \d+\.\d s: \d+ of \d+ units finished, \d+ datagrams sent, \d+ received; (saved|could not write) .*)");
const std::regex UNFINISHED_LINE(
    R"(vyr-survey: \d+ units? did not finish: [^ ,]+(, [^ ,]+)*( and \d+ more)?)");

class SurveyProcessTest : public PrivateNetworkTest {
 protected:
  void SetUp() override {
    if (!testingWindows()) {
      PrivateNetworkTest::SetUp();
      return;
    }
    // Wine's server makes the program's sockets, so the test stays in the server's network (the
    // Windows test run gives both one of their own).
    std::string pattern = (std::filesystem::temp_directory_path() / "vyr-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    directory_ = pattern;
  }

  void TearDown() override {
    fleet_.stop();
    PrivateNetworkTest::TearDown();
  }

  void startFleet(const fleet::FleetDescription& description) {
    fleet_.start(description);
    write("fleet.IPs", fleet::listFileText(description));
  }

  void write(const char* name, const std::string& bytes) {
    std::ofstream(directory_ / name, std::ios::binary) << bytes;
  }

  void makeFifo(const char* name) { ASSERT_EQ(::mkfifo((directory_ / name).c_str(), 0644), 0); }

  bool isFifo(const char* name) {
    struct stat status {};
    return ::lstat((directory_ / name).c_str(), &status) == 0 && S_ISFIFO(status.st_mode);
  }

  // Runs vyr-survey in the test's directory with stdout and stderr in files. `during` is called
  // with its pid while it runs, until it returns true. A run past RUN_LIMIT_MS is killed.
  Finished run(std::vector<std::string> args,
               const std::function<bool(pid_t)>& during = nullptr, const Spawn& how = {}) {
    const std::vector<std::string> command = surveyCommand();
    args.insert(args.begin(), command.begin(), command.end());
    if (how.addressSpaceKb != 0) {
      args.insert(args.begin(), {"/bin/sh", "-c",
                                 "ulimit -v " + std::to_string(how.addressSpaceKb) +
                                     R"( && exec "$0" "$@")"});
    }
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const std::string outPath = (directory_ / how.stdoutName).string();
    const std::string errPath = (directory_ / how.stderrName).string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, directory_.c_str());
    if (how.stdoutFd >= 0) {
      posix_spawn_file_actions_adddup2(&actions, how.stdoutFd, 1);
    } else {
      posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    if (how.stderrFd >= 0) {
      posix_spawn_file_actions_adddup2(&actions, how.stderrFd, 2);
    } else {
      posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                       0644);
    }
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    Finished finished;
    if (spawned != 0) {
      ADD_FAILURE() << "cannot start " << argv[0];
      return finished;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(how.limitMs);
    bool watching = static_cast<bool>(during);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
      if (Clock::now() > deadline) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        ADD_FAILURE() << "vyr-survey hung: " << read(how.stderrName);
        return finished;
      }
      if (watching) watching = !during(pid);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    finished.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    finished.out = how.stdoutFd >= 0 ? "" : read(how.stdoutName);
    finished.err = how.stderrFd >= 0 ? "" : read(how.stderrName);
    if (std::strcmp(how.stdoutName, "stdout.txt") == 0) std::filesystem::remove(outPath);
    std::filesystem::remove(errPath);
    return finished;
  }

  // The standard error's lines: progress lines, then for a survey that did not complete the line
  // naming the unfinished units, then the summary line, nothing else.
  static void expectProgressThenSummary(const std::string& err) {
    std::istringstream lines(err);
    std::vector<std::string> all;
    for (std::string line; std::getline(lines, line);) all.push_back(line);
    ASSERT_GE(all.size(), 2u) << err;
    const bool complete = all.back().rfind("vyr-survey: complete", 0) == 0;
    const size_t progress = all.size() - (complete ? 1 : 2);
    for (size_t i = 0; i < progress; ++i) {
      EXPECT_TRUE(std::regex_match(all[i], PROGRESS_LINE)) << all[i];
    }
    if (!complete) {
      EXPECT_TRUE(std::regex_match(all[progress], UNFINISHED_LINE)) << all[progress];
    }
    EXPECT_TRUE(std::regex_match(all.back(), SUMMARY_LINE)) << all.back();
  }

  FleetThread fleet_;
};

// A row of a table that has no Windows meaning, told as skipped rather than passed over in silence.
void skippedRow(const std::string& row, const char* reason) {
  std::printf("[  SKIPPED ] row \"%s\" on Windows: %s\n", row.c_str(), reason);
}

std::vector<json> jsonLines(const std::string& text) {
  std::vector<json> objects;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) objects.push_back(json::parse(line));
  return objects;
}

// The order of a streamed JSON output: every index once, finished units first (as they
// finished), then the unfinished ones in list order, then the summary.
void expectStreamedOrder(const std::vector<json>& objects, size_t units) {
  ASSERT_EQ(objects.size(), units + 1);
  EXPECT_EQ(objects.back()["type"], "summary");
  std::vector<int> seen(units, 0);
  bool unfinishedBegun = false;
  int64_t lastUnfinished = -1;
  for (size_t i = 0; i < units; ++i) {
    SCOPED_TRACE(objects[i].dump());
    ASSERT_EQ(objects[i]["type"], "unit");
    const auto index = objects[i]["index"].get<int64_t>();
    ASSERT_TRUE(index >= 0 && static_cast<size_t>(index) < units);
    EXPECT_EQ(++seen[static_cast<size_t>(index)], 1) << "twice";
    if (objects[i]["finished"] == true) {
      EXPECT_FALSE(unfinishedBegun) << "a finished unit after an unfinished one";
    } else {
      unfinishedBegun = true;
      EXPECT_GT(index, lastUnfinished) << "unfinished units out of list order";
      lastUnfinished = index;
    }
  }
}

// The unit as the list names it, as the unfinished-units line gives it.
std::string listedName(const fleet::UnitDescription& unit) {
  if (unit.listing == fleet::Listing::BY_SERIAL) return unit.id + "/" + std::to_string(unit.serial);
  std::string dotted;
  for (int b = 0; b < 4; ++b) dotted += (b == 0 ? "" : ".") + std::to_string(unit.ip[b]);
  return dotted;
}

std::string latin1Of(const std::string& utf8) {
  std::string bytes;
  for (size_t i = 0; i < utf8.size(); ++i) {
    const auto lead = static_cast<uint8_t>(utf8[i]);
    bytes += lead < 0x80 ? static_cast<char>(lead)
                         : static_cast<char>((lead & 0x03) << 6 | (utf8[++i] & 0x3F));
  }
  return bytes;
}

// A fleet with 8-bit texts in it, so that the JSON has to carry them.
fleet::FleetDescription mixedFleet(uint32_t count, uint64_t seed) {
  fleet::FleetDescription description = fleet::generateFleet(count, seed, 30, 50);
  description.units[1].application = "M\xE9TER\x01";
  description.units[2].modemId = "\xFFq\"uote\\";
  description.units[3].esn = "\xC4\xD6\xDC";
  return description;
}

TEST_F(SurveyProcessTest, ACompleteSurveyExitsZeroAndItsJsonMatchesTheReport) {
  const fleet::FleetDescription description = mixedFleet(300, 31);
  startFleet(description);
  const Finished finished = run({"--server", "127.0.0.1", "--list", "fleet.IPs", "--json", "-"});
  ASSERT_EQ(finished.status, 0) << finished.err;
  expectProgressThenSummary(finished.err);
  EXPECT_NE(finished.err.find("complete after"), std::string::npos);
  EXPECT_NE(finished.err.find("300 of 300 units finished"), std::string::npos);
  EXPECT_NE(finished.err.find("; saved fleet.model and fleet.soFar"), std::string::npos);
  const std::string report = read("fleet.model");
  ASSERT_EQ(report, fleet::expectedReport(description));

  // Parsed back: one object per unit in the order they finished, each the report's line at its
  // index, then the summary.
  const std::vector<json> objects = jsonLines(finished.out);
  ASSERT_EQ(objects.size(), 301u);
  std::vector<json> byIndex(300);
  for (size_t i = 0; i < 300; ++i) {
    ASSERT_EQ(objects[i]["type"], "unit");
    const auto index = objects[i]["index"].get<size_t>();
    ASSERT_LT(index, 300u);
    EXPECT_TRUE(byIndex[index].is_null()) << "index " << index << " twice";
    byIndex[index] = objects[i];
  }
  std::istringstream reportLines(report);
  std::string line;
  std::getline(reportLines, line);  // the header
  for (int32_t i = 0; i < 300; ++i) {
    SCOPED_TRACE(i);
    const json& unit = byIndex[static_cast<size_t>(i)];
    ASSERT_EQ(unit["type"], "unit");
    EXPECT_EQ(unit["finished"], true);
    const DeviceRecord expected = fleet::expectedRecord(description.units[static_cast<size_t>(i)]);
    EXPECT_EQ(latin1Of(unit["id"]), fieldText(expected.id));
    EXPECT_EQ(latin1Of(unit["application"]), fieldText(expected.application));
    EXPECT_EQ(latin1Of(unit["modemId"]), fieldText(expected.modemId));
    EXPECT_EQ(latin1Of(unit["esn"]), fieldText(expected.esn));
    EXPECT_EQ(unit["serial"], static_cast<uint32_t>(expected.serial));
    EXPECT_EQ(unit["flags"], expected.flags);
    std::getline(reportLines, line);
    std::string columns;
    for (const char* name : {"IP", "Serial", "ID", "BIOS", "Application", "Version"}) {
      columns += (columns.empty() ? "" : "\t") + latin1Of(unit["report"][name]);
    }
    const std::string modemId = latin1Of(unit["report"]["Modem ID"]);
    const std::string esn = latin1Of(unit["report"]["ESN"]);
    if (!modemId.empty() || !esn.empty()) columns += "\t" + modemId;
    if (!esn.empty()) columns += "\t" + esn;
    EXPECT_EQ(columns + "\r", line);
  }
  EXPECT_EQ(latin1Of(byIndex[1]["application"]), "M\xE9TER\x01");
  const json& summary = objects.back();
  EXPECT_EQ(summary["type"], "summary");
  EXPECT_EQ(summary["outcome"], "complete");
  EXPECT_EQ(summary["units"], 300);
  EXPECT_EQ(summary["complete"], 300);
  EXPECT_EQ(summary["saved"], true);
  EXPECT_EQ(summary["exitStatus"], 0);
  EXPECT_EQ(summary["report"], "fleet.model");
  EXPECT_GE(summary["sent"].get<uint64_t>(), 300u * 3);
  EXPECT_GE(summary["received"].get<uint64_t>(), 300u * 3);

  // Resumed once complete, it ends at once; quiet, it says nothing.
  const Finished again = run({"--server", "127.0.0.1", "--list", "fleet.IPs", "--quiet"});
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.err, "");
  EXPECT_EQ(read("fleet.model"), report) << "its section rewritten in place, the same";
}

// Every way a run ends, by its exit status; "saved" only when both files were written in full,
// and a FIFO in the way is neither waited on nor replaced.
TEST_F(SurveyProcessTest, EachOutcomeHasItsExitStatus) {
  fleet::FleetDescription description = fleet::generateFleet(60, 32, 30, 50);
  for (size_t i = 0; i < description.units.size(); i += 10) description.units[i].silent = true;
  const struct {
    const char* name;
    std::function<void()> prepare;
    const char* list;
    std::vector<std::string> args;
    int status;
    const char* says;
    bool saved;
    const char* fifo;  // a FIFO that must still be there, untouched
    const char* notOnWindows = nullptr;  // why the row means nothing there
    const char* windowsSays = nullptr;   // the Win32 file system's wording, where it differs
  } cases[] = {
      {"timed out", nullptr, "fleet.IPs", {"--timeout", "2"}, 2, "timed out after", true, nullptr},
      // Files that cannot be written are found before the first datagram.
      {"report is a folder",
       [this] { std::filesystem::create_directory(directory_ / "fleet.model"); },
       "fleet.IPs", {"--timeout", "1"}, 4,
       "cannot save a survey of fleet.IPs: fleet.model: not a regular file", false, nullptr,
       nullptr, "cannot save a survey of fleet.IPs: fleet.model: Access denied"},
      {"report is a FIFO", [this] { makeFifo("fleet.model"); }, "fleet.IPs",
       {"--timeout", "1"}, 4, "fleet.model: not a regular file; nothing was surveyed", false,
       "fleet.model", "no FIFOs"},
      {"report is a link planted beside the list",
       [this] { std::filesystem::create_symlink("victim.txt", directory_ / "fleet.model"); },
       "fleet.IPs", {"--timeout", "1"}, 4, "fleet.model: a symbolic link; nothing was surveyed",
       false, nullptr, "a link made on Linux is no reparse point under Wine"},
      {"progress file is a folder",
       [this] { std::filesystem::create_directory(directory_ / "fleet.soFar"); }, "fleet.IPs",
       {"--timeout", "1"}, 4, "fleet.soFar: not a regular file; nothing was surveyed", false,
       nullptr, nullptr, "fleet.soFar: Access denied"},
      {"JSON output cannot be written", nullptr, "fleet.IPs",
       {"--timeout", "1", "--json", "/dev/full"}, 4, "could not write the JSON output", true,
       nullptr, "no /dev/full"},
      {"JSON output cannot be opened", nullptr, "fleet.IPs", {"--json", "no-such-folder/out.json"},
       4, "cannot write the JSON output", false, nullptr},
      {"list is a FIFO", [this] { makeFifo("other.IPs"); }, "other.IPs", {}, 1,
       "cannot read the list file other.IPs", false, "other.IPs", "no FIFOs"},
      {"list is missing", nullptr, "missing.IPs", {}, 1, "no list file missing.IPs", false,
       nullptr},
      {"list names no unit", [this] { write("other.IPs", "; nothing\n"); },
       "other.IPs", {}, 1, "other.IPs names no unit", false, nullptr},
      {"units by serial and no server", nullptr, "fleet.IPs", {}, 1, "give --server", false,
       nullptr},
  };
  startFleet(description);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (testingWindows() && c.notOnWindows != nullptr) {
      skippedRow(c.name, c.notOnWindows);
      continue;
    }
    for (const char* name :
         {"fleet.model", "fleet.soFar", "fleet.soFar.tmp", "other.IPs", "victim.txt"}) {
      std::filesystem::remove_all(directory_ / name);
    }
    if (c.prepare) c.prepare();
    std::vector<std::string> args = {"--list", c.list, "--new"};
    if (std::strcmp(c.name, "units by serial and no server") != 0) {
      args.insert(args.end(), {"--server", "127.0.0.1"});
    }
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Finished finished = run(args);
    EXPECT_EQ(finished.status, c.status) << finished.err;
    const char* says = testingWindows() && c.windowsSays != nullptr ? c.windowsSays : c.says;
    EXPECT_NE(finished.err.find(says), std::string::npos) << finished.err;
    EXPECT_EQ(finished.err.find("saved") != std::string::npos, c.saved) << finished.err;
    if (c.fifo != nullptr) {
      EXPECT_TRUE(isFifo(c.fifo));
    }
    EXPECT_FALSE(std::filesystem::exists(directory_ / "victim.txt")) << "written through a link";
    if (c.saved) {
      EXPECT_EQ(std::filesystem::file_size(directory_ / "fleet.soFar"),
                PROGRESS_HEADER_SIZE + sizeof(DeviceRecord) * description.units.size());
    } else {
      EXPECT_FALSE(std::filesystem::is_regular_file(directory_ / "fleet.soFar"));
    }
  }
}

// A FIFO under the progress name: no survey can be saved there, so none starts; the FIFO and the
// report are left as they were.
TEST_F(SurveyProcessTest, AFifoUnderTheProgressNameStopsTheStartAndStays) {
  SKIP_ON_WINDOWS("there are no FIFOs");
  const fleet::FleetDescription description = fleet::generateFleet(50, 33, 30, 50);
  startFleet(description);
  makeFifo("fleet.soFar");
  const Finished finished = run({"--server", "127.0.0.1", "--list", "fleet.IPs"});
  EXPECT_EQ(finished.status, 4) << finished.err;
  EXPECT_NE(finished.err.find("fleet.soFar: not a regular file; nothing was surveyed"),
            std::string::npos)
      << finished.err;
  EXPECT_TRUE(isFifo("fleet.soFar"));
  EXPECT_FALSE(std::filesystem::exists(directory_ / "fleet.model"));
}

// On Windows only Ctrl+C, which Wine makes of SIGINT; SIGTERM and SIGHUP end a Wine process.
TEST_F(SurveyProcessTest, EachStopSignalSavesAndExitsWithThree) {
  fleet::FleetDescription description = fleet::generateFleet(40, 34, 30, 50);
  description.units[0].silent = true;  // never complete
  startFleet(description);
  for (int number : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(number));
    if (testingWindows() && number != SIGINT) {
      skippedRow(strsignal(number), "no such request; Wine ends the process");
      continue;
    }
    const std::string name =
        testingWindows() ? std::string("Ctrl+C") : std::string("SIG") + sigabbrev_np(number);
    std::filesystem::remove(directory_ / "fleet.soFar");
    // The first progress line comes after the handlers are in place; then the signal.
    const Finished finished =
        run({"--server", "127.0.0.1", "--list", "fleet.IPs", "--json", "out.json"}, [&](pid_t pid) {
          if (read("stderr.txt").find('\n') == std::string::npos) return false;
          std::this_thread::sleep_for(std::chrono::milliseconds(300));
          ::kill(pid, number);
          return true;
        });
    EXPECT_EQ(finished.status, 3) << finished.err;
    expectProgressThenSummary(finished.err);
    EXPECT_NE(finished.err.find("stopped by " + name), std::string::npos) << finished.err;
    EXPECT_EQ(std::filesystem::file_size(directory_ / "fleet.soFar"),
              PROGRESS_HEADER_SIZE + sizeof(DeviceRecord) * description.units.size());
    const std::vector<json> objects = jsonLines(read("out.json"));
    ASSERT_EQ(objects.size(), description.units.size() + 1);
    EXPECT_EQ(objects.back()["signal"], name);
    EXPECT_EQ(objects.back()["exitStatus"], 3);
    expectStreamedOrder(objects, description.units.size());
    EXPECT_FALSE(objects[objects.size() - 2]["finished"]) << "the silent unit 0 is not last";
  }
}

// One survey of a list at a time, whoever holds it: a lock taken by another process on the report,
// a list spelled in another case that shares the report, and a second vyr-survey while the first
// runs. The second changes nothing the first saves.
TEST_F(SurveyProcessTest, ASecondSurveyOfABusyListExitsSixAndTouchesNothing) {
  fleet::FleetDescription description = fleet::generateFleet(20, 35, 0, 50);
  description.units[0].silent = true;  // the first never completes
  startFleet(description);
  write("fleet.ips", read("fleet.IPs"));
  const std::string self = "process " + std::to_string(::getpid());
  for (const char* list : {"fleet.IPs", "fleet.ips"}) {
    SCOPED_TRACE(list);
    if (testingWindows()) {
      skippedRow(std::string("flock held on the report, list ") + list,
                 "a Linux flock is no lock to a Windows program");
      continue;
    }
    write("fleet.model", "kept\r\n");
    const int held = ::open((directory_ / "fleet.model").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    const Finished second = run({"--server", "127.0.0.1", "--list", list, "--json", "out.json"});
    ::close(held);
    EXPECT_EQ(second.status, 6) << second.err;
    EXPECT_NE(second.err.find(std::string("another survey of ") + list + " is running"),
              std::string::npos)
        << second.err;
    EXPECT_NE(second.err.find(self), std::string::npos) << second.err;
    EXPECT_EQ(read("fleet.model"), "kept\r\n");
    EXPECT_FALSE(std::filesystem::exists(directory_ / "fleet.soFar"));
    EXPECT_FALSE(std::filesystem::exists(directory_ / "out.json")) << "created, then removed";
  }

  std::filesystem::remove(directory_ / "fleet.model");
  Finished second;
  const Spawn secondFiles{"stdout2.txt", "stderr2.txt"};
  const Finished first = run(
      {"--server", "127.0.0.1", "--list", "fleet.IPs", "--rate", "5", "--timeout", "6"},
      [&](pid_t pid) {
        if (read("stderr.txt").find('\n') == std::string::npos) return false;
        second = run({"--server", "127.0.0.1", "--list", "fleet.IPs", "--new"}, nullptr,
                     secondFiles);
        // Under Wine the holder is told by its Windows process number, which the test cannot know.
        const std::string holder =
            testingWindows() ? "another survey of fleet.IPs is running"
                             : "vyr-survey, process " + std::to_string(pid);
        EXPECT_NE(second.err.find(holder), std::string::npos) << second.err;
        return true;
      });
  EXPECT_EQ(second.status, 6) << second.err;
  EXPECT_EQ(first.status, 2) << first.err;
  EXPECT_NE(first.err.find("; saved fleet.model and fleet.soFar"), std::string::npos) << first.err;
  const std::string report = read("fleet.model");
  EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 1 + 20) << report;
}

// A JSON output that is the list, the report, the progress file or its temporary file, by any
// name, is refused before anything is written; a file it had to create for that goes again.
TEST_F(SurveyProcessTest, AJsonOutputThatIsOneOfTheSurveysFilesIsRefused) {
  const fleet::FleetDescription description = fleet::generateFleet(10, 36, 0, 50);
  startFleet(description);
  std::filesystem::create_directory_symlink(".", directory_ / "here");
  std::filesystem::create_symlink("fleet.soFar", directory_ / "link.json");
  const struct {
    const char* json;
    const char* existing;  // the file the output is, made beforehand; null: not there
    const char* says;
  } cases[] = {
      {"fleet.model", nullptr, "is the report fleet.model"},
      {"./fleet.model", "fleet.model", "is the report fleet.model"},
      {"here/fleet.IPs", "fleet.IPs", "is the list file fleet.IPs"},
      {"link.json", "fleet.soFar", "is the progress file fleet.soFar"},
      {"here/./fleet.soFar.tmp", nullptr, "temporary file fleet.soFar.tmp"},
      {"-", "fleet.model", "standard output"},
  };
  const std::string list = read("fleet.IPs");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    for (const char* name : {"fleet.model", "fleet.soFar", "fleet.soFar.tmp"}) {
      std::filesystem::remove(directory_ / name);
    }
    if (c.existing != nullptr && std::strcmp(c.existing, "fleet.IPs") != 0) {
      write(c.existing, "before\n");
    }
    Spawn how;
    if (std::strcmp(c.json, "-") == 0) how.stdoutName = c.existing;
    const Finished finished =
        run({"--server", "127.0.0.1", "--list", "fleet.IPs", "--json", c.json}, nullptr, how);
    EXPECT_EQ(finished.status, 1) << finished.err;
    EXPECT_NE(finished.err.find(c.says), std::string::npos) << finished.err;
    EXPECT_EQ(read("fleet.IPs"), list);
    if (c.existing == nullptr) {
      EXPECT_FALSE(std::filesystem::exists(directory_ / "fleet.model"));
      EXPECT_FALSE(std::filesystem::exists(directory_ / "fleet.soFar.tmp"));
    } else if (std::strcmp(c.json, "-") != 0 && std::strcmp(c.existing, "fleet.IPs") != 0) {
      EXPECT_EQ(read(c.existing), "before\n") << "never emptied";
    }
    const bool progressBefore = c.existing != nullptr && std::strcmp(c.existing, "fleet.soFar") == 0;
    EXPECT_EQ(std::filesystem::exists(directory_ / "fleet.soFar"), progressBefore);
  }
}

// A standard error whose pipe is full and never read holds up neither the survey nor its
// timeout, and the survey is saved.
TEST_F(SurveyProcessTest, AStandardErrorNobodyReadsDoesNotHoldTheSurvey) {
  SKIP_ON_WINDOWS("Windows cannot tell whether a pipe has room, so a write to it waits for its "
                  "reader");
  fleet::FleetDescription description = fleet::generateFleet(30, 37, 0, 50);
  description.units[0].silent = true;
  startFleet(description);
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  // Filled without waiting, then handed over blocking, as a shell would hand it over.
  const int flags = ::fcntl(ends[1], F_GETFL);
  ::fcntl(ends[1], F_SETFL, flags | O_NONBLOCK);
  const std::string block(4096, 'x');
  while (::write(ends[1], block.data(), block.size()) > 0) {
  }
  while (::write(ends[1], block.data(), 1) > 0) {
  }
  ::fcntl(ends[1], F_SETFL, flags);
  Spawn how;
  how.stderrFd = ends[1];
  how.limitMs = 20000;  // --timeout 3 and at most a few seconds for the dropped messages
  const Finished finished =
      run({"--server", "127.0.0.1", "--list", "fleet.IPs", "--timeout", "3", "--json", "out.json"},
          nullptr, how);
  ::close(ends[0]);
  ::close(ends[1]);
  EXPECT_EQ(finished.status, 2);
  EXPECT_EQ(std::filesystem::file_size(directory_ / "fleet.soFar"),
            PROGRESS_HEADER_SIZE + sizeof(DeviceRecord) * description.units.size());
  EXPECT_EQ(jsonLines(read("out.json")).back()["saved"], true);
}

// Under nohup an ignored SIGHUP stays ignored, and SIGTERM still stops the survey; an ignored
// SIGINT (a script's background job) still stops it too.
TEST_F(SurveyProcessTest, AnInheritedIgnoredHangUpStaysIgnored) {
  SKIP_ON_WINDOWS("there is no SIGHUP to inherit as ignored (nohup)");
  fleet::FleetDescription description = fleet::generateFleet(20, 38, 0, 50);
  description.units[0].silent = true;
  startFleet(description);
  for (int stop : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(strsignal(stop));
    struct sigaction ignore {};
    struct sigaction oldHangUp {};
    struct sigaction oldInterrupt {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGHUP, &ignore, &oldHangUp);
    ::sigaction(SIGINT, &ignore, &oldInterrupt);
    int step = 0;
    const Finished finished = run({"--server", "127.0.0.1", "--list", "fleet.IPs"}, [&](pid_t pid) {
      if (read("stderr.txt").find('\n') == std::string::npos) return false;
      if (step++ == 0) {
        ::kill(pid, SIGHUP);
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      ::kill(pid, stop);
      return true;
    });
    ::sigaction(SIGHUP, &oldHangUp, nullptr);
    ::sigaction(SIGINT, &oldInterrupt, nullptr);
    EXPECT_EQ(finished.status, 3) << finished.err;
    EXPECT_NE(finished.err.find(std::string("stopped by SIG") + sigabbrev_np(stop)),
              std::string::npos)
        << finished.err;
  }
}

// Memory that runs out anywhere in a run of a million units ends it with status 5 and its own
// message, never an abort; where the survey had started it is saved, and says so.
TEST_F(SurveyProcessTest, RunningOutOfMemoryExitsFiveAndSavesWhatRan) {
  SKIP_ON_WINDOWS("an address-space limit (ulimit -v) does not reach into Wine's own reservations");
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reserves terabytes of address space: no program of this build "
                  "starts under an address-space limit";
#endif
  {
    std::ofstream list(directory_ / "big.IPs");
    for (int i = 0; i < 1000000; ++i) {
      list << "127." << 1 + i / 65536 << '.' << i / 256 % 256 << '.' << i % 256 << '\n';
    }
  }
  int fives = 0;
  for (long limitKb : {60000L, 110000L, 140000L, 145000L}) {
    SCOPED_TRACE(limitKb);
    for (const char* name : {"big.model", "big.soFar", "out.json"}) {
      std::filesystem::remove(directory_ / name);
    }
    Spawn how;
    how.addressSpaceKb = limitKb;
    const Finished finished =
        run({"--list", "big.IPs", "--timeout", "1", "--json", "out.json"}, nullptr, how);
    ASSERT_TRUE(finished.status == 2 || finished.status == 5) << finished.err;
    if (finished.status == 2) continue;
    ++fives;
    EXPECT_NE(finished.err.find("vyr-survey: not enough memory"), std::string::npos)
        << finished.err;
    const bool saved = std::filesystem::exists(directory_ / "big.soFar");
    if (!saved) continue;
    EXPECT_NE(finished.err.find("; saved big.model and big.soFar"), std::string::npos)
        << finished.err;
    const json summary = jsonLines(read("out.json")).back();
    EXPECT_EQ(summary["saved"], true);
    EXPECT_EQ(summary["exitStatus"], 5);
  }
  EXPECT_GE(fives, 2) << "no limit ran out of memory";
}

// --json - follows the survey: each unit's line comes through a pipe as the unit finishes, while
// the survey still runs; at the stop the unfinished units follow in list order, then the summary,
// and standard error names the unfinished units, the first 20 of them.
TEST_F(SurveyProcessTest, JsonLinesComeAsUnitsFinishAndTheUnfinishedAreNamed) {
  const struct {
    uint32_t units;
    size_t silentEvery;  // every so many units, from the second, never answers
    size_t named;        // how many names the stderr line carries
  } cases[] = {{30, 10, 3}, {60, 2, 20}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.units);
    fleet::FleetDescription description = fleet::generateFleet(c.units, 39, 30, 50);
    std::vector<std::string> silentNames;
    for (size_t i = 1; i < description.units.size(); i += c.silentEvery) {
      description.units[i].silent = true;
      silentNames.push_back(listedName(description.units[i]));
    }
    const size_t answering = description.units.size() - silentNames.size();
    fleet_.stop();
    startFleet(description);
    std::filesystem::remove(directory_ / "fleet.soFar");
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    ::fcntl(ends[0], F_SETFL, ::fcntl(ends[0], F_GETFL) | O_NONBLOCK);
    Spawn how;
    how.stdoutFd = ends[1];
    std::string streamed;
    auto drain = [&] {
      char buffer[4096];
      ssize_t got = 0;
      while ((got = ::read(ends[0], buffer, sizeof buffer)) > 0) {
        streamed.append(buffer, static_cast<size_t>(got));
      }
    };
    bool seenWhileRunning = false;
    // The timeout is the fallback of an output that does not stream: the stop never comes.
    const Finished finished = run(
        {"--server", "127.0.0.1", "--list", "fleet.IPs", "--json", "-", "--timeout", "20"},
        [&](pid_t pid) {
          drain();
          if (static_cast<size_t>(std::count(streamed.begin(), streamed.end(), '\n')) < answering) {
            return false;
          }
          seenWhileRunning = ::kill(pid, 0) == 0 && streamed.find("summary") == std::string::npos;
          ::kill(pid, SIGINT);
          return true;
        },
        how);
    ::close(ends[1]);
    drain();
    ::close(ends[0]);
    EXPECT_EQ(finished.status, 3) << finished.err;
    EXPECT_TRUE(seenWhileRunning) << "the lines of finished units came only at the end";
    const std::vector<json> objects = jsonLines(streamed);
    expectStreamedOrder(objects, description.units.size());
    for (size_t i = 0; i < answering; ++i) EXPECT_EQ(objects[i]["finished"], true) << i;

    std::string names;
    for (size_t i = 0; i < c.named; ++i) names += (i == 0 ? "" : ", ") + silentNames[i];
    std::string expected = "vyr-survey: " + std::to_string(silentNames.size()) +
                           " units did not finish: " + names;
    if (silentNames.size() > c.named) {
      expected += " and " + std::to_string(silentNames.size() - c.named) + " more";
    }
    EXPECT_NE(finished.err.find(expected + "\n"), std::string::npos) << finished.err;
    expectProgressThenSummary(finished.err);

    // Resumed, the units the progress file holds as finished come first, in list order; quiet,
    // the unfinished are not named.
    const Finished resumed = run({"--server", "127.0.0.1", "--list", "fleet.IPs", "--json",
                                  "resumed.json", "--timeout", "1", "--quiet"});
    EXPECT_EQ(resumed.status, 2) << resumed.err;
    EXPECT_EQ(resumed.err, "");
    const std::vector<json> again = jsonLines(read("resumed.json"));
    expectStreamedOrder(again, description.units.size());
    for (size_t i = 1; i < answering; ++i) {
      EXPECT_GT(again[i]["index"], again[i - 1]["index"]) << "not in list order at " << i;
    }
  }
}

}  // namespace
}  // namespace vyr::testing
