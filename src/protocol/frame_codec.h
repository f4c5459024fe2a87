#pragma once
// One frame per unit datagram: FRAME_START, the message with reserved values escaped (and, where
// the unit takes it, runs of three or more equal bytes coded as run groups), FRAME_END. The frame
// has no length field and no checksum; the datagram's length delimits it.

#include <cstdint>

namespace vyr {

constexpr uint8_t FRAME_START = 0xFF;
constexpr uint8_t FRAME_END = 0xFE;
constexpr uint8_t ESCAPE = 0xFD;  // the next byte b stands for (0x2F - b) mod 256
constexpr uint8_t RUN = 0xFC;     // RUN, count, value; only where run coding is on

constexpr int32_t RECEIVE_BUFFER_SIZE = 1024;  // one datagram is read whole into this
constexpr int32_t DECODED_LIMIT = 1536;        // the most one frame may decode to
constexpr int32_t FRAME_REJECTED = -1;

// The largest frame an n-byte message can give: every byte escaped, plus start and end.
constexpr int32_t frameCapacity(int32_t length) { return 2 * length + 2; }

// Writes the frame of the `length` message bytes into `frame`, which has room for
// frameCapacity(length) bytes, and returns the frame's length.
int32_t writeFrame(const uint8_t* message, int32_t length, bool runCoding, uint8_t* frame);

// Checks the datagram's frame shape and decodes its body into `decoded` (DECODED_LIMIT bytes).
// Returns the decoded length, 0 to DECODED_LIMIT, or FRAME_REJECTED when the datagram is not a
// frame or would decode to more than DECODED_LIMIT bytes. Reads exactly `length` bytes.
int32_t decodeFrame(const uint8_t* datagram, int32_t length, bool rleOk, uint8_t* decoded);

}  // namespace vyr
