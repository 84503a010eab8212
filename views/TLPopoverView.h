#pragma once
// The content view of a popover: once in a window, it lays a view of the
// panel's background colour over the whole of that window (the popover's
// frame, arrow included) beneath everything else, so the popover takes the
// panel's colour. Main queue only.
#include <QPointer>

#include "TLView.h"

class TLPopoverView : public TLView {
public:
    explicit TLPopoverView(QWidget* parent = nullptr);
    ~TLPopoverView() override;

    // The view laid under the window's content; null before the view was in a window.
    TLView* backdrop() const { return backdrop_; }

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void viewDidMoveToWindow();

    QPointer<QWidget> window_;
    QPointer<TLView> backdrop_;
};
