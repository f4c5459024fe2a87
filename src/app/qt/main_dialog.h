#pragma once
// The main dialog "MAIN": its controls, and the routing of its events to the survey driver's
// verbs. Everything runs on the dialog's thread.

#include <QDialog>
#include <QSocketNotifier>
#include <QTimer>
#include <map>
#include <memory>

#include "app/dialog_units.h"
#include "app/qt/read_budget.h"
#include "core/context.h"
#include "core/survey_driver.h"
#include "platform/dialog.h"
#include "platform/paced_socket.h"
#include "platform/udp_socket.h"

class QComboBox;
class QLineEdit;
class QPushButton;

namespace vyr {

class DeviceList;
struct ControlTemplate;

class MainDialog final : public QDialog, public Dialog {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(MainDialog)

 public:
  // Builds the dialog from its template and initialises it: the list selector, the list's tab
  // stops, the socket notifications (on `descriptor`, the socket's) and the 250 ms timer. Sends
  // go out as `pacing` allows.
  MainDialog(FileSystem& files, Clock& clock, UdpSocket& socket, int descriptor,
             SendPacing pacing = {});
  // Saves a running survey.
  ~MainDialog() override;

  // The control with this identifier, or null.
  QWidget* control(int id) const;
  DeviceList& list() const { return *list_; }
  Context& context() { return *context_; }
  DialogBaseUnits baseUnits() const { return base_; }

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
  // A button the operator tabs to is the one Enter presses while it keeps the focus.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void buildControls();
  QPushButton* buildButton(const ControlTemplate& entry);
  void computeTabStops();
  void exitPressed();
  void startPressed(StartMode mode);
  // Tells the operator that another survey holds the chosen list, in a message box of its own.
  void showListBusy();
  // Sets the timers and notifiers to what the driver waits for after a verb.
  void await(const DriverWait& wait);
  // A button the operator tabbed to stops being the one Enter presses.
  void endTabDefault(QPushButton* button);

  PacedSocket paced_;
  ReadBudget reads_;  // what the core reads in one pass of the loop
  DialogBaseUnits base_{};
  std::map<int, QWidget*> controls_;
  QLineEdit* server_ = nullptr;
  QComboBox* selector_ = nullptr;
  DeviceList* list_ = nullptr;
  QPushButton* exit_ = nullptr;
  QPushButton* resume_ = nullptr;
  std::unique_ptr<Context> context_;
  QTimer timer_;
  QTimer flush_;
  QTimer startStep_;
  QTimer drain_;  // the drain the socket's readiness asked for, in a pass of the loop of its own
  QSocketNotifier readNotifier_;
  QSocketNotifier writeNotifier_;
};

}  // namespace vyr
