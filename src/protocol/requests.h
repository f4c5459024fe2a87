#pragma once
// The requests the tool sends a unit, each queued with the unit's lastSent as its link.

namespace vyr {

struct Context;
struct DeviceRecord;

void queueIdentifyRequest(Context& context, DeviceRecord& record);
// The 18-byte query to the IP server, unframed; nothing while no server is named.
void queueLocateQuery(Context& context, DeviceRecord& record);
// Run-coded exactly when the unit takes run coding.
void queueVersionQuery(Context& context, DeviceRecord& record);
void queueModemRequest(Context& context, DeviceRecord& record);

}  // namespace vyr
