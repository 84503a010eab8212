#pragma once
// The Templates tab of the preferences window: the copy templates by name, in
// the user's order, with a control to add (+) and remove (−) one. A double
// click (or Return) on a row opens the editor beside it; rows are reordered by
// dragging them between others. Every change writes the whole list to the
// settings suite and, while sync is on, to the key-value store; the table
// follows any change of the settings, this process's or another's. Main
// thread.
#include <QPointer>
#include <QWidget>

#include <vector>

#include "TLTemplateEditorViewController.h"
#include "platform/foundation/NotificationCenter.h"

class QMimeData;
class QTableView;
class QToolButton;

class TLTemplatePreferenceViewController : public QWidget {
public:
    // The drag types: a dragged row carries its template's name and format.
    static constexpr const char* kNameType = "TLUserDefaultsTemplateName";
    static constexpr const char* kFormatType = "TLUserDefaultsTemplateFormat";
    static constexpr int kRowHeight = 32;
    enum Segment { kAddSegment = 0, kRemoveSegment = 1 };
    // Where a drop would land, as the table shows it.
    enum class DropPosition { AboveRow, OnRow };

    explicit TLTemplatePreferenceViewController(QWidget* parent = nullptr);
    ~TLTemplatePreferenceViewController() override;

    // Segment 1 removes the selected template, any other adds one.
    void controlClicked(int segment);
    // Opens the editor on the selected row, or on a new template without one.
    void editTemplate();

    // Dragging: the rows' template goes on the drag (the first row only, which
    // becomes the one selected); a drop is taken only from this table and
    // between rows; dropping at row moves the selected template there.
    QMimeData* writeRows(const std::vector<int>& rows);
    static bool validateDrop(bool fromThisTable, DropPosition position);
    bool acceptDrop(int row);

    // Reads the stored list into the table again.
    void reloadData();
    int selectedRow() const;
    void selectRow(int row);

    QTableView* tableView() const { return tableView_; }
    QToolButton* addButton() const { return addButton_; }
    QToolButton* removeButton() const { return removeButton_; }
    // The editor open now, null when none is.
    TLTemplateEditorViewController* editor() const { return editor_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    class Model;
    void updateRemoveButton();
    void openEditor(int64_t index, const QRect& rect, QWidget* anchor, TLTemplateEditorViewController::Edge edge);

    Model* model_;
    QTableView* tableView_;
    QWidget* addRemoveButton_;
    QToolButton* addButton_;
    QToolButton* removeButton_;
    QPointer<TLTemplateEditorViewController> editor_;
    foundation::ObserverRegistration settingsObserver_;
};
