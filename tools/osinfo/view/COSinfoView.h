// The OS Info window: the two-column list of OsInfoTool, filled once when the window opens.
#pragma once

#include <memory>

#include "shell/tool_view.h"
#include "tools/osinfo/os_info_tool.h"

class QTreeWidget;

namespace kvt {

class COSinfoView : public ToolView {
    Q_OBJECT
  public:
    explicit COSinfoView(const ToolContext& context, QWidget* parent = nullptr);
    ~COSinfoView() override;

    void WriteReport(ReportStream& out) override;
    QTreeWidget* list() const { return list_; }

  private:
    std::unique_ptr<OsInfoTool> model_;
    QTreeWidget* list_ = nullptr;
};

}  // namespace kvt
