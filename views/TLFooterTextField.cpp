#include "TLFooterTextField.h"

TLFooterTextField::TLFooterTextField(QWidget* parent) : QLabel(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setTextFormat(Qt::PlainText);
}
