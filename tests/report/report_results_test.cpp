// Catches wrong counts or their order, units matched wrongly between sections, changes missed or
// invented, and unit texts that break out of CSV, JSON or HTML.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "report/report_diff.h"
#include "report/report_html.h"
#include "report/report_output.h"
#include "report/report_reader.h"
#include "report/report_summary.h"
#include "report_texts.h"

namespace vyr {
namespace {

using report_test::reportText;

// The rows of a one-section report made of `lines`.
std::vector<UnitRow> rowsOf(const std::vector<std::string>& lines) {
  std::vector<std::string> all = {"H"};
  all.insert(all.end(), lines.begin(), lines.end());
  Report report;
  std::string error;
  ReadRequest last;
  last.keepLast = 1;
  EXPECT_TRUE(readReportText(reportText(all), last, report, error)) << error;
  return report.kept.empty() ? std::vector<UnitRow>{} : report.kept.begin()->second;
}

std::string joined(const std::vector<Count>& counts) {
  std::string out;
  for (const Count& count : counts) {
    out += (out.empty() ? "" : ", ") + count.application +
           (count.application.empty() || count.version.empty() ? "" : " ") + count.version + "=" +
           std::to_string(count.units);
  }
  return out;
}

TEST(ReportSummary, CountsAnsweredUnitsMostCommonFirstTiesInStatedOrder) {
  const std::vector<UnitRow> rows = rowsOf({
      "10.0.0.1\t1\tA\t1.20\tRTU\t2.50",
      "10.0.0.2\t2\tB\t1.05\tPUMP\t10.00",
      "10.0.0.3\t3\tC\t1.20\tRTU\t2.50.1",
      "10.0.0.4\t0\t\t0.00\t\t0.00",
      "10.0.0.5\t5\tE\t1.05\tPUMP\t9.00",
      "0.0.0.0\t6\tTANK0006\t0.00\t\t0.00",
      "10.0.0.7\t7\tG\t-0.05\tGATE\t4.00",
      "10.0.0.8\t8\tH\t1.20\tRTU\t2.50",
  });
  SectionInfo info;
  info.index = 1;
  const SectionSummary summary = summarize(info, rows);
  // Ties: applications by name in byte order, versions lowest first (9.00 before 10.00).
  EXPECT_EQ(joined(summary.applications), "RTU=3, PUMP=2, GATE=1");
  EXPECT_EQ(joined(summary.versions),
            "RTU 2.50=2, GATE 4.00=1, PUMP 9.00=1, PUMP 10.00=1, RTU 2.50.1=1");
  EXPECT_EQ(joined(summary.bios), "1.20=3, 1.05=2, -0.05=1");
  ASSERT_EQ(summary.unanswered.size(), 2u);
  EXPECT_EQ(unitName(summary.unanswered[0]), "10.0.0.4");
  EXPECT_EQ(unitName(summary.unanswered[1]), "TANK0006/6");
}

std::string changes(const std::vector<DiffRow>& rows) {
  std::string out;
  for (const DiffRow& row : rows) {
    out += std::string(changeName(row.change)) + " " + unitName(row.unit);
    if (!row.field.empty()) out += " " + row.field + " " + row.before + " -> " + row.after;
    out += "\n";
  }
  return out;
}

struct DiffCase {
  const char* name;
  std::vector<std::string> from;
  std::vector<std::string> to;
  const char* expected;
};

TEST(ReportDiff, MatchesByAddressThenIdAndSerialAndNamesEveryChange) {
  const std::string pump = "10.0.0.1\t480\tA17\t1.05\tPUMP\t3.12\tMX200\tE77";
  const std::string rtu = "10.0.0.2\t481\tB2\t1.00\tRTU\t2.50";
  const DiffCase cases[] = {
      {"nothing changed", {pump, rtu}, {pump, rtu}, ""},
      {"the order of the list changed", {pump, rtu}, {rtu, pump}, ""},
      {"a new version",
       {pump},
       {"10.0.0.1\t480\tA17\t1.05\tPUMP\t3.20\tMX200\tE77"},
       "changed 10.0.0.1 Version 3.12 -> 3.20\n"},
      {"every field but the address",
       {pump},
       {"10.0.0.1\t999\tZ9\t1.10\tVALVE\t3.12.4\tMX300\tE99"},
       "changed 10.0.0.1 Serial 480 -> 999\nchanged 10.0.0.1 ID A17 -> Z9\n"
       "changed 10.0.0.1 BIOS 1.05 -> 1.10\nchanged 10.0.0.1 Application PUMP -> VALVE\n"
       "changed 10.0.0.1 Version 3.12 -> 3.12.4\nchanged 10.0.0.1 Modem ID MX200 -> MX300\n"
       "changed 10.0.0.1 ESN E77 -> E99\n"},
      {"the modem columns left out",
       {pump},
       {"10.0.0.1\t480\tA17\t1.05\tPUMP\t3.12"},
       "changed 10.0.0.1 Modem ID MX200 -> \nchanged 10.0.0.1 ESN E77 -> \n"},
      {"added and gone", {pump}, {rtu}, "added 10.0.0.2\ngone 10.0.0.1\n"},
      {"stopped and started answering",
       {pump, "10.0.0.2\t0\t\t0.00\t\t0.00"},
       {"10.0.0.1\t0\t\t0.00\t\t0.00", rtu},
       "stopped answering 10.0.0.1\nstarted answering 10.0.0.2\n"},
      {"silent in both", {"10.0.0.3\t0\t\t0.00\t\t0.00"}, {"10.0.0.3\t0\t\t0.00\t\t0.00"}, ""},
      {"listed by serial, no longer located",
       {"10.0.0.9\t502\tTANK0001\t1.00\tTANK\t1.00"},
       {"0.0.0.0\t502\tTANK0001\t0.00\t\t0.00"},
       "stopped answering TANK0001/502\n"},
      {"listed by serial, found at a new address",
       {"10.0.0.9\t502\tTANK0001\t1.00\tTANK\t1.00"},
       {"10.0.0.8\t502\tTANK0001\t1.00\tTANK\t1.00"},
       "changed 10.0.0.8 IP 10.0.0.9 -> 10.0.0.8\n"},
      {"an address twice, matched in order",
       {"10.0.0.5\t1\tA\t1.00\tP\t1.00", "10.0.0.5\t2\tB\t1.00\tP\t1.00"},
       {"10.0.0.5\t1\tA\t1.00\tP\t1.00", "10.0.0.5\t2\tB\t1.00\tP\t2.00"},
       "changed 10.0.0.5 Version 1.00 -> 2.00\n"},
      {"the same ID and serial twice, one gone",
       {"0.0.0.0\t7\tT\t0.00\t\t0.00", "0.0.0.0\t7\tT\t0.00\t\t0.00"},
       {"0.0.0.0\t7\tT\t0.00\t\t0.00"},
       "gone T/7\n"},
  };
  for (const DiffCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(changes(diffSections(rowsOf(c.from), rowsOf(c.to))), c.expected);
  }
  // A unit that fell silent is still told by the ID and serial it had.
  const std::vector<DiffRow> silent =
      diffSections(rowsOf({pump}), rowsOf({"10.0.0.1\t0\t\t0.00\t\t0.00"}));
  ASSERT_EQ(silent.size(), 1u);
  EXPECT_EQ(std::string(text(silent[0].unit.id)) + "/" + text(silent[0].unit.serial).data(),
            "A17/480");
}

// A unit's texts hostile to each format: markup, quotes, separators, control bytes and 8-bit
// bytes.
const std::string HOSTILE_ID = "<i>&\"'\x01";
const std::string HOSTILE_APPLICATION = "A,\"B\x1b\xe9";

std::vector<Table> hostileTables() {
  const std::vector<UnitRow> rows =
      rowsOf({"10.0.0.1\t7\t" + HOSTILE_ID + "\t1.00\t" + HOSTILE_APPLICATION + "\t1.00"});
  SectionInfo info;
  info.index = 1;
  info.units = 1;
  Report report;
  report.sections.push_back(info);
  return summaryTables("r.model", report, summarize(info, rows));
}

TEST(ReportOutput, UnitTextsStayInsideTheirCells) {
  const std::vector<Table> tables = hostileTables();

  const std::string csv = formatTables(tables, Format::CSV);
  // Quoted, its quote doubled, the escape byte shown, é as UTF-8.
  EXPECT_NE(csv.find("\r\napplication,1,,1,,,\"A,\"\"B?\xc3\xa9\","), std::string::npos) << csv;
  for (size_t at = csv.find('\n'); at != std::string::npos; at = csv.find('\n', at + 1)) {
    ASSERT_EQ(csv[at - 1], '\r');  // every row ends in CRLF, none inside a cell
  }

  const std::string text = formatTables(tables, Format::TEXT);
  EXPECT_EQ(text.find('\x1b'), std::string::npos);
  EXPECT_NE(text.find("A,\"B?\xc3\xa9"), std::string::npos) << text;

  // JSON keeps every byte, read as Latin-1.
  const std::string json = formatTables(tables, Format::JSON);
  bool found = false;
  size_t start = 0;
  for (size_t end = json.find('\n'); end != std::string::npos; end = json.find('\n', start)) {
    const auto object = nlohmann::json::parse(json.substr(start, end - start));
    if (object["type"] == "application") {
      EXPECT_EQ(object["application"], latin1ToUtf8(HOSTILE_APPLICATION));
      EXPECT_EQ(object["units"], 1);
      found = true;
    }
    start = end + 1;
  }
  EXPECT_TRUE(found) << json;
}

TEST(ReportOutput, TextColumnsAlignAndCountOneCharacterAByte) {
  const std::vector<UnitRow> rows =
      rowsOf({"10.0.0.1\t7\tA\t1.00\tP\xe9\t1.00", "10.0.0.2\t8\tB\t1.00\tLONGNAME\t1.00"});
  SectionInfo info;
  info.index = 1;
  Report report;
  report.sections.push_back(info);
  const std::string text =
      formatTables(summaryTables("r.model", report, summarize(info, rows)), Format::TEXT);
  EXPECT_NE(text.find("  Application  Units\n  LONGNAME         1\n  P\xc3\xa9               1\n"),
            std::string::npos)
      << text;
}

TEST(ReportHtml, EscapesEveryByteThatCouldMakeMarkup) {
  const struct {
    std::string bytes;
    const char* html;
  } cases[] = {
      {"<script>", "&lt;script&gt;"},   {"a&b", "a&amp;b"},
      {"\"'", "&quot;&#39;"},           {"\x01\x1b\x7f", "???"},
      {"\xe9\xff", "\xc3\xa9\xc3\xbf"}, {"&lt;", "&amp;lt;"},
  };
  for (const auto& c : cases) EXPECT_EQ(htmlText(c.bytes), c.html) << c.bytes;

  const std::vector<UnitRow> before = rowsOf({"10.0.0.1\t7\tA\t1.00\tP\t1.00\tM"});
  const std::vector<UnitRow> after =
      rowsOf({"10.0.0.1\t7\tA\t1.00\t<svg>\t1.00\t<img src=x onerror=alert(1)>",
              "10.0.0.2\t0\t" + HOSTILE_ID + "\t0.00\t\t0.00"});
  SectionInfo info;
  info.index = 2;
  info.units = 2;
  Report report;
  report.sections = {SectionInfo{1, 1, 1, 1}, info};
  PageChanges page;
  page.present = true;
  page.fromSection = 1;
  page.rows = diffSections(before, after);
  const std::string html = reportPage("r<u>.model", report, summarize(info, after), page, "test");
  for (const char* markup : {"<img", "<i>", "<u>", "<svg>", "\x01"}) {
    EXPECT_EQ(html.find(markup), std::string::npos) << markup;
  }
  EXPECT_NE(html.find("&lt;img src=x onerror=alert(1)&gt;"), std::string::npos);
  EXPECT_NE(html.find("&lt;svg&gt;"), std::string::npos);
  EXPECT_EQ(html.find("<script"), std::string::npos);
  EXPECT_EQ(html.find("http"), html.find("http://www.w3.org/2000/svg"));  // nothing fetched
}

}  // namespace
}  // namespace vyr
