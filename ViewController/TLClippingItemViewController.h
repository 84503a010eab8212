#pragma once
// One part of a clipping in the detail popover: one image, the text, or the
// link. A 48-px header (kind icon, title, options button; save and cancel
// while editing) lies over the body: the image (animated images play), or a
// read-only text view whose links are marked. The Options menu opens the link,
// edits the text or link in place, transforms the text and shares the item;
// Ctrl+S or the save button stores the edit.
//
// The text view is filled only as plain text: markup in a clipping shows as
// the characters it is made of and loads nothing. A long text is filled in
// pieces from the event loop, so opening it never holds the interface up.
//
// A save writes the clipping first and removes its other representations (the
// asset files and their Asset rows) only once the save succeeded; a failed
// save leaves everything as it was and the item in edit mode.
//
// Main thread only.
#include <QImage>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/desktop/Menu.h"
#include "platform/desktop/SharingServices.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Result.h"

class Clipping;
class QLabel;
class QMovie;
class QTextEdit;
class QToolButton;
class TLClippingItemViewController;
class TLView;
namespace desktop {
class Popover;
}
namespace store {
class Context;
}

// Hears an item's size and edit state (the popover that holds it).
class TLClippingItemViewControllerDelegate {
public:
    virtual ~TLClippingItemViewControllerDelegate() = default;
    virtual void clippingItemViewControllerSizeDidChange(TLClippingItemViewController&) {}
    virtual void clippingItemViewControllerSizeDidBeginEditing(TLClippingItemViewController&) {}
    virtual void clippingItemViewControllerSizeDidEndEditing(TLClippingItemViewController&) {}
};

class TLClippingItemViewController : public QWidget {
public:
    static constexpr int kHeaderHeight = 48;
    static constexpr double kTextInset = 15;
    static constexpr int kFontSize = 14;
    static constexpr double kLineSpacing = 5;
    static constexpr int kOptionsMenuWidth = 160;
    // Links are looked for in this many characters at the start of a text.
    static constexpr qsizetype kLinkDetectionLength = 100000;
    // A text longer than this is filled from the event loop, in pieces of
    // kFillPieceLength, one in the first turn and then as many a turn as fit
    // in kFillTurnMilliseconds.
    static constexpr qsizetype kFillInPiecesAbove = 256 * 1024;
    static constexpr qsizetype kFillPieceLength = 16 * 1024;
    static constexpr int kFillTurnMilliseconds = 12;

    // A found link: where it starts in the text, its length.
    struct Link {
        qsizetype start = 0;
        qsizetype length = 0;
        bool operator==(const Link&) const = default;
    };
    // The links with a scheme and a host among the first kLinkDetectionLength
    // characters of text.
    static std::vector<Link> detectLinks(const QString& text);

    // The text transforms, from the stored text.
    static QString removeLeadingWhitespace(const QString& text);
    static QString removeTrailingWhitespace(const QString& text);
    static QString removeExtraWhitespace(const QString& text);
    static QString capitalizedString(const QString& text);

    explicit TLClippingItemViewController(QWidget* parent = nullptr);
    ~TLClippingItemViewController() override;

    // --- Set before the view loads.
    const QString& itemHeaderText() const { return itemHeaderText_; }
    void setItemHeaderText(QString text) { itemHeaderText_ = std::move(text); }
    const std::optional<QString>& itemText() const { return itemText_; }
    void setItemText(std::optional<QString> text) { itemText_ = std::move(text); }
    const std::optional<QString>& itemURL() const { return itemURL_; }
    void setItemURL(std::optional<QString> url) { itemURL_ = std::move(url); }
    const QImage& itemImage() const { return itemImage_; }
    void setItemImage(QImage image) { itemImage_ = std::move(image); }
    int64_t itemImageIndex() const { return itemImageIndex_; }
    void setItemImageIndex(int64_t index) { itemImageIndex_ = index; }
    const std::string& itemImageType() const { return itemImageType_; }
    void setItemImageType(std::string type) { itemImageType_ = std::move(type); }
    // The file the image was read from (an animated one plays from it).
    const QString& itemImagePath() const { return itemImagePath_; }
    void setItemImagePath(QString path) { itemImagePath_ = std::move(path); }
    const std::shared_ptr<Clipping>& clipping() const { return clipping_; }
    void setClipping(std::shared_ptr<Clipping> clipping) { clipping_ = std::move(clipping); }
    TLClippingItemViewControllerDelegate* delegate() const { return delegate_; }
    void setDelegate(TLClippingItemViewControllerDelegate* delegate) { delegate_ = delegate; }
    desktop::Popover* popover() const { return popover_; }
    void setPopover(desktop::Popover* popover) { popover_ = popover; }
    // Saves the clipping's context (a test puts a failing save in its place).
    void setSaveContext(std::function<foundation::Result<void>(store::Context&)> save) { saveContext_ = std::move(save); }
    // The greatest height the item takes; a longer text scrolls in its own view.
    void setMaxHeight(int height) { maxHeight_ = height; }

    // Builds the header and the body from the properties.
    void viewDidLoad();

    // --- State.
    // The item's height, resized for a text or link as it lays out.
    int heightConstraint() const { return heightConstraint_; }
    void setHeightConstraint(int height);
    bool popped() const { return popped_; }
    void popoverDidShow() { popped_ = true; }
    bool isEditing() const;
    bool isFilling() const { return fillOffset_ >= 0; }
    // The header's distance below the item's top (pinned while the item scrolls past).
    int headerViewTopConstraint() const { return headerTop_; }
    void setHeaderViewTopConstraint(int offset);

    // --- Outlets.
    TLView* headerView() const { return headerView_; }
    QLabel* headerTextField() const { return headerTextField_; }
    QLabel* headerIconView() const { return headerIconView_; }
    QToolButton* headerAccessoryButton() const { return headerAccessoryButton_; }
    QLabel* imageView() const { return imageView_; }
    QMovie* movie() const { return movie_; }
    QTextEdit* textView() const { return textView_; }
    QToolButton* saveButton() const { return saveButton_; }
    QToolButton* cancelButton() const { return cancelButton_; }

    // --- Actions.
    // The Options menu (built on each call); null before any popover showed.
    std::shared_ptr<desktop::Menu> optionsMenu();
    void showOptions();
    void openLink();
    void edit();
    void saveChanges();
    // done hears whether the edit was stored (or had nothing to store); a
    // refusal or a failed save leaves the item in edit mode.
    void saveChanges(std::function<void(bool saved)> done);
    void cancelChanges();
    void copyItem();
    void shareWithService(desktop::MenuItem& sender);
    void toUpperCase();
    void toLowerCase();
    void titleCase();
    void wordCase();
    void removeLeadingWhitespace();
    void removeTrailingWhitespace();
    void removeExtraWhitespace();
    void editWithText(const QString& text);
    void updateTextItemHeightConstraint();
    void updateAppearance();
    // What a share hands over: the image, else the link, else the text.
    std::vector<desktop::SharingItem> sharingItems() const;

protected:
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void layOutSubviews();
    void textViewDidChangeSelection();
    void textDidChange();
    void markLinks();
    void fillText(const QString& text);
    void fillNextPiece();
    void setEditingButtonsShown(bool shown);
    void tellEditState();
    void showRefusal(const char* message);
    std::optional<QString> storedValue() const;
    foundation::Result<void> save(store::Context& context);
    void saveText(const QString& text);
    void saveURL(const QString& url);

    QString itemHeaderText_;
    std::optional<QString> itemText_;
    std::optional<QString> itemURL_;
    QImage itemImage_;
    int64_t itemImageIndex_ = 0;
    std::string itemImageType_;
    QString itemImagePath_;
    std::shared_ptr<Clipping> clipping_;
    TLClippingItemViewControllerDelegate* delegate_ = nullptr;
    desktop::Popover* popover_ = nullptr;
    std::function<foundation::Result<void>(store::Context&)> saveContext_;
    int maxHeight_ = 0;
    int heightConstraint_ = 100;
    int headerTop_ = 0;
    bool popped_ = false;
    bool loaded_ = false;
    bool changingText_ = false;  // our own changes of the text, which start no edit
    qsizetype fillOffset_ = -1;  // where the next piece of a long text starts; -1 when filled
    bool fillLinksMarked_ = false;
    QString fillText_;

    TLView* headerView_ = nullptr;
    QLabel* headerIconView_ = nullptr;
    QLabel* headerTextField_ = nullptr;
    QToolButton* headerAccessoryButton_ = nullptr;
    QLabel* imageView_ = nullptr;
    QMovie* movie_ = nullptr;
    QTextEdit* textView_ = nullptr;
    QToolButton* saveButton_ = nullptr;
    QToolButton* cancelButton_ = nullptr;
    std::shared_ptr<desktop::Menu> optionsMenu_;
    std::shared_ptr<desktop::SharingServiceDelegate> shareDelegate_;
    std::vector<foundation::ObserverRegistration> observers_;
    // Work queued elsewhere holds this weakly; it ends with the item.
    std::shared_ptr<TLClippingItemViewController*> self_;
};
