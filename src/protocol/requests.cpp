#include "protocol/requests.h"

#include <cstring>

#include "protocol/protocol_context.h"
#include "protocol/send_queue.h"

namespace vyr {
namespace {

uint32_t writeFramed(const uint8_t* message, int32_t length, bool runCoding, uint8_t* bytes) {
  return static_cast<uint32_t>(writeFrame(message, length, runCoding, bytes));
}

}  // namespace

Request requestFor(const ProtocolContext& context, int32_t index) {
  const DeviceRecord& record = context.survey.deviceTable[index];
  if (record.id[0] == '\0') return Request::IDENTITY;
  if (addressIsZero(record.address)) {
    return addressIsZero(context.survey.serverAddress) ? Request::NONE : Request::LOCATION;
  }
  if (record.biosVersion == 0) return Request::VERSIONS;
  if (!(record.flags & COMPLETE)) return Request::MODEM;
  return Request::NONE;
}

uint32_t writeRequest(const ProtocolContext& context, int32_t index, Request request,
                      SocketAddress& destination, uint8_t* bytes) {
  static_assert(frameCapacity(IDENTIFY_REQUEST_LENGTH) <= REQUEST_CAPACITY &&
                frameCapacity(MODEM_REQUEST_LENGTH) <= REQUEST_CAPACITY);
  static const uint8_t identify[IDENTIFY_REQUEST_LENGTH] = {IDENTIFY, 0};
  static const uint8_t modem[MODEM_REQUEST_LENGTH] = {MODEM_INFO, 0};
  const DeviceRecord& record = context.survey.deviceTable[index];
  destination = record.address;
  switch (request) {
    case Request::IDENTITY:
      return writeFramed(identify, IDENTIFY_REQUEST_LENGTH, false, bytes);
    case Request::LOCATION: {
      destination = context.survey.serverAddress;
      std::memset(bytes, 0, LOCATE_DATAGRAM_LENGTH);
      std::memcpy(bytes + LOCATE_SERIAL_OFFSET, record.serial.bytes, 4);
      const std::string_view id = fieldText(record.id);
      std::memcpy(bytes + LOCATE_ID_OFFSET, id.data(), id.size());
      return LOCATE_DATAGRAM_LENGTH;
    }
    case Request::VERSIONS: {
      uint8_t query[VERSION_QUERY_LENGTH] = {VERSION_QUERY};
      const std::string_view id = fieldText(record.id);
      std::memcpy(query + 1, id.data(), id.size());
      return writeFramed(query, VERSION_QUERY_LENGTH, (record.flags & RLE_OK) != 0, bytes);
    }
    case Request::MODEM:
      return writeFramed(modem, MODEM_REQUEST_LENGTH, false, bytes);
    case Request::NONE:
      break;
  }
  return 0;
}

void queueRequest(ProtocolContext& context, int32_t index, Request request) {
  if (request == Request::NONE) return;
  if (request == Request::MODEM) context.records.state[index].modemAsked = 1;
  if (requestsDeferrable(context)) {
    deferRequest(context, index, request);
    return;
  }
  SocketAddress destination{};
  uint8_t bytes[REQUEST_CAPACITY];
  const uint32_t length = writeRequest(context, index, request, destination, bytes);
  enqueueDatagram(context, destination, bytes, length, index);
}

void queueIdentifyRequest(ProtocolContext& context, int32_t index) {
  queueRequest(context, index, Request::IDENTITY);
}

void queueLocateQuery(ProtocolContext& context, int32_t index) {
  if (addressIsZero(context.survey.serverAddress)) return;
  queueRequest(context, index, Request::LOCATION);
}

void queueVersionQuery(ProtocolContext& context, int32_t index) {
  queueRequest(context, index, Request::VERSIONS);
}

void queueModemRequest(ProtocolContext& context, int32_t index) {
  queueRequest(context, index, Request::MODEM);
}

}  // namespace vyr
