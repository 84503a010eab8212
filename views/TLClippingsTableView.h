#pragma once
// The table that lists clippings in the browser panel: one column whose rows
// are drawn by a clipping row view (background, selection, separator) under a
// clipping cell (the row's contents). The table keeps one cell and one row view
// per visible row and reuses them for other rows as it scrolls; its data source
// sets each cell's fields when the cell is given a row (the cell configurator)
// and makes the row views. One timer serves every visible cell's age label: it
// wakes at the earliest refresh they ask for and repaints them.
//
// Dragging rows carries a picture made of the first three rows' own pictures,
// shrunk, with "N clippings" under them when more than one row goes.
//
// A right click selects the row under the pointer (alone, unless it is among
// the selected rows) and opens the table's menu; below the rows it opens
// nothing. After every press, dragged or not, the mouse-event delegate hears
// of an Alt-click (Alt alone) and TLClippingTableViewEndDraggingNotification
// is posted once.
// Main queue only.
#include <QPixmap>
#include <QPoint>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "TLTableView.h"

class TLClippingCellView;
class TLClippingRowView;
class TLClippingsTableView;
namespace desktop {
class Menu;
}

// Hears of the end of a press in the table. Both are optional: a delegate
// says which it implements.
class TLClippingTableViewMouseEventDelegate {
public:
    virtual ~TLClippingTableViewMouseEventDelegate() = default;
    // An Alt-click, with the table's selected row, after the button is released.
    virtual void tableViewOptionClickedRow(TLClippingsTableView&, int row) { (void)row; }
    // Every press's end, dragged or not, with the selected row.
    virtual void tableViewDidFinishDragging(TLClippingsTableView&, int row) { (void)row; }
    virtual bool implementsTableViewOptionClickedRow() const { return false; }
    virtual bool implementsTableViewDidFinishDragging() const { return false; }
};

class TLClippingsTableView : public TLTableView {
public:
    explicit TLClippingsTableView(QWidget* parent = nullptr);
    ~TLClippingsTableView() override;

    // Sets a cell's fields for a row (the data source's cell for a row).
    using CellConfigurator = std::function<void(TLClippingsTableView& table, TLClippingCellView& cell, int row)>;
    void setCellConfigurator(CellConfigurator configurator) { configureCell_ = std::move(configurator); }
    // Makes the row view of a row; without one, a plain light row view.
    using RowViewMaker = std::function<std::unique_ptr<TLClippingRowView>(TLClippingsTableView& table, int row)>;
    void setRowViewMaker(RowViewMaker maker) { makeRowView_ = std::move(maker); }

    // The cell of a row (column 0): the one the row has, or, with makeIfNecessary,
    // a free or new one configured for it; null for a row the model lacks.
    TLClippingCellView* viewAtRow(int row, bool makeIfNecessary);
    TLClippingRowView* rowViewAtRow(int row, bool makeIfNecessary);
    // Every row gives its cell back; the next drawing configures them again.
    void reloadData();
    // How many cells the table holds, in rows and free.
    size_t cellCount() const { return rows_.size() + freeCells_.size(); }

    // The drag picture of the rows (any order, at least one), and where it
    // hangs from the pointer: its top-left 10 px right of and 15 px below it.
    QPixmap dragImageForRows(std::vector<int> rows);
    static QPoint dragHotSpot() { return QPoint(-10, -15); }
    // The count line under the pictures: "5 clippings".
    static QString dragCountText(size_t rows);

    // The interval the age timer waits now, if it runs.
    std::optional<double> ageRefreshInterval() const;

    void setModel(QAbstractItemModel* model) override;

    // Borrowed: the delegate clears itself before it goes.
    TLClippingTableViewMouseEventDelegate* mouseEventDelegate() const { return mouseEventDelegate_; }
    void setMouseEventDelegate(TLClippingTableViewMouseEventDelegate* delegate) { mouseEventDelegate_ = delegate; }
    // The rows' menu, opened by a right click on a row.
    const std::shared_ptr<desktop::Menu>& menu() const { return menu_; }
    void setMenu(std::shared_ptr<desktop::Menu> menu) { menu_ = std::move(menu); }
    // The row selected last (the current row while selected), -1 for none.
    int selectedRow() const;
    // The menu a right click at pos (viewport coordinates) opens, after it has
    // chosen the selection; null below the rows.
    std::shared_ptr<desktop::Menu> menuForEventAt(const QPoint& pos);

protected:
    void paintEvent(QPaintEvent* event) override;
    void startDrag(Qt::DropActions supportedActions) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    class Delegate;
    struct Slot {
        std::unique_ptr<TLClippingCellView> cell;
        std::unique_ptr<TLClippingRowView> rowView;
    };
    void releaseRowsOutside(int first, int last);
    void cellNeedsDisplay(const TLClippingCellView* cell);
    void scheduleAgeRefresh();
    // The end of a press: the Alt-click, the end-of-drag notice, the delegate.
    void finishPress(Qt::KeyboardModifiers modifiers);

    CellConfigurator configureCell_;
    RowViewMaker makeRowView_;
    std::map<int, Slot> rows_;
    std::vector<std::unique_ptr<TLClippingCellView>> freeCells_;
    bool painting_ = false;
    QTimer ageTimer_;
    std::vector<QMetaObject::Connection> modelConnections_;
    TLClippingTableViewMouseEventDelegate* mouseEventDelegate_ = nullptr;
    std::shared_ptr<desktop::Menu> menu_;
    bool pressed_ = false;  // a press whose end is not yet told
};
