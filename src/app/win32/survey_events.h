#pragma once
// The pulses that keep a survey moving, as window messages: timer 1 every 250 ms, the socket's
// read and write readiness as message 1025, and a flush when the send pacing lets held-back
// datagrams go. The dialog and the console driver share them.

#include <winsock2.h>
#include <windows.h>

#include <cstdint>

namespace vyr {

struct Context;
class PacedSocket;
class Win32UdpSocket;

constexpr UINT SOCKET_NOTIFICATION = WM_USER + 1;
constexpr UINT_PTR TICK_TIMER = 1;
constexpr UINT TICK_MILLISECONDS = 250;
// Its WM_TIMER goes to its own procedure, never to the window's: the window ticks on any other.
constexpr UINT_PTR PACED_FLUSH_TIMER = 2;

class SurveyEvents {
 public:
  // `context` sends through `paced`, which sends through `socket`.
  SurveyEvents(Context& context, Win32UdpSocket& socket, PacedSocket& paced)
      : context_(context), socket_(socket), paced_(paced) {}
  SurveyEvents(const SurveyEvents&) = delete;
  SurveyEvents& operator=(const SurveyEvents&) = delete;

  // Asks for the socket's read and write readiness as SOCKET_NOTIFICATION to `window` and starts
  // TICK_TIMER there. False when either could not be had.
  bool watch(HWND window);

  // Stops the timers.
  void stop();

  // The tick timer (whatever its identifier) runs a tick; the socket notification a drain for read
  // readiness and a flush for write readiness, anything else in it nothing. Returns false, having
  // done nothing, for any other message.
  bool route(UINT message, LPARAM lParam);

  // To be called after every call into the core: sends the pacing held back are flushed when it
  // lets them go.
  void watchSends();

 private:
  static void CALLBACK pacedFlushDue(HWND window, UINT, UINT_PTR, DWORD);

  Context& context_;
  Win32UdpSocket& socket_;
  PacedSocket& paced_;
  HWND window_ = nullptr;
  bool flushArmed_ = false;
  uint32_t flushAt_ = 0;
};

}  // namespace vyr
