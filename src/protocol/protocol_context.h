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
};

}  // namespace vyr
