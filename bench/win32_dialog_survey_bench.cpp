// The real Win32 dialog surveying a fleet over loopback, under Wine: from the press of N to the
// saved report, its wall and CPU time, the longest pass of its message loop (one message taken,
// paint included), and its peak working set.
// It runs in a folder holding fleet.IPs, with the fleet already answering on 127.0.0.1
// (scripts/bench-win32-dialog starts both and the Qt dialog's benchmark beside it).
//
//   vyr_win32_dialog_survey_bench.exe UNITS

#include <winsock2.h>
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>

#include "app/main_template.h"
#include "app/win32/main_window.h"
#include "platform/win32/win32_clock.h"
#include "platform/win32/win32_files.h"
#include "platform/win32/win32_udp_socket.h"
#include "survey/lifecycle.h"

namespace {

constexpr ULONGLONG SURVEY_LIMIT_MS = 300000;

double nowMs() {
  static LARGE_INTEGER frequency{};
  if (frequency.QuadPart == 0) ::QueryPerformanceFrequency(&frequency);
  LARGE_INTEGER count;
  ::QueryPerformanceCounter(&count);
  return static_cast<double>(count.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// Where the loop's time went, by message: how many, their time, the longest.
struct MessageTime {
  uint64_t count = 0;
  double totalMs = 0;
  double longestMs = 0;
};

const char* messageName(UINT message) {
  switch (message) {
    case vyr::SOCKET_NOTIFICATION:
      return "socket";
    case WM_TIMER:
      return "timer";
    case WM_APP:
      return "start step";
    case WM_PAINT:
      return "paint";
    default:
      return nullptr;
  }
}

// The time spent in the socket's calls and in the list box, for telling them from the rest.
MessageTime sends, receives, listBox;
WNDPROC listBoxProc = nullptr;
int listBoxDepth = 0;

int WSAAPI timedSend(SOCKET s, const char* bytes, int length, int flags, const sockaddr* to,
                     int toLength) {
  const double at = nowMs();
  const int result = ::sendto(s, bytes, length, flags, to, toLength);
  ++sends.count;
  sends.totalMs += nowMs() - at;
  return result;
}

int WSAAPI timedReceive(SOCKET s, char* bytes, int length, int flags, sockaddr* from,
                        int* fromLength) {
  const double at = nowMs();
  const int result = ::recvfrom(s, bytes, length, flags, from, fromLength);
  ++receives.count;
  receives.totalMs += nowMs() - at;
  return result;
}

LRESULT CALLBACK timedListBox(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  const double at = nowMs();
  ++listBoxDepth;
  const LRESULT result = ::CallWindowProcW(listBoxProc, window, message, wParam, lParam);
  if (--listBoxDepth == 0) listBox.totalMs += nowMs() - at;
  if (message == LB_INSERTSTRING) ++listBox.count;
  return result;
}

double cpuMs() {
  FILETIME created, exited, kernel, user;
  if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user)) return -1;
  const auto ms = [](const FILETIME& t) {
    return static_cast<double>(static_cast<ULONGLONG>(t.dwHighDateTime) << 32 | t.dwLowDateTime) /
           10000.0;
  };
  return ms(kernel) + ms(user);
}

int survey(uint32_t units) {
  std::unique_ptr<vyr::Win32UdpSocket> socket = vyr::Win32UdpSocket::open({timedSend, timedReceive});
  std::unique_ptr<vyr::FileSystem> files = vyr::openWin32FileSystem(L".");
  if (!socket || !files) {
    std::fprintf(stderr, "no socket or no folder\n");
    return 1;
  }
  vyr::Win32Clock clock;
  // Paced as vyrmodel.exe sends by default.
  const vyr::SendPacing pacing{vyr::windowForReceiveBuffer(socket->receiveBufferBytes()), 0};
  vyr::MainWindow main(*files, clock, *socket, pacing);
  HWND dialog = ::CreateDialogParamW(nullptr, vyr::MAIN_TEMPLATE, nullptr, vyr::mainDialogProc,
                                     reinterpret_cast<LPARAM>(&main));
  if (dialog == nullptr) {
    std::fprintf(stderr, "no dialog (no X display?)\n");
    return 1;
  }
  ::ShowWindow(dialog, SW_SHOW);
  ::SetDlgItemTextW(dialog, vyr::SERVER_FIELD, L"127.0.0.1");
  HWND selector = ::GetDlgItem(dialog, vyr::LIST_SELECTOR);
  ::SendMessageW(selector, CB_SELECTSTRING, static_cast<WPARAM>(-1),
                 reinterpret_cast<LPARAM>(L"fleet.IPs"));
  const double choosing = nowMs();
  ::SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(vyr::LIST_SELECTOR, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(selector));
  const double choosingMs = nowMs() - choosing;
  if (main.list.rowCount() != static_cast<int32_t>(units)) {
    std::fprintf(stderr, "the list gave %d rows, not %u\n", main.list.rowCount(), units);
    return 1;
  }
  // The rows added are painted before the clock starts.
  for (MSG message; ::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE);) {
    if (!::IsDialogMessageW(dialog, &message)) ::DispatchMessageW(&message);
  }

  HWND list = ::GetDlgItem(dialog, vyr::LIST_VIEW);
  listBoxProc = reinterpret_cast<WNDPROC>(
      ::SetWindowLongPtrW(list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(timedListBox)));
  const double cpuAtStart = cpuMs();
  const double start = nowMs();
  double longestPass = 0;
  std::map<UINT, MessageTime> byMessage;
  ::SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(vyr::NEW_BUTTON, BN_CLICKED),
                 reinterpret_cast<LPARAM>(::GetDlgItem(dialog, vyr::NEW_BUTTON)));
  longestPass = nowMs() - start;
  while (vyr::surveyRunning(main.context) && nowMs() - start < SURVEY_LIMIT_MS) {
    MSG message;
    if (!::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
      continue;
    }
    const double taken = nowMs();
    if (!::IsDialogMessageW(dialog, &message)) ::DispatchMessageW(&message);
    const double spent = nowMs() - taken;
    longestPass = std::max(longestPass, spent);
    MessageTime& time = byMessage[messageName(message.message) ? message.message : 0];
    ++time.count;
    time.totalMs += spent;
    time.longestMs = std::max(time.longestMs, spent);
  }
  const double wallMs = nowMs() - start;
  const double cpuSpent = cpuMs() - cpuAtStart;
  const bool complete = !vyr::surveyRunning(main.context);
  // The last rows painted, as the operator would see them.
  for (MSG message; ::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE);) {
    if (!::IsDialogMessageW(dialog, &message)) ::DispatchMessageW(&message);
  }
  PROCESS_MEMORY_COUNTERS memory{};
  memory.cb = sizeof memory;
  const bool memoryKnown = ::GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof memory);
  std::printf(
      "  win32    %s %7.0f ms, CPU %6.0f ms, peak working set %6.1f MiB%s, longest loop pass "
      "%4.0f ms\n",
      complete ? "complete" : "STALLED ", wallMs, cpuSpent,
      static_cast<double>(memory.PeakWorkingSetSize) / 1048576.0, memoryKnown ? "" : " (unknown)",
      longestPass);
  for (const auto& [message, time] : byMessage) {
    std::printf("    %-10s %7llu taken, %7.0f ms in all, longest %5.0f ms\n",
                messageName(message) ? messageName(message) : "other",
                static_cast<unsigned long long>(time.count), time.totalMs, time.longestMs);
  }
  std::printf("    in sendto %.0f ms (%llu), in recvfrom %.0f ms (%llu), in the list box %.0f ms "
              "(%llu rows replaced)\n",
              sends.totalMs, static_cast<unsigned long long>(sends.count), receives.totalMs,
              static_cast<unsigned long long>(receives.count), listBox.totalMs,
              static_cast<unsigned long long>(listBox.count));
  std::printf("  win32    choosing the list before the press held the loop %.0f ms\n", choosingMs);
  std::fflush(stdout);
  ::DestroyWindow(dialog);
  return complete ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const uint32_t units = argc == 2 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 0;
  if (units == 0) {
    std::fprintf(stderr, "usage: vyr_win32_dialog_survey_bench UNITS (in the folder of fleet.IPs)\n");
    return 2;
  }
  WSADATA winsock{};
  if (::WSAStartup(MAKEWORD(2, 2), &winsock) != 0) return 1;
  const int status = survey(units);
  ::WSACleanup();
  return status;
}
