// Catches what only the real dialog on a real socket shows: a timer, notifier or button routed to
// the wrong step, a survey that stalls or ends early, a start whose replies are read between its
// steps, and an abort or resume that loses or
// duplicates what the report and progress file hold; a save that names its files from what the
// selector shows at the end rather than the list surveyed, and a second survey of a list that
// starts while another holds it, or says nothing about why it did not.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QComboBox>
#include <QMessageBox>
#include <QTest>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "app/qt/device_list.h"
#include "app/dialog_on_disk.h"
#include "protocol/frame_codec.h"
#include "protocol/messages.h"
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

  // The survey has ended when the dialog shows its idle controls again.
  bool waitForSurveyEnd() {
    return QTest::qWaitFor(
        [&] {
          return dialog_->control(RESUME_BUTTON)->isEnabled() &&
                 qobject_cast<QPushButton*>(dialog_->control(EXIT_BUTTON))->text() == "E&xit";
        },
        SURVEY_LIMIT_MS);
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
  ASSERT_TRUE(waitForSurveyEnd()) << "the survey stalled";
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
  ASSERT_TRUE(waitForSurveyEnd()) << "the resumed survey stalled";
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
  ASSERT_TRUE(waitForSurveyEnd()) << "the paced survey stalled";
  EXPECT_EQ(read("a.model"), fleet::expectedReport(description));
  EXPECT_EQ(fleet::withoutSendTimes(read("a.soFar")), fleet::expectedProgress(description, 0));
}

using Bytes = std::vector<uint8_t>;

Bytes framed(const Bytes& message) {
  Bytes out(static_cast<size_t>(frameCapacity(static_cast<int32_t>(message.size()))));
  out.resize(static_cast<size_t>(
      writeFrame(message.data(), static_cast<int32_t>(message.size()), false, out.data())));
  return out;
}

// One datagram with its packet information: the local address it came to or leaves from.
struct Packet {
  Packet() {
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    cmsghdr* item = CMSG_FIRSTHDR(&header);
    item->cmsg_level = IPPROTO_IP;
    item->cmsg_type = IP_PKTINFO;
    item->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
  }
  Packet(const Packet&) = delete;
  Packet& operator=(const Packet&) = delete;
  ~Packet() = default;
  in_pktinfo* information() { return reinterpret_cast<in_pktinfo*>(CMSG_DATA(item())); }
  // The control buffer always has room for the one item.
  cmsghdr* item() { return CMSG_FIRSTHDR(&header); }

  uint8_t bytes[2048] = {};
  iovec part{bytes, sizeof bytes};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  msghdr header{};
};

// Every unit's port on one socket, as the simulator has it: keeps the destination and bytes of
// each datagram sent to a unit and, until the first comes, sends a stale identify reply from the
// unit at `answerer` to the tool every millisecond.
class UnitsPort {
 public:
  // The test reads both members of each (cppcheck does not follow them through the vector).
  struct Received {
    // cppcheck-suppress unusedStructMember
    uint32_t to;  // the unit's address, in network order
    // cppcheck-suppress unusedStructMember
    Bytes bytes;
  };

  UnitsPort() = default;
  UnitsPort(const UnitsPort&) = delete;
  UnitsPort& operator=(const UnitsPort&) = delete;
  ~UnitsPort() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
  }

  bool open(in_addr answerer, uint16_t toolPort) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    const int size = 16 << 20;  // the whole burst, where the system allows it
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    const timeval wait{0, 1000};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    ::setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(DEVICE_PORT);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return false;
    thread_ = std::thread([this, answerer, toolPort] { run(answerer, toolPort); });
    return true;
  }

  int staleRepliesSent() const { return stale_; }
  std::vector<Received> received() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }

 private:
  void run(in_addr answerer, uint16_t toolPort) {
    Bytes reply(IDENTIFY_REPLY_MINIMUM, 0);
    reply[0] = IDENTIFY;
    std::memcpy(&reply[IDENTIFY_ID_OFFSET], "STALE", 5);
    const Bytes stale = framed(reply);
    sockaddr_in tool{};
    tool.sin_family = AF_INET;
    tool.sin_port = htons(toolPort);
    tool.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool heard = false;
    while (!stop_) {
      Packet in;
      const ssize_t length = ::recvmsg(fd_, &in.header, 0);
      if (length >= 0) {
        heard = true;
        const std::lock_guard<std::mutex> lock(mutex_);
        received_.push_back(
            {in.information()->ipi_addr.s_addr, Bytes(in.bytes, in.bytes + length)});
      } else if (!heard) {
        Packet out;
        std::copy(stale.begin(), stale.end(), out.bytes);
        out.part.iov_len = stale.size();
        out.header.msg_name = &tool;
        out.header.msg_namelen = sizeof tool;
        out.information()->ipi_spec_dst = answerer;
        if (::sendmsg(fd_, &out.header, 0) >= 0) ++stale_;
      }
    }
  }

  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<int> stale_{0};
  std::mutex mutex_;
  std::vector<Received> received_;
  std::thread thread_;
};

// A start of several steps, its first unit answering out of turn all the while: what the dialog
// sends first is still the one-press burst, an identify to every unit in table order, and the
// stale replies are read only once every unit has been asked.
TEST_F(DialogOnDiskTest, AStartInStepsSendsTheOnePressBurstThoughRepliesComeBetweenItsSteps) {
  constexpr uint32_t UNITS = 40000;  // more than two parts of asking
  std::vector<in_addr> units(UNITS);
  std::string list;
  for (uint32_t i = 0; i < UNITS; ++i) {
    units[i].s_addr = htonl((127u << 24) | (2u << 16) | (i + 1));
    list += "127.2." + std::to_string((i + 1) >> 8) + "." + std::to_string((i + 1) & 255) + "\n";
  }
  std::ofstream(directory_ / "a.IPs") << list;
  UnitsPort port;
  ASSERT_TRUE(port.open(units[0], socket_->localPort()));
  // Paced, so that the burst never outruns the units' socket here.
  openDialog(SendPacing{0, 15000});
  chooseList(1);
  ASSERT_EQ(dialog_->list().rowCount(), static_cast<int32_t>(UNITS));
  ASSERT_TRUE(QTest::qWaitFor([&] { return port.staleRepliesSent() > 0; }));
  click(NEW_BUTTON);
  ASSERT_TRUE(QTest::qWaitFor([&] { return port.received().size() >= UNITS; }, SURVEY_LIMIT_MS));
  const std::vector<UnitsPort::Received> received = port.received();
  const Bytes identify = framed({IDENTIFY, 0});
  for (uint32_t i = 0; i < UNITS; ++i) {
    ASSERT_EQ(received[i].to, units[i].s_addr) << "datagram " << i << " to its unit in order";
    ASSERT_EQ(received[i].bytes, identify) << "datagram " << i << " an identify";
  }
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return dialog_->list().rows().row(0).find("STALE") != std::string_view::npos; }))
      << "the replies are read once every unit has been asked";
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
      other = std::make_unique<MainDialog>(*otherFiles, clock_, *otherSocket, otherSocket->fd());
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
