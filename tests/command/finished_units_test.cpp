// Catches a finished-unit count that drifts from the table: units missed because they finished
// out of order or in the last drain, counted twice after a duplicate reply, counted from a
// resumed table wrongly, or kept from the survey before; and a unit told as finished twice, never,
// or before its record is final (a later reply changing what was told).

#include "survey_command/finished_units.h"
#include "survey_command/list_file_rows.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "core/survey_driver.h"
#include "fleet/fleet_model.h"
#include "support/memory_fleet_world.h"
#include "support/virtual_time_loop.h"

namespace vyr {
namespace {

// The plain count, walking the whole table.
int32_t walkedCount(const SurveyState& survey) {
  int32_t finished = 0;
  for (int32_t i = 0; i < survey.deviceCount; ++i) finished += isFinished(survey.deviceTable[i]);
  return finished;
}

// A survey of a fleet in memory, its list view counting as vyr-survey's does, over rows of type
// `Rows`.
template <typename Rows = MemoryListView>
struct CountedWorld {
  explicit CountedWorld(const fleet::FleetDescription& description) : model(description) {
    network.keepSent = false;
    network.attach(&peer);
    network.lossPercent = 20;  // units then finish in no order at all, some after repeats
    network.duplicatePercent = 10;
    network.jitter = 300;
    dialog.serverField = "127.0.0.1";
    files.setContents("fleet.IPs", fleet::listFileText(description));
    testing::chooseListNamed(context, dialog, "fleet.IPs");
    context.tableReleasing = [this](const SurveyState& survey) {
      countAtEnd = list.count(survey);
      walkedAtEnd = walkedCount(survey);
      for (const auto& [index, told] : toldRecords) {
        DeviceRecord now = survey.deviceTable[index];
        now.lastSent = told.lastSent;  // the send time alone may move on
        EXPECT_EQ(std::memcmp(&now, &told, sizeof now), 0) << "unit " << index << " changed";
      }
    };
    list.onFinished([this](int32_t index, const DeviceRecord& record) {
      EXPECT_TRUE(isFinished(record)) << index;
      EXPECT_TRUE(toldRecords.emplace(index, record).second) << "unit " << index << " told twice";
    });
  }

  // Runs the survey, comparing the count with a walk of the table at every period.
  void run(StartMode mode) {
    list.restart();
    toldRecords.clear();
    pressStart(context, mode);
    for (int period = 0; period < 2000 && surveyRunning(context); ++period) {
      const int32_t counted = list.count(context.survey);
      ASSERT_EQ(counted, walkedCount(context.survey)) << "period " << period;
      if (counted > 0 && counted < context.survey.deviceCount) ++partCounts;
      runPeriod(context, clock, network);
    }
    ASSERT_FALSE(surveyRunning(context)) << "the survey did not end";
  }

  fleet::FleetModel model;
  fleet::MemoryPeer peer{model};
  MemoryFileSystem files;
  MemoryDialog dialog;
  Rows rows;
  FinishedUnits list{rows};
  FakeClock clock;
  MemoryNetwork network{clock, 7};
  Context context{files, dialog, list, clock, network.toolSocket()};
  int32_t countAtEnd = -1;
  int32_t partCounts = 0;  // counts taken while some units were finished and some not
  int32_t walkedAtEnd = -1;
  std::map<int32_t, DeviceRecord> toldRecords;  // each unit told as finished, as it was told
};

TEST(FinishedUnitsTest, TheCountFollowsTheTableThroughALossySurvey) {
  CountedWorld<> world(fleet::generateFleet(400, 11));
  world.run(StartMode::FRESH);
  EXPECT_GT(world.partCounts, 20) << "the survey must take many periods to mean anything";
  EXPECT_EQ(world.walkedAtEnd, 400);
  EXPECT_EQ(world.countAtEnd, 400) << "units finished in the last drain must count too";
  EXPECT_EQ(world.toldRecords.size(), 400u);
}

// vyr-survey's rows are composed nowhere; its survey must still count every change and save the
// report a dialog's survey of the same fleet saves, byte for byte.
TEST(FinishedUnitsTest, RowsShownNowhereCountAndSaveAsShownOnes) {
  const fleet::FleetDescription description = fleet::generateFleet(400, 11);
  CountedWorld<> shown(description);
  CountedWorld<ListFileRows> headless(description);
  shown.run(StartMode::FRESH);
  headless.run(StartMode::FRESH);
  EXPECT_EQ(headless.countAtEnd, 400);
  EXPECT_EQ(headless.toldRecords.size(), 400u);
  EXPECT_EQ(headless.rows.heldBytes(), 0u);
  EXPECT_GT(shown.rows.redraws, 400) << "the shown rows were composed";
  const std::string* shownReport = shown.files.contents("fleet.model");
  const std::string* headlessReport = headless.files.contents("fleet.model");
  ASSERT_NE(shownReport, nullptr);
  ASSERT_NE(headlessReport, nullptr);
  EXPECT_EQ(*headlessReport, *shownReport);
}

TEST(FinishedUnitsTest, AResumedSurveyCountsWhatWasFinishedAndNothingTwice) {
  fleet::FleetDescription description = fleet::generateFleet(300, 12);
  for (size_t i = 0; i < description.units.size(); i += 3) description.units[i].silent = true;
  CountedWorld<> world(description);
  world.list.restart();
  pressStart(world.context, StartMode::FRESH);
  for (int period = 0; period < 200; ++period) runPeriod(world.context, world.clock, world.network);
  ASSERT_TRUE(surveyRunning(world.context)) << "a third of the units never answer";
  EXPECT_EQ(world.list.count(world.context.survey), 200);
  abortSurvey(world.context);
  EXPECT_EQ(world.countAtEnd, 200);

  // The silent units wake up; the resumed table starts with 200 finished units.
  for (fleet::UnitDescription& unit : description.units) unit.silent = false;
  world.model = fleet::FleetModel(description);
  world.run(StartMode::RESUME);
  EXPECT_EQ(world.countAtEnd, 300);
  EXPECT_EQ(world.toldRecords.size(), 300u) << "the resumed survey tells its finished units too";
  EXPECT_EQ(world.walkedAtEnd, 300);

  // A fresh survey of the same rows starts from nothing.
  world.list.restart();
  world.toldRecords.clear();
  pressStart(world.context, StartMode::FRESH);
  EXPECT_EQ(world.list.count(world.context.survey), 0);
  closeSurvey(world.context);
}

}  // namespace
}  // namespace vyr
