#include "platform/paced_socket.h"

#include <algorithm>

namespace vyr {
namespace {

constexpr int64_t BYTES_PER_WAITING_DATAGRAM = 832;
constexpr uint32_t SMALLEST_WINDOW = 16;
// Larger windows gain nothing on loopback and make each flush longer.
constexpr uint32_t LARGEST_WINDOW = 2048;
// The rate's burst: what it allows in 20 ms, and never less than one datagram.
constexpr uint32_t BURST_FRACTION = 50;
constexpr uint64_t ONE = 1000;  // one datagram, in the thousandths the counts are kept in

}  // namespace

uint32_t windowForReceiveBuffer(int64_t receiveBufferBytes) {
  const int64_t fits = receiveBufferBytes / (2 * BYTES_PER_WAITING_DATAGRAM);
  if (fits < SMALLEST_WINDOW) return SMALLEST_WINDOW;
  return fits > LARGEST_WINDOW ? LARGEST_WINDOW : static_cast<uint32_t>(fits);
}

PacedSocket::PacedSocket(UdpSocket& inner, Clock& clock, SendPacing pacing)
    : inner_(inner),
      clock_(clock),
      pacing_(pacing),
      oldestAwaited_(clock.tick()),
      credit_(burstCredit()),
      lastCatchUp_(clock.tick()) {}

uint64_t PacedSocket::burstCredit() const {
  return ONE * (pacing_.ratePerSecond / BURST_FRACTION + 1);
}

// Counts in the time since the last call: the forgiveness of what has been awaited FORGIVE_MS,
// and the rate's credit (a millisecond brings `rate` thousandths of a datagram).
void PacedSocket::catchUp(uint32_t now) {
  const uint64_t elapsed = now - lastCatchUp_;
  // The slots of the ticks lastCatchUp_ + 1 .. now held what went FORGIVE_MS before them.
  for (uint64_t i = 1; i <= std::min<uint64_t>(elapsed, FORGIVE_MS); ++i) {
    uint32_t& expired = awaitedSentAt(static_cast<uint32_t>(lastCatchUp_ + i));
    awaited_ -= expired;
    expired = 0;
  }
  lastCatchUp_ = now;
  const uint32_t oldestLive = now - (FORGIVE_MS - 1);
  if (static_cast<int32_t>(oldestLive - oldestAwaited_) > 0) oldestAwaited_ = oldestLive;
  if (pacing_.ratePerSecond != 0) {
    credit_ += elapsed * pacing_.ratePerSecond;
    if (credit_ > burstCredit()) credit_ = burstCredit();
  }
}

SendResult PacedSocket::sendTo(const SocketAddress& destination, const uint8_t* bytes,
                               uint32_t length) {
  const OutgoingDatagram datagram{&destination, bytes, length};
  SendResult result = SendResult::RETRY_LATER;
  sendBatch(&datagram, 1, &result);
  return result;
}

// How many more datagrams the window and the rate let go now.
uint64_t PacedSocket::allowance(uint64_t wanted) const {
  if (pacing_.window != 0) {
    // A datagram may go while fewer than a whole window await their answers.
    wanted = awaited_ >= pacing_.window ? 0 : std::min(wanted, pacing_.window - awaited_);
  }
  if (pacing_.ratePerSecond != 0) wanted = std::min(wanted, credit_ / ONE);
  return wanted;
}

uint32_t PacedSocket::sendBatch(const OutgoingDatagram* datagrams, uint32_t count,
                                SendResult* results) {
  catchUp(clock_.tick());
  uint32_t done = 0;
  while (done < count) {
    const auto allowed = static_cast<uint32_t>(allowance(count - done));
    if (allowed == 0) {
      held_ = true;
      results[done] = SendResult::RETRY_LATER;
      return done;
    }
    // What the system refuses from here on is the system's to report: its own readiness wakes
    // the queue again.
    held_ = false;
    const uint32_t handled = inner_.sendBatch(datagrams + done, allowed, results + done);
    for (uint32_t i = done; i < done + handled; ++i) {
      // Refused or kept for later, a datagram is awaited by nobody and uses none of the rate.
      if (results[i] != SendResult::SENT) continue;
      if (pacing_.window != 0 && datagrams[i].awaitsAnswer) {
        ++awaited_;
        ++awaitedSentAt(lastCatchUp_);
      }
      if (pacing_.ratePerSecond != 0) credit_ -= ONE;
    }
    done += handled;
    if (handled < allowed) return done;
  }
  return done;
}

// An answer is taken for the oldest datagram awaited: answers mostly come in the order asked.
void PacedSocket::settleOldest() {
  if (awaited_ == 0) return;
  while (awaitedSentAt(oldestAwaited_) == 0) ++oldestAwaited_;
  --awaitedSentAt(oldestAwaited_);
  --awaited_;
}

ReceiveResult PacedSocket::receiveFrom(uint8_t* buffer, uint32_t capacity, uint32_t& length,
                                       SocketAddress& source) {
  const ReceiveResult result = inner_.receiveFrom(buffer, capacity, length, source);
  if (result == ReceiveResult::DATAGRAM || result == ReceiveResult::OVERSIZED) settleOldest();
  return result;
}

int32_t PacedSocket::msUntilFlush() {
  if (!held_) return -1;
  catchUp(clock_.tick());
  uint64_t wait = 0;
  const uint64_t halfWindow = pacing_.window / 2;
  if (pacing_.window != 0 && awaited_ > halfWindow) {
    // Until enough of the oldest are forgiven, those sent at `tick` at FORGIVE_MS after it.
    uint64_t left = awaited_;
    uint32_t tick = oldestAwaited_;
    for (; left > halfWindow; ++tick) left -= awaitedSentAt(tick);
    wait = tick - 1 + FORGIVE_MS - lastCatchUp_;
  }
  if (pacing_.ratePerSecond != 0 && credit_ < ONE) {
    const uint64_t rateWait = (ONE - credit_ + pacing_.ratePerSecond - 1) / pacing_.ratePerSecond;
    if (rateWait > wait) wait = rateWait;
  }
  // Like a readiness notification, "now" is said once: the flush it calls for holds the next send
  // back again if it must, and a queue emptied meanwhile asks for nothing more.
  if (wait == 0) held_ = false;
  return static_cast<int32_t>(wait);
}

}  // namespace vyr
