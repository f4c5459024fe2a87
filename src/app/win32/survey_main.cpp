// vyr-survey.exe: one survey without the dialog, in the working directory, driven by the same
// window messages as the dialog (timer 1, socket notification 1025) on a message-only window:
//   vyr-survey --server A.B.C.D --list NAME.IPs [--new] [--timeout SECONDS] [--rate PER-SECOND]
// Exit status: 0 complete, 1 could not start, 2 timed out (aborted and saved), 3 stopped by Ctrl+C
// or the console closing (saved), 4 the report or progress file not written in full, 6 another
// survey of the list is running. One summary line goes to stderr.

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>
#include <string_view>

#include "core/survey_driver.h"
#include "platform/counting_socket.h"
#include "platform/memory/memory_dialog.h"
#include "platform/memory/memory_list_view.h"
#include "platform/paced_socket.h"
#include "platform/win32/latin1_text.h"
#include "platform/win32/win32_clock.h"
#include "platform/win32/win32_files.h"
#include "platform/win32/win32_udp_socket.h"
#include "survey/lifecycle.h"
#include "survey/list_files.h"

namespace {

constexpr int MAX_TIMEOUT_SECONDS = 2000000;  // keeps the limit in milliseconds within an int
constexpr UINT STOP_REQUEST = WM_APP;
constexpr UINT SOCKET_NOTIFICATION = WM_USER + 1;
constexpr UINT_PTR TICK_TIMER = 1;
constexpr UINT_PTR PACED_FLUSH_TIMER = 2;
constexpr DWORD SAVE_WAIT_MS = 10000;  // the console closes the process when its handler returns

HWND eventWindow = nullptr;
HANDLE savedEvent = nullptr;

// Runs on a thread of its own: the loop saves, and the handler returns only then.
BOOL WINAPI onConsoleControl(DWORD) {
  ::PostMessageW(eventWindow, STOP_REQUEST, 0, 0);
  ::WaitForSingleObject(savedEvent, SAVE_WAIT_MS);
  return TRUE;
}

struct Options {
  std::string server;
  std::string list;
  vyr::StartMode mode = vyr::StartMode::RESUME;
  int timeoutMs = -1;
  uint32_t rate = 0;  // datagrams a second; 0: as fast as the window allows
};

int usage() {
  std::fprintf(stderr,
               "usage: vyr-survey --server A.B.C.D --list NAME.IPs [--new] [--timeout SECONDS]"
               " [--rate PER-SECOND]\n");
  return 1;
}

bool parseOptions(int argc, wchar_t** argv, Options& options) {
  bool haveServer = false;
  for (int i = 1; i < argc; ++i) {
    const std::wstring_view option = argv[i];
    const bool hasValue = i + 1 < argc;
    if (option == L"--new") {
      options.mode = vyr::StartMode::FRESH;
    } else if (option == L"--server" && hasValue) {
      options.server = vyr::narrowLatin1Lossy(argv[++i]);
      haveServer = true;
    } else if (option == L"--list" && hasValue) {
      options.list = vyr::narrowLatin1Lossy(argv[++i]);
    } else if (option == L"--timeout" && hasValue) {
      wchar_t* end = nullptr;
      const long seconds = std::wcstol(argv[++i], &end, 10);
      if (*end != L'\0' || end == argv[i] || seconds <= 0 || seconds > MAX_TIMEOUT_SECONDS) {
        return false;
      }
      options.timeoutMs = static_cast<int>(seconds) * 1000;
    } else if (option == L"--rate" && hasValue) {
      wchar_t* end = nullptr;
      const unsigned long long rate = std::wcstoull(argv[++i], &end, 10);
      if (*end != L'\0' || end == argv[i] || argv[i][0] == L'-' || rate > UINT32_MAX) return false;
      options.rate = static_cast<uint32_t>(rate);
    } else {
      return false;
    }
  }
  return haveServer && !options.list.empty();
}

enum class Outcome { COMPLETE, TIMED_OUT, STOPPED };

// The dialog's message loop, less the dialog: its messages turned into the driver's verbs.
Outcome runUntilDone(vyr::Context& context, HWND window, int timeoutMs) {
  const uint32_t start = context.clock.tick();
  vyr::DriverWait wait = vyr::currentWait(context);
  MSG message{};
  while (vyr::surveyRunning(context)) {
    if (timeoutMs >= 0 && context.clock.tick() - start >= static_cast<uint32_t>(timeoutMs)) {
      return Outcome::TIMED_OUT;
    }
    if (wait.startStepPending) {
      wait = vyr::startStep(context);
      continue;
    }
    if (wait.flushInMs >= 0) {
      ::SetTimer(window, PACED_FLUSH_TIMER, static_cast<UINT>(wait.flushInMs), nullptr);
    } else {
      ::KillTimer(window, PACED_FLUSH_TIMER);
    }
    if (::GetMessageW(&message, nullptr, 0, 0) <= 0) return Outcome::STOPPED;
    if (message.message == STOP_REQUEST) return Outcome::STOPPED;
    if (message.message == WM_TIMER && message.wParam == PACED_FLUSH_TIMER) {
      ::KillTimer(window, PACED_FLUSH_TIMER);
      wait = vyr::flushDue(context);
    } else if (message.message == WM_TIMER) {
      wait = vyr::timerDue(context);
    } else if (message.message == SOCKET_NOTIFICATION &&
               WSAGETSELECTEVENT(message.lParam) == FD_READ) {
      wait = vyr::socketReadable(context);
    } else if (message.message == SOCKET_NOTIFICATION &&
               WSAGETSELECTEVENT(message.lParam) == FD_WRITE) {
      wait = vyr::socketWritable(context);
    } else {
      ::DispatchMessageW(&message);
    }
  }
  return Outcome::COMPLETE;
}

int survey(const Options& options) {
  std::unique_ptr<vyr::FileSystem> files = vyr::openWin32FileSystem(L".");
  if (!files) {
    std::fprintf(stderr, "vyr-survey: cannot read the working directory\n");
    return 1;
  }
  std::unique_ptr<vyr::Win32UdpSocket> socket = vyr::Win32UdpSocket::open();
  if (!socket) {
    std::fprintf(stderr, "vyr-survey: cannot open a UDP socket: error %d\n", ::WSAGetLastError());
    return 1;
  }

  vyr::MemoryDialog dialog;
  vyr::MemoryListView list;
  vyr::Win32Clock clock;
  vyr::PacedSocket paced(*socket, clock,
                         {vyr::windowForReceiveBuffer(socket->receiveBufferBytes()), options.rate});
  vyr::CountingSocket counting(paced);
  vyr::Context context(*files, dialog, list, clock, counting);
  eventWindow = ::CreateWindowExW(0, L"STATIC", L"vyr-survey", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  nullptr, nullptr, nullptr);
  if (eventWindow == nullptr ||
      ::WSAAsyncSelect(socket->handle(), eventWindow, SOCKET_NOTIFICATION, FD_READ | FD_WRITE) !=
          0 ||
      ::SetTimer(eventWindow, TICK_TIMER, vyr::TICK_PERIOD, nullptr) == 0) {
    std::fprintf(stderr, "vyr-survey: cannot watch the socket\n");
    return 1;
  }

  dialog.serverField = options.server;
  vyr::fillListSelector(context);
  if (!dialog.selectItem(options.list)) {
    std::fprintf(stderr, "vyr-survey: no list file %s in this directory\n", options.list.c_str());
    return 1;
  }
  vyr::chooseListFile(context);
  const int32_t units = list.rowCount();
  if (units <= 0) {
    std::fprintf(stderr, "vyr-survey: %s names no unit\n", options.list.c_str());
    return 1;
  }

  savedEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ::SetConsoleCtrlHandler(onConsoleControl, TRUE);
  const uint32_t pressed = clock.tick();
  if (!vyr::pressStart(context, options.mode)) {
    if (context.survey.startRefusal == vyr::StartRefusal::LIST_BUSY) {
      std::fprintf(stderr, "vyr-survey: another survey of %s is running; nothing was surveyed\n",
                   options.list.c_str());
      return 6;
    }
    std::fprintf(stderr, "vyr-survey: not enough memory for %d units\n", units);
    return 1;
  }

  int status = 0;
  const char* outcome = "complete";
  switch (runUntilDone(context, eventWindow, options.timeoutMs)) {
    case Outcome::COMPLETE:
      break;
    case Outcome::STOPPED:
      vyr::closeSurvey(context);
      status = 3;
      outcome = "stopped";
      break;
    case Outcome::TIMED_OUT:
      vyr::abortSurvey(context);
      status = 2;
      outcome = "timed out";
      break;
  }
  ::SetEvent(savedEvent);
  // A survey whose files were not written in full has lost its results: that is not success.
  const vyr::SaveOutcome& save = context.survey.lastSave;
  if (!context.survey.lastSaveSaved) status = 4;
  std::fprintf(stderr, "vyr-survey: %s, %d units, %u ms, %llu datagrams sent%s%s%s%s\n", outcome,
               units, clock.tick() - pressed, static_cast<unsigned long long>(counting.sent),
               save.reportSaved ? "" : "; report not saved: ", save.reportFailure,
               save.progressSaved ? "" : "; progress file not saved: ", save.progressFailure);
  return status;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options options;
  if (!parseOptions(argc, argv, options)) return usage();
  WSADATA winsock{};
  if (::WSAStartup(MAKEWORD(2, 2), &winsock) != 0) {
    std::fprintf(stderr, "vyr-survey: cannot start Winsock\n");
    return 1;
  }
  const int status = survey(options);
  ::WSACleanup();
  return status;
}
