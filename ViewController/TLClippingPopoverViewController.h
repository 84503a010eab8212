#pragma once
// The detail popover's content: one clipping in full, as items stacked in one
// scrolling column (each image, then the text, then the link), each with its
// own header that stays at the top of the visible area while its item scrolls
// past. The popover takes the width of its widest image (within maxWidth, at
// least 480) and the height of its items, between 150 and the screen's
// visible height less 40. Space closes it; while an item holds unsaved edits
// it does not close until the user chose "Save" (and the save succeeded) or
// "Discard".
//
// Image files are read within a memory bound and decoded at the size shown:
// a missing, empty or undecodable file, or one too large to hold, gives no
// item and no message.
//
// Main thread only.
#include <QImage>
#include <QSize>
#include <QString>
#include <QWidget>

#include <memory>
#include <string>
#include <vector>

#include "ViewController/TLClippingItemViewController.h"

class Clipping;
class QScrollArea;
namespace desktop {
class Alert;
class Popover;
}  // namespace desktop

class TLClippingPopoverViewController : public QWidget, public TLClippingItemViewControllerDelegate {
public:
    static constexpr double kDefaultWidth = 480;
    static constexpr double kMinimumHeight = 150;
    static constexpr double kScreenMargin = 40;
    static constexpr int kDefaultTextItemHeight = 100;
    // The most bytes an image's pixels may take to be shown.
    static constexpr int kImageAllocationLimitMiB = 256;

    // The popover's width for images of these sizes: the last wider than 480
    // decides, capped at maxWidth; 480 when none is wider.
    static double popoverWidth(const std::vector<QSize>& imageSizes, double maxWidth);
    // An image item's height in a popover of width W: the image scaled down
    // to W (never up), its header above, at least 150.
    static int imageItemHeight(const QSize& imageSize, double width);
    // How far a header moves down to stay at the top of the visible area, for
    // an item at itemTop of itemHeight, with visibleTop the first row shown.
    static int headerOffset(int visibleTop, int itemTop, int itemHeight);
    // "1 character", "12 characters".
    static QString charactersText(qsizetype length);

    explicit TLClippingPopoverViewController(QWidget* parent = nullptr);
    ~TLClippingPopoverViewController() override;

    const std::shared_ptr<Clipping>& clipping() const { return clipping_; }
    void setClipping(std::shared_ptr<Clipping> clipping) { clipping_ = std::move(clipping); }
    double maxWidth() const { return maxWidth_; }
    void setMaxWidth(double width) { maxWidth_ = width; }
    desktop::Popover* popover() const { return popover_; }
    void setPopover(desktop::Popover* popover);
    // Saves the clipping's context for the items (a test puts a failing save in its place).
    void setSaveContext(std::function<foundation::Result<void>(store::Context&)> save) { saveContext_ = std::move(save); }

    QScrollArea* scrollView() const { return scrollView_; }
    QWidget* stackView() const { return stackView_; }
    const std::vector<TLClippingItemViewController*>& stackViewControllers() const { return stackViewControllers_; }
    TLClippingItemViewController* editingItemViewController() const { return editingItemViewController_; }
    bool isEditing() const { return editingItemViewController_ != nullptr; }
    QSize preferredContentSize() const { return preferredContentSize_; }
    // The close guard's alert while it shows; null otherwise.
    desktop::Alert* closeGuardAlert() const { return closeGuardAlert_.get(); }

    // Builds the view and the items (once).
    void viewDidLoad();
    void loadClippingItems();
    void updatePreferredContentSize();
    void boundsDidChange();

    // The popover's hooks.
    void popoverDidShow(desktop::Popover& popover);
    bool popoverShouldClose(desktop::Popover& popover);

    void clippingItemViewControllerSizeDidChange(TLClippingItemViewController& item) override;
    void clippingItemViewControllerSizeDidBeginEditing(TLClippingItemViewController& item) override;
    void clippingItemViewControllerSizeDidEndEditing(TLClippingItemViewController& item) override;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    TLClippingItemViewController* makeItem();
    int heightLimit() const;
    void pushContentSize();

    std::shared_ptr<Clipping> clipping_;
    double maxWidth_ = kDefaultWidth;
    desktop::Popover* popover_ = nullptr;
    std::function<foundation::Result<void>(store::Context&)> saveContext_;
    QScrollArea* scrollView_ = nullptr;
    QWidget* stackView_ = nullptr;
    std::vector<TLClippingItemViewController*> stackViewControllers_;
    TLClippingItemViewController* editingItemViewController_ = nullptr;
    QSize preferredContentSize_;
    std::shared_ptr<desktop::Alert> closeGuardAlert_;
    bool loaded_ = false;
    bool updatingSize_ = false;
};
