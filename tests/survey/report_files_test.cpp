// Catches report sections written at the wrong place or with wrong bytes, progress files of the
// wrong size or accepted when they should not be, and saves that lose or tear the old files.

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "support/faulty_files.h"
#include "support/survey_fixture.h"
#include "survey/report_files.h"

namespace vyr::testing {
namespace {

const std::string kHeader = REPORT_HEADER;
const std::string kLine = "10.0.0.1\t0\t\t0.00\t\t0.00\r\n";  // a unit that never answered

struct ReportTest : SurveyFixture {
  ReportTest() {
    dialog.selectorItems = {"north.IPs"};
    dialog.select(0);
  }

  // Makes `records` the running survey's table, as a survey start would.
  void runWith(const std::vector<DeviceRecord>& records, int32_t reportOffset = -1) {
    SurveyState& survey = context.survey;
    std::strcpy(survey.listName, "north.IPs");
    survey.deviceCount = static_cast<int32_t>(records.size());
    survey.deviceTable.reset(allocateDeviceTable(survey.deviceCount));
    for (size_t i = 0; i < records.size(); ++i) survey.deviceTable[i] = records[i];
    survey.reportOffset = reportOffset;
  }

  // Saves a survey of `records` and returns the offset its section was written at.
  int32_t save(const std::vector<DeviceRecord>& records, int32_t reportOffset = -1) {
    runWith(records, reportOffset);
    saveReport(context);
    return context.survey.reportOffset;
  }

  // What a resume of `count` rows reads back: accepted or not, and the offset.
  std::pair<bool, int32_t> load(int32_t count) {
    runWith(std::vector<DeviceRecord>(static_cast<size_t>(count)));
    bool accepted = loadProgress(context);
    return {accepted, context.survey.reportOffset};
  }
};

DeviceRecord unit(uint8_t last, uint32_t serial = 0, const char* id = "") {
  return makeRecord({10, 0, 0, last}, serial, id, 0, "", 0, 0, "", "", 0);
}

std::string progressBytes(int32_t offset, const std::vector<DeviceRecord>& records) {
  std::string bytes(8, '\0');
  for (size_t i = 0; i < 4; ++i) {
    bytes[i] = static_cast<char>(static_cast<uint32_t>(offset) >> (8 * i));
    bytes[4 + i] = static_cast<char>(records.size() >> (8 * i));
  }
  bytes.append(reinterpret_cast<const char*>(records.data()), records.size() * sizeof(DeviceRecord));
  return bytes;
}

TEST_F(ReportTest, FiveUnitSectionIsByteExact) {
  const std::vector<DeviceRecord> records = {
      makeRecord({10, 20, 0, 11}, 480, "A17", 105, "PUMP", 312, 2, "MX200", "E77", COMPLETE),
      makeRecord({10, 20, 0, 12}, 0, "", 0, "", 0, 0, "", "", 0),
      makeRecord({0, 0, 0, 0}, 502, "TANK0001", 0, "", 0, 0, "", "", BY_SERIAL),
      makeRecord({10, 20, 0, 13}, 481, "B2", 100, "RTU", 250, 0, "", "E78", COMPLETE),
      makeRecord({10, 20, 0, 14}, 482, "C3", -5, "RTU", 250, 0, "MX210", "", COMPLETE),
  };
  EXPECT_EQ(save(records), 0);
  EXPECT_EQ(file("north.model"),
            "IP\tSerial\tID\tBIOS\tApplication\tVersion\tModem ID\tESN\r\n"
            "10.20.0.11\t480\tA17\t1.05\tPUMP\t3.12.2\tMX200\tE77\r\n"
            "10.20.0.12\t0\t\t0.00\t\t0.00\r\n"
            "0.0.0.0\t502\tTANK0001\t0.00\t\t0.00\r\n"
            "10.20.0.13\t481\tB2\t1.00\tRTU\t2.50\t\tE78\r\n"
            "10.20.0.14\t482\tC3\t-0.05\tRTU\t2.50\tMX210\r\n");
  EXPECT_EQ(file("north.soFar"), progressBytes(0, records));
  EXPECT_EQ(file("north.soFar").size(), 8u + 92u * 5u);
}

TEST_F(ReportTest, SectionsAreAppendedRewrittenInPlaceAndCut) {
  const std::string one = kHeader + kLine;
  const std::string two = kHeader + kLine + "10.0.0.2\t0\t\t0.00\t\t0.00\r\n";

  EXPECT_EQ(save({unit(1), unit(2)}), 0) << "first save creates the report";
  EXPECT_EQ(save({unit(1), unit(2)}), static_cast<int32_t>(two.size())) << "a fresh survey appends";
  EXPECT_EQ(file("north.model"), two + two);
  EXPECT_EQ(file("north.soFar"), progressBytes(static_cast<int32_t>(two.size()), {unit(1), unit(2)}));

  EXPECT_EQ(save({unit(1)}, 0), 0) << "a resumed survey rewrites its own section";
  EXPECT_EQ(file("north.model"), one) << "and the file ends right after it";

  files.remove("north.model");
  EXPECT_EQ(save({unit(1)}, 500), 0) << "a deleted report is created anew at offset 0";
  EXPECT_EQ(file("north.model"), one);

  EXPECT_EQ(save({unit(1)}, 100), 100) << "an offset beyond the end grows the file";
  EXPECT_EQ(file("north.model"), one + std::string(100 - one.size(), '\0') + one);
}

TEST_F(ReportTest, LargeSectionIsWrittenWholeAndInOrder) {
  std::vector<DeviceRecord> records;
  std::string expected = kHeader;
  for (uint32_t i = 0; i < 5000; ++i) {
    records.push_back(unit(static_cast<uint8_t>(i), i, i % 3 ? "UNIT" : ""));
    expected += reportLine(records.back()).view();
  }
  save({unit(1)});
  EXPECT_EQ(save(records, 0), 0);
  EXPECT_EQ(file("north.model"), expected);
}

TEST_F(ReportTest, NamesReplaceTheLastThreeCharacters) {
  struct Case {
    const char* list;
    const char* report;
  };
  for (const Case& c : {Case{"north.IPs", "north.model"}, Case{"north.ips", "north.model"},
                        Case{".IPs", ".model"}, Case{"abc", "model"}}) {
    char name[64];
    ASSERT_TRUE(makeSiblingName(c.list, REPORT_ENDING, name, sizeof name)) << c.list;
    EXPECT_STREQ(name, c.report);
  }
  char name[8];
  EXPECT_FALSE(makeSiblingName("ab", REPORT_ENDING, name, sizeof name)) << "too short to have names";
  EXPECT_FALSE(makeSiblingName("longer.IPs", REPORT_ENDING, name, sizeof name)) << "does not fit";
}

TEST_F(ReportTest, ProgressFileIsAcceptedOnlyAtItsExactSize) {
  save({unit(1, 5, "A"), unit(2), unit(3)}, -1);
  EXPECT_EQ(file("north.soFar").size(), 284u);
  EXPECT_EQ(load(3), std::make_pair(true, 0));
  EXPECT_EQ(context.survey.deviceTable[0].serial, 5u);
  EXPECT_EQ(fieldText(context.survey.deviceTable[0].id), "A");

  const std::string good = file("north.soFar");
  struct Case {
    const char* why;
    std::string bytes;
    int32_t rows;
    bool accepted;
    int32_t offset;
  };
  std::string countDiffers = good;
  countDiffers[4] = 7;
  const Case cases[] = {
      {"one byte short", good.substr(0, 283), 3, false, -1},
      {"one byte over", good + "x", 3, false, -1},
      {"written for another number of rows", good, 4, false, -1},
      {"empty", "", 3, false, -1},
      {"stored count differs from the size", countDiffers, 3, true, -1},
  };
  for (const Case& c : cases) {
    files.setContents("north.soFar", c.bytes);
    EXPECT_EQ(load(c.rows), std::make_pair(c.accepted, c.offset)) << c.why;
  }
  files.remove("north.soFar");
  EXPECT_EQ(load(3), std::make_pair(false, -1)) << "missing";
}

TEST_F(ReportTest, FailedSavesFollowTheFailureRules) {
  save({unit(1)});
  const std::string oldReport = file("north.model");
  const std::string oldProgress = file("north.soFar");
  auto reset = [&] {
    files = MemoryFileSystem();
    files.setContents("north.model", oldReport);
    files.setContents("north.soFar", oldProgress);
  };
  struct Case {
    const char* why;
    std::function<void()> fault;
    bool reportChanges;
    bool progressReplaced;
  };
  const Case cases[] = {
      {"read-only report: nothing at all is saved",
       [&] {
         files.refuseWriting.insert("north.model");
         files.refuseCreating.insert("north.model");
       },
       false, false},
      {"no temporary file: the progress file is written in place",
       [&] { files.refuseCreating.insert("north.soFar.tmp"); }, true, true},
      {"progress file cannot be created",
       [&] {
         files.refuseCreating.insert("north.soFar.tmp");
         files.refuseCreating.insert("north.soFar");
       },
       true, false},
      {"rename refused", [&] { files.refuseRename = true; }, true, false},
      {"disk fills up inside the table",
       [&] { files.spaceLeft = static_cast<int64_t>(kHeader.size() + 2 * kLine.size() + 8 + 50); },
       true, false},
  };
  for (const Case& c : cases) {
    reset();
    c.fault();
    int32_t offsetBefore = -1;
    EXPECT_EQ(save({unit(1), unit(2)}, offsetBefore) != offsetBefore, c.reportChanges) << c.why;
    EXPECT_EQ(context.survey.lastSaveSaved, c.progressReplaced) << c.why;
    EXPECT_EQ(file("north.model") != oldReport, c.reportChanges) << c.why;
    if (c.progressReplaced) {
      EXPECT_EQ(file("north.soFar"), progressBytes(context.survey.reportOffset, {unit(1), unit(2)}))
          << c.why;
      continue;
    }
    EXPECT_EQ(file("north.soFar"), oldProgress) << c.why << ": the old progress file stays whole";
    EXPECT_EQ(files.fileNames(), (std::vector<std::string>{"north.model", "north.soFar"}))
        << c.why << ": no temporary file is left behind";
  }
}

TEST_F(ReportTest, EverySaveTellsHowEachFileFaredAndWhy) {
  save({unit(1)});
  const std::string oldReport = file("north.model");
  const std::string oldProgress = file("north.soFar");
  files.remove("north.soFar");
  save({unit(1), unit(2)});
  const std::string newReport = file("north.model");
  struct Case {
    const char* why;
    std::function<void()> fault;
    bool reportSaved;
    const char* reportFailure;
    bool progressSaved;
    const char* progressFailure;
  };
  const Case cases[] = {
      {"nothing in the way", [] {}, true, "", true, ""},
      {"the report is a link",
       [&] {
         files.remove("north.model");
         files.makeLink("north.model");
       },
       false, "a symbolic link", false, PROGRESS_NOT_WRITTEN},
      {"the disk fills inside the section: it is cut away again", [&] { files.spaceLeft = 30; },
       false, "No space left on device", false, "No space left on device"},
      {"a link under the temporary name goes, never what it points to",
       [&] { files.makeLink("north.soFar.tmp"); }, true, "", true, ""},
      {"no temporary file and a link where the progress file is",
       [&] {
         files.refuseCreating.insert("north.soFar.tmp");
         files.remove("north.soFar");
         files.makeLink("north.soFar");
       },
       true, "", false, "a symbolic link"},
      {"the rename is refused", [&] { files.refuseRename = true; }, true, "", false,
       "Permission denied"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    files = MemoryFileSystem();
    files.setContents("north.model", oldReport);
    files.setContents("north.soFar", oldProgress);
    c.fault();
    // A report that cannot be opened gets no section, so the offset stays unset.
    const bool placed = c.reportSaved || std::strcmp(c.reportFailure, "a symbolic link") != 0;
    EXPECT_EQ(save({unit(1), unit(2)}), placed ? static_cast<int32_t>(oldReport.size()) : -1);
    const SaveOutcome& how = context.survey.lastSave;
    EXPECT_EQ(how.reportSaved, c.reportSaved);
    EXPECT_STREQ(how.reportFailure, c.reportFailure);
    EXPECT_EQ(how.progressSaved, c.progressSaved);
    EXPECT_STREQ(how.progressFailure, c.progressFailure);
    EXPECT_EQ(context.survey.lastSaveSaved, c.reportSaved && c.progressSaved);
    if (files.contents("north.model") != nullptr) {
      EXPECT_EQ(file("north.model"), c.reportSaved ? newReport : oldReport);
    }
    EXPECT_EQ(files.contents("north.soFar.tmp"), nullptr) << "a temporary file is left";
  }
}

TEST_F(ReportTest, ASectionThatDoesNotLandWholeIsCutAwayAndItsStartKept) {
  // Where the section goes: a fresh survey's at the report's end, a resumed one's at its offset,
  // which may lie past the end of a report cut short by hand.
  const std::string two = kHeader + kLine + "10.0.0.2\t0\t\t0.00\t\t0.00\r\n";
  struct Case {
    const char* why;
    int32_t offset;
    size_t kept;  // bytes of the old report that stay
  };
  const Case cases[] = {
      {"fresh survey appends", -1, 2 * two.size()},
      {"resumed survey over its own section", static_cast<int32_t>(two.size()), two.size()},
      {"resumed survey at the start", 0, 0},
      {"resumed survey past the report's end", 1000, 2 * two.size()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    files = MemoryFileSystem();
    save({unit(1), unit(2)});
    save({unit(1), unit(2)});
    const std::string before = file("north.model");
    ASSERT_EQ(before, two + two);
    // The write of the lines, right after the header's, lands only in part.
    FaultyFileSystem faulty(files);
    SurveyContext faulted(faulty, dialog, list);
    bool armed = false;
    faulty.beforeEach = [&](size_t index) {
      const bool afterHeader = !armed && !faulty.trace.empty() &&
                               faulty.trace.back().op == FileOp::WRITE &&
                               faulty.trace.back().name == "north.model";
      if (afterHeader) faulty.failAt(index, Fault::SHORT);
      armed = armed || afterHeader;
    };
    runWith({unit(1), unit(2), unit(3)}, c.offset);
    faulted.survey = std::move(context.survey);
    EXPECT_FALSE(saveReport(faulted));
    const SurveyState& survey = faulted.survey;
    const int32_t start = survey.reportOffset;
    EXPECT_EQ(start, c.offset >= 0 ? c.offset : static_cast<int32_t>(before.size()));
    EXPECT_FALSE(survey.lastSave.reportSaved);
    EXPECT_EQ(file("north.model"), before.substr(0, c.kept));
    // The table's progress is kept, with the section's start for the next resume to write at.
    EXPECT_TRUE(survey.lastSave.progressSaved);
    EXPECT_EQ(file("north.soFar"), progressBytes(start, {unit(1), unit(2), unit(3)}));
    context.survey = std::move(faulted.survey);
  }
}

}  // namespace
}  // namespace vyr::testing
