#include "TLMergeWindowController.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPushButton>
#include <QTextEdit>
#include <QTextFrame>
#include <QVBoxLayout>

#include <algorithm>

#include "kit/Asset.h"
#include "kit/Clipping.h"
#include "kit/List.h"
#include "kit/NSDateCloudKit.h"
#include "kit/TLDatabaseManager.h"
#include "kit/TLInterfaceSound.h"
#include "kit/TLPasteboardManager.h"
#include "kit/TLSettings.h"
#include "kit/TavloKit.h"
#include "logging/TLLog.h"
#include "platform/desktop/Alert.h"
#include "platform/desktop/KeyEvent.h"
#include "platform/foundation/URL.h"
#include "platform/store/Context.h"

namespace {

int gBeeps = 0;

void beep() {
    ++gBeeps;
    TLInterfaceSound::beep();
}

}  // namespace

int TLMergeWindowController::beepCount() { return gBeeps; }

QString TLMergeWindowController::startingText(const std::vector<std::shared_ptr<Clipping>>& clippings) {
    std::string text;
    bool first = true;
    for (const auto& clipping : clippings) {
        if (!first) text += "\n\n\n";
        first = false;
        if (TLNonEmpty(clipping->urlName())) text += *clipping->urlName() + "\n\n";
        if (TLNonEmpty(clipping->url())) {
            text += *clipping->url();
        } else if (auto shared = clipping->sharedText()) {
            text += *shared;
            if (TLNonEmpty(clipping->urlSource())) text += "\n\n" + *clipping->urlSource();
        }
    }
    return QString::fromStdString(text);
}

TLMergeWindowController::TLMergeWindowController(Configuration configuration, QWidget* parent)
    : QDialog(parent), configuration_(std::move(configuration)) {
    setObjectName(QStringLiteral("TLMergeWindowController"));
    resize(480, 360);
}

TLMergeWindowController::~TLMergeWindowController() = default;

std::shared_ptr<store::Context> TLMergeWindowController::context() const {
    if (configuration_.context) return configuration_.context;
    auto database = TLDatabaseManager::sharedManager();
    return database ? database->managedObjectContext() : nullptr;
}

std::shared_ptr<TLPasteboardManager> TLMergeWindowController::pasteboardManager() const {
    return configuration_.pasteboardManager ? configuration_.pasteboardManager : TLPasteboardManager::sharedManager();
}

foundation::Result<void> TLMergeWindowController::save(store::Context& context) {
    return configuration_.saveContext ? configuration_.saveContext(context) : context.save();
}

void TLMergeWindowController::windowDidLoad() {
    if (loaded_) return;
    loaded_ = true;
    textView_ = new QTextEdit(this);
    textView_->setObjectName(QStringLiteral("textView"));
    textView_->setAcceptRichText(false);
    QFont font = textView_->font();
    font.setPixelSize(kFontSize);
    textView_->document()->setDefaultFont(font);
    textView_->installEventFilter(this);

    cancelButton_ = new QPushButton(QStringLiteral("Cancel"), this);
    cancelButton_->setObjectName(QStringLiteral("cancelButton"));
    cancelButton_->setAutoDefault(false);
    mergeButton_ = new QPushButton(selectedClippings_.empty() ? QStringLiteral("Save") : QStringLiteral("Merge"), this);
    mergeButton_->setObjectName(QStringLiteral("mergeButton"));
    mergeButton_->setAutoDefault(false);
    QObject::connect(cancelButton_, &QPushButton::clicked, this, [this] { cancelMerge(); });
    QObject::connect(mergeButton_, &QPushButton::clicked, this, [this] { mergeClippings(); });

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cancelButton_);
    buttons->addWidget(mergeButton_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(textView_, 1);
    layout->addLayout(buttons);

    // Plain characters only: markup in a clipping shows as what it is made of.
    textView_->setPlainText(startingText(selectedClippings_));
    // After the text: setting it gives the document a new root frame.
    textView_->document()->setDocumentMargin(0);
    QTextFrameFormat inset = textView_->document()->rootFrame()->frameFormat();
    inset.setLeftMargin(kInsetWidth);
    inset.setRightMargin(kInsetWidth);
    inset.setTopMargin(kInsetHeight);
    inset.setBottomMargin(kInsetHeight);
    textView_->document()->rootFrame()->setFrameFormat(inset);
    mergeButton_->setEnabled(!textView_->document()->isEmpty());
    QObject::connect(textView_, &QTextEdit::textChanged, this,
                     [this] { mergeButton_->setEnabled(!textView_->document()->isEmpty()); });
}

void TLMergeWindowController::beginSheetForWindow(QWidget* window, std::function<void()> didEnd) {
    windowDidLoad();
    didEnd_ = std::move(didEnd);
    if (window) {
        setParent(window->window(), Qt::Sheet);
        setWindowModality(Qt::WindowModal);
        const QRect frame = window->window()->frameGeometry();
        move(frame.x() + (frame.width() - width()) / 2, frame.y() + desktop::Alert::kSheetOffset);
    }
    show();
    raise();
    activateWindow();
    textView_->setFocus();
}

void TLMergeWindowController::mergeClippings() {
    windowDidLoad();
    const std::string text = textView_->toPlainText().toStdString();
    // A clipping with nothing in it would show nothing, and the history's
    // trim never takes it away.
    if (text.empty()) {
        beep();
        return;
    }
    if (selectedClippings_.empty()) {
        makeNewClipping(text);
    } else {
        mergeInto(text);
    }
}

void TLMergeWindowController::makeNewClipping(const std::string& text) {
    auto context = this->context();
    if (!context) {
        beep();
        return;
    }
    auto clipping = std::static_pointer_cast<Clipping>(context->insertNewObject(Clipping::kEntityName));
    clipping->setClippingID(Clipping::makeClippingID());
    clipping->setDeviceName(std::string(kDeviceName));
    const auto now = NSDateCloudKit::currentServerDate();
    clipping->setAddDate(now);
    clipping->setTavloDate(now);
    if (list_) {
        auto members = list_->clippings();
        std::erase(members, clipping);
        std::stable_sort(members.begin(), members.end(),
                         [](const auto& a, const auto& b) { return a->index().value_or(0) < b->index().value_or(0); });
        for (size_t i = 0; i < members.size(); ++i) {
            if (members[i]->index() != int64_t(i)) members[i]->setIndex(int64_t(i));
        }
        clipping->setList(list_);
        clipping->setIndex(int64_t(members.size()));
    }
    const bool link = foundation::URL::isWebAddress(text);
    if (link) {
        clipping->setUrl(text);
        clipping->setText(std::nullopt);
    } else {
        clipping->setText(text);
        clipping->setUrl(std::nullopt);
        clipping->setImage(std::nullopt);
    }
    clipping->setSync(true);
    clipping->setModifiedDate(now);
    auto manager = pasteboardManager();
    if (link && manager) {
        manager->fetchPageTitleForClipping(clipping);
    } else if (context->hasChanges()) {
        if (auto saved = save(*context); !saved)
            TLLogError(TLLogContextGeneral, "Error saving new clipping: %@", saved.error().description());
    }
    if (manager) manager->copyClippingToGeneralPasteboard(clipping);
    endSheet();
}

void TLMergeWindowController::mergeInto(const std::string& text) {
    const auto& first = selectedClippings_.front();
    store::Context* context = first->managedObjectContext();
    if (!context) {
        beep();
        return;
    }
    // One save: the merged text, its files' rows and the other clippings go
    // together, and every file only once that is stored.
    std::vector<std::string> folders;
    bool stored = false;
    context->performBlockAndWait([&] {
        first->setText(text);
        first->setUrl(std::nullopt);
        first->setImage(std::nullopt);
        first->setSync(true);
        first->setUrlSource(std::nullopt);
        first->setUrlName(std::string());
        first->setModifiedDate(NSDateCloudKit::currentServerDate());
        first->setItems(1);
        first->setColor(std::nullopt);
        for (const auto& asset : first->assets()) context->deleteObject(asset);
        if (auto clippingID = first->clippingID()) folders.push_back(*clippingID);
        for (size_t i = 1; i < selectedClippings_.size(); ++i) {
            const auto& other = selectedClippings_[i];
            if (other == first || !other->managedObjectContext()) continue;
            TLLogInfo(TLLogContextPasteboard, "Deleting clipping with ID: %@", other->clippingID());
            if (auto clippingID = other->clippingID()) folders.push_back(*clippingID);
            context->deleteObject(other);
        }
        auto saved = context->hasChanges() ? save(*context) : foundation::Result<void>();
        if (!saved) {
            TLLogError(TLLogContextGeneral, "Error saving merged clipping: %@", saved.error().description());
            context->rollback();
            return;
        }
        stored = true;
        for (const auto& clippingID : folders) TLPasteboardManager::deleteAssetsForClippingWithID(clippingID);
    });
    if (!stored) {
        beep();
        return;
    }
    if (completionBlock_) completionBlock_();
    endSheet();
}

void TLMergeWindowController::cancelMerge() {
    if (completionBlock_) completionBlock_();
    endSheet();
}

void TLMergeWindowController::reject() {
    cancelMerge();
}

void TLMergeWindowController::endSheet() {
    if (ended_) return;
    ended_ = true;
    hide();
    auto didEnd = std::move(didEnd_);
    didEnd_ = nullptr;
    if (didEnd) didEnd();
}

bool TLMergeWindowController::confirmKey(QKeyEvent* event) {
    auto key = desktop::KeyEvent::fromQKeyEvent(*event);
    const char16_t c = key.character();
    if ((c == u'm' || c == u's') && (key.deviceIndependentModifierFlags() & desktop::KeyEvent::kCommandKeyMask)) {
        mergeClippings();
        return true;
    }
    return false;
}

void TLMergeWindowController::keyPressEvent(QKeyEvent* event) {
    if (desktop::KeyEvent::fromQKeyEvent(*event).character() == desktop::KeyEvent::kEscapeCharacter) {
        cancelMerge();
        return;
    }
    if (confirmKey(event)) return;
    QDialog::keyPressEvent(event);
}

bool TLMergeWindowController::eventFilter(QObject* watched, QEvent* event) {
    if (watched == textView_ && event->type() == QEvent::KeyPress && confirmKey(static_cast<QKeyEvent*>(event))) return true;
    return QDialog::eventFilter(watched, event);
}
