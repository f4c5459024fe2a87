// Catches what only the real dialog on a real socket shows: a timer, notifier or button routed to
// the wrong step, a survey that stalls or ends early, and an abort or resume that loses or
// duplicates what the report and progress file hold.

#include <gtest/gtest.h>

#include <QComboBox>
#include <QTest>
#include <algorithm>
#include <fstream>

#include "app/device_list.h"
#include "app/dialog_on_disk.h"
#include "support/fleet_thread.h"
#include "survey/lifecycle.h"

namespace vyr::testing {
namespace {

constexpr int SURVEY_LIMIT_MS = 120000;  // a bound for a stall, far beyond what a case needs

class DialogSurveyTest : public DialogOnDiskTest {
 protected:
  void TearDown() override {
    dialog_.reset();
    fleet_.stop();
    DialogOnDiskTest::TearDown();
  }

  void startFleet(const fleet::FleetDescription& description, const char* listName) {
    fleet_.start(description);
    std::ofstream(directory_ / listName, std::ios::binary) << fleet::listFileText(description);
  }

  bool waitForBeeps(int beeps) {
    return QTest::qWaitFor([&] { return dialog_->beeps() >= beeps; }, SURVEY_LIMIT_MS);
  }

  FleetThread fleet_;
};

TEST_F(DialogSurveyTest, NewThenAbortAndResumeMatchTheFleetByteForByte) {
  const fleet::FleetDescription first = fleet::generateFleet(40, 211, 30, 50);
  startFleet(first, "a.IPs");
  std::ofstream(directory_ / "b.IPs") << "";  // the second list, filled in below
  openDialog();
  QTest::keyClicks(dialog_->control(SERVER_FIELD), "127.0.0.1");
  chooseList(1);
  ASSERT_EQ(dialog_->list().rowCount(), 40);
  click(NEW_BUTTON);
  ASSERT_TRUE(waitForBeeps(1)) << "the survey stalled";
  EXPECT_FALSE(surveyRunning(dialog_->context()));
  EXPECT_EQ(read("a.model"), fleet::expectedReport(first));
  EXPECT_EQ(fleet::withoutSendTimes(read("a.soFar")), fleet::expectedProgress(first, 0));

  // A second fleet where half the units answer slowly, so that Abort finds the survey half done.
  // It lives on other addresses: the send queue outlives a survey, and a request the first survey
  // left queued would otherwise reach the second fleet's unit of the same address, whose modem
  // reply then completes that unit before its versions arrive.
  fleet::FleetDescription second = fleet::generateFleet(30, 223, 30, 50);
  for (size_t i = 0; i < second.units.size(); ++i) {
    second.units[i].ip[1] = 2;
    if (i % 2 == 0) second.units[i].delayMs = 1500;
  }
  startFleet(second, "b.IPs");
  chooseList(1);
  ASSERT_EQ(dialog_->list().rowCount(), 30);
  click(NEW_BUTTON);
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        return std::count(dialog_->list().rows().row(1).begin(),
                          dialog_->list().rows().row(1).end(), '\t') >= 5;
      },
      5000))
      << "a prompt unit has its versions";
  click(EXIT_BUTTON);  // Abort
  ASSERT_FALSE(surveyRunning(dialog_->context()));
  const std::string partial = read("b.model");
  ASSERT_NE(partial, fleet::expectedReport(second)) << "aborted before the slow units answered";

  click(RESUME_BUTTON);
  ASSERT_TRUE(waitForBeeps(2)) << "the resumed survey stalled";
  EXPECT_EQ(read("b.model"), fleet::expectedReport(second)) << "its section rewritten in place";
  EXPECT_EQ(fleet::withoutSendTimes(read("b.soFar")), fleet::expectedProgress(second, 0));
  EXPECT_EQ(read("a.model"), fleet::expectedReport(first)) << "the other list's report untouched";
}

// Sends held back by a small window and a rate go out again on the dialog's own timer.
TEST_F(DialogSurveyTest, APacedSurveyMatchesTheFleetByteForByte) {
  const fleet::FleetDescription description = fleet::generateFleet(600, 227, 30, 50);
  startFleet(description, "a.IPs");
  openDialog(SendPacing{16, 5000});
  QTest::keyClicks(dialog_->control(SERVER_FIELD), "127.0.0.1");
  chooseList(1);
  ASSERT_EQ(dialog_->list().rowCount(), 600);
  click(NEW_BUTTON);
  ASSERT_TRUE(waitForBeeps(1)) << "the paced survey stalled";
  EXPECT_EQ(read("a.model"), fleet::expectedReport(description));
  EXPECT_EQ(fleet::withoutSendTimes(read("a.soFar")), fleet::expectedProgress(description, 0));
}

}  // namespace
}  // namespace vyr::testing
