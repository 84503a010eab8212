#pragma once
// The editor of one copy template, shown as a pop-up beside the row or the
// add button: a name field, the format in a text view whose tokens ("{title}",
// "{text}", "{url}") show in the application's blue, bold, the moment they are
// complete, buttons that insert each token, and Save.
//
// A click outside closes it without saving. Save needs a token in the format
// and a name that is not only blanks; otherwise it beeps and stays open. It
// writes the whole template list (and, while sync is on, the key-value store's
// copy). An editor whose template moved or went away while it was open (an
// inbound change from another device) saves as a new template rather than
// over another one. Main thread.
#include <QWidget>

#include <memory>
#include <optional>

#include "platform/foundation/PlistValue.h"

class QLineEdit;
class QPushButton;
class QTextEdit;
class QSyntaxHighlighter;

class TLTemplateEditorViewController : public QWidget {
public:
    enum class Edge { MinX, MaxX };

    static constexpr int kFontPointSize = 13;
    static constexpr int kTextInset = 4;

    // templateIndex: the entry of the stored list to edit, -1 for a new one.
    explicit TLTemplateEditorViewController(int64_t templateIndex, QWidget* parent = nullptr);
    ~TLTemplateEditorViewController() override;

    // Shows the pop-up beside rect (in anchor's coordinates): on its right for
    // MaxX, on its left for MinX, kept on the screen.
    void showRelativeToRect(QWidget* anchor, const QRect& rect, Edge edge);

    int64_t templateIndex() const { return templateIndex_; }
    void setTemplateIndex(int64_t index) { templateIndex_ = index; }
    // Fills the fields from the stored entry, or empties them (index -1) when
    // the index names no stored dictionary.
    void updateFields();

    void insertTitle();
    void insertText();
    void insertURL();
    // False (after a beep) when the template cannot be saved.
    bool saveTemplate();
    bool containsTokens() const;

    QLineEdit* titleField() const { return titleField_; }
    QTextEdit* textView() const { return textView_; }
    QPushButton* saveButton() const { return saveButton_; }

    // Restyles the whole text: plain, then every token. Typing restyles by
    // itself; this is for callers that changed the text under the view.
    void restyle();
    // The tokens found by the last restyle, as (start, length) in the text.
    std::vector<std::pair<int, int>> tokenRanges() const;

    // The template dictionaries stored (an empty list when there is none).
    static foundation::PlistValue::Array storedTemplates();
    // Beeps since the process started (saves refused).
    static int beepCount();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void insertToken(const char* token);

    int64_t templateIndex_;
    // The entry as it was opened, to notice that another took its place.
    std::optional<foundation::PlistValue> opened_;
    QLineEdit* titleField_;
    QTextEdit* textView_;
    QPushButton* saveButton_;
    QSyntaxHighlighter* highlighter_;
};
