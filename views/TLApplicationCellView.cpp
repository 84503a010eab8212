#include "TLApplicationCellView.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>

TLApplicationCellView::TLApplicationCellView(QWidget* parent)
    : QWidget(parent), imageView_(new QLabel(this)), textField_(new QLabel(this)), optionsButton_(new QComboBox(this)) {
    setObjectName(QStringLiteral("TLApplicationCell"));
    imageView_->setFixedSize(32, 32);
    textField_->setTextFormat(Qt::PlainText);
    optionsButton_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(8, 4, 8, 4);
    row->addWidget(imageView_);
    row->addWidget(textField_, 1);
    row->addWidget(optionsButton_);
    connect(optionsButton_, &QComboBox::activated, this, [this] { optionSelected(); });
}

void TLApplicationCellView::optionSelected() {
    if (updateRule_) updateRule_(optionsButton_->currentIndex());
}
