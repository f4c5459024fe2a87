// Catches JSON lines that are not valid UTF-8 or not JSON at all for some byte in a unit's texts,
// fields under the wrong name or with the wrong value, report columns that differ from the
// report's own line, and a summary that loses a figure.

#include "survey_command/unit_json.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/survey_fixture.h"
#include "survey/report_files.h"

namespace vyr {
namespace {

using nlohmann::json;

// Decodes UTF-8 whose characters are all below U+0100 back to bytes; fails on anything else.
std::string latin1Of(const std::string& utf8) {
  std::string bytes;
  for (size_t i = 0; i < utf8.size(); ++i) {
    const auto lead = static_cast<uint8_t>(utf8[i]);
    if (lead < 0x80) {
      bytes += static_cast<char>(lead);
    } else {
      EXPECT_TRUE(lead == 0xC2 || lead == 0xC3) << "not a Latin-1 character";
      EXPECT_LT(i + 1, utf8.size());
      bytes += static_cast<char>((lead & 0x03) << 6 | (static_cast<uint8_t>(utf8[++i]) & 0x3F));
    }
  }
  return bytes;
}

TEST(UnitJsonTest, EveryByteBecomesItsLatin1Character) {
  std::string all;
  for (int byte = 1; byte < 256; ++byte) all += static_cast<char>(byte);
  const std::string text = latin1ToUtf8(all);
  EXPECT_EQ(text.size(), 127u + 2 * 128u);
  EXPECT_EQ(latin1Of(text), all);
  // The library's strict writer and reader take it as a JSON string and give the same text back.
  EXPECT_EQ(json::parse(json(text).dump()).get<std::string>(), text);
  EXPECT_EQ(latin1ToUtf8("\xE9t\xE9"), "\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(latin1ToUtf8(""), "");
}

TEST(UnitJsonTest, AUnitGivesItsFieldsAndItsReportColumns) {
  const struct {
    DeviceRecord record;
    int32_t index;
  } cases[] = {
      {testing::makeRecord({10, 20, 0, 11}, 480, "A17", 105, "PUMP", 312, 2, "MX200", "E77",
                           RLE_OK | COMPLETE),
       0},
      // Never answered: empty texts, the report's trailing columns absent.
      {testing::makeRecord({10, 20, 0, 12}, 0, "", 0, "", 0, 0, "", "", 0), 1},
      // Listed by serial, never located.
      {testing::makeRecord({0, 0, 0, 0}, 502, "TANK0001", 0, "", 0, 0, "", "", BY_SERIAL), 2},
      // 8-bit and control bytes, quotes and backslashes in the texts; negative versions.
      {testing::makeRecord({172, 16, 0, 255}, 4294967295u, "\xC4\"\\\x01", -5, "M\xE9T\rR", -32768,
                           255, "\xFF\x7F\x80 q\"", "\x1F/\\", BY_SERIAL | RLE_OK | COMPLETE),
       99999},
      // Modem ID without ESN, and ESN without modem ID.
      {testing::makeRecord({10, 20, 0, 14}, 482, "C3", -5, "RTU", 250, 0, "MX210", "", COMPLETE),
       4},
      {testing::makeRecord({10, 20, 0, 13}, 481, "B2", 100, "RTU", 250, 0, "", "E78", COMPLETE), 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.index);
    const std::string line = unitJsonLine(c.record, c.index);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    const json unit = json::parse(line);  // throws, failing the test, on invalid UTF-8
    EXPECT_EQ(unit["type"], "unit");
    EXPECT_EQ(unit["index"], c.index);
    const DeviceRecord& r = c.record;
    EXPECT_EQ(unit["address"], std::to_string(r.address.ip[0]) + "." +
                                   std::to_string(r.address.ip[1]) + "." +
                                   std::to_string(r.address.ip[2]) + "." +
                                   std::to_string(r.address.ip[3]));
    EXPECT_EQ(latin1Of(unit["id"]), fieldText(r.id));
    EXPECT_EQ(latin1Of(unit["application"]), fieldText(r.application));
    EXPECT_EQ(latin1Of(unit["modemId"]), fieldText(r.modemId));
    EXPECT_EQ(latin1Of(unit["esn"]), fieldText(r.esn));
    EXPECT_EQ(unit["serial"], static_cast<uint32_t>(r.serial));
    EXPECT_EQ(unit["flags"], r.flags);
    EXPECT_EQ(unit["versionSuffix"], r.versionSuffix);
    EXPECT_EQ(unit["biosVersion"], static_cast<int16_t>(r.biosVersion));
    EXPECT_EQ(unit["appVersion"], static_cast<int16_t>(r.appVersion));
    EXPECT_EQ(unit["finished"], isFinished(r));

    // The columns, joined by tabs in the header's order with empty ones at the end left out as
    // the report leaves them out, give the report's line.
    const char* const names[] = {"IP",      "Serial",  "ID",       "BIOS",
                                 "Application", "Version", "Modem ID", "ESN"};
    ASSERT_EQ(unit["report"].size(), 8u);
    std::vector<std::string> columns;
    for (const char* name : names) columns.push_back(latin1Of(unit["report"][name]));
    while (columns.size() > 6 && columns.back().empty()) columns.pop_back();
    std::string joined;
    for (const std::string& column : columns) joined += (joined.empty() ? "" : "\t") + column;
    EXPECT_EQ(joined + "\r\n", reportLine(r).view());
  }
}

// The report shows a tab inside a text as '?', so its columns never shift, and so do the JSON's
// report columns; the record's fields by name keep the tab.
TEST(UnitJsonTest, ATabInATextShowsInTheReportColumnsAndStaysInTheFields) {
  const DeviceRecord record = testing::makeRecord({10, 0, 0, 1}, 7, "A\tB", 100, "P\tQ", 200, 0,
                                                  "M\tN", "E\tF", COMPLETE);
  const json unit = json::parse(unitJsonLine(record, 0));
  const json& report = unit["report"];
  EXPECT_EQ(report["ID"], "A?B");
  EXPECT_EQ(report["BIOS"], "1.00");
  EXPECT_EQ(report["Application"], "P?Q");
  EXPECT_EQ(report["Version"], "2.00");
  EXPECT_EQ(report["Modem ID"], "M?N");
  EXPECT_EQ(report["ESN"], "E?F");
  EXPECT_EQ(unit["application"], "P\tQ");
  EXPECT_EQ(unit["esn"], "E\tF");
}

TEST(UnitJsonTest, TheSummaryGivesEveryFigure) {
  SurveySummary summary;
  summary.list = "sites/n\xF6rd.IPs";
  summary.report = "sites/n\xF6rd.model";
  summary.progress = "sites/n\xF6rd.soFar";
  summary.outcome = "stopped";
  summary.signal = "SIGTERM";
  summary.units = 100000;
  summary.complete = 99990;
  summary.sent = 5000000000u;
  summary.received = 3;
  summary.elapsedMs = 4000000000u;
  summary.saved = false;
  summary.exitStatus = 4;
  const json parsed = json::parse(summaryJsonLine(summary));
  EXPECT_EQ(parsed["type"], "summary");
  EXPECT_EQ(latin1Of(parsed["list"]), summary.list);
  EXPECT_EQ(latin1Of(parsed["report"]), summary.report);
  EXPECT_EQ(latin1Of(parsed["progress"]), summary.progress);
  EXPECT_EQ(parsed["outcome"], "stopped");
  EXPECT_EQ(parsed["signal"], "SIGTERM");
  EXPECT_EQ(parsed["units"], 100000);
  EXPECT_EQ(parsed["complete"], 99990);
  EXPECT_EQ(parsed["sent"], 5000000000u);
  EXPECT_EQ(parsed["received"], 3);
  EXPECT_EQ(parsed["elapsedMs"], 4000000000u);
  EXPECT_EQ(parsed["saved"], false);
  EXPECT_EQ(parsed["exitStatus"], 4);

  summary.signal = nullptr;
  EXPECT_FALSE(json::parse(summaryJsonLine(summary)).contains("signal"));
}

}  // namespace
}  // namespace vyr
