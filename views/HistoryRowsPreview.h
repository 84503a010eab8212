#pragma once
// The main history's most recent clippings as clipping rows in the Tavlo
// window, until the clippings panel takes the window over. It fills the
// window's "clippingsView" with a clippings table: newest first, at most the
// history limit (100 without one, never more than kMaxRows), refetched when the
// window shows and after every capture. Heights follow the panel's rule
// (content clamped to the row-height setting's lines, list line, bottom line)
// through the height cache, measured here on the main thread; thumbnails are
// read here too, scaled down. Holding Ctrl, Alt or Super alone shows the
// numbered shortcuts; rows drag out as text with the rows' drag picture.
// Main queue only.
#include <QWidget>

#include <memory>
#include <vector>

#include "platform/foundation/NotificationCenter.h"

class Clipping;
class TLClippingsTableView;

class HistoryRowsPreview : public QWidget {
public:
    static constexpr int kMaxRows = 500;

    // A preview filling the child of window named "clippingsView"; null
    // when the window has none (a panel has taken it).
    static HistoryRowsPreview* installIn(QWidget* window);

    explicit HistoryRowsPreview(QWidget* parent = nullptr);
    ~HistoryRowsPreview() override;

    TLClippingsTableView* tableView() const { return table_; }
    // Fetches the rows again and measures their heights.
    void reload();
    // The row's height at the table's width, as the panel computes it.
    int heightOfRow(int row);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    class Model;
    void updateHeights();
    void updateFlags();
    float measure(const Clipping& clipping, double textWidth);

    TLClippingsTableView* table_ = nullptr;
    Model* model_ = nullptr;
    uint64_t flags_ = 0;
    double maxHeight_ = 0;
    bool pruned_ = false;
    bool reloadPending_ = false;
    std::vector<foundation::ObserverRegistration> observers_;
};
