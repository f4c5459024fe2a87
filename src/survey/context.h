#pragma once
// Everything a survey touches, gathered in one place: the front-end builds a Context over its
// platform services and hands it to every operation. Tests build a fresh one per case.

#include <cstdint>
#include <new>

#include "platform/clock.h"
#include "platform/dialog.h"
#include "platform/files.h"
#include "platform/list_view.h"
#include "platform/udp_socket.h"
#include "protocol/send_queue.h"
#include "survey/survey_state.h"

namespace vyr {

// Returns a zeroed table of `count` records, or null when the memory cannot be had.
inline DeviceRecord* allocateDeviceTable(int32_t count) {
  return new (std::nothrow) DeviceRecord[static_cast<size_t>(count)]();
}

struct Context {
  Context(FileSystem& fileSystem, Dialog& mainDialog, ListView& listView, Clock& tickSource,
          UdpSocket& udpSocket)
      : files(fileSystem),
        dialog(mainDialog),
        list(listView),
        clock(tickSource),
        socket(udpSocket) {}
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  ~Context() = default;

  FileSystem& files;
  Dialog& dialog;
  ListView& list;
  Clock& clock;
  UdpSocket& socket;

  SurveyState survey;
  SendQueue sendQueue;
  uint8_t receiveDepth = 0;  // re-entrancy guard of the socket drain

  // How a survey start obtains its table; tests replace it to refuse the memory.
  DeviceRecord* (*allocateTable)(int32_t count) = allocateDeviceTable;
};

}  // namespace vyr
