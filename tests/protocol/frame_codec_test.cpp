// Catches frames that differ from the wire format by a byte, decoders that read or write out of
// bounds, and frames that do not come back as the message they were made from.

#include <gtest/gtest.h>

#include <random>

#include "support/protocol_fixture.h"

namespace vyr::testing {
namespace {

Bytes repeated(size_t count, uint8_t value) { return Bytes(count, value); }

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

struct EncodeCase {
  const char* what;
  Bytes message;
  bool runCoding;
  Bytes frame;
};

// The vectors are the wire format's own worked examples.
TEST(FrameCodecTest, EncodesTheWorkedExamples) {
  const EncodeCase cases[] = {
      {"five zeros plain", repeated(5, 0), false, {0xFF, 0, 0, 0, 0, 0, 0xFE}},
      {"five zeros coded", repeated(5, 0), true, {0xFF, 0xFC, 0x05, 0x00, 0xFE}},
      {"FF escaped plain", {0x41, 0xFF, 0x42}, false, {0xFF, 0x41, 0xFD, 0x30, 0x42, 0xFE}},
      {"FF escaped coded", {0x41, 0xFF, 0x42}, true, {0xFF, 0x41, 0xFD, 0x30, 0x42, 0xFE}},
      {"FC plain", {0xFC, 0x01}, false, {0xFF, 0xFC, 0x01, 0xFE}},
      {"FC coded", {0xFC, 0x01}, true, {0xFF, 0xFD, 0x33, 0x01, 0xFE}},
      {"run of two", {0x41, 0x41, 0x42}, true, {0xFF, 0x41, 0x41, 0x42, 0xFE}},
      {"run of FC coded", repeated(3, 0xFC), true, {0xFF, 0xFC, 0x03, 0xFD, 0x33, 0xFE}},
      {"run of FC plain", repeated(3, 0xFC), false, {0xFF, 0xFC, 0xFC, 0xFC, 0xFE}},
      {"count 252 escaped", repeated(252, 0x20), true, {0xFF, 0xFC, 0xFD, 0x33, 0x20, 0xFE}},
      {"257 in one group and two plain", repeated(257, 0x20), true,
       {0xFF, 0xFC, 0xFD, 0x30, 0x20, 0x20, 0x20, 0xFE}},
      {"300 FF", repeated(300, 0xFF), true,
       {0xFF, 0xFC, 0xFD, 0x30, 0xFD, 0x30, 0xFC, 0x2D, 0xFD, 0x30, 0xFE}},
      {"version query coded", {0x65, 0x41, 0x42, 0x31, 0x32, 0, 0, 0, 0, 0}, true,
       {0xFF, 0x65, 0x41, 0x42, 0x31, 0x32, 0xFC, 0x05, 0x00, 0xFE}},
      {"version query plain", {0x65, 0x41, 0x42, 0x31, 0x32, 0, 0, 0, 0, 0}, false,
       {0xFF, 0x65, 0x41, 0x42, 0x31, 0x32, 0, 0, 0, 0, 0, 0xFE}},
      // Run coding makes no difference to the two-byte requests.
      {"identify plain", {0x64, 0x00}, false, {0xFF, 0x64, 0x00, 0xFE}},
      {"identify coded", {0x64, 0x00}, true, {0xFF, 0x64, 0x00, 0xFE}},
      {"modem info plain", {0x01, 0x00}, false, {0xFF, 0x01, 0x00, 0xFE}},
      {"modem info coded", {0x01, 0x00}, true, {0xFF, 0x01, 0x00, 0xFE}},
      {"empty", {}, true, {0xFF, 0xFE}},
  };
  for (const EncodeCase& c : cases) {
    EXPECT_EQ(frame(c.message, c.runCoding), c.frame) << c.what;
    EXPECT_EQ(unframe(c.frame, c.runCoding), c.message) << c.what << " decodes back";
  }
}

struct DecodeCase {
  const char* what;
  Bytes datagram;
  bool rleOk;
  std::optional<Bytes> message;  // nothing: rejected
};

TEST(FrameCodecTest, DecodesTheWorkedExamples) {
  const std::nullopt_t rejected = std::nullopt;
  const DecodeCase cases[] = {
      {"empty frame", {0xFF, 0xFE}, false, Bytes{}},
      {"one byte", {0xFF}, false, rejected},
      {"nothing", {}, false, rejected},
      {"no start", {0x41, 0xFE}, false, rejected},
      {"no end", {0xFF, 0x41}, false, rejected},
      {"FE and FF inside", {0xFF, 0x41, 0xFE, 0x42, 0xFF, 0xFE}, false, Bytes{0x41, 0xFE, 0x42, 0xFF}},
      {"FC plain", {0xFF, 0xFC, 0x05, 0x41, 0xFE}, false, Bytes{0xFC, 0x05, 0x41}},
      {"FC coded", {0xFF, 0xFC, 0x05, 0x41, 0xFE}, true, repeated(5, 0x41)},
      {"count 0 passed over", {0xFF, 0xFC, 0x00, 0x05, 0x41, 0x42, 0xFE}, true,
       Bytes{0x41, 0x41, 0x41, 0x41, 0x41, 0x42}},
      {"any escaped byte", {0xFF, 0xFD, 0x41, 0xFE}, false, Bytes{0xEE}},  // 2F - 41 = EE
      {"double escape", {0xFF, 0xFD, 0xFD, 0x30, 0xFE}, false, Bytes{0xFF}},
      {"escape across RUN", {0xFF, 0xFD, 0xFC, 0x05, 0x41, 0xFE}, true, repeated(42, 0x41)},
      {"escape escaped FC plain", {0xFF, 0xFD, 0xFC, 0xFE}, false, Bytes{0x33}},
      {"pending escape", {0xFF, 0x41, 0xFD, 0xFE}, false, Bytes{0x41}},
      {"pending RUN", {0xFF, 0x41, 0xFC, 0xFE}, true, Bytes{0x41}},
      {"pending count", {0xFF, 0x41, 0xFC, 0x07, 0xFE}, true, Bytes{0x41}},
  };
  for (const DecodeCase& c : cases) EXPECT_EQ(unframe(c.datagram, c.rleOk), c.message) << c.what;
}

TEST(FrameCodecTest, AcceptsExactlyTheDecodedLimit) {
  Bytes group = {0xFC, 0xFD, 0x30, 0x41};  // 255 times 41
  Bytes datagram = {0xFF};
  for (int i = 0; i < 6; ++i) datagram.insert(datagram.end(), group.begin(), group.end());
  Bytes last = join({datagram, {0xFC, 0x06, 0x41, 0xFE}});
  EXPECT_EQ(unframe(last, true), repeated(DECODED_LIMIT, 0x41));
  Bytes over = join({datagram, {0xFC, 0x07, 0x41, 0xFE}});
  EXPECT_EQ(unframe(over, true), std::nullopt) << "one byte over is rejected whole";

  // Plain bytes are decoded a stretch at a time: the limit holds inside a stretch too.
  const struct {
    const char* what;
    Bytes datagram;
    std::optional<Bytes> message;
  } stretches[] = {
      {"a stretch to the limit", join({{0xFF}, repeated(DECODED_LIMIT, 0x41), {0xFE}}),
       repeated(DECODED_LIMIT, 0x41)},
      {"a stretch one over", join({{0xFF}, repeated(DECODED_LIMIT + 1, 0x41), {0xFE}}),
       std::nullopt},
      {"a run, then a stretch to the limit",
       join({{0xFF, 0xFC, 0x10, 0x42}, repeated(DECODED_LIMIT - 16, 0x41), {0xFE}}),
       join({repeated(16, 0x42), repeated(DECODED_LIMIT - 16, 0x41)})},
      {"a run, then a stretch one over",
       join({{0xFF, 0xFC, 0x10, 0x42}, repeated(DECODED_LIMIT - 15, 0x41), {0xFE}}), std::nullopt},
  };
  for (const auto& c : stretches) EXPECT_EQ(unframe(c.datagram, true), c.message) << c.what;
}

// Random messages, rich in reserved values and runs, in both codings; and every cut of their
// frames, which must be rejected or decoded without reading past the cut.
TEST(FrameCodecTest, EveryFrameDecodesBackAndEveryCutStaysInBounds) {
  std::mt19937 random(7);
  for (int round = 0; round < 400; ++round) {
    Bytes message(random() % 700);
    for (uint8_t& byte : message) {
      const uint32_t pick = random() % 8;
      byte = pick < 4 ? static_cast<uint8_t>(0xFC + pick) : static_cast<uint8_t>(random() % 3);
    }
    for (bool runCoding : {false, true}) {
      const Bytes framed = frame(message, runCoding);
      ASSERT_LE(framed.size(), static_cast<size_t>(frameCapacity(static_cast<int32_t>(message.size()))));
      ASSERT_EQ(unframe(framed, runCoding), message) << "round " << round;
      for (size_t cut = 0; cut < framed.size(); cut += 1 + cut / 8) {
        // Each cut is copied to its own allocation, so a read past it is caught by the sanitizer.
        auto piece = std::make_unique<uint8_t[]>(cut + 1);
        std::copy(framed.begin(), framed.begin() + static_cast<ptrdiff_t>(cut), piece.get());
        Bytes out(DECODED_LIMIT);
        EXPECT_LE(decodeFrame(piece.get(), static_cast<int32_t>(cut), runCoding, out.data()),
                  DECODED_LIMIT);
      }
    }
  }
}

}  // namespace
}  // namespace vyr::testing
