#pragma once
// The Win32 program's main dialog "MAIN": its state, the dialog procedure that turns its messages
// into the survey driver's verbs, and the column stops of its list. The template is in
// main_dialog.rc.

#include <winsock2.h>
#include <windows.h>

#include <array>
#include <cstdint>

#include "app/win32/list_box.h"
#include "app/win32/win32_dialog.h"
#include "core/context.h"
#include "platform/paced_socket.h"
#include "platform/win32/win32_udp_socket.h"

namespace vyr {

// The resource name of the template.
constexpr const wchar_t* MAIN_TEMPLATE = L"MAIN";

// What keeps a survey moving, as the dialog's messages: the socket's read and write readiness
// (FD_READ, FD_WRITE), the 250 ms tick, and the flush the send pacing asks for. The flush timer has
// a procedure of its own; any other timer ticks.
constexpr UINT SOCKET_NOTIFICATION = WM_USER + 1;
constexpr UINT_PTR TICK_TIMER = 1;
constexpr UINT_PTR PACED_FLUSH_TIMER = 2;

// Everything the dialog works with; it outlives the dialog window. Sends go out through `socket`
// as `pacing` allows.
struct MainWindow {
  MainWindow(FileSystem& files, Clock& clock, Win32UdpSocket& udpSocket, SendPacing pacing = {})
      : socket(udpSocket),
        paced(udpSocket, clock, pacing),
        context(files, dialog, list, clock, paced) {}

  Win32Dialog dialog;
  Win32ListBox list;
  // Shows the dialog's message boxes; a test puts its own here to read them without blocking.
  int(WINAPI* showMessage)(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) = ::MessageBoxW;
  Win32UdpSocket& socket;
  PacedSocket paced;
  Context context;
  // A start's next step is posted and not yet taken: one at a time, so that each gets a pass.
  bool stepPosted = false;
};

// The dialog procedure of MAIN; WM_INITDIALOG's parameter is the MainWindow.
INT_PTR CALLBACK mainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Runs MAIN from `instance` as a modal dialog without owner until it ends.
void runMainDialog(HINSTANCE instance, MainWindow& main);

// The list's seven column stops in dialog units: where each header label's left edge lies from
// the list's client origin, so that the columns sit under the labels at any font and resolution.
std::array<int32_t, 7> computeTabStops(HWND dialog);

}  // namespace vyr
