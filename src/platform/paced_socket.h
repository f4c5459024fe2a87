#pragma once
// Holds sends back so that a burst never outruns the reader. A survey of a large fleet queues a
// request for every unit at once; sent in one go, the answers overflow the socket's receive
// buffer before the first one is read, and every lost answer costs its unit a whole retry
// interval. The window keeps no more datagrams awaiting an answer than the buffer holds; the rate,
// when set, caps datagrams a second for links that drop bursts (cellular uplinks).
//
// A held-back send is refused as a busy socket refuses it, so the queue keeps every datagram in
// its order and only the moment it leaves changes. The driver asks msUntilFlush() after every
// flush and every drain and flushes again when it says so.

#include <cstdint>

#include "platform/clock.h"
#include "platform/udp_socket.h"

namespace vyr {

struct SendPacing {
  uint32_t window = 0;         // most datagrams sent and not yet answered; 0: no limit
  uint32_t ratePerSecond = 0;  // most datagrams a second, in bursts of at most 20 ms worth (and
                               // at least one); 0: no limit
};

// A window that fits `receiveBufferBytes` (as the system reports its receive buffer) twice over:
// each small datagram waiting there costs the system about 832 bytes.
uint32_t windowForReceiveBuffer(int64_t receiveBufferBytes);

class PacedSocket final : public UdpSocket {
 public:
  // Some datagrams that await an answer never get one (a silent unit, a loss), and the socket
  // cannot tell which: one unanswered for FORGIVE_MS is forgiven. A reader that is merely slow
  // answers within that, so the window holds it to a window's worth of backlog. A datagram that
  // awaits no answer (OutgoingDatagram::awaitsAnswer) is not counted at all.
  static constexpr uint32_t FORGIVE_MS = 50;

  PacedSocket(UdpSocket& inner, Clock& clock, SendPacing pacing);

  SendResult sendTo(const SocketAddress& destination, const uint8_t* bytes,
                    uint32_t length) override;
  uint32_t sendBatch(const OutgoingDatagram* datagrams, uint32_t count,
                     SendResult* results) override;
  ReceiveResult receiveFrom(uint8_t* buffer, uint32_t capacity, uint32_t& length,
                            SocketAddress& source) override;

  // -1 when no send is held back; otherwise the milliseconds until a flush can send again. 0 (now)
  // is said once, for the one flush that follows. A window opens again once half of it has been
  // answered or forgiven; an answer settles the oldest datagram still awaited.
  int32_t msUntilFlush() override;

  bool wantsWriteReadiness() const override { return inner_.wantsWriteReadiness(); }
  void writeReadinessDelivered() override { inner_.writeReadinessDelivered(); }
  int64_t receiveBufferBytes() const override { return inner_.receiveBufferBytes(); }
  uint16_t localPort() const override { return inner_.localPort(); }

 private:
  uint64_t burstCredit() const;
  uint64_t allowance(uint64_t wanted) const;
  void catchUp(uint32_t now);
  uint32_t& awaitedSentAt(uint32_t tick) { return awaitedBySend_[tick % FORGIVE_MS]; }
  void settleOldest();

  UdpSocket& inner_;
  Clock& clock_;
  SendPacing pacing_;
  uint64_t awaited_ = 0;  // datagrams sent and neither answered nor forgiven
  // awaited_ by the tick each went at, for the last FORGIVE_MS ticks up to lastCatchUp_; the
  // ticks before oldestAwaited_ have none left.
  uint32_t awaitedBySend_[FORGIVE_MS] = {};
  uint32_t oldestAwaited_;
  uint64_t credit_ = 0;   // sends the rate allows now, in thousandths
  uint32_t lastCatchUp_;  // tick up to which forgiveness and credit are counted
  bool held_ = false;
};

}  // namespace vyr
