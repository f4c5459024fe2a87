// Catches progress files that are read past a field, restored into the wrong bytes or accepted at
// the wrong size, and resumed surveys whose rows, requests or save misbehave on hostile records.
//
// Input: byte 0 gives the number of list rows (1 to 8), byte 1 which of them are listed by serial,
// byte 2 the length of an earlier report; the rest is the progress file.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/context.h"
#include "fuzz/fuzz_check.h"
#include "platform/memory/fake_clock.h"
#include "platform/memory/memory_dialog.h"
#include "platform/memory/memory_files.h"
#include "platform/memory/memory_list_view.h"
#include "platform/memory/memory_network.h"
#include "protocol/scheduler.h"
#include "protocol/survey_records.h"
#include "protocol/send_queue.h"
#include "survey/lifecycle.h"
#include "survey/list_files.h"
#include "survey/report_files.h"

namespace {

constexpr size_t HEADER_SIZE = 8;
constexpr size_t LONGEST_REPORT_LINE = 110;  // every field at its longest, line end included
constexpr size_t LONGEST_ROW = 200;

int32_t readI32(const std::string& bytes, size_t offset) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<uint8_t>(bytes[offset + i]);
  return static_cast<int32_t>(value);
}

std::string tableBytes(const vyr::SurveyState& survey) {
  return std::string(reinterpret_cast<const char*>(survey.deviceTable.get()),
                     sizeof(vyr::DeviceRecord) * static_cast<size_t>(survey.deviceCount));
}

// The table a resumed build makes of a restored one: flags the tool never sets are dropped, and
// serial-listed units not yet complete are located again.
std::string resumedTable(std::string table) {
  for (size_t at = 0; at < table.size(); at += sizeof(vyr::DeviceRecord)) {
    vyr::DeviceRecord record{};
    std::memcpy(&record, table.data() + at, sizeof record);
    record.flags &= vyr::BY_SERIAL | vyr::RLE_OK | vyr::COMPLETE;
    if ((record.flags & vyr::BY_SERIAL) && !(record.flags & vyr::COMPLETE)) {
      std::memset(record.address.ip, 0, 4);
    }
    std::memcpy(table.data() + at, &record, sizeof record);
  }
  return table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3 || size > size_t{64} * 1024) return 0;
  const int32_t rows = 1 + data[0] % 8;
  const uint8_t serialRows = data[1];
  const size_t earlierReport = data[2];
  const std::string progress(reinterpret_cast<const char*>(data + 3), size - 3);

  vyr::MemoryFileSystem files;
  files.spaceLeft = 4 << 20;  // a stored offset far out must not fill the fuzzer's memory
  vyr::MemoryDialog dialog;
  vyr::MemoryListView list;
  vyr::FakeClock clock;
  vyr::MemoryNetwork network(clock);
  network.keepSent = false;
  vyr::Context context(files, dialog, list, clock, network.toolSocket());

  std::string listText = "# rows\r\n";
  for (int32_t i = 0; i < rows; ++i) {
    if (serialRows & (1u << i)) {
      listText += "U" + std::to_string(i) + "/" + std::to_string(1000 + i) + "\r\n";
    } else {
      listText += "10.0." + std::to_string(i) + "." + std::to_string(i + 1) + "\r\n";
    }
  }
  files.setContents("fuzz.IPs", listText);
  if (earlierReport > 0) files.setContents("fuzz.model", std::string(earlierReport, 'r'));
  files.setContents("fuzz.soFar", progress);
  dialog.serverField = "127.0.0.1";
  vyr::fillListSelector(context);
  dialog.select(0);
  vyr::chooseListFile(context);
  FUZZ_CHECK(list.rowCount() == rows);

  vyr::startProtocolSurvey(context, vyr::StartMode::RESUME);
  const size_t expectedSize = HEADER_SIZE + sizeof(vyr::DeviceRecord) * static_cast<size_t>(rows);
  const bool rightSize = progress.size() == expectedSize;
  if (!vyr::surveyRunning(context)) {
    // Only a restored table whose units are all finished ends inside the start, with its beep.
    FUZZ_CHECK(rightSize && dialog.beeps == 1);
    return 0;
  }
  const vyr::SurveyState& survey = context.survey;
  FUZZ_CHECK(survey.deviceCount == rows);
  if (survey.reportOffset >= 0) {
    // Resumed: only a file of the exact size, restored byte for byte.
    FUZZ_CHECK(rightSize && survey.reportOffset == readI32(progress, 0) &&
               readI32(progress, 4) == rows);
    FUZZ_CHECK(tableBytes(survey) == resumedTable(progress.substr(HEADER_SIZE)));
  } else {
    for (int32_t i = 0; i < rows; ++i) {
      const vyr::DeviceRecord& record = survey.deviceTable[i];
      FUZZ_CHECK(((record.flags & vyr::BY_SERIAL) != 0) == ((serialRows & (1u << i)) != 0));
      FUZZ_CHECK(record.id[0] == '\0' || (record.flags & vyr::BY_SERIAL));
    }
  }
  for (const std::string& row : list.rows()) {
    FUZZ_CHECK(row.size() <= LONGEST_ROW && row.find('\0') == std::string::npos);
  }

  // Every unit is asked for what it lacks; then the survey is closed, which saves it.
  vyr::pollDevices(context, vyr::POLL_EVERYONE);
  vyr::flushQueue(context);
  const int32_t offset = survey.reportOffset;
  const std::string table = tableBytes(survey);
  vyr::closeSurvey(context);
  FUZZ_CHECK(!vyr::surveyRunning(context));

  // The progress file is the new one, or the old one when the report filled the disk.
  const std::string* report = files.contents("fuzz.model");
  const std::string* saved = files.contents("fuzz.soFar");
  const int32_t section = context.survey.reportOffset;
  FUZZ_CHECK(report != nullptr && saved != nullptr && section >= 0);
  std::string fresh(HEADER_SIZE, '\0');
  for (size_t i = 0; i < 4; ++i) {
    fresh[i] = static_cast<char>(static_cast<uint32_t>(section) >> (8 * i));
    fresh[4 + i] = static_cast<char>(static_cast<uint32_t>(rows) >> (8 * i));
  }
  fresh += table;
  const bool replaced = *saved == fresh;
  FUZZ_CHECK(replaced ||
             (*saved == progress && files.spaceLeft < static_cast<int64_t>(fresh.size())));
  if (offset < 0) FUZZ_CHECK(static_cast<size_t>(section) == earlierReport);
  if (static_cast<size_t>(section) + size_t{2} * 1024 * 1024 < (4u << 20)) {
    // The section was written whole: it starts with the header and ends the file, and the bytes
    // before it are the earlier report's, or zeros where the file had to grow.
    const std::string header = vyr::REPORT_HEADER;
    FUZZ_CHECK(report->size() > static_cast<size_t>(section));
    const std::string written = report->substr(static_cast<size_t>(section));
    FUZZ_CHECK(written.compare(0, header.size(), header) == 0);
    FUZZ_CHECK(written.size() <= header.size() + LONGEST_REPORT_LINE * static_cast<size_t>(rows));
    FUZZ_CHECK(written.size() >= 2 && written.compare(written.size() - 2, 2, "\r\n") == 0);
    for (size_t i = 0; i < static_cast<size_t>(section); ++i) {
      FUZZ_CHECK((*report)[i] == (i < earlierReport ? 'r' : '\0'));
    }
  }

  // The file just saved restores the same table, unless a row no longer matches its record (an ID
  // with white space in it is shown by its first word only).
  vyr::startProtocolSurvey(context, vyr::StartMode::RESUME);
  if (replaced && vyr::surveyRunning(context) && context.survey.reportOffset >= 0) {
    FUZZ_CHECK(context.survey.reportOffset == section);
    FUZZ_CHECK(tableBytes(context.survey) == resumedTable(table));
  }
  vyr::closeSurvey(context);
  return 0;
}
