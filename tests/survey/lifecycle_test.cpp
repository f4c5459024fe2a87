// Catches surveys that start from the wrong table (fresh instead of resumed or the reverse), rows
// left in the wrong form, a dialog left in the wrong state, and ends of a survey that save or
// release wrongly.

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/survey_driver.h"
#include "support/survey_fixture.h"
#include "survey/report_files.h"
#include "survey/row_forms.h"

namespace vyr::testing {
namespace {

using Rows = std::vector<std::string>;

// Stores what a unit's replies would, so that its record is finished.
void answer(DeviceRecord& record, const char* id, uint32_t serial) {
  setFieldText(record.id, id);
  record.serial = serial;
  record.biosVersion = 101;
  setFieldText(record.application, "APP");
  record.appVersion = 200;
  setFieldText(record.modemId, "MX");
  setFieldText(record.esn, "E1");
  record.flags |= COMPLETE;
}

struct LifecycleTest : SurveyFixture {
  bool idle() {
    return dialog.exitCaption == "E&xit" && dialog.enabled[SERVER_FIELD] &&
           dialog.enabled[NEW_BUTTON] && dialog.enabled[RESUME_BUTTON] &&
           dialog.enabled[LIST_SELECTOR];
  }
  bool busy() {
    return dialog.exitCaption == "Abort" && !dialog.enabled[SERVER_FIELD] &&
           !dialog.enabled[NEW_BUTTON] && !dialog.enabled[RESUME_BUTTON] &&
           !dialog.enabled[LIST_SELECTOR] && dialog.focus == EXIT_BUTTON;
  }
  // Report sections saved so far: the header lines in the report.
  int sections() {
    std::string report = file("north.model");
    int count = 0;
    for (size_t at = report.find(REPORT_HEADER); at != std::string::npos;
         at = report.find(REPORT_HEADER, at + 1)) {
      ++count;
    }
    return count;
  }
};

const char* kList = "10.0.0.1 ; gate\r\nA17/501\r\n10.0.0.300\r\n";

TEST_F(LifecycleTest, NothingStartsWithoutRowsOrWithoutMemory) {
  EXPECT_FALSE(startProtocolSurvey(context, StartMode::FRESH));
  EXPECT_FALSE(surveyRunning(context));
  EXPECT_TRUE(idle());

  chooseList("north.IPs", kList);
  context.allocateTable = [](int32_t) -> DeviceRecord* { return nullptr; };
  EXPECT_FALSE(pressStart(context, StartMode::RESUME)) << "a start without its table reported";
  EXPECT_FALSE(surveyRunning(context));
  EXPECT_EQ(context.sendQueue.head, nullptr);
  EXPECT_TRUE(idle());
  EXPECT_EQ(dialog.focus, 0);
  EXPECT_EQ(list.rows(), (Rows{"10.0.0.1", " 0.0.0.0\t501\tA17", "10.0.0.300"}))
      << "rows untouched";
}

TEST_F(LifecycleTest, RowsAlreadyInTheirFormAreNotRedrawn) {
  chooseList("north.IPs", kList);
  int before = list.redraws;
  startProtocolSurvey(context, StartMode::FRESH);
  EXPECT_EQ(list.redraws, before) << "the fresh build rewrote identical rows";
  abortSurvey(context);
  startProtocolSurvey(context, StartMode::RESUME);
  EXPECT_EQ(list.redraws, before + 1) << "only the resumed 10.0.0.300 row shows as 10.0.0.44";
}

TEST_F(LifecycleTest, ServerFieldGivesTheServerAddress) {
  struct Case {
    const char* field;
    std::vector<uint8_t> ip;  // empty: no server
  };
  const Case cases[] = {
      {"127.0.0.1", {127, 0, 0, 1}},
      {" 10.0.0.5 main", {10, 0, 0, 5}},
      {"300.1.2.3", {44, 1, 2, 3}},
      {"-1.0.0.1", {255, 0, 0, 1}},
      {"1.2.3", {}},
      {"", {}},
      {"a.b.c.d", {}},
  };
  chooseList("north.IPs", kList);
  for (const Case& c : cases) {
    dialog.serverField = c.field;
    startProtocolSurvey(context, StartMode::FRESH);
    SocketAddress expected{};
    if (!c.ip.empty()) setSocketAddress(expected, c.ip.data(), SERVER_PORT);
    EXPECT_EQ(std::memcmp(&context.survey.serverAddress, &expected, sizeof expected), 0) << c.field;
    abortSurvey(context);
  }
}

TEST_F(LifecycleTest, FreshBuildMakesRecordsFromRowsAndListedRows) {
  chooseList("north.IPs", "10.0.0.300\r\n  ABC/77\r\nAB CD/5\r\n  /6\r\n");
  ASSERT_EQ(list.rows(),
            (Rows{"10.0.0.300", " 0.0.0.0\t77\t  ABC", " 0.0.0.0\t5\tAB CD", " 0.0.0.0\t6\t  "}));
  startProtocolSurvey(context, StartMode::RESUME);  // no progress file: fresh
  ASSERT_TRUE(surveyRunning(context));
  EXPECT_TRUE(busy());
  EXPECT_EQ(context.survey.deviceCount, 4);
  EXPECT_EQ(context.survey.reportOffset, -1);
  // An ID with white space keeps its first word only; one of white space only becomes empty.
  EXPECT_EQ(list.rows(),
            (Rows{"10.0.0.300", " 0.0.0.0\t77\tABC", " 0.0.0.0\t5\tAB", " 0.0.0.0\t6\t"}));

  DeviceRecord address = makeRecord({10, 0, 0, 44}, 0, "", 0, "", 0, 0, "", "", 0);
  EXPECT_EQ(std::memcmp(&record(0), &address, sizeof address), 0)
      << "low eight bits of each number";
  DeviceRecord serial{};
  serial.serial = 77;
  setFieldText(serial.id, "ABC");
  serial.flags = BY_SERIAL;
  EXPECT_EQ(std::memcmp(&record(1), &serial, sizeof serial), 0) << "all sixteen address bytes zero";
  EXPECT_EQ(fieldText(record(3).id), "");
  EXPECT_EQ(record(3).serial, 6u);

  // The rewritten rows scan the same way at a resume, so the saved survey is taken up again.
  abortSurvey(context);
  startProtocolSurvey(context, StartMode::RESUME);
  EXPECT_EQ(context.survey.reportOffset, 0) << "a white-space ID failed the resume's check";
  EXPECT_EQ(fieldText(record(1).id), "ABC");
  EXPECT_EQ(fieldText(record(2).id), "AB");
  EXPECT_EQ(list.rows(), (Rows{"10.0.0.44", " 0.0.0.0\t77\tABC", " 0.0.0.0\t5\tAB", " 0.0.0.0"}));
}

TEST_F(LifecycleTest, AbortSavesAndResumeContinuesTheSameSection) {
  chooseList("north.IPs", kList);
  dialog.serverField = "127.0.0.1";
  startProtocolSurvey(context, StartMode::FRESH);
  answer(record(0), "GATE", 900);
  const uint8_t located[4] = {10, 9, 9, 9};
  setSocketAddress(record(1).address, located, DEVICE_PORT);  // located, not yet complete
  record(1).flags |= RLE_OK;
  list.replaceRow(0, completeRow(record(0)).text);
  list.replaceRow(1, locatedRow(record(1)).text);

  const uint8_t node[2] = {0x64, 0x00};
  enqueueDatagram(context, record(2).address, node, 2, 2);
  ASSERT_NE(context.sendQueue.head, nullptr);
  abortSurvey(context);
  EXPECT_EQ(context.sendQueue.head, nullptr) << "abort drops what is queued";
  EXPECT_FALSE(surveyRunning(context));
  EXPECT_TRUE(idle());
  EXPECT_EQ(dialog.beeps, 0);
  EXPECT_EQ(sections(), 1);

  startProtocolSurvey(context, StartMode::RESUME);
  ASSERT_TRUE(surveyRunning(context));
  EXPECT_EQ(context.survey.reportOffset, 0);
  EXPECT_EQ(fieldText(record(0).id), "GATE") << "restored, not rebuilt";
  EXPECT_TRUE(addressIsZero(record(1).address)) << "an unfinished serial unit is located again";
  EXPECT_EQ(portOf(record(1).address), DEVICE_PORT);
  EXPECT_EQ(list.rows(), (Rows{"10.0.0.1\t900\tGATE\t1.01\tAPP\t2.00\tMX\tE1", " 0.0.0.0\t501\tA17",
                               "10.0.0.44"}));

  answer(record(1), "A17", 501);
  answer(record(2), "X", 3);
  checkComplete(context);
  EXPECT_FALSE(surveyRunning(context));
  EXPECT_EQ(dialog.beeps, 1);
  EXPECT_TRUE(idle());
  EXPECT_EQ(sections(), 1) << "the section was rewritten in place";

  startProtocolSurvey(context, StartMode::FRESH);
  EXPECT_EQ(list.rows(), (Rows{"10.0.0.1", " 0.0.0.0\t501\tA17", "10.0.0.44"}))
      << "N always starts fresh";
  closeSurvey(context);
  EXPECT_EQ(sections(), 2) << "and its save appends a section";
  EXPECT_FALSE(surveyRunning(context));
}

TEST_F(LifecycleTest, ResumeChecksEveryRowAgainstTheRestoredRecords) {
  struct Case {
    const char* why;
    const char* listAtResume;
    bool resumed;
  };
  const Case cases[] = {
      {"same list chosen again", kList, true},
      {"an address differs", "10.0.0.2\r\nA17/501\r\n10.0.0.300\r\n", false},
      {"a serial differs", "10.0.0.1\r\nA17/502\r\n10.0.0.300\r\n", false},
      {"an ID differs", "10.0.0.1\r\nA18/501\r\n10.0.0.300\r\n", false},
      {"address row where a serial row was", "10.0.0.1\r\n10.0.0.2\r\n10.0.0.300\r\n", false},
      {"serial row where an address row was", "B/1\r\nA17/501\r\n10.0.0.300\r\n", false},
  };
  for (const Case& c : cases) {
    files = MemoryFileSystem();
    chooseList("north.IPs", kList);
    startProtocolSurvey(context, StartMode::FRESH);
    record(0).lastSent = 1234;
    abortSurvey(context);
    chooseList("north.IPs", c.listAtResume);
    startProtocolSurvey(context, StartMode::RESUME);
    EXPECT_EQ(context.survey.reportOffset, c.resumed ? 0 : -1) << c.why;
    EXPECT_EQ(record(0).lastSent, c.resumed ? 1234u : 0u) << c.why;
    abortSurvey(context);
  }
}

TEST_F(LifecycleTest, ResumeOfAFinishedSurveyFinishesAtOnce) {
  chooseList("north.IPs", "10.0.0.1\r\nA/1\r\n");
  startProtocolSurvey(context, StartMode::FRESH);
  answer(record(0), "X", 7);
  answer(record(1), "A", 1);
  const uint8_t ip[4] = {10, 2, 2, 2};
  setSocketAddress(record(1).address, ip, DEVICE_PORT);
  closeSurvey(context);
  EXPECT_EQ(dialog.beeps, 0);

  chooseList("north.IPs", "10.0.0.1\r\nA/1\r\n");
  startProtocolSurvey(context, StartMode::RESUME);
  EXPECT_FALSE(surveyRunning(context));
  EXPECT_EQ(dialog.beeps, 1);
  EXPECT_TRUE(idle());
  EXPECT_EQ(sections(), 1);
  EXPECT_EQ(list.rows()[1], " 10.2.2.2\t1\tA\t1.01\tAPP\t2.00\tMX\tE1")
      << "a finished serial unit keeps its address";
}

// A front-end that reports the units sees each survey's last table once, after its save: a
// survey that completes ends deep inside the socket drain, where nothing else can catch it.
TEST_F(LifecycleTest, EveryEndShowsTheTableOnceAfterItsSave) {
  struct Seen {
    int32_t count;
    std::string firstId;
    bool savedBefore;
    bool reportThere;
  };
  std::vector<Seen> seen;
  context.tableReleasing = [&](const SurveyState& survey) {
    seen.push_back({survey.deviceCount, std::string(fieldText(survey.deviceTable[0].id)),
                    survey.lastSaveSaved, files.contents("north.model") != nullptr});
  };
  chooseList("north.IPs", "10.0.0.1\r\nA/1\r\n");
  const struct {
    const char* name;
    bool (*end)(SurveyContext&);
  } ends[] = {{"stop", stopSurvey}, {"close", closeSurvey}};
  for (const auto& end : ends) {
    SCOPED_TRACE(end.name);
    seen.clear();
    files.remove("north.model");
    ASSERT_TRUE(startProtocolSurvey(context, StartMode::FRESH));
    EXPECT_TRUE(seen.empty()) << "no table to release at the start";
    setFieldText(record(0).id, "X");
    EXPECT_TRUE(end.end(context));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].count, 2);
    EXPECT_EQ(seen[0].firstId, "X");
    EXPECT_TRUE(seen[0].savedBefore);
    EXPECT_TRUE(seen[0].reportThere);
    EXPECT_FALSE(end.end(context)) << "nothing running";
    EXPECT_EQ(seen.size(), 1u);
  }
  seen.clear();
  ASSERT_TRUE(startProtocolSurvey(context, StartMode::FRESH));
  answer(record(0), "X", 7);
  answer(record(1), "A", 1);
  checkComplete(context);
  ASSERT_EQ(seen.size(), 1u) << "completion";
  EXPECT_TRUE(seen[0].savedBefore);
}

TEST_F(LifecycleTest, HandMadeProgressFileIsReadWithinItsFields) {
  // Text fields without their NUL and flags the tool never sets: the rows, the check and the
  // report must stay within each field.
  chooseList("north.IPs", "AAAAAAAA/5\r\n");
  DeviceRecord forged{};
  std::memset(&forged, 'A', sizeof forged);
  forged.serial = 5;
  forged.flags = 0xF9;
  forged.biosVersion = 0;
  forged.versionSuffix = 0;
  std::string progress("\0\0\0\0\1\0\0\0", 8);
  progress.append(reinterpret_cast<const char*>(&forged), sizeof forged);
  files.setContents("north.soFar", progress);

  startProtocolSurvey(context, StartMode::RESUME);
  ASSERT_EQ(context.survey.reportOffset, 0) << "the row matches the eight characters of the ID";
  EXPECT_EQ(record(0).flags, BY_SERIAL);
  EXPECT_EQ(list.rows(), (Rows{" 0.0.0.0\t5\tAAAAAAAA"}));
  abortSurvey(context);
  EXPECT_EQ(file("north.model"), std::string(REPORT_HEADER) +
                                     "0.0.0.0\t5\tAAAAAAAA\t0.00\tAAAAAAAA\t167.05\t" +
                                     std::string(29, 'A') + "\t" + std::string(13, 'A') + "\r\n");
}

// The command asks for a start to be refused when its files cannot be written: nothing at all may
// change then. The dialog does not ask, and its survey runs and fails to save, saying why.
TEST_F(LifecycleTest, AStartThatCouldNotSaveIsRefusedOnlyWhenAskedAndChangesNothing) {
  struct Case {
    const char* why;
    std::function<void(MemoryFileSystem&)> fault;
    const char* problem;  // "": the start goes ahead
    const char* reportFailure;
    const char* progressFailure;
  };
  const Case cases[] = {
      {"the report is a link", [](MemoryFileSystem& f) { f.makeLink("north.model"); },
       "north.model: a symbolic link", "a symbolic link", PROGRESS_NOT_WRITTEN},
      {"the report may not be written",
       [](MemoryFileSystem& f) {
         f.setContents("north.model", "kept");
         f.refuseWriting.insert("north.model");
       },
       "north.model: Permission denied", "Permission denied", PROGRESS_NOT_WRITTEN},
      {"the progress file may not be replaced",
       [](MemoryFileSystem& f) {
         f.setContents("north.soFar", "kept");
         f.refuseWriting.insert("north.soFar");
       },
       "north.soFar: Permission denied", "", "Permission denied"},
      {"no temporary file, and no progress file can be made",
       [](MemoryFileSystem& f) {
         f.refuseCreating.insert("north.soFar.tmp");
         f.refuseCreating.insert("north.soFar");
       },
       "north.soFar: Permission denied", "", "Permission denied"},
      {"no temporary file, the progress file is written in place",
       [](MemoryFileSystem& f) {
         f.refuseCreating.insert("north.soFar.tmp");
         f.setContents("north.soFar", "kept");
       },
       "", "", ""},
      {"no temporary file, but a progress file can be made",
       [](MemoryFileSystem& f) { f.refuseCreating.insert("north.soFar.tmp"); }, "", "", ""},
      {"a temporary file left by a crash",
       [](MemoryFileSystem& f) { f.setContents("north.soFar.tmp", "kept"); }, "", "", ""},
  };
  for (const Case& c : cases) {
    for (const bool ask : {true, false}) {
      SCOPED_TRACE(std::string(c.why) + (ask ? ", checked" : ", not checked"));
      files = MemoryFileSystem();
      chooseList("north.IPs", kList);
      c.fault(files);
      context.refuseUnsavableStart = ask;
      std::vector<std::pair<std::string, std::string>> before;
      for (const std::string& name : files.fileNames()) before.emplace_back(name, file(name));
      const Rows rows = list.rows();
      const uint32_t surveys = context.survey.surveyNumber;

      const bool refused = ask && c.problem[0] != '\0';
      EXPECT_EQ(pressStart(context, StartMode::RESUME), !refused);
      if (refused) {
        EXPECT_EQ(context.survey.startRefusal, StartRefusal::CANNOT_SAVE);
        EXPECT_STREQ(context.survey.startProblem, c.problem);
        EXPECT_FALSE(surveyRunning(context));
        EXPECT_TRUE(idle());
        EXPECT_EQ(list.rows(), rows);
        EXPECT_EQ(context.sendQueue.head, nullptr) << "a refused start asked the units";
        EXPECT_EQ(context.survey.surveyNumber, surveys);
        EXPECT_FALSE(files.locked("north.model"));
        std::vector<std::pair<std::string, std::string>> after;
        for (const std::string& name : files.fileNames()) after.emplace_back(name, file(name));
        EXPECT_EQ(after, before) << "a refused start changed the files";
        continue;
      }
      EXPECT_EQ(context.survey.startRefusal, StartRefusal::NONE);
      EXPECT_EQ(abortSurvey(context), c.reportFailure[0] == '\0' && c.progressFailure[0] == '\0');
      EXPECT_STREQ(context.survey.lastSave.reportFailure, c.reportFailure);
      EXPECT_STREQ(context.survey.lastSave.progressFailure, c.progressFailure);
    }
  }
  context.refuseUnsavableStart = false;
}

// The survey's files are those of the list chosen at its start, whatever the selector shows when
// it ends; and while it runs no other survey, of this dialog or another, takes that list's report.
TEST_F(LifecycleTest, TheListOfTheStartIsSavedAndHeldUntilItsSurveyEnds) {
  MemoryDialog otherDialog;
  MemoryListView otherList;
  SurveyContext other(files, otherDialog, otherList);
  files.setContents("south.IPs", "10.0.0.9\r\n");
  files.setContents("north.ips", "10.0.0.8\r\n");
  struct Case {
    const char* why;
    std::function<void()> changeSelector;
    bool (*end)(Context&);
  };
  const Case cases[] = {
      {"selector cleared, then an abort",
       [&] {
         dialog.selectorItems = {""};
         dialog.select(0);
       },
       abortSurvey},
      {"another list chosen, then a close",
       [&] { chooseListNamed(context, dialog, "south.IPs"); },
       [](Context& c) { return closeSurvey(c); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    files.remove("north.model");
    files.remove("north.soFar");
    chooseList("north.IPs", kList);
    ASSERT_TRUE(startProtocolSurvey(context, StartMode::FRESH));
    c.changeSelector();

    // Another survey of the same report is refused, under either list name; another list is not.
    const struct {
      const char* list;
      bool busy;
    } others[] = {{"north.IPs", true}, {"north.ips", true}, {"south.IPs", false}};
    for (const auto& o : others) {
      SCOPED_TRACE(o.list);
      ASSERT_TRUE(chooseListNamed(other, otherDialog, o.list));
      EXPECT_EQ(startSurvey(other, StartMode::FRESH), !o.busy);
      EXPECT_EQ(other.survey.startRefusal, o.busy ? StartRefusal::LIST_BUSY : StartRefusal::NONE);
      closeSurvey(other);
    }
    files.remove("south.model");
    files.remove("south.soFar");

    EXPECT_TRUE(c.end(context));
    EXPECT_EQ(sections(), 1) << "the start's list was not saved";
    EXPECT_EQ(files.fileNames(), (std::vector<std::string>{"north.IPs", "north.ips", "north.model",
                                                           "north.soFar", "south.IPs"}))
        << "a save followed the selector";
    ASSERT_TRUE(chooseListNamed(other, otherDialog, "north.ips"));
    EXPECT_TRUE(startSurvey(other, StartMode::FRESH)) << "the list stayed held after its survey";
    closeSurvey(other);
  }
}

}  // namespace
}  // namespace vyr::testing
