#include "TLListWindowController.h"

#include <QApplication>
#include <QDialog>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

#include "kit/List.h"
#include "kit/NSColorTavloColors.h"
#include "kit/NSDateCloudKit.h"
#include "platform/desktop/Alert.h"
#include "platform/desktop/KeyEvent.h"
#include "platform/dispatch/Queue.h"
#include "platform/store/Context.h"

namespace {

constexpr int kSheetWidth = 300;
int gBeeps = 0;

void beep() {
    ++gBeeps;
    QApplication::beep();
}

// Escape is Cancel, as in any sheet.
class ListSheet : public QDialog {
public:
    explicit ListSheet(TLListWindowController& controller) : controller_(controller) {}
    void reject() override { controller_.cancel(); }

private:
    TLListWindowController& controller_;
};

}  // namespace

int TLListWindowController::beepCount() { return gBeeps; }

TLListWindowController::TLListWindowController(std::shared_ptr<store::Context> context, std::shared_ptr<List> list,
                                               SaveContext saveContext)
    : context_(std::move(context)), list_(std::move(list)), saveContext_(std::move(saveContext)) {}

TLListWindowController::~TLListWindowController() {
    willSaveObserver_.reset();
    errorAlert_.reset();
    delete window_.data();
}

QDialog* TLListWindowController::window() const { return window_.data(); }

bool TLListWindowController::isSheetShowing() const { return window_ && window_->isVisible(); }

void TLListWindowController::beginSheetModalForWindow(QWidget* window, std::function<void()> ended) {
    if (!window) return;
    window = window->window();
    ended_ = std::move(ended);
    delete window_.data();
    auto* sheet = new ListSheet(*this);
    sheet->setParent(window, Qt::Dialog);
    window_ = sheet;
    sheet->setObjectName(QStringLiteral("listSheet"));
    sheet->setWindowTitle(list_ ? QStringLiteral("Rename List") : QStringLiteral("New List"));
    sheet->setWindowModality(Qt::WindowModal);

    auto* layout = new QVBoxLayout(sheet);
    titleLabel_ = new QLabel(list_ ? QStringLiteral("Rename List") : QStringLiteral("New List"), sheet);
    QFont bold = titleLabel_->font();
    bold.setBold(true);
    titleLabel_->setFont(bold);
    layout->addWidget(titleLabel_);
    textField_ = new QLineEdit(sheet);
    textField_->setObjectName(QStringLiteral("textField"));
    textField_->setPlaceholderText(QStringLiteral("List Name"));
    textField_->installEventFilter(this);
    layout->addWidget(textField_);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    auto* cancelButton = new QPushButton(QStringLiteral("Cancel"), sheet);
    cancelButton->setObjectName(QStringLiteral("cancelButton"));
    cancelButton->setAutoDefault(false);
    auto* saveButton = new QPushButton(QStringLiteral("Save"), sheet);
    saveButton->setObjectName(QStringLiteral("saveButton"));
    saveButton->setDefault(true);
    buttons->addWidget(cancelButton);
    buttons->addWidget(saveButton);
    layout->addLayout(buttons);
    QObject::connect(cancelButton, &QPushButton::clicked, this, [this] { cancel(); });
    QObject::connect(saveButton, &QPushButton::clicked, this, [this] { save(); });

    windowDidLoad();
    sheet->setFixedWidth(std::min(kSheetWidth, std::max(200, window->width() - 20)));
    sheet->adjustSize();
    const QRect frame = window->geometry();
    sheet->move(frame.x() + (frame.width() - sheet->width()) / 2, frame.y() + desktop::Alert::kSheetOffset);
    sheet->open();
    textField_->setFocus(Qt::OtherFocusReason);
}

void TLListWindowController::windowDidLoad() {
    auto& center = foundation::NotificationCenter::defaultCenter();
    willSaveObserver_ = foundation::ObserverRegistration(
        center, center.addObserver(store::Context::kWillSaveNotification, context_.get(),
                                   [this](const foundation::Notification& n) { managedObjectContextWillSave(n); }));
    textField_->setText(list_ ? QString::fromStdString(list_->name().value_or("")) : QString());
}

void TLListWindowController::save() {
    if (!context_ || !textField_) return;
    const std::string name = textField_->text().toStdString();
    if (name.empty()) {
        beep();
        // The placeholder turns red: the name is what is missing.
        QPalette palette = textField_->palette();
        palette.setColor(QPalette::PlaceholderText, NSColorTavloColors::tlRedColor());
        textField_->setPalette(palette);
        return;
    }
    if (!list_) {
        list_ = std::static_pointer_cast<List>(context_->insertNewObject(List::kEntityName));
        if (!list_) return;
        inserted_ = true;
        list_->setListID(List::makeListID());
    }
    if (list_->name() != name) {
        list_->setName(name);
        list_->setSync(true);
        list_->setModifiedDate(NSDateCloudKit::currentServerDate());
    }
    auto saved = saveContext_ ? saveContext_(*context_) : context_->save();
    if (saved) {
        inserted_ = false;
        endSheet();
        return;
    }
    // A new list the store refused is taken out again: the next Save makes
    // it anew, and a later save of the context never stores it.
    if (inserted_) forgetUnsavedEdit();
    beep();
    errorAlert_ = std::make_unique<desktop::Alert>();
    errorAlert_->setAlertStyle(desktop::Alert::Style::Critical);
    errorAlert_->setMessageText(saved.error().localizedDescription());
    errorAlert_->setInformativeText(saved.error().description());
    errorAlert_->addButtonWithTitle("OK");
    std::weak_ptr<int> alive = lifetime_;
    errorAlert_->beginSheetModalForWindow(window_.data(), [this, alive](int) {
        if (!alive.lock()) return;
        // The alert is still in its own call: it goes once that returns.
        std::shared_ptr<desktop::Alert> done(errorAlert_.release());
        dispatch::Queue::main()->async([done] {});
        if (textField_) textField_->setFocus(Qt::OtherFocusReason);
    });
}

void TLListWindowController::cancel() {
    forgetUnsavedEdit();
    endSheet();
}

void TLListWindowController::forgetUnsavedEdit() {
    if (!list_ || !context_) return;
    if (inserted_) {
        context_->deleteObject(list_);
        list_.reset();
        inserted_ = false;
    } else if (list_->managedObjectContext() == context_.get() && list_->hasChanges() && !list_->isDeleted()) {
        // A rename the store refused: the stored name comes back.
        context_->refreshObject(list_, false);
    }
}

void TLListWindowController::managedObjectContextWillSave(const foundation::Notification& notification) {
    if (!list_ || inserted_ || notification.object != context_.get()) return;
    // The pending deletions are what the save is about to write.
    const auto& deleted = context_->deletedObjects();
    if (std::find(deleted.begin(), deleted.end(), list_) != deleted.end()) endSheet();
}

void TLListWindowController::endSheet() {
    if (!ended_ && !isSheetShowing()) return;
    willSaveObserver_.reset();
    if (errorAlert_) errorAlert_->withdraw();
    if (window_) window_->hide();
    if (auto ended = std::move(ended_)) {
        ended_ = nullptr;
        std::weak_ptr<int> alive = lifetime_;
        // The panel drops this sheet in `ended`: never inside its own call.
        dispatch::Queue::main()->async([alive, ended] {
            if (alive.lock()) ended();
        });
    }
}

bool TLListWindowController::eventFilter(QObject* watched, QEvent* event) {
    if (watched != textField_ || event->type() != QEvent::KeyPress) return QObject::eventFilter(watched, event);
    // The sheet has no Edit menu: Ctrl+A, C, V, X and Z are the field's own.
    // Return saves.
    const auto& key = static_cast<QKeyEvent&>(*event);
    if ((key.key() == Qt::Key_Return || key.key() == Qt::Key_Enter) &&
        (desktop::KeyEvent::fromQKeyEvent(key).deviceIndependentModifierFlags() &
         ~desktop::KeyEvent::kNumericPadKeyMask) == 0) {
        save();
        return true;
    }
    return QObject::eventFilter(watched, event);
}
