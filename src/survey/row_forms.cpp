#include "survey/row_forms.h"

namespace vyr {
namespace {

const char* prefix(const DeviceRecord& record) { return (record.flags & BY_SERIAL) ? " " : ""; }

// Where the ID stands in the text: a row keeps the ID of a serial-listed unit as the list gave it,
// since a resume reads it back from the row and compares it with the record; every other text of
// a unit is shown with its control bytes as '?'.
enum class IdForm { ROW, REPORT };

void appendId(TextLine& line, const DeviceRecord& record, IdForm form) {
  if (form == IdForm::ROW && (record.flags & BY_SERIAL)) {
    line.append(fieldText(record.id));
  } else {
    line.appendShown(fieldText(record.id));
  }
}

// "\t%.2lf\t%s\t%.2lf" then ".%d" when the suffix is not zero.
void appendVersions(TextLine& row, const DeviceRecord& record) {
  row.append("\t");
  row.appendHundredths(record.biosVersion);
  row.append("\t");
  row.appendShown(fieldText(record.application));
  row.append("\t");
  row.appendHundredths(record.appVersion);
  if (record.versionSuffix != 0) {
    row.append(".");
    row.appendUnsigned(record.versionSuffix);
  }
}

void appendModem(TextLine& row, const DeviceRecord& record) {
  row.append("\t");
  row.appendShown(fieldText(record.modemId));
  row.append("\t");
  row.appendShown(fieldText(record.esn));
}

// "%d.%d.%d.%d\t%lu\t%s" with the record's address, serial and ID.
void appendAddressSerialId(TextLine& row, const DeviceRecord& record, IdForm form) {
  row.appendDotted(record.address.ip);
  row.append("\t");
  row.appendUnsigned(record.serial);
  row.append("\t");
  appendId(row, record, form);
}

}  // namespace

TextLine listedAddressRow(const int32_t numbers[4]) {
  TextLine row;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) row.append(".");
    row.appendSigned(numbers[i]);
  }
  return row;
}

TextLine listedSerialRow(uint32_t serial, std::string_view id) {
  TextLine row;
  row.append(" 0.0.0.0\t");
  row.appendUnsigned(serial);
  row.append("\t");
  row.append(id);
  return row;
}

TextLine listedSerialRow(const DeviceRecord& record) {
  return listedSerialRow(record.serial, fieldText(record.id));
}

TextLine locatedRow(const DeviceRecord& record) {
  TextLine row;
  row.append(" ");
  appendAddressSerialId(row, record, IdForm::ROW);
  return row;
}

TextLine identifiedRow(const DeviceRecord& record) {
  TextLine row;
  row.appendDotted(record.address.ip);
  row.append("\t\t");
  appendId(row, record, IdForm::ROW);
  return row;
}

void appendVersionColumns(TextLine& line, const DeviceRecord& record) {
  appendAddressSerialId(line, record, IdForm::REPORT);
  appendVersions(line, record);
}

TextLine versionRow(const DeviceRecord& record) {
  TextLine row;
  row.append(prefix(record));
  appendAddressSerialId(row, record, IdForm::ROW);
  appendVersions(row, record);
  return row;
}

TextLine completeRow(const DeviceRecord& record) {
  TextLine row = versionRow(record);
  appendModem(row, record);
  return row;
}

TextLine resumedRow(const DeviceRecord& record) {
  TextLine row;
  row.append(prefix(record));
  if (record.id[0] == '\0') {
    row.appendDotted(record.address.ip);
    return row;
  }
  // Only a serial-listed or complete unit is sure to have its serial; otherwise the column stays
  // empty as it was while the survey ran.
  if (record.flags & (BY_SERIAL | COMPLETE)) {
    appendAddressSerialId(row, record, IdForm::ROW);
  } else {
    row.appendDotted(record.address.ip);
    row.append("\t\t");
    appendId(row, record, IdForm::ROW);
  }
  if (record.biosVersion != 0) appendVersions(row, record);
  if (record.flags & COMPLETE) appendModem(row, record);
  return row;
}

}  // namespace vyr
