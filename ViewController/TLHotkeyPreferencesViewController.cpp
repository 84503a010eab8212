#include "TLHotkeyPreferencesViewController.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "hotkeys/HKShortcutView.h"
#include "kit/TLHotkeyTable.h"
#include "platform/foundation/NotificationCenter.h"

namespace {

// The labels of the named rows, in table order.
constexpr std::array<const char*, tlhotkeys::kNamedRows> kLabels = {
    "Show Tavlo:",
    "Next list:",
    "Copy next clipping:",
    "Paste next clipping:",
    "Save clipboard automatically on/off:",
    "Save current clipboard:",
    "Clear clipboard:",
    "Plain text mode on/off:",
};

constexpr int kRecorderWidth = 200;
constexpr int kRecorderHeight = 22;

}  // namespace

TLHotkeyPreferencesViewController::TLHotkeyPreferencesViewController(QWidget* parent)
    : QWidget(parent), restoreButton_(new QPushButton(QStringLiteral("Restore Defaults"), this)) {
    setObjectName(QStringLiteral("Hotkeys"));
    auto* column = new QVBoxLayout(this);
    auto* note = new QLabel(QStringLiteral("These keys work in every application."), this);
    note->setWordWrap(true);
    column->addWidget(note);
    auto* form = new QFormLayout;
    form->setLabelAlignment(Qt::AlignRight);
    for (size_t i = 0; i < recorders_.size(); ++i) {
        recorders_[i] = new HKShortcutView(this);
        recorders_[i]->setFixedSize(kRecorderWidth, kRecorderHeight);
        form->addRow(QString::fromUtf8(kLabels[i]), recorders_[i]);
    }
    column->addLayout(form);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(restoreButton_);
    column->addLayout(buttons);
    column->addStretch();
    connect(restoreButton_, &QPushButton::clicked, this, [this] { restoreDefaults(); });

    // The change block first, so binding delivers each stored value and posts once per recorder.
    for (HKShortcutView* recorder : recorders_) {
        recorder->setShortcutValueChange(
            [](HKShortcutView&) { foundation::NotificationCenter::defaultCenter().post(TLRegisterHotkeys); });
    }
    for (size_t i = 0; i < recorders_.size(); ++i)
        recorders_[i]->setAssociatedUserDefaultsKey(std::string(TLHotkeyTable[i].key));
}

TLHotkeyPreferencesViewController::~TLHotkeyPreferencesViewController() = default;

void TLHotkeyPreferencesViewController::restoreDefaults() {
    for (size_t i = 0; i < recorders_.size(); ++i)
        recorders_[i]->setShortcutValue(HKShortcut(TLHotkeyTable[i].keyCode, TLHotkeyTable[i].modifierFlags));
}
