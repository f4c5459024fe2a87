#include "protocol/requests.h"

#include <cstring>

#include "protocol/frame_codec.h"
#include "protocol/messages.h"
#include "protocol/send_queue.h"
#include "survey/context.h"

namespace vyr {

void queueIdentifyRequest(Context& context, DeviceRecord& record) {
  static const uint8_t request[IDENTIFY_REQUEST_LENGTH] = {IDENTIFY, 0};
  encodeFrame(context, record.address, request, IDENTIFY_REQUEST_LENGTH, false, &record.lastSent);
}

void queueLocateQuery(Context& context, DeviceRecord& record) {
  const SocketAddress& server = context.survey.serverAddress;
  if (addressIsZero(server)) return;
  uint8_t query[LOCATE_DATAGRAM_LENGTH] = {};
  std::memcpy(query + LOCATE_SERIAL_OFFSET, record.serial.bytes, 4);
  const std::string_view id = fieldText(record.id);
  std::memcpy(query + LOCATE_ID_OFFSET, id.data(), id.size());
  enqueueDatagram(context, server, query, LOCATE_DATAGRAM_LENGTH, &record.lastSent);
}

void queueVersionQuery(Context& context, DeviceRecord& record) {
  uint8_t query[VERSION_QUERY_LENGTH] = {VERSION_QUERY};
  const std::string_view id = fieldText(record.id);
  std::memcpy(query + 1, id.data(), id.size());
  encodeFrame(context, record.address, query, VERSION_QUERY_LENGTH, (record.flags & RLE_OK) != 0,
              &record.lastSent);
}

void queueModemRequest(Context& context, DeviceRecord& record) {
  static const uint8_t request[MODEM_REQUEST_LENGTH] = {MODEM_INFO, 0};
  SurveyState& survey = context.survey;
  survey.modemAsked[&record - survey.deviceTable.get()] = 1;
  encodeFrame(context, record.address, request, MODEM_REQUEST_LENGTH, false, &record.lastSent);
}

}  // namespace vyr
