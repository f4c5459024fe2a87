#pragma once
// The requests the tool sends a unit, each queued with the unit's record as its link.

#include <cstdint>

#include "platform/socket_address.h"
#include "protocol/frame_codec.h"
#include "protocol/messages.h"

namespace vyr {

struct ProtocolContext;

// The request a record is asked for, from its fields alone; NONE when it needs none (it is
// complete, or it is to be located and no server is named).
enum class Request : uint8_t { NONE, IDENTITY, LOCATION, VERSIONS, MODEM };

// The most bytes a request takes: the IP server's query, or the version query's frame.
constexpr int32_t REQUEST_CAPACITY = frameCapacity(VERSION_QUERY_LENGTH) > LOCATE_DATAGRAM_LENGTH
                                         ? frameCapacity(VERSION_QUERY_LENGTH)
                                         : LOCATE_DATAGRAM_LENGTH;

Request requestFor(const ProtocolContext& context, int32_t index);

// Writes request `request` of record `index` as it goes out, from the record's fields as they are
// now: its destination, and its bytes into `bytes` (REQUEST_CAPACITY of them). Returns their count.
uint32_t writeRequest(const ProtocolContext& context, int32_t index, Request request,
                      SocketAddress& destination, uint8_t* bytes);

// Queues the request, linked to the record. A modem request marks the unit as asked for it.
void queueRequest(ProtocolContext& context, int32_t index, Request request);

void queueIdentifyRequest(ProtocolContext& context, int32_t index);
// The 18-byte query to the IP server, unframed; nothing while no server is named.
void queueLocateQuery(ProtocolContext& context, int32_t index);
// Run-coded exactly when the unit takes run coding.
void queueVersionQuery(ProtocolContext& context, int32_t index);
void queueModemRequest(ProtocolContext& context, int32_t index);

}  // namespace vyr
