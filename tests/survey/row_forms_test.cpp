// Catches row texts that differ from the operator's columns by a byte, lose the leading space of
// a serial-listed unit, print versions wrongly (also under a comma locale), read past a field, or
// let a unit's control bytes add rows, lines or columns.

#include <clocale>
#include <cstdio>
#include <functional>
#include <string>

#include "support/survey_fixture.h"
#include "survey/report_files.h"
#include "survey/row_forms.h"

namespace vyr::testing {
namespace {

// Address-listed, fully answered, run-coded.
DeviceRecord complete() {
  return makeRecord({10, 20, 0, 11}, 480, "A17", 105, "PUMP", 312, 2, "MX200", "E77",
                    RLE_OK | COMPLETE);
}
// Serial-listed and located, version reply with BIOS 0 and a negative version.
DeviceRecord located() {
  return makeRecord({10, 1, 2, 3}, 502, "TANK0001", 0, "", -5, 0, "", "", BY_SERIAL | RLE_OK);
}

struct FormCase {
  const char* name;
  std::function<TextLine()> form;
  const char* row;
};

TEST(RowForms, EachFormIsByteExact) {
  const int32_t listed[4] = {10, 0, 0, 300};
  const int32_t signedNumbers[4] = {-1, 2, 3, -2147483647 - 1};
  DeviceRecord serialComplete = complete();
  serialComplete.flags |= BY_SERIAL;
  const FormCase cases[] = {
      {"listed address, no range", [&] { return listedAddressRow(listed); }, "10.0.0.300"},
      {"listed address, signs", [&] { return listedAddressRow(signedNumbers); }, "-1.2.3.-2147483648"},
      {"listed serial", [] { return listedSerialRow(located()); }, " 0.0.0.0\t502\tTANK0001"},
      {"located", [] { return locatedRow(located()); }, " 10.1.2.3\t502\tTANK0001"},
      {"identified", [] { return identifiedRow(complete()); }, "10.20.0.11\t\tA17"},
      {"version with suffix", [] { return versionRow(complete()); },
       "10.20.0.11\t480\tA17\t1.05\tPUMP\t3.12.2"},
      {"version, serial-listed, BIOS 0, negative", [] { return versionRow(located()); },
       " 10.1.2.3\t502\tTANK0001\t0.00\t\t-0.05"},
      {"complete", [] { return completeRow(complete()); },
       "10.20.0.11\t480\tA17\t1.05\tPUMP\t3.12.2\tMX200\tE77"},
      {"complete, serial-listed", [&] { return completeRow(serialComplete); },
       " 10.20.0.11\t480\tA17\t1.05\tPUMP\t3.12.2\tMX200\tE77"},
  };
  for (const FormCase& c : cases) EXPECT_EQ(c.form().view(), c.row) << c.name;
}

TEST(RowForms, ResumedRowShowsWhatTheRecordHolds) {
  DeviceRecord noIdSerial = makeRecord({0, 0, 0, 0}, 9, "", 0, "", 0, 0, "", "", BY_SERIAL);
  DeviceRecord noIdAddress = makeRecord({10, 0, 0, 5}, 0, "", 0, "", 0, 0, "", "", 0);
  DeviceRecord versionNotComplete =
      makeRecord({10, 0, 0, 6}, 77, "B2", 100, "RTU", 250, 0, "", "", 0);
  DeviceRecord completeBiosZero = makeRecord({10, 0, 0, 7}, 5, "C3", 0, "APP", 7, 0, "M", "E", COMPLETE);
  DeviceRecord serialUnlocated = makeRecord({0, 0, 0, 0}, 502, "TANK0001", 0, "", 0, 0, "", "", BY_SERIAL);
  const FormCase cases[] = {
      {"no ID, serial-listed: address alone with its space", [&] { return resumedRow(noIdSerial); },
       " 0.0.0.0"},
      {"no ID, address-listed", [&] { return resumedRow(noIdAddress); }, "10.0.0.5"},
      {"address-listed with versions, not complete: empty Serial",
       [&] { return resumedRow(versionNotComplete); }, "10.0.0.6\t\tB2\t1.00\tRTU\t2.50"},
      {"complete with BIOS 0: modem columns follow the ID",
       [&] { return resumedRow(completeBiosZero); }, "10.0.0.7\t5\tC3\tM\tE"},
      {"serial-listed, not located", [&] { return resumedRow(serialUnlocated); },
       " 0.0.0.0\t502\tTANK0001"},
      {"complete", [] { return resumedRow(complete()); },
       "10.20.0.11\t480\tA17\t1.05\tPUMP\t3.12.2\tMX200\tE77"},
  };
  for (const FormCase& c : cases) EXPECT_EQ(c.form().view(), c.row) << c.name;
}

TEST(RowForms, HundredthsPrintAsTwoDecimalsForEverySixteenBitValue) {
  // The reference is the C library's "%.2f" of value * 0.01 in the C locale.
  for (int32_t value = -32768; value <= 32767; ++value) {
    char expected[32];
    std::snprintf(expected, sizeof expected, "%.2f", static_cast<double>(value) * 0.01);
    TextLine line;
    line.appendHundredths(static_cast<int16_t>(value));
    ASSERT_EQ(line.view(), expected) << value;
  }
}

TEST(RowForms, DecimalPointStaysADotUnderACommaLocale) {
  // The same locale by its POSIX name and by its Windows name.
  if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr &&
      std::setlocale(LC_ALL, "German_Germany.1252") == nullptr) {
    GTEST_SKIP() << "no German locale";
  }
  char probe[16];
  std::snprintf(probe, sizeof probe, "%.2f", 1.05);
  TextLine row = versionRow(complete());
  TextLine line = reportLine(complete());
  std::setlocale(LC_ALL, "C");
  ASSERT_STREQ(probe, "1,05") << "the locale is not in force";
  EXPECT_EQ(row.view(), "10.20.0.11\t480\tA17\t1.05\tPUMP\t3.12.2");
  EXPECT_EQ(line.view(), "10.20.0.11\t480\tA17\t1.05\tPUMP\t3.12.2\tMX200\tE77\r\n");
}

TEST(RowForms, FieldsWithoutTheirNulAreReadOnlyToTheirCapacity) {
  // A progress file is only size-checked, so a record may come with no NUL in any text field.
  DeviceRecord record{};
  std::memset(&record, 'A', sizeof record);
  const uint8_t ip[4] = {255, 255, 255, 255};
  setSocketAddress(record.address, ip, DEVICE_PORT);
  record.serial = 4294967295u;
  record.flags = BY_SERIAL | COMPLETE;
  record.versionSuffix = 255;
  record.biosVersion = -32768;
  record.appVersion = -32768;
  TextLine row = completeRow(record);
  const std::string expected = " 255.255.255.255\t4294967295\tAAAAAAAA\t-327.68\tAAAAAAAA\t-327.68.255\t" +
                               std::string(29, 'A') + "\t" + std::string(13, 'A');
  EXPECT_EQ(row.view(), expected);
  EXPECT_EQ(row.length, 109) << "the longest row";
  EXPECT_EQ(resumedRow(record).view(), expected);
  EXPECT_EQ(reportLine(record).length, 110) << "the longest report line";
}

TEST(RowForms, ControlBytesOfAUnitsTextsShowAsQuestionMarks) {
  // Rows and report lines of the same record; only a serial-listed unit's ID differs between them.
  struct Case {
    const char* why;
    DeviceRecord record;
    TextLine (*form)(const DeviceRecord&);
    const char* row;
    const char* line;
  };
  const Case cases[] = {
      {"a modem ID forging a report line",
       makeRecord({10, 0, 0, 1}, 7, "A1", 100, "APP", 200, 0, "M\r\n6.6.6.6\t666\tEVIL\t9.99\tFA", "E",
                  COMPLETE),
       completeRow, "10.0.0.1\t7\tA1\t1.00\tAPP\t2.00\tM??6.6.6.6?666?EVIL?9.99?FA\tE",
       "10.0.0.1\t7\tA1\t1.00\tAPP\t2.00\tM??6.6.6.6?666?EVIL?9.99?FA\tE\r\n"},
      {"tabs in the ID and the application",
       makeRecord({10, 0, 0, 2}, 8, "A\tB", 100, "\tPUMP\t", 200, 3, "M", "E", COMPLETE), completeRow,
       "10.0.0.2\t8\tA?B\t1.00\t?PUMP?\t2.00.3\tM\tE",
       "10.0.0.2\t8\tA?B\t1.00\t?PUMP?\t2.00.3\tM\tE\r\n"},
      {"ESC in the ESN, DEL in the application",
       makeRecord({10, 0, 0, 3}, 9, "C", 100, "X\x7fY", 200, 0, "", "\x1b[31mRED", COMPLETE),
       completeRow, "10.0.0.3\t9\tC\t1.00\tX?Y\t2.00\t\t?[31mRED",
       "10.0.0.3\t9\tC\t1.00\tX?Y\t2.00\t\t?[31mRED\r\n"},
      {"the edges: 0x01 and 0x1F go, space, '~' and high bytes stay",
       makeRecord({10, 0, 0, 4}, 1, "\x01 ~\x1f\x80\xff", 0, "", 0, 0, "", "", 0), identifiedRow,
       "10.0.0.4\t\t? ~?\x80\xff", "10.0.0.4\t1\t? ~?\x80\xff\t0.00\t\t0.00\r\n"},
      {"a serial-listed ID stays as listed in the row, not in the report",
       makeRecord({10, 0, 0, 5}, 502, "T\x1b" "1", 100, "A\nB", 200, 0, "M", "", BY_SERIAL | COMPLETE),
       completeRow, " 10.0.0.5\t502\tT\x1b" "1\t1.00\tA?B\t2.00\tM\t",
       "10.0.0.5\t502\tT?1\t1.00\tA?B\t2.00\tM\r\n"},
      {"an address-listed unit's ID after a resume",
       makeRecord({10, 0, 0, 7}, 4, "I\rD", 100, "A", 200, 0, "", "", 0), resumedRow,
       "10.0.0.7\t\tI?D\t1.00\tA\t2.00", "10.0.0.7\t4\tI?D\t1.00\tA\t2.00\r\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.form(c.record).view(), c.row) << c.why;
    EXPECT_EQ(reportLine(c.record).view(), c.line) << c.why;
    if (c.record.flags & COMPLETE) {
      EXPECT_EQ(resumedRow(c.record).view(), c.row) << c.why;
    }
  }
  // The record itself keeps every byte.
  EXPECT_EQ(fieldText(cases[0].record.modemId), "M\r\n6.6.6.6\t666\tEVIL\t9.99\tFA");
}

}  // namespace
}  // namespace vyr::testing
