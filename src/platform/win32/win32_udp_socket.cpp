#include "platform/win32/win32_udp_socket.h"

#include <ws2tcpip.h>

#include <climits>
#include <cstring>

#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace vyr {
namespace {

// Room for the replies of a large fleet that all answer one poll at once, as on Linux; the
// system grants what it allows.
constexpr int RECEIVE_BUFFER_BYTES = 32 << 20;

void copySource(const sockaddr_in& from, SocketAddress& source) {
  std::memset(&source, 0, sizeof source);
  source.family[0] = static_cast<uint8_t>(ADDRESS_FAMILY_IPV4);
  std::memcpy(source.port, &from.sin_port, sizeof source.port);
  std::memcpy(source.ip, &from.sin_addr, sizeof source.ip);
}

}  // namespace

std::unique_ptr<Win32UdpSocket> Win32UdpSocket::open(const WinsockCalls& calls) {
  SOCKET handle = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (handle == INVALID_SOCKET) return nullptr;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = 0;
  int localSize = sizeof local;
  u_long nonBlocking = 1;
  if (::bind(handle, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      ::getsockname(handle, reinterpret_cast<sockaddr*>(&local), &localSize) != 0 ||
      ::ioctlsocket(handle, FIONBIO, &nonBlocking) != 0) {
    const int error = ::WSAGetLastError();
    ::closesocket(handle);
    ::WSASetLastError(error);
    return nullptr;
  }
  // An ICMP port-unreachable for one datagram sent would otherwise fail the next read with
  // WSAECONNRESET. Reads skip that error too, where this cannot be switched off.
  BOOL reportResets = FALSE;
  DWORD returned = 0;
  ::WSAIoctl(handle, SIO_UDP_CONNRESET, &reportResets, sizeof reportResets, nullptr, 0, &returned,
             nullptr, nullptr);
  const int bytes = RECEIVE_BUFFER_BYTES;
  ::setsockopt(handle, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes);
  return std::unique_ptr<Win32UdpSocket>(new Win32UdpSocket(handle, ntohs(local.sin_port), calls));
}

Win32UdpSocket::~Win32UdpSocket() { ::closesocket(socket_); }

int64_t Win32UdpSocket::receiveBufferBytes() const {
  int bytes = 0;
  int size = sizeof bytes;
  if (::getsockopt(socket_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&bytes), &size) != 0) {
    return 0;
  }
  return bytes;
}

SendResult Win32UdpSocket::sendTo(const SocketAddress& destination, const uint8_t* bytes,
                                  uint32_t length) {
  // Winsock sends to 0.0.0.0 without complaint, and port 0 names no listener: neither is a unit.
  if (familyOf(destination) != ADDRESS_FAMILY_IPV4 || addressIsZero(destination) ||
      addressIsBroadcast(destination) || portOf(destination) == 0 ||
      length > static_cast<uint32_t>(INT_MAX)) {
    return SendResult::REFUSED;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  std::memcpy(&to.sin_port, destination.port, sizeof destination.port);
  std::memcpy(&to.sin_addr, destination.ip, sizeof destination.ip);
  if (calls_.sendTo(socket_, reinterpret_cast<const char*>(bytes), static_cast<int>(length), 0,
                    reinterpret_cast<const sockaddr*>(&to), sizeof to) != SOCKET_ERROR) {
    return SendResult::SENT;
  }
  switch (calls_.lastError()) {
    case WSAEWOULDBLOCK:
      // The one failure after which the system posts FD_WRITE once room returns.
      wantsWrite_ = true;
      return SendResult::RETRY_LATER;
    case WSAENOBUFS:
    case WSAEINTR:
    case WSAEINPROGRESS:
    case WSAECONNRESET:  // a reset reported for an earlier datagram, not for this one
    case WSAENETRESET:
      return SendResult::RETRY_LATER;
    // Wrong for this address or this datagram whenever it is tried.
    case WSAEACCES:  // broadcast without permission
    case WSAEMSGSIZE:
    case WSAEINVAL:
    case WSAEAFNOSUPPORT:
    case WSAEADDRNOTAVAIL:  // a zero address
    case WSAEFAULT:
    case WSAENOTSOCK:
    case WSAEDESTADDRREQ:
    case WSAEOPNOTSUPP:
    case WSAEPROTOTYPE:
    case WSAESHUTDOWN:
      return SendResult::REFUSED;
    default:
      // Unreachable networks and hosts, a network down, whatever else: routes come back, and
      // other destinations may be fine meanwhile.
      return SendResult::NOT_NOW;
  }
}

ReceiveResult Win32UdpSocket::receiveFrom(uint8_t* buffer, uint32_t capacity, uint32_t& length,
                                          SocketAddress& source) {
  const int room = capacity > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(capacity);
  for (;;) {
    sockaddr_in from{};
    int fromSize = sizeof from;
    const int count = calls_.receiveFrom(socket_, reinterpret_cast<char*>(buffer), room, 0,
                                         reinterpret_cast<sockaddr*>(&from), &fromSize);
    if (count != SOCKET_ERROR) {
      noteDatagramRead();
      copySource(from, source);
      length = static_cast<uint32_t>(count);
      return ReceiveResult::DATAGRAM;
    }
    switch (calls_.lastError()) {
      case WSAEWOULDBLOCK:
        lastReadFoundOne_ = false;
        return ReceiveResult::NOTHING;
      case WSAEMSGSIZE:
        // The system has filled the buffer and dropped the rest of the datagram.
        noteDatagramRead();
        copySource(from, source);
        return ReceiveResult::OVERSIZED;
      case WSAECONNRESET:
      case WSAENETRESET:
      case WSAEINTR:
        // An ICMP error about some earlier datagram: it carries no datagram and says nothing
        // about the ones waiting, so the read goes on to them.
        continue;
      default:
        lastReadFoundOne_ = false;
        return ReceiveResult::FAILED;
    }
  }
}

void Win32UdpSocket::noteDatagramRead() {
  // This datagram was waiting when the read before it, which found one too, returned.
  if (lastReadFoundOne_) ++repostedReads_;
  lastReadFoundOne_ = true;
}

}  // namespace vyr
