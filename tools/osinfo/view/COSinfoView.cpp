#include "tools/osinfo/view/COSinfoView.h"

#include <QHeaderView>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "platform/report_stream.h"

namespace kvt {

COSinfoView::COSinfoView(const ToolContext& context, QWidget* parent) : ToolView(parent) {
    setObjectName(QStringLiteral("COSinfoView"));
    model_ = std::make_unique<OsInfoTool>(*context.platform);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    list_ = new QTreeWidget(this);
    list_->setObjectName(QStringLiteral("osInfo"));
    list_->setRootIsDecorated(false);
    list_->setItemsExpandable(false);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setHeaderLabels({QStringLiteral("Info Field"), QStringLiteral("Detail")});
    list_->header()->setDefaultAlignment(Qt::AlignLeft);
    list_->header()->setStretchLastSection(false);
    list_->setColumnWidth(0, 150);
    list_->setColumnWidth(1, 350);
    layout->addWidget(list_);

    model_->Open();
    for (const OsInfoRow& row : model_->rows()) {
        auto* item = new QTreeWidgetItem(
            list_, {QString::fromStdString(row.first), QString::fromStdString(row.second)});
        item->setToolTip(1, item->text(1));  // info tips for details wider than the column
    }
}

COSinfoView::~COSinfoView() = default;

void COSinfoView::WriteReport(ReportStream& out) {
    model_->WriteReport(out);
}

}  // namespace kvt
