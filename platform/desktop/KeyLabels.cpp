#include "KeyLabels.h"

#include <QCoreApplication>
#include <QKeySequence>
#include <QString>
#include <QTranslator>

namespace desktop {

namespace {

struct NamedGlyph {
    char16_t glyph;
    Qt::Key key;
};
// The glyphs menus' key equivalents use for keys that have a name.
constexpr NamedGlyph kNamedGlyphs[] = {
    {0x21A9, Qt::Key_Return}, {0x21E5, Qt::Key_Tab},    {0x232B, Qt::Key_Backspace}, {0x238B, Qt::Key_Escape},
    {0x2327, Qt::Key_Clear},  {0x2305, Qt::Key_Enter},  {0x2196, Qt::Key_Home},      {0x21DE, Qt::Key_PageUp},
    {0x2326, Qt::Key_Delete}, {0x2198, Qt::Key_End},    {0x21DF, Qt::Key_PageDown},  {0x2190, Qt::Key_Left},
    {0x2192, Qt::Key_Right},  {0x2193, Qt::Key_Down},   {0x2191, Qt::Key_Up},        {u' ', Qt::Key_Space},
};
constexpr char16_t kF1Character = 0xF704;
constexpr char16_t kF35Character = 0xF726;

constexpr uint64_t kShift = 0x20000, kControl = 0x40000, kOption = 0x80000, kCommand = 0x100000;

class KeyNameTranslator : public QTranslator {
public:
    using QTranslator::QTranslator;
    bool isEmpty() const override { return false; }
    QString translate(const char* context, const char* sourceText, const char*, int) const override {
        if (qstrcmp(context, "QShortcut") == 0 && qstrcmp(sourceText, "Meta") == 0) return QStringLiteral("Super");
        return {};
    }
};

}  // namespace

std::string modifierFlagsLabel(uint64_t modifierFlags) {
    std::string text;
    if (modifierFlags & kControl) text += "Super+";
    if (modifierFlags & kCommand) text += "Ctrl+";
    if (modifierFlags & kOption) text += "Alt+";
    if (modifierFlags & kShift) text += "Shift+";
    return text;
}

std::string keyEquivalentLabel(const std::string& keyEquivalent, uint64_t modifierMask) {
    QString text = QString::fromStdString(keyEquivalent);
    if (text.isEmpty()) return {};
    QString key;
    if (text.size() == 1) {
        QChar ch = text.at(0);
        if (ch.unicode() >= kF1Character && ch.unicode() <= kF35Character) {
            key = QKeySequence(Qt::Key_F1 + (ch.unicode() - kF1Character)).toString(QKeySequence::PortableText);
        }
        for (const NamedGlyph& named : kNamedGlyphs) {
            if (ch.unicode() == named.glyph) key = QKeySequence(named.key).toString(QKeySequence::PortableText);
        }
        if (key.isEmpty() && ch != ch.toLower()) modifierMask |= kShift;
    }
    if (key.isEmpty()) key = text.toUpper();
    return modifierFlagsLabel(modifierMask) + key.toStdString();
}

void installKeyNameTranslator() {
    static KeyNameTranslator* translator = [] {
        auto* t = new KeyNameTranslator(QCoreApplication::instance());
        QCoreApplication::installTranslator(t);
        return t;
    }();
    (void)translator;
}

}  // namespace desktop
