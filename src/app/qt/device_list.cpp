#include "app/qt/device_list.h"

#include <QPainter>
#include <QTextOption>
#include <cstring>

#include "app/dialog_units.h"
#include "platform/bounded_copy.h"

namespace vyr {
namespace {

// Room between the list's left edge and the first character, as a list box leaves it.
constexpr int TEXT_MARGIN = 2;

std::unique_ptr<char[]> copyOf(const char* text) {
  const size_t size = std::strlen(text) + 1;
  auto copy = std::make_unique_for_overwrite<char[]>(size);
  std::memcpy(copy.get(), text, size);
  return copy;
}

}  // namespace

int RowModel::rowCount(const QModelIndex& parent) const {  // NOLINT(google-default-arguments)
  return parent.isValid() ? 0 : announced_;
}

QVariant RowModel::data(const QModelIndex& index, int role) const {
  if (role != Qt::DisplayRole || !index.isValid() || index.row() >= rowCount()) return {};
  return QString::fromLatin1(rows_[static_cast<size_t>(index.row())].get());
}

RowModel::RowModel(QObject* parent) : QAbstractListModel(parent) {
  announcement_.setSingleShot(true);
  announcement_.setInterval(0);
  connect(&announcement_, &QTimer::timeout, this, &RowModel::announceAdded);
}

void RowModel::append(const char* text) {
  rows_.push_back(copyOf(text));
  if (!announcement_.isActive()) announcement_.start();
}

void RowModel::announceAdded() {
  if (announced_ >= size()) return;
  beginInsertRows({}, announced_, size() - 1);
  announced_ = size();
  endInsertRows();
}

bool RowModel::replace(int32_t index, const char* text) {
  std::unique_ptr<char[]>& row = rows_[static_cast<size_t>(index)];
  if (std::strcmp(row.get(), text) == 0) return false;
  row = copyOf(text);
  if (index < announced_) {
    const QModelIndex changed = this->index(index);
    Q_EMIT dataChanged(changed, changed, {Qt::DisplayRole});
  }
  return true;
}

void RowModel::clear() {
  beginResetModel();
  rows_.clear();
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
