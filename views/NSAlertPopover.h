#pragma once
// Alerts shown in a popover under a view, one at a time: running an alert
// while another shows takes the other down (its completion waits) and keeps
// it; when a button ends the alert on show, its completion runs with 1000 +
// the button's index, its popover closes, and the alert taken down last
// shows again with its own view and completion. The popover closes only by a
// button or by another alert. An alert for a view that is not on screen shows
// nothing and never completes, yet still takes down the alert on show.
// Main thread only.

#include <functional>
#include <memory>

#include "platform/desktop/Alert.h"
#include "platform/desktop/Popover.h"

class QWidget;

namespace NSAlertPopover {

using Completion = std::function<void(int response)>;

void runAsPopoverForView(const std::shared_ptr<desktop::Alert>& alert, QWidget* view, Completion completion);
// The edge is not consulted: the popover goes below the view (above when there is no room).
void runAsPopoverForView(const std::shared_ptr<desktop::Alert>& alert, QWidget* view, desktop::Popover::Edge edge,
                         Completion completion);
// The buttons' action: ends alert as its button at buttonIndex does.
void stopSynchronousPopoverAlert(desktop::Alert& alert, int buttonIndex);
// Shows the alert taken down last again, if any.
void checkForPreviouslyShownAlerts();

// The popover alert shows in (or showed in last); null when it never ran.
desktop::Popover* parentPopover(const desktop::Alert& alert);

}  // namespace NSAlertPopover
