// Catches frames the decoder reads past, decodes beyond its limit or gets wrong, and messages that
// do not survive encoding and decoding in either coding.
//
// Input: one control byte, then the bytes. Bit 0 of the control byte turns run coding on; the bytes
// are decoded as a received datagram and, separately, encoded as a message and decoded back.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fuzz/fuzz_check.h"
#include "protocol/frame_codec.h"

namespace {

// Frames with room for any message the decoder can give back; larger inputs are cut to this.
constexpr int32_t MESSAGE_LIMIT = vyr::DECODED_LIMIT;

bool reserved(uint8_t value, bool runCoding) {
  return value == vyr::FRAME_START || value == vyr::FRAME_END || value == vyr::ESCAPE ||
         (runCoding && value == vyr::RUN);
}

// A frame's body may hold a reserved value only where the coding puts it: an escape, a run's start
// or, in plain coding, 0xFC as an ordinary byte.
void checkFrameShape(const uint8_t* frame, int32_t length, bool runCoding) {
  FUZZ_CHECK(length >= 2 && frame[0] == vyr::FRAME_START && frame[length - 1] == vyr::FRAME_END);
  for (int32_t i = 1; i < length - 1; ++i) {
    FUZZ_CHECK(frame[i] != vyr::FRAME_START && frame[i] != vyr::FRAME_END);
    if (frame[i] == vyr::ESCAPE) {
      FUZZ_CHECK(i + 1 < length - 1);
      const auto value = static_cast<uint8_t>(0x2F - frame[i + 1]);
      FUZZ_CHECK(reserved(value, runCoding));
      ++i;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool runCoding = (data[0] & 1) != 0;
  const uint8_t* bytes = data + 1;
  const auto length = static_cast<int32_t>(std::min<size_t>(size - 1, 4096));

  // As a datagram: exactly `length` bytes are read (the copy lets AddressSanitizer see an overrun)
  // and the result is a length within the limit or a rejection.
  std::unique_ptr<uint8_t[]> datagram(new uint8_t[static_cast<size_t>(length) + 1]);
  std::memcpy(datagram.get(), bytes, static_cast<size_t>(length));
  uint8_t decoded[vyr::DECODED_LIMIT];
  const int32_t decodedLength = vyr::decodeFrame(datagram.get(), length, runCoding, decoded);
  FUZZ_CHECK(decodedLength == vyr::FRAME_REJECTED ||
             (decodedLength >= 0 && decodedLength <= vyr::DECODED_LIMIT));
  if (length < 2 || bytes[0] != vyr::FRAME_START || bytes[length - 1] != vyr::FRAME_END) {
    FUZZ_CHECK(decodedLength == vyr::FRAME_REJECTED);
  }
  // Whatever a datagram decodes to, framed again in the same coding, decodes to the same bytes.
  if (decodedLength >= 0) {
    std::unique_ptr<uint8_t[]> again(
        new uint8_t[static_cast<size_t>(vyr::frameCapacity(decodedLength))]);
    const int32_t againLength = vyr::writeFrame(decoded, decodedLength, runCoding, again.get());
    uint8_t twice[vyr::DECODED_LIMIT];
    FUZZ_CHECK(vyr::decodeFrame(again.get(), againLength, runCoding, twice) == decodedLength);
    FUZZ_CHECK(std::memcmp(twice, decoded, static_cast<size_t>(decodedLength)) == 0);
  }

  // As a message: the frame fits its capacity, has the frame's shape, and decodes to the message.
  const int32_t messageLength = length < MESSAGE_LIMIT ? length : MESSAGE_LIMIT;
  std::unique_ptr<uint8_t[]> frame(
      new uint8_t[static_cast<size_t>(vyr::frameCapacity(messageLength))]);
  const int32_t frameLength = vyr::writeFrame(bytes, messageLength, runCoding, frame.get());
  FUZZ_CHECK(frameLength >= 2 && frameLength <= vyr::frameCapacity(messageLength));
  checkFrameShape(frame.get(), frameLength, runCoding);
  uint8_t back[vyr::DECODED_LIMIT];
  const int32_t backLength = vyr::decodeFrame(frame.get(), frameLength, runCoding, back);
  FUZZ_CHECK(backLength == messageLength);
  FUZZ_CHECK(std::memcmp(back, bytes, static_cast<size_t>(messageLength)) == 0);

  // Run coding never makes a frame longer than plain coding would.
  if (runCoding) {
    std::unique_ptr<uint8_t[]> plain(
        new uint8_t[static_cast<size_t>(vyr::frameCapacity(messageLength))]);
    const int32_t plainLength = vyr::writeFrame(bytes, messageLength, false, plain.get());
    int32_t plainReserved = 0;  // 0xFC is plain in plain coding but escaped in run coding
    for (int32_t i = 0; i < messageLength; ++i) plainReserved += bytes[i] == vyr::RUN;
    FUZZ_CHECK(frameLength <= plainLength + plainReserved);
  }
  return 0;
}
