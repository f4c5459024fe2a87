// Catches saves that tear or lose the progress file, leave a temporary file behind, write over
// earlier report sections, or save anything when the report cannot be had, under each single file
// fault at each step of a save, on a real directory and in memory; and resumes after such a save
// that do not continue the saved survey in its own section, or that do not start fresh cleanly.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/survey_driver.h"
#include "core/context.h"
#include "platform/memory/fake_clock.h"
#include "platform/memory/memory_dialog.h"
#include "platform/memory/memory_files.h"
#include "platform/memory/memory_list_view.h"
#include "platform/memory/memory_network.h"
#include "platform/posix/posix_files.h"
#include "support/choose_list.h"
#include "support/faulty_files.h"
#include "support/unprivileged.h"
#include "survey/list_files.h"
#include "survey/report_files.h"

namespace vyr::testing {
namespace {

using File = std::optional<std::string>;

const char* const kList = "north.IPs";
const char* const kReport = "north.model";
const char* const kProgress = "north.soFar";
const char* const kTemporary = "north.soFar.tmp";
// Enough units for a report section of several writes.
constexpr int32_t kUnits = 1200;

bool isSerialUnit(int32_t i) { return i % 4 == 3; }

std::string listText() {
  std::string text = "; north district\r\n";
  for (int32_t i = 0; i < kUnits; ++i) {
    char line[64];
    if (isSerialUnit(i)) {
      std::snprintf(line, sizeof line, "U%05d/%d\r\n", i, 700000 + i);
    } else {
      std::snprintf(line, sizeof line, "10.0.%d.%d\r\n", i / 250, i % 250 + 1);
    }
    text += line;
  }
  return text;
}

// Stores what the unit's replies would; a serial unit keeps the ID and serial it is listed with,
// so that a resume still matches its row.
void answer(DeviceRecord& record, int32_t i) {
  if (!(record.flags & BY_SERIAL)) {
    char id[9];
    std::snprintf(id, sizeof id, "A%05d", i);
    setFieldText(record.id, id);
    record.serial = static_cast<uint32_t>(500000 + i);
  } else {
    const uint8_t ip[4] = {10, 9, static_cast<uint8_t>(i / 250), static_cast<uint8_t>(i % 250 + 1)};
    setSocketAddress(record.address, ip, DEVICE_PORT);
  }
  record.biosVersion = static_cast<int16_t>(100 + i % 50);
  setFieldText(record.application, "PUMPCTL");
  record.appVersion = 205;
  char text[16];
  std::snprintf(text, sizeof text, "M%d", i);
  setFieldText(record.modemId, text);
  std::snprintf(text, sizeof text, "E%d", i);
  setFieldText(record.esn, text);
  record.flags |= COMPLETE;
}

int32_t storedOffset(const std::string& progress) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i)
    value |= static_cast<uint32_t>(static_cast<uint8_t>(progress[i])) << (8 * i);
  return static_cast<int32_t>(value);
}

DeviceRecord storedRecord(const std::string& progress, int32_t i) {
  DeviceRecord record{};
  std::memcpy(&record,
              progress.data() + PROGRESS_HEADER_SIZE + sizeof record * static_cast<size_t>(i),
              sizeof record);
  return record;
}

// The report section of the table a progress file holds.
std::string sectionOf(const std::string& progress) {
  std::string section = REPORT_HEADER;
  for (int32_t i = 0; i < kUnits; ++i) section += reportLine(storedRecord(progress, i)).view();
  return section;
}

std::string show(const File& file) {
  return file ? std::to_string(file->size()) + " bytes" : std::string("no file");
}

std::filesystem::path makeTemporaryDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vyr-faults-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  return pattern;
}

// One working directory, real or in memory, seen through the fault injector, with a dialog and
// list view over it.
class World {
 public:
  explicit World(bool posix)
      : directory_(posix ? makeTemporaryDirectory() : std::filesystem::path()),
        base_(posix ? openPosixFileSystem(directory_.c_str())
                    : std::unique_ptr<FileSystem>(std::make_unique<MemoryFileSystem>())) {}
  World(const World&) = delete;
  World& operator=(const World&) = delete;
  ~World() {
    if (!directory_.empty()) std::filesystem::remove_all(directory_);
  }

  bool posix() const { return !directory_.empty(); }
  FileSystem& base() { return *base_; }
  const std::filesystem::path& directory() const { return directory_; }

  // File access past the injector, which neither counts nor fails. Only plain files: a link to a
  // device would read without end.
  File get(const char* name) {
    if (posix() && std::filesystem::is_symlink(directory_ / name)) return std::nullopt;
    return readWholeFile(*base_, name);
  }
  void put(const char* name, const std::string& bytes) {
    std::unique_ptr<FileHandle> file = base_->create(name);
    ASSERT_NE(file, nullptr) << name;
    ASSERT_EQ(file->write(bytes.data(), static_cast<int32_t>(bytes.size())),
              static_cast<int32_t>(bytes.size()));
    ASSERT_TRUE(file->close());
  }
  void append(const char* name, const std::string& bytes) {
    std::unique_ptr<FileHandle> file = base_->openForWriting(name);
    ASSERT_NE(file, nullptr) << name;
    file->seek(0, SeekFrom::END);
    ASSERT_EQ(file->write(bytes.data(), static_cast<int32_t>(bytes.size())),
              static_cast<int32_t>(bytes.size()));
  }
  void remove(const char* name) { base_->remove(name); }
  void makeFolder(const char* name) {
    if (posix()) {
      std::filesystem::create_directory(directory_ / name);
    } else {
      dynamic_cast<MemoryFileSystem&>(*base_).makeFolder(name);
    }
  }
  std::vector<std::string> entries() {
    std::vector<std::string> names = base_->listMatching("*");
    std::sort(names.begin(), names.end());
    return names;
  }

  void chooseList() {
    put(kList, listText());
    chooseListNamed(context, dialog, kList);
  }

  DeviceRecord& record(int32_t i) { return context.survey.deviceTable[i]; }

 private:
  std::filesystem::path directory_;
  std::unique_ptr<FileSystem> base_;

 public:
  FaultyFileSystem files{*base_};
  MemoryDialog dialog;
  MemoryListView list;
  FakeClock clock;
  MemoryNetwork network{clock};
  Context context{files, dialog, list, clock, network.toolSocket()};
};

enum class Scenario { FIRST_SAVE, FRESH_SURVEY_APPENDS, RESUMED_SURVEY_IN_PLACE };

const char* scenarioName(Scenario scenario) {
  switch (scenario) {
    case Scenario::FIRST_SAVE:
      return "first save of the list";
    case Scenario::FRESH_SURVEY_APPENDS:
      return "fresh survey appends its section";
    case Scenario::RESUMED_SURVEY_IN_PLACE:
      return "resumed survey rewrites its section";
  }
  return "?";
}

constexpr Scenario kScenarios[] = {Scenario::FIRST_SAVE, Scenario::FRESH_SURVEY_APPENDS,
                                   Scenario::RESUMED_SURVEY_IN_PLACE};

// Leaves a survey running that is about to be saved, after the saves the scenario needs.
void prepare(World& world, Scenario scenario) {
  world.dialog.serverField = "127.0.0.1";
  world.chooseList();
  if (scenario != Scenario::FIRST_SAVE) {
    // An earlier survey of the list, then the one the progress file describes, then bytes past
    // its section that a rewrite of the section cuts away.
    startProtocolSurvey(world.context, StartMode::FRESH);
    for (int32_t i = 0; i < kUnits; i += 9) answer(world.record(i), i);
    abortSurvey(world.context);
    startProtocolSurvey(world.context, StartMode::FRESH);
    for (int32_t i = 0; i < kUnits; i += 5) answer(world.record(i), i);
    abortSurvey(world.context);
    world.append(kReport, "stray bytes after the last section\r\n");
  }
  startProtocolSurvey(world.context,
              scenario == Scenario::RESUMED_SURVEY_IN_PLACE ? StartMode::RESUME : StartMode::FRESH);
  ASSERT_TRUE(surveyRunning(world.context));
  ASSERT_EQ(world.context.survey.reportOffset < 0, scenario != Scenario::RESUMED_SURVEY_IN_PLACE);
  for (int32_t i = 1; i < kUnits; i += 3) answer(world.record(i), i);
}

// The directory before a save and after a save without faults.
struct Reference {
  File oldReport, oldProgress, newReport, newProgress;
  int32_t offsetBefore = -1, offsetAfter = -1;
  std::vector<FileOperation> trace;
};

Reference cleanSave(bool posix, Scenario scenario) {
  World world(posix);
  prepare(world, scenario);
  Reference reference;
  reference.oldReport = world.get(kReport);
  reference.oldProgress = world.get(kProgress);
  reference.offsetBefore = world.context.survey.reportOffset;
  world.files.reset();
  EXPECT_TRUE(saveReport(world.context)) << "a save without faults reported a failure";
  reference.trace = world.files.trace;
  reference.newReport = world.get(kReport);
  reference.newProgress = world.get(kProgress);
  reference.offsetAfter = world.context.survey.reportOffset;
  return reference;
}

// Whether the report holds a section that starts after `offset`: one saved after the progress
// file was.
bool sectionAfter(const std::string& report, int32_t offset) {
  return report.find("\n" + std::string(REPORT_HEADER), static_cast<size_t>(offset)) !=
         std::string::npos;
}

// Resumes the survey the directory describes and saves it again without faults: a progress file
// that is there must be taken up with its offset and its finished units, and the save must
// rewrite that section in place, keep what stands before it and end the report after it; without
// a progress file, or with one older than the report's last section, the survey starts fresh and
// appends its section, so that no saved section is lost.
void resumeAndSaveAgain(World& world) {
  File progress = world.get(kProgress);
  const std::string reportBefore = world.get(kReport).value_or("");
  if (progress && sectionAfter(reportBefore, storedOffset(*progress))) progress.reset();
  world.files.reset();
  world.files.refuseNames.clear();
  startProtocolSurvey(world.context, StartMode::RESUME);
  ASSERT_TRUE(surveyRunning(world.context));
  const SurveyState& survey = world.context.survey;
  auto sectionStart = static_cast<int32_t>(reportBefore.size());
  if (progress) {
    ASSERT_EQ(progress->size(), PROGRESS_HEADER_SIZE + sizeof(DeviceRecord) * kUnits);
    sectionStart = storedOffset(*progress);
    ASSERT_GE(sectionStart, 0);
    EXPECT_EQ(survey.reportOffset, sectionStart) << "the saved survey is not the one resumed";
    int32_t wrong = 0;
    for (int32_t i = 0; i < kUnits; ++i) {
      const DeviceRecord saved = storedRecord(*progress, i);
      const DeviceRecord& restored = survey.deviceTable[i];
      const bool same = (saved.flags & COMPLETE) ? std::memcmp(&saved, &restored, sizeof saved) == 0
                                                 : !(restored.flags & COMPLETE);
      wrong += same ? 0 : 1;
    }
    EXPECT_EQ(wrong, 0) << "units restored otherwise than saved";
  } else {
    EXPECT_EQ(survey.reportOffset, -1)
        << "a survey without a progress file, or with one older than the report, must start fresh";
    int32_t finished = 0;
    for (int32_t i = 0; i < kUnits; ++i)
      finished += (survey.deviceTable[i].flags & COMPLETE) ? 1 : 0;
    EXPECT_EQ(finished, 0);
  }

  abortSurvey(world.context);
  const File saved = world.get(kProgress);
  ASSERT_TRUE(saved.has_value()) << "the save after the resume wrote no progress file";
  ASSERT_EQ(saved->size(), PROGRESS_HEADER_SIZE + sizeof(DeviceRecord) * kUnits);
  EXPECT_EQ(storedOffset(*saved), sectionStart);
  std::string expected = reportBefore.substr(0, static_cast<size_t>(sectionStart));
  expected.resize(static_cast<size_t>(sectionStart), '\0');
  expected += sectionOf(*saved);
  const File report = world.get(kReport);
  EXPECT_TRUE(report == expected) << "the report after the resumed save is not the kept bytes "
                                  << "and the section at " << sectionStart << ": " << show(report)
                                  << " for " << expected.size();
  EXPECT_FALSE(world.get(kTemporary).has_value()) << "temporary file left by the resumed save";
}

// How one faulted save must end, by the file and the step the fault hit.
enum class Outcome {
  NOTHING_SAVED,     // report neither opened nor created, or not placed: nothing changes at all
  REPORT_RECREATED,  // the report could not be opened but was created anew: its section at 0
  REPORT_CUT_BACK,   // the section did not land whole and was cut away; the progress file is new
  PROGRESS_KEPT,     // the progress file is not replaced: the old one stands, whole
  SAVED,             // the fault changed nothing: both files are the new ones
};

Outcome expectedOutcome(const FileOperation& operation, Fault fault) {
  // A clean save removes only a leftover under the temporary name, which is not there.
  if (operation.op == FileOp::REMOVE) return Outcome::SAVED;
  // Without a temporary file the progress file is written in place.
  if (operation.op == FileOp::CREATE_EXCLUSIVE && operation.name == kTemporary) return Outcome::SAVED;
  if (operation.name != kReport) return Outcome::PROGRESS_KEPT;
  switch (operation.op) {
    case FileOp::OPEN_FOR_WRITING:
      return Outcome::REPORT_RECREATED;
    case FileOp::WRITE:
      // A full disk stays full for the progress file too.
      return fault == Fault::DISK_FULL ? Outcome::PROGRESS_KEPT : Outcome::REPORT_CUT_BACK;
    case FileOp::TRUNCATE:
    case FileOp::CLOSE:
      return Outcome::REPORT_CUT_BACK;
    default:
      return Outcome::NOTHING_SAVED;
  }
}

std::vector<Fault> faultsOf(FileOp op) {
  switch (op) {
    case FileOp::WRITE:
      return {Fault::FAIL, Fault::SHORT, Fault::DISK_FULL};
    case FileOp::READ:
      return {Fault::FAIL, Fault::SHORT, Fault::GIVES_OUT};
    default:
      return {Fault::FAIL};
  }
}

class FileFaultsTest : public ::testing::TestWithParam<bool> {};

TEST_P(FileFaultsTest, EveryFaultAtEveryStepOfASaveKeepsTheFilesWhole) {
  int32_t cases = 0;
  for (Scenario scenario : kScenarios) {
    const Reference clean = cleanSave(GetParam(), scenario);
    ASSERT_TRUE(clean.newProgress.has_value()) << scenarioName(scenario);
    ASSERT_TRUE(clean.newReport.has_value()) << scenarioName(scenario);
    ASSERT_GE(clean.trace.size(), 10u) << scenarioName(scenario);
    const std::string oldPrefix =
        clean.oldReport.value_or("").substr(0, static_cast<size_t>(clean.offsetAfter));

    for (size_t step = 0; step < clean.trace.size(); ++step) {
      const FileOperation& operation = clean.trace[step];
      for (Fault fault : faultsOf(operation.op)) {
        SCOPED_TRACE(std::string(scenarioName(scenario)) + ", step " + std::to_string(step) + ": " +
                     fileOpName(operation.op) + " of " + operation.name + " " + faultName(fault));
        ++cases;
        World world(GetParam());
        prepare(world, scenario);
        ASSERT_TRUE(world.get(kProgress) == clean.oldProgress);
        world.files.reset();
        world.files.failAt(step, fault);
        const bool saved = saveReport(world.context);
        const Outcome outcome = expectedOutcome(operation, fault);
        // Saved means both files landed whole: a recreated report holds the whole section.
        EXPECT_EQ(saved, outcome == Outcome::SAVED || outcome == Outcome::REPORT_RECREATED)
            << "the save's result does not say what landed";
        EXPECT_EQ(world.context.survey.lastSaveSaved, saved);
        // Each file's result, and the reason of the very call that failed.
        const SaveOutcome& how = world.context.survey.lastSave;
        const bool reportLanded = outcome == Outcome::SAVED ||
                                  outcome == Outcome::REPORT_RECREATED ||
                                  (outcome == Outcome::PROGRESS_KEPT && operation.name != kReport);
        const bool progressLanded = outcome != Outcome::NOTHING_SAVED &&
                                    outcome != Outcome::PROGRESS_KEPT;
        EXPECT_EQ(how.reportSaved, reportLanded);
        EXPECT_EQ(how.progressSaved, progressLanded);
        EXPECT_STREQ(how.reportFailure, reportLanded ? "" : "an injected fault");
        EXPECT_STREQ(how.progressFailure, progressLanded                     ? ""
                                          : outcome == Outcome::NOTHING_SAVED ? PROGRESS_NOT_WRITTEN
                                                                              : "an injected fault");

        const File report = world.get(kReport);
        const File progress = world.get(kProgress);
        const int32_t offset = world.context.survey.reportOffset;
        EXPECT_TRUE(
            progress == clean.oldProgress || progress == clean.newProgress ||
            (progress && clean.newProgress && progress->substr(4) == clean.newProgress->substr(4)))
            << "torn progress file: " << show(progress);
        EXPECT_FALSE(world.get(kTemporary).has_value()) << "temporary file left behind";
        EXPECT_LE(world.entries().size(), 3u) << "stray file left behind";

        switch (outcome) {
          case Outcome::NOTHING_SAVED:
            EXPECT_TRUE(report == clean.oldReport) << show(report);
            EXPECT_TRUE(progress == clean.oldProgress) << show(progress);
            EXPECT_EQ(offset, clean.offsetBefore);
            break;
          case Outcome::REPORT_RECREATED: {
            EXPECT_TRUE(report == clean.newReport->substr(static_cast<size_t>(clean.offsetAfter)))
                << show(report);
            std::string recreated = *clean.newProgress;
            std::fill_n(recreated.begin(), 4, '\0');
            EXPECT_TRUE(progress == recreated) << show(progress);
            EXPECT_EQ(offset, 0);
            break;
          }
          case Outcome::REPORT_CUT_BACK:
            EXPECT_TRUE(report == oldPrefix) << "not cut back to the section's start: "
                                             << show(report) << " for " << oldPrefix.size();
            EXPECT_TRUE(progress == clean.newProgress) << show(progress);
            EXPECT_EQ(offset, clean.offsetAfter);
            break;
          case Outcome::PROGRESS_KEPT:
            if (operation.name == kReport) {  // the disk filled up inside the report
              EXPECT_TRUE(report == oldPrefix) << "not cut back: " << show(report);
            } else {
              EXPECT_TRUE(report == clean.newReport) << show(report);
            }
            EXPECT_TRUE(progress == clean.oldProgress) << show(progress);
            EXPECT_EQ(offset, clean.offsetAfter);
            break;
          case Outcome::SAVED:
            EXPECT_TRUE(report == clean.newReport) << show(report);
            EXPECT_TRUE(progress == clean.newProgress) << show(progress);
            EXPECT_EQ(offset, clean.offsetAfter);
            break;
        }
        resumeAndSaveAgain(world);
      }
    }
  }
  RecordProperty("faulted_saves", cases);
  EXPECT_GT(cases, 60);
}

TEST_P(FileFaultsTest, ACrashAtAnyStepOfASaveLeavesTheOldOrTheNewProgressFile) {
  for (Scenario scenario : kScenarios) {
    SCOPED_TRACE(scenarioName(scenario));
    World world(GetParam());
    prepare(world, scenario);
    const File oldProgress = world.get(kProgress);
    std::vector<File> seen;  // the progress file as a crash before each step would leave it
    world.files.reset();
    world.files.beforeEach = [&](size_t) { seen.push_back(world.get(kProgress)); };
    saveReport(world.context);
    world.files.beforeEach = nullptr;
    const File newProgress = world.get(kProgress);
    ASSERT_TRUE(newProgress.has_value());
    ASSERT_FALSE(newProgress == oldProgress);
    ASSERT_EQ(seen.size(), world.files.trace.size());
    for (size_t step = 0; step < seen.size(); ++step) {
      EXPECT_TRUE(seen[step] == oldProgress || seen[step] == newProgress)
          << "before step " << step << " (" << fileOpName(world.files.trace[step].op) << " of "
          << world.files.trace[step].name << "): " << show(seen[step]);
    }
  }
}

TEST_P(FileFaultsTest, AResumeThatCannotReadTheProgressFileStartsFreshCleanly) {
  World world(GetParam());
  prepare(world, Scenario::RESUMED_SURVEY_IN_PLACE);
  abortSurvey(world.context);
  const std::string progress = *world.get(kProgress);
  const std::string report = *world.get(kReport);
  // What a fresh start makes of the rows; its section goes again, as it is not what is resumed.
  startProtocolSurvey(world.context, StartMode::FRESH);
  const std::vector<DeviceRecord> fresh(world.context.survey.deviceTable.get(),
                                        world.context.survey.deviceTable.get() + kUnits);
  const std::vector<std::string> freshRows = world.list.rows();
  abortSurvey(world.context);
  world.put(kProgress, progress);
  world.put(kReport, report);

  world.files.reset();
  startProtocolSurvey(world.context, StartMode::RESUME);
  const std::vector<FileOperation> trace = world.files.trace;
  ASSERT_EQ(world.context.survey.reportOffset, storedOffset(progress));
  abortSurvey(world.context);
  world.put(kProgress, progress);
  // The start locks the list's report before it reads anything; the reader alone does not.
  size_t lockSteps = 0;
  for (size_t step = 0; step < trace.size(); ++step) {
    if (trace[step].op == FileOp::LOCK) ++lockSteps;
    for (Fault fault : faultsOf(trace[step].op)) {
      SCOPED_TRACE("step " + std::to_string(step) + ": " + fileOpName(trace[step].op) + " " +
                   faultName(fault));
      // A read in pieces must still take the file. A report that cannot be read cannot show a
      // later section, so the file is taken as it is; nor can a report that cannot be locked.
      const bool accepted = fault == Fault::SHORT || trace[step].name == kReport;
      // The reader alone: a refused file leaves the table and the offset as they were.
      SurveyState& survey = world.context.survey;
      survey.deviceTable.reset(allocateDeviceTable(kUnits));
      survey.deviceCount = kUnits;
      survey.reportOffset = -1;
      world.files.reset();
      if (trace[step].op != FileOp::LOCK) world.files.failAt(step - lockSteps, fault);
      EXPECT_EQ(loadProgress(world.context), accepted);
      if (!accepted) {
        EXPECT_EQ(survey.reportOffset, -1);
        const DeviceRecord zero{};
        int32_t touched = 0;
        for (int32_t i = 0; i < kUnits; ++i) {
          touched += std::memcmp(&survey.deviceTable[i], &zero, sizeof zero) != 0 ? 1 : 0;
        }
        EXPECT_EQ(touched, 0) << "records changed by a refused file";
      }
      survey.deviceTable.reset();
      survey.deviceCount = 0;

      // The whole start.
      world.files.reset();
      world.chooseList();
      world.files.reset();
      world.files.failAt(step, fault);
      startProtocolSurvey(world.context, StartMode::RESUME);
      ASSERT_TRUE(surveyRunning(world.context));
      if (accepted) {
        EXPECT_EQ(world.context.survey.reportOffset, storedOffset(progress));
      } else {
        EXPECT_EQ(world.context.survey.reportOffset, -1);
        EXPECT_EQ(std::memcmp(world.context.survey.deviceTable.get(), fresh.data(),
                              sizeof(DeviceRecord) * kUnits),
                  0)
            << "a refused file left traces in the table";
        EXPECT_TRUE(world.list.rows() == freshRows);
      }
      world.files.reset();
      abortSurvey(world.context);
      world.put(kProgress, progress);
      world.put(kReport, report);
    }
  }
}

// Faults a single failing step cannot make, and directory entries in the way of the save.
TEST_P(FileFaultsTest, EntriesInTheWayAndFaultsThatLast) {
  enum class Left { OLD, NEW, NONE };
  struct Case {
    const char* why;
    std::function<void(World&)> fault;
    bool posixOnly;
    bool reportSaved;
    Left progress;
    bool temporaryLeft;
  };
  const Case cases[] = {
      {"the report can be neither opened nor created",
       [](World& world) { world.files.refuseNames.insert(kReport); }, false, false, Left::OLD,
       false},
      {"a folder has the temporary file's name: written in place",
       [](World& world) { world.makeFolder(kTemporary); }, false, true, Left::NEW, false},
      {"a stale temporary file from an earlier crash",
       [](World& world) { world.put(kTemporary, "left by a crash"); }, false, true, Left::NEW,
       false},
      {"a folder has the progress file's name",
       [](World& world) {
         world.remove(kProgress);
         world.makeFolder(kProgress);
       },
       false, true, Left::NONE, false},
      {"neither rename nor removal of the temporary file works",
       [](World& world) {
         world.files.failEvery.insert(FileOp::RENAME);
         world.files.failEvery.insert(FileOp::REMOVE);
       },
       false, true, Left::OLD, true},
      {"a link to another file has the temporary file's name",
       [](World& world) {
         world.put("elsewhere", "not the tool's");
         if (::symlink("elsewhere", (world.directory() / kTemporary).c_str()) != 0) {
           ADD_FAILURE() << "symlink: " << std::strerror(errno);
         }
       },
       true, true, Left::NEW, false},
  };
  for (const Case& c : cases) {
    if (c.posixOnly && !GetParam()) continue;
    SCOPED_TRACE(c.why);
    const Reference clean = cleanSave(GetParam(), Scenario::RESUMED_SURVEY_IN_PLACE);
    World world(GetParam());
    prepare(world, Scenario::RESUMED_SURVEY_IN_PLACE);
    world.files.reset();
    c.fault(world);
    saveReport(world.context);
    world.files.failEvery.clear();

    const File report = world.get(kReport);
    EXPECT_TRUE(report == (c.reportSaved ? clean.newReport : clean.oldReport)) << show(report);
    const File progress = world.get(kProgress);
    const File expected = c.progress == Left::OLD   ? clean.oldProgress
                          : c.progress == Left::NEW ? clean.newProgress
                                                    : File();
    EXPECT_TRUE(progress == expected) << show(progress);
    const File temporary = world.get(kTemporary);
    if (c.temporaryLeft) {
      EXPECT_TRUE(temporary == clean.newProgress) << "what the rename would have put in place";
    } else {
      EXPECT_FALSE(temporary.has_value()) << show(temporary);
    }

    if (c.progress == Left::NONE) {
      // A folder where the progress file belongs: every resume starts fresh and appends.
      const size_t before = report->size();
      startProtocolSurvey(world.context, StartMode::RESUME);
      EXPECT_EQ(world.context.survey.reportOffset, -1);
      abortSurvey(world.context);
      const File after = world.get(kReport);
      ASSERT_TRUE(after.has_value());
      EXPECT_EQ(after->substr(0, before), *report);
      EXPECT_EQ(after->substr(before, std::string(REPORT_HEADER).size()), REPORT_HEADER);
      EXPECT_FALSE(world.get(kTemporary).has_value());
    } else {
      resumeAndSaveAgain(world);
    }
    if (c.posixOnly) {
      EXPECT_TRUE(world.get("elsewhere") == File("not the tool's")) << "the link's target";
    }
  }
}

TEST(FileFaultsOnDisk, AReadOnlyReportSavesNothing) {
  const std::string skipped = runUnprivileged([] {
    World world(true);
    prepare(world, Scenario::RESUMED_SURVEY_IN_PLACE);
    ASSERT_EQ(::chmod((world.directory() / kReport).c_str(), 0444), 0);
    const File oldReport = world.get(kReport);
    const File oldProgress = world.get(kProgress);
    const int32_t offset = world.context.survey.reportOffset;
    EXPECT_FALSE(saveReport(world.context));
    EXPECT_TRUE(world.get(kReport) == oldReport);
    EXPECT_TRUE(world.get(kProgress) == oldProgress);
    EXPECT_FALSE(world.get(kTemporary).has_value());
    EXPECT_EQ(world.context.survey.reportOffset, offset);
  });
  if (!skipped.empty()) GTEST_SKIP() << skipped;
}

mode_t modeOf(const std::filesystem::path& path) {
  struct stat status = {};
  return ::stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

// A folder or a progress file the user has protected, after a first save.
struct Protection {
  const char* what;
  std::function<void(World&)> protect;
  bool progressSaved;   // whether the second save replaces the progress file
  mode_t progressMode;  // on disk, after the second save; 0: not looked at
};

void chmodIn(const World& world, const char* name, mode_t mode) {
  ASSERT_EQ(::chmod((world.directory() / name).c_str(), mode), 0) << std::strerror(errno);
}

MemoryFileSystem& memoryOf(World& world) { return dynamic_cast<MemoryFileSystem&>(world.base()); }

// Two fresh surveys of the list with the protection in between, then a resume.
void saveUnderProtection(bool posix, const Protection& c) {
  World world(posix);
  world.dialog.serverField = "127.0.0.1";
  world.chooseList();
  startProtocolSurvey(world.context, StartMode::FRESH);
  for (int32_t i = 0; i < kUnits; i += 7) answer(world.record(i), i);
  ASSERT_TRUE(abortSurvey(world.context));
  c.protect(world);
  const std::string firstReport = *world.get(kReport);
  const std::string firstProgress = *world.get(kProgress);

  // A fresh survey appends its section.
  startProtocolSurvey(world.context, StartMode::FRESH);
  for (int32_t i = 1; i < kUnits; i += 5) answer(world.record(i), i);
  EXPECT_EQ(abortSurvey(world.context), c.progressSaved);
  const std::string report = *world.get(kReport);
  const std::string progress = *world.get(kProgress);
  EXPECT_EQ(report.substr(0, firstReport.size()), firstReport) << "the first section changed";
  EXPECT_TRUE(sectionAfter(report, 0)) << "the second survey saved no section";
  if (c.progressSaved) {
    EXPECT_EQ(storedOffset(progress), static_cast<int32_t>(firstReport.size()));
  } else {
    EXPECT_TRUE(progress == firstProgress) << "a progress file the user may not write changed";
  }
  if (posix && c.progressMode != 0) {
    EXPECT_EQ(modeOf(world.directory() / kProgress), c.progressMode);
  }
  EXPECT_FALSE(world.get(kTemporary).has_value());

  // The resume continues the survey the progress file describes only when that is the last
  // section; either way every section saved so far stays.
  startProtocolSurvey(world.context, StartMode::RESUME);
  EXPECT_EQ(world.context.survey.reportOffset,
            c.progressSaved ? static_cast<int32_t>(firstReport.size()) : -1);
  abortSurvey(world.context);
  const std::string resumed = *world.get(kReport);
  if (c.progressSaved) {
    EXPECT_TRUE(resumed == report) << "the resumed save did not rewrite its own section";
  } else {
    EXPECT_TRUE(resumed.substr(0, report.size()) == report) << "a saved section was cut away";
    EXPECT_TRUE(sectionAfter(resumed, static_cast<int32_t>(report.size()) - 1));
  }
  if (posix) chmodIn(world, ".", 0755);  // so that the folder can be removed
}

// Folders and progress files the user has protected. A save writes the progress file in place
// when no new file can be made beside it, never replaces one the user may not write, keeps its
// access rights, and never leaves a progress file older than the report's last section for a
// resume to cut that section away.
TEST_P(FileFaultsTest, ProtectedFoldersAndProgressFilesLoseNoSection) {
  const Protection cases[] = {
      {"a folder that takes no new files",
       [](World& world) {
         if (world.posix()) return chmodIn(world, ".", 0555);
         memoryOf(world).refuseCreating.insert(kTemporary);
       },
       true, 0},
      {"a progress file the user may not write",
       [](World& world) {
         if (world.posix()) return chmodIn(world, kProgress, 0444);
         memoryOf(world).refuseWriting.insert(kProgress);
         memoryOf(world).refuseCreating.insert(kProgress);
       },
       false, 0444},
      {"a progress file only its owner may read",
       [](World& world) {
         if (world.posix()) chmodIn(world, kProgress, 0600);
       },
       true, 0600},
  };
  for (const Protection& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string skipped = runUnprivileged([&] { saveUnderProtection(GetParam(), c); });
    if (!skipped.empty()) GTEST_SKIP() << skipped;
  }
}

// The in-memory disk must give back the space of a file replaced by a rename, removed or cut, as
// a real one does; otherwise repeated saves on a nearly full disk fail in tests where they would
// succeed on a real disk.
TEST(FileFaultsInMemory, SavesOnANearlyFullDiskKeepSucceeding) {
  World world(false);
  prepare(world, Scenario::FIRST_SAVE);
  saveReport(world.context);
  const size_t progressSize = world.get(kProgress)->size();
  auto& disk = dynamic_cast<MemoryFileSystem&>(world.base());
  // Room for one more temporary progress file and a little more: each save rewrites the report in
  // place at the same size and replaces the progress file.
  disk.spaceLeft = static_cast<int64_t>(progressSize) + 100;
  for (int save = 1; save <= 4; ++save) {
    SCOPED_TRACE("save " + std::to_string(save));
    for (int32_t i = 0; i < kUnits; i += 2) world.record(i).lastSent = static_cast<uint32_t>(save);
    const File before = world.get(kProgress);
    saveReport(world.context);
    const File after = world.get(kProgress);
    ASSERT_TRUE(after.has_value());
    EXPECT_FALSE(after == before) << "the progress file was not replaced";
    EXPECT_EQ(disk.spaceLeft, static_cast<int64_t>(progressSize) + 100);
  }
  world.remove(kProgress);
  EXPECT_EQ(disk.spaceLeft, 2 * static_cast<int64_t>(progressSize) + 100) << "removed";
}

INSTANTIATE_TEST_SUITE_P(Both, FileFaultsTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& param) {
                           return param.param ? "PosixDirectory" : "Memory";
                         });

}  // namespace
}  // namespace vyr::testing
