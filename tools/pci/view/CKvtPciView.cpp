#include "tools/pci/view/CKvtPciView.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QRadioButton>
#include <QSplitter>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "platform/format.h"
#include "platform/report_stream.h"
#include "tools/watch/watch.h"

namespace kvt {

namespace {

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

QComboBox* MakeSelector(QWidget* parent, const QString& name, int rows) {
    auto* box = new QComboBox(parent);
    box->setObjectName(name);
    for (int i = 0; i < rows; ++i) box->addItem(Q(Format("%02X", i)));
    box->setCurrentIndex(-1);
    return box;
}

QLineEdit* MakeEntry(QWidget* parent, const QString& name, int limit) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    edit->setMaxLength(limit);
    edit->setFixedWidth(edit->fontMetrics().horizontalAdvance(QString(limit, QLatin1Char('D'))) +
                        18);
    return edit;
}

// A progress window for long work; shown only when the work takes a moment.
class Progress {
  public:
    explicit Progress(QWidget* parent, const QString& text) : parent_(parent), text_(text) {}
    void operator()(uint32_t done, uint32_t total) {
        if (!dialog_) {
            dialog_ = std::make_unique<QProgressDialog>(text_, QString(), 0, int(total), parent_);
            dialog_->setWindowModality(Qt::WindowModal);
            dialog_->setMinimumDuration(300);
        }
        dialog_->setValue(int(done));
        if (done >= total) dialog_.reset();
    }

  private:
    QWidget* parent_;
    QString text_;
    std::unique_ptr<QProgressDialog> dialog_;
};

}  // namespace

CSavePciDlg::CSavePciDlg(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("CSavePciDlg"));
    setWindowTitle(QStringLiteral("PCI Device Save Selection"));
    auto* layout = new QVBoxLayout(this);
    all_ = new QPushButton(QStringLiteral("Save All PCI and PCI Express Devices"), this);
    all_->setObjectName(QStringLiteral("saveAll"));
    all_->setDefault(true);
    current_ = new QPushButton(QStringLiteral("Save Current PCI or PCI Express Device"), this);
    current_->setObjectName(QStringLiteral("saveCurrent"));
    layout->addWidget(all_);
    layout->addWidget(current_);
    connect(all_, &QPushButton::clicked, this, [this] { done(PciTool::kSaveAll); });
    connect(current_, &QPushButton::clicked, this, [this] { done(PciTool::kSaveCurrent); });
}

CKvtPciView::CKvtPciView(const ToolContext& context, QWidget* parent)
    : ToolView(parent), host_(context.host) {
    setObjectName(QStringLiteral("CKvtPciView"));
    messages_ = std::make_unique<ViewMessages>(
        this, [this](std::string_view field) { return FieldWidget(field); },
        [this] { PushState(); });
    model_ = std::make_unique<PciTool>(*context.client, *messages_, PciDescriptions(), this);

    auto* grid = new QGridLayout;
    bus_ = MakeSelector(this, QStringLiteral("busSelector"), 256);
    device_ = MakeSelector(this, QStringLiteral("deviceSelector"), 32);
    function_ = MakeSelector(this, QStringLiteral("functionSelector"), 8);
    base_ = new QComboBox(this);
    base_->setObjectName(QStringLiteral("baseField"));
    base_->setEditable(true);
    for (const std::string& row : PciTool::BaseChoices()) base_->addItem(Q(row));
    base_->addItem(Q(std::string(kAutoBase)));
    base_->setCurrentIndex(8);
    base_->lineEdit()->setMaxLength(PciTool::kBaseTypingLimit);
    grid->addWidget(new QLabel(QStringLiteral("Bus No."), this), 0, 0);
    grid->addWidget(bus_, 1, 0);
    grid->addWidget(new QLabel(QStringLiteral("Device No."), this), 0, 1);
    grid->addWidget(device_, 1, 1);
    grid->addWidget(new QLabel(QStringLiteral("Func. No."), this), 0, 2);
    grid->addWidget(function_, 1, 2);
    grid->addWidget(new QLabel(QStringLiteral("Mem. Mapped Base Addr."), this), 0, 3);
    grid->addWidget(base_, 1, 3);
    both_ = new QRadioButton(QStringLiteral("Show both PCI and PCI Express devices"), this);
    pciOnly_ = new QRadioButton(QStringLiteral("Show only PCI devices"), this);
    expressOnly_ = new QRadioButton(QStringLiteral("Show only PCI Express devices"), this);
    both_->setChecked(true);
    auto* filters = new QVBoxLayout;
    filters->addWidget(both_);
    filters->addWidget(pciOnly_);
    filters->addWidget(expressOnly_);
    grid->addLayout(filters, 0, 4, 2, 1);
    grid->setColumnStretch(5, 1);

    deviceLabel_ = new QLabel(Q(model_->deviceListLabel()), this);
    deviceList_ = new QComboBox(this);
    deviceList_->setObjectName(QStringLiteral("deviceList"));
    deviceList_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    scan_ = new QPushButton(QStringLiteral("Scan all  devices"), this);
    refresh_ = new QPushButton(QStringLiteral("Refresh"), this);
    auto* listRow = new QHBoxLayout;
    listRow->addWidget(deviceList_, 1);
    listRow->addWidget(scan_);
    listRow->addWidget(refresh_);

    registerLabel_ = new QLabel(Q(model_->registerListLabel()), this);
    registers_ = new QTreeWidget(this);
    registers_->setObjectName(QStringLiteral("registerList"));
    registers_->setRootIsDecorated(false);
    registers_->setUniformRowHeights(true);
    registers_->setSelectionBehavior(QAbstractItemView::SelectRows);
    registers_->setSelectionMode(QAbstractItemView::SingleSelection);
    registers_->setHeaderLabels(
        {QStringLiteral("Offset"), QStringLiteral("Value (Hex)"), QStringLiteral("Description")});
    registers_->setColumnWidth(0, 50);
    registers_->setColumnWidth(1, 90);
    registers_->setColumnWidth(2, 200);
    registers_->headerItem()->setTextAlignment(0, Qt::AlignCenter);
    registers_->headerItem()->setTextAlignment(1, Qt::AlignCenter);

    capabilities_ = new QTreeWidget(this);
    capabilities_->setObjectName(QStringLiteral("capabilityTree"));
    capabilities_->setUniformRowHeights(true);
    capabilities_->setHeaderLabels(
        {QStringLiteral("Capability"), QStringLiteral("Value"), QStringLiteral("Register")});
    capabilities_->setColumnWidth(0, 240);
    capabilities_->setColumnWidth(1, 90);
    auto* split = new QSplitter(Qt::Horizontal, this);
    split->addWidget(registers_);
    split->addWidget(capabilities_);
    split->setStretchFactor(0, 1);
    split->setStretchFactor(1, 1);

    configAddress_ = new QLineEdit(this);
    configAddress_->setObjectName(QStringLiteral("configAddress"));
    configAddress_->setReadOnly(true);
    registerLine_ = new QLabel(this);
    registerLine_->setObjectName(QStringLiteral("registerLine"));
    value_ = MakeEntry(this, QStringLiteral("valueField"), PciTool::kValueTypingLimit);
    write_ = new QPushButton(QStringLiteral("Write"), this);
    id_ = MakeEntry(this, QStringLiteral("idField"), PciTool::kIdTypingLimit);
    find_ = new QPushButton(QStringLiteral("Find Next"), this);
    auto* editRow = new QHBoxLayout;
    editRow->addWidget(new QLabel(QStringLiteral("PCI Config Address"), this));
    editRow->addWidget(configAddress_);
    editRow->addWidget(new QLabel(QStringLiteral("Register Value (Hex)"), this));
    editRow->addWidget(value_);
    editRow->addWidget(write_);
    editRow->addSpacing(12);
    editRow->addWidget(new QLabel(QStringLiteral("DID/VID:"), this));
    editRow->addWidget(id_);
    editRow->addWidget(find_);
    editRow->addStretch(1);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(10, 10, 10, 10);
    outer->addLayout(grid);
    outer->addWidget(deviceLabel_);
    outer->addLayout(listRow);
    outer->addWidget(registerLabel_);
    outer->addWidget(split, 1);
    outer->addWidget(registerLine_);
    outer->addLayout(editRow);

    model_->SetProgress(
        [progress = std::make_shared<Progress>(this, QStringLiteral("Reading PCI devices..."))](
            uint32_t done, uint32_t total) { (*progress)(done, total); });

    connect(scan_, &QPushButton::clicked, this, [this] { Act([this] { model_->Scan(); }); });
    for (QRadioButton* filter : {both_, pciOnly_, expressOnly_}) {
        connect(filter, &QRadioButton::toggled, this, [this](bool on) {
            if (on) Act([this] { model_->FilterChanged(); });
        });
    }
    connect(deviceList_, &QComboBox::currentIndexChanged, this, [this](int row) {
        if (!pushing_) Act([this, row] { model_->SelectDeviceRow(row); });
    });
    for (QComboBox* selector : {bus_, device_, function_}) {
        connect(selector, &QComboBox::currentIndexChanged, this, [this] {
            if (!pushing_) Act([this] { model_->SelectorsChanged(); });
        });
    }
    connect(refresh_, &QPushButton::clicked, this, [this] { Act([this] { model_->Refresh(); }); });
    connect(registers_, &QTreeWidget::itemSelectionChanged, this, [this] {
        if (pushing_) return;
        QTreeWidgetItem* item = registers_->currentItem();
        const int row = item && item->isSelected() ? registers_->indexOfTopLevelItem(item) : -1;
        Act([this, row] { model_->SelectRegister(row); });
    });
    connect(registers_, &QTreeWidget::itemDoubleClicked, this, [this] {
        QList<QTreeWidgetItem*> selected = registers_->selectedItems();
        const int row = selected.isEmpty() ? -1 : registers_->indexOfTopLevelItem(selected[0]);
        Act([this, row] { model_->OpenBaseAddress(row); });
    });
    // A BAR of the decoded view: the window at its base, or why there is none.
    connect(capabilities_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
        if (item == nullptr || item->parent() == nullptr ||
            item->parent()->text(0) != QStringLiteral("BARs"))
            return;
        const uint32_t index = item->data(0, Qt::UserRole).toUInt();
        Act([this, index] { model_->OpenBar(index); });
    });
    connect(write_, &QPushButton::clicked, this, [this] { Act([this] { model_->Write(); }); });
    // Watch: the selected register of the shown function, plotted over time.
    watch_ = new QAction(QStringLiteral("Watch"), registers_);
    registers_->addAction(watch_);
    registers_->setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(watch_, &QAction::triggered, this, [this] {
        QList<QTreeWidgetItem*> selected = registers_->selectedItems();
        const int row = selected.isEmpty() ? -1 : registers_->indexOfTopLevelItem(selected[0]);
        if (!host_ || row < 0 || row >= static_cast<int>(model_->registerRows().size()) ||
            model_->bus < 0 || model_->device < 0 || model_->function < 0)
            return;
        WatchTarget target;
        target.kind = WatchKind::Pci;
        target.bus = static_cast<uint32_t>(model_->bus);
        target.device = static_cast<uint32_t>(model_->device);
        target.function = static_cast<uint32_t>(model_->function);
        target.offset = model_->registerRows()[static_cast<size_t>(row)].at & ~3u;
        host_->OpenWatch(target);
    });
    connect(find_, &QPushButton::clicked, this, [this] { Act([this] { model_->FindNext(); }); });
}

CKvtPciView::~CKvtPciView() = default;

QWidget* CKvtPciView::FieldWidget(std::string_view field) const {
    if (field == PciTool::kFieldBase) return base_;
    if (field == PciTool::kFieldValue) return value_;
    if (field == PciTool::kFieldId) return id_;
    return nullptr;
}

void CKvtPciView::OpenGroupIoAt(uint32_t firstPort, uint32_t count) {
    if (host_) host_->OpenGroupIoAt(firstPort, count);
}

void CKvtPciView::OpenMemoryDumpAt(uint32_t physicalAddress, uint32_t size) {
    if (host_) host_->OpenMemoryDumpAt(physicalAddress, size);
}

void CKvtPciView::PullFields() {
    model_->bus = bus_->currentIndex();
    model_->device = device_->currentIndex();
    model_->function = function_->currentIndex();
    model_->baseText = base_->currentText().toStdString();
    model_->filter = expressOnly_->isChecked() ? PciTool::kFilterExpress
                     : pciOnly_->isChecked()   ? PciTool::kFilterPci
                                               : PciTool::kFilterBoth;
    model_->valueText = value_->text().toStdString();
    model_->idText = id_->text().toStdString();
}

void CKvtPciView::PushState() {
    pushing_ = true;
    bus_->setCurrentIndex(model_->bus);
    device_->setCurrentIndex(model_->device);
    function_->setCurrentIndex(model_->function);
    deviceLabel_->setText(Q(model_->deviceListLabel()));
    const auto& rows = model_->deviceRows();
    bool same = deviceList_->count() == static_cast<int>(rows.size());
    for (int i = 0; same && i < deviceList_->count(); ++i) {
        same = deviceList_->itemText(i).toStdString() == rows[static_cast<size_t>(i)];
    }
    if (!same) {
        deviceList_->clear();
        int widest = 0;
        for (const std::string& row : rows) {
            deviceList_->addItem(Q(row));
            widest = std::max(widest, deviceList_->fontMetrics().horizontalAdvance(Q(row)));
        }
        deviceList_->view()->setMinimumWidth(widest + 30);
    }
    deviceList_->setCurrentIndex(model_->selectedDeviceRow());
    registerLabel_->setText(Q(model_->registerListLabel()));
    const auto& regs = model_->registerRows();
    bool sameRegs = registers_->topLevelItemCount() == static_cast<int>(regs.size());
    for (int i = 0; sameRegs && i < registers_->topLevelItemCount(); ++i) {
        const auto& r = regs[static_cast<size_t>(i)];
        QTreeWidgetItem* item = registers_->topLevelItem(i);
        sameRegs = item->text(0).toStdString() == r.offset &&
                   item->text(1).toStdString() == r.value &&
                   item->text(2).toStdString() == r.description;
    }
    if (!sameRegs) {
        registers_->clear();
        QList<QTreeWidgetItem*> items;
        for (const auto& r : regs) {
            auto* item = new QTreeWidgetItem({Q(r.offset), Q(r.value), Q(r.description)});
            item->setTextAlignment(0, Qt::AlignCenter);
            item->setTextAlignment(1, Qt::AlignCenter);
            items.append(item);
        }
        registers_->addTopLevelItems(items);
    }
    PushCapabilities();
    configAddress_->setText(Q(model_->configAddress()));
    registerLine_->setText(Q(model_->registerLine()));
    if (value_->text().toStdString() != model_->valueText) value_->setText(Q(model_->valueText));
    pushing_ = false;
}

void CKvtPciView::PushCapabilities() {
    const PciCapabilityList list = model_->shownCapabilities();
    const std::vector<PciBar>& bars = model_->shownBars();
    std::string text = PciCapabilitiesText(list) + PciBarsText(bars);
    if (text == capabilitiesShown_) return;
    capabilitiesShown_ = std::move(text);
    capabilities_->clear();
    QList<QTreeWidgetItem*> items;
    for (const PciCapability& cap : list.capabilities) {
        const std::string head = cap.extended ? Format("[%03X] %s", cap.offset, cap.name.c_str())
                                              : Format("[%02X] %s", cap.offset, cap.name.c_str());
        const std::string id =
            cap.extended ? Format("%04Xh v%u", cap.id, cap.version) : Format("%02Xh", cap.id);
        auto* item = new QTreeWidgetItem({Q(head), Q(id), Q(cap.key)});
        for (const PciCapField& f : cap.fields) {
            item->addChild(new QTreeWidgetItem({Q(f.name), Q(PciCapFieldValueText(f)),
                                                Q(Format("%s (%03Xh)", f.reg.c_str(), f.offset))}));
        }
        items.append(item);
    }
    for (const std::string& note : list.notes)
        items.append(new QTreeWidgetItem({QStringLiteral("note"), Q(note)}));
    if (!bars.empty()) {
        // One row per BAR, its index kept for a double-click.
        auto* branch = new QTreeWidgetItem({QStringLiteral("BARs")});
        for (const PciBar& bar : bars) {
            auto* item = new QTreeWidgetItem(
                {Q(Format("BAR%u %s", bar.index, PciBarKindText(bar).c_str())),
                 Q(Format("%llX", static_cast<unsigned long long>(bar.address))),
                 Q(Format("%s (%02Xh)", PciBarSizeText(bar.size).c_str(), bar.offset))});
            item->setData(0, Qt::UserRole, bar.index);
            branch->addChild(item);
        }
        items.append(branch);
    }
    capabilities_->addTopLevelItems(items);
    for (QTreeWidgetItem* item : items)
        if (item->text(0) == QStringLiteral("BARs")) item->setExpanded(true);
}

template <typename Fn>
void CKvtPciView::Act(Fn action) {
    PullFields();
    action();
    PushState();
}

void CKvtPciView::WriteReport(ReportStream& out) {
    PullFields();
    model_->WriteReport(out, [this] {
        CSavePciDlg dialog(this);
        return dialog.exec();
    });
    PushState();
}

}  // namespace kvt
