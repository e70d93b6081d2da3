// A read-only list model over rows of texts that live elsewhere (in a tool model), so a list
// of tens of thousands of rows shows at once: only the visible rows are ever asked for.
#pragma once

#include <QAbstractTableModel>
#include <QStringList>
#include <functional>

namespace kvt {

class TextRowsModel : public QAbstractTableModel {
  public:
    using RowCount = std::function<int()>;
    using CellText = std::function<QString(int row, int column)>;

    TextRowsModel(RowCount count, CellText text, QObject* parent = nullptr)
        : QAbstractTableModel(parent), count_(std::move(count)), text_(std::move(text)) {}

    // A tooltip per cell (empty: none), such as the cause of a failed read.
    void setToolTips(CellText tips) { tips_ = std::move(tips); }

    void setHeaders(const QStringList& headers, Qt::Alignment alignment) {
        beginResetModel();
        headers_ = headers;
        alignment_ = alignment;
        endResetModel();
    }
    // The rows changed wholesale (a new dump).
    void reload() {
        beginResetModel();
        endResetModel();
    }

    int rowCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : count_();
    }
    int columnCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : static_cast<int>(headers_.size());
    }
    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid()) return {};
        if (role == Qt::DisplayRole) return text_(index.row(), index.column());
        if (role == Qt::TextAlignmentRole) return QVariant::fromValue(alignment_);
        if (role == Qt::ToolTipRole && tips_) {
            QString tip = tips_(index.row(), index.column());
            if (!tip.isEmpty()) return tip;
        }
        return {};
    }
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        if (orientation != Qt::Horizontal || section < 0 || section >= headers_.size()) return {};
        if (role == Qt::DisplayRole) return headers_[section];
        if (role == Qt::TextAlignmentRole) return QVariant::fromValue(alignment_);
        return {};
    }

  private:
    RowCount count_;
    CellText text_;
    CellText tips_;
    QStringList headers_;
    Qt::Alignment alignment_ = Qt::AlignCenter;
};

}  // namespace kvt
