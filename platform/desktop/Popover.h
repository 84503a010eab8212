#pragma once
// A popover: a frameless window beside an anchor rectangle of a view, on the
// anchor's right (max-X), left (min-X), bottom (max-Y) or top (min-Y) edge,
// with an arrow pointing at the anchor. It goes to the opposite edge when the
// preferred one has no room, and is kept on the screen. A transient popover
// closes on a press anywhere outside it in the application, on Escape and
// when the application loses the keyboard, unless its should-close hook says
// no; an application-defined one closes only when told. It is also an alert
// host: an alert begun in it covers its content, which grows to fit.
// Main thread.

#include <functional>
#include <memory>

#include <QColor>
#include <QPointer>
#include <QRect>
#include <QSize>

#include "Alert.h"

class QWidget;

namespace desktop {

class Popover : public AlertHost {
public:
    enum class Edge { MinX, MinY, MaxX, MaxY };
    enum class Behavior { ApplicationDefined, Transient };
    using Hook = std::function<void(Popover&)>;
    using ShouldClose = std::function<bool(Popover&)>;

    // The arrow's length out of the body, and its width at the base.
    static constexpr int kArrowLength = 10;
    static constexpr int kArrowWidth = 20;

    Popover();
    ~Popover() override;
    Popover(const Popover&) = delete;
    Popover& operator=(const Popover&) = delete;

    Behavior behavior() const { return behavior_; }
    void setBehavior(Behavior behavior) { behavior_ = behavior; }

    // The popover takes the widget over; it fills the popover's body.
    void setContentView(QWidget* content);
    QWidget* contentView() const { return content_; }
    // The body's size; without one the content's size hint.
    QSize contentSize() const;
    void setContentSize(const QSize& size);
    // The colour of the body and arrow; the window's palette colour when invalid.
    void setBackgroundColor(const QColor& color);

    // Shows the popover at rect (in view's coordinates). Nothing shows for a
    // view that is null or not visible.
    void showRelativeToRect(const QRect& rect, QWidget* view, Edge preferredEdge);
    bool isShown() const;
    // The edge the popover shows on (the preferred one, or its opposite).
    Edge shownEdge() const { return shownEdge_; }
    // Asks the should-close hook, then closes.
    void performClose();
    // Closes at once.
    void close();

    // The popover's own window (its frame: body and arrow).
    QWidget* window() const;

    void setShouldClose(ShouldClose hook) { shouldClose_ = std::move(hook); }
    void setDidShow(Hook hook) { didShow_ = std::move(hook); }
    void setDidClose(Hook hook) { didClose_ = std::move(hook); }

    // The shown popover whose window holds widget, or null.
    static Popover* popoverForWidget(const QWidget* widget);

    QWidget* alertContainer() override;
    void alertDidShow(Alert& alert) override;

    class Frame;

private:
    friend class Frame;
    void place();
    bool isOutside(const QWidget* widget) const;

    std::unique_ptr<Frame> frame_;
    QPointer<QWidget> content_;
    QSize contentSize_;
    Behavior behavior_ = Behavior::Transient;
    Edge preferredEdge_ = Edge::MaxY;
    Edge shownEdge_ = Edge::MaxY;
    QPointer<QWidget> anchorView_;
    QRect anchorRect_;
    ShouldClose shouldClose_;
    Hook didShow_;
    Hook didClose_;
};

}  // namespace desktop
