#include "app/win32/main_window.h"

#include "app/busy_list_message.h"
#include "app/dialog_units.h"
#include "app/main_template.h"
#include "app/win32/survey_events.h"
#include "core/survey_driver.h"
#include "survey/lifecycle.h"
#include "survey/list_files.h"
#include "platform/win32/latin1_text.h"

namespace vyr {
namespace {

// The next step of a start, for the survey whose number is in wParam.
constexpr UINT CONTINUE_START = WM_APP;

MainWindow* mainOf(HWND window) {
  return reinterpret_cast<MainWindow*>(::GetWindowLongPtrW(window, DWLP_USER));
}

void initialise(HWND window, MainWindow& main) {
  main.dialog.attach(window);
  main.list.attach(::GetDlgItem(window, LIST_VIEW));
  fillListSelector(main.context);
  main.list.setTabStops(computeTabStops(window));
  main.events.watch(window);
}

// A start takes several messages: the table is built now, and each of the steps that follow (an
// index by each key, then asking every unit) comes with a posted message of its own, so that a
// hundred thousand units never hold the dialog for the whole start. Posted messages come before
// any WM_TIMER, so no tick polls in between.
void pressStartButton(HWND window, MainWindow& main, StartMode mode) {
  if (startSurvey(main.context, mode)) {
    ::PostMessageW(window, CONTINUE_START, main.context.survey.surveyNumber, 0);
  } else if (main.context.survey.startRefusal == StartRefusal::LIST_BUSY) {
    char listName[LIST_NAME_BUFFER];
    main.dialog.selectorText(listName, static_cast<int32_t>(sizeof listName));
    const std::string text = busyListMessage(listName, main.context.survey.startProblem);
    main.showMessage(window, widenLatin1(text.c_str()).c_str(), widenLatin1(MAIN_CAPTION).c_str(),
                     MB_ICONWARNING | MB_OK);
  }
}

// Commands nobody handles, Escape's IDCANCEL among them, do nothing: Exit is the only way out.
void command(HWND window, MainWindow& main, int id, int notification) {
  switch (id) {
    case RESUME_BUTTON:
      pressStartButton(window, main, StartMode::RESUME);
      break;
    case NEW_BUTTON:
      pressStartButton(window, main, StartMode::FRESH);
      break;
    case EXIT_BUTTON:
      if (surveyRunning(main.context)) {
        abortSurvey(main.context);
      } else {
        ::EndDialog(window, -1);
      }
      break;
    case LIST_SELECTOR:
      if (notification == CBN_SELCHANGE) chooseListFile(main.context);
      break;
    default:
      break;
  }
  main.events.watchSends();
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
      if (continueStart(main->context, static_cast<uint32_t>(wParam))) {
        ::PostMessageW(window, CONTINUE_START, wParam, 0);
      }
      main->events.watchSends();
      return TRUE;
    case WM_TIMER:
      main->events.route(message, lParam);
      return FALSE;
    case SOCKET_NOTIFICATION:
      main->events.route(message, lParam);
      return TRUE;
    case WM_ENDSESSION:
      // The session ends and the process with it, right after this returns: the running survey
      // is saved now, and the dialog ends as Exit would end it.
      if (wParam) {
        closeSurvey(main->context);
        ::EndDialog(window, -1);
      }
      return FALSE;
    case WM_DESTROY:
      closeSurvey(main->context);
      main->events.stop();
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
