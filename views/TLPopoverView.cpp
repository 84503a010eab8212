#include "TLPopoverView.h"

#include <QEvent>

#include "kit/NSColorTavloColors.h"
#include "kit/TavloKit.h"

TLPopoverView::TLPopoverView(QWidget* parent) : TLView(parent) {
    if (parent) viewDidMoveToWindow();
}

TLPopoverView::~TLPopoverView() {
    if (window_) window_->removeEventFilter(this);
    delete backdrop_.data();
}

bool TLPopoverView::event(QEvent* event) {
    // Qt tells a widget of a new parent and of being shown, not of an ancestor
    // moving to another window; showing catches that.
    if (event->type() == QEvent::ParentChange || event->type() == QEvent::Show) viewDidMoveToWindow();
    return TLView::event(event);
}

bool TLPopoverView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window_ && event->type() == QEvent::Resize && backdrop_) backdrop_->setGeometry(window_->rect());
    return false;
}

void TLPopoverView::viewDidMoveToWindow() {
    QWidget* window = this->window();
    if (window == this || window == window_) return;
    if (window_) window_->removeEventFilter(this);
    delete backdrop_.data();
    window_ = window;
    backdrop_ = new TLView(window);
    backdrop_->setObjectName(QStringLiteral("TLPopoverViewBackdrop"));
    backdrop_->setBackgroundColor(TavloKit::isDarkMode() ? NSColorTavloColors::darkClippingsViewBackgroundColor()
                                                         : NSColorTavloColors::lightClippingsViewBackgroundColor());
    backdrop_->setAttribute(Qt::WA_TransparentForMouseEvents);
    backdrop_->setGeometry(window->rect());
    backdrop_->lower();
    backdrop_->show();
    window->installEventFilter(this);
}
