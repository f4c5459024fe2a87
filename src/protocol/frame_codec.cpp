#include "protocol/frame_codec.h"

#include <cstdint>
#include <cstring>

namespace vyr {
namespace {

uint8_t escaped(uint8_t value) { return static_cast<uint8_t>(0x2F - value); }

bool needsEscape(uint8_t value, bool runCoding) {
  return value == FRAME_START || value == FRAME_END || value == ESCAPE ||
         (runCoding && value == RUN);
}

uint8_t* putByte(uint8_t* out, uint8_t value, bool runCoding) {
  if (needsEscape(value, runCoding)) {
    *out++ = ESCAPE;
    *out++ = escaped(value);
  } else {
    *out++ = value;
  }
  return out;
}

// The first byte in [from, end) that is not a plain byte of the message: an escape, or a run's
// mark where runs are coded; `end` when there is none.
const uint8_t* nextCoded(const uint8_t* from, const uint8_t* end, bool runCoding) {
  const void* escape = std::memchr(from, ESCAPE, static_cast<size_t>(end - from));
  const uint8_t* stop = escape != nullptr ? static_cast<const uint8_t*>(escape) : end;
  if (runCoding) {
    const void* run = std::memchr(from, RUN, static_cast<size_t>(stop - from));
    if (run != nullptr) stop = static_cast<const uint8_t*>(run);
  }
  return stop;
}

}  // namespace

int32_t writeFrame(const uint8_t* message, int32_t length, bool runCoding, uint8_t* frame) {
  uint8_t* out = frame;
  *out++ = FRAME_START;
  for (int32_t i = 0; i < length; ++i) {
    if (runCoding) {
      const int32_t limit = length - i < 255 ? length - i : 255;
      int32_t run = 1;
      while (run < limit && message[i + run] == message[i]) ++run;
      if (run >= 3) {
        *out++ = RUN;
        out = putByte(out, static_cast<uint8_t>(run), true);  // counts 252..255 are reserved
        i += run - 1;  // the run's value is written below, once
      }
    }
    out = putByte(out, message[i], runCoding);
  }
  *out++ = FRAME_END;
  return static_cast<int32_t>(out - frame);
}

int32_t decodeFrame(const uint8_t* datagram, int32_t length, bool rleOk, uint8_t* decoded) {
  if (length < 2 || datagram[0] != FRAME_START || datagram[length - 1] != FRAME_END) {
    return FRAME_REJECTED;
  }
  bool escape = false;
  int32_t repeat = 1;  // 0: the next byte is a run count
  int32_t produced = 0;
  const int32_t last = length - 1;
  for (int32_t i = 1; i < last; ++i) {
    uint8_t b = datagram[i];
    if (!escape && repeat == 1 && b != ESCAPE && (b != RUN || !rleOk)) {
      // A stretch of plain bytes, as most of a reply is: copied in one go.
      const auto end = static_cast<int32_t>(
          nextCoded(datagram + i + 1, datagram + last, rleOk) - datagram);
      const int32_t count = end - i;
      if (produced + count > DECODED_LIMIT) return FRAME_REJECTED;
      std::memcpy(decoded + produced, datagram + i, static_cast<size_t>(count));
      produced += count;
      i = end - 1;
      continue;
    }
    if (b == RUN && rleOk) {
      repeat = 0;
      continue;
    }
    if (b == ESCAPE) {
      escape = true;
      continue;
    }
    if (escape) {
      b = escaped(b);
      escape = false;
    }
    if (repeat == 0) {
      repeat = b;  // a count of 0 leaves the decoder still waiting for a count
      continue;
    }
    if (produced + repeat > DECODED_LIMIT) return FRAME_REJECTED;
    if (repeat == 1) {
      decoded[produced++] = b;
    } else {
      std::memset(decoded + produced, b, static_cast<size_t>(repeat));
      produced += repeat;
      repeat = 1;
    }
  }
  return produced;
}

}  // namespace vyr
