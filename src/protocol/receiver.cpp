#include "protocol/receiver.h"

#include <cstring>
#include <string_view>

#include "protocol/frame_codec.h"
#include "protocol/messages.h"
#include "protocol/protocol_context.h"
#include "protocol/requests.h"
#include "protocol/send_queue.h"
#include "survey/lifecycle.h"
#include "survey/record_index.h"
#include "survey/row_forms.h"

namespace vyr {
namespace {

// The text at `offset` up to its NUL, at most `limit` characters, never past the message's end.
std::string_view messageText(const uint8_t* message, int32_t length, int32_t offset,
                             int32_t limit) {
  if (offset >= length) return {};
  const auto* text = reinterpret_cast<const char*>(message + offset);
  const int32_t room = length - offset < limit ? length - offset : limit;
  int32_t size = 0;
  while (size < room && text[size] != '\0') ++size;
  return {text, static_cast<size_t>(size)};
}

int16_t readI16(const uint8_t* bytes) {
  return static_cast<int16_t>(static_cast<uint16_t>(bytes[0] | bytes[1] << 8));
}

bool fromServer(const SurveyState& survey, const SocketAddress& source) {
  const SocketAddress& server = survey.serverAddress;
  return !addressIsZero(server) && std::memcmp(source.ip, server.ip, 4) == 0 &&
         std::memcmp(source.port, server.port, 2) == 0;
}

void handleUnitDatagram(ProtocolContext& context, const SocketAddress& source,
                        const uint8_t* datagram, int32_t length) {
  SurveyState& survey = context.survey;
  const int32_t index = findRecordByAddress(survey, source.ip);
  if (index < 0) return;
  const DeviceRecord& record = survey.deviceTable[index];

  uint8_t message[DECODED_LIMIT];
  const int32_t size = decodeFrame(datagram, length, (record.flags & RLE_OK) != 0, message);
  if (size == FRAME_REJECTED) return;
  survey.lastReceive = context.clock.tick();

  if (record.id[0] == '\0') {
    handleIdentifyReply(context, index, message, size);
  } else if ((record.flags & COMPLETE) || size == 0) {
    return;
  } else if (message[0] == MODEM_INFO) {
    // A unit still without its versions takes a modem reply only once this survey has asked for
    // one: an answer to an earlier survey's request would complete it with its versions missing.
    if (record.biosVersion == 0 && !context.records.state[index].modemAsked) return;
    handleModemReply(context, index, message, size);
  } else if (message[0] == VERSION_REPLY) {
    handleVersionReply(context, index, message, size);
  }
}

}  // namespace

void receiveAll(ProtocolContext& context) {
  if (context.receiveDepth++ != 0) {
    --context.receiveDepth;
    return;
  }
  uint8_t datagram[RECEIVE_BUFFER_SIZE];
  for (;;) {
    uint32_t length = 0;
    SocketAddress source{};
    const ReceiveResult result =
        context.socket.receiveFrom(datagram, RECEIVE_BUFFER_SIZE, length, source);
    // Read until nothing waits: a pending-byte count is 0 for a waiting empty datagram, and a
    // drain that trusted it would stop there for good.
    if (result == ReceiveResult::NOTHING || result == ReceiveResult::FAILED) break;
    if (result == ReceiveResult::OVERSIZED || length > RECEIVE_BUFFER_SIZE) continue;
    // The table is looked up afresh for every datagram: a modem reply may have ended the survey.
    if (fromServer(context.survey, source)) {
      handleLocateReply(context, datagram, static_cast<int32_t>(length));
    } else {
      handleUnitDatagram(context, source, datagram, static_cast<int32_t>(length));
    }
  }
  --context.receiveDepth;
}

void handleLocateReply(ProtocolContext& context, const uint8_t* datagram, int32_t length) {
  if (length != LOCATE_DATAGRAM_LENGTH) return;
  SurveyState& survey = context.survey;
  const uint32_t serial = readU32(datagram + LOCATE_SERIAL_OFFSET);
  const std::string_view id = messageText(datagram, length, LOCATE_ID_OFFSET, length);
  const int32_t index = findRecordBySerialAndId(survey, serial, id);
  if (index < 0) return;
  const PendingRequest pending = pendingRequest(context, index);
  DeviceRecord& record = survey.deviceTable[index];

  const uint8_t* ip = datagram + LOCATE_ADDRESS_OFFSET;
  if ((ip[0] | ip[1] | ip[2] | ip[3]) == 0) {
    // The server does not know the unit (yet): leave it alone for a while.
    setLastSent(context, index, context.clock.tick() + LOCATE_BACKOFF);
    return;
  }
  enqueueDatagram(context, survey.serverAddress, datagram, LOCATE_DATAGRAM_LENGTH, NO_LINK);
  // A reply that arrives once the unit is complete (a duplicate, or the answer to a repeated
  // query) is acknowledged and nothing more: it would show the complete unit as merely located
  // and ask it again for versions that it has given.
  if (record.flags & COMPLETE) return;
  const bool moved = std::memcmp(record.address.ip, ip, 4) != 0;
  setSocketAddress(record.address, ip, DEVICE_PORT);
  if (moved) recordAddressChanged(survey, index);
  showRow(context.list, index, [&record] { return locatedRow(record); });
  record.flags |= RLE_OK;
  keepPendingRequest(context, index, pending);
  queueVersionQuery(context, index);
}

void handleIdentifyReply(ProtocolContext& context, int32_t index, const uint8_t* message,
                         int32_t length) {
  if (length < IDENTIFY_REPLY_MINIMUM || message[0] != IDENTIFY) return;
  // A request of the unit waiting unsent is written from the fields this changes.
  const PendingRequest pending = pendingRequest(context, index);
  SurveyState& survey = context.survey;
  DeviceRecord& record = survey.deviceTable[index];
  // Most units tell the ID they are listed by, or the one they told before.
  char before[sizeof record.id];
  std::memcpy(before, record.id, sizeof before);
  setFieldText(record.id, messageText(message, length, IDENTIFY_ID_OFFSET, sizeof record.id - 1));
  if (std::memcmp(before, record.id, sizeof before) != 0) recordSerialOrIdChanged(survey, index);
  // A longer reply is how a unit says it takes run-coded frames.
  if (length > IDENTIFY_REPLY_MINIMUM) record.flags |= RLE_OK;
  showRow(context.list, index, [&record] { return identifiedRow(record); });
  keepPendingRequest(context, index, pending);
  queueVersionQuery(context, index);
}

void handleVersionReply(ProtocolContext& context, int32_t index, const uint8_t* message,
                        int32_t length) {
  const PendingRequest pending = pendingRequest(context, index);
  // Replies of another length are cut or padded with zero bytes to the expected one.
  uint8_t reply[VERSION_REPLY_LENGTH] = {};
  std::memcpy(reply, message,
              static_cast<size_t>(length < VERSION_REPLY_LENGTH ? length : VERSION_REPLY_LENGTH));
  SurveyState& survey = context.survey;
  DeviceRecord& record = survey.deviceTable[index];
  setFieldText(record.application,
               messageText(reply, VERSION_REPLY_LENGTH, VERSION_APPLICATION_OFFSET,
                           sizeof record.application - 1));
  const uint32_t serial = readU32(reply + VERSION_SERIAL_OFFSET);
  const bool reserialled = record.serial != serial;
  record.serial = serial;
  record.biosVersion = readI16(reply + VERSION_BIOS_OFFSET);
  record.appVersion = readI16(reply + VERSION_APP_OFFSET);
  record.versionSuffix = reply[VERSION_SUFFIX_OFFSET];
  if (reserialled) recordSerialOrIdChanged(survey, index);
  showRow(context.list, index, [&record] { return versionRow(record); });
  keepPendingRequest(context, index, pending);
  queueModemRequest(context, index);
}

void handleModemReply(ProtocolContext& context, int32_t index, const uint8_t* message,
                      int32_t length) {
  if (length != MODEM_REPLY_LENGTH) return;
  DeviceRecord& record = context.survey.deviceTable[index];
  setFieldText(record.modemId,
               messageText(message, length, MODEM_ID_OFFSET, sizeof record.modemId - 1));
  setFieldText(record.esn, messageText(message, length, MODEM_ESN_OFFSET, sizeof record.esn - 1));
  showRow(context.list, index, [&record] { return completeRow(record); });
  record.flags |= COMPLETE;
  if (!surveyComplete(context)) return;
  // The last save writes every lastSent as the flushes left it; the rest of the drain finds no
  // survey, and the records go with it.
  settleSendTimes(context);
  finishSurvey(context);
  fitSurveyRecords(context);
}

}  // namespace vyr
