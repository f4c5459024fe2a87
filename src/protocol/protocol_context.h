#pragma once
// What the protocol operations work on: the survey's context, plus the tick, the socket, the send
// queue and the drain's re-entrancy guard.

#include <cstdint>

#include "platform/clock.h"
#include "platform/udp_socket.h"
#include "protocol/send_queue.h"
#include "survey/survey_context.h"

namespace vyr {

struct ProtocolContext : SurveyContext {
  ProtocolContext(FileSystem& fileSystem, Dialog& mainDialog, ListView& listView, Clock& tickSource,
                  UdpSocket& udpSocket)
      : SurveyContext(fileSystem, mainDialog, listView), clock(tickSource), socket(udpSocket) {}

  void settleTable() override { settleSendTimes(*this); }

  Clock& clock;
  UdpSocket& socket;

  SendQueue sendQueue;
  uint8_t receiveDepth = 0;  // re-entrancy guard of the socket drain
  uint32_t startAsked = 0;   // the last survey whose start has asked every unit
  // A dialog's start asks a large fleet a part per pass of its event loop; meanwhile no flush sends
  // anything, so that no answer's follow-up is queued among the start's own requests.
  uint32_t startAsking = 0;  // the survey whose start is asking its units, or 0
  int32_t startAskNext = 0;  // the first unit it has still to ask
  bool flushOwed = false;    // a flush came while the start was asking

  // Whether a start is part way through asking the units of the running survey.
  bool startAskingNow() const {
    return startAsking != 0 && startAsking == survey.surveyNumber && survey.deviceTable;
  }
};

}  // namespace vyr
