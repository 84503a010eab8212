// The clippings panel's detail popover and merge sheet.
#include "TLClippingsViewController.h"

#include <QGuiApplication>
#include <QScreen>
#include <QScrollBar>
#include <QTimer>

#include <algorithm>

#include "ViewController/TLClippingPopoverViewController.h"
#include "kit/Clipping.h"
#include "kit/TLInterfaceSound.h"
#include "platform/dispatch/Queue.h"
#include "views/TLMergeWindowController.h"

TLClippingsViewController::PopoverPlacement TLClippingsViewController::popoverPlacement(const QRect& screen,
                                                                                        const QRect& window) {
    const double left = window.x() - screen.x();
    const double right = (screen.x() + screen.width()) - (window.x() + window.width());
    PopoverPlacement placement;
    placement.onRight = right >= left;
    // A maximised or tiled window leaves no room beside it: the popover then
    // keeps a usable width and covers part of the window.
    placement.maxWidth = std::max(std::max(left, right) - kPopoverRoomMargin, kPopoverMinimumMaxWidth);
    return placement;
}

void TLClippingsViewController::dismissPresentedPopover() {
    if (presentedPopover_ && presentedPopover_->isShown()) presentedPopover_->performClose();
}

void TLClippingsViewController::previewClipping() {
    if (selectedClippings_.empty()) return;
    const uint64_t row = clippingsController().indexOfObject(selectedClippings_.front());
    if (row >= uint64_t(numberOfRows())) return;
    previewClippingAtIndex(static_cast<int>(row));
}

void TLClippingsViewController::previewClippingAtIndex(int row) {
    dismissPresentedPopover();
    // An edit the user has not settled keeps its popover.
    if (presentedPopover_ && presentedPopover_->isShown()) return;
    if (row < 0 || row >= tableView_->model()->rowCount()) return;
    const QModelIndex index = tableView_->model()->index(row, 0);
    const int before = tableView_->verticalScrollBar()->value();
    tableView_->scrollTo(index);
    QRect anchor = tableView_->visualRect(index).adjusted(kPreviewAnchorInset, 0, -kPreviewAnchorInset, 0);
    if (tableView_->viewport()->rect().contains(anchor) && tableView_->verticalScrollBar()->value() == before) {
        presentPopover(row, anchor);
        return;
    }
    later(kPreviewScrollDelay, [this, row] {
        if (row >= tableView_->model()->rowCount()) return;
        const QModelIndex index = tableView_->model()->index(row, 0);
        presentPopover(row, tableView_->visualRect(index).adjusted(kPreviewAnchorInset, 0, -kPreviewAnchorInset, 0));
    });
}

void TLClippingsViewController::presentPopover(int row, const QRect& anchor) {
    auto clipping = clippingAtRow(row);
    if (!clipping) return;
    QWidget* window = this->window();
    QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    const QRect screenFrame = screen ? screen->geometry() : QRect();
    const PopoverPlacement placement = popoverPlacement(screenFrame, window->frameGeometry());

    // A popover closed a moment ago may still be finishing its own close.
    if (presentedPopover_) {
        presentedPopover_->setDidClose(nullptr);
        presentedPopover_->close();
        presentedPopover_.reset();
    }
    auto popover = std::make_unique<desktop::Popover>();
    popover->setBehavior(desktop::Popover::Behavior::Transient);
    auto* controller = new TLClippingPopoverViewController;
    controller->setMaxWidth(placement.maxWidth);
    controller->setClipping(clipping);
    controller->setPopover(popover.get());
    controller->viewDidLoad();
    popover->setContentView(controller);
    popover->setContentSize(controller->preferredContentSize());
    popover->setBackgroundColor(controller->palette().color(QPalette::Window));
    popover->setShouldClose([controller](desktop::Popover& p) { return controller->popoverShouldClose(p); });
    popover->setDidShow([controller](desktop::Popover& p) { controller->popoverDidShow(p); });
    std::weak_ptr<TLClippingsViewController*> alive = self_;
    desktop::Popover* raw = popover.get();
    popover->setDidClose([alive, raw](desktop::Popover&) {
        // Let go once the close is over: it may come from inside the popover.
        dispatch::Queue::main()->async([alive, raw] {
            auto self = alive.lock();
            if (!self) return;
            TLClippingsViewController* panel = *self;
            if (panel->presentedPopover_.get() != raw || raw->isShown()) return;
            panel->presentedPopoverViewController_ = nullptr;
            panel->presentedPopover_.reset();
        });
    });
    presentedPopover_ = std::move(popover);
    presentedPopoverViewController_ = controller;
    presentedPopover_->showRelativeToRect(anchor, tableView_->viewport(),
                                          placement.onRight ? desktop::Popover::Edge::MaxX : desktop::Popover::Edge::MinX);
}

void TLClippingsViewController::mergeSelectedClippings() {
    if (selectedClippings_.size() < 2) {
        TLInterfaceSound::beep();
        return;
    }
    for (const auto& clipping : selectedClippings_) {
        const bool hasText = clipping->text() && !clipping->text()->empty();
        const bool hasURL = clipping->url() && !clipping->url()->empty();
        if (!hasText && !hasURL) {
            TLInterfaceSound::beep();
            return;
        }
    }
    beginMergeSheet(selectedClippings_);
}

void TLClippingsViewController::newTextClipping() {
    beginMergeSheet({});
}

void TLClippingsViewController::beginMergeSheet(std::vector<std::shared_ptr<Clipping>> clippings) {
    if (mergeWindowController_) return;  // one sheet at a time
    TLMergeWindowController::Configuration configuration;
    configuration.context = configuration_.context;
    configuration.pasteboardManager = configuration_.pasteboardManager;
    auto* sheet = new TLMergeWindowController(configuration, window());
    sheet->setAttribute(Qt::WA_DeleteOnClose, false);
    sheet->setSelectedClippings(std::move(clippings));
    mergeWindowController_ = sheet;
    std::weak_ptr<TLClippingsViewController*> alive = self_;
    sheet->beginSheetForWindow(window(), [alive, sheet] {
        sheet->deleteLater();
        auto self = alive.lock();
        if (self && (*self)->mergeWindowController_ == sheet) (*self)->mergeWindowController_ = nullptr;
    });
}
