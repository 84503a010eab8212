#pragma once
// An alert: a message, an informative text and buttons. Button i answers
// kFirstButtonReturn + i; the first is the default (Return) and sits at the
// right end. Shown three ways:
//   runModal()               application-modal: every other window waits;
//   beginModal               application-modal too, but returns at once;
//   beginSheetModalForWindow a sheet on one window: window-modal, placed 60 px
//                            below the window's top; the window reports it in
//                            attachedSheet() until it closes;
//   beginInHost              inside a host (a popover), covering its content.
// Main thread.

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QDialog;
class QWidget;

namespace desktop {

class Alert;

// A surface an alert can show inside of (a popover has no room for a window).
class AlertHost {
public:
    virtual ~AlertHost();
    // The widget the alert covers while it shows.
    virtual QWidget* alertContainer() = 0;
    virtual void alertDidShow(Alert&) {}
    virtual void alertDidClose(Alert&) {}
};

class Alert {
public:
    enum class Style { Warning, Informational, Critical };
    static constexpr int kFirstButtonReturn = 1000;
    // The offset of a sheet below its window's top edge.
    static constexpr int kSheetOffset = 60;

    using Completion = std::function<void(int response)>;

    Alert();
    ~Alert();

    Style alertStyle() const { return style_; }
    void setAlertStyle(Style style) { style_ = style; }
    const std::string& messageText() const { return messageText_; }
    void setMessageText(std::string text) { messageText_ = std::move(text); }
    const std::string& informativeText() const { return informativeText_; }
    void setInformativeText(std::string text) { informativeText_ = std::move(text); }
    // The first button added is the default one; without any, the alert shows "OK".
    void addButtonWithTitle(std::string title) { buttons_.push_back(std::move(title)); }
    const std::vector<std::string>& buttonTitles() const { return buttons_; }

    // Blocks until a button is pressed; answers its response.
    int runModal();
    // As runModal(), without waiting: completion runs with the response when
    // a button is pressed (for callers that must not hold their caller, such
    // as a global hotkey's action).
    void beginModal(Completion completion);
    // Returns at once; completion runs with the response when a button is pressed.
    void beginSheetModalForWindow(QWidget* window, Completion completion);
    void beginInHost(AlertHost& host, Completion completion);

    // Takes the alert down without an answer: no completion runs, and the
    // alert may be begun again (an alert another one displaces).
    void withdraw();

    // Whether this alert is up now.
    bool isShowing() const;
    // The widget showing this alert (a dialog, or a panel inside a host); null when not showing.
    QWidget* widget() const;

    // The sheet attached to window, or null.
    static Alert* attachedSheet(const QWidget* window);
    // Presses button index of the alert shown last (tests answer alerts with
    // it); false when no alert shows or it has no such button.
    static bool answerShown(int index);

    struct Panel;  // the widget an alert shows in

private:
    void finish(int response);
    // The application-modal dialog of runModal() and beginModal(), not yet shown.
    QDialog* makeModalDialog(Completion completion);

    Style style_ = Style::Warning;
    std::string messageText_;
    std::string informativeText_;
    std::vector<std::string> buttons_;
    std::unique_ptr<Panel> panel_;
};

}  // namespace desktop
