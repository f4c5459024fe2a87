// Catches what only the real dialog on a real socket shows: a timer, notifier or button routed to
// the wrong step, a survey that stalls or ends early, and an abort or resume that loses or
// duplicates what the report and progress file hold; a save that names its files from what the
// selector shows at the end rather than the list surveyed, and a second survey of a list that
// starts while another holds it, or says nothing about why it did not.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QComboBox>
#include <QMessageBox>
#include <QTest>
#include <algorithm>
#include <fstream>
#include <set>

#include "app/qt/device_list.h"
#include "app/dialog_on_disk.h"
#include "support/fleet_thread.h"
#include "survey/device_record.h"
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

// Units nobody answers for, so that a survey runs until it is ended.
class DialogListTest : public DialogOnDiskTest {
 protected:
  void SetUp() override {
    DialogOnDiskTest::SetUp();
    std::ofstream(directory_ / "a.IPs") << "127.0.0.2\n127.0.0.3\n";
    std::ofstream(directory_ / "b.IPs") << "127.0.0.4\n";
  }

  std::set<std::string> names() const {
    std::set<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(directory_)) {
      found.insert(entry.path().filename().string());
    }
    return found;
  }

  QComboBox& selector() { return *qobject_cast<QComboBox*>(dialog_->control(LIST_SELECTOR)); }
};

TEST_F(DialogListTest, SavesNameTheirFilesFromTheListChosenAtTheStart) {
  const struct {
    const char* name;
    void (*change)(QComboBox&);
    bool sessionEnds;  // commitData saves first; the destructor saves again
  } cases[] = {
      {"selector cleared", [](QComboBox& box) { box.setCurrentIndex(-1); }, false},
      {"another list shown", [](QComboBox& box) { box.setCurrentIndex(1); }, true},
      {"selector emptied", [](QComboBox& box) { box.clear(); }, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    openDialog();
    chooseList(1);
    ASSERT_EQ(dialog_->list().rowCount(), 2) << "a.IPs";
    click(NEW_BUTTON);
    ASSERT_TRUE(surveyRunning(dialog_->context()));
    c.change(selector());
    if (c.sessionEnds) {
      dialog_->commitData();
      EXPECT_TRUE(std::filesystem::exists(directory_ / "a.model"));
    }
    dialog_.reset();
    EXPECT_EQ(names(), (std::set<std::string>{"a.IPs", "b.IPs", "a.model", "a.soFar"}));
    EXPECT_EQ(read("a.model"),
              "IP\tSerial\tID\tBIOS\tApplication\tVersion\tModem ID\tESN\r\n"
              "127.0.0.2\t0\t\t0.00\t\t0.00\r\n"
              "127.0.0.3\t0\t\t0.00\t\t0.00\r\n");
    EXPECT_EQ(std::filesystem::file_size(directory_ / "a.soFar"), 8u + 2 * sizeof(DeviceRecord));
    std::filesystem::remove(directory_ / "a.model");
    std::filesystem::remove(directory_ / "a.soFar");
  }
}

// The holder is this process either way: another dialog of it, or the test's own flock.
TEST_F(DialogListTest, ASecondSurveyOfAListWaitsForTheFirstAndSaysWhy) {
  char comm[64] = "";
  std::ifstream("/proc/self/comm").getline(comm, sizeof comm);
  const QString expected = QString::fromLatin1(comm) + ", process " +
                           QString::number(::getpid()) +
                           ".\n\nTry again when that survey has ended.";
  for (const bool byDialog : {true, false}) {
    SCOPED_TRACE(byDialog ? "another dialog" : "a flock");
    std::unique_ptr<PosixUdpSocket> otherSocket = PosixUdpSocket::open();
    std::unique_ptr<FileSystem> otherFiles = openPosixFileSystem(directory_.c_str());
    std::unique_ptr<MainDialog> other;
    int lockFd = -1;
    if (byDialog) {
      other = std::make_unique<MainDialog>(*otherFiles, clock_, *otherSocket);
      other->show();
      other->control(LIST_SELECTOR)->setFocus();
      QTest::keyClick(other->control(LIST_SELECTOR), Qt::Key_Down);
      qobject_cast<QPushButton*>(other->control(NEW_BUTTON))->click();
      ASSERT_TRUE(surveyRunning(other->context()));
    } else {
      lockFd = ::open((directory_ / "a.model").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
      ASSERT_GE(lockFd, 0);
      ASSERT_EQ(::flock(lockFd, LOCK_EX | LOCK_NB), 0);
    }

    openDialog();
    chooseList(1);
    click(RESUME_BUTTON);
    EXPECT_FALSE(surveyRunning(dialog_->context()));
    EXPECT_TRUE(dialog_->control(RESUME_BUTTON)->isEnabled()) << "the controls stay idle";
    EXPECT_EQ(dialog_->context().sendQueue.nodeCount, 0u) << "no unit is asked";
    auto* box = dialog_->findChild<QMessageBox*>();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->icon(), QMessageBox::Warning);
    EXPECT_EQ(box->windowTitle(), "VyrModel 1.03");
    EXPECT_EQ(box->text(), "a.IPs is being surveyed already, by " + expected);
    EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
    box->button(QMessageBox::Ok)->click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return dialog_->findChild<QMessageBox*>() == nullptr; }));

    if (byDialog) {
      qobject_cast<QPushButton*>(other->control(EXIT_BUTTON))->click();  // Abort
      ASSERT_FALSE(surveyRunning(other->context()));
    } else {
      ::close(lockFd);
    }
    click(RESUME_BUTTON);
    EXPECT_TRUE(surveyRunning(dialog_->context())) << "the list is free again";
    EXPECT_EQ(dialog_->findChild<QMessageBox*>(), nullptr);
    dialog_.reset();
    other.reset();
  }
}

}  // namespace
}  // namespace vyr::testing
