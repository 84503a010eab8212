#include "TLClippingItemViewController.h"

#include <QAbstractTextDocumentLayout>
#include <QElapsedTimer>
#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMovie>
#include <QPainter>
#include <QPointer>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimer>
#include <QToolButton>

#include <fstream>
#include <iterator>

#include "kit/Asset.h"
#include "kit/Clipping.h"
#include "kit/NSColorTavloColors.h"
#include "kit/NSDateCloudKit.h"
#include "kit/TLMacPasteboard.h"
#include "kit/TLPasteboard.h"
#include "kit/TLPasteboardItem.h"
#include "kit/TLPasteboardManager.h"
#include "kit/TLUserDefaultsKeys.h"
#include "kit/TavloKit.h"
#include "logging/TLLog.h"
#include "platform/desktop/KeyEvent.h"
#include "platform/desktop/Popover.h"
#include "platform/desktop/Workspace.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/URL.h"
#include "platform/store/Context.h"
#include "views/NSAlertPopover.h"
#include "views/NSImageExtras.h"
#include "views/NSSharingServicePickerMenu.h"
#include "views/NSStringVCTitleCase.h"
#include "views/TLView.h"

namespace {

constexpr int kButtonSize = 24;
constexpr int kHeaderMargin = 10;
constexpr int kIconSize = 20;
constexpr const char* kPlainTextType = "public.utf8-plain-text";
constexpr const char* kURLType = "public.url";

QColor bodyTextColor() {
    return TavloKit::isDarkMode() ? QColor(Qt::white) : QColor::fromRgbF(0.25, 0.25, 0.25, 1);
}

// The header's pictures, drawn in white and tinted when shown.
QImage headerImage(const QString& name) {
    if (name.startsWith(QLatin1String(":/"))) return QImage(name);
    const int size = kButtonSize * 2;
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const double s = size;
    painter.setPen(QPen(Qt::white, s / 12, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    if (name == QLatin1String("icon-done")) {
        painter.drawEllipse(QRectF(s * 0.08, s * 0.08, s * 0.84, s * 0.84));
        painter.drawPolyline(QPolygonF({QPointF(s * 0.3, s * 0.52), QPointF(s * 0.45, s * 0.66), QPointF(s * 0.7, s * 0.36)}));
    } else if (name == QLatin1String("icon-clear")) {
        painter.drawEllipse(QRectF(s * 0.08, s * 0.08, s * 0.84, s * 0.84));
        painter.drawLine(QPointF(s * 0.35, s * 0.35), QPointF(s * 0.65, s * 0.65));
        painter.drawLine(QPointF(s * 0.65, s * 0.35), QPointF(s * 0.35, s * 0.65));
    } else {  // bar_button-options: three dots
        painter.setBrush(Qt::white);
        painter.setPen(Qt::NoPen);
        for (int i = 0; i < 3; ++i) painter.drawEllipse(QPointF(s * (0.25 + 0.25 * i), s * 0.5), s * 0.07, s * 0.07);
    }
    return image;
}

QIcon tintedIcon(const QString& name, const QColor& color) {
    return QIcon(QPixmap::fromImage(NSImageExtras::colorizedImage(headerImage(name), color)));
}

QToolButton* makeHeaderButton(QWidget* parent, const char* name) {
    auto* button = new QToolButton(parent);
    button->setObjectName(QLatin1String(name));
    button->setAutoRaise(true);
    button->setFocusPolicy(Qt::NoFocus);
    button->setIconSize(QSize(kButtonSize, kButtonSize));
    button->setFixedSize(kButtonSize, kButtonSize);
    button->setStyleSheet(QStringLiteral("QToolButton { border: none; background: transparent; }"));
    return button;
}

// Shown while a later alert is up: an alert that is not needed after it ran.
void runAlert(const char* message, QWidget* anchor) {
    auto alert = std::make_shared<desktop::Alert>();
    alert->setMessageText(message);
    alert->setAlertStyle(desktop::Alert::Style::Warning);
    alert->addButtonWithTitle("Edit");
    NSAlertPopover::runAsPopoverForView(alert, anchor, desktop::Popover::Edge::MinY, [alert](int) {});
}

// A share's outcome is told by the service itself.
class QuietShareDelegate : public desktop::SharingServiceDelegate {};

}  // namespace

// --- Links and transforms.

std::vector<TLClippingItemViewController::Link> TLClippingItemViewController::detectLinks(const QString& text) {
    // A scheme, "://", then everything up to white space or a character a
    // link in running text never holds; punctuation that ends the sentence
    // is not part of it.
    static const QRegularExpression candidate(QStringLiteral(R"([A-Za-z][A-Za-z0-9+.\-]*://[^\s<>"'`{}|\\^]+)"),
                                              QRegularExpression::UseUnicodePropertiesOption);
    static const QString trailing = QStringLiteral(".,;:!?)]}'\"");
    std::vector<Link> links;
    const QStringView head = QStringView(text).left(kLinkDetectionLength);
    for (auto it = candidate.globalMatch(head); it.hasNext();) {
        auto match = it.next();
        qsizetype start = match.capturedStart();
        qsizetype length = match.capturedLength();
        while (length > 0 && trailing.contains(head[start + length - 1])) {
            // A closing bracket stays when the link opened one.
            QChar last = head[start + length - 1];
            if (last == u')' && head.mid(start, length).count(u'(') >= head.mid(start, length).count(u')')) break;
            --length;
        }
        if (length <= 0) continue;
        if (foundation::URL::isWebAddress(head.mid(start, length).toString().toStdString()))
            links.push_back({start, length});
    }
    return links;
}

namespace {

// The text without the first match of pattern (white space in Unicode's sense).
QString removingFirstMatch(const QString& text, const QRegularExpression& pattern) {
    QString result = text;
    auto match = pattern.match(result);
    if (match.hasMatch()) result.remove(match.capturedStart(), match.capturedLength());
    return result;
}

}  // namespace

QString TLClippingItemViewController::removeLeadingWhitespace(const QString& text) {
    static const QRegularExpression leading(QStringLiteral(R"(^\s*)"), QRegularExpression::UseUnicodePropertiesOption);
    return removingFirstMatch(text, leading);
}

QString TLClippingItemViewController::removeTrailingWhitespace(const QString& text) {
    static const QRegularExpression trailing(QStringLiteral(R"(\s*$)"), QRegularExpression::UseUnicodePropertiesOption);
    return removingFirstMatch(text, trailing);
}

QString TLClippingItemViewController::removeExtraWhitespace(const QString& text) {
    static const QRegularExpression runs(QStringLiteral("[ \t]+"));
    QString result = text;
    result.replace(runs, QStringLiteral(" "));
    result.replace(QStringLiteral("\n "), QStringLiteral("\n"));
    return result.trimmed();
}

QString TLClippingItemViewController::capitalizedString(const QString& text) {
    // A word is what white space delimits: its first letter up, the rest down.
    QString result;
    result.reserve(text.size());
    bool wordStart = true;
    for (qsizetype i = 0; i < text.size();) {
        char32_t c = text.at(i).isHighSurrogate() && i + 1 < text.size() ? QChar::surrogateToUcs4(text[i], text[i + 1])
                                                                         : text[i].unicode();
        qsizetype width = c > 0xFFFF ? 2 : 1;
        QString piece = text.mid(i, width);
        if (QChar::isSpace(c)) {
            result += piece;
            wordStart = true;
        } else {
            result += wordStart ? piece.toUpper() : piece.toLower();
            wordStart = false;
        }
        i += width;
    }
    return result;
}

// --- Life.

TLClippingItemViewController::TLClippingItemViewController(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("TLClippingItemViewController"));
    saveContext_ = [](store::Context& context) { return context.save(); };
    shareDelegate_ = std::make_shared<QuietShareDelegate>();
    self_ = std::make_shared<TLClippingItemViewController*>(this);
    std::weak_ptr<TLClippingItemViewController*> alive = self_;
    auto& center = foundation::NotificationCenter::defaultCenter();
    // Posted on any thread; the item lives on the main one.
    observers_.emplace_back(center, center.addObserver(TLUserDefaultsWindowAppearance, nullptr,
                                                       [alive](const foundation::Notification&) {
                                                           dispatch::Queue::main()->async([alive] {
                                                               if (auto self = alive.lock()) (*self)->updateAppearance();
                                                           });
                                                       }));
}

TLClippingItemViewController::~TLClippingItemViewController() = default;

void TLClippingItemViewController::viewDidLoad() {
    if (loaded_) return;
    loaded_ = true;

    headerView_ = new TLView(this);
    headerView_->setObjectName(QStringLiteral("headerView"));
    headerIconView_ = new QLabel(headerView_);
    headerIconView_->setObjectName(QStringLiteral("headerIconView"));
    headerIconView_->setFixedSize(kIconSize, kIconSize);
    headerIconView_->setScaledContents(true);
    headerTextField_ = new QLabel(headerView_);
    headerTextField_->setObjectName(QStringLiteral("headerTextField"));
    headerTextField_->setTextFormat(Qt::PlainText);
    QFont headerFont = headerTextField_->font();
    headerFont.setPixelSize(13);
    headerFont.setBold(true);
    headerTextField_->setFont(headerFont);
    headerTextField_->setText(itemHeaderText_);
    headerAccessoryButton_ = makeHeaderButton(headerView_, "headerAccessoryButton");
    QObject::connect(headerAccessoryButton_, &QToolButton::clicked, this, [this] { showOptions(); });
    saveButton_ = makeHeaderButton(headerView_, "saveButton");
    saveButton_->setIcon(tintedIcon(QStringLiteral("icon-done"), NSColorTavloColors::appTintColor()));
    QObject::connect(saveButton_, &QToolButton::clicked, this, [this] { saveChanges(); });
    cancelButton_ = makeHeaderButton(headerView_, "cancelButton");
    cancelButton_->setIcon(tintedIcon(QStringLiteral("icon-clear"), QColor::fromRgbF(0.5, 0.5, 0.5)));
    QObject::connect(cancelButton_, &QToolButton::clicked, this, [this] { cancelChanges(); });
    setEditingButtonsShown(false);

    if (!itemImage_.isNull()) {
        imageView_ = new QLabel(this);
        imageView_->setObjectName(QStringLiteral("imageView"));
        imageView_->setAlignment(Qt::AlignCenter);
        // Played from the file, one frame at a time: no frame is kept past its showing.
        if (!itemImagePath_.isEmpty()) {
            auto* movie = new QMovie(itemImagePath_, QByteArray(), imageView_);
            movie->setCacheMode(QMovie::CacheNone);
            if (movie->isValid() && movie->frameCount() != 1 && movie->format() != "svg") {
                movie_ = movie;
                QObject::connect(movie_, &QMovie::frameChanged, imageView_, [this] {
                    QPixmap frame = movie_->currentPixmap();
                    if (frame.width() > imageView_->width() || frame.height() > imageView_->height())
                        frame = frame.scaled(imageView_->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation);
                    imageView_->setPixmap(frame);
                });
                movie_->start();
            } else {
                delete movie;
            }
        }
        if (!movie_) imageView_->setPixmap(QPixmap::fromImage(itemImage_));
        headerIconView_->setPixmap(QPixmap::fromImage(
            NSImageExtras::colorizedImage(headerImage(QStringLiteral(":/views/clipping-image.png")), NSColorTavloColors::tlLightGreenColor())));
    } else if (itemText_ || itemURL_) {
        textView_ = new QTextEdit(this);
        textView_->setObjectName(QStringLiteral("textView"));
        textView_->setAcceptRichText(false);
        textView_->setFrameShape(QFrame::NoFrame);
        textView_->setReadOnly(true);
        textView_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard |
                                           Qt::LinksAccessibleByMouse);
        textView_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
        textView_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        textView_->document()->setDocumentMargin(kTextInset);
        QFont font = textView_->font();
        font.setPixelSize(kFontSize);
        textView_->document()->setDefaultFont(font);
        textView_->installEventFilter(this);
        textView_->viewport()->installEventFilter(this);
        QObject::connect(textView_, &QTextEdit::textChanged, this, [this] {
            if (!changingText_) textDidChange();
        });
        QObject::connect(textView_, &QTextEdit::cursorPositionChanged, this, [this] {
            if (!changingText_) textViewDidChangeSelection();
        });
        if (itemURL_) {
            headerIconView_->setPixmap(QPixmap::fromImage(
                NSImageExtras::colorizedImage(headerImage(QStringLiteral(":/views/clipping-url.png")), NSColorTavloColors::tlBlueColor())));
        }
        fillText(itemURL_ ? *itemURL_ : *itemText_);
    }
    headerView_->raise();
    updateAppearance();
    layOutSubviews();
}

// --- Layout.

void TLClippingItemViewController::setHeightConstraint(int height) {
    if (height == heightConstraint_) return;
    heightConstraint_ = height;
    setFixedHeight(height);
}

void TLClippingItemViewController::setHeaderViewTopConstraint(int offset) {
    if (offset == headerTop_) return;
    headerTop_ = offset;
    layOutSubviews();
}

void TLClippingItemViewController::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    layOutSubviews();
    if (textView_) {
        updateTextItemHeightConstraint();
    } else if (delegate_) {
        delegate_->clippingItemViewControllerSizeDidChange(*this);
    }
}

void TLClippingItemViewController::layOutSubviews() {
    if (!headerView_) return;
    const int w = width();
    headerView_->setGeometry(0, headerTop_, w, kHeaderHeight);
    const int middle = (kHeaderHeight - kButtonSize) / 2;
    headerIconView_->move(kHeaderMargin + 2, (kHeaderHeight - kIconSize) / 2);
    headerAccessoryButton_->move(w - kHeaderMargin - kButtonSize, middle);
    cancelButton_->move(kHeaderMargin, middle);
    saveButton_->move(w - kHeaderMargin - kButtonSize, middle);
    const int textLeft = kHeaderMargin + kIconSize + 10;
    headerTextField_->setGeometry(textLeft, 0, std::max(0, w - textLeft - kButtonSize - 2 * kHeaderMargin), kHeaderHeight);
    QRect body(0, kHeaderHeight, w, std::max(0, height() - kHeaderHeight));
    if (imageView_) imageView_->setGeometry(body);
    if (textView_) textView_->setGeometry(body);
}

void TLClippingItemViewController::updateTextItemHeightConstraint() {
    if (!textView_) return;
    QTextDocument* document = textView_->document();
    // A text past what any screen shows is not laid out whole to learn so:
    // the view scrolls it.
    double used = 0;
    if (isFilling() || document->characterCount() > kLinkDetectionLength) {
        used = maxHeight_ > 0 ? maxHeight_ : 16777215.0;
    } else {
        document->setTextWidth(textView_->viewport()->width());
        used = document->documentLayout()->documentSize().height();
    }
    int height = static_cast<int>(std::ceil(used)) + 30 + kHeaderHeight;
    if (maxHeight_ > 0) height = std::min(height, maxHeight_);
    setHeightConstraint(height);
    if (delegate_) delegate_->clippingItemViewControllerSizeDidChange(*this);
}

// --- Appearance.

void TLClippingItemViewController::updateAppearance() {
    if (!headerView_) return;
    const bool dark = TavloKit::isDarkMode();
    const QColor text = bodyTextColor();
    headerView_->setBackgroundColor(dark ? NSColorTavloColors::darkActiveHeaderColor() : NSColorTavloColors::lightActiveHeaderColor());
    QPalette titlePalette = headerTextField_->palette();
    titlePalette.setColor(QPalette::WindowText, text);
    headerTextField_->setPalette(titlePalette);
    headerAccessoryButton_->setIcon(tintedIcon(QStringLiteral("bar_button-options"), text));
    if (textView_) {
        QPalette palette = textView_->palette();
        palette.setColor(QPalette::Text, text);
        palette.setColor(QPalette::Base, dark ? NSColorTavloColors::darkClippingsViewBackgroundColor() : NSColorTavloColors::lightClippingsViewBackgroundColor());
        textView_->setPalette(palette);
        if (!itemURL_) {
            headerIconView_->setPixmap(QPixmap::fromImage(
                NSImageExtras::colorizedImage(headerImage(QStringLiteral(":/views/clipping-text.png")), text)));
        }
    }
}

// --- Text.

bool TLClippingItemViewController::isEditing() const {
    return textView_ && !textView_->isReadOnly();
}

std::optional<QString> TLClippingItemViewController::storedValue() const {
    if (!clipping_) return std::nullopt;
    if (itemText_) return QString::fromStdString(clipping_->text().value_or(""));
    if (itemURL_) return QString::fromStdString(clipping_->url().value_or(""));
    return std::nullopt;
}

void TLClippingItemViewController::editWithText(const QString& text) {
    if (!textView_) return;
    fillText(text);
    edit();
    if (!isFilling()) tellEditState();
}

void TLClippingItemViewController::fillText(const QString& text) {
    if (!textView_) return;
    changingText_ = true;
    QTextDocument* document = textView_->document();
    document->setUndoRedoEnabled(false);
    document->clear();
    QTextCursor cursor(document);
    QTextBlockFormat block;
    block.setLineHeight(kLineSpacing, QTextBlockFormat::LineDistanceHeight);
    cursor.setBlockFormat(block);
    // Characters only: markup in the text is shown, never read.
    if (text.size() > kFillInPiecesAbove) {
        // Longer than any screen: the scroll bar is there from the start, as a
        // scroll bar that appeared part-way would narrow the text and lay out
        // all of it again.
        textView_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        fillText_ = text;
        fillOffset_ = 0;
        fillLinksMarked_ = false;
        changingText_ = false;
        fillNextPiece();
    } else {
        textView_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
        fillText_.clear();
        fillOffset_ = -1;
        cursor.insertText(text);
        markLinks();
        document->setUndoRedoEnabled(true);
        changingText_ = false;
    }
    changingText_ = true;
    textView_->moveCursor(QTextCursor::Start);
    changingText_ = false;
    if (!isFilling()) updateTextItemHeightConstraint();
}

void TLClippingItemViewController::fillNextPiece() {
    if (!textView_ || fillOffset_ < 0) return;
    changingText_ = true;
    QTextDocument* document = textView_->document();
    QTextCursor cursor(document);
    cursor.movePosition(QTextCursor::End);
    const bool first = fillOffset_ == 0;
    // Each insertion lays out what it added there and then, so small pieces
    // against the clock keep every turn of the event loop short, the first
    // one included: the first screen shows while the rest goes in. The first
    // turn is one piece (a screenful): it goes in before the view has its
    // final width, and all that is in by then is laid out again at once.
    QElapsedTimer turn;
    turn.start();
    do {
        qsizetype length = std::min(kFillPieceLength, fillText_.size() - fillOffset_);
        // A piece never ends between the two halves of a character.
        if (fillOffset_ + length < fillText_.size() && fillText_.at(fillOffset_ + length - 1).isHighSurrogate())
            ++length;
        cursor.insertText(QStringView(fillText_).mid(fillOffset_, length).toString());
        fillOffset_ += length;
        // Links are marked once the characters they are looked for in are all in.
        if (!fillLinksMarked_ && (fillOffset_ >= kLinkDetectionLength || fillOffset_ >= fillText_.size())) {
            fillLinksMarked_ = true;
            markLinks();
        }
    } while (!first && fillOffset_ < fillText_.size() && turn.elapsed() < kFillTurnMilliseconds);
    if (fillOffset_ >= fillText_.size()) {
        fillOffset_ = -1;
        fillText_ = QString();
        document->setUndoRedoEnabled(true);
        changingText_ = false;
        updateTextItemHeightConstraint();
        if (isEditing()) tellEditState();
        return;
    }
    changingText_ = false;
    if (first) updateTextItemHeightConstraint();
    QPointer<TLClippingItemViewController> alive(this);
    QTimer::singleShot(0, this, [alive] {
        if (alive) alive->fillNextPiece();
    });
}

void TLClippingItemViewController::markLinks() {
    if (!textView_) return;
    const bool wasChanging = changingText_;
    changingText_ = true;
    QTextDocument* document = textView_->document();
    const QString head = [&] {
        QTextCursor all(document);
        all.setPosition(std::min<qsizetype>(document->characterCount() - 1, kLinkDetectionLength), QTextCursor::KeepAnchor);
        return all.selectedText().replace(QChar::ParagraphSeparator, u'\n');
    }();
    QTextCursor cursor(document);
    // Part of the change that caused it: one undo takes both back.
    const bool undoable = document->isUndoRedoEnabled();
    if (undoable) cursor.joinPreviousEditBlock(); else cursor.beginEditBlock();
    QTextCharFormat plain;
    plain.setAnchor(false);
    plain.setAnchorHref(QString());
    plain.setForeground(textView_->palette().brush(QPalette::Text));
    plain.setFontUnderline(false);
    cursor.setPosition(0);
    cursor.setPosition(head.size(), QTextCursor::KeepAnchor);
    cursor.mergeCharFormat(plain);
    QFont font = document->defaultFont();
    for (const Link& link : detectLinks(head)) {
        QTextCharFormat format;
        format.setAnchor(true);
        format.setAnchorHref(head.mid(link.start, link.length));
        format.setForeground(NSColorTavloColors::tlBlueColor());
        format.setFont(font);
        format.setFontUnderline(true);
        cursor.setPosition(link.start);
        cursor.setPosition(link.start + link.length, QTextCursor::KeepAnchor);
        cursor.mergeCharFormat(format);
    }
    cursor.endEditBlock();
    changingText_ = wasChanging;
}

void TLClippingItemViewController::textViewDidChangeSelection() {
    if (!textView_ || isEditing() || isFilling()) return;
    // Clicking or selecting in the text starts editing it.
    edit();
}

void TLClippingItemViewController::textDidChange() {
    markLinks();
    updateTextItemHeightConstraint();
    tellEditState();
}

void TLClippingItemViewController::tellEditState() {
    if (!textView_ || !saveButton_) return;
    auto stored = storedValue();
    if (!stored) return;
    const bool same = textView_->toPlainText() == *stored;
    if (delegate_) {
        if (same) {
            delegate_->clippingItemViewControllerSizeDidEndEditing(*this);
        } else {
            delegate_->clippingItemViewControllerSizeDidBeginEditing(*this);
        }
    }
    saveButton_->setEnabled(!same);
}

void TLClippingItemViewController::setEditingButtonsShown(bool shown) {
    saveButton_->setVisible(shown);
    cancelButton_->setVisible(shown);
    headerTextField_->setVisible(!shown);
    headerAccessoryButton_->setVisible(!shown);
    headerIconView_->setVisible(!shown);
}

void TLClippingItemViewController::edit() {
    if (!textView_) return;
    textView_->setReadOnly(false);
    textView_->setTextInteractionFlags(Qt::TextEditorInteraction);
    headerAccessoryButton_->setEnabled(false);
    setEditingButtonsShown(true);
    textView_->setFocus();
}

void TLClippingItemViewController::cancelChanges() {
    if (!textView_) return;
    if (itemText_ || itemURL_) {
        const QString stored = itemText_ ? *itemText_ : *itemURL_;
        if (textView_->toPlainText() != stored) fillText(stored);
    }
    setEditingButtonsShown(false);
    if (delegate_) delegate_->clippingItemViewControllerSizeDidEndEditing(*this);
    textView_->setReadOnly(true);
    textView_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard |
                                       Qt::LinksAccessibleByMouse);
    headerAccessoryButton_->setEnabled(true);
    setFocus();
}

void TLClippingItemViewController::showRefusal(const char* message) {
    runAlert(message, saveButton_);
}

foundation::Result<void> TLClippingItemViewController::save(store::Context& context) {
    return saveContext_ ? saveContext_(context) : context.save();
}

void TLClippingItemViewController::saveChanges() {
    saveChanges({});
}

void TLClippingItemViewController::saveChanges(std::function<void(bool saved)> done) {
    auto finish = [&done](bool saved) {
        if (done) done(saved);
    };
    if (!textView_) return finish(false);
    const QString string = textView_->toPlainText();
    if (string.isEmpty()) {
        showRefusal(itemURL_ ? "Not a valid URL." : "Text cannot be empty.");
        return finish(false);
    }
    if (!clipping_ || !clipping_->managedObjectContext() || (!itemURL_ && !itemText_)) {
        cancelChanges();
        return finish(true);
    }
    store::Context* context = clipping_->managedObjectContext();
    std::shared_ptr<Clipping> clipping = clipping_;
    QPointer<TLClippingItemViewController> alive(this);
    const std::string value = string.toStdString();

    if (itemURL_) {
        if (clipping->url() && value == *clipping->url()) {
            cancelChanges();
            return finish(true);
        }
        auto url = foundation::URL::parse(value);
        if (!url || !url->hasSchemeAndHost()) {
            showRefusal("Not a valid URL.");
            return finish(false);
        }
        context->performBlock([alive, clipping, context, value, string, done = std::move(done)] {
            clipping->setUrl(value);
            clipping->setSync(true);
            clipping->setModifiedDate(NSDateCloudKit::currentServerDate());
            auto saved = alive ? alive->save(*context) : context->save();
            if (!saved) {
                TLLogError(TLLogContextGeneral, "Error saving link: %@", saved.error().description());
                context->rollback();
            } else if (alive) {
                alive->itemURL_ = string;
                alive->cancelChanges();
            }
            if (done) done(saved.ok());
        });
        return;
    }

    if (clipping->text() && value == *clipping->text()) {
        cancelChanges();
        return finish(true);
    }
    context->performBlock([alive, clipping, context, value, string, done = std::move(done)] {
        // The edited text replaces every other representation: the clipping
        // becomes a plain text of one item. Its files go only once that is
        // stored, so a failed save loses nothing.
        clipping->setText(value);
        clipping->setSync(true);
        clipping->setModifiedDate(NSDateCloudKit::currentServerDate());
        clipping->setImage(std::nullopt);
        clipping->setColor(std::nullopt);
        clipping->setItems(1);
        for (const auto& asset : clipping->assets()) context->deleteObject(asset);
        auto saved = alive ? alive->save(*context) : context->save();
        if (!saved) {
            TLLogError(TLLogContextGeneral, "Error saving text: %@", saved.error().description());
            context->rollback();
        } else {
            if (auto clippingID = clipping->clippingID()) TLPasteboardManager::deleteAssetsForClippingWithID(*clippingID);
            if (alive) {
                alive->itemText_ = string;
                alive->cancelChanges();
            }
        }
        if (done) done(saved.ok());
    });
}

// --- Keys.

bool TLClippingItemViewController::eventFilter(QObject* watched, QEvent* event) {
    if (textView_ && watched == textView_ && event->type() == QEvent::KeyPress) {
        auto key = desktop::KeyEvent::fromQKeyEvent(*static_cast<QKeyEvent*>(event));
        // The one editing command the text view has no binding for.
        if (key.character() == u's' && key.hasExactly(desktop::KeyEvent::kCommandKeyMask)) {
            if (isEditing()) saveChanges();
            return true;
        }
    }
    // The text's height follows the width it wraps at, known once the view is laid out.
    if (textView_ && watched == textView_->viewport() && event->type() == QEvent::Resize) updateTextItemHeightConstraint();
    if (textView_ && watched == textView_->viewport() && event->type() == QEvent::MouseButtonRelease && !isEditing()) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        const QString href = textView_->anchorAt(mouse->position().toPoint());
        if (!href.isEmpty() && !textView_->textCursor().hasSelection()) {
            desktop::Workspace::current()->openURL(href.toStdString());
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

// --- Options.

std::shared_ptr<desktop::Menu> TLClippingItemViewController::optionsMenu() {
    if (!popped_) return nullptr;
    auto menu = std::make_shared<desktop::Menu>("Options");
    menu->setMinimumWidth(kOptionsMenuWidth);
    QPointer<TLClippingItemViewController> alive(this);
    auto item = [&menu, alive](const char* title, void (TLClippingItemViewController::*action)()) {
        auto entry = std::make_shared<desktop::MenuItem>(title, [alive, action](desktop::MenuItem&) {
            if (alive) (alive->*action)();
        });
        menu->addItem(entry);
        return entry;
    };
    if (itemURL_) item("Open", &TLClippingItemViewController::openLink);
    if (itemText_ || itemURL_) item("Edit", &TLClippingItemViewController::edit);
    if (itemText_) {
        auto transforms = std::make_shared<desktop::Menu>("Transform Text");
        std::swap(menu, transforms);
        item("Convert to Upper Case", &TLClippingItemViewController::toUpperCase);
        item("Convert to Lower Case", &TLClippingItemViewController::toLowerCase);
        item("Title Case", &TLClippingItemViewController::titleCase);
        item("Capitalize Words", &TLClippingItemViewController::wordCase);
        item("Remove Leading Whitespace", &TLClippingItemViewController::removeLeadingWhitespace);
        item("Remove Trailing Whitespace", &TLClippingItemViewController::removeTrailingWhitespace);
        item("Remove Extra Whitespace", &TLClippingItemViewController::removeExtraWhitespace);
        std::swap(menu, transforms);
        auto entry = std::make_shared<desktop::MenuItem>("Transform Text");
        entry->setSubmenu(transforms);
        menu->addItem(entry);
    }
    item("Copy", &TLClippingItemViewController::copyItem);
    auto share = NSSharingServicePickerMenu::menuForSharingItems(
        sharingItems(),
        [alive](desktop::MenuItem& sender) {
            if (alive) alive->shareWithService(sender);
        },
        shareDelegate_);
    if (share) {
        auto entry = std::make_shared<desktop::MenuItem>("Share");
        entry->setSubmenu(share);
        menu->addItem(entry);
    }
    return menu;
}

void TLClippingItemViewController::showOptions() {
    optionsMenu_ = optionsMenu();
    if (!optionsMenu_ || !headerAccessoryButton_) return;
    optionsMenu_->popUp(headerAccessoryButton_->mapToGlobal(QPoint(0, headerAccessoryButton_->height() / 2)));
}

std::vector<desktop::SharingItem> TLClippingItemViewController::sharingItems() const {
    if (!itemImage_.isNull()) return {desktop::SharingItem::withImage(itemImage_)};
    if (itemURL_) return {desktop::SharingItem::withURL(*itemURL_)};
    if (itemText_) return {desktop::SharingItem::withText(*itemText_)};
    return {};
}

void TLClippingItemViewController::shareWithService(desktop::MenuItem& sender) {
    const auto* service = std::any_cast<std::shared_ptr<desktop::SharingService>>(&sender.representedObject());
    if (!service || !*service) return;
    auto items = sharingItems();
    if (!items.empty()) (*service)->performWithItems(items);
}

void TLClippingItemViewController::openLink() {
    if (!clipping_) return;
    if (auto url = clipping_->url(); url && !url->empty()) desktop::Workspace::current()->openURL(*url);
}

void TLClippingItemViewController::copyItem() {
    if (!clipping_) return;
    auto item = std::make_shared<TLPasteboardItem>(TLPasteboardDictionary{});
    item->setString(clipping_->clippingID().value_or(""), TLPasteboard::kClippingMetadataType);
    if (!itemImage_.isNull()) {
        if (auto url = clipping_->URLForImageAssetAtIndex(itemImageIndex_)) {
            std::ifstream file(url->filePath(), std::ios::binary);
            std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
            item->setData(foundation::Data(std::move(bytes)), itemImageType_);
        }
    } else if (itemURL_) {
        item->setString(itemURL_->toStdString(), kURLType);
    } else if (itemText_) {
        item->setString(itemText_->toStdString(), kPlainTextType);
    }
    TLMacPasteboard::generalPasteboard()->copyPasteboardItems({item});
    store::Context* context = clipping_->managedObjectContext();
    if (!context) return;
    const auto now = NSDateCloudKit::currentServerDate();
    clipping_->setTavloDate(now);
    clipping_->setSync(true);
    clipping_->setModifiedDate(now);
    clipping_->setPasteboardIndex(0);
    if (auto saved = save(*context); !saved)
        TLLogError(TLLogContextGeneral, "Error saving copied clipping: %@", saved.error().description());
}

// --- Transforms: each starts from the stored text, not from what was typed.

void TLClippingItemViewController::toUpperCase() {
    if (itemText_) editWithText(itemText_->toUpper());
}
void TLClippingItemViewController::toLowerCase() {
    if (itemText_) editWithText(itemText_->toLower());
}
void TLClippingItemViewController::titleCase() {
    if (itemText_) editWithText(NSStringVCTitleCase::titlecaseString(*itemText_));
}
void TLClippingItemViewController::wordCase() {
    if (itemText_) editWithText(capitalizedString(*itemText_));
}
void TLClippingItemViewController::removeLeadingWhitespace() {
    if (itemText_) editWithText(removeLeadingWhitespace(*itemText_));
}
void TLClippingItemViewController::removeTrailingWhitespace() {
    if (itemText_) editWithText(removeTrailingWhitespace(*itemText_));
}
void TLClippingItemViewController::removeExtraWhitespace() {
    if (itemText_) editWithText(removeExtraWhitespace(*itemText_));
}
