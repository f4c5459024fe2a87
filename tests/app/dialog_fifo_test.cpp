// Catches a dialog that freezes on a FIFO under the list, report or progress name (an open that
// waits for a peer that never comes), writes into one, or replaces the wrong one; an alarm turns
// such a hang into a failure instead of a test that never ends.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTest>
#include <filesystem>
#include <fstream>

#include "app/qt/device_list.h"
#include "app/dialog_on_disk.h"
#include "survey/device_record.h"
#include "survey/lifecycle.h"

namespace vyr::testing {
namespace {

constexpr unsigned HANG_LIMIT_SECONDS = 30;  // far beyond what any case needs

class DialogFifoTest : public DialogOnDiskTest {
 protected:
  void SetUp() override {
    DialogOnDiskTest::SetUp();
    // Units nobody answers for: the surveys run until they are aborted.
    std::ofstream(directory_ / "north.IPs") << "127.0.0.2\n127.0.0.3\nA17/501\n";
    ::alarm(HANG_LIMIT_SECONDS);
  }

  void TearDown() override {
    DialogOnDiskTest::TearDown();
    ::alarm(0);
  }

  void makeFifo(const char* name) { ASSERT_EQ(::mkfifo((directory_ / name).c_str(), 0644), 0); }

  bool isFifo(const char* name) {
    struct stat status {};
    return ::lstat((directory_ / name).c_str(), &status) == 0 && S_ISFIFO(status.st_mode);
  }
};

TEST_F(DialogFifoTest, AFifoListLeavesTheListEmpty) {
  makeFifo("a.IPs");  // before north.IPs in the selector
  openDialog();
  chooseList(2);
  ASSERT_EQ(dialog_->list().rowCount(), 3) << "north.IPs";
  QTest::keyClick(dialog_->control(LIST_SELECTOR), Qt::Key_Up);  // a.IPs: the rows go, none come
  EXPECT_EQ(dialog_->list().rowCount(), 0);
  click(RESUME_BUTTON);
  EXPECT_FALSE(surveyRunning(dialog_->context())) << "no rows, no survey";
  EXPECT_TRUE(isFifo("a.IPs"));
}

TEST_F(DialogFifoTest, AFifoReportSavesNothingAndStaysAFifo) {
  makeFifo("north.model");
  openDialog();
  chooseList(1);
  ASSERT_EQ(dialog_->list().rowCount(), 3);
  QTest::keyClicks(dialog_->control(SERVER_FIELD), "127.0.0.1");
  click(NEW_BUTTON);
  ASSERT_TRUE(surveyRunning(dialog_->context()));
  click(EXIT_BUTTON);  // Abort: the save cannot open the report, so it writes nothing
  EXPECT_FALSE(surveyRunning(dialog_->context()));
  EXPECT_FALSE(dialog_->context().survey.lastSaveSaved);
  EXPECT_TRUE(isFifo("north.model"));
  EXPECT_FALSE(std::filesystem::exists(directory_ / "north.soFar"));

  click(RESUME_BUTTON);
  ASSERT_TRUE(surveyRunning(dialog_->context()));
  dialog_.reset();  // destroying the dialog saves, or here tries to
  EXPECT_TRUE(isFifo("north.model"));
}

TEST_F(DialogFifoTest, AFifoProgressFileStartsFreshAndStays) {
  makeFifo("north.soFar");
  openDialog();
  chooseList(1);
  QTest::keyClicks(dialog_->control(SERVER_FIELD), "127.0.0.1");
  click(RESUME_BUTTON);  // the resume cannot read it: a fresh start
  ASSERT_TRUE(surveyRunning(dialog_->context()));
  EXPECT_EQ(dialog_->context().survey.reportOffset, -1);
  click(EXIT_BUTTON);  // Abort saves the report; the FIFO is not replaced
  EXPECT_FALSE(dialog_->context().survey.lastSaveSaved);
  EXPECT_TRUE(isFifo("north.soFar"));
  EXPECT_GT(std::filesystem::file_size(directory_ / "north.model"), 0u);
}

}  // namespace
}  // namespace vyr::testing
