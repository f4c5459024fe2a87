#pragma once
// The two pulses that keep a survey moving, as window messages: timer 1 every 250 ms, and the
// socket's read and write readiness as message 1025. The dialog and the console driver share them.

#include <winsock2.h>
#include <windows.h>

namespace vyr {

struct Context;
class Win32UdpSocket;

constexpr UINT SOCKET_NOTIFICATION = WM_USER + 1;
constexpr UINT_PTR TICK_TIMER = 1;
constexpr UINT TICK_MILLISECONDS = 250;

// Asks for the socket's read and write readiness as SOCKET_NOTIFICATION to `window` and starts
// TICK_TIMER there. False when either could not be had.
bool watchSurveyEvents(HWND window, Win32UdpSocket& socket);

// Stops the timer.
void stopSurveyEvents(HWND window);

// The timer (whatever its identifier) runs a tick; the socket notification a drain for read
// readiness and a flush for write readiness, anything else in it nothing. Returns false, having
// done nothing, for any other message.
bool routeSurveyEvent(Context& context, Win32UdpSocket& socket, UINT message, LPARAM lParam);

}  // namespace vyr
