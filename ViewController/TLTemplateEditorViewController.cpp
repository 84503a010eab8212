#include "TLTemplateEditorViewController.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSyntaxHighlighter>
#include <QTextBlock>
#include <QTextEdit>
#include <QTextLayout>
#include <QVBoxLayout>

#include <algorithm>
#include <array>

#include "kit/NSColorTavloColors.h"
#include "kit/TLMirroredSettings.h"
#include "kit/TLUserDefaultsKeys.h"
#include "platform/foundation/UserDefaults.h"

namespace {

using foundation::PlistValue;

constexpr std::array<const char*, 3> kTokens = {"{title}", "{text}", "{url}"};

int gBeeps = 0;

QTextCharFormat tokenFormat() {
    QTextCharFormat format;
    format.setForeground(NSColorTavloColors::tlBlueColor());
    format.setFontWeight(QFont::Bold);
    return format;
}

// Gives every token of the text the token style. A token never spans a line,
// so each paragraph is styled on its own, as it changes.
class TokenHighlighter final : public QSyntaxHighlighter {
public:
    using QSyntaxHighlighter::QSyntaxHighlighter;

protected:
    void highlightBlock(const QString& text) override {
        const QTextCharFormat format = tokenFormat();
        for (const char* token : kTokens) {
            const QString needle = QString::fromLatin1(token);
            for (qsizetype at = text.indexOf(needle); at >= 0; at = text.indexOf(needle, at + needle.size()))
                setFormat(int(at), int(needle.size()), format);
        }
    }
};

bool isBlank(const QString& name) {
    for (QChar c : name)
        if (c != u' ' && c != u'\t') return false;
    return true;
}

}  // namespace

TLTemplateEditorViewController::TLTemplateEditorViewController(int64_t templateIndex, QWidget* parent)
    : QWidget(parent, Qt::Popup),
      templateIndex_(templateIndex),
      titleField_(new QLineEdit(this)),
      textView_(new QTextEdit(this)),
      saveButton_(new QPushButton(QStringLiteral("Save"), this)),
      highlighter_(new TokenHighlighter(textView_->document())) {
    setObjectName(QStringLiteral("TemplateEditor"));
    titleField_->setPlaceholderText(QStringLiteral("Name"));
    textView_->setAcceptRichText(false);  // pasted text loses its styles
    QFont font = textView_->font();
    font.setPointSize(kFontPointSize);
    textView_->document()->setDefaultFont(font);
    textView_->document()->setDocumentMargin(kTextInset);
    textView_->installEventFilter(this);

    auto* insertTitle = new QPushButton(QStringLiteral("Title"), this);
    auto* insertText = new QPushButton(QStringLiteral("Text"), this);
    auto* insertURL = new QPushButton(QStringLiteral("URL"), this);
    for (QPushButton* button : {insertTitle, insertText, insertURL}) {
        button->setFocusPolicy(Qt::NoFocus);  // the caret stays in the text
        button->setAutoDefault(false);
    }
    insertTitle->setToolTip(QStringLiteral("Insert the page title: {title}"));
    insertText->setToolTip(QStringLiteral("Insert the clipping's text: {text}"));
    insertURL->setToolTip(QStringLiteral("Insert the page address: {url}"));

    auto* tokens = new QHBoxLayout;
    tokens->addWidget(insertTitle);
    tokens->addWidget(insertText);
    tokens->addWidget(insertURL);
    tokens->addStretch();
    tokens->addWidget(saveButton_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(titleField_);
    layout->addWidget(textView_, 1);
    layout->addLayout(tokens);
    resize(380, 260);

    connect(titleField_, &QLineEdit::returnPressed, textView_, [this] { textView_->setFocus(Qt::TabFocusReason); });
    connect(insertTitle, &QPushButton::clicked, this, [this] { this->insertTitle(); });
    connect(insertText, &QPushButton::clicked, this, [this] { this->insertText(); });
    connect(insertURL, &QPushButton::clicked, this, [this] { this->insertURL(); });
    connect(saveButton_, &QPushButton::clicked, this, [this] { saveTemplate(); });
    updateFields();
}

TLTemplateEditorViewController::~TLTemplateEditorViewController() = default;

int TLTemplateEditorViewController::beepCount() { return gBeeps; }

PlistValue::Array TLTemplateEditorViewController::storedTemplates() {
    return foundation::UserDefaults::applicationGroup()->arrayForKey(TLUserDefaultsCopyTemplates).value_or(PlistValue::Array{});
}

void TLTemplateEditorViewController::updateFields() {
    auto templates = storedTemplates();
    const PlistValue* entry =
        templateIndex_ >= 0 && templateIndex_ < int64_t(templates.size()) ? &templates[size_t(templateIndex_)] : nullptr;
    if (!entry || !entry->asDictionary()) {
        templateIndex_ = -1;
        opened_.reset();
        titleField_->clear();
        textView_->clear();
        return;
    }
    opened_ = *entry;
    auto text = [entry](const char* key) {
        const PlistValue* value = entry->get(key);
        return value && value->asString() ? QString::fromStdString(*value->asString()) : QString();
    };
    titleField_->setText(text(TLUserDefaultsTemplateName));
    textView_->setPlainText(text(TLUserDefaultsTemplateFormat));
}

void TLTemplateEditorViewController::restyle() { highlighter_->rehighlight(); }

std::vector<std::pair<int, int>> TLTemplateEditorViewController::tokenRanges() const {
    std::vector<std::pair<int, int>> ranges;
    const QColor blue = NSColorTavloColors::tlBlueColor();
    for (QTextBlock block = textView_->document()->begin(); block.isValid(); block = block.next())
        for (const QTextLayout::FormatRange& range : block.layout()->formats())
            if (range.format.foreground().color() == blue && range.format.fontWeight() == QFont::Bold)
                ranges.emplace_back(block.position() + range.start, range.length);
    return ranges;
}

bool TLTemplateEditorViewController::containsTokens() const {
    const QString text = textView_->toPlainText();
    for (const char* token : kTokens)
        if (text.contains(QString::fromLatin1(token))) return true;
    return false;
}

void TLTemplateEditorViewController::insertTitle() { insertToken(kTokens[0]); }
void TLTemplateEditorViewController::insertText() { insertToken(kTokens[1]); }
void TLTemplateEditorViewController::insertURL() { insertToken(kTokens[2]); }

void TLTemplateEditorViewController::insertToken(const char* token) {
    QTextCursor cursor = textView_->textCursor();
    // Replaces the selection; the caret ends directly after the token.
    cursor.insertText(QString::fromLatin1(token), QTextCharFormat());
    textView_->setTextCursor(cursor);
    textView_->setFocus();
}

bool TLTemplateEditorViewController::saveTemplate() {
    const QString name = titleField_->text();
    if (!containsTokens() || isBlank(name)) {
        ++gBeeps;
        QApplication::beep();
        return false;
    }
    PlistValue entry(PlistValue::Dictionary{{TLUserDefaultsTemplateName, PlistValue(name.toStdString())},
                                            {TLUserDefaultsTemplateFormat, PlistValue(textView_->toPlainText().toStdString())}});
    auto templates = storedTemplates();
    // The entry opened must still stand at its index: another device may have
    // removed or moved templates meanwhile, and its neighbour is not ours to
    // overwrite.
    bool stillThere = templateIndex_ >= 0 && templateIndex_ < int64_t(templates.size()) && opened_ &&
                      templates[size_t(templateIndex_)] == *opened_;
    if (stillThere) {
        templates[size_t(templateIndex_)] = entry;
    } else {
        templates.push_back(entry);
        templateIndex_ = int64_t(templates.size()) - 1;
    }
    opened_ = entry;
    TLMirroredSettings::write(TLUserDefaultsCopyTemplates, PlistValue(std::move(templates)));
    close();
    return true;
}

void TLTemplateEditorViewController::showRelativeToRect(QWidget* anchor, const QRect& rect, Edge edge) {
    constexpr int kGap = 6;
    QRect global(anchor->mapToGlobal(rect.topLeft()), rect.size());
    QPoint at(edge == Edge::MaxX ? global.right() + kGap : global.left() - width() - kGap,
              global.center().y() - height() / 2);
    if (QScreen* screen = anchor->screen()) {
        QRect available = screen->availableGeometry();
        at.setX(std::clamp(at.x(), available.left(), std::max(available.left(), available.right() - width())));
        at.setY(std::clamp(at.y(), available.top(), std::max(available.top(), available.bottom() - height())));
    }
    move(at);
    show();
    if (templateIndex_ < 0) titleField_->setFocus(Qt::PopupFocusReason);
    else textView_->setFocus(Qt::PopupFocusReason);
}

bool TLTemplateEditorViewController::eventFilter(QObject* watched, QEvent* event) {
    if (watched == textView_ && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Backtab) {
        titleField_->setFocus(Qt::BacktabFocusReason);
        return true;
    }
    return QWidget::eventFilter(watched, event);
}
