#pragma once
// The viewport of a scrolling view (QScrollArea::setViewport). Its
// coordinates start at the top left, as all of Qt's do, so it adds nothing to
// a plain widget; it keeps the browser's view classes whole. Main queue only.
#include <QWidget>

class TLClipView : public QWidget {
public:
    explicit TLClipView(QWidget* parent = nullptr) : QWidget(parent) {}
    static constexpr bool isFlipped() { return true; }
};
