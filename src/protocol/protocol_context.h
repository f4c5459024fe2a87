#pragma once
// What the protocol operations work on: the survey's context, plus the tick, the socket, the send
// queue, the records the protocol keeps beside the table and the drain's re-entrancy guard.

#include <cstdint>

#include "platform/clock.h"
#include "platform/udp_socket.h"
#include "protocol/send_queue.h"
#include "protocol/survey_records.h"
#include "survey/survey_context.h"

namespace vyr {

struct ProtocolContext : SurveyContext {
  ProtocolContext(FileSystem& fileSystem, Dialog& mainDialog, ListView& listView, Clock& tickSource,
                  UdpSocket& udpSocket)
      : SurveyContext(fileSystem, mainDialog, listView), clock(tickSource), socket(udpSocket) {
    beforeTableRelease = [this] { keepDeferredRequests(*this); };
  }

  Clock& clock;
  UdpSocket& socket;

  SendQueue sendQueue;
  SurveyRecords records;       // the running survey's
  SurveyRecords startRecords;  // had for the start about to be made
  uint8_t receiveDepth = 0;  // re-entrancy guard of the socket drain
};

}  // namespace vyr
