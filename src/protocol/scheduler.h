#pragma once
// The repeat mechanism of the protocol: every unit's next request is derived from its record
// (requestFor) at each pass and queued when the unit's last request is old enough. The 250 ms tick
// drives it.

#include <cstdint>

namespace vyr {

struct ProtocolContext;

constexpr int32_t RETRY_INTERVAL = 5000;      // a unit is asked again once its lastSent is this old
constexpr int32_t POLL_EVERYONE = INT32_MIN;  // an interval no age is below: asks every unit
constexpr uint32_t SILENCE_LIMIT = 5000;      // without an accepted unit frame this long, ask all
constexpr uint32_t TICK_PERIOD = 250;

// One pass over the table: queues the request of every record whose lastSent is at least
// `interval` ms old, read as a signed difference.
void pollDevices(ProtocolContext& context, int32_t interval);
// The same pass over records `from` up to, not including, `to`.
void pollDeviceRange(ProtocolContext& context, int32_t interval, int32_t from, int32_t to);

// The 250 ms heartbeat: flushes the queue, drains the socket, then makes a regular pass, or an
// everyone pass after SILENCE_LIMIT without an accepted unit frame.
void onTick(ProtocolContext& context);

}  // namespace vyr
