// Catches the command's list view handing a start a wrong line (another row's, a cut one, one
// read back after its row was rewritten) or keeping the lines' memory after the start is done
// with them.

#include "survey_command/list_file_rows.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vyr {
namespace {

std::string textOf(const ListFileRows& rows, int32_t index, int32_t size = 80) {
  std::vector<char> buffer(static_cast<size_t>(size), 'x');
  const int32_t copied = rows.rowText(index, buffer.data(), size);
  std::string text(buffer.data());
  EXPECT_EQ(copied, index >= 0 && index < rows.rowCount() ? static_cast<int32_t>(text.size()) : -1)
      << "row " << index;
  return text;
}

TEST(ListFileRowsTest, LinesReadBackUntilTheirRowsAreRewrittenThenTheirMemoryGoes) {
  ListFileRows rows;
  const std::vector<std::string> lines = {"127.0.0.1", "", " 1001 PUMP0001", "10.1.2.3\tnote"};
  for (const std::string& line : lines) rows.addRow(line.c_str());
  ASSERT_EQ(rows.rowCount(), 4);

  const struct {
    int32_t index;
    int32_t size;
    const char* expected;
  } reads[] = {
      {0, 80, "127.0.0.1"}, {1, 80, ""}, {2, 80, " 1001 PUMP0001"}, {3, 80, "10.1.2.3\tnote"},
      {2, 6, " 1001"},                    // cut to the buffer, NUL included
      {-1, 80, ""},         {4, 80, ""},  // no such row
  };
  for (const auto& read : reads) {
    EXPECT_EQ(textOf(rows, read.index, read.size), read.expected) << "row " << read.index;
  }

  // The start reads a row, then rewrites it; the others still read as listed.
  rows.replaceRow(2, "1001\tPUMP0001\tlocated");
  rows.replaceRow(2, "again");
  rows.replaceRow(7, "no such row");
  EXPECT_EQ(textOf(rows, 2), "");
  EXPECT_EQ(textOf(rows, 3), "10.1.2.3\tnote");
  EXPECT_EQ(rows.line(0), "127.0.0.1");
  EXPECT_GT(rows.heldBytes(), 0u);

  for (int32_t i : {0, 1, 3}) rows.replaceRow(i, "rewritten");
  EXPECT_EQ(rows.heldBytes(), 0u) << "every row rewritten: no line is read again";
  EXPECT_EQ(rows.rowCount(), 4);
  for (int32_t i = 0; i < 4; ++i) EXPECT_EQ(textOf(rows, i), "") << "row " << i;

  rows.clearRows();
  rows.addRow("192.168.0.9");
  EXPECT_EQ(rows.rowCount(), 1);
  EXPECT_EQ(textOf(rows, 0), "192.168.0.9") << "a cleared view holds lines again";
}

}  // namespace
}  // namespace vyr
