#pragma once
// A survey world with a network: the survey fixture plus a scripted peer and a driver that runs
// the core the way the dialog does, in the fake clock's time.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/survey_driver.h"
#include "protocol/frame_codec.h"
#include "protocol/receiver.h"
#include "protocol/scheduler.h"
#include "protocol/send_queue.h"
#include "support/survey_fixture.h"
#include "support/virtual_time_loop.h"

namespace vyr::testing {

using Bytes = std::vector<uint8_t>;

inline SocketAddress address(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t port) {
  const uint8_t ip[4] = {a, b, c, d};
  SocketAddress result{};
  setSocketAddress(result, ip, port);
  return result;
}

inline Bytes frame(const Bytes& message, bool runCoding) {
  Bytes out(static_cast<size_t>(frameCapacity(static_cast<int32_t>(message.size()))));
  out.resize(static_cast<size_t>(
      writeFrame(message.data(), static_cast<int32_t>(message.size()), runCoding, out.data())));
  return out;
}

// The message inside a frame, or nothing when the decoder rejects it.
inline std::optional<Bytes> unframe(const Bytes& datagram, bool rleOk) {
  Bytes out(DECODED_LIMIT);
  const int32_t size =
      decodeFrame(datagram.data(), static_cast<int32_t>(datagram.size()), rleOk, out.data());
  if (size < 0) return std::nullopt;
  out.resize(static_cast<size_t>(size));
  return out;
}

class ScriptedPeer final : public MemoryNetwork::Peer {
 public:
  std::function<void(MemoryNetwork&, const MemoryNetwork::Datagram&)> answer;
  void onDatagram(MemoryNetwork& network, const MemoryNetwork::Datagram& datagram) override {
    if (answer) answer(network, datagram);
  }
};

struct ProtocolFixture : SurveyFixture {
  ScriptedPeer peer;

  ProtocolFixture() { network.attach(&peer); }

  // The dialog's start button.
  void press(StartMode mode) { pressStart(context, mode); }

  void period() { runPeriod(context, clock, network); }
  int runSurvey(int maxTicks) { return runSurveyPeriods(context, clock, network, maxTicks); }

  // Datagrams the tool sent since the last call.
  std::vector<MemoryNetwork::Datagram> takeSent() {
    std::vector<MemoryNetwork::Datagram> out;
    out.swap(network.sent);
    return out;
  }
};

}  // namespace vyr::testing
