#include "tools/hexview/view/search_bar.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

namespace kvt {

SearchBar::SearchBar(SearchPanel& panel, QWidget* parent) : QWidget(parent), panel_(panel) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    text_ = new QComboBox(this);
    text_->setObjectName(QStringLiteral("searchText"));
    text_->setEditable(true);
    text_->setInsertPolicy(QComboBox::NoInsert);
    text_->lineEdit()->setMaxLength(static_cast<int>(SearchPanel::kMaxText));
    text_->setMinimumWidth(160);
    ascii_ = new QRadioButton(QStringLiteral("ASCII Mode"), this);
    ascii_->setObjectName(QStringLiteral("asciiMode"));
    hex_ = new QRadioButton(QStringLiteral("HEX Mode"), this);
    hex_->setObjectName(QStringLiteral("hexMode"));
    case_ = new QCheckBox(QStringLiteral("Case sensitive"), this);
    case_->setObjectName(QStringLiteral("caseSensitive"));
    search_ = new QPushButton(QStringLiteral("Search"), this);
    search_->setObjectName(QStringLiteral("search"));
    search_->setEnabled(false);
    ascii_->setChecked(true);
    row->addWidget(text_, 1);
    row->addWidget(ascii_);
    row->addWidget(hex_);
    row->addWidget(case_);
    row->addWidget(search_);
    // HEX Mode has no case.
    connect(hex_, &QRadioButton::toggled, this, [this](bool on) { case_->setEnabled(!on); });
    connect(search_, &QPushButton::clicked, this, &SearchBar::searchClicked);
    text_->lineEdit()->installEventFilter(this);
}

bool SearchBar::eventFilter(QObject* watched, QEvent* event) {
    // Enter in the field searches as the button does (while it is enabled), once: the key
    // goes no further.
    if (watched == text_->lineEdit() && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            if (search_->isEnabled()) emit searchClicked();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void SearchBar::PullFields() {
    // One byte per character, as the control writes a typed character: "é" is E9h.
    panel_.text = text_->currentText().toLatin1().toStdString();
    panel_.hexMode = hex_->isChecked();
    panel_.caseSensitive = case_->isChecked();
}

void SearchBar::PushHistory() {
    QSignalBlocker block(text_);
    text_->clear();
    for (const std::string& entry : panel_.history()) {
        text_->addItem(QString::fromLatin1(entry.data(), static_cast<qsizetype>(entry.size())));
    }
    text_->setCurrentIndex(0);
    text_->setEditText(
        QString::fromLatin1(panel_.text.data(), static_cast<qsizetype>(panel_.text.size())));
}

}  // namespace kvt
