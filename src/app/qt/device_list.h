#pragma once
// The list control of the main dialog (1000): display only, rows in the order they were added,
// tab characters expanded at the column stops the dialog computes from its header labels.

#include <QAbstractListModel>
#include <QListView>
#include <QStyledItemDelegate>
#include <QTimer>
#include <array>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/list_view.h"

namespace vyr {

// The rows as the core wrote them, byte for byte. Shown as Latin-1, which maps every byte to one
// character and back. Rows added in one pass of the event loop reach the view together at the
// end of it: announced one at a time, a list of a hundred thousand would hold the loop for tens of
// milliseconds.
class RowModel final : public QAbstractListModel {
  Q_OBJECT

 public:
  // The longest row kept; a longer one is cut there. The core's rows are a text line long.
  static constexpr size_t LONGEST_ROW = UINT16_MAX;

  explicit RowModel(QObject* parent = nullptr);

  // The same default as the base class's declaration, so calls read alike through either type.
  int rowCount(const QModelIndex& parent = {}) const override;  // NOLINT(google-default-arguments)
  QVariant data(const QModelIndex& index, int role) const override;

  void append(const char* text);
  // Returns false, changing nothing, when the row already reads `text`.
  bool replace(int32_t index, const char* text);
  void clear();
  // Every row, also those the view has still to be told of.
  int32_t size() const { return size_; }
  std::string_view row(int32_t index) const;

 private:
  // Consecutive rows share one allocation, their texts back to back: a hundred thousand rows
  // then cost little more than their text, where an allocation each costs a quarter again and
  // leaves its earlier, shorter forms behind as holes. A replaced row moves only its group's bytes.
  static constexpr int32_t GROUP_ROWS = 32;
  struct RowGroup {
    std::unique_ptr<char[]> text;
    std::array<uint16_t, GROUP_ROWS> lengths{};
    uint32_t bytes = 0;  // of text, the lengths' sum
  };

  // Puts `text` in place of the group's row `slot` (an empty one past its last row, to append).
  static void store(RowGroup& group, int32_t slot, std::string_view text);
  void announceAdded();

  std::vector<RowGroup> groups_;
  int32_t size_ = 0;
  int32_t announced_ = 0;  // the rows the view knows of: the first ones
  QTimer announcement_;    // runs announceAdded once the pass is over
};

// Draws a row as one line with tabs at the list's stops, as a list box with tab stops does.
class TabbedRowDelegate final : public QStyledItemDelegate {
  Q_OBJECT

 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  void setTabs(const QList<qreal>& pixels) { tabs_ = pixels; }
  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

 private:
  QList<qreal> tabs_;
};

class DeviceList final : public QListView, public ListView {
  Q_OBJECT

 public:
  explicit DeviceList(QWidget* parent = nullptr);

  // Sets the seven stops, in horizontal dialog units measured from the list's client origin;
  // `averageCharWidth` converts them to pixels.
  void setTabStops(const std::array<int32_t, 7>& stops, int32_t averageCharWidth);
  const std::array<int32_t, 7>& tabStops() const { return stops_; }

  void addRow(const char* text) override;
  int32_t rowCount() const override;
  int32_t rowText(int32_t index, char* buffer, int32_t size) const override;
  void replaceRow(int32_t index, const char* text) override;
  void clearRows() override;

  const RowModel& rows() const { return model_; }

 private:
  RowModel model_;
  TabbedRowDelegate delegate_;
  std::array<int32_t, 7> stops_{};
};

}  // namespace vyr
