// SPDX-License-Identifier: GPL-3.0-or-later
// A report-mode list view: rows with a label and picture in the first column and texts in the others.
#pragma once

#include <QPixmap>
#include <QTreeWidget>
#include <string>
#include <vector>

namespace tarnwick {

class ReportListView : public QTreeWidget {
    Q_OBJECT
public:
    explicit ReportListView(QWidget* parent = nullptr);

    void AddColumn(const QString& header, int widthPixels);
    // The width a column needs to show the text whole in a row (with the row picture in the first column)
    // and its own header.
    int WidthToShow(int column, const QString& text) const;
    // The width the columns share without sideways scrolling, also once the vertical scroll bar shows.
    int WidthForColumns() const;
    // Cuts the strip into pictures of the given size; white is transparent.
    void SetPictureStrip(const QPixmap& strip, int pictureWidth, int pictureHeight);
    int PictureCount() const { return static_cast<int>(pictures_.size()); }

    void DeleteAllRows();
    void InsertRow(int row, const QString& label, int image, const std::vector<std::string>& columns);
    void DeleteRow(int row);
    void SetRowImage(int row, int image);
    void SetRowTexts(int row, const std::vector<std::string>& columns);
    // What shows when the pointer rests on the row: the picture (JPEG bytes, shrunk to fit), then the text.
    void SetRowToolTip(int row, const std::string& text, const std::string& picture);
    int RowImage(int row) const;
    void SelectRow(int row);
    int RowCount() const { return topLevelItemCount(); }
    bool IsRowSelected(int row) const;

signals:
    // Raised whenever the selected state of a row changes, like the platform's item-changed notice.
    void ItemChanged();

private:
    std::vector<QIcon> pictures_;
};

}  // namespace tarnwick
