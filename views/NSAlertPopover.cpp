#include "NSAlertPopover.h"

#include <QWidget>

#include <map>
#include <vector>

namespace NSAlertPopover {

namespace {

// What is kept with each alert that ran in a popover.
struct Record {
    Completion completion;
    std::unique_ptr<desktop::Popover> parentPopover;
    QPointer<QWidget> targetView;
};

struct State {
    std::map<const desktop::Alert*, Record> records;
    // Alerts taken down by a later one, the last taken down last.
    std::vector<std::shared_ptr<desktop::Alert>> displaced;
    std::shared_ptr<desktop::Alert> showingAlert;
    desktop::Popover* showingPopover = nullptr;
};

// Never destroyed: popovers cannot outlive the application object, which goes first.
State& state() {
    static State* shared = new State;
    return *shared;
}

}  // namespace

void runAsPopoverForView(const std::shared_ptr<desktop::Alert>& alert, QWidget* view, Completion completion) {
    runAsPopoverForView(alert, view, desktop::Popover::Edge::MaxY, std::move(completion));
}

void runAsPopoverForView(const std::shared_ptr<desktop::Alert>& alert, QWidget* view, desktop::Popover::Edge,
                         Completion completion) {
    if (!alert) return;
    State& s = state();
    Record& record = s.records[alert.get()];
    record.completion = std::move(completion);
    record.targetView = view;
    record.parentPopover = std::make_unique<desktop::Popover>();
    record.parentPopover->setBehavior(desktop::Popover::Behavior::ApplicationDefined);

    if (s.showingAlert) {
        // Kept once: the displaced alert shows no more, so nothing is "showing"
        // until this one shows, and a third alert finds nothing to displace twice.
        std::shared_ptr<desktop::Alert> displaced = std::move(s.showingAlert);
        s.showingAlert = nullptr;
        s.showingPopover = nullptr;
        displaced->withdraw();
        if (auto it = s.records.find(displaced.get()); it != s.records.end() && it->second.parentPopover)
            it->second.parentPopover->close();
        s.displaced.push_back(std::move(displaced));
    }

    if (!view || !view->isVisible()) return;

    desktop::Alert* raw = alert.get();
    alert->beginInHost(*record.parentPopover, [raw](int response) {
        stopSynchronousPopoverAlert(*raw, response - desktop::Alert::kFirstButtonReturn);
    });
    record.parentPopover->showRelativeToRect(view->rect(), view, desktop::Popover::Edge::MaxY);
    s.showingAlert = alert;
    s.showingPopover = record.parentPopover.get();
}

void stopSynchronousPopoverAlert(desktop::Alert& alert, int buttonIndex) {
    State& s = state();
    auto it = s.records.find(&alert);
    if (it == s.records.end()) return;
    // Held while its completion runs, which may let go of the caller's last reference.
    std::shared_ptr<desktop::Alert> keep = s.showingAlert.get() == &alert ? s.showingAlert : nullptr;
    Completion completion = it->second.completion;
    if (completion) completion(desktop::Alert::kFirstButtonReturn + buttonIndex);
    it = s.records.find(&alert);
    if (it != s.records.end()) {
        if (it->second.parentPopover) it->second.parentPopover->close();
        // Answered: nothing of it is needed again (its window goes once the press is done).
        s.records.erase(it);
    }
    s.showingAlert = nullptr;
    s.showingPopover = nullptr;
    checkForPreviouslyShownAlerts();
}

void checkForPreviouslyShownAlerts() {
    State& s = state();
    if (s.displaced.empty()) return;
    std::shared_ptr<desktop::Alert> previous = std::move(s.displaced.back());
    s.displaced.pop_back();
    Record& record = s.records[previous.get()];
    runAsPopoverForView(previous, record.targetView, record.completion);
}

desktop::Popover* parentPopover(const desktop::Alert& alert) {
    auto it = state().records.find(&alert);
    return it == state().records.end() ? nullptr : it->second.parentPopover.get();
}

}  // namespace NSAlertPopover
