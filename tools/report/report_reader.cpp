#include "report/report_reader.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

#include "core/survey_driver.h"

namespace vyr {
namespace {

// Every field at its widest: address, serial, ID, BIOS, application, version with suffix, modem
// ID and ESN, seven tabs and the line end.
static_assert(REPORT_LINE_LIMIT == 15 + 10 + (sizeof(DeviceRecord::id) - 1) + 7 +
                                       (sizeof(DeviceRecord::application) - 1) + 11 +
                                       (sizeof(DeviceRecord::modemId) - 1) +
                                       (sizeof(DeviceRecord::esn) - 1) + 7 + 2);
// A line's bytes without its line end.
constexpr size_t LINE_TEXT_LIMIT = REPORT_LINE_LIMIT - 2;
constexpr size_t READ_PIECE = size_t{256} * 1024;

std::string_view headerText() {
  std::string_view header = REPORT_HEADER;
  return header.substr(0, header.size() - 2);  // without "\r\n"
}

bool fail(ReportReader& reader, const std::string& why) {
  reader.error = "line " + std::to_string(reader.line) + ": " + why;
  return false;
}

bool allDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// A decimal number of at most `maxDigits` digits and at most `max`.
bool readNumber(std::string_view text, size_t maxDigits, int64_t max, int64_t& value) {
  if (!allDigits(text) || text.size() > maxDigits) return false;
  value = 0;
  for (char c : text) value = value * 10 + (c - '0');
  return value <= max;
}

bool readAddress(std::string_view text) {
  for (int part = 0; part < 4; ++part) {
    const size_t dot = part < 3 ? text.find('.') : text.size();
    int64_t value = 0;
    if (dot == std::string_view::npos || !readNumber(text.substr(0, dot), 3, 255, value)) {
      return false;
    }
    text.remove_prefix(part < 3 ? dot + 1 : dot);
  }
  return true;
}

// Two decimals of a signed 16-bit count of hundredths, as the report prints them ("-0.05").
bool readHundredths(std::string_view text, int32_t& hundredths) {
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) text.remove_prefix(1);
  const size_t dot = text.find('.');
  int64_t whole = 0;
  int64_t cents = 0;
  if (dot == std::string_view::npos || text.size() - dot != 3 ||
      !readNumber(text.substr(0, dot), 3, 327, whole) ||
      !readNumber(text.substr(dot + 1), 2, 99, cents)) {
    return false;
  }
  const int64_t value = (negative ? -1 : 1) * (whole * 100 + cents);
  if (value < INT16_MIN || value > INT16_MAX) return false;
  hundredths = static_cast<int32_t>(value);
  return true;
}

template <size_t N>
bool keep(std::string_view field, char (&into)[N]) {
  if (field.size() >= N) return false;
  std::memcpy(into, field.data(), field.size());
  into[field.size()] = '\0';
  return true;
}

bool readUnit(ReportReader& reader, std::string_view line, UnitRow& row) {
  std::string_view fields[9];
  size_t count = 0;
  for (;;) {
    const size_t tab = line.find('\t');
    if (count == 8) return fail(reader, "more than 8 tab-separated columns");
    fields[count++] = line.substr(0, tab);
    if (tab == std::string_view::npos) break;
    line.remove_prefix(tab + 1);
  }
  if (count < 6) {
    return fail(reader, std::to_string(count) + " columns where a unit's line has 6 to 8");
  }
  std::memset(&row, 0, sizeof row);
  row.line = reader.line;
  int64_t serial = 0;
  if (!readAddress(fields[0]) || !keep(fields[0], row.address)) {
    return fail(reader, "the IP column holds no IPv4 address");
  }
  if (!readNumber(fields[1], 10, UINT32_MAX, serial) || !keep(fields[1], row.serial)) {
    return fail(reader, "the Serial column holds no serial number");
  }
  if (!readHundredths(fields[3], row.biosHundredths) || !keep(fields[3], row.bios)) {
    return fail(reader, "the BIOS column holds no version");
  }
  std::string_view version = fields[5];
  const size_t suffix = version.find('.', version.find('.') + 1);
  int64_t suffixValue = 0;
  if (!readHundredths(version.substr(0, suffix), row.versionHundredths) ||
      (suffix != std::string_view::npos &&
       (!readNumber(version.substr(suffix + 1), 3, 255, suffixValue) || suffixValue == 0)) ||
      !keep(version, row.version)) {
    return fail(reader, "the Version column holds no version");
  }
  row.versionSuffix = static_cast<int32_t>(suffixValue);
  if (!keep(fields[2], row.id)) return fail(reader, "the ID is longer than 8 bytes");
  if (!keep(fields[4], row.application)) {
    return fail(reader, "the application is longer than 8 bytes");
  }
  if (count > 6 && !keep(fields[6], row.modemId)) {
    return fail(reader, "the modem ID is longer than 29 bytes");
  }
  if (count > 7 && !keep(fields[7], row.esn)) {
    return fail(reader, "the ESN is longer than 13 bytes");
  }
  return true;
}

bool wanted(const ReadRequest& request, int32_t index) {
  for (int32_t section : request.sections) {
    if (section == index) return true;
  }
  return false;
}

// Closes the section being read: its counts go to the list, its rows are kept when asked for,
// and a section that has dropped out of the last ones asked for goes again.
void endSection(ReportReader& reader) {
  if (!reader.inSection) return;
  SectionInfo& info = reader.report.sections.back();
  info.units = static_cast<int32_t>(reader.current.size());
  const int32_t index = info.index;
  if (reader.request.keepLast > 0 || wanted(reader.request, index)) {
    reader.report.kept[index] = std::move(reader.current);
  }
  const int32_t dropped = index - reader.request.keepLast;
  if (reader.request.keepLast > 0 && dropped >= 1 && !wanted(reader.request, dropped)) {
    reader.report.kept.erase(dropped);
  }
  reader.current.clear();
  reader.inSection = false;
}

bool readLine(ReportReader& reader, std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.size() > LINE_TEXT_LIMIT) {
    return fail(reader, "longer than " + std::to_string(REPORT_LINE_LIMIT) +
                            " bytes, the longest line a report holds");
  }
  if (line == headerText()) {
    endSection(reader);
    SectionInfo info;
    info.index = static_cast<int32_t>(reader.report.sections.size()) + 1;
    info.headerLine = reader.line;
    reader.report.sections.push_back(info);
    reader.inSection = true;
    return true;
  }
  if (!reader.inSection) return fail(reader, "not a report: no report header before this line");
  if (line.find('\0') != std::string_view::npos) return fail(reader, "holds a zero byte");
  UnitRow row{};
  if (!readUnit(reader, line, row)) return false;
  if (answered(row)) ++reader.report.sections.back().answered;
  reader.current.push_back(row);
  return true;
}

}  // namespace

bool answered(const UnitRow& row) {
  return row.biosHundredths != 0 || row.application[0] != '\0' || row.versionHundredths != 0 ||
         row.versionSuffix != 0;
}

std::string unitName(const UnitRow& row) {
  if (text(row.address) != "0.0.0.0") return std::string(text(row.address));
  return std::string(text(row.id)) + "/" + std::string(text(row.serial));
}

bool readPiece(ReportReader& reader, std::string_view bytes) {
  if (!reader.error.empty()) return false;
  while (!bytes.empty()) {
    // A section saved past the report's old end leaves zero bytes before its header.
    if (reader.pendingLength == 0) {
      size_t zeros = 0;
      while (zeros < bytes.size() && bytes[zeros] == '\0') ++zeros;
      bytes.remove_prefix(zeros);
      if (bytes.empty()) break;
    }
    const size_t end = bytes.find('\n');
    const size_t piece = end == std::string_view::npos ? bytes.size() : end;
    const size_t room = sizeof reader.pending - static_cast<size_t>(reader.pendingLength);
    if (piece > room) {
      return fail(reader, "longer than " + std::to_string(REPORT_LINE_LIMIT) +
                              " bytes, the longest line a report holds");
    }
    std::memcpy(reader.pending + reader.pendingLength, bytes.data(), piece);
    reader.pendingLength += static_cast<int32_t>(piece);
    if (end == std::string_view::npos) break;
    if (!readLine(reader, {reader.pending, static_cast<size_t>(reader.pendingLength)})) {
      return false;
    }
    reader.pendingLength = 0;
    ++reader.line;
    bytes.remove_prefix(end + 1);
  }
  return true;
}

bool finishReading(ReportReader& reader) {
  if (!reader.error.empty()) return false;
  if (reader.pendingLength > 0) return fail(reader, "cut short: the last line has no line end");
  endSection(reader);
  if (reader.report.sections.empty()) {
    reader.error = "not a report: it holds no report header";
    return false;
  }
  return true;
}

bool readReportText(std::string_view text, const ReadRequest& request, Report& report,
                    std::string& error) {
  auto reader = std::make_unique<ReportReader>();
  reader->request = request;
  const bool read = readPiece(*reader, text) && finishReading(*reader);
  error = reader->error;
  report = std::move(reader->report);
  return read;
}

bool readReportFile(const std::string& path, const ReadRequest& request, Report& report,
                    std::string& error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    error = std::strerror(errno);
    return false;
  }
  auto reader = std::make_unique<ReportReader>();
  reader->request = request;
  std::unique_ptr<char[]> buffer(new char[READ_PIECE]);
  bool read = true;
  for (;;) {
    const size_t count = std::fread(buffer.get(), 1, READ_PIECE, file);
    if (count > 0 && !readPiece(*reader, {buffer.get(), count})) {
      read = false;
      break;
    }
    if (count < READ_PIECE) break;
  }
  if (read && std::ferror(file)) {
    reader->error = std::strerror(errno);
    read = false;
  }
  std::fclose(file);
  read = read && finishReading(*reader);
  error = reader->error;
  report = std::move(reader->report);
  return read;
}

const std::vector<UnitRow>* sectionRows(const Report& report, int32_t index) {
  auto found = report.kept.find(index);
  return found == report.kept.end() ? nullptr : &found->second;
}

}  // namespace vyr
