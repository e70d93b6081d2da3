// The search panel shared by the Memory Dump and Hex Viewer/Editor windows: the text with its
// history, "ASCII Mode" / "HEX Mode", "Case sensitive" and "Search".
#pragma once

#include <QWidget>

#include "tools/hexview/search_panel.h"

class QComboBox;
class QRadioButton;
class QCheckBox;
class QPushButton;

namespace kvt {

class SearchBar : public QWidget {
    Q_OBJECT
  public:
    SearchBar(SearchPanel& panel, QWidget* parent = nullptr);
    void PullFields();   // texts and choices into the panel
    void PushHistory();  // the panel's history into the drop-down, newest on top, selected

    QComboBox* text() const { return text_; }
    QRadioButton* asciiMode() const { return ascii_; }
    QRadioButton* hexMode() const { return hex_; }
    QCheckBox* caseSensitive() const { return case_; }
    QPushButton* searchButton() const { return search_; }

  signals:
    void searchClicked();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    SearchPanel& panel_;
    QComboBox* text_;
    QRadioButton* ascii_;
    QRadioButton* hex_;
    QCheckBox* case_;
    QPushButton* search_;
};

}  // namespace kvt
