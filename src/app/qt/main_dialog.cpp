#include "app/qt/main_dialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFocusEvent>
#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <algorithm>

#include "app/busy_list_message.h"
#include "app/main_template.h"
#include "app/qt/device_list.h"
#include "platform/bounded_copy.h"

namespace vyr {
namespace {

QString latin1(const char* text) { return QString::fromLatin1(text); }

// A control's text as the 8-bit bytes the core works in, cut to `size` - 1 bytes and a NUL.
int32_t copyLatin1(const QString& text, char* buffer, int32_t size) {
  const QByteArray bytes = text.toLatin1();
  return copyBounded(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())), buffer,
                     size);
}

// The dialog font's base units, measured as the original dialog manager measured them.
DialogBaseUnits measureBaseUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  const int32_t alphabet = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return {averageCharWidth(alphabet), metrics.height()};
}

// Datagrams one pass of the loop reads: about ten milliseconds of replies and their rows.
constexpr uint32_t READS_PER_PASS = 2048;

// Resume continues from the progress file; N starts afresh.
StartMode startModeOf(int button) {
  return button == RESUME_BUTTON ? StartMode::RESUME : StartMode::FRESH;
}

}  // namespace

MainDialog::MainDialog(FileSystem& files, Clock& clock, UdpSocket& socket, int descriptor,
                       SendPacing pacing)
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      paced_(socket, clock, pacing),
      reads_(paced_, READS_PER_PASS),
      readNotifier_(descriptor, QSocketNotifier::Read),
      writeNotifier_(descriptor, QSocketNotifier::Write) {
  QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  font.setPointSize(MAIN_FONT_POINTS);
  setFont(font);
  base_ = measureBaseUnits(font);
  setWindowTitle(latin1(MAIN_CAPTION));
  setFixedSize(horizontalPixels(MAIN_WIDTH, base_), verticalPixels(MAIN_HEIGHT, base_));
  // Centred on the screen, as the template asks; a dialog would otherwise sit a third of the way
  // down.
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));
  }
  buildControls();
  context_ = std::make_unique<Context>(files, *this, *list_, clock, reads_);

  // Initialisation.
  initialiseSelector(*context_);
  computeTabStops();
  // The socket's readiness starts a drain in a pass of its own. Replies that come during a tick's
  // flush and drain find the socket readable once the tick is over, and read at once they would
  // hold the loop for the two together, before it could paint or take input.
  drain_.setSingleShot(true);
  drain_.setInterval(0);
  connect(&drain_, &QTimer::timeout, this, [this] { await(socketReadable(*context_)); });
  connect(&readNotifier_, &QSocketNotifier::activated, this, [this] {
    readNotifier_.setEnabled(false);
    drain_.start();
  });
  connect(&writeNotifier_, &QSocketNotifier::activated, this,
          [this] { await(socketWritable(*context_)); });
  flush_.setSingleShot(true);
  flush_.setTimerType(Qt::PreciseTimer);
  connect(&flush_, &QTimer::timeout, this, [this] { await(flushDue(*context_)); });
  connect(&timer_, &QTimer::timeout, this, [this] { await(timerDue(*context_)); });
  // A timer of no delay rather than a posted call: the loop then paints, reads and ticks between
  // two steps of a start, where it would deliver a call posted meanwhile at once.
  startStep_.setSingleShot(true);
  startStep_.setInterval(0);
  connect(&startStep_, &QTimer::timeout, this, [this] { await(startStep(*context_)); });
  await(currentWait(*context_));
  timer_.setTimerType(Qt::PreciseTimer);
  timer_.start(static_cast<int>(TICK_PERIOD));
}

MainDialog::~MainDialog() { endDriving(*context_); }

QPushButton* MainDialog::buildButton(const ControlTemplate& entry) {
  auto* button = new QPushButton(latin1(entry.text), this);
  // Enter presses the default button, never the one the program gave the focus to; only the
  // operator's Tab to a button makes it Enter's while it has the focus (eventFilter).
  button->setAutoDefault(false);
  button->setDefault(entry.kind == ControlKind::DEFAULT_BUTTON);
  button->installEventFilter(this);
  const int id = entry.id;
  if (id == EXIT_BUTTON) {
    exit_ = button;
    connect(button, &QPushButton::clicked, this, &MainDialog::exitPressed);
  } else {
    if (id == RESUME_BUTTON) resume_ = button;
    const StartMode mode = startModeOf(id);
    connect(button, &QPushButton::clicked, this, [this, mode] { startPressed(mode); });
  }
  return button;
}

void MainDialog::buildControls() {
  QWidget* previousFocus = nullptr;
  QLabel* pendingMnemonic = nullptr;
  for (const ControlTemplate& entry : MAIN_CONTROLS) {
    QWidget* widget = nullptr;
    switch (entry.kind) {
      case ControlKind::LABEL: {
        auto* label = new QLabel(latin1(entry.text), this);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        if (label->text().contains(u'&')) pendingMnemonic = label;
        widget = label;
        break;
      }
      case ControlKind::EDIT:
        server_ = new QLineEdit(this);
        widget = server_;
        break;
      case ControlKind::SELECTOR:
        selector_ = new QComboBox(this);
        // Like the original drop-down list, every choice the operator makes counts, by mouse or
        // by keyboard, while choices made by the program do not.
        connect(selector_, &QComboBox::activated, this, [this] { listChosen(*context_); });
        widget = selector_;
        break;
      case ControlKind::LIST:
        list_ = new DeviceList(this);
        widget = list_;
        break;
      case ControlKind::BUTTON:
      case ControlKind::DEFAULT_BUTTON: {
        widget = buildButton(entry);
        break;
      }
    }
    if (entry.kind != ControlKind::LABEL && pendingMnemonic != nullptr) {
      pendingMnemonic->setBuddy(widget);
      pendingMnemonic = nullptr;
    }

    int height = verticalPixels(entry.height, base_);
    if (entry.kind == ControlKind::SELECTOR) {
      // The template's height includes the dropped-down list; the closed box is as high as the
      // style draws it.
      const int closed = selector_->sizeHint().height();
      const int itemHeight = QFontMetrics(font()).height();
      selector_->setMaxVisibleItems(std::max(1, (height - closed) / itemHeight));
      height = closed;
    }
    widget->setGeometry(horizontalPixels(entry.x, base_), verticalPixels(entry.y, base_),
                        horizontalPixels(entry.width, base_), height);
    if (entry.id != NO_ID) controls_[entry.id] = widget;
    if (entry.kind != ControlKind::LABEL) {
      if (previousFocus != nullptr) setTabOrder(previousFocus, widget);
      previousFocus = widget;
    }
  }
}

QWidget* MainDialog::control(int id) const {
  const auto found = controls_.find(id);
  return found == controls_.end() ? nullptr : found->second;
}

// Each column stop is where its header label starts, measured from the list's client origin in
// quarters of the average character width, so the columns sit under their labels at any font.
void MainDialog::computeTabStops() {
  list_->ensurePolished();
  const int32_t fourUnits = horizontalPixels(4, base_);
  const int32_t origin = list_->mapToGlobal(list_->contentsRect().topLeft()).x();
  std::array<int32_t, 7> stops{};
  for (size_t i = 0; i < stops.size(); ++i) {
    const int32_t left = control(TAB_STOP_HEADERS[i])->mapToGlobal(QPoint(0, 0)).x();
    stops[i] = tabStopFor(left, origin, fourUnits);
  }
  list_->setTabStops(stops, base_.x);
}

void MainDialog::exitPressed() {
  DriverWait wait;
  const bool ending = pressExit(*context_, wait);
  await(wait);
  if (ending) done(-1);
}

// A start takes several passes of the event loop: the table is built in this one, and each of the
// steps that follow (an index by each key, then asking every unit) gets a pass of its own. With a
// hundred thousand units, all of it in one pass would hold the dialog several times as long.
void MainDialog::startPressed(StartMode mode) {
  DriverWait wait;
  const bool started = pressStart(*context_, mode, wait);
  await(wait);
  if (!started && context_->survey.startRefusal == StartRefusal::LIST_BUSY) showListBusy();
}

// Window-modal and opened rather than run: the loop goes on (the other survey's datagrams, the
// timer) while the box waits for its OK.
void MainDialog::showListBusy() {
  char listName[LIST_NAME_BUFFER];
  selectorText(listName, static_cast<int32_t>(sizeof listName));
  auto* box = new QMessageBox(
      QMessageBox::Warning, latin1(MAIN_CAPTION),
      latin1(busyListMessage(listName, context_->survey.startProblem).c_str()), QMessageBox::Ok,
      this);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::WindowModal);
  box->open();
}

void MainDialog::await(const DriverWait& wait) {
  if (wait.startStepPending) {
    if (!startStep_.isActive()) startStep_.start();
  } else {
    startStep_.stop();
  }
  if (!wait.readReadiness) drain_.stop();
  readNotifier_.setEnabled(wait.readReadiness && !drain_.isActive());
  writeNotifier_.setEnabled(wait.writeReadiness);
  if (wait.flushInMs >= 0) {
    flush_.start(static_cast<int>(wait.flushInMs));
  } else {
    flush_.stop();
  }
  reads_.refill();
}

bool MainDialog::eventFilter(QObject* watched, QEvent* event) {
  auto* button = qobject_cast<QPushButton*>(watched);
  if (button == nullptr) return QDialog::eventFilter(watched, event);
  // Only focus events are looked at, so the cast is to what the event is.
  if (event->type() == QEvent::FocusIn) {
    const Qt::FocusReason reason = dynamic_cast<QFocusEvent*>(event)->reason();
    // Set before the button sees its focus, which then makes it the dialog's default.
    button->setAutoDefault(reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason);
  } else if (event->type() == QEvent::FocusOut &&
             dynamic_cast<QFocusEvent*>(event)->reason() != Qt::PopupFocusReason) {
    endTabDefault(button);
  }
  return QDialog::eventFilter(watched, event);
}

// The button would give the default back itself only while it is auto-default, which it stops
// being here: Resume takes the default again.
void MainDialog::endTabDefault(QPushButton* button) {
  if (!button->autoDefault()) return;
  button->setAutoDefault(false);
  button->setDefault(false);
  resume_->setDefault(true);
}

void MainDialog::closeEvent(QCloseEvent* event) {
  // The window system's close request counts for nothing, as the dialog has no close box. A close
  // from the program itself (the application quitting at the end of the session) ends the dialog.
  if (event->spontaneous()) {
    event->ignore();
    return;
  }
  end();
  event->accept();
}

void MainDialog::commitData() { saveRunningSurvey(*context_); }

void MainDialog::setControlsIdle(bool enabled) {
  for (int id : {SERVER_FIELD, NEW_BUTTON, RESUME_BUTTON, LIST_SELECTOR}) {
    control(id)->setEnabled(enabled);
  }
}

void MainDialog::setExitCaption(const char* caption) { exit_->setText(latin1(caption)); }

void MainDialog::focusExit() {
  // Exit may hold the focus already, from the operator's Tab: the program's focus makes no default.
  endTabDefault(exit_);
  exit_->setFocus(Qt::OtherFocusReason);
}

void MainDialog::beep() { QApplication::beep(); }

int32_t MainDialog::serverFieldText(char* buffer, int32_t size) const {
  return copyLatin1(server_->text(), buffer, size);
}

int32_t MainDialog::selectorText(char* buffer, int32_t size) const {
  return copyLatin1(selector_->currentText(), buffer, size);
}

void MainDialog::addSelectorItem(const char* name) {
  selector_->addItem(latin1(name));
  // A drop-down list starts with nothing chosen; a combo box would choose its first item.
  selector_->setCurrentIndex(-1);
}

}  // namespace vyr
