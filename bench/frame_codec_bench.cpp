// Throughput of the frame codec on the messages a survey moves, next to a plain copy of the same
// bytes as the yardstick.

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "protocol/frame_codec.h"
#include "protocol/messages.h"

namespace {

using Bytes = std::vector<uint8_t>;

enum Message { VERSION_QUERY_MESSAGE, MODEM_REPLY_MESSAGE, WORST_CASE_MESSAGE };

// A version query, a modem reply as units send it (text, zero padding), and 1536 bytes that are
// all reserved values: the most escapes the encoder can meet.
Bytes makeMessage(int64_t kind) {
  if (kind == VERSION_QUERY_MESSAGE)
    return {vyr::VERSION_QUERY, 'P', 'U', 'M', 'P', '0', '7', 0, 0, 0};
  if (kind == MODEM_REPLY_MESSAGE) {
    Bytes reply(vyr::MODEM_REPLY_LENGTH, 0);
    reply[0] = vyr::MODEM_INFO;
    std::memcpy(reply.data() + vyr::MODEM_ESN_OFFSET, "A1000042FF0E9B", 14);
    std::memcpy(reply.data() + vyr::MODEM_ID_OFFSET, "MX-200 rev C 2.4.1", 18);
    return reply;
  }
  Bytes worst(vyr::DECODED_LIMIT);
  std::mt19937 random(3);
  for (uint8_t& byte : worst) byte = static_cast<uint8_t>(0xFC + random() % 4);
  return worst;
}

const char* labelOf(int64_t kind) {
  return kind == VERSION_QUERY_MESSAGE ? "version query 10 B"
         : kind == MODEM_REPLY_MESSAGE ? "modem reply 138 B"
                                       : "worst case 1536 B";
}

void BM_encode(benchmark::State& state) {
  const Bytes message = makeMessage(state.range(0));
  const bool runCoding = state.range(1) != 0;
  Bytes frame(static_cast<size_t>(vyr::frameCapacity(static_cast<int32_t>(message.size()))));
  for (auto _ : state) {
    benchmark::DoNotOptimize(vyr::writeFrame(message.data(), static_cast<int32_t>(message.size()),
                                             runCoding, frame.data()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(message.size()));
  state.SetLabel(std::string(labelOf(state.range(0))) + (runCoding ? ", run coding" : ""));
}

// The worst case's frame is larger than any datagram the tool reads, so decoding measures the
// worst that fits: a full 1024-byte datagram of escape pairs without run coding, and the largest
// output, 1536 bytes from run groups, with it.
void BM_decode(benchmark::State& state) {
  const bool runCoding = state.range(1) != 0;
  Bytes message = makeMessage(state.range(0));
  if (state.range(0) == WORST_CASE_MESSAGE) {
    if (runCoding) {
      message.assign(vyr::DECODED_LIMIT, 0x41);
    } else {
      message.assign((vyr::RECEIVE_BUFFER_SIZE - 2) / 2, 0xFF);
    }
  }
  Bytes frame(static_cast<size_t>(vyr::frameCapacity(static_cast<int32_t>(message.size()))));
  frame.resize(static_cast<size_t>(vyr::writeFrame(
      message.data(), static_cast<int32_t>(message.size()), runCoding, frame.data())));
  if (frame.size() > static_cast<size_t>(vyr::RECEIVE_BUFFER_SIZE)) {
    state.SkipWithError("frame larger than a received datagram");
    return;
  }
  uint8_t decoded[vyr::DECODED_LIMIT];
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        vyr::decodeFrame(frame.data(), static_cast<int32_t>(frame.size()), runCoding, decoded));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(message.size()));
  state.SetLabel(std::to_string(message.size()) + " B" + (runCoding ? ", run coding" : "") +
                 ", frame " + std::to_string(frame.size()) + " B");
}

void BM_memcpy(benchmark::State& state) {
  const Bytes message = makeMessage(state.range(0));
  Bytes copy(message.size());
  for (auto _ : state) {
    std::memcpy(copy.data(), message.data(), message.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(message.size()));
  state.SetLabel(labelOf(state.range(0)));
}

BENCHMARK(BM_encode)->ArgsProduct({{0, 1, 2}, {0, 1}});
BENCHMARK(BM_decode)->ArgsProduct({{0, 1, 2}, {0, 1}});
BENCHMARK(BM_memcpy)->DenseRange(0, 2);

}  // namespace
