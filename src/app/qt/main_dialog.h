#pragma once
// The main dialog "MAIN": its controls, and the routing of its events to the survey and the
// protocol. Everything runs on the dialog's thread.

#include <QDialog>
#include <QSocketNotifier>
#include <QTimer>
#include <map>
#include <memory>

#include "app/dialog_units.h"
#include "core/context.h"
#include "platform/dialog.h"
#include "platform/paced_socket.h"
#include "survey/lifecycle.h"

class QComboBox;
class QLineEdit;
class QPushButton;

namespace vyr {

class DeviceList;
class PosixUdpSocket;

class MainDialog final : public QDialog, public Dialog {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(MainDialog)

 public:
  // Builds the dialog from its template and initialises it: the list selector, the list's tab
  // stops, the socket notifications and the 250 ms timer. Sends go out as `pacing` allows.
  MainDialog(FileSystem& files, Clock& clock, PosixUdpSocket& socket, SendPacing pacing = {});
  // Saves a running survey and stops the timer.
  ~MainDialog() override;

  // The control with this identifier, or null.
  QWidget* control(int id) const;
  DeviceList& list() const { return *list_; }
  Context& context() { return *context_; }
  DialogBaseUnits baseUnits() const { return base_; }
  int beeps() const { return beeps_; }

  // Ends the dialog from outside, as on a termination signal; its destruction saves the survey.
  void end() { done(-1); }
  // Saves a running survey and lets it run on: the desktop session asks before it ends.
  void commitData();

  void setControlsIdle(bool enabled) override;
  void setExitCaption(const char* caption) override;
  void focusExit() override;
  void beep() override;
  int32_t serverFieldText(char* buffer, int32_t size) const override;
  int32_t selectorText(char* buffer, int32_t size) const override;
  void addSelectorItem(const char* name) override;

  // Escape and the window system's close do nothing: Exit is the only way out.
  void reject() override {}

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void buildControls();
  void computeTabStops();
  void pressExit();
  void pressStartButton(StartMode mode);
  // Tells the operator that another survey holds the chosen list, in a message box of its own.
  void showListBusy();
  // Takes the next step of the start under way, if any, and sets the one after it, or the tick
  // the start held back, for the loop's next pass.
  void continuePendingStart();
  void chooseList();
  void tick();
  void readable();
  void writable();
  // After every call into the core: write readiness is watched only while a send has found the
  // socket full, so that an always writable UDP socket never wakes the loop for nothing, and sends
  // the pacing held back are flushed when it lets them go.
  void watchSends();
  void pacedFlushDue();

  PosixUdpSocket& socket_;
  PacedSocket paced_;
  DialogBaseUnits base_{};
  std::map<int, QWidget*> controls_;
  QLineEdit* server_ = nullptr;
  QComboBox* selector_ = nullptr;
  DeviceList* list_ = nullptr;
  QPushButton* exit_ = nullptr;
  std::unique_ptr<Context> context_;
  QTimer timer_;
  QTimer pacedFlush_;
  QTimer startStep_;
  QSocketNotifier readNotifier_;
  QSocketNotifier writeNotifier_;
  uint32_t startPending_ = 0;  // the survey whose start has steps left, or 0
  bool tickOwed_ = false;      // a tick came while a start was under way
  int beeps_ = 0;
};

}  // namespace vyr
