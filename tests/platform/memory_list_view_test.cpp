// Catches packed rows that lose, mix up or cut texts when a row grows, shrinks or moves, when
// left-behind slots are reclaimed or the block grows, or that count a redraw for an unchanged row.

#include "platform/memory/memory_list_view.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace vyr::testing {
namespace {

// Row i's text in round r: lengths that grow, shrink and repeat, so rows move and slots are left.
std::string textOf(int row, int round) {
  const int length = (row * 7 + round * 13) % 120;
  std::string text(static_cast<size_t>(length), static_cast<char>('a' + (row + round) % 26));
  return text + std::to_string(row);
}

TEST(MemoryListViewTest, RowsReadBackAsWrittenThroughGrowthMovesAndReclaims) {
  struct Case {
    const char* name;
    int rows;
    int rounds;
    int everyNth;  // the rows rewritten each round
  };
  const Case cases[] = {
      {"one row", 1, 50, 1},
      {"a few rows, all rewritten", 5, 20, 1},
      {"many rows, every third rewritten", 3000, 12, 3},
      {"many rows, all rewritten", 5000, 8, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryListView view;
    std::vector<std::string> expected;
    expected.reserve(static_cast<size_t>(c.rows));
    for (int i = 0; i < c.rows; ++i) {
      expected.push_back(textOf(i, 0));
      view.addRow(expected.back().c_str());
    }
    std::vector<size_t> longest;
    longest.reserve(expected.size());
    for (const std::string& text : expected) longest.push_back(text.size());
    for (int round = 1; round <= c.rounds; ++round) {
      for (int i = 0; i < c.rows; i += c.everyNth) {
        expected[static_cast<size_t>(i)] = textOf(i, round);
        view.replaceRow(i, expected[static_cast<size_t>(i)].c_str());
      }
      ASSERT_EQ(view.rows(), expected) << "round " << round;
      // A row keeps its slot's room when it shrinks, so its live slot is at most its longest text.
      size_t live = 0;
      for (size_t i = 0; i < expected.size(); ++i) {
        longest[i] = std::max(longest[i], expected[i].size());
        live += 8 + (longest[i] + 7) / 8 * 8;
      }
      // Reclaiming keeps the block within a seventh more than its live slots, and a slot or two.
      EXPECT_LE(view.blockBytes(), live * 8 / 7 + size_t{2} * (8 + 128)) << "round " << round;
    }
    char buffer[8];
    EXPECT_EQ(view.rowText(0, buffer, sizeof buffer),
              static_cast<int32_t>(std::min<size_t>(expected[0].size(), 7)));
    EXPECT_EQ(std::string(buffer), expected[0].substr(0, 7));
  }
}

TEST(MemoryListViewTest, RedrawsOnlyForChangesAndIgnoresMissingRows) {
  MemoryListView view;
  view.addRow("127.0.0.1");
  view.addRow("");
  EXPECT_EQ(view.redraws, 2);
  const struct {
    int32_t index;
    const char* text;
    int redrawsAfter;
  } steps[] = {
      {0, "127.0.0.1", 2},                       // unchanged
      {0, "127.0.0.2", 3},                       // same length, in place
      {1, "", 3},                                // an empty row stays empty
      {1, "a longer row than there was room for", 4},
      {0, "1", 5},                               // shorter, in place
      {2, "no such row", 5},
      {-1, "no such row", 5},
  };
  for (const auto& step : steps) {
    view.replaceRow(step.index, step.text);
    EXPECT_EQ(view.redraws, step.redrawsAfter) << step.index << " " << step.text;
  }
  EXPECT_EQ(view.rows(), (std::vector<std::string>{"1", "a longer row than there was room for"}));
  char buffer[4] = "xyz";
  EXPECT_EQ(view.rowText(2, buffer, sizeof buffer), -1);
  EXPECT_STREQ(buffer, "");
  view.clearRows();
  EXPECT_EQ(view.rowCount(), 0);
  view.addRow("after a clear");
  EXPECT_EQ(view.row(0), "after a clear");
}

}  // namespace
}  // namespace vyr::testing
