#include "app/win32/survey_events.h"

#include "platform/win32/win32_udp_socket.h"
#include "protocol/receiver.h"
#include "protocol/scheduler.h"
#include "protocol/send_queue.h"
#include "core/context.h"

namespace vyr {

bool watchSurveyEvents(HWND window, Win32UdpSocket& socket) {
  // FD_WRITE comes once now and then only after a send that would have blocked, when room
  // returns: the same edge the POSIX loop asks for.
  const bool watching =
      ::WSAAsyncSelect(socket.handle(), window, SOCKET_NOTIFICATION, FD_READ | FD_WRITE) == 0;
  return ::SetTimer(window, TICK_TIMER, TICK_MILLISECONDS, nullptr) != 0 && watching;
}

void stopSurveyEvents(HWND window) { ::KillTimer(window, TICK_TIMER); }

bool routeSurveyEvent(Context& context, Win32UdpSocket& socket, UINT message, LPARAM lParam) {
  if (message == WM_TIMER) {
    onTick(context);
    return true;
  }
  if (message != SOCKET_NOTIFICATION) return false;
  // The error half of the notification is not looked at: the read or the send that follows
  // meets the error itself.
  switch (WSAGETSELECTEVENT(lParam)) {
    case FD_READ:
      receiveAll(context);
      break;
    case FD_WRITE:
      socket.writeReadinessDelivered();
      flushQueue(context);
      break;
    default:
      break;
  }
  return true;
}

}  // namespace vyr
