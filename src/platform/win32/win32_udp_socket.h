#pragma once

#include <winsock2.h>

#include <cstdint>
#include <memory>
#include <utility>

#include "platform/udp_socket.h"

namespace vyr {

// The Winsock calls the socket makes while a survey runs. Tests put their own in to produce what a
// real network gives only now and then: a reset reported for an earlier datagram, a full send
// buffer, an error nobody expects.
struct WinsockCalls {
  int(WSAAPI* sendTo)(SOCKET, const char*, int, int, const sockaddr*, int) = ::sendto;
  int(WSAAPI* receiveFrom)(SOCKET, char*, int, int, sockaddr*, int*) = ::recvfrom;
  int(WSAAPI* lastError)() = ::WSAGetLastError;
};

// The tool's UDP socket on Windows: IPv4, non-blocking, bound to 0.0.0.0 and a port the system
// chooses. Winsock must have been started. Read readiness arrives whenever a datagram waits; write
// readiness (FD_WRITE) is an edge the system gives only after a send would have blocked.
class Win32UdpSocket final : public UdpSocket {
 public:
  // Opens and binds the socket, or returns null (WSAGetLastError tells why).
  static std::unique_ptr<Win32UdpSocket> open(const WinsockCalls& calls = {});

  ~Win32UdpSocket() override;
  Win32UdpSocket(const Win32UdpSocket&) = delete;
  Win32UdpSocket& operator=(const Win32UdpSocket&) = delete;

  SendResult sendTo(const SocketAddress& destination, const uint8_t* bytes,
                    uint32_t length) override;
  ReceiveResult receiveFrom(uint8_t* buffer, uint32_t capacity, uint32_t& length,
                            SocketAddress& source) override;

  SOCKET handle() const { return socket_; }

  uint16_t localPort() const override { return localPort_; }
  int64_t receiveBufferBytes() const override;
  bool wantsWriteReadiness() const override { return wantsWrite_; }
  void writeReadinessDelivered() override { wantsWrite_ = false; }

  // How many FD_READ notifications Winsock has posted again since the last call, as far as the
  // reads show: it posts one after every read that leaves a datagram waiting, and a drain that
  // reads on past such a datagram leaves them queued for nothing. Resets the count.
  uint32_t takeRepostedReadNotifications() { return std::exchange(repostedReads_, 0); }

 private:
  Win32UdpSocket(SOCKET socket, uint16_t port, const WinsockCalls& calls)
      : socket_(socket), localPort_(port), calls_(calls) {}

  void noteDatagramRead();

  SOCKET socket_;
  uint16_t localPort_;
  WinsockCalls calls_;
  bool wantsWrite_ = false;
  bool lastReadFoundOne_ = false;
  uint32_t repostedReads_ = 0;
};

}  // namespace vyr
