// Catches what only the real dialog on a real socket shows: a timer, notifier or button routed to
// the wrong step, a survey that stalls or ends early, and an abort or resume that loses or
// duplicates what the report and progress file hold.

#include <gtest/gtest.h>

#include <QComboBox>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/device_list.h"
#include "app/main_dialog.h"
#include "fleet/fleet_simulator.h"
#include "platform/posix/posix_clock.h"
#include "platform/posix/posix_files.h"
#include "platform/posix/posix_udp_socket.h"
#include "survey/lifecycle.h"

namespace vyr::testing {
namespace {

constexpr int SURVEY_LIMIT_MS = 120000;  // a bound for a stall, far beyond what a case needs

class DialogSurveyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "vyr-dialog-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    directory_ = pattern;
    ASSERT_NE(socket_, nullptr);
  }

  void TearDown() override {
    dialog_.reset();
    stopFleet();
    std::filesystem::remove_all(directory_);
  }

  void startFleet(const fleet::FleetDescription& description, const char* listName) {
    stopFleet();
    model_ = std::make_unique<fleet::FleetModel>(description);
    simulator_ = std::make_unique<fleet::FleetSimulator>(*model_);
    std::string error;
    ASSERT_TRUE(simulator_->open(error)) << error;
    stop_ = false;
    thread_ = std::thread([this] { simulator_->run(stop_); });
    std::ofstream(directory_ / listName, std::ios::binary) << fleet::listFileText(description);
  }

  void stopFleet() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

  void openDialog(SendPacing pacing = {}) {
    files_ = openPosixFileSystem(directory_.c_str());
    ASSERT_NE(files_, nullptr);
    dialog_ = std::make_unique<MainDialog>(*files_, clock_, *socket_, pacing);
    dialog_->show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog_.get()));
  }

  // Chooses a list with the keyboard, as the operator would; `steps` presses of Down.
  void chooseList(int steps) {
    dialog_->control(LIST_SELECTOR)->setFocus();
    for (int i = 0; i < steps; ++i) QTest::keyClick(dialog_->control(LIST_SELECTOR), Qt::Key_Down);
  }

  void click(int id) { qobject_cast<QPushButton*>(dialog_->control(id))->click(); }

  bool waitForBeeps(int beeps) {
    return QTest::qWaitFor([&] { return dialog_->beeps() >= beeps; }, SURVEY_LIMIT_MS);
  }

  std::string read(const char* name) {
    std::ifstream in(directory_ / name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::filesystem::path directory_;
  std::unique_ptr<PosixUdpSocket> socket_ = PosixUdpSocket::open();
  PosixClock clock_;
  std::unique_ptr<FileSystem> files_;
  std::unique_ptr<MainDialog> dialog_;
  std::unique_ptr<fleet::FleetModel> model_;
  std::unique_ptr<fleet::FleetSimulator> simulator_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
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
