#pragma once
// Drains the socket and ties every reply to its record: the IP server's replies by serial and ID,
// unit frames by their source address. Each accepted reply is stored, the unit's row rewritten and
// its next request queued at once.

#include <cstdint>

namespace vyr {

struct ProtocolContext;

// How long a unit is left alone once the IP server says it does not know it (yet).
constexpr uint32_t LOCATE_BACKOFF = 60000;

// Reads datagrams until none is waiting. A call made while a drain is under way returns at once.
void receiveAll(ProtocolContext& context);

// The steps of the drain, callable one by one for tests.
void handleLocateReply(ProtocolContext& context, const uint8_t* datagram, int32_t length);
void handleIdentifyReply(ProtocolContext& context, int32_t index, const uint8_t* message,
                         int32_t length);
void handleVersionReply(ProtocolContext& context, int32_t index, const uint8_t* message,
                        int32_t length);
void handleModemReply(ProtocolContext& context, int32_t index, const uint8_t* message,
                      int32_t length);

}  // namespace vyr
