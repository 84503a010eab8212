#pragma once
// The panel's footer text: a label that lets every mouse event through to
// the view beneath it, so the footer as a whole takes the clicks. Main queue only.
#include <QLabel>

class TLFooterTextField : public QLabel {
public:
    explicit TLFooterTextField(QWidget* parent = nullptr);
};
