// vyrmodel.exe: the operator's dialog on Windows. The working directory is its configuration: it
// lists the "*.IPs" files there and writes each report and progress file beside its list.

#include <winsock2.h>
#include <windows.h>

#include <memory>

#include "app/win32/main_window.h"
#include "platform/win32/win32_clock.h"
#include "platform/win32/win32_files.h"
#include "platform/win32/win32_udp_socket.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  // WSAIoctl, which turns off the resets that a port-unreachable would cause, is Winsock 2.
  WSADATA winsock{};
  if (::WSAStartup(MAKEWORD(2, 2), &winsock) != 0) return 1;
  int status = 1;
  {
    // Without the socket there is nothing the dialog could do, so it is never shown.
    std::unique_ptr<vyr::Win32UdpSocket> socket = vyr::Win32UdpSocket::open();
    std::unique_ptr<vyr::FileSystem> files = vyr::openWin32FileSystem(L".");
    if (socket && files) {
      vyr::Win32Clock clock;
      vyr::MainWindow main(*files, clock, *socket);
      vyr::runMainDialog(instance, main);
      status = 0;
    }
  }
  ::WSACleanup();
  return status;
}
