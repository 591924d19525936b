// SPDX-License-Identifier: GPL-3.0-or-later
// A report-mode list view: rows with a label and picture in the first column and texts in the others.
#include "platform/ReportListView.h"

#include <QBitmap>
#include <QBuffer>
#include <QHeaderView>
#include <QImage>
#include <QScrollBar>
#include <QStyle>
#include <algorithm>

namespace tarnwick {

namespace {
constexpr int kImageRole = Qt::UserRole + 1;
// A tool tip's picture fits this box.
constexpr int kToolTipPictureWidth = 320;
constexpr int kToolTipPictureHeight = 240;

// The picture inside the tool tip's own text, so that it needs no file and goes with the row.
QString PictureMarkup(const std::string& jpeg) {
    QImage image;
    if (jpeg.empty() || jpeg.size() > (16u << 20) ||
        !image.loadFromData(reinterpret_cast<const uchar*>(jpeg.data()), static_cast<int>(jpeg.size()), "JPEG"))
        return {};
    if (image.width() > kToolTipPictureWidth || image.height() > kToolTipPictureHeight)
        image =
            image.scaled(kToolTipPictureWidth, kToolTipPictureHeight, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    QByteArray png;
    QBuffer buffer(&png);
    if (!buffer.open(QIODevice::WriteOnly) || !image.save(&buffer, "PNG")) return {};
    return QString("<img src=\"data:image/png;base64,%1\" width=\"%2\" height=\"%3\"><br>")
        .arg(QString::fromLatin1(png.toBase64()))
        .arg(image.width())
        .arg(image.height());
}

}  // namespace

ReportListView::ReportListView(QWidget* parent) : QTreeWidget(parent) {
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setItemsExpandable(false);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setColumnCount(0);
    header()->setStretchLastSection(false);
    header()->setSectionsMovable(false);
    setIconSize(QSize(16, 15));
    connect(this, &QTreeWidget::itemSelectionChanged, this, &ReportListView::ItemChanged);
}

void ReportListView::AddColumn(const QString& header, int widthPixels) {
    int column = columnCount();
    setColumnCount(column + 1);
    headerItem()->setText(column, header);
    headerItem()->setTextAlignment(column, Qt::AlignLeft | Qt::AlignVCenter);
    setColumnWidth(column, widthPixels);
}

int ReportListView::WidthToShow(int column, const QString& text) const {
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    option.text = text;
    option.features |= QStyleOptionViewItem::HasDisplay;
    if (column == 0) {
        option.features |= QStyleOptionViewItem::HasDecoration;
        option.decorationSize = iconSize();
    }
    int cell = style()->sizeFromContents(QStyle::CT_ItemViewItem, &option, QSize(), this).width();
    return std::max(cell, header()->sectionSizeHint(column));
}

int ReportListView::WidthForColumns() const {
    int scrollBar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, verticalScrollBar());
    return width() - 2 * frameWidth() - scrollBar;
}

void ReportListView::SetPictureStrip(const QPixmap& strip, int pictureWidth, int pictureHeight) {
    pictures_.clear();
    for (int x = 0; x + pictureWidth <= strip.width(); x += pictureWidth) {
        QPixmap picture = strip.copy(x, 0, pictureWidth, pictureHeight);
        picture.setMask(picture.createMaskFromColor(Qt::white, Qt::MaskInColor));
        pictures_.emplace_back(picture);
    }
    setIconSize(QSize(pictureWidth, pictureHeight));
}

void ReportListView::DeleteAllRows() {
    // Clearing would raise a selection change per row; the rebuild that follows selects anew.
    QSignalBlocker block(this);
    clear();
}

void ReportListView::InsertRow(int row, const QString& label, int image, const std::vector<std::string>& columns) {
    if (row < 0 || row > topLevelItemCount()) return;
    auto* item = new QTreeWidgetItem();
    item->setText(0, label);
    for (size_t i = 0; i < columns.size(); ++i)
        item->setText(static_cast<int>(i) + 1, QString::fromStdString(columns[i]));
    item->setFlags(item->flags() & ~Qt::ItemIsEditable);
    insertTopLevelItem(row, item);
    SetRowImage(row, image);
}

void ReportListView::DeleteRow(int row) {
    // The selection moves as the window's own code says (it selects anew after each change).
    QSignalBlocker block(this);
    delete takeTopLevelItem(row);
}

void ReportListView::SetRowTexts(int row, const std::vector<std::string>& columns) {
    QTreeWidgetItem* item = topLevelItem(row);
    if (!item) return;
    for (size_t i = 0; i < columns.size(); ++i)
        item->setText(static_cast<int>(i) + 1, QString::fromStdString(columns[i]));
}

void ReportListView::SetRowToolTip(int row, const std::string& text, const std::string& picture) {
    QTreeWidgetItem* item = topLevelItem(row);
    if (!item) return;
    QString markup = "<qt>" + PictureMarkup(picture);
    // Sniffed text is shown as text, never read as markup.
    markup += QString::fromStdString(text).toHtmlEscaped().replace('\n', "<br>") + "</qt>";
    for (int column = 0; column < columnCount(); ++column) item->setToolTip(column, markup);
}

void ReportListView::SetRowImage(int row, int image) {
    QTreeWidgetItem* item = topLevelItem(row);
    if (!item) return;
    item->setData(0, kImageRole, image);
    item->setIcon(0, image >= 0 && image < PictureCount() ? pictures_[static_cast<size_t>(image)] : QIcon());
}

int ReportListView::RowImage(int row) const {
    QTreeWidgetItem* item = topLevelItem(row);
    return item ? item->data(0, kImageRole).toInt() : -1;
}

void ReportListView::SelectRow(int row) {
    QTreeWidgetItem* item = topLevelItem(row);
    if (!item) return;
    setCurrentItem(item);
    item->setSelected(true);
}

bool ReportListView::IsRowSelected(int row) const {
    QTreeWidgetItem* item = topLevelItem(row);
    return item && item->isSelected();
}

}  // namespace tarnwick
