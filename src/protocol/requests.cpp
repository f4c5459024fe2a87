#include "protocol/requests.h"

#include <cstring>
#include <memory>
#include <new>

#include "protocol/frame_codec.h"
#include "protocol/messages.h"
#include "protocol/protocol_context.h"
#include "protocol/send_queue.h"

namespace vyr {
namespace {

// Frames of the tool's own requests (at most 18 bytes) are built on the stack.
constexpr int32_t STACK_MESSAGE_LIMIT = 32;

}  // namespace

void encodeFrame(ProtocolContext& context, const SocketAddress& destination, const uint8_t* message,
                 int32_t length, bool runCoding, int32_t linkIndex) {
  // Beyond this the frame's length would not fit the count; no message comes near it.
  if (length < 0 || length > (INT32_MAX - 2) / 2) return;
  uint8_t stackFrame[frameCapacity(STACK_MESSAGE_LIMIT)];
  std::unique_ptr<uint8_t[]> heapFrame;
  uint8_t* frame = stackFrame;
  if (length > STACK_MESSAGE_LIMIT) {
    heapFrame.reset(new (std::nothrow) uint8_t[static_cast<size_t>(frameCapacity(length))]);
    if (!heapFrame) return;
    frame = heapFrame.get();
  }
  const int32_t frameLength = writeFrame(message, length, runCoding, frame);
  enqueueDatagram(context, destination, frame, static_cast<uint32_t>(frameLength), linkIndex);
}

void queueIdentifyRequest(ProtocolContext& context, int32_t index) {
  static const uint8_t request[IDENTIFY_REQUEST_LENGTH] = {IDENTIFY, 0};
  const DeviceRecord& record = context.survey.deviceTable[index];
  encodeFrame(context, record.address, request, IDENTIFY_REQUEST_LENGTH, false, index);
}

void queueLocateQuery(ProtocolContext& context, int32_t index) {
  const SocketAddress& server = context.survey.serverAddress;
  if (addressIsZero(server)) return;
  const DeviceRecord& record = context.survey.deviceTable[index];
  uint8_t query[LOCATE_DATAGRAM_LENGTH] = {};
  std::memcpy(query + LOCATE_SERIAL_OFFSET, record.serial.bytes, 4);
  const std::string_view id = fieldText(record.id);
  std::memcpy(query + LOCATE_ID_OFFSET, id.data(), id.size());
  enqueueDatagram(context, server, query, LOCATE_DATAGRAM_LENGTH, index);
}

void queueVersionQuery(ProtocolContext& context, int32_t index) {
  const DeviceRecord& record = context.survey.deviceTable[index];
  uint8_t query[VERSION_QUERY_LENGTH] = {VERSION_QUERY};
  const std::string_view id = fieldText(record.id);
  std::memcpy(query + 1, id.data(), id.size());
  encodeFrame(context, record.address, query, VERSION_QUERY_LENGTH, (record.flags & RLE_OK) != 0,
              index);
}

void queueModemRequest(ProtocolContext& context, int32_t index) {
  static const uint8_t request[MODEM_REQUEST_LENGTH] = {MODEM_INFO, 0};
  const SurveyState& survey = context.survey;
  context.records.state[index].modemAsked = 1;
  encodeFrame(context, survey.deviceTable[index].address, request, MODEM_REQUEST_LENGTH, false,
              index);
}

}  // namespace vyr
