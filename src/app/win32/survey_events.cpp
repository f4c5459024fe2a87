#include "app/win32/survey_events.h"

#include "core/context.h"
#include "platform/paced_socket.h"
#include "platform/win32/win32_udp_socket.h"
#include "protocol/receiver.h"
#include "protocol/scheduler.h"
#include "protocol/send_queue.h"

namespace vyr {
namespace {

// Where a window's SurveyEvents is found by the paced flush's timer procedure.
constexpr const wchar_t* EVENTS_PROPERTY = L"vyr.survey-events";
constexpr int INLINE_FLUSHES = 4;

}  // namespace

bool SurveyEvents::watch(HWND window) {
  window_ = window;
  ::SetPropW(window, EVENTS_PROPERTY, this);
  // FD_WRITE comes once now and then only after a send that would have blocked, when room
  // returns: the same edge the POSIX loop asks for.
  const bool watching =
      ::WSAAsyncSelect(socket_.handle(), window, SOCKET_NOTIFICATION, FD_READ | FD_WRITE) == 0;
  return ::SetTimer(window, TICK_TIMER, TICK_MILLISECONDS, nullptr) != 0 && watching;
}

void SurveyEvents::stop() {
  if (window_ == nullptr) return;
  ::KillTimer(window_, TICK_TIMER);
  ::KillTimer(window_, PACED_FLUSH_TIMER);
  ::RemovePropW(window_, EVENTS_PROPERTY);
  flushArmed_ = false;
}

bool SurveyEvents::route(UINT message, LPARAM lParam) {
  if (message == WM_TIMER) {
    // A timer with a procedure of its own (the paced flush) is that procedure's business.
    if (lParam != 0) return false;
    onTick(context_);
  } else if (message == SOCKET_NOTIFICATION) {
    // The error half of the notification is not looked at: the read or the send that follows
    // meets the error itself.
    switch (WSAGETSELECTEVENT(lParam)) {
      case FD_READ:
        receiveAll(context_);
        break;
      case FD_WRITE:
        socket_.writeReadinessDelivered();
        flushQueue(context_);
        break;
      default:
        break;
    }
  } else {
    return false;
  }
  watchSends();
  return true;
}

void SurveyEvents::watchSends() {
  if (window_ == nullptr) return;
  int32_t flushIn = paced_.msUntilFlush();
  // "Now" goes at once, as a window timer would wait its shortest interval (10 ms or more) for
  // nothing; a few times in a row at most, so that the window's messages are never starved.
  for (int inlineFlushes = 0; flushIn == 0 && inlineFlushes < INLINE_FLUSHES; ++inlineFlushes) {
    flushQueue(context_);
    flushIn = paced_.msUntilFlush();
  }
  if (flushIn < 0) return;
  // A flush already due stays due; a sooner one moves it.
  const uint32_t at = context_.clock.tick() + static_cast<uint32_t>(flushIn);
  if (flushArmed_ && static_cast<int32_t>(at - flushAt_) >= 0) return;
  flushArmed_ = true;
  flushAt_ = at;
  ::SetTimer(window_, PACED_FLUSH_TIMER, static_cast<UINT>(flushIn), pacedFlushDue);
}

void CALLBACK SurveyEvents::pacedFlushDue(HWND window, UINT, UINT_PTR, DWORD) {
  ::KillTimer(window, PACED_FLUSH_TIMER);
  auto* events = static_cast<SurveyEvents*>(::GetPropW(window, EVENTS_PROPERTY));
  if (events == nullptr) return;
  events->flushArmed_ = false;
  // A wait was a forecast: answers may have come, or may still be owed.
  if (events->paced_.msUntilFlush() <= 0) flushQueue(events->context_);
  events->watchSends();
}

}  // namespace vyr
