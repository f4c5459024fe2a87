#pragma once
// The requests the tool sends a unit, each queued with the unit's record as its link.

#include <cstdint>

#include "platform/socket_address.h"

namespace vyr {

struct ProtocolContext;

// Frames the message and queues it to `destination`, linked to record `linkIndex` (or NO_LINK).
// Nothing is queued, and no record is stamped, when the frame's memory cannot be had.
void encodeFrame(ProtocolContext& context, const SocketAddress& destination, const uint8_t* message,
                 int32_t length, bool runCoding, int32_t linkIndex);

void queueIdentifyRequest(ProtocolContext& context, int32_t index);
// The 18-byte query to the IP server, unframed; nothing while no server is named.
void queueLocateQuery(ProtocolContext& context, int32_t index);
// Run-coded exactly when the unit takes run coding.
void queueVersionQuery(ProtocolContext& context, int32_t index);
void queueModemRequest(ProtocolContext& context, int32_t index);

}  // namespace vyr
