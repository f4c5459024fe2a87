#include "app/qt/device_list.h"

#include <QPainter>
#include <QTextOption>
#include <cstring>
#include <utility>

#include "app/dialog_units.h"
#include "platform/bounded_copy.h"

namespace vyr {
namespace {

// Room between the list's left edge and the first character, as a list box leaves it.
constexpr int TEXT_MARGIN = 2;

// A group's allocation, in steps of a cache line: most replacements and appends then move bytes
// within it rather than allocating.
size_t roomFor(size_t bytes) { return (bytes + 63) & ~size_t{63}; }

std::string_view keptText(const char* text) {
  const size_t length = std::strlen(text);
  return {text, length < RowModel::LONGEST_ROW ? length : RowModel::LONGEST_ROW};
}

}  // namespace

int RowModel::rowCount(const QModelIndex& parent) const {  // NOLINT(google-default-arguments)
  return parent.isValid() ? 0 : announced_;
}

QVariant RowModel::data(const QModelIndex& index, int role) const {
  if (role != Qt::DisplayRole || !index.isValid() || index.row() >= rowCount()) return {};
  const std::string_view text = row(index.row());
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

RowModel::RowModel(QObject* parent) : QAbstractListModel(parent) {
  announcement_.setSingleShot(true);
  announcement_.setInterval(0);
  connect(&announcement_, &QTimer::timeout, this, &RowModel::announceAdded);
}

std::string_view RowModel::row(int32_t index) const {
  const RowGroup& group = groups_[static_cast<size_t>(index / GROUP_ROWS)];
  const int32_t slot = index % GROUP_ROWS;
  size_t offset = 0;
  for (int32_t i = 0; i < slot; ++i) offset += group.lengths[static_cast<size_t>(i)];
  return {group.text.get() + offset, group.lengths[static_cast<size_t>(slot)]};
}

void RowModel::store(RowGroup& group, int32_t slot, std::string_view text) {
  uint16_t& length = group.lengths[static_cast<size_t>(slot)];
  size_t offset = 0;
  for (int32_t i = 0; i < slot; ++i) offset += group.lengths[static_cast<size_t>(i)];
  const size_t after = group.bytes - offset - length;  // the bytes of the rows that follow
  const size_t bytes = group.bytes - length + text.size();
  if (roomFor(bytes) == roomFor(group.bytes)) {
    char* base = group.text.get();
    if (after > 0) std::memmove(base + offset + text.size(), base + offset + length, after);
  } else {
    auto moved = std::make_unique_for_overwrite<char[]>(roomFor(bytes));
    if (offset > 0) std::memcpy(moved.get(), group.text.get(), offset);
    if (after > 0) {
      std::memcpy(moved.get() + offset + text.size(), group.text.get() + offset + length, after);
    }
    group.text = std::move(moved);
  }
  if (!text.empty()) std::memcpy(group.text.get() + offset, text.data(), text.size());
  length = static_cast<uint16_t>(text.size());
  group.bytes = static_cast<uint32_t>(bytes);
}

void RowModel::append(const char* text) {
  if (size_ % GROUP_ROWS == 0) groups_.emplace_back();
  store(groups_.back(), size_ % GROUP_ROWS, keptText(text));
  ++size_;
  if (!announcement_.isActive()) announcement_.start();
}

void RowModel::announceAdded() {
  if (announced_ >= size()) return;
  beginInsertRows({}, announced_, size() - 1);
  announced_ = size();
  endInsertRows();
}

bool RowModel::replace(int32_t index, const char* text) {
  const std::string_view kept = keptText(text);
  if (row(index) == kept) return false;
  store(groups_[static_cast<size_t>(index / GROUP_ROWS)], index % GROUP_ROWS, kept);
  if (index < announced_) {
    const QModelIndex changed = this->index(index);
    Q_EMIT dataChanged(changed, changed, {Qt::DisplayRole});
  }
  return true;
}

void RowModel::clear() {
  beginResetModel();
  groups_.clear();
  size_ = 0;
  announced_ = 0;
  endResetModel();
}

void TabbedRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const {
  QTextOption layout(Qt::AlignLeft | Qt::AlignVCenter);
  layout.setWrapMode(QTextOption::NoWrap);
  layout.setTabArray(tabs_);

  painter->save();
  painter->setClipRect(option.rect);
  painter->setFont(option.font);
  painter->setPen(option.palette.color(
      (option.state & QStyle::State_Enabled) ? QPalette::Active : QPalette::Disabled,
      QPalette::Text));
  const QRectF text = QRectF(option.rect).adjusted(TEXT_MARGIN, 0, 0, 0);
  painter->drawText(text, index.data(Qt::DisplayRole).toString(), layout);
  painter->restore();
}

QSize TabbedRowDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
  return {option.rect.width(), option.fontMetrics.height()};
}

DeviceList::DeviceList(QWidget* parent) : QListView(parent), delegate_(this) {
  setModel(&model_);
  setItemDelegate(&delegate_);
  setSelectionMode(QAbstractItemView::NoSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setUniformItemSizes(true);  // keeps ten thousand rows as cheap as ten
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
  setFocusPolicy(Qt::StrongFocus);
}

void DeviceList::setTabStops(const std::array<int32_t, 7>& stops, int32_t averageCharWidth) {
  stops_ = stops;
  // Stops are measured from the list's client origin, where each row's rectangle starts (the list
  // never scrolls sideways), and the text is drawn a margin further right.
  QList<qreal> pixels;
  for (int32_t stop : stops) pixels.append(mulDiv(stop, averageCharWidth, 4) - TEXT_MARGIN);
  delegate_.setTabs(pixels);
  viewport()->update();
}

void DeviceList::addRow(const char* text) { model_.append(text); }

int32_t DeviceList::rowCount() const { return model_.size(); }

int32_t DeviceList::rowText(int32_t index, char* buffer, int32_t size) const {
  if (size <= 0) return -1;
  if (index < 0 || index >= rowCount()) {
    buffer[0] = '\0';
    return -1;
  }
  return copyBounded(model_.row(index), buffer, size);
}

void DeviceList::replaceRow(int32_t index, const char* text) {
  if (index < 0 || index >= rowCount()) return;
  // Only the changed row is repainted; the view keeps its scroll position and top row.
  model_.replace(index, text);
}

void DeviceList::clearRows() { model_.clear(); }

}  // namespace vyr
