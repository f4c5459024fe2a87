#pragma once
// What the protocol keeps per record of the running survey, beside the table. The driver has them
// allocated before a start, so that a start without the memory is refused before anything else,
// and has them released once no survey runs.

#include <cstdint>
#include <memory>

#include "protocol/requests.h"
#include "survey/lifecycle.h"

namespace vyr {

struct ProtocolContext;

// What the protocol keeps of one record. Its fields sit side by side: a request queued for a unit
// reads and writes both its send fields, and at a million units an array each cost a cache miss
// more for every datagram.
struct RecordSendState {
  // The sequence number of the newest datagram queued for it in this survey, 0 for none; it still
  // waits while the queue's head is not past it.
  uint64_t newestQueued;
  // How many flushes of the send queue had begun when its lastSent was last written other than by
  // a flush (a new request queued, the IP server's back-off). A flush's stamp is written into the
  // records of the datagrams it leaves waiting only when the time is read, and must not overwrite
  // what was written after the flush.
  uint32_t lastSentFlush;
  // Non-zero once this survey has asked the unit for its modem information. A reply to a request
  // of an earlier survey must not complete a unit whose versions are still missing.
  uint8_t modemAsked;
  // The request of it waiting in a run of the send queue, not yet written as a datagram.
  Request deferred;
};
static_assert(sizeof(RecordSendState) == 16);

struct SurveyRecords {
  std::unique_ptr<RecordSendState[]> state;  // per record
  uint32_t survey = 0;  // the survey they belong to; 0 while they wait for a start
};

// Has zeroed records for the list's rows kept for the start about to be made. False, with
// survey.startRefusal NO_MEMORY, when the memory cannot be had: the start must then not be made.
// Without rows there is nothing to have; the start refuses by itself.
bool prepareSurveyRecords(ProtocolContext& context);

// After a start, an end or a refused start: the survey just started takes the records had for it,
// records had for a start that was refused go, and so do all of them once no survey runs.
void fitSurveyRecords(ProtocolContext& context);

// startSurvey with the protocol's records had before and fitted after, for a caller that makes a
// start outside the driver and then runs the protocol on it.
bool startProtocolSurvey(ProtocolContext& context, StartMode mode);

}  // namespace vyr
