#pragma once

#include <cstdint>
#include <memory>

#include "survey/device_record.h"
#include "survey/record_index.h"

namespace vyr {

// The state of one survey, shared by the lifecycle, the report and progress files and the
// protocol. A survey is running exactly while `deviceTable` holds a table.
struct SurveyState {
  std::unique_ptr<DeviceRecord[]> deviceTable;  // record i belongs to list row i
  // Per record: non-zero once this survey has asked the unit for its modem information. A reply
  // to a request of an earlier survey must not complete a unit whose versions are still missing.
  std::unique_ptr<uint8_t[]> modemAsked;
  // Per record: how many flushes of the send queue had begun when its lastSent was last written
  // other than by a flush (a new request queued, the IP server's back-off). A flush's stamp is
  // written into the records of the datagrams it leaves waiting only when the time is read, and
  // must not overwrite what was written after the flush.
  std::unique_ptr<uint32_t[]> lastSentFlush;
  // Per record: the sequence number of the newest datagram queued for it in this survey, 0 for
  // none; it still waits while the queue's head is not past it.
  std::unique_ptr<uint64_t[]> newestQueued;
  int32_t deviceCount = 0;        // zero whenever the table is absent
  int32_t reportOffset = -1;      // start of this survey's report section; -1: append a new one
  uint32_t lastReceive = 0;       // tick of the last accepted unit frame
  SocketAddress serverAddress{};  // all zero while no IP server is named

  // Counts the surveys started. Queued datagrams name the survey whose record they stamp, so a
  // datagram that outlives its survey never stamps a record of the next one.
  uint32_t surveyNumber = 0;

  // Whether the last save wrote the report section and the progress file in full.
  bool lastSaveSaved = false;

  // Records before this index are known to be finished. Finished records stay finished for the
  // rest of a survey, so the completeness check resumes here instead of walking the whole table
  // after every modem reply.
  int32_t finishedPrefix = 0;

  // Lookups of the first record with an address, and with a serial and ID; kept with the table.
  RecordIndex byAddress;
  RecordIndex bySerialAndId;
};

}  // namespace vyr
