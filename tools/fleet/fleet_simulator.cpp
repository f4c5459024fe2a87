#include "fleet/fleet_simulator.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vyr::fleet {
namespace {

constexpr int SERVER = 1;  // index of the server's socket
constexpr int STOP_CHECK_MS = 50;
constexpr int DRAIN_BATCH = 1024;        // datagrams read from one socket before due replies go out
// A survey's opening burst reaches every unit at once, and one process stands in for a million
// units that would each take their own datagrams: a survey that sends faster than the simulator
// answers (the pacing forgives what is not answered within 50 ms) builds a backlog here that real
// units would not share. 64 MiB (128 taken by the system) holds 160,000 small datagrams.
constexpr int SOCKET_BUFFER = 64 << 20;
constexpr size_t DATAGRAM_LIMIT = 65536;
// Datagrams read or sent in one call: at a hundred thousand units a call per datagram would make
// the simulator, not the tool, what a loopback survey measures.
constexpr unsigned IO_BATCH = 64;
constexpr int FLOOD_STEP_MS = 5;             // the flood goes out in small batches this far apart
constexpr uint64_t FLOOD_CATCH_UP_MS = 100;  // after a longer stall the missed flood is skipped

uint64_t monotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

sockaddr_in toSockaddr(const uint8_t ip[4], uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  std::memcpy(&address.sin_addr, ip, 4);
  return address;
}

// The forced sizes pass the system's limits but need privilege; the plain ones are the fallback.
void enlargeBuffers(int socket) {
  const int size = SOCKET_BUFFER;
  if (setsockopt(socket, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
    setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  if (setsockopt(socket, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0) {
    setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  }
}

int openSocket(const uint8_t ip[4], uint16_t port, std::string& error) {
  const int socketHandle = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (socketHandle < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  const int on = 1;
  enlargeBuffers(socketHandle);
  sockaddr_in address = toSockaddr(ip, port);
  if (setsockopt(socketHandle, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0 ||
      bind(socketHandle, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    char dotted[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, ip, dotted, sizeof dotted);
    error = "cannot bind " + std::string(dotted) + ":" + std::to_string(port) + ": " +
            std::strerror(errno);
    ::close(socketHandle);
    return -1;
  }
  return socketHandle;
}

// One datagram's header: its peer, its bytes and room for the packet-information item that says
// which local address it came to or leaves from.
struct PacketHeader {
  PacketHeader() = default;
  PacketHeader(const PacketHeader&) = delete;
  PacketHeader& operator=(const PacketHeader&) = delete;
  ~PacketHeader() = default;

  void point(sockaddr_in& peer, void* bytes, size_t length) {
    part = iovec{bytes, length};
    header = msghdr{};
    header.msg_name = &peer;
    header.msg_namelen = sizeof peer;
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
  }

  // Says that the datagram leaves from `ip`, whichever local address the socket is bound to.
  void leaveFrom(const uint8_t ip[4]) {
    cmsghdr* item = CMSG_FIRSTHDR(&header);
    item->cmsg_level = IPPROTO_IP;
    item->cmsg_type = IP_PKTINFO;
    item->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo information{};
    std::memcpy(&information.ipi_spec_dst, ip, 4);
    std::memcpy(CMSG_DATA(item), &information, sizeof information);
  }

  iovec part{};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  msghdr header{};
};

bool later(const auto& a, const auto& b) {
  return a.dueMs != b.dueMs ? a.dueMs > b.dueMs : a.order > b.order;
}

}  // namespace

FleetSimulator::FleetSimulator(FleetModel& model)
    : model_(model), buffer_(DATAGRAM_LIMIT * IO_BATCH) {}

FleetSimulator::~FleetSimulator() {
  for (int socketHandle : sockets_) {
    if (socketHandle >= 0) ::close(socketHandle);
  }
}

bool FleetSimulator::open(std::string& error) {
  static const uint8_t ANY[4] = {0, 0, 0, 0};
  const uint8_t* addresses[3] = {ANY, model_.description().serverIp, ANY};
  const uint16_t ports[3] = {DEVICE_PORT, SERVER_PORT, WRONG_PORT};
  for (int i = 0; i < 3; ++i) {
    if (sockets_[i] >= 0) continue;
    sockets_[i] = openSocket(addresses[i], ports[i], error);
    if (sockets_[i] < 0) return false;
    ports_[i] = ports[i];
  }
  return true;
}

void FleetSimulator::run(const std::atomic<bool>& stop) {
  pollfd polls[3];
  for (int i = 0; i < 3; ++i) polls[i] = pollfd{sockets_[i], POLLIN, 0};
  while (!stop.load(std::memory_order_relaxed)) {
    uint64_t now = monotonicMs();
    sendDue(now);
    sendFlood(now);
    int timeout = STOP_CHECK_MS;
    if (!waiting_.empty()) {
      timeout = static_cast<int>(std::min<uint64_t>(waiting_.front().dueMs - now, STOP_CHECK_MS));
    }
    if (floodTargetKnown_ && model_.description().floodPerSecond > 0) {
      timeout = std::min(timeout, FLOOD_STEP_MS);
    }
    if (poll(polls, 3, timeout) <= 0) continue;
    for (int i = 0; i < 3; ++i) {
      if (polls[i].revents & POLLIN) receiveFrom(i);
    }
  }
}

void FleetSimulator::receiveFrom(int socketIndex) {
  sockaddr_in from[IO_BATCH];
  PacketHeader packets[IO_BATCH];
  mmsghdr headers[IO_BATCH];
  for (int count = 0; count < DRAIN_BATCH;) {
    for (unsigned i = 0; i < IO_BATCH; ++i) {
      packets[i].point(from[i], buffer_.data() + i * DATAGRAM_LIMIT, DATAGRAM_LIMIT);
      headers[i] = mmsghdr{packets[i].header, 0};
    }
    const int received = recvmmsg(sockets_[socketIndex], headers, IO_BATCH, MSG_DONTWAIT, nullptr);
    if (received <= 0) return;
    for (int i = 0; i < received; ++i) {
      handle(socketIndex, from[i], headers[i].msg_hdr, buffer_.data() + i * DATAGRAM_LIMIT,
             headers[i].msg_len);
    }
    count += received;
    if (received < static_cast<int>(IO_BATCH)) return;  // nothing more waits
  }
}

void FleetSimulator::handle(int socketIndex, const sockaddr_in& from, msghdr& header,
                            const uint8_t* bytes, uint32_t length) {
  ++counters_.received;

  // The request's own destination address, which is the unit it is for.
  SocketAddress destination{};
  const uint8_t* boundIp = socketIndex == SERVER ? model_.description().serverIp : nullptr;
  uint8_t ip[4] = {};
  if (boundIp) std::memcpy(ip, boundIp, 4);
  for (cmsghdr* item = CMSG_FIRSTHDR(&header); item; item = CMSG_NXTHDR(&header, item)) {
    if (item->cmsg_level == IPPROTO_IP && item->cmsg_type == IP_PKTINFO) {
      in_pktinfo information{};
      std::memcpy(&information, CMSG_DATA(item), sizeof information);
      std::memcpy(ip, &information.ipi_addr, 4);
    }
  }
  setSocketAddress(destination, ip, ports_[socketIndex]);
  SocketAddress requester{};
  uint8_t requesterIp[4];
  std::memcpy(requesterIp, &from.sin_addr, 4);
  setSocketAddress(requester, requesterIp, ntohs(from.sin_port));
  floodTarget_ = requester;
  floodTargetKnown_ = true;

  replies_.clear();
  model_.handle(destination, bytes, length, replies_);
  const uint64_t now = monotonicMs();
  for (Reply& reply : replies_) {
    waiting_.push_back(Waiting{now + reply.delayMs, nextOrder_++, reply.source, requester,
                               std::move(reply.bytes), reply.late});
    std::push_heap(waiting_.begin(), waiting_.end(), later<Waiting, Waiting>);
  }
  counters_.peakWaiting = std::max<uint64_t>(counters_.peakWaiting, waiting_.size());
}

void FleetSimulator::sendDue(uint64_t nowMs) {
  while (!waiting_.empty() && waiting_.front().dueMs <= nowMs) {
    std::pop_heap(waiting_.begin(), waiting_.end(), later<Waiting, Waiting>);
    due_.push_back(std::move(waiting_.back()));
    waiting_.pop_back();
    if (due_.size() == IO_BATCH) sendBatch();
  }
  sendBatch();
}

int FleetSimulator::socketFor(const SocketAddress& source) const {
  const uint16_t sourcePort = portOf(source);
  for (int i = 0; i < 3; ++i) {
    if (ports_[i] == sourcePort) return sockets_[i];
  }
  return -1;
}

// Sends the due replies in their order, each run of replies from one socket in one call.
void FleetSimulator::sendBatch() {
  sockaddr_in to[IO_BATCH];
  PacketHeader packets[IO_BATCH];
  mmsghdr headers[IO_BATCH];
  size_t start = 0;
  while (start < due_.size()) {
    const int socketHandle = socketFor(due_[start].source);
    size_t end = start + 1;
    while (end < due_.size() && socketFor(due_[end].source) == socketHandle) ++end;
    if (socketHandle < 0) {
      counters_.sendFailures += end - start;
      start = end;
      continue;
    }
    for (size_t i = start; i < end; ++i) {
      const Waiting& reply = due_[i];
      const size_t slot = i - start;
      to[slot] = toSockaddr(reply.destination.ip, portOf(reply.destination));
      // sendmmsg only reads the bytes, though the system declares them writable.
      // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast)
      packets[slot].point(to[slot], const_cast<uint8_t*>(reply.bytes.data()), reply.bytes.size());
      packets[slot].leaveFrom(reply.source.ip);
      headers[slot] = mmsghdr{packets[slot].header, 0};
    }
    size_t next = start;
    while (next < end) {
      const int sent =
          sendmmsg(socketHandle, headers + (next - start), static_cast<unsigned>(end - next), 0);
      if (sent <= 0) {
        ++counters_.sendFailures;  // that reply is lost; the rest still go
        ++next;
        continue;
      }
      for (size_t i = next; i < next + static_cast<size_t>(sent); ++i) {
        ++counters_.sent;
        if (due_[i].late) live_.lateCopiesSent.fetch_add(1, std::memory_order_relaxed);
      }
      next += static_cast<size_t>(sent);
    }
    start = end;
  }
  due_.clear();
}

void FleetSimulator::sendFlood(uint64_t nowMs) {
  const uint32_t rate = model_.description().floodPerSecond;
  if (rate == 0 || !floodTargetKnown_) {
    floodClockMs_ = nowMs;
    return;
  }
  const uint64_t elapsed = std::min(nowMs - floodClockMs_, FLOOD_CATCH_UP_MS);
  floodClockMs_ = nowMs;
  floodCredit_ += elapsed * rate;
  for (; floodCredit_ >= 1000; floodCredit_ -= 1000) {
    Reply noise = model_.floodDatagram();
    if (send(Waiting{nowMs, 0, noise.source, floodTarget_, std::move(noise.bytes), false})) {
      live_.floodSent.fetch_add(1, std::memory_order_relaxed);
    }
  }
}

bool FleetSimulator::send(const Waiting& reply) {
  const int socketHandle = socketFor(reply.source);
  if (socketHandle < 0) {
    ++counters_.sendFailures;
    return false;
  }
  sockaddr_in to = toSockaddr(reply.destination.ip, portOf(reply.destination));
  PacketHeader packet;
  // sendmsg only reads the bytes, though the system declares them writable.
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast)
  packet.point(to, const_cast<uint8_t*>(reply.bytes.data()), reply.bytes.size());
  packet.leaveFrom(reply.source.ip);
  if (sendmsg(socketHandle, &packet.header, 0) < 0) {
    ++counters_.sendFailures;
    return false;
  }
  ++counters_.sent;
  return true;
}

}  // namespace vyr::fleet
