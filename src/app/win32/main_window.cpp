#include "app/win32/main_window.h"

#include "app/busy_list_message.h"
#include "app/dialog_units.h"
#include "app/main_template.h"
#include "core/survey_driver.h"
#include "platform/win32/latin1_text.h"

namespace vyr {
namespace {

// The next step of a start, taken after the messages already queued (painting, input).
constexpr UINT CONTINUE_START = WM_APP;

MainWindow* mainOf(HWND window) {
  return reinterpret_cast<MainWindow*>(::GetWindowLongPtrW(window, DWLP_USER));
}

// A verb that may replace many rows (a drain, a tick, a start's step) in one pass of the list:
// its rows are painted once, after it, and before its wait is armed.
DriverWait inOnePass(MainWindow& main, DriverWait (*verb)(Context&)) {
  ListPass pass(main.list);
  return verb(main.context);
}

void CALLBACK pacedFlushDue(HWND window, UINT, UINT_PTR, DWORD);

// Waits as the driver says. The socket's notifications stay on whatever it says: FD_WRITE is an
// edge that comes only after a send found no room, and an FD_READ during a start is recorded by
// the driver as a drain it owes; Winsock posts the next FD_READ once that drain has read.
void await(HWND window, MainWindow& main, const DriverWait& wait) {
  if (wait.startStepPending && !main.stepPosted) {
    main.stepPosted = ::PostMessageW(window, CONTINUE_START, 0, 0) != FALSE;
  }
  if (wait.flushInMs >= 0) {
    ::SetTimer(window, PACED_FLUSH_TIMER, static_cast<UINT>(wait.flushInMs), pacedFlushDue);
  } else {
    ::KillTimer(window, PACED_FLUSH_TIMER);
  }
}

void CALLBACK pacedFlushDue(HWND window, UINT, UINT_PTR, DWORD) {
  ::KillTimer(window, PACED_FLUSH_TIMER);
  MainWindow* main = mainOf(window);
  if (main != nullptr) await(window, *main, inOnePass(*main, flushDue));
}

void initialise(HWND window, MainWindow& main) {
  main.dialog.attach(window);
  main.list.attach(::GetDlgItem(window, LIST_VIEW));
  initialiseSelector(main.context);
  main.list.setTabStops(computeTabStops(window));
  ::WSAAsyncSelect(main.socket.handle(), window, SOCKET_NOTIFICATION, FD_READ | FD_WRITE);
  ::SetTimer(window, TICK_TIMER, TICK_PERIOD, nullptr);
}

void pressStartButton(HWND window, MainWindow& main, StartMode mode) {
  // Resume and N are disabled while a survey runs, and a start then would drop that survey
  // unsaved: a command that comes all the same (a dialog manager that sends Enter to a disabled
  // default button) does nothing.
  if (surveyRunning(main.context)) return;
  DriverWait wait;
  bool started = false;
  {
    ListPass pass(main.list);
    started = pressStart(main.context, mode, wait);
  }
  // The message box has a loop of its own, which must find the list painting.
  if (!started && main.context.survey.startRefusal == StartRefusal::LIST_BUSY) {
    char listName[LIST_NAME_BUFFER];
    main.dialog.selectorText(listName, static_cast<int32_t>(sizeof listName));
    const std::string text = busyListMessage(listName, main.context.survey.startProblem);
    main.showMessage(window, widenLatin1(text.c_str()).c_str(), widenLatin1(MAIN_CAPTION).c_str(),
                     MB_ICONWARNING | MB_OK);
  }
  await(window, main, wait);
}

// Commands nobody handles, Escape's IDCANCEL among them, do nothing: Exit is the only way out.
void command(HWND window, MainWindow& main, int id, int notification) {
  DriverWait wait;
  switch (id) {
    case RESUME_BUTTON:
      pressStartButton(window, main, StartMode::RESUME);
      break;
    case NEW_BUTTON:
      pressStartButton(window, main, StartMode::FRESH);
      break;
    case EXIT_BUTTON:
      if (ListPass pass(main.list); pressExit(main.context, wait)) {
        ::EndDialog(window, -1);
      } else {
        await(window, main, wait);
      }
      break;
    case LIST_SELECTOR:
      if (notification == CBN_SELCHANGE) {
        ListPass pass(main.list);
        listChosen(main.context);
      }
      break;
    default:
      break;
  }
}

DriverWait socketNotification(Context& context, LPARAM lParam) {
  // The error half is not looked at: the read or the send that follows meets the error itself.
  switch (WSAGETSELECTEVENT(lParam)) {
    case FD_READ:
      return socketReadable(context);
    case FD_WRITE:
      return socketWritable(context);
    default:
      return currentWait(context);
  }
}

// Winsock posts FD_READ again after each read that leaves a datagram waiting, so a drain of many
// leaves as many notifications queued, each worth a pass and a read that finds nothing. The ones
// queued before the drain that is about to run announce nothing it will not read: they are taken
// unanswered. Returns whether an FD_WRITE was among them, to be answered after that drain.
bool dropRepostedReadNotifications(HWND window, MainWindow& main) {
  if (main.socket.takeRepostedReadNotifications() == 0) return false;
  bool writable = false;
  for (MSG queued; ::PeekMessageW(&queued, window, SOCKET_NOTIFICATION, SOCKET_NOTIFICATION,
                                  PM_REMOVE) != FALSE;) {
    if (WSAGETSELECTEVENT(queued.lParam) == FD_WRITE) writable = true;
  }
  return writable;
}

void stopWatching(HWND window, MainWindow& main) {
  ::WSAAsyncSelect(main.socket.handle(), window, 0, 0);
  ::KillTimer(window, TICK_TIMER);
  ::KillTimer(window, PACED_FLUSH_TIMER);
}

}  // namespace

INT_PTR CALLBACK mainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    ::SetWindowLongPtrW(window, DWLP_USER, lParam);
    initialise(window, *reinterpret_cast<MainWindow*>(lParam));
    return TRUE;  // the system places the initial focus
  }
  MainWindow* main = mainOf(window);
  if (main == nullptr) return FALSE;  // the font and the like, before initialisation
  switch (message) {
    case WM_COMMAND:
      command(window, *main, LOWORD(wParam), HIWORD(wParam));
      return FALSE;
    case CONTINUE_START:
      main->stepPosted = false;
      await(window, *main, inOnePass(*main, startStep));
      return TRUE;
    case WM_TIMER:
      // A timer with a procedure of its own (the paced flush) never comes here.
      if (lParam == 0) await(window, *main, inOnePass(*main, timerDue));
      return FALSE;
    case SOCKET_NOTIFICATION: {
      const bool writableToo =
          WSAGETSELECTEVENT(lParam) == FD_READ && dropRepostedReadNotifications(window, *main);
      DriverWait wait;
      {
        ListPass pass(main->list);
        wait = socketNotification(main->context, lParam);
        if (writableToo) wait = socketWritable(main->context);
      }
      await(window, *main, wait);
      return TRUE;
    }
    case WM_ENDSESSION:
      // The session ends and the process with it, right after this returns: the running survey
      // is saved now, and the dialog ends as Exit would end it.
      if (wParam) {
        endDriving(main->context);
        ::EndDialog(window, -1);
      }
      return FALSE;
    case WM_DESTROY:
      endDriving(main->context);
      stopWatching(window, *main);
      return FALSE;
    default:
      return FALSE;
  }
}

void runMainDialog(HINSTANCE instance, MainWindow& main) {
  ::DialogBoxParamW(instance, MAIN_TEMPLATE, nullptr, mainDialogProc,
                    reinterpret_cast<LPARAM>(&main));
}

std::array<int32_t, 7> computeTabStops(HWND dialog) {
  RECT four{0, 0, 4, 8};
  ::MapDialogRect(dialog, &four);
  POINT origin{0, 0};
  ::ClientToScreen(::GetDlgItem(dialog, LIST_VIEW), &origin);
  std::array<int32_t, 7> stops{};
  for (size_t i = 0; i < stops.size(); ++i) {
    RECT header{};
    ::GetWindowRect(::GetDlgItem(dialog, TAB_STOP_HEADERS[i]), &header);
    stops[i] = four.right > 0 ? tabStopFor(header.left, origin.x, four.right) : 0;
  }
  return stops;
}

}  // namespace vyr
