#pragma once
// A sheet on the browser window with one editable text, for two uses. With
// no clippings it makes a new clipping of what the user types ("Save"): a web
// address becomes a link clipping (its page title fetched), anything else a
// text clipping, and it goes on the clipboard. With clippings it shows their
// contents joined; "Merge" writes that text into the first of them and
// deletes the others, in one save, their files going only once it succeeded.
// An empty text is refused with a beep and the sheet stays. Escape cancels;
// Ctrl+M and Ctrl+S confirm.
//
// Main thread only.
#include <QDialog>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

#include "platform/foundation/Result.h"

class Clipping;
class List;
class QPushButton;
class QTextEdit;
class TLPasteboardManager;
namespace store {
class Context;
}

class TLMergeWindowController : public QDialog {
public:
    static constexpr int kFontSize = 14;
    static constexpr int kInsetWidth = 10;
    static constexpr int kInsetHeight = 20;
    static constexpr const char* kDeviceName = "OSX";

    struct Configuration {
        // Where a new clipping is made; none: the store's main context.
        std::shared_ptr<store::Context> context;
        // Fetches a new link's title and puts a new clipping on the clipboard;
        // none: the shared one.
        std::shared_ptr<TLPasteboardManager> pasteboardManager;
        // Saves a context (a test puts a failing save in its place).
        std::function<foundation::Result<void>(store::Context&)> saveContext;
    };

    // The sheet's starting text for these clippings: each one's page title and
    // a blank line when it has one, then its link, or its text followed by a
    // blank line and its source; three newlines between clippings.
    static QString startingText(const std::vector<std::shared_ptr<Clipping>>& clippings);

    explicit TLMergeWindowController(Configuration configuration = {}, QWidget* parent = nullptr);
    ~TLMergeWindowController() override;

    const std::vector<std::shared_ptr<Clipping>>& selectedClippings() const { return selectedClippings_; }
    void setSelectedClippings(std::vector<std::shared_ptr<Clipping>> clippings) { selectedClippings_ = std::move(clippings); }
    const std::shared_ptr<List>& list() const { return list_; }
    void setList(std::shared_ptr<List> list) { list_ = std::move(list); }
    const std::function<void()>& completionBlock() const { return completionBlock_; }
    void setCompletionBlock(std::function<void()> block) { completionBlock_ = std::move(block); }

    QTextEdit* textView() const { return textView_; }
    QPushButton* mergeButton() const { return mergeButton_; }

    // Fills the sheet from the clippings (once).
    void windowDidLoad();
    // Shows the sheet on window, 60 px below its top; didEnd runs when it ends.
    void beginSheetForWindow(QWidget* window, std::function<void()> didEnd);
    void mergeClippings();
    void cancelMerge();

    // The beeps of refusals so far (tests).
    static int beepCount();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void reject() override;

private:
    std::shared_ptr<store::Context> context() const;
    std::shared_ptr<TLPasteboardManager> pasteboardManager() const;
    foundation::Result<void> save(store::Context& context);
    bool confirmKey(QKeyEvent* event);
    void makeNewClipping(const std::string& text);
    void mergeInto(const std::string& text);
    void endSheet();

    Configuration configuration_;
    std::vector<std::shared_ptr<Clipping>> selectedClippings_;
    std::shared_ptr<List> list_;
    std::function<void()> completionBlock_;
    std::function<void()> didEnd_;
    QTextEdit* textView_ = nullptr;
    QPushButton* mergeButton_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
    bool loaded_ = false;
    bool ended_ = false;
};
