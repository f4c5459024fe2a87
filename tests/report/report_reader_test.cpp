// Catches a report misread: sections split wrongly, line ends, cut or overlong lines, columns that
// are not a unit's, or sections kept that were not asked for.

#include "report/report_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "report_texts.h"

namespace vyr {
namespace {

using report_test::reportText;
using namespace std::string_literals;

const std::string ANSWERED = "10.20.0.11\t480\tA17\t1.05\tPUMP\t3.12.2\tMX200\tE77";
const std::string SILENT = "10.20.0.12\t0\t\t0.00\t\t0.00";
const std::string UNLOCATED = "0.0.0.0\t502\tTANK0001\t0.00\t\t0.00";
const std::string ESN_ONLY = "10.20.0.13\t481\tB2\t1.00\tRTU\t2.50\t\tE78";
const std::string NEGATIVE_BIOS = "10.20.0.14\t482\tC3\t-0.05\tRTU\t2.50\tMX210";
// Every field at its widest: 110 bytes with the line end.
const std::string WIDEST =
    "255.255.255.255\t4294967295\tIIIIIIII\t-327.68\tAAAAAAAA\t-327.68.255\t" +
    std::string(29, 'M') + "\t" + std::string(13, 'E');

struct Counts {
  int32_t units;
  int32_t answered;
};

struct ReaderCase {
  const char* name;
  std::string text;
  const char* error;  // a piece of the message, or null when the text is a report
  std::vector<Counts> sections;
};

const std::vector<ReaderCase>& readerCases() {
  static const std::vector<ReaderCase> cases = {
      {"two sections, CRLF",
       reportText({"H", ANSWERED, SILENT, UNLOCATED, ESN_ONLY, NEGATIVE_BIOS, "H", ANSWERED}),
       nullptr,
       {{5, 3}, {1, 1}}},
      {"LF line ends",
       reportText({"H", ANSWERED, SILENT, "H", SILENT}, "\n"),
       nullptr,
       {{2, 1}, {1, 0}}},
      {"a section without units", reportText({"H", "H", ANSWERED}), nullptr, {{0, 0}, {1, 1}}},
      {"zero bytes before a section saved past the end",
       reportText({"H", ANSWERED}) + std::string(300, '\0') + reportText({"H", SILENT}),
       nullptr,
       {{1, 1}, {1, 0}}},
      {"the widest line", reportText({"H", WIDEST}), nullptr, {{1, 1}}},
      {"hostile texts are a unit's bytes",
       reportText({"H", "10.0.0.1\t7\t<i>&\"'\x01\t1.00\t<svg>\t1.00\t<img src=x>\t\"><b>\xe9"}),
       nullptr,
       {{1, 1}}},
      {"empty", "", "not a report", {}},
      {"a list file", "127.0.0.1\r\nPUMP/100\r\n", "line 1: not a report", {}},
      {"the header cut short", "IP\tSerial\tID\r\n", "line 1: not a report", {}},
      {"the last line cut short",
       reportText({"H", ANSWERED}) + "10.20.0.12\t0\t",
       "line 3: cut short",
       {}},
      {"one byte over the widest", reportText({"H", WIDEST + "E"}), "line 2: longer than 110", {}},
      {"a megabyte without a line end",
       reportText({"H"}) + std::string(1 << 20, 'x'),
       "line 2: longer than 110",
       {}},
      {"five columns", reportText({"H", "10.0.0.1\t7\tA\t1.00\tPUMP"}), "line 2: 5 columns", {}},
      {"nine columns", reportText({"H", ANSWERED + "\tX"}), "line 2: more than 8", {}},
      {"an address out of range",
       reportText({"H", "256.0.0.1\t7\tA\t1.00\tP\t1.00"}),
       "line 2: the IP column",
       {}},
      {"a serial that is not a number",
       reportText({"H", "10.0.0.1\t-7\tA\t1.00\tP\t1.00"}),
       "line 2: the Serial column",
       {}},
      {"one decimal", reportText({"H", "10.0.0.1\t7\tA\t1.5\tP\t1.00"}), "line 2: the BIOS", {}},
      {"a BIOS past 16 bits",
       reportText({"H", "10.0.0.1\t7\tA\t327.68\tP\t1.00"}),
       "line 2: the BIOS",
       {}},
      {"a version suffix of zero",
       reportText({"H", "10.0.0.1\t7\tA\t1.00\tP\t1.00.0"}),
       "line 2: the Version",
       {}},
      {"an ID of 9 bytes",
       reportText({"H", "10.0.0.1\t7\tABCDEFGHI\t1.00\tP\t1.00"}),
       "line 2: the ID",
       {}},
      {"a zero byte in a line",
       reportText({"H", "10.0.0.1\t7\tA\0B\t1.00\tP\t1.00"s}),
       "line 2: holds a zero byte",
       {}},
      {"a unit before any header", reportText({ANSWERED, "H"}), "line 1: not a report", {}},
  };
  return cases;
}

TEST(ReportReader, ReadsSectionsOrNamesTheLineThatIsNotAReport) {
  for (const ReaderCase& c : readerCases()) {
    SCOPED_TRACE(c.name);
    Report report;
    std::string error;
    ReadRequest all;
    all.keepLast = 100;
    const bool read = readReportText(c.text, all, report, error);
    if (c.error != nullptr) {
      EXPECT_FALSE(read);
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
      continue;
    }
    ASSERT_TRUE(read) << error;
    ASSERT_EQ(report.sections.size(), c.sections.size());
    for (size_t i = 0; i < c.sections.size(); ++i) {
      EXPECT_EQ(report.sections[i].units, c.sections[i].units) << "section " << i + 1;
      EXPECT_EQ(report.sections[i].answered, c.sections[i].answered) << "section " << i + 1;
      ASSERT_NE(sectionRows(report, static_cast<int32_t>(i + 1)), nullptr);
    }
  }
}

// The file is read in pieces: a line, a line end or a header split between two pieces reads
// as in one piece.
TEST(ReportReader, PiecesOfAnySizeReadAsTheWholeText) {
  for (const ReaderCase& c : readerCases()) {
    if (c.text.size() > 4096) continue;
    SCOPED_TRACE(c.name);
    for (size_t piece = 1; piece <= 23; piece += 2) {
      ReportReader reader;
      reader.request.keepLast = 100;
      bool read = true;
      const std::string_view whole = c.text;
      for (size_t at = 0; at < whole.size() && read; at += piece) {
        read = readPiece(reader, whole.substr(at, piece));
      }
      read = read && finishReading(reader);
      EXPECT_EQ(read, c.error == nullptr) << "pieces of " << piece << ": " << reader.error;
      if (read) {
        EXPECT_EQ(reader.report.sections.size(), c.sections.size());
      }
    }
  }
}

// Only the sections asked for keep their rows, whatever the report's length.
TEST(ReportReader, KeepsOnlyTheSectionsAskedFor) {
  struct KeepCase {
    std::vector<int32_t> sections;
    int32_t keepLast;
    std::vector<int32_t> kept;
  };
  const KeepCase cases[] = {
      {{}, 1, {5}}, {{}, 2, {4, 5}}, {{1}, 1, {1, 5}}, {{2, 3}, 0, {2, 3}}, {{4}, 2, {4, 5}},
  };
  const std::string text =
      reportText({"H", ANSWERED, "H", SILENT, "H", ANSWERED, "H", SILENT, "H", ESN_ONLY});
  for (const KeepCase& c : cases) {
    Report report;
    std::string error;
    ASSERT_TRUE(readReportText(text, {c.sections, c.keepLast}, report, error));
    std::vector<int32_t> kept;
    for (const auto& [index, rows] : report.kept) kept.push_back(index);
    EXPECT_EQ(kept, c.kept) << "keepLast " << c.keepLast;
    EXPECT_EQ(report.sections.size(), 5u);
  }
}

}  // namespace
}  // namespace vyr
