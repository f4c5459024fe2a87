#pragma once
// What the loopback benchmarks measure besides wall time: CPU time, the datagrams each socket of
// this network namespace dropped, and how fast the machine itself exchanges datagrams over
// loopback.

#include <cstdint>
#include <map>

namespace vyr::bench {

// Datagrams dropped so far by every UDP socket of this network namespace, by local port, from
// /proc/net/udp.
std::map<uint16_t, uint64_t> udpDropsByPort();

struct EchoResult {
  double milliseconds = 0;
  uint64_t lost = 0;
  double clientCpuMs = 0, echoCpuMs = 0;  // each thread's CPU time (the batched echo's)
};

// `exchanges` request-and-answer pairs between a client thread and an echo thread over loopback,
// at most `window` awaiting their answer at a time, both sockets with 32 MiB buffers: what the
// machine allows a survey of that many requests.
EchoResult rawEcho(uint64_t exchanges, uint32_t window);

// The same exchanges with the system calls batched on both sides: sendmmsg and recvmmsg of up to
// 64 datagrams a call, and the echo thread blocking in recvmmsg instead of polling before each
// datagram. This is the nearest a survey of that many requests can come on this machine.
EchoResult batchedEcho(uint64_t exchanges, uint32_t window);

// CPU time, user and system, of RUSAGE_SELF (the process) or RUSAGE_THREAD (the calling thread).
double cpuMilliseconds(int who);

}  // namespace vyr::bench
