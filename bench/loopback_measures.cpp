#include "loopback_measures.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

namespace vyr::bench {
namespace {

constexpr int BUFFER_BYTES = 32 << 20;
constexpr int ANSWER_TIMEOUT_MS = 1000;  // an answer this late is lost
constexpr size_t DATAGRAM_BYTES = 12;    // about a request's size
constexpr unsigned BATCH = 64;            // datagrams a batched system call moves at most

int openLoopbackSocket(sockaddr_in& bound) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int bytes = BUFFER_BYTES;
  for (int option : {SO_RCVBUFFORCE, SO_SNDBUFFORCE}) {
    if (::setsockopt(fd, SOL_SOCKET, option, &bytes, sizeof bytes) != 0) {
      ::setsockopt(fd, SOL_SOCKET, option == SO_RCVBUFFORCE ? SO_RCVBUF : SO_SNDBUF, &bytes,
                   sizeof bytes);
    }
  }
  bound = {};
  bound.sin_family = AF_INET;
  bound.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof bound;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Closes whichever of the two sockets opened; an echo that could not start lost every exchange.
EchoResult closedPair(int echo, int client, uint64_t lost) {
  if (echo >= 0) ::close(echo);
  if (client >= 0) ::close(client);
  EchoResult result;
  result.lost = lost;
  return result;
}

double millisecondsSince(std::chrono::steady_clock::time_point started) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
      .count();
}

// Buffers and headers for one batch of datagrams, each with room for its peer's address.
struct Batch {
  char datagrams[BATCH][64] = {};
  sockaddr_in peers[BATCH] = {};
  iovec pieces[BATCH] = {};
  mmsghdr headers[BATCH] = {};

  Batch() {
    for (unsigned i = 0; i < BATCH; ++i) {
      pieces[i] = {datagrams[i], sizeof datagrams[i]};
      headers[i] = {};
      headers[i].msg_hdr.msg_iov = &pieces[i];
      headers[i].msg_hdr.msg_iovlen = 1;
      headers[i].msg_hdr.msg_name = &peers[i];
      headers[i].msg_hdr.msg_namelen = sizeof peers[i];
    }
  }
  // Makes the first `count` headers ready to receive into again.
  void rearm(unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
      pieces[i].iov_len = sizeof datagrams[i];
      headers[i].msg_hdr.msg_namelen = sizeof peers[i];
    }
  }
};

}  // namespace

double cpuMilliseconds(int who) {
  rusage usage{};
  ::getrusage(who, &usage);
  const auto microseconds = [](const timeval& time) {
    return static_cast<double>(time.tv_sec) * 1e6 + static_cast<double>(time.tv_usec);
  };
  return (microseconds(usage.ru_utime) + microseconds(usage.ru_stime)) / 1000.0;
}

std::map<uint16_t, uint64_t> udpDropsByPort() {
  std::map<uint16_t, uint64_t> drops;
  std::ifstream table("/proc/net/udp");
  std::string line;
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot;
    std::string local;
    std::string field;
    fields >> slot >> local;
    uint64_t dropped = 0;
    while (fields >> field) dropped = std::strtoull(field.c_str(), nullptr, 10);  // the last one
    const size_t colon = local.find(':');
    if (colon == std::string::npos) continue;
    drops[static_cast<uint16_t>(std::stoul(local.substr(colon + 1), nullptr, 16))] += dropped;
  }
  return drops;
}

EchoResult rawEcho(uint64_t exchanges, uint32_t window) {
  sockaddr_in echoAddress{};
  sockaddr_in clientAddress{};
  const int echo = openLoopbackSocket(echoAddress);
  const int client = openLoopbackSocket(clientAddress);
  EchoResult result;
  if (echo < 0 || client < 0) return closedPair(echo, client, exchanges);
  std::atomic<bool> stop{false};
  std::thread echoThread([&] {
    char datagram[64];
    pollfd entry{echo, POLLIN, 0};
    while (!stop.load(std::memory_order_relaxed)) {
      if (::poll(&entry, 1, 50) <= 0) continue;
      sockaddr_in from{};
      socklen_t size = sizeof from;
      const ssize_t count = ::recvfrom(echo, datagram, sizeof datagram, MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr*>(&from), &size);
      if (count >= 0) {
        ::sendto(echo, datagram, static_cast<size_t>(count), 0, reinterpret_cast<sockaddr*>(&from),
                 size);
      }
    }
  });

  const char request[DATAGRAM_BYTES] = "request";
  char answer[64];
  uint64_t sent = 0;
  uint64_t answered = 0;
  const auto started = std::chrono::steady_clock::now();
  while (answered < exchanges) {
    while (sent < exchanges && sent - answered < window) {
      ::sendto(client, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&echoAddress),
               sizeof echoAddress);
      ++sent;
    }
    pollfd entry{client, POLLIN, 0};
    if (::poll(&entry, 1, ANSWER_TIMEOUT_MS) <= 0) break;
    while (::recv(client, answer, sizeof answer, MSG_DONTWAIT) >= 0) ++answered;
  }
  result.milliseconds = millisecondsSince(started);
  result.lost = exchanges - answered;
  stop = true;
  echoThread.join();
  closedPair(echo, client, 0);
  return result;
}

namespace {

// Answers every datagram that reaches `echo` until `stop`, a batch at a time.
void echoBatches(int echo, const std::atomic<bool>& stop) {
  auto batch = std::make_unique<Batch>();
  while (!stop.load(std::memory_order_relaxed)) {
    const int count = ::recvmmsg(echo, batch->headers, BATCH, MSG_WAITFORONE, nullptr);
    if (count <= 0) continue;
    const auto received = static_cast<unsigned>(count);
    for (unsigned i = 0; i < received; ++i) batch->pieces[i].iov_len = batch->headers[i].msg_len;
    for (unsigned at = 0; at < received;) {
      const int sent = ::sendmmsg(echo, batch->headers + at, received - at, 0);
      if (sent <= 0) break;
      at += static_cast<unsigned>(sent);
    }
    batch->rearm(received);
  }
}

// Reads every answer waiting at `client`; returns how many came.
uint64_t receiveBatches(int client, Batch& answers) {
  uint64_t answered = 0;
  for (;;) {
    const int count = ::recvmmsg(client, answers.headers, BATCH, MSG_DONTWAIT, nullptr);
    if (count <= 0) break;
    answered += static_cast<uint64_t>(count);
    answers.rearm(static_cast<unsigned>(count));
    if (static_cast<unsigned>(count) < BATCH) break;
  }
  return answered;
}

}  // namespace

EchoResult batchedEcho(uint64_t exchanges, uint32_t window) {
  sockaddr_in echoAddress{};
  sockaddr_in clientAddress{};
  const int echo = openLoopbackSocket(echoAddress);
  const int client = openLoopbackSocket(clientAddress);
  EchoResult result;
  if (echo < 0 || client < 0) return closedPair(echo, client, exchanges);
  // As the survey's socket does: "don't fragment" forced, which spares each datagram an IP ID.
  int unfragmented = IP_PMTUDISC_DO;
  ::setsockopt(client, IPPROTO_IP, IP_MTU_DISCOVER, &unfragmented, sizeof unfragmented);
  // The echo blocks in recvmmsg for at most 50 ms at a time, so that it sees `stop`.
  const timeval wake{0, 50000};
  ::setsockopt(echo, SOL_SOCKET, SO_RCVTIMEO, &wake, sizeof wake);
  std::atomic<bool> stop{false};
  std::thread echoThread([&] {
    echoBatches(echo, stop);
    result.echoCpuMs = cpuMilliseconds(RUSAGE_THREAD);
  });
  const double cpuBefore = cpuMilliseconds(RUSAGE_THREAD);

  auto requests = std::make_unique<Batch>();
  for (unsigned i = 0; i < BATCH; ++i) {
    std::memcpy(requests->datagrams[i], "request", 8);
    requests->pieces[i].iov_len = DATAGRAM_BYTES;
    requests->peers[i] = echoAddress;
  }
  auto answers = std::make_unique<Batch>();
  uint64_t sent = 0;
  uint64_t answered = 0;
  const auto started = std::chrono::steady_clock::now();
  while (answered < exchanges) {
    while (sent < exchanges && sent - answered < window) {
      const auto room = static_cast<unsigned>(
          std::min<uint64_t>({exchanges - sent, window - (sent - answered), BATCH}));
      const int count = ::sendmmsg(client, requests->headers, room, 0);
      if (count <= 0) break;
      sent += static_cast<uint64_t>(count);
    }
    pollfd entry{client, POLLIN, 0};
    if (::poll(&entry, 1, ANSWER_TIMEOUT_MS) <= 0) break;
    answered += receiveBatches(client, *answers);
  }
  result.milliseconds = millisecondsSince(started);
  result.clientCpuMs = cpuMilliseconds(RUSAGE_THREAD) - cpuBefore;
  result.lost = exchanges - answered;
  stop = true;
  echoThread.join();
  closedPair(echo, client, 0);
  return result;
}

}  // namespace vyr::bench
