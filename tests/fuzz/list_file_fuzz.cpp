// Catches list lines read differently from the C library's scan formats, rows that do not scan
// back to the unit they were made from, and a saved survey of such a list that Resume refuses.
//
// Input: the bytes of a list file. The rows the loader gives are compared with rows computed here
// with sscanf over the same 79-byte pieces; then a survey is started, closed and resumed.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/memory/memory_dialog.h"
#include "platform/memory/memory_files.h"
#include "platform/memory/memory_list_view.h"
#include "survey/lifecycle.h"
#include "survey/list_files.h"
#include "survey/survey_context.h"

namespace {

bool whiteSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

struct Unit {
  bool bySerial = false;
  long numbers[4] = {};
  unsigned long serial = 0;
  std::string id;  // as listed, white space included
};

// "%d.%d.%d.%d" through the C library; a number outside 32 bits does not count as read.
bool referenceAddress(const char* p, Unit& unit) {
  errno = 0;
  // NOLINTNEXTLINE(cert-err34-c): the C library's own reading is the reference here
  if (std::sscanf(p, "%ld.%ld.%ld.%ld", &unit.numbers[0], &unit.numbers[1], &unit.numbers[2],
                  &unit.numbers[3]) != 4) {
    return false;
  }
  for (long number : unit.numbers) {
    if (number < INT32_MIN || number > INT32_MAX) return false;
  }
  return true;
}

// "%8[^/]/%lu" with an unsigned long of 32 bits: a minus sign negates the serial modulo 2^32, and
// a serial above 32 bits does not count as read.
bool referenceIdSerial(const char* p, Unit& unit) {
  char id[9] = {};
  int end = -1;
  if (std::sscanf(p, "%8[^/]/%n", id, &end) != 1 || end < 0) return false;
  const char* q = p + end;
  while (whiteSpace(*q)) ++q;
  const bool negative = *q == '-';
  if (*q == '-' || *q == '+') ++q;
  if (*q < '0' || *q > '9') return false;
  char* after = nullptr;
  errno = 0;
  unsigned long serial = std::strtoul(q, &after, 10);
  if (errno == ERANGE || serial > UINT32_MAX) return false;
  unit.bySerial = true;
  unit.serial = negative ? (0x100000000ul - serial) & UINT32_MAX : serial;
  unit.id = id;
  return true;
}

// The unit a line names, trying the two forms at its start and at every later word (" %*s %n").
bool referenceLine(const char* line, Unit& unit) {
  const char* p = line;
  for (;;) {
    if (referenceAddress(p, unit)) {
      return (unit.numbers[0] | unit.numbers[1] | unit.numbers[2] | unit.numbers[3]) != 0;
    }
    if (referenceIdSerial(p, unit)) return true;
    int next = -1;
    std::sscanf(p, " %*s %n", &next);
    if (next < 0 || p[next] == '\0') return false;
    p += next;
  }
}

// Lines as the loader reads them: pieces of at most 79 bytes, each ending after its first line
// feed; the text of a piece ends at its first NUL.
std::vector<Unit> referenceUnits(const uint8_t* data, size_t size) {
  std::vector<Unit> units;
  size_t position = 0;
  while (position < size) {
    char piece[vyr::LIST_LINE_BUFFER] = {};
    const size_t count = size - position < 79 ? size - position : 79;
    std::memcpy(piece, data + position, count);
    char* lineFeed = std::strchr(piece, '\n');
    if (lineFeed != nullptr) {
      lineFeed[1] = '\0';
      position += static_cast<size_t>(lineFeed + 1 - piece);
    } else {
      position += count;
    }
    Unit unit;
    if (referenceLine(piece, unit)) units.push_back(unit);
  }
  return units;
}

std::string listedRow(const Unit& unit) {
  char row[128];
  if (unit.bySerial) {
    std::snprintf(row, sizeof row, " 0.0.0.0\t%lu\t%s", unit.serial, unit.id.c_str());
  } else {
    std::snprintf(row, sizeof row, "%ld.%ld.%ld.%ld", unit.numbers[0], unit.numbers[1],
                  unit.numbers[2], unit.numbers[3]);
  }
  return row;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > size_t{64} * 1024) return 0;
  vyr::MemoryFileSystem files;
  vyr::MemoryDialog dialog;
  vyr::MemoryListView list;
  vyr::SurveyContext context(files, dialog, list);

  files.setContents("fuzz.IPs", std::string(reinterpret_cast<const char*>(data), size));
  vyr::fillListSelector(context);
  dialog.select(0);
  vyr::chooseListFile(context);

  const std::vector<Unit> units = referenceUnits(data, size);
  FUZZ_CHECK(list.rows().size() == units.size());
  for (size_t i = 0; i < units.size(); ++i) FUZZ_CHECK(list.rows()[i] == listedRow(units[i]));
  if (units.empty()) return 0;

  // The fresh build scans every row back into its record: an address row to the low bytes of its
  // numbers, a serial row to its serial and the first word of its ID ("%8s").
  vyr::startSurvey(context, vyr::StartMode::FRESH);
  FUZZ_CHECK(vyr::surveyRunning(context));
  const vyr::DeviceRecord* table = context.survey.deviceTable.get();
  for (size_t i = 0; i < units.size(); ++i) {
    const vyr::DeviceRecord& record = table[i];
    if (units[i].bySerial) {
      char word[9] = "";
      std::sscanf(units[i].id.c_str(), "%8s", word);
      FUZZ_CHECK((record.flags & vyr::BY_SERIAL) != 0 && record.serial == units[i].serial);
      FUZZ_CHECK(vyr::fieldText(record.id) == word);
    } else {
      FUZZ_CHECK((record.flags & vyr::BY_SERIAL) == 0);
      for (int b = 0; b < 4; ++b) {
        FUZZ_CHECK(record.address.ip[b] == static_cast<uint8_t>(units[i].numbers[b]));
      }
    }
  }

  // Saved and resumed, every row passes the check against its restored record, so the survey
  // continues in the section it saved instead of starting afresh.
  vyr::closeSurvey(context);
  vyr::startSurvey(context, vyr::StartMode::RESUME);
  FUZZ_CHECK(vyr::surveyRunning(context) && context.survey.reportOffset == 0);
  vyr::closeSurvey(context);
  return 0;
}
