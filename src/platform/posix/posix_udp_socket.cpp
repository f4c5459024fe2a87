#include "platform/posix/posix_udp_socket.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vyr {
namespace {

// Room for the replies of a large fleet that all answer one poll at once: each small datagram
// costs the kernel about a kilobyte while it waits. Over loopback a 100,000-unit survey took 27 s
// and 214,000 repeated requests with 4 MiB, 7 s and 18,000 with 32 MiB. The system grants what
// it allows, and an idle buffer costs nothing.
constexpr int RECEIVE_BUFFER_BYTES = 32 << 20;

void requestReceiveBuffer(int fd) {
  // The forcing variant passes the system's ceiling but needs privilege; otherwise take what the
  // plain request grants.
  int bytes = RECEIVE_BUFFER_BYTES;
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  }
}

// Every datagram the tool sends (about 50 bytes at most, headers included) fits the 68 bytes
// every IPv4 link carries, and goes with "don't fragment" as by default. Forcing it also spares
// each one an ID drawn from the system's shared generator (an unfragmentable datagram needs none),
// which cost a twentieth of a large survey's system time and bounced a cache line between the
// cores of every sender.
void sendUnfragmented(int fd) {
  int mode = IP_PMTUDISC_DO;
  ::setsockopt(fd, IPPROTO_IP, IP_MTU_DISCOVER, &mode, sizeof mode);
}

// Linux delivers 0.0.0.0 to this very host, and port 0 names no listener: neither is a unit.
bool isSendable(const SocketAddress& destination) {
  return familyOf(destination) == ADDRESS_FAMILY_IPV4 && !addressIsZero(destination) &&
         !addressIsBroadcast(destination) && portOf(destination) != 0;
}

sockaddr_in toSockaddr(const SocketAddress& destination) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  std::memcpy(&to.sin_port, destination.port, sizeof destination.port);
  std::memcpy(&to.sin_addr, destination.ip, sizeof destination.ip);
  return to;
}

// Datagrams read, or sent, in one call: a large fleet's datagrams go by the thousand, and a call
// per datagram would cost more than the datagrams.
constexpr int BATCH_DATAGRAMS = 64;
// Room for any datagram the tool takes (at most 1024 bytes) and then some; a longer one is cut
// here and then refused as oversized.
constexpr size_t SLOT_BYTES = 2048;

}  // namespace

SendResult sendResultOfError(int error) {
  switch (error) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case ENOBUFS:
    case ENOMEM:
    case EINTR:
      return SendResult::RETRY_LATER;
    // Wrong for this address or this datagram whenever it is tried.
    case EACCES:  // broadcast without permission
    case EMSGSIZE:
    case EINVAL:
    case EAFNOSUPPORT:
    case EDESTADDRREQ:
    case EFAULT:
    case EBADF:
    case ENOTSOCK:
    case EOPNOTSUPP:
      return SendResult::REFUSED;
    default:
      // Unreachable networks and hosts, a network down, a firewall's EPERM: routes and rules
      // change, and other destinations may be fine meanwhile.
      return SendResult::NOT_NOW;
  }
}

struct PosixUdpSocket::Slot {
  sockaddr_in from;
  uint32_t length;
  int flags;
  uint8_t bytes[SLOT_BYTES];
};

PosixUdpSocket::PosixUdpSocket(int fd, uint16_t port)
    : fd_(fd), localPort_(port), batch_(BATCH_DATAGRAMS) {}

std::unique_ptr<PosixUdpSocket> PosixUdpSocket::open() {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = 0;
  socklen_t localSize = sizeof local;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) != 0) {
    int error = errno;
    ::close(fd);
    errno = error;
    return nullptr;
  }
  requestReceiveBuffer(fd);
  sendUnfragmented(fd);
  return std::unique_ptr<PosixUdpSocket>(new PosixUdpSocket(fd, ntohs(local.sin_port)));
}

PosixUdpSocket::~PosixUdpSocket() { ::close(fd_); }

int64_t PosixUdpSocket::receiveBufferBytes() const {
  int bytes = 0;
  socklen_t size = sizeof bytes;
  return ::getsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, &size) == 0 ? bytes : 0;
}

SendResult PosixUdpSocket::sendTo(const SocketAddress& destination, const uint8_t* bytes,
                                  uint32_t length) {
  const OutgoingDatagram datagram{&destination, bytes, length};
  SendResult result = SendResult::RETRY_LATER;
  sendBatch(&datagram, 1, &result);
  return result;
}

uint32_t PosixUdpSocket::sendBatch(const OutgoingDatagram* datagrams, uint32_t count,
                                   SendResult* results) {
  mmsghdr headers[BATCH_DATAGRAMS];
  iovec pieces[BATCH_DATAGRAMS];
  sockaddr_in addresses[BATCH_DATAGRAMS];
  uint32_t done = 0;
  while (done < count) {
    if (!isSendable(*datagrams[done].destination)) {
      results[done++] = SendResult::REFUSED;
      continue;
    }
    // The sendable datagrams from here on go to the system in one call.
    uint32_t run = 0;
    while (run < static_cast<uint32_t>(BATCH_DATAGRAMS) && done + run < count &&
           isSendable(*datagrams[done + run].destination)) {
      const OutgoingDatagram& datagram = datagrams[done + run];
      addresses[run] = toSockaddr(*datagram.destination);
      // sendmmsg only reads the bytes, though iovec declares them writable.
      // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast)
      pieces[run] = iovec{const_cast<uint8_t*>(datagram.bytes), datagram.length};
      headers[run] = mmsghdr{};
      headers[run].msg_hdr.msg_name = &addresses[run];
      headers[run].msg_hdr.msg_namelen = sizeof addresses[run];
      headers[run].msg_hdr.msg_iov = &pieces[run];
      headers[run].msg_hdr.msg_iovlen = 1;
      ++run;
    }
    const int sent = ::sendmmsg(fd_, headers, run, 0);
    if (sent > 0) {
      // A datagram that failed after others went heads the next call, which then reports its
      // error.
      for (int i = 0; i < sent; ++i) results[done++] = SendResult::SENT;
      continue;
    }
    const int error = errno;
    const SendResult result = sendResultOfError(error);
    if (result == SendResult::RETRY_LATER) {
      // Only a full send buffer ends in a writable edge; a shortage of system memory does not,
      // and waiting for POLLOUT then would spin. The next tick tries again instead.
      if (error == EAGAIN || error == EWOULDBLOCK) wantsWrite_ = true;
      results[done] = SendResult::RETRY_LATER;
      return done;
    }
    results[done++] = result;
  }
  return done;
}

ReceiveResult PosixUdpSocket::receiveFrom(uint8_t* buffer, uint32_t capacity, uint32_t& length,
                                          SocketAddress& source) {
  if (batchNext_ == batchCount_) {
    ReceiveResult failure = ReceiveResult::NOTHING;
    if (!readBatch(failure)) return failure;
  }
  Slot& slot = batch_[static_cast<size_t>(batchNext_++)];
  std::memset(&source, 0, sizeof source);
  source.family[0] = static_cast<uint8_t>(ADDRESS_FAMILY_IPV4);
  std::memcpy(source.port, &slot.from.sin_port, sizeof source.port);
  std::memcpy(source.ip, &slot.from.sin_addr, sizeof source.ip);
  // The kernel has already dropped the tail of a longer datagram; only the flag tells.
  if ((slot.flags & MSG_TRUNC) != 0 || slot.length > capacity) return ReceiveResult::OVERSIZED;
  std::memcpy(buffer, slot.bytes, slot.length);
  length = slot.length;
  return ReceiveResult::DATAGRAM;
}

bool PosixUdpSocket::readBatch(ReceiveResult& failure) {
  mmsghdr headers[BATCH_DATAGRAMS] = {};
  iovec pieces[BATCH_DATAGRAMS];
  for (int i = 0; i < BATCH_DATAGRAMS; ++i) {
    Slot& slot = batch_[static_cast<size_t>(i)];
    pieces[i] = iovec{slot.bytes, sizeof slot.bytes};
    headers[i].msg_hdr.msg_name = &slot.from;
    headers[i].msg_hdr.msg_namelen = sizeof slot.from;
    headers[i].msg_hdr.msg_iov = &pieces[i];
    headers[i].msg_hdr.msg_iovlen = 1;
  }
  int count = 0;
  do {
    count = ::recvmmsg(fd_, headers, BATCH_DATAGRAMS, MSG_DONTWAIT, nullptr);
  } while (count < 0 && errno == EINTR);
  batchNext_ = 0;
  batchCount_ = count > 0 ? count : 0;
  if (count <= 0) {
    failure = count == 0 || errno == EAGAIN || errno == EWOULDBLOCK ? ReceiveResult::NOTHING
                                                                    : ReceiveResult::FAILED;
    return false;
  }
  for (int i = 0; i < count; ++i) {
    Slot& slot = batch_[static_cast<size_t>(i)];
    slot.length = headers[i].msg_len;
    slot.flags = headers[i].msg_hdr.msg_flags;
  }
  return true;
}

}  // namespace vyr
