// The clippings panel's search: the field that takes the title's place in the
// header, the fetch of the clippings holding its text, and its keys.
#include "TLClippingsViewController.h"

#include <QApplication>
#include <QGraphicsOpacityEffect>
#include <QKeyEvent>
#include <QLabel>
#include <QToolButton>

#include <algorithm>

#include "kit/List.h"
#include "kit/NSColorTavloColors.h"
#include "kit/TLUserDefaultsKeys.h"
#include "kit/TavloKit.h"
#include "platform/desktop/Animator.h"
#include "platform/desktop/KeyEvent.h"
#include "platform/foundation/NotificationCenter.h"
#include "views/NSImageExtras.h"
#include "views/TLClippingsTableView.h"
#include "views/TLTitleView.h"
#include "views/TLView.h"

namespace {

constexpr int kSearchFieldHeight = 26;
constexpr int kCancelButtonSize = 24;
constexpr int kIconPixels = 36;
// Clear of what the window draws at the header's left (its own buttons while
// detached), and of the search button on the right.
constexpr int kSearchFieldInset = 8;
constexpr int kSearchFieldFontSize = 14;

int gBeeps = 0;

}  // namespace

int TLClippingsViewController::beepCount() { return gBeeps; }

void TLClippingsViewController::beep() {
    ++gBeeps;
    QApplication::beep();
}

void TLClippingsViewController::makeSearchField() {
    if (searchField_) return;
    searchField_ = new QLineEdit(headerView_);
    searchField_->setObjectName(QStringLiteral("searchField"));
    searchField_->setFrame(false);
    QFont font = searchField_->font();
    font.setPixelSize(kSearchFieldFontSize);
    searchField_->setFont(font);
    // Room for the cancel button inside the field's right end.
    searchField_->setTextMargins(6, 0, kCancelButtonSize + 2, 0);
    searchFieldOpacity_ = new QGraphicsOpacityEffect(searchField_);
    searchField_->setGraphicsEffect(searchFieldOpacity_);
    searchField_->installEventFilter(this);
    // User edits only: code that sets the text fetches for it itself.
    QObject::connect(searchField_, &QLineEdit::textEdited, this, [this] { controlTextDidChange(); });

    auto* cancel = new QToolButton(headerView_);
    cancel->setObjectName(QStringLiteral("cancelSearchButton"));
    cancel->setAutoRaise(true);
    cancel->setFocusPolicy(Qt::NoFocus);
    cancel->setCursor(Qt::ArrowCursor);
    cancel->setToolTip(QStringLiteral("Cancel Search"));
    cancel->setIconSize(QSize(kCancelButtonSize - 6, kCancelButtonSize - 6));
    cancel->setStyleSheet(QStringLiteral("QToolButton { border: none; background: transparent; }"));
    cancel->setIcon(QPixmap::fromImage(NSImageExtras::colorizedImage(panelImage(QStringLiteral("icon-cancel"), kIconPixels),
                                                                    QColor::fromRgbF(0.5, 0.5, 0.5, 1))));
    cancel->hide();
    QObject::connect(cancel, &QAbstractButton::clicked, this, [this] { cancelSearch(); });
    cancelSearchButton_ = cancel;

    titleOpacity_ = new QGraphicsOpacityEffect(titleView_);
    titleOpacity_->setEnabled(false);  // drawn plainly while it shows whole
    titleView_->setGraphicsEffect(titleOpacity_);
    updateSearchFieldAppearance();
}

void TLClippingsViewController::layoutSearchField() {
    if (!searchField_) return;
    // From the header's left, clear of the window's own buttons where they
    // show, to the search button, which stays to end the search.
    int left = kSearchFieldInset;
    if (QWidget* window = this->window(); window && window != this) {
        const QPoint header = headerView_->mapTo(window, QPoint(0, 0));
        for (const char* name : {"closeButton", "miniaturizeButton", "zoomButton"})
            if (auto* button = window->findChild<QWidget*>(QLatin1String(name), Qt::FindDirectChildrenOnly);
                button && button->isVisible())
                left = std::max(left, button->geometry().right() + 1 - header.x() + kSearchFieldInset);
    }
    const int right = searchButton_->mapTo(headerView_, QPoint(0, 0)).x() - 2;
    const int centre = titleView_->geometry().center().y() + 1;
    QRect frame(left, centre - kSearchFieldHeight / 2, std::max(0, right - left), kSearchFieldHeight);
    searchField_->setGeometry(frame);
    cancelSearchButton_->setGeometry(frame.right() + 1 - kCancelButtonSize - 2, centre - kCancelButtonSize / 2,
                                     kCancelButtonSize, kCancelButtonSize);
}

void TLClippingsViewController::updateSearchFieldAppearance() {
    if (!searchField_) return;
    const QColor tint = tintColor(isDarkMode_);
    QPalette palette = searchField_->palette();
    palette.setColor(QPalette::Text, tint);  // the caret takes it too
    QColor placeholder = tint;
    placeholder.setAlphaF(0.5);
    palette.setColor(QPalette::PlaceholderText, placeholder);
    searchField_->setPalette(palette);
    searchField_->setStyleSheet(isDarkMode_ ? QStringLiteral("QLineEdit { border: none; border-radius: 6px;"
                                                             " background: rgba(255, 255, 255, 0.12); }")
                                            : QStringLiteral("QLineEdit { border: none; border-radius: 6px;"
                                                             " background: rgba(0, 0, 0, 0.07); }"));
}

void TLClippingsViewController::toggleSearchWithAnimation(bool animated) {
    if (isSearching_) {
        searchField_->setFocus(Qt::OtherFocusReason);
        hideEmptyState();
        return;
    }
    makeSearchField();
    if (searchAnimation_) searchAnimation_->stop();
    searchFieldOpacity_->setOpacity(0);
    searchField_->setPlaceholderText(list_ ? QStringLiteral("Search in %1").arg(QString::fromStdString(
                                                 list_->name().value_or("")))
                                           : QStringLiteral("Search"));
    layoutSearchField();
    searchField_->show();
    searchField_->raise();
    cancelSearchButton_->show();
    cancelSearchButton_->raise();

    searchString_ = std::string();
    isSearching_ = true;
    searchButton_->setIcon(QPixmap::fromImage(NSImageExtras::colorizedImage(
        panelImage(QStringLiteral("icon-search-selected"), kIconPixels), NSColorTavloColors::appTintColor())));
    refetchRows();
    footerLabel_->setText(QString());

    titleOpacity_->setEnabled(true);
    searchAnimation_ = desktop::Animator::animate(
        0.0, 1.0, animated ? kSearchAnimationSeconds : 0.0,
        [this](double shown) {
            searchFieldOpacity_->setOpacity(shown);
            titleOpacity_->setOpacity(1 - shown);
        },
        [this] {
            isSearching_ = true;
            searchField_->setFocus(Qt::OtherFocusReason);
            searchField_->end(false);
        });
    showEmptyState();
}

void TLClippingsViewController::cancelSearchWithAnimation(bool animated) {
    if (!isSearching_) return;
    if (searchAnimation_) searchAnimation_->stop();
    searchField_->clear();
    searchString_.reset();
    isSearching_ = false;
    refetchRows();
    cancelSearchButton_->hide();
    searchButton_->setIcon(QPixmap::fromImage(
        NSImageExtras::colorizedImage(panelImage(QStringLiteral("icon-search"), kIconPixels), tintColor(isDarkMode_))));

    searchAnimation_ = desktop::Animator::animate(
        searchFieldOpacity_->opacity(), 0.0, animated ? kSearchAnimationSeconds : 0.0,
        [this](double shown) {
            searchFieldOpacity_->setOpacity(shown);
            titleOpacity_->setOpacity(1 - shown);
        },
        [this] {
            searchField_->hide();
            titleOpacity_->setEnabled(false);
            tableView_->setFocus(Qt::OtherFocusReason);
        });
    updateFooterText();
    if (clippingsController().count() > 0) hideEmptyState();
    else showEmptyState();
    updateVisibleRowHeights();
}

void TLClippingsViewController::controlTextDidChange() {
    if (searchField_->text().isEmpty()) cancelSearchWithAnimation(false);
    else fetchResults();
}

void TLClippingsViewController::fetchResults() {
    if (!searchField_) return;
    std::string text = searchField_->text().toStdString();
    if (searchString_ && *searchString_ == text) return;
    searchString_ = text;
    refetchRows();
    if (text.empty()) {
        footerLabel_->setText(QString());
        showEmptyState();
        return;
    }
    const int64_t n = int64_t(clippingsController().count());
    footerLabel_->setText(QStringLiteral("%1 result%2")
                              .arg(n == 0 ? QStringLiteral("No") : QString::number(n))
                              .arg(n >= 2 ? QStringLiteral("s") : QString()));
    QPalette palette = footerLabel_->palette();
    palette.setColor(QPalette::WindowText, TavloKit::isDarkMode() ? QColor(Qt::white) : QColor(Qt::black));
    footerLabel_->setPalette(palette);
    if (n > 0) hideEmptyState();
    else showEmptyState();
    updateVisibleRowHeights();
}

void TLClippingsViewController::moveFromSearchFieldToTable() {
    if (searchField_->text().isEmpty() || tableView_->model()->rowCount() == 0) {
        beep();
        return;
    }
    tableView_->setFocus(Qt::OtherFocusReason);
    if (!tableView_->selectionModel()->hasSelection())
        tableView_->selectionModel()->setCurrentIndex(tableView_->model()->index(0, 0),
                                                      QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

bool TLClippingsViewController::searchFieldKeyPress(const QKeyEvent& event) {
    using K = desktop::KeyEvent;
    const K key = K::fromQKeyEvent(event);
    const uint64_t modifiers = key.deviceIndependentModifierFlags() & ~K::kNumericPadKeyMask;
    switch (event.key()) {
    case Qt::Key_Escape: cancelSearchWithAnimation(false); return true;
    case Qt::Key_Tab:
    case Qt::Key_Down:
        if (modifiers != 0) return false;
        moveFromSearchFieldToTable();
        return true;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // Return moves to the results; with a modifier it would only break
        // the line, which a search field has not.
        if (modifiers == 0) moveFromSearchFieldToTable();
        return true;
    default: break;
    }
    // Ctrl+A, C, V, X and Z are the field's own. The rest of Ctrl alone:
    if (!key.hasExactly(K::kCommandKeyMask)) return false;
    switch (key.character()) {
    case u',': showPreferencesWindow(); return true;
    case u'q': QCoreApplication::quit(); return true;
    case u'w':
        if (QWidget* window = this->window()) window->close();
        return true;
    default: return false;
    }
}

void TLClippingsViewController::showPreferencesWindow() {
    foundation::NotificationCenter::defaultCenter().post(TLShowPreferencesWindow);
}
