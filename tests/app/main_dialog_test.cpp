// Catches a dialog that drifts from its template or routes an event wrongly: controls, captions,
// tab order and mnemonics, Escape and Enter, the busy and idle appearances, start buttons without
// rows, the selector's keyboard choices, and list rows that scroll, flicker or misalign.

#include "app/qt/main_dialog.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAbstractItemView>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/qt/device_list.h"
#include "app/main_template.h"
#include "app/qt/read_budget.h"
#include "platform/memory/fake_clock.h"
#include "platform/memory/memory_files.h"
#include "platform/memory/memory_network.h"
#include "platform/posix/posix_udp_socket.h"
#include "protocol/send_queue.h"
#include "survey/lifecycle.h"

namespace vyr::testing {
namespace {

class MainDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(socket, nullptr);
    files.setContents("north.IPs", "; pumps\n127.0.0.1\nA17/501\n");
    files.setContents("b.IPs", "127.0.0.2\n127.0.0.3\n127.0.0.4\n");
  }

  void open() {
    dialog = std::make_unique<MainDialog>(files, clock, *socket, socket->fd());
    dialog->show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
  }

  template <typename Widget>
  Widget* control(int id) {
    return qobject_cast<Widget*>(dialog->control(id));
  }

  // The identifier of the control with the keyboard focus, or NO_ID.
  int focusedId() {
    QWidget* focused = QApplication::focusWidget();
    for (const ControlTemplate& entry : MAIN_CONTROLS) {
      if (entry.id != NO_ID && dialog->control(entry.id) == focused) return entry.id;
    }
    return NO_ID;
  }

  static void press(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QTest::keyClick(QApplication::focusWidget(), static_cast<Qt::Key>(key), modifiers);
  }

  void expectIdle(bool idle) {
    for (int id : {SERVER_FIELD, NEW_BUTTON, RESUME_BUTTON, LIST_SELECTOR}) {
      EXPECT_EQ(dialog->control(id)->isEnabled(), idle) << id;
    }
    EXPECT_EQ(control<QPushButton>(EXIT_BUTTON)->text(), idle ? "E&xit" : "Abort");
    EXPECT_EQ(surveyRunning(dialog->context()), !idle);
  }

  MemoryFileSystem files;
  FakeClock clock;
  std::unique_ptr<PosixUdpSocket> socket = PosixUdpSocket::open();
  std::unique_ptr<MainDialog> dialog;
};

TEST_F(MainDialogTest, ControlsFollowTheTemplate) {
  open();
  EXPECT_EQ(dialog->windowTitle(), "VyrModel 1.03");
  EXPECT_FALSE(dialog->windowFlags() & (Qt::WindowCloseButtonHint | Qt::WindowSystemMenuHint));
  const struct {
    int id;
    const char* kind;
    const char* text;
  } controls[] = {
      {1011, "QLineEdit", ""},         {1013, "QComboBox", ""},
      {1001, "QLabel", "IP"},          {1003, "QLabel", "Serial"},
      {1002, "QLabel", "ID"},          {1004, "QLabel", "BIOS"},
      {1007, "QLabel", "Application"}, {1008, "QLabel", "Version"},
      {1009, "QLabel", "Modem ID"},    {1012, "QLabel", "ESN"},
      {1000, "vyr::DeviceList", ""},   {1010, "QPushButton", "E&xit"},
      {1005, "QPushButton", "Resume"}, {1006, "QPushButton", "N"},
  };
  for (const auto& expected : controls) {
    QWidget* widget = dialog->control(expected.id);
    ASSERT_NE(widget, nullptr) << expected.id;
    EXPECT_TRUE(widget->inherits(expected.kind)) << expected.id;
    EXPECT_EQ(widget->property("text").toString(), expected.text) << expected.id;
  }
  for (QPushButton* button : dialog->findChildren<QPushButton*>()) {
    EXPECT_EQ(button->isDefault(), button == dialog->control(RESUME_BUTTON)) << "only Resume";
  }
  const std::map<QString, int> buddies = {{"&Vyr IP Server:", SERVER_FIELD},
                                          {"&IP List:", LIST_SELECTOR}};
  for (QLabel* label : dialog->findChildren<QLabel*>()) {
    const auto buddy = buddies.find(label->text());
    EXPECT_EQ(label->buddy(), buddy == buddies.end() ? nullptr : dialog->control(buddy->second))
        << label->text().toStdString();
  }

  // Positions and sizes in dialog units of the dialog's font; the closed selector is as high as
  // the style draws it.
  const DialogBaseUnits base = dialog->baseUnits();
  EXPECT_EQ(dialog->size(), QSize(horizontalPixels(419, base), verticalPixels(167, base)));
  for (const ControlTemplate& entry : MAIN_CONTROLS) {
    if (entry.id == NO_ID) continue;
    const QRect expected(horizontalPixels(entry.x, base), verticalPixels(entry.y, base),
                         horizontalPixels(entry.width, base), verticalPixels(entry.height, base));
    const QRect actual = dialog->control(entry.id)->geometry();
    EXPECT_EQ(actual.topLeft(), expected.topLeft()) << entry.id;
    EXPECT_EQ(actual.width(), expected.width()) << entry.id;
    if (entry.id != LIST_SELECTOR) {
      EXPECT_EQ(actual.height(), expected.height()) << entry.id;
    }
  }
  expectIdle(true);
  EXPECT_EQ(focusedId(), SERVER_FIELD) << "the first control with a tab stop starts with focus";
}

TEST_F(MainDialogTest, TabAndMnemonicsMoveAsTheTemplateSays) {
  open();
  const int tabOrder[] = {LIST_SELECTOR, LIST_VIEW,  EXIT_BUTTON,
                          RESUME_BUTTON, NEW_BUTTON, SERVER_FIELD};
  for (int expected : tabOrder) {
    press(Qt::Key_Tab);
    EXPECT_EQ(focusedId(), expected);
  }
  const struct {
    int key;
    int focus;
  } mnemonics[] = {{Qt::Key_I, LIST_SELECTOR}, {Qt::Key_V, SERVER_FIELD}};
  for (const auto& mnemonic : mnemonics) {
    press(mnemonic.key, Qt::AltModifier);
    EXPECT_EQ(focusedId(), mnemonic.focus) << static_cast<char>(mnemonic.key);
  }
  press(Qt::Key_X, Qt::AltModifier);  // a mnemonic clicks its button after a short animation
  EXPECT_TRUE(QTest::qWaitFor([&] { return !dialog->isVisible(); }))
      << "Alt+X is Exit, which ends the idle dialog";
  EXPECT_EQ(dialog->result(), -1);
}

TEST_F(MainDialogTest, EscapeIsIgnoredEverywhere) {
  open();
  for (int id : {SERVER_FIELD, LIST_SELECTOR, LIST_VIEW, NEW_BUTTON}) {
    dialog->control(id)->setFocus();
    press(Qt::Key_Escape);
    EXPECT_TRUE(dialog->isVisible()) << id;
  }
}

TEST_F(MainDialogTest, StartButtonsWithoutRowsDoNothing) {
  open();
  ASSERT_EQ(dialog->list().rowCount(), 0);
  control<QPushButton>(NEW_BUTTON)->click();
  control<QPushButton>(RESUME_BUTTON)->click();
  dialog->control(SERVER_FIELD)->setFocus();
  press(Qt::Key_Return);
  expectIdle(true);
  EXPECT_EQ(dialog->context().sendQueue.nodeCount, 0u);
  EXPECT_EQ(socket->wantsWriteReadiness(), false);
  EXPECT_EQ(dialog->findChild<QMessageBox*>(), nullptr) << "only a busy list is told of";
}

// While idle the timer finds no units, but what is queued still goes out: the send queue outlives
// the survey that filled it.
TEST_F(MainDialogTest, TheIdleTimerStillSendsWhatIsQueued) {
  const int listener = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof local;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&local), &size), 0);

  open();
  const uint8_t loopback[4] = {127, 0, 0, 1};
  SocketAddress to{};
  setSocketAddress(to, loopback, ntohs(local.sin_port));
  const uint8_t bytes[3] = {1, 2, 3};
  enqueueDatagram(dialog->context(), to, bytes, sizeof bytes, NO_LINK);
  ASSERT_EQ(dialog->context().sendQueue.nodeCount, 1u);
  uint8_t received[8] = {};
  ssize_t count = -1;
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        count = ::recv(listener, received, sizeof received, 0);
        return count >= 0;
      },
      2000))
      << "no tick sent the queued datagram";
  EXPECT_EQ(count, 3);
  EXPECT_EQ(dialog->context().sendQueue.nodeCount, 0u);
  expectIdle(true);
  ::close(listener);
}

TEST_F(MainDialogTest, TheKeyboardChoosesAListAndEnterResumes) {
  open();
  auto* selector = control<QComboBox>(LIST_SELECTOR);
  ASSERT_EQ(selector->count(), 2);
  EXPECT_EQ(selector->itemText(0), "b.IPs");
  EXPECT_EQ(selector->currentIndex(), -1) << "nothing is chosen until the operator chooses";

  selector->setCurrentIndex(1);
  EXPECT_EQ(dialog->list().rowCount(), 0) << "a choice the program makes loads nothing";
  selector->setCurrentIndex(-1);

  press(Qt::Key_I, Qt::AltModifier);
  press(Qt::Key_Down);
  EXPECT_EQ(dialog->list().rowCount(), 3) << "b.IPs";
  press(Qt::Key_Down);
  ASSERT_EQ(dialog->list().rowCount(), 2) << "north.IPs";
  EXPECT_EQ(dialog->list().rows().row(1), " 0.0.0.0\t501\tA17");

  QSignalSpy resumed(control<QPushButton>(RESUME_BUTTON), &QPushButton::clicked);
  press(Qt::Key_V, Qt::AltModifier);
  QTest::keyClicks(QApplication::focusWidget(), "127.0.0.1");
  press(Qt::Key_Return);
  EXPECT_EQ(resumed.count(), 1) << "Enter presses the default button";
  expectIdle(false);
  EXPECT_EQ(focusedId(), EXIT_BUTTON);
  EXPECT_TRUE(dialog->isVisible());

  control<QPushButton>(EXIT_BUTTON)->click();  // now Abort
  expectIdle(true);
  EXPECT_TRUE(dialog->isVisible()) << "Abort ends the survey, not the program";
  EXPECT_NE(files.contents("north.model"), nullptr) << "an aborted survey is saved";
  EXPECT_NE(files.contents("north.soFar"), nullptr);
}

TEST_F(MainDialogTest, TheMouseChoosesAListAndEnterPressesResumeFromAnyField) {
  open();
  auto* selector = control<QComboBox>(LIST_SELECTOR);
  selector->showPopup();
  QAbstractItemView* popup = selector->view();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(popup->window()));
  QTest::mouseClick(popup->viewport(), Qt::LeftButton, {},
                    popup->visualRect(popup->model()->index(1, 0)).center());
  ASSERT_EQ(dialog->list().rowCount(), 2) << "north.IPs, chosen with the mouse";

  QSignalSpy resumed(control<QPushButton>(RESUME_BUTTON), &QPushButton::clicked);
  for (int id : {SERVER_FIELD, LIST_SELECTOR, LIST_VIEW}) {
    dialog->control(id)->setFocus();
    press(Qt::Key_Return);
    EXPECT_TRUE(surveyRunning(dialog->context())) << id;
    control<QPushButton>(EXIT_BUTTON)->click();  // Abort
  }
  EXPECT_EQ(resumed.count(), 3);
  expectIdle(true);
}

// Enter presses Resume, the default button, and nothing while a survey runs, wherever the program
// put the focus; only a button the operator tabs to is Enter's, and only while it keeps the focus.
TEST_F(MainDialogTest, EnterPressesResumeOrTheButtonTabbedTo) {
  const struct {
    const char* name;
    bool running;           // a survey runs when Enter is pressed; else it was aborted
    int focus;              // the program's focus before the keys, NO_ID: Exit's from the start
    std::vector<int> keys;  // pressed before Enter
    int pressed;            // the button Enter presses, NO_ID: none
  } cases[] = {
      {"a survey runs, Abort focused by the start", true, NO_ID, {}, NO_ID},
      {"a survey runs, the list focused", true, LIST_VIEW, {}, NO_ID},
      {"a survey runs, Tab to Abort", true, LIST_VIEW, {Qt::Key_Tab}, EXIT_BUTTON},
      {"idle, Exit focused by the start", false, NO_ID, {}, RESUME_BUTTON},
      {"idle, Tab to Exit", false, LIST_VIEW, {Qt::Key_Tab}, EXIT_BUTTON},
      {"idle, Tab to Exit and Backtab off it", false, LIST_VIEW, {Qt::Key_Tab, Qt::Key_Backtab},
       RESUME_BUTTON},
      {"idle, Tab past Resume to N", false, NO_ID, {Qt::Key_Tab, Qt::Key_Tab}, NEW_BUTTON},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    open();
    press(Qt::Key_I, Qt::AltModifier);
    press(Qt::Key_Down);
    control<QPushButton>(RESUME_BUTTON)->click();
    ASSERT_EQ(focusedId(), EXIT_BUTTON);
    if (!c.running) control<QPushButton>(EXIT_BUTTON)->click();  // Abort
    if (c.focus != NO_ID) dialog->control(c.focus)->setFocus();
    for (int key : c.keys) press(key);
    std::map<int, std::unique_ptr<QSignalSpy>> clicks;
    for (int id : {EXIT_BUTTON, RESUME_BUTTON, NEW_BUTTON}) {
      clicks[id] = std::make_unique<QSignalSpy>(control<QPushButton>(id), &QPushButton::clicked);
    }
    press(Qt::Key_Return);
    for (const auto& [id, spy] : clicks) EXPECT_EQ(spy->count(), id == c.pressed ? 1 : 0) << id;
    const bool ended = c.pressed == EXIT_BUTTON && !c.running;
    EXPECT_EQ(dialog->isVisible(), !ended);
    const bool runsAfter = c.pressed == NO_ID ? c.running : c.pressed != EXIT_BUTTON;
    if (!ended) expectIdle(!runsAfter);
  }
}

TEST_F(MainDialogTest, DestroyingTheDialogSavesARunningSurvey) {
  open();
  press(Qt::Key_I, Qt::AltModifier);
  press(Qt::Key_Down);
  control<QPushButton>(NEW_BUTTON)->click();
  ASSERT_TRUE(surveyRunning(dialog->context()));
  dialog.reset();
  const std::string* report = files.contents("b.model");
  ASSERT_NE(report, nullptr);
  EXPECT_EQ(*report,
            "IP\tSerial\tID\tBIOS\tApplication\tVersion\tModem ID\tESN\r\n"
            "127.0.0.2\t0\t\t0.00\t\t0.00\r\n"
            "127.0.0.3\t0\t\t0.00\t\t0.00\r\n"
            "127.0.0.4\t0\t\t0.00\t\t0.00\r\n");
  ASSERT_NE(files.contents("b.soFar"), nullptr);
  EXPECT_EQ(files.contents("b.soFar")->size(), 8u + 3 * sizeof(DeviceRecord));
}

TEST_F(MainDialogTest, ReplacingARowKeepsTheViewAndSkipsUnchangedText) {
  open();
  DeviceList& list = dialog->list();
  QSignalSpy insertions(&list.rows(), &RowModel::rowsInserted);
  for (int i = 0; i < 10000; ++i) list.addRow(("127.0.0." + std::to_string(i)).c_str());
  list.replaceRow(9999, "127.0.0.x");  // before the view knows of the row
  QApplication::processEvents();
  EXPECT_EQ(insertions.count(), 1) << "the view learns of a pass's rows at once";
  EXPECT_EQ(list.rows().data(list.model()->index(9999, 0), Qt::DisplayRole), "127.0.0.x");
  list.scrollTo(list.model()->index(5000, 0), QAbstractItemView::PositionAtTop);
  QApplication::processEvents();
  const auto topRow = [&] { return list.indexAt(QPoint(4, 2)).row(); };
  ASSERT_EQ(topRow(), 5000);

  QSignalSpy redraws(&list.rows(), &RowModel::dataChanged);
  list.replaceRow(5000, "127.0.0.5000");
  EXPECT_EQ(redraws.count(), 0) << "identical text redraws nothing";
  const int32_t changed[] = {5000, 5001, 4999, 9999};
  for (int32_t row : changed) list.replaceRow(row, " 127.0.0.5\t501\tA17");
  list.replaceRow(10000, "no such row");
  list.replaceRow(-1, "no such row");
  QApplication::processEvents();
  EXPECT_EQ(redraws.count(), 4);
  EXPECT_EQ(topRow(), 5000) << "the operator's view does not move";
  EXPECT_EQ(list.rowCount(), 10000);

  char text[8];
  EXPECT_EQ(list.rowText(5001, text, sizeof text), 7);
  EXPECT_STREQ(text, " 127.0.");
  EXPECT_EQ(list.rowText(10000, text, sizeof text), -1);
  EXPECT_STREQ(text, "");
}

// Rows replaced by longer, shorter, empty and identical texts at the edges of the rows kept
// together and between them: after each, every row shows its last text, the count stays, and only
// a changed row is redrawn.
TEST_F(MainDialogTest, EveryRowShowsItsLastTextAfterItsNeighboursChange) {
  open();
  DeviceList& list = dialog->list();
  std::vector<std::string> rows(70);
  for (int i = 0; i < 70; ++i) list.addRow((rows[i] = "127.0.0." + std::to_string(i)).c_str());
  QApplication::processEvents();
  const std::pair<int32_t, std::string> steps[] = {{0, "127.0.0.0\t\tA17"},
                                                   {31, std::string(109, 'x')},
                                                   {32, ""},
                                                   {33, "127.0.0.33\t5\tA1"},
                                                   {31, "short"},
                                                   {69, std::string(300, 'y')},
                                                   {32, "127.0.0.32"},
                                                   {31, "short"}};
  QSignalSpy redraws(&list.rows(), &RowModel::dataChanged);
  for (const auto& [row, text] : steps) {
    const bool changes = rows[row] != text;
    rows[row] = text;
    list.replaceRow(row, text.c_str());
    ASSERT_EQ(redraws.count(), changes ? 1 : 0) << row;
    ASSERT_TRUE(!changes || redraws.takeFirst()[0].value<QModelIndex>().row() == row) << row;
    ASSERT_EQ(list.model()->rowCount(), 70);
    for (int i = 0; i < 70; ++i) {
      ASSERT_EQ(list.model()->index(i, 0).data().toString().toStdString(), rows[i])
          << "row " << i << " once row " << row << " changed";
    }
  }
}

// Five datagrams waiting, the third too long for the buffer: each pass reads its budget of them in
// the order they came, the one too long counted too, and a pass with nothing left reads none.
TEST(ReadBudgetTest, EachPassReadsItsBudgetInOrder) {
  const std::pair<uint32_t, std::vector<uint32_t>> cases[] = {
      {1, {1, 1, 1, 1, 1, 0}}, {2, {2, 2, 1, 0}}, {5, {5, 0}}, {9, {5, 0}}};
  for (const auto& [budget, expected] : cases) {
    FakeClock clock;
    MemoryNetwork network(clock);
    for (uint8_t i = 0; i < 5; ++i) {
      const std::vector<uint8_t> bytes(i == 2 ? 9 : 1, i);
      network.deliver(SocketAddress{}, bytes.data(), static_cast<uint32_t>(bytes.size()));
    }
    ReadBudget reads(network.toolSocket(), budget);
    uint8_t buffer[8] = {};
    uint32_t length = 0;
    SocketAddress source{};
    const auto read = [&] { return reads.receiveFrom(buffer, 8, length, source); };
    std::vector<uint32_t> perPass(expected.size());
    uint8_t next = 0;
    for (uint32_t& count : perPass) {
      for (ReceiveResult r = read(); r != ReceiveResult::NOTHING; r = read(), ++count) {
        EXPECT_EQ(r == ReceiveResult::OVERSIZED ? 2 : buffer[0], next++) << budget;
      }
      reads.refill();
    }
    EXPECT_EQ(perPass, expected) << budget;
  }
}

// Draws one row per column, each its column's number of tabs and a letter, and finds where the
// letter's ink starts: it must sit at the stop taken from that column's header label.
TEST_F(MainDialogTest, TabsExpandAtTheHeaderLabelsStops) {
  open();
  DeviceList& list = dialog->list();
  const DialogBaseUnits base = dialog->baseUnits();
  const int listOrigin = list.mapTo(dialog.get(), list.contentsRect().topLeft()).x();
  for (size_t column = 0; column < TAB_STOP_HEADERS.size(); ++column) {
    const int stop = list.tabStops()[column];
    const int headerLeft = dialog->control(TAB_STOP_HEADERS[column])->x() - listOrigin;
    EXPECT_LE(mulDiv(stop, base.x, 4), headerLeft) << column;
    EXPECT_GT(mulDiv(stop + 1, base.x, 4), headerLeft - 1) << "truncated by less than a unit";
    list.addRow((std::string(column + 1, '\t') + "W").c_str());
  }
  QApplication::processEvents();  // the rows reach the view,
  QApplication::processEvents();  // which lays them out
  const QImage image = list.viewport()->grab().toImage();
  const int rowHeight = list.sizeHintForRow(0);
  for (size_t column = 0; column < TAB_STOP_HEADERS.size(); ++column) {
    int ink = -1;
    for (int x = 0; x < image.width() && ink < 0; ++x) {
      for (int y = static_cast<int>(column) * rowHeight;
           y < static_cast<int>(column + 1) * rowHeight; ++y) {
        if (qGray(image.pixel(x, y)) < 128) {
          ink = x;
          break;
        }
      }
    }
    const int stopPixels = mulDiv(list.tabStops()[column], base.x, 4);
    EXPECT_GE(ink, stopPixels - 1) << column;
    EXPECT_LE(ink, stopPixels + base.x / 2) << column;
  }
}

}  // namespace
}  // namespace vyr::testing
