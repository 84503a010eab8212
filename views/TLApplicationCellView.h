#pragma once
// One row of the Rules pane: the application's icon, its name and the pop-up
// of what becomes of what it copies. Choosing an item runs updateRule with
// the item's index. Main thread.
#include <QWidget>

#include <functional>

class QComboBox;
class QLabel;

class TLApplicationCellView : public QWidget {
public:
    explicit TLApplicationCellView(QWidget* parent = nullptr);

    QLabel* imageView() const { return imageView_; }
    QLabel* textField() const { return textField_; }
    QComboBox* optionsButton() const { return optionsButton_; }

    const std::function<void(int index)>& updateRule() const { return updateRule_; }
    void setUpdateRule(std::function<void(int index)> block) { updateRule_ = std::move(block); }

    // The pop-up's action.
    void optionSelected();

private:
    QLabel* imageView_;
    QLabel* textField_;
    QComboBox* optionsButton_;
    std::function<void(int index)> updateRule_;
};
