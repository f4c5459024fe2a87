// Catches list lines that give the wrong row, a lost or invented unit, list files that are
// offered, ordered or opened wrongly, and a wrong count of lines read in pieces.

#include <string>
#include <vector>

#include "support/survey_fixture.h"

namespace vyr::testing {
namespace {

using Rows = std::vector<std::string>;
using namespace std::string_literals;

struct LoaderTest : SurveyFixture {
  Rows load(const std::string& text) {
    chooseList("north.IPs", text);
    return list.rows();
  }
};

struct LineCase {
  const char* line;
  const char* row;  // null: the line gives no row
};

// One line each, with the row it must give; the notes say why.
const LineCase kLineCases[] = {
    {"10.20.0.11", "10.20.0.11"},
    {"  192.168.1.20   ; pump station", "192.168.1.20"},  // text around the address ignored
    {"010.020.000.011", "10.20.0.11"},                    // numbers are printed back
    {"10.0.0.300", "10.0.0.300"},                         // no range test
    {"10.0.0.1/55", "10.0.0.1"},                          // the address form is tried first
    {"1.2.3", nullptr},
    {"tank 3: 172.16.0.7", "172.16.0.7"},  // found at the third word
    {"; north site units", nullptr},
    {"; gateway 10.0.0.254", "10.0.0.254"},  // an address inside a comment counts
    {"A17/501", " 0.0.0.0\t501\tA17"},
    {"TANK0001/502", " 0.0.0.0\t502\tTANK0001"},  // eight characters
    {"TOOLONGID/503", nullptr},                   // nine are not read
    {"TOOLONGID/503 10.9.9.9", "10.9.9.9"},
    {"unit ABC/123", " 0.0.0.0\t123\tunit ABC"},  // the eight characters before the slash
    {"device ABC/123", " 0.0.0.0\t123\tABC"},     // too long at the first word, read at the second
    {"  ABC/77", " 0.0.0.0\t77\t  ABC"},          // leading white space belongs to the ID
    {"12.5/100", " 0.0.0.0\t100\t12.5"},          // two numbers only: an ID
    {"ABC/", nullptr},
    {"ABC/ 99", " 0.0.0.0\t99\tABC"},
    {"/123", nullptr},
    {"0.0.0.0", nullptr},
    {"0.0.0.0 10.0.0.9", nullptr},  // the search ends at the all-zero address
    {"", nullptr},
    {" \t ", nullptr},
    // Numbers too large for 32 bits are no numbers: such text never names a unit.
    {"10.0.0.2147483648", nullptr},
    {"10.0.0.-2147483648", "10.0.0.-2147483648"},
    {"+1.-2.3.4", "1.-2.3.4"},
    {"A/4294967295", " 0.0.0.0\t4294967295\tA"},
    {"A/4294967296", nullptr},
    {"A/4294967296 B/7", " 0.0.0.0\t7\tB"},
    {"A/-5", " 0.0.0.0\t4294967291\tA"},  // a minus sign negates it modulo 2^32
    {"A/-4294967295", " 0.0.0.0\t1\tA"},
    {"A/- 5", nullptr},  // no white space between sign and digits
    {"A/+5", " 0.0.0.0\t5\tA"},
    {"10. 20. 0. 11", "10.20.0.11"},  // white space before each number, as the scan allows
};

TEST_F(LoaderTest, EachLineGivesItsRowWithEitherLineEnd) {
  for (const char* end : {"\r\n", "\n"}) {
    for (const LineCase& c : kLineCases) {
      Rows expected;
      if (c.row != nullptr) expected.push_back(c.row);
      EXPECT_EQ(load(std::string(c.line) + end), expected)
          << "line \"" << c.line << "\" ending " << (end[0] == '\r' ? "CR LF" : "LF");
    }
  }
}

TEST_F(LoaderTest, WholeFileKeepsFileOrderOneRowPerUsableLine) {
  std::string text;
  Rows expected;
  for (const LineCase& c : kLineCases) {
    text += std::string(c.line) + "\r\n";
    if (c.row != nullptr) expected.push_back(c.row);
  }
  EXPECT_EQ(load(text), expected);
}

TEST_F(LoaderTest, LongLinesAreReadInPiecesOf79Bytes) {
  struct Case {
    const char* why;
    std::string text;
    Rows rows;
  };
  const std::string x79(79, 'x');
  const Case cases[] = {
      {"90 characters: 79 letters, then the rest with the address",
       std::string(81, 'a') + " 10.0.0.1\r\n", {"10.0.0.1"}},
      {"79 characters and a line feed: read whole, then an empty piece",
       std::string(70, 'x') + " 10.0.0.1\n10.0.0.2\n", {"10.0.0.1", "10.0.0.2"}},
      {"an entry cut by the piece boundary is lost",
       std::string(75, 'x') + " 10.0.0.1\n10.0.0.2\n", {"10.0.0.2"}},
      {"last line without a line feed", "10.0.0.1\n10.0.0.2", {"10.0.0.1", "10.0.0.2"}},
      {"empty file", "", {}},
      {"a NUL ends its piece: the rest of those 79 bytes is dropped",
       "10.0.0.1\0\n10.0.0.2\n"s + std::string(60, 'y') + "\n10.0.0.3\n", {"10.0.0.1", "10.0.0.3"}},
      {"a NUL drops every line that begins later in its piece",
       "10.0.0.1\n10.0.0.2\0 10.0.0.4\n10.0.0.3\n"s, {"10.0.0.1", "10.0.0.2"}},
      {"piece of 79 bytes without a line feed followed by a line",
       x79 + "10.0.0.5\n", {"10.0.0.5"}},
  };
  for (const Case& c : cases) EXPECT_EQ(load(c.text), c.rows) << c.why;
}

TEST_F(LoaderTest, CountsTheLinesReadInPiecesOncePerLine) {
  struct Case {
    const char* why;
    std::string text;
    int32_t cutLines;
    Rows rows;
  };
  const std::string x78(78, 'x');
  const std::string x79(79, 'x');
  std::string carriageReturns;  // 30 lines of 9 bytes ended by CR alone: one line of 270 bytes
  for (int i = 0; i < 30; ++i) carriageReturns += "10.0.0.1\r";
  const Case cases[] = {
      {"LF lines", "10.0.0.1\n10.0.0.2\n", 0, {"10.0.0.1", "10.0.0.2"}},
      {"CR LF lines", "10.0.0.1\r\n10.0.0.2\r\n", 0, {"10.0.0.1", "10.0.0.2"}},
      {"CR alone: one line in four pieces", carriageReturns, 1,
       {"10.0.0.1", "10.0.0.1", "10.0.0.1", "10.0.0.1"}},
      {"an 80-byte line and a 200-byte line", std::string(80, 'a') + "\n10.0.0.1\n" + std::string(200, 'b') + "\n",
       2, {"10.0.0.1"}},
      {"exactly 79 bytes and its line feed", x79 + "\n10.0.0.2\n", 1, {"10.0.0.2"}},
      {"78 bytes and its line feed: read whole", x78 + "\n10.0.0.2\n", 0, {"10.0.0.2"}},
      {"79 bytes and nothing after them", x79, 0, {}},
      {"empty file", "", 0, {}},
  };
  for (const Case& c : cases) {
    context.listCutLines = -1;
    EXPECT_EQ(load(c.text), c.rows) << c.why;
    EXPECT_EQ(context.listCutLines, c.cutLines) << c.why;
  }
  load(x79 + "\n");
  files.refuseReading.insert("north.IPs");
  chooseListFile(context);
  EXPECT_EQ(context.listCutLines, 0) << "a list that cannot be opened";
}

TEST(ReadLine, GivesLinesWithTheirLineFeedAndLongOnesInPieces) {
  struct Case {
    std::string text;
    Rows pieces;
  };
  const std::string x79(79, 'x');
  const Case cases[] = {
      {"a\r\nb\nc", {"a\r\n", "b\n", "c"}},
      {x79 + "\nab", {x79, "\n", "ab"}},
      {x79 + "yz\n", {x79, "yz\n"}},
      {"a\0b\nc\n"s, {"a"}},
      {"", {}},
  };
  for (const Case& c : cases) {
    MemoryFileSystem files;
    files.setContents("f", c.text);
    auto file = files.openForReading("f");
    Rows pieces;
    char buffer[LIST_LINE_BUFFER];
    while (readLine(buffer, sizeof buffer, *file) != nullptr) pieces.emplace_back(buffer);
    EXPECT_EQ(pieces, c.pieces) << c.text;
  }
}

TEST_F(LoaderTest, SelectorOffersListFilesAlphabeticallyWithoutRegardToCase) {
  for (const char* name : {"b.IPs", "Zeta.IPs", "c.IPS", "Alpha.ips", "notes.txt", "d.IPs.bak", "IPs"}) {
    files.setContents(name, "10.0.0.1\n");
  }
  files.makeFolder("sites.IPs");  // folders are offered too
  fillListSelector(context);
  EXPECT_EQ(dialog.selectorItems, (Rows{"Alpha.ips", "b.IPs", "c.IPS", "sites.IPs", "Zeta.IPs"}));
}

TEST_F(LoaderTest, ChoosingAListReplacesTheRowsOrLeavesThemEmpty) {
  EXPECT_EQ(load("10.0.0.1\n10.0.0.2\n"), (Rows{"10.0.0.1", "10.0.0.2"}));
  EXPECT_EQ(load("A/1\n"), (Rows{" 0.0.0.0\t1\tA"})) << "rows of the previous list are dropped";

  files.makeFolder("folder.IPs");
  files.setContents("gone.IPs", "10.0.0.1\n");
  files.refuseReading.insert("gone.IPs");
  for (const char* unreadable : {"folder.IPs", "gone.IPs"}) {
    load("10.0.0.1\n");
    dialog.selectorItems = {unreadable};
    dialog.select(0);
    chooseListFile(context);
    EXPECT_EQ(list.rowCount(), 0) << unreadable;
  }
}

TEST_F(LoaderTest, NameLongerThan79CharactersIsCutBeforeOpening) {
  const std::string longName = std::string(80, 'n') + ".IPs";
  files.setContents(longName.substr(0, 79), "10.0.0.7\n");
  chooseList(longName, "10.0.0.8\n");
  EXPECT_EQ(list.rows(), (Rows{"10.0.0.7"}));
}

}  // namespace
}  // namespace vyr::testing
