#include "survey_command/unit_json.h"

#include <nlohmann/json.hpp>

#include "core/survey_driver.h"

namespace vyr {
namespace {

// Keys stay in the order written: "type" first, then the fields as the record lays them out.
using json = nlohmann::ordered_json;

std::string fieldJson(std::string_view bytes) { return latin1ToUtf8(bytes); }

std::string hundredths(int16_t value) {
  TextLine text;
  text.appendHundredths(value);
  return std::string(text.view());
}

// A text as the report prints it: a control byte shows as '?'.
std::string shownJson(std::string_view bytes) {
  TextLine shown;
  shown.appendShown(bytes);
  return fieldJson(shown.view());
}

// The report's columns of the record, each as the report prints it, made one by one.
json reportColumns(const DeviceRecord& record) {
  TextLine ip;
  ip.appendDotted(record.address.ip);
  TextLine serial;
  serial.appendUnsigned(record.serial);
  std::string version = hundredths(record.appVersion);
  if (record.versionSuffix != 0) version += "." + std::to_string(record.versionSuffix);
  return {
      {"IP", std::string(ip.view())},
      {"Serial", std::string(serial.view())},
      {"ID", shownJson(fieldText(record.id))},
      {"BIOS", hundredths(record.biosVersion)},
      {"Application", shownJson(fieldText(record.application))},
      {"Version", version},
      {"Modem ID", shownJson(fieldText(record.modemId))},
      {"ESN", shownJson(fieldText(record.esn))},
  };
}

// Text is escaped by the library; the replace handler never acts on the valid UTF-8 that
// latin1ToUtf8 makes, but keeps a dump from throwing whatever happens.
std::string line(const json& object) {
  return object.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

std::string unitJsonLine(const DeviceRecord& record, int32_t index) {
  TextLine dotted;
  dotted.appendDotted(record.address.ip);
  json unit = {
      {"type", "unit"},
      {"index", index},
      {"address", std::string(dotted.view())},
      {"id", fieldJson(fieldText(record.id))},
      {"application", fieldJson(fieldText(record.application))},
      {"modemId", fieldJson(fieldText(record.modemId))},
      {"esn", fieldJson(fieldText(record.esn))},
      {"serial", static_cast<uint32_t>(record.serial)},
      {"flags", record.flags},
      {"versionSuffix", record.versionSuffix},
      {"biosVersion", static_cast<int16_t>(record.biosVersion)},
      {"appVersion", static_cast<int16_t>(record.appVersion)},
      {"finished", isFinished(record)},
      {"report", reportColumns(record)},
  };
  return line(unit);
}

std::string summaryJsonLine(const SurveySummary& summary) {
  json object = {
      {"type", "summary"},
      {"list", fieldJson(summary.list)},
      {"report", fieldJson(summary.report)},
      {"progress", fieldJson(summary.progress)},
      {"outcome", summary.outcome},
      {"units", summary.units},
      {"complete", summary.complete},
      {"sent", summary.sent},
      {"received", summary.received},
      {"elapsedMs", summary.elapsedMs},
      {"saved", summary.saved},
      {"exitStatus", summary.exitStatus},
  };
  if (summary.signal != nullptr) object["signal"] = summary.signal;
  return line(object);
}

}  // namespace vyr
