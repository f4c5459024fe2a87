#include "loopback_measures.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace vyr::bench {
namespace {

constexpr int BUFFER_BYTES = 32 << 20;
constexpr int ANSWER_TIMEOUT_MS = 1000;  // an answer this late is lost
constexpr size_t DATAGRAM_BYTES = 12;    // about a request's size

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
  if (echo < 0 || client < 0) {
    result.lost = exchanges;
    return result;
  }
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
  result.milliseconds =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
  result.lost = exchanges - answered;
  stop = true;
  echoThread.join();
  ::close(client);
  ::close(echo);
  return result;
}

}  // namespace vyr::bench
